// Throughput of the SMPP codec and framing on one core: submit_sm decodes
// and encodes per second for a typical message (160 octets, two TLVs), and
// PDUs per second framed out of a buffer holding many back-to-back PDUs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/log.h"
#include "smpp/pdu.h"
#include "smpp/smpp_session.h"

namespace {

constexpr uint64_t kNow = 1706745599ULL * 1000000ULL;

SMPP::T_SubmitSM typicalSubmit() {
  SMPP::T_SubmitSM sm;
  sm.source_addr_ton = 5;
  sm.source_addr = "ShopName";
  sm.dest_addr_ton = 1;
  sm.dest_addr_npi = 1;
  sm.destination_addr = "447700900123";
  sm.registered_delivery = 1;
  sm.validity_period = kNow + 3600000000ULL;
  sm.short_message.assign(160, 'x');
  sm.tlvs = {SMPP::TLV{0x020C, 2, {0, 7}}, SMPP::TLV{0x1401, 4, {1, 2, 3, 4}}};
  return sm;
}

std::vector<uint8_t> typicalBody() {
  std::vector<uint8_t> body;
  SMPP::encodeSubmitSMBody(SMPP::SUBMIT_SM, typicalSubmit(), body);
  return body;
}

void BM_DecodeSubmitSM(benchmark::State& state) {
  const std::vector<uint8_t> body = typicalBody();
  SMPP::T_SubmitSM sm;
  uint32_t error = 0;
  for (auto _ : state) {
    const bool ok = SMPP::parseSubmitSM(SMPP::SUBMIT_SM, body.data(), body.size(), sm, true, error,
                                        kNow);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(sm.short_message.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_DecodeSubmitSM);

void BM_EncodeSubmitSM(benchmark::State& state) {
  const SMPP::T_SubmitSM sm = typicalSubmit();
  std::vector<uint8_t> body;
  for (auto _ : state) {
    const bool ok = SMPP::encodeSubmitSMBody(SMPP::SUBMIT_SM, sm, body);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(body.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeSubmitSM);

// A transport that hands out an in-memory stream as fast as it is asked:
// what remains is framing cost alone.
class MemorySocket : public SMPPSocket {
 public:
  explicit MemorySocket(const std::vector<uint8_t>& stream) : stream_(stream) {}
  bool readByte(uint8_t*) override { return false; }
  bool readExact(uint8_t*, size_t) override { return false; }
  ssize_t read(uint8_t* buffer, size_t length) override {
    if (pos_ == stream_.size()) pos_ = 0;  // the stream repeats
    const size_t n = std::min(length, stream_.size() - pos_);
    std::memcpy(buffer, stream_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const uint8_t*, size_t length) override { return static_cast<ssize_t>(length); }
  ssize_t peek() override { return 1; }
  long bytesAvailable() override { return static_cast<long>(stream_.size() - pos_); }
  int descriptor() const override { return 3; }
  void releaseDescriptor() override {}

 private:
  const std::vector<uint8_t>& stream_;
  size_t pos_ = 0;
};

// 1 MiB of back-to-back submit_sm PDUs (whole PDUs only).
std::vector<uint8_t> submitStream() {
  const std::vector<uint8_t> pdu = SMPP::encodePDU(SMPP::SUBMIT_SM, 0, 1, typicalBody());
  std::vector<uint8_t> stream;
  while (stream.size() + pdu.size() <= SMPPSocketHolder::kReceiveBufferSize) {
    stream.insert(stream.end(), pdu.begin(), pdu.end());
  }
  return stream;
}

void BM_FramePDUsFromBuffer(benchmark::State& state) {
  const std::vector<uint8_t> stream = submitStream();
  SMPPSocketHolder holder;
  holder.attach(std::make_unique<MemorySocket>(stream), false);
  for (auto _ : state) {
    const bool got = holder.readPDU();
    benchmark::DoNotOptimize(got);
    benchmark::DoNotOptimize(holder.body());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FramePDUsFromBuffer);

// Framing plus decoding: what a customer session does per submit before its
// hooks run.
void BM_FrameAndDecodeSubmitSM(benchmark::State& state) {
  const std::vector<uint8_t> stream = submitStream();
  SMPPSocketHolder holder;
  holder.attach(std::make_unique<MemorySocket>(stream), false);
  SMPP::T_SubmitSM sm;
  uint32_t error = 0;
  for (auto _ : state) {
    if (!holder.readPDU()) continue;
    const bool ok = SMPP::parseSubmitSM(holder.header().commandId, holder.body(),
                                        holder.bodyLength(), sm, true, error, kNow);
    benchmark::DoNotOptimize(ok);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameAndDecodeSubmitSM);

// Accepts every submit at once, so the whole dispatch path is measured.
class AcceptingServer : public SMPPSessionServer {
 public:
  uint8_t onSubmitSM(std::string, SMPP::T_SubmitSM&, uint32_t, uint32_t, std::string& messageId,
                     uint32_t&, EntityResponse*) override {
    messageId = "0123456789abcdef";
    return kAccept;
  }
};

// The server dispatch over a real socket pair: a batch of submit_sm is
// written, one processInput call reads, decodes and answers all of them, and
// the answers are drained. Items are submits.
void BM_ServerDispatchSubmitOverSocketPair(benchmark::State& state) {
  setLogLevel(LOG_SEVERE);
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    state.SkipWithError("socketpair");
    return;
  }
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  AcceptingServer session;
  session.attachSocket(fds[0], true, "127.0.0.1", 1);
  session.setBindState(BIND_STATE_TRANSMITTER);
  session.setInterfaceVersion(0x34);
  const int batch = 64;
  const std::vector<uint8_t> pdu = SMPP::encodePDU(SMPP::SUBMIT_SM, 0, 1, typicalBody());
  std::vector<uint8_t> burst;
  for (int i = 0; i < batch; ++i) burst.insert(burst.end(), pdu.begin(), pdu.end());
  std::vector<uint8_t> sink(1 << 20);
  for (auto _ : state) {
    if (write(fds[1], burst.data(), burst.size()) != static_cast<ssize_t>(burst.size())) {
      state.SkipWithError("write");
      break;
    }
    session.processInputAt(kNow);
    while (recv(fds[1], sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
    }
  }
  state.SetItemsProcessed(state.iterations() * batch);
  close(fds[1]);
}
BENCHMARK(BM_ServerDispatchSubmitOverSocketPair);

}  // namespace
