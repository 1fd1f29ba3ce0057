#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "cdr/cdr_mode.h"

// The process-wide call detail record manager, created on first use.
//
// So far it holds the start-up settings: the CDR directory and the mode,
// which the session code tests before it creates or updates a record. The
// record store, its batches and its threads build on this class.
// setMode/initialize are called once on the main thread at start-up; mode()
// is safe from any thread.
class SMPPCDRManager {
 public:
  static SMPPCDRManager& getInstance();

  // Remembers the directory of the CDR files.
  void initialize(const std::string& directory);
  // Logs "Setting CDR mode to %s" and stores the mode.
  void setMode(CDRMode mode);
  CDRMode mode() const { return mode_.load(std::memory_order_relaxed); }
  std::string directory();

 private:
  SMPPCDRManager() = default;

  std::mutex dataMutex_;
  std::string directory_;                       // guarded by dataMutex_
  std::atomic<CDRMode> mode_{CDRMode::OPERATION};  // written under dataMutex_
};
