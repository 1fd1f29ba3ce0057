#pragma once

// Build identity shown in the banner: the compiler's build date and time and
// the short source revision the build was made from.
extern const char* const kBuildDate;
extern const char* const kBuildTime;
extern const char* const kBuildId;
