#include "admin/http_request.h"

#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <optional>

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// A header line split at its first ":", with the trailing blanks of the name
// and the leading blanks of the value removed.
void addHeaderLine(const std::string& line, std::vector<std::pair<std::string, std::string>>& out) {
  size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  size_t nameEnd = colon;
  while (nameEnd > 0 && isBlank(line[nameEnd - 1])) --nameEnd;
  size_t valueStart = colon + 1;
  while (valueStart < line.size() && isBlank(line[valueStart])) ++valueStart;
  out.emplace_back(line.substr(0, nameEnd), line.substr(valueStart));
}

// Strict decimal number no larger than `limit`; nullopt otherwise.
std::optional<size_t> parseLength(std::string_view text, size_t limit) {
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  size_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<size_t>(c - '0');
    if (value > limit) return std::nullopt;
  }
  return value;
}

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

}  // namespace

std::string HTTPRequest::header(const std::string& lowerName) const {
  auto it = headers.find(lowerName);
  return it == headers.end() ? std::string() : it->second;
}

std::vector<std::pair<std::string, std::string>> headerLines(std::string_view headerBlock,
                                                             std::string* requestLine) {
  std::vector<std::pair<std::string, std::string>> lines;
  std::string line;
  bool first = true;
  bool keepCase = false;
  for (char c : headerBlock) {
    if (c == '\n') continue;
    if (c == '\r') {
      if (first) {
        if (requestLine) *requestLine = line;
        first = false;
      } else {
        addHeaderLine(line, lines);
      }
      line.clear();
      keepCase = false;
      continue;
    }
    if (first || keepCase) {
      line += c;
      continue;
    }
    line += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (line.ends_with("authorization")) keepCase = true;
  }
  if (first && requestLine) *requestLine = line;
  return lines;
}

RequestFrame frameHTTPRequest(std::string_view data, size_t maxBytes) {
  RequestFrame frame;
  size_t end = data.find(kHeaderEnd);
  if (end == std::string_view::npos) {
    frame.status = data.size() > maxBytes ? FrameStatus::kBad : FrameStatus::kIncomplete;
    return frame;
  }
  frame.headerLength = end + kHeaderEnd.size();
  if (frame.headerLength > maxBytes) {
    frame.status = FrameStatus::kBad;
    return frame;
  }

  std::optional<size_t> contentLength;
  for (const auto& [name, value] : headerLines(data.substr(0, frame.headerLength))) {
    // Chunked or otherwise encoded bodies are not supported; guessing at
    // their end would let one request's bytes be read as another's.
    if (name == "transfer-encoding") {
      frame.status = FrameStatus::kBad;
      return frame;
    }
    if (name != "content-length") continue;
    std::optional<size_t> length = parseLength(value, maxBytes);
    if (!length || (contentLength && *contentLength != *length)) {
      frame.status = FrameStatus::kBad;
      return frame;
    }
    contentLength = length;
  }

  frame.length = contentLength ? frame.headerLength + *contentLength : data.size();
  if (frame.length > maxBytes) {
    frame.status = FrameStatus::kBad;
  } else if (data.size() >= frame.length) {
    frame.status = FrameStatus::kComplete;
  } else {
    frame.status = FrameStatus::kIncomplete;
  }
  return frame;
}

bool parseHTTPRequest(std::string_view request, size_t headerLength, HTTPRequest& out) {
  out = HTTPRequest();
  if (headerLength > request.size()) return false;
  std::vector<std::pair<std::string, std::string>> lines =
      headerLines(request.substr(0, headerLength), &out.requestLine);

  size_t blank = out.requestLine.find(' ');
  if (blank == std::string::npos) return false;
  out.method = out.requestLine.substr(0, blank);
  size_t slash = out.requestLine.find('/');
  if (slash == std::string::npos) return false;
  size_t pathEnd = out.requestLine.find(' ', slash);
  if (pathEnd == std::string::npos) return false;
  out.path = out.requestLine.substr(slash, pathEnd - slash);

  for (auto& [name, value] : lines) out.headers.emplace(std::move(name), std::move(value));
  out.body = std::string(request.substr(headerLength));
  return true;
}

ReadStatus readHTTPRequest(int fd, std::string& out, RequestFrame& frame,
                           std::chrono::milliseconds timeout, size_t maxBytes) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  out.clear();
  frame = RequestFrame();
  bool headerSeen = false;
  size_t searchedUpTo = 0;
  char chunk[65536];

  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return out.empty() ? ReadStatus::kEmpty : ReadStatus::kIncomplete;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return ReadStatus::kError;
    }
    if (ready == 0) return out.empty() ? ReadStatus::kEmpty : ReadStatus::kIncomplete;

    ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return ReadStatus::kError;
    }
    if (got == 0) return out.empty() ? ReadStatus::kEmpty : ReadStatus::kIncomplete;
    out.append(chunk, static_cast<size_t>(got));

    if (!headerSeen) {
      // Only the bytes new since the last look can complete the blank line.
      size_t from =
          searchedUpTo >= kHeaderEnd.size() - 1 ? searchedUpTo - (kHeaderEnd.size() - 1) : 0;
      searchedUpTo = out.size();
      if (out.find(kHeaderEnd, from) == std::string::npos) {
        if (out.size() > maxBytes) return ReadStatus::kBad;
        continue;
      }
      frame = frameHTTPRequest(out, maxBytes);
      if (frame.status == FrameStatus::kBad) return ReadStatus::kBad;
      headerSeen = true;
    }
    if (out.size() >= frame.length) {
      out.resize(frame.length);
      frame.status = FrameStatus::kComplete;
      return ReadStatus::kComplete;
    }
  }
}
