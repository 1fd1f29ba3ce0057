// Feeds an arbitrary byte stream, in pieces, to a customer-facing session
// over a real socket pair and runs the server dispatch on it. Whatever the
// bytes, the session must not crash, must answer only with whole PDUs, and
// must stop reading once the stream is broken.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "base/log.h"
#include "smpp/smpp_session.h"

namespace {

constexpr uint64_t kNow = 1706745599ULL * 1000000ULL;

// Accepts binds and submits, so the stream reaches every dispatch row.
class FuzzServer : public SMPPSessionServer {
 public:
  uint8_t onBindAuthorisation(uint64_t, const std::string&, uint8_t, const std::string& systemId,
                              const std::string&, const std::string&, uint32_t, std::string&,
                              uint32_t) override {
    if (systemId == "later") return kAnswerLater;
    return systemId.empty() ? kRefuse : kAccept;
  }
  uint8_t onSubmitSM(std::string, SMPP::T_SubmitSM& submit, uint32_t, uint32_t,
                     std::string& messageId, uint32_t& status, EntityResponse*) override {
    messageId = submit.destination_addr;
    status = submit.esm_class == 1 ? 0x60045 : status;
    return submit.esm_class & 1 ? kRefuse : kAccept;
  }
  bool onQuerySM(const std::string& id, std::string& finalDate, uint8_t&, uint8_t&) override {
    finalDate = id;
    return !id.empty();
  }
  bool onCancelSM(const std::string&, const std::string& id) override { return !id.empty(); }
};

void drain(int fd, std::vector<uint8_t>& out) {
  uint8_t buf[65536];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) return;
    out.insert(out.end(), buf, buf + n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setLogLevel(LOG_SEVERE);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  std::vector<uint8_t> answers;
  {
    FuzzServer session;
    session.attachSocket(fds[0], true, "127.0.0.1", 1);
    // The first byte chooses the piece size, so PDUs are split at varying
    // places across reads; at most 128 pieces keep each run fast.
    const size_t piece = std::max<size_t>(size == 0 ? 1 : (data[0] % 64) + 1, size / 128 + 1);
    size_t off = size == 0 ? 0 : 1;
    bool closed = false;
    while (off < size && !closed) {
      const size_t n = std::min(piece, size - off);
      if (write(fds[1], data + off, n) != static_cast<ssize_t>(n)) break;
      off += n;
      closed = session.processInputAt(kNow);
      if (session.bindPending()) session.completeBind(kNow, (off & 1) != 0);
      drain(fds[1], answers);
    }
    if (!closed) session.timedCheck(kNow + 200000000ULL);
    drain(fds[1], answers);
  }
  close(fds[1]);
  // Every answer must be a whole, well-formed PDU.
  size_t off = 0;
  while (off < answers.size()) {
    if (answers.size() - off < 16) abort();
    const SMPP::PDUHeader h = SMPP::decodeHeader(answers.data() + off);
    if (h.commandLength < 16 || h.commandLength > answers.size() - off) abort();
    off += h.commandLength;
  }
  return 0;
}
