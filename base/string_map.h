#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

// A hash map keyed by text that is searched with a string_view or a C string
// as well as a std::string, so a lookup on a hot path builds no key string.
struct StringViewHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

template <typename V>
using StringMap = std::unordered_map<std::string, V, StringViewHash, std::equal_to<>>;
