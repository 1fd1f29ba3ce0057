#include "admin/http_request.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "tests/support/loopback.h"

using testing_support::writeAll;

namespace {

HTTPRequest parseWhole(const std::string& raw) {
  RequestFrame frame = frameHTTPRequest(raw);
  EXPECT_EQ(frame.status, FrameStatus::kComplete) << raw;
  HTTPRequest request;
  EXPECT_TRUE(
      parseHTTPRequest(std::string_view(raw).substr(0, frame.length), frame.headerLength, request));
  return request;
}

TEST(HTTPRequestParse, MethodPathHeadersAndBodyAreSeparated) {
  HTTPRequest r = parseWhole(
      "POST /esme HTTP/1.1\r\nHost: x\r\nCONTENT-TYPE: Application/JSON\r\nAUTHORIZATION: Bearer "
      "AbC\r\nX-Thing  :   one\r\nx-thing: two\r\nContent-Length: 40\r\n\r\n"
      "authorization: Bearer x\r\ncontent-type: a\r\n\r\n");
  EXPECT_EQ(r.requestLine, "POST /esme HTTP/1.1");
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.path, "/esme");
  // Names and values are lower-cased, except the token's; blanks around the
  // colon are trimmed; the first of a repeated header wins; body lines are
  // not headers.
  EXPECT_EQ(r.header("content-type"), "application/json");
  EXPECT_EQ(r.header("authorization"), "Bearer AbC");
  EXPECT_EQ(r.header("x-thing"), "one");
  EXPECT_EQ(r.header("host"), "x");
  EXPECT_EQ(r.headers.size(), 5u);
  EXPECT_EQ(r.body, "authorization: Bearer x\r\ncontent-type: a");
  EXPECT_EQ(parseWhole("GET http://host/metrics?x HTTP/1.1\r\n\r\n").path, "//host/metrics?x");
  // A request line without a blank after the path gets no response.
  for (std::string raw : {"GARBAGE\r\n\r\n", "GET /metrics\r\n\r\n"}) {
    HTTPRequest ignored;
    EXPECT_FALSE(parseHTTPRequest(raw, raw.size(), ignored)) << raw;
  }
}

TEST(HTTPRequestParse, LineFeedsAreDroppedAndOnlyCarriageReturnsEndLines) {
  std::string requestLine;
  auto lines = headerLines("GET /a HTTP/1.1\r\nA: 1\r\nB:\n2\r\nno colon\r\n\r\n", &requestLine);
  EXPECT_EQ(requestLine, "GET /a HTTP/1.1");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], (std::pair<std::string, std::string>{"a", "1"}));
  EXPECT_EQ(lines[1], (std::pair<std::string, std::string>{"b", "2"}));
}

