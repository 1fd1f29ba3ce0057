#pragma once

#include <string>

// What the call detail records capture, chosen once at start-up from the "cdr"
// section's "mode".
enum class CDRMode : int { NONE = 0, CORRELATE = 1, OPERATION = 2 };

// "correlate" gives CORRELATE, "operation" OPERATION, anything else NONE.
CDRMode cdrModeFromText(const std::string& text);

// "NONE", "CORRELATE" or "OPERATION".
const char* cdrModeName(CDRMode mode);
