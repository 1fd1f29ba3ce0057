#include "app/application.h"
#include "app/build_info.h"

#ifndef PELLIRO_BUILD_ID
#define PELLIRO_BUILD_ID "0000000"
#endif

// Defined here so that only the executable is rebuilt when the revision moves.
const char* const kBuildDate = __DATE__;
const char* const kBuildTime = __TIME__;
const char* const kBuildId = PELLIRO_BUILD_ID;

int main(int argc, char** argv) { return runApplication(argc, argv); }
