#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The byte transport under an SMPP session. Every operation is non-blocking.
// An SMPPSocket is owned by one session's socket holder; reads happen on the
// session's thread, writes are serialised by the holder's output mutex.
class SMPPSocket {
 public:
  virtual ~SMPPSocket() = default;

  // Receives one byte; true when it arrived.
  virtual bool readByte(uint8_t* buffer) = 0;
  // Receives up to `length` bytes; true only when exactly `length` arrived.
  virtual bool readExact(uint8_t* buffer, size_t length) = 0;
  // Receives up to `length` bytes: the count, 0 at end of stream, or -1 with
  // errno set (-1 when there is no descriptor). A count below `length` must
  // mean nothing more was waiting, so that the descriptor's readiness tells
  // of the rest: a transport that buffers above the kernel has to hand out
  // what it holds first.
  virtual ssize_t read(uint8_t* buffer, size_t length) = 0;
  // Sends up to `length` bytes: the count or -1 with errno set; 0 when there
  // is no descriptor.
  virtual ssize_t write(const uint8_t* buffer, size_t length) = 0;
  // Peeks at one byte: the count (0 when there is no descriptor), -1 on error.
  virtual ssize_t peek() = 0;
  // Bytes waiting in the kernel; 0 when there is no descriptor.
  virtual long bytesAvailable() = 0;
  // The descriptor, -1 when none.
  virtual int descriptor() const = 0;
  // Forgets the descriptor without closing it (after its owner closed it).
  virtual void releaseDescriptor() = 0;
};

// Plain TCP: one descriptor, non-blocking system calls. It never closes the
// descriptor itself; its session or the server loop does.
class SMPPSocketUnencrypted : public SMPPSocket {
 public:
  explicit SMPPSocketUnencrypted(int fd) : fd_(fd) {}

  bool readByte(uint8_t* buffer) override;
  bool readExact(uint8_t* buffer, size_t length) override;
  ssize_t read(uint8_t* buffer, size_t length) override;
  ssize_t write(const uint8_t* buffer, size_t length) override;
  ssize_t peek() override;
  long bytesAvailable() override;
  int descriptor() const override { return fd_; }
  void releaseDescriptor() override { fd_ = -1; }

 private:
  int fd_;
};
