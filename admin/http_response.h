#pragma once

#include <chrono>
#include <string>
#include <string_view>

// One response of the admin server, and the writing of it to a connection.
//
// The admin server answers every request with one of four shapes: the normal
// response (status line, the CORS header, a content type, the body), the
// OPTIONS response (the three CORS headers, no content type), the bare
// fallback response, or nothing at all. Values of this type are built by the
// routes and written by the server thread; sendAll is safe from any thread
// for a socket that thread owns.
struct HTTPResponse {
  enum class Kind { kNone, kNormal, kOptions, kFallback };

  Kind kind = Kind::kNone;
  int code = 0;
  std::string statusText;
  std::string contentType;
  std::string body;

  static HTTPResponse none() { return HTTPResponse{}; }
  static HTTPResponse fallback() { return HTTPResponse{Kind::kFallback, 200, "OK", "", ""}; }
  static HTTPResponse options(int code, std::string statusText, std::string body) {
    return HTTPResponse{Kind::kOptions, code, std::move(statusText), "", std::move(body)};
  }
  static HTTPResponse normal(int code, std::string statusText, std::string contentType,
                             std::string body) {
    return HTTPResponse{Kind::kNormal, code, std::move(statusText), std::move(contentType),
                        std::move(body)};
  }

  // The bytes to send; empty for kNone. Control characters in the status text
  // (which may echo ids from a request body) are replaced by blanks, so a
  // response can never carry headers a client put there.
  std::string wire() const;
};

// The exact bytes of the fallback response: no headers.
inline constexpr std::string_view kFallbackResponse = "HTTP/1.1 200 OK\r\n\r\nOK";

// Time a client may take to accept one response without reading any of it.
inline constexpr std::chrono::milliseconds kHTTPWriteTimeout{3000};
// Time a client may take to accept the whole of one response, however
// steadily it reads: the server serves one connection at a time, so a
// client reading a byte at a time must not hold it (and "/metrics", and
// shutdown) for longer than this.
inline constexpr std::chrono::milliseconds kHTTPSendDeadline{5000};

// The normal response: "HTTP/1.1 <code> <text>", the CORS header, the content
// type, then the body; sent whole. False when the client could not take it
// within `deadline`.
bool sendHTTPResponse(int fd, int code, const std::string& statusText,
                      const std::string& contentType, const std::string& body,
                      std::chrono::milliseconds deadline = kHTTPSendDeadline);
// The pre-flight response with the three CORS headers and no content type.
bool sendHTTPOptionsResponse(int fd, int code, const std::string& statusText,
                             const std::string& body,
                             std::chrono::milliseconds deadline = kHTTPSendDeadline);
// Any of the response shapes; nothing is sent for kNone.
bool sendHTTPResponse(int fd, const HTTPResponse& response,
                      std::chrono::milliseconds deadline = kHTTPSendDeadline);

// Writes all of `data`, looping over partial writes; false when the peer is
// gone, takes no bytes for `stallTimeout`, or has not taken everything
// `deadline` after the call.
bool sendAll(int fd, std::string_view data,
             std::chrono::milliseconds stallTimeout = kHTTPWriteTimeout,
             std::chrono::milliseconds deadline = kHTTPSendDeadline);
