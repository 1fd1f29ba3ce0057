#include "admin/http_request.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

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
  // Line feeds are dropped, only carriage returns end lines; a line without a
  // colon is no header.
  std::string requestLine;
  EXPECT_EQ(headerLines("GET /a HTTP/1.1\r\nA: 1\r\nB:\n2\r\nno colon\r\n\r\n", &requestLine),
            (std::vector<std::pair<std::string, std::string>>{{"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(requestLine, "GET /a HTTP/1.1");
  // A request line without a blank after the path gets no response.
  for (std::string raw : {"GARBAGE\r\n\r\n", "GET /metrics\r\n\r\n"}) {
    HTTPRequest ignored;
    EXPECT_FALSE(parseHTTPRequest(raw, raw.size(), ignored)) << raw;
  }
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

// What the reader makes of a peer on a connected pair of sockets: a request
// split across writes is read whole and nothing after it; a peer closing
// early, stalling, sending Transfer-Encoding (refused as soon as the headers
// are in) or an endless header block gets its verdict within the timeout.
TEST(HTTPRequestRead, EachPeerIsReadToItsVerdictWithinTheTimeout) {
  const std::string body = "{\"systemid\":\"abc\",\"targetset\":\"ts\"}";
  const std::string whole =
      "POST /esme HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  // Byte by byte through the header block's end, then the body in two parts
  // and the start of another request.
  const size_t split = whole.find("\r\n\r\n") + 4;
  std::vector<std::string> trickle;
  for (size_t i = 0; i < split; ++i) trickle.push_back(whole.substr(i, 1));
  trickle.push_back(whole.substr(split, 5));
  trickle.push_back(whole.substr(split + 5) + "GET / HTTP/1.1\r\n\r\n");
  const struct {
    const char* name;
    std::vector<std::string> writes;
    bool close;  // the peer ends its side after writing
    ReadStatus expected;
  } cases[] = {
      {"split across writes", trickle, false, ReadStatus::kComplete},
      {"closed at once", {}, true, ReadStatus::kEmpty},
      {"closed in the body", {"POST /esme HTTP/1.1\r\nContent-Length: 100\r\n\r\n{"}, true,
       ReadStatus::kIncomplete},
      {"stalled", {"GET /metrics HTTP/1.1\r\n"}, false, ReadStatus::kIncomplete},
      {"transfer encoding", {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello"},
       false, ReadStatus::kBad},
      {"endless header block", std::vector<std::string>(40, std::string(64 * 1024, 'a')), false,
       ReadStatus::kBad},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::thread writer([&] {
      for (size_t i = 0; i < c.writes.size() && writeAll(fds[1], c.writes[i]); ++i) {
        if (i % 8 == 7) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (c.close) shutdown(fds[1], SHUT_WR);
    });
    std::string got;
    RequestFrame frame;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(readHTTPRequest(fds[0], got, frame, std::chrono::milliseconds(1000)), c.expected);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_LE(got.size(), kMaxHTTPRequestBytes + 64 * 1024);
    shutdown(fds[0], SHUT_RDWR);  // a writer still blocked gives up
    writer.join();
    close(fds[0]);
    close(fds[1]);
    if (c.expected == ReadStatus::kComplete) {
      EXPECT_EQ(got, whole);
      HTTPRequest request;
      ASSERT_TRUE(parseHTTPRequest(got, frame.headerLength, request));
      EXPECT_EQ(request.body, body);
    }
  }
}

}  // namespace
