#include "cdr/smpp_cdr_manager.h"

#include "base/log.h"

namespace {
constexpr const char* kClassName = "SMPPCDRManager";
}

SMPPCDRManager& SMPPCDRManager::getInstance() {
  static SMPPCDRManager manager;
  return manager;
}

void SMPPCDRManager::initialize(const std::string& directory) {
  std::lock_guard<std::mutex> lock(dataMutex_);
  directory_ = directory;
}

void SMPPCDRManager::setMode(CDRMode mode) {
  std::lock_guard<std::mutex> lock(dataMutex_);
  logMessage(LOG_INFO, this, kClassName, "setMode", "Setting CDR mode to %s", cdrModeName(mode));
  mode_.store(mode, std::memory_order_relaxed);
}

std::string SMPPCDRManager::directory() {
  std::lock_guard<std::mutex> lock(dataMutex_);
  return directory_;
}
