#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// SMPP time strings and the ISO-8601 record timestamps. Pure functions over
// UTC, independent of the process time zone; safe from any thread.
namespace SMPP {

// "YYMMDDhhmmsstnnp": two-digit year (below 70 means 20xx), month, day,
// hour, minute, second, tenths (ignored), quarter hours from UTC and the sign
// '+' or '-' (any other character applies no offset). Returns seconds since
// the Unix epoch, or 0 when the text is not of that shape or names no valid
// calendar instant.
uint64_t parseAbsoluteTime(std::string_view text);

// The relative form "YYMMDDhhmmsstnnR": the duration in seconds made of the
// day, hour, minute and second fields; year and month are not counted. 0 when
// the four fields cannot be read.
uint64_t parseRelativeTime(std::string_view text);

// Absolute SMPP time of `micros` (UTC, tenths 0, offset "00+").
std::string formatAbsoluteTime(uint64_t micros);
// The same into `out`: 16 characters and a NUL.
void putAbsoluteTime(char* out, uint64_t micros);

// "%Y-%m-%dT%H:%M:%SZ" of `nanos` (UTC, whole seconds).
std::string formatIsoTime(uint64_t nanos);

// "%y%m%d%H%M" of `micros` (UTC): the date form of receipt texts.
std::string formatReceiptDate(uint64_t micros);

// Calendar helpers shared by the formatters (proleptic Gregorian, UTC).
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day);
struct CivilTime {
  int64_t year;
  unsigned month, day, hour, minute, second;
};
CivilTime civilFromSeconds(uint64_t seconds);

}  // namespace SMPP
