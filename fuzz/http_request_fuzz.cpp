// Feeds arbitrary bytes to the admin server's request framing and parsing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "admin/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // A small bound makes the size checks reachable.
  for (size_t bound : {size_t{256}, kMaxHTTPRequestBytes}) {
    RequestFrame frame = frameHTTPRequest(input, bound);
    if (frame.status != FrameStatus::kComplete) continue;
    if (frame.length > input.size() || frame.length > bound || frame.headerLength > frame.length)
      abort();
    HTTPRequest request;
    if (parseHTTPRequest(input.substr(0, frame.length), frame.headerLength, request)) {
      if (request.path.empty() || request.path[0] != '/') abort();
      if (request.body.size() != frame.length - frame.headerLength) abort();
      for (const auto& [name, value] : request.headers) {
        if (name.find('\r') != std::string::npos || value.find('\r') != std::string::npos) abort();
      }
    }
  }
  return 0;
}
