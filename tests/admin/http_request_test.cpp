#include "admin/http_request.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "tests/support/loopback.h"

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
      "POST /esme HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: "
      "2\r\n\r\n{}");
  EXPECT_EQ(r.requestLine, "POST /esme HTTP/1.1");
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.path, "/esme");
  EXPECT_EQ(r.header("content-type"), "application/json");
  EXPECT_EQ(r.header("host"), "x");
  EXPECT_EQ(r.body, "{}");
}

TEST(HTTPRequestParse, HeaderNamesAndValuesAreLowerCasedButTheAuthorizationValueKeepsItsCase) {
  HTTPRequest r = parseWhole(
      "GET /esme HTTP/1.1\r\nAUTHORIZATION: Bearer AbCdEf012\r\nCONTENT-TYPE: "
      "Application/JSON\r\n\r\n");
  EXPECT_EQ(r.header("authorization"), "Bearer AbCdEf012");
  EXPECT_EQ(r.header("content-type"), "application/json");
}

TEST(HTTPRequestParse, BlanksAroundTheColonAreTrimmedAndTheFirstOfARepeatedHeaderWins) {
  HTTPRequest r = parseWhole("GET / HTTP/1.1\r\nX-Thing  :   one\r\nx-thing: two\r\n\r\n");
  EXPECT_EQ(r.header("x-thing"), "one");
  EXPECT_EQ(r.headers.size(), 1u);
}

TEST(HTTPRequestParse, LineFeedsAreDroppedAndOnlyCarriageReturnsEndLines) {
  std::string requestLine;
  auto lines = headerLines("GET /a HTTP/1.1\r\nA: 1\r\nB:\n2\r\nno colon\r\n\r\n", &requestLine);
  EXPECT_EQ(requestLine, "GET /a HTTP/1.1");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], (std::pair<std::string, std::string>{"a", "1"}));
  EXPECT_EQ(lines[1], (std::pair<std::string, std::string>{"b", "2"}));
}

TEST(HTTPRequestParse, BodyLinesDoNotBecomeHeaders) {
  HTTPRequest r = parseWhole(
      "POST /control HTTP/1.1\r\nContent-Length: 40\r\n\r\nauthorization: Bearer "
      "x\r\ncontent-type: a\r\n\r\n");
  EXPECT_EQ(r.header("authorization"), "");
  EXPECT_EQ(r.header("content-type"), "");
  EXPECT_EQ(r.body.size(), 40u);
}

TEST(HTTPRequestParse, RequestLineWithoutABlankGetsNoResponse) {
  std::string raw = "GARBAGE\r\n\r\n";
  HTTPRequest r;
  EXPECT_FALSE(parseHTTPRequest(raw, raw.size(), r));
}

TEST(HTTPRequestParse, PathWithoutABlankAfterItGetsNoResponse) {
  std::string raw = "GET /metrics\r\n\r\n";
  HTTPRequest r;
  EXPECT_FALSE(parseHTTPRequest(raw, raw.size(), r));
}

TEST(HTTPRequestParse, PathRunsFromTheFirstSlashToTheNextBlank) {
  HTTPRequest r = parseWhole("GET http://host/metrics?x HTTP/1.1\r\n\r\n");
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.path, "//host/metrics?x");
}

TEST(HTTPRequestFrame, WithoutTheBlankLineMoreIsNeeded) {
  EXPECT_EQ(frameHTTPRequest("GET / HTTP/1.1\r\nHost: x\r\n").status, FrameStatus::kIncomplete);
}

TEST(HTTPRequestFrame, ContentLengthDecidesWhereTheRequestEnds) {
  std::string head = "POST /esme HTTP/1.1\r\nContent-Length: 10\r\n\r\n";
  EXPECT_EQ(frameHTTPRequest(head + "12345").status, FrameStatus::kIncomplete);
  RequestFrame frame = frameHTTPRequest(head + "1234567890trailing");
  EXPECT_EQ(frame.status, FrameStatus::kComplete);
  EXPECT_EQ(frame.headerLength, head.size());
  EXPECT_EQ(frame.length, head.size() + 10);
}

TEST(HTTPRequestFrame, WithoutContentLengthTheBodyIsWhatArrivedWithTheHeaders) {
  std::string raw = "POST /oauth2/v1/token HTTP/1.1\r\n\r\nscope=api";
  RequestFrame frame = frameHTTPRequest(raw);
  EXPECT_EQ(frame.status, FrameStatus::kComplete);
  EXPECT_EQ(frame.length, raw.size());
}

TEST(HTTPRequestFrame, TransferEncodingIsRefused) {
  EXPECT_EQ(
      frameHTTPRequest("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n").status,
      FrameStatus::kBad);
}

TEST(HTTPRequestFrame, TwoDifferentContentLengthsAreRefusedButARepeatedEqualOneIsNot) {
  EXPECT_EQ(frameHTTPRequest("POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab")
                .status,
            FrameStatus::kBad);
  EXPECT_EQ(frameHTTPRequest("POST / HTTP/1.1\r\nContent-Length: 2\r\ncontent-length: 2\r\n\r\nab")
                .status,
            FrameStatus::kComplete);
}