// Where a request ends, and which ones are refused before they are read
// whole: Transfer-Encoding, two different lengths, a length that is not a
// plain decimal number, and anything past the size bound.
TEST(HTTPRequestFrame, ContentLengthDecidesWhereTheRequestEndsAndBadFramesAreRefused) {
  const std::string head = "POST /esme HTTP/1.1\r\nContent-Length: 10\r\n\r\n";
  const std::string post = "POST / HTTP/1.1\r\n";
  struct Case {
    std::string raw;
    FrameStatus status;
    size_t length = 0;  // of a complete request; 0 for all of `raw`
    size_t limit = kMaxHTTPRequestBytes;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n", FrameStatus::kIncomplete},
      {head + "12345", FrameStatus::kIncomplete},
      {head + "1234567890trailing", FrameStatus::kComplete, head.size() + 10},
      {"POST /oauth2/v1/token HTTP/1.1\r\n\r\nscope=api", FrameStatus::kComplete},
      {post + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", FrameStatus::kBad},
      {post + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab", FrameStatus::kBad},
      {post + "Content-Length: 2\r\ncontent-length: 2\r\n\r\nab", FrameStatus::kComplete},
      {post + "Content-Length: 1048577\r\n\r\n", FrameStatus::kBad},
      {std::string(kMaxHTTPRequestBytes + 1, 'a'), FrameStatus::kBad},
      {head + "1234567890", FrameStatus::kBad, 0, head.size() + 9},
      {head + "1234567890", FrameStatus::kComplete, head.size() + 10, head.size() + 10},
  };
  for (const Case& c : cases) {
    RequestFrame frame = frameHTTPRequest(c.raw, c.limit);
    EXPECT_EQ(frame.status, c.status) << c.raw.substr(0, 80);
    if (c.status == FrameStatus::kComplete) {
      EXPECT_EQ(frame.length, c.length ? c.length : c.raw.size()) << c.raw;
    }
  }
  EXPECT_EQ(frameHTTPRequest(head + "1234567890").headerLength, head.size());
  for (const char* value : {"", "-1", "0x10", "1 2", "+3", "99999999999999999999999"}) {
    EXPECT_EQ(frameHTTPRequest(post + "Content-Length: " + value + "\r\n\r\n").status,
              FrameStatus::kBad)
        << value;
  }
}

// A connected pair of sockets: the test writes on `client`, the reader reads
// on `server`.
class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    server = fds[0];
    client = fds[1];
  }
  void TearDown() override {
    close(server);
    close(client);
  }
  ReadStatus read(std::chrono::milliseconds timeout = kHTTPReadTimeout) {
    return readHTTPRequest(server, got, frame, timeout);
  }
  int server = -1;
  int client = -1;
  std::string got;
  RequestFrame frame;
};

TEST_F(SocketPair, ARequestSplitAcrossWritesIsReadWholeAndNothingAfterIt) {
  const std::string body = "{\"systemid\":\"abc\",\"targetset\":\"ts\"}";
  const std::string raw = "POST /esme HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\n\r\n" + body;
  std::thread writer([&] {
    // Byte by byte through the header block's end, then the body in two
    // parts, then the start of another request.
    size_t split = raw.find("\r\n\r\n") + 4;
    for (size_t i = 0; i < split; ++i) {
      writeAll(client, raw.substr(i, 1));
      if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    writeAll(client, raw.substr(split, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    writeAll(client, raw.substr(split + 5) + "GET / HTTP/1.1\r\n\r\n");
  });
  ReadStatus status = read();
  writer.join();
  ASSERT_EQ(status, ReadStatus::kComplete);
  // The caller parses what was read: bytes past the declared body are not in it.
  EXPECT_EQ(got, raw);
  HTTPRequest request;
  ASSERT_TRUE(parseHTTPRequest(got, frame.headerLength, request));
  EXPECT_EQ(request.body, body);
}

TEST_F(SocketPair, PeerClosingEarlyIsIncompleteOrEmpty) {
  shutdown(client, SHUT_WR);
  EXPECT_EQ(read(), ReadStatus::kEmpty);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  close(server);
  close(client);
  server = fds[0];
  client = fds[1];
  writeAll(client, "POST /esme HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"a\":");
  shutdown(client, SHUT_WR);
  EXPECT_EQ(read(), ReadStatus::kIncomplete);
}

TEST_F(SocketPair, APeerThatStallsIsCutOffAtTheTimeout) {
  writeAll(client, "GET /metrics HTTP/1.1\r\n");
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(read(std::chrono::milliseconds(50)), ReadStatus::kIncomplete);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST_F(SocketPair, AnOverLargeHeaderBlockIsRefusedWithoutReadingForever) {
  std::thread writer([&] {
    std::string chunk(64 * 1024, 'a');
    for (int i = 0; i < 40 && writeAll(client, chunk); ++i) {
    }
  });
  EXPECT_EQ(read(), ReadStatus::kBad);
  EXPECT_LE(got.size(), kMaxHTTPRequestBytes + 64 * 1024);
  shutdown(server, SHUT_RDWR);
  writer.join();
}

TEST_F(SocketPair, TransferEncodingIsRefusedAsSoonAsTheHeadersAreIn) {
  writeAll(client, "POST /esme HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
  EXPECT_EQ(read(), ReadStatus::kBad);
}

}  // namespace
