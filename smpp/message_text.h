#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Decoding of a short message to UTF-8 text, for matching mobile-originated
// messages against configured numbers. Pure; safe from any thread.
namespace SMPP {

inline constexpr uint8_t ESM_CLASS_UDHI = 0x40;
inline constexpr uint8_t DATA_CODING_UCS2 = 0x08;

// Skips the user data header when esm_class has the UDHI bit (the first
// octet is the header length). data_coding 8 is UCS-2/UTF-16 big-endian and
// becomes UTF-8 (surrogate pairs joined; a lone surrogate or a trailing odd
// octet becomes U+FFFD); any other coding is taken octet for octet.
std::string decodeMessageText(const uint8_t* data, size_t len, uint8_t esmClass,
                              uint8_t dataCoding);
std::string decodeMessageText(const std::vector<uint8_t>& message, uint8_t esmClass,
                              uint8_t dataCoding);

}  // namespace SMPP
