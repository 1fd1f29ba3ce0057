#include "app/application.h"
#include "app/build_info.h"

#ifndef PELLIRO_BUILD_ID
#define PELLIRO_BUILD_ID "0000000"
#endif
// The build sets both when it is configured (see CMakeLists.txt), so that
// rebuilding one revision gives the same executable.
#ifndef PELLIRO_BUILD_DATE
#define PELLIRO_BUILD_DATE "Jan  1 1970"
#endif
#ifndef PELLIRO_BUILD_TIME
#define PELLIRO_BUILD_TIME "00:00:00"
#endif

// Defined here so that only the executable is rebuilt when the revision moves.
const char* const kBuildDate = PELLIRO_BUILD_DATE;
const char* const kBuildTime = PELLIRO_BUILD_TIME;
const char* const kBuildId = PELLIRO_BUILD_ID;

int main(int argc, char** argv) { return runApplication(argc, argv); }
