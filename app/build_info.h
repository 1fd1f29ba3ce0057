#pragma once

// Build identity shown in the banner: the build date and time (in the
// compiler's __DATE__ and __TIME__ formats, fixed at configure time) and
// the short source revision the build was made from.
extern const char* const kBuildDate;
extern const char* const kBuildTime;
extern const char* const kBuildId;
