#pragma once

#include <cstdint>
#include <string>

class SMPPSession;

// How a customer session reaches the server that owns it. The listener
// implements it; sessions and administration code call it.
//
// triggerTimedCheck() runs on the listener loop thread only (it walks the
// session table); notifyEvent_ESMEBindAttemptNotReceived(), addWhitelistIP()
// and requestTimedCheck() are safe from any thread.
class EntityControlMaster {
 public:
  virtual ~EntityControlMaster() = default;

  // Administration-port sessions opened and closed; unused while the daemon
  // opens no administration port.
  virtual void onAdministrationSessionOpened(SMPPSession* /*session*/) {}
  virtual void onAdministrationSessionClosed(SMPPSession* /*session*/) {}

  // Runs every session's timed check now, closing those that report true.
  virtual void triggerTimedCheck() = 0;

  // A connection from `address` ended without a bind request; three within
  // the attempt window block the address's next connection.
  virtual void notifyEvent_ESMEBindAttemptNotReceived(const std::string& address) = 0;

  // Trusts `address` (trimmed) until the whitelist file is read again.
  virtual void addWhitelistIP(const std::string& address) = 0;

  // Wakes the loop to run the timed check of session `sessionId` at once:
  // how other threads tell a session that work waits for it (a bind
  // verdict, a lookup result, queued output). An id whose session has
  // ended is ignored.
  virtual void requestTimedCheck(uint64_t sessionId) = 0;
};