TEST(HTTPRequestFrame, ContentLengthThatIsNotADecimalNumberIsRefused) {
  for (const char* value : {"", "-1", "0x10", "1 2", "+3", "99999999999999999999999"}) {
    std::string raw = std::string("POST / HTTP/1.1\r\nContent-Length: ") + value + "\r\n\r\n";
    EXPECT_EQ(frameHTTPRequest(raw).status, FrameStatus::kBad) << value;
  }
}

TEST(HTTPRequestFrame, RequestsPastTheSizeBoundAreRefused) {
  EXPECT_EQ(frameHTTPRequest("POST / HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n").status,
            FrameStatus::kBad);
  EXPECT_EQ(frameHTTPRequest(std::string(kMaxHTTPRequestBytes + 1, 'a')).status, FrameStatus::kBad);
  std::string head = "POST / HTTP/1.1\r\nContent-Length: 6\r\n\r\n";
  EXPECT_EQ(frameHTTPRequest(head + "123456", head.size() + 5).status, FrameStatus::kBad);
  EXPECT_EQ(frameHTTPRequest(head + "123456", head.size() + 6).status, FrameStatus::kComplete);
}

// A connected pair of loopback sockets: the test writes on `client`, the
// reader reads on `server`.
class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    server = fds[0];
    client = fds[1];
  }
  void TearDown() override {
    if (server >= 0) close(server);
    if (client >= 0) close(client);
  }
  int server = -1;
  int client = -1;
};

TEST_F(SocketPair, ARequestSplitAcrossWritesIsReadWhole) {
  const std::string body = "{\"systemid\":\"abc\",\"targetset\":\"ts\"}";
  const std::string raw =
      "POST /esme HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  std::thread writer([&] {
    // Byte by byte through the header block's end, then the body in two parts.
    size_t split = raw.find("\r\n\r\n") + 4;
    for (size_t i = 0; i < split; ++i) {
      testing_support::writeAll(client, raw.substr(i, 1));
      if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    testing_support::writeAll(client, raw.substr(split, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    testing_support::writeAll(client, raw.substr(split + 5));
  });
  std::string got;
  RequestFrame frame;
  ReadStatus status = readHTTPRequest(server, got, frame);
  writer.join();
  ASSERT_EQ(status, ReadStatus::kComplete);
  EXPECT_EQ(got, raw);
  HTTPRequest request;
  ASSERT_TRUE(parseHTTPRequest(got, frame.headerLength, request));
  EXPECT_EQ(request.body, body);
}

TEST_F(SocketPair, BytesAfterTheDeclaredBodyAreNotPartOfTheRequest) {
  testing_support::writeAll(
      client, "PUT /esme/a HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}GET / HTTP/1.1\r\n\r\n");
  std::string got;
  RequestFrame frame;
  ASSERT_EQ(readHTTPRequest(server, got, frame), ReadStatus::kComplete);
  EXPECT_TRUE(got.ends_with("\r\n\r\n{}"));
}

TEST_F(SocketPair, PeerClosingBeforeTheBodyIsCompleteIsIncomplete) {
  testing_support::writeAll(client, "POST /esme HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"a\":");
  shutdown(client, SHUT_WR);
  std::string got;
  RequestFrame frame;
  EXPECT_EQ(readHTTPRequest(server, got, frame), ReadStatus::kIncomplete);
}

TEST_F(SocketPair, PeerClosingWithoutSendingAnythingIsEmpty) {
  shutdown(client, SHUT_WR);
  std::string got;
  RequestFrame frame;
  EXPECT_EQ(readHTTPRequest(server, got, frame), ReadStatus::kEmpty);
}

TEST_F(SocketPair, APeerThatStallsIsCutOffAtTheTimeout) {
  testing_support::writeAll(client, "GET /metrics HTTP/1.1\r\n");
  std::string got;
  RequestFrame frame;
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(readHTTPRequest(server, got, frame, std::chrono::milliseconds(50)),
            ReadStatus::kIncomplete);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST_F(SocketPair, AnOverLargeHeaderBlockIsRefusedWithoutReadingForever) {
  std::thread writer([&] {
    std::string chunk(64 * 1024, 'a');
    for (int i = 0; i < 40; ++i) {
      if (!testing_support::writeAll(client, chunk)) break;
    }
  });
  std::string got;
  RequestFrame frame;
  EXPECT_EQ(readHTTPRequest(server, got, frame), ReadStatus::kBad);
  EXPECT_LE(got.size(), kMaxHTTPRequestBytes + 64 * 1024);
  shutdown(server, SHUT_RDWR);
  writer.join();
}

TEST_F(SocketPair, TransferEncodingIsRefusedAsSoonAsTheHeadersAreIn) {
  testing_support::writeAll(
      client, "POST /esme HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
  std::string got;
  RequestFrame frame;
  EXPECT_EQ(readHTTPRequest(server, got, frame), ReadStatus::kBad);
}

}  // namespace
