#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Reading and parsing of one HTTP/1.1 request of the admin server.
//
// The admin server serves one request per connection. These functions frame
// the bytes of a connection into one whole request (header block plus, where
// "Content-Length" says so, the body), and parse that request into method,
// path, headers and body. Framing and parsing are pure functions of their
// input and safe from any thread; readHTTPRequest does the socket I/O and is
// called on the admin server thread only.

// Largest request the admin server accepts, header block and body together.
inline constexpr size_t kMaxHTTPRequestBytes = 1024 * 1024;

// Time one client may take to deliver its whole request.
inline constexpr std::chrono::milliseconds kHTTPReadTimeout{3000};

struct HTTPRequest {
  std::string requestLine;  // as received
  std::string method;       // request line up to the first blank
  std::string path;         // from the first "/" to the next blank
  // Lower-cased header names; a repeated header keeps its first value.
  std::map<std::string, std::string> headers;
  std::string body;

  // The header value, or empty when the header is absent.
  std::string header(const std::string& lowerName) const;
};

// One header line of a header block as the admin server reads it: lines end at
// CR, LF characters are dropped, names and values are lower-cased except that
// the rest of a line keeps its case once "authorization" has been seen in it
// (a bearer token is case-sensitive). Every header line is returned, repeats
// included, in the order received; the request line is not among them.
std::vector<std::pair<std::string, std::string>> headerLines(std::string_view headerBlock,
                                                             std::string* requestLine = nullptr);

enum class FrameStatus {
  kIncomplete,  // more bytes are needed
  kComplete,    // `length` bytes form the request
  kBad,         // never a valid request: too large, or framing we refuse
};

struct RequestFrame {
  FrameStatus status = FrameStatus::kIncomplete;
  size_t headerLength = 0;  // up to and including the blank line
  size_t length = 0;        // whole request, when complete
};

// Decides whether `data` (the bytes received so far) holds a whole request.
// The header block ends at the first "\r\n\r\n". A "Content-Length" header
// makes the request exactly that many body bytes long; without one the body
// is whatever arrived with the header block. "Transfer-Encoding", two
// different "Content-Length" values, a value that is not a decimal number, or
// more than `maxBytes` in all make the request bad.
RequestFrame frameHTTPRequest(std::string_view data, size_t maxBytes = kMaxHTTPRequestBytes);

// Parses a whole request (as framed above). Returns false when the request
// line holds no blank, or no blank after its path: such a request gets no
// response at all.
bool parseHTTPRequest(std::string_view request, size_t headerLength, HTTPRequest& out);

enum class ReadStatus {
  kComplete,    // `out` holds exactly one whole request
  kEmpty,       // the peer sent nothing before closing or timing out
  kIncomplete,  // the peer stopped or timed out part-way
  kBad,         // too large, or refused framing
  kError,       // the socket failed; errno is set
};

// Reads from the connected socket `fd` until frameHTTPRequest says the request
// is whole or bad, the peer closes, or `timeout` has passed since the call.
ReadStatus readHTTPRequest(int fd, std::string& out, RequestFrame& frame,
                           std::chrono::milliseconds timeout = kHTTPReadTimeout,
                           size_t maxBytes = kMaxHTTPRequestBytes);
