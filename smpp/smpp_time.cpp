#include "smpp/smpp_time.h"

#include <cstdio>

namespace SMPP {
namespace {

constexpr uint64_t kMicrosPerSecond = 1000000ULL;
constexpr uint64_t kNanosPerSecond = 1000000000ULL;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Two decimal digits at `pos`; -1 when either is not a digit.
int twoDigits(std::string_view text, size_t pos) {
  if (pos + 2 > text.size() || !isDigit(text[pos]) || !isDigit(text[pos + 1])) return -1;
  return (text[pos] - '0') * 10 + (text[pos + 1] - '0');
}

void putTwo(char* out, unsigned value) {
  out[0] = static_cast<char>('0' + (value / 10) % 10);
  out[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

CivilTime civilFromSeconds(uint64_t seconds) {
  const int64_t days = static_cast<int64_t>(seconds / 86400);
  const unsigned secondOfDay = static_cast<unsigned>(seconds % 86400);
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  CivilTime t{};
  t.day = doy - (153 * mp + 2) / 5 + 1;
  t.month = mp < 10 ? mp + 3 : mp - 9;
  t.year = static_cast<int64_t>(yoe) + era * 400 + (t.month <= 2 ? 1 : 0);
  t.hour = secondOfDay / 3600;
  t.minute = secondOfDay / 60 % 60;
  t.second = secondOfDay % 60;
  return t;
}

uint64_t parseAbsoluteTime(std::string_view text) {
  int fields[6];
  for (int i = 0; i < 6; ++i) {
    fields[i] = twoDigits(text, static_cast<size_t>(i) * 2);
    if (fields[i] < 0) return 0;
  }
  if (text.size() < 16 || !isDigit(text[12])) return 0;
  const int quarters = twoDigits(text, 13);
  if (quarters < 0) return 0;
  const char sign = text[15];

  const int year = fields[0] < 70 ? 2000 + fields[0] : 1900 + fields[0];
  const int month = fields[1], day = fields[2], hour = fields[3], minute = fields[4],
            second = fields[5];
  // Values no calendar holds are refused rather than rolled into the next
  // field, so a garbled time cannot silently become a different instant.
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
      quarters > 48) {
    return 0;
  }
  int64_t t = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
              hour * 3600 + minute * 60 + second;
  if (sign == '+') {
    t -= static_cast<int64_t>(quarters) * 900;
  } else if (sign == '-') {
    t += static_cast<int64_t>(quarters) * 900;
  }
  return t > 0 ? static_cast<uint64_t>(t) : 0;
}

uint64_t parseRelativeTime(std::string_view text) {
  int fields[4];
  for (int i = 0; i < 4; ++i) {
    fields[i] = twoDigits(text, 4 + static_cast<size_t>(i) * 2);
    if (fields[i] < 0) return 0;
  }
  return ((static_cast<uint64_t>(fields[0]) * 24 + static_cast<uint64_t>(fields[1])) * 60 +
          static_cast<uint64_t>(fields[2])) *
             60 +
         static_cast<uint64_t>(fields[3]);
}

std::string formatAbsoluteTime(uint64_t micros) {
  char out[17];
  putAbsoluteTime(out, micros);
  return std::string(out, 16);
}

void putAbsoluteTime(char* out, uint64_t micros) {
  const CivilTime t = civilFromSeconds(micros / kMicrosPerSecond);
  putTwo(out, static_cast<unsigned>(t.year % 100));
  putTwo(out + 2, t.month);
  putTwo(out + 4, t.day);
  putTwo(out + 6, t.hour);
  putTwo(out + 8, t.minute);
  putTwo(out + 10, t.second);
  out[12] = '0';
  out[13] = '0';
  out[14] = '0';
  out[15] = '+';
  out[16] = '\0';
}

std::string formatIsoTime(uint64_t nanos) {
  const CivilTime t = civilFromSeconds(nanos / kNanosPerSecond);
  char out[40];
  snprintf(out, sizeof out, "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(t.year),
           t.month, t.day, t.hour, t.minute, t.second);
  return out;
}

std::string formatReceiptDate(uint64_t micros) {
  // "%y%m%d%H%M": the absolute time without seconds and what follows.
  return formatAbsoluteTime(micros).substr(0, 10);
}

}  // namespace SMPP
