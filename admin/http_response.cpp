#include "admin/http_response.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace {

std::string headerSafe(const std::string& text) {
  std::string safe = text;
  for (char& c : safe) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return safe;
}

}  // namespace

std::string HTTPResponse::wire() const {
  std::string out;
  switch (kind) {
    case Kind::kNone:
      break;
    case Kind::kFallback:
      out = kFallbackResponse;
      break;
    case Kind::kNormal:
      out.reserve(body.size() + 128);
      out += "HTTP/1.1 " + std::to_string(code) + " " + headerSafe(statusText) +
             "\r\nAccess-Control-Allow-Origin: *\r\nContent-Type: " + headerSafe(contentType) +
             "\r\n\r\n";
      out += body;
      break;
    case Kind::kOptions:
      out.reserve(body.size() + 160);
      out += "HTTP/1.1 " + std::to_string(code) + " " + headerSafe(statusText) +
             "\r\nAccess-Control-Allow-Origin: *\r\nAccess-Control-Allow-Headers: *\r\n"
             "Access-Control-Allow-Methods: *\r\n\r\n";
      out += body;
      break;
  }
  return out;
}

bool sendAll(int fd, std::string_view data, std::chrono::milliseconds stallTimeout,
             std::chrono::milliseconds deadline) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + deadline;
  size_t done = 0;
  while (done < data.size()) {
    // Measured from the start, not from the last progress: a client that
    // takes a byte now and then must not stretch the send for ever.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return false;
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p{fd, POLLOUT, 0};
    int ready = poll(&p, 1, static_cast<int>(std::min(stallTimeout, left).count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (p.revents & (POLLERR | POLLHUP))) return false;
  }
  return true;
}

bool sendHTTPResponse(int fd, int code, const std::string& statusText,
                      const std::string& contentType, const std::string& body,
                      std::chrono::milliseconds deadline) {
  return sendHTTPResponse(fd, HTTPResponse::normal(code, statusText, contentType, body), deadline);
}

bool sendHTTPOptionsResponse(int fd, int code, const std::string& statusText,
                             const std::string& body, std::chrono::milliseconds deadline) {
  return sendHTTPResponse(fd, HTTPResponse::options(code, statusText, body), deadline);
}

bool sendHTTPResponse(int fd, const HTTPResponse& response, std::chrono::milliseconds deadline) {
  if (response.kind == HTTPResponse::Kind::kNone) return true;
  return sendAll(fd, response.wire(), kHTTPWriteTimeout, deadline);
}
