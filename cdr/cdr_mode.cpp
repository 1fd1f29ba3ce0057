#include "cdr/cdr_mode.h"

CDRMode cdrModeFromText(const std::string& text) {
  if (text == "correlate") return CDRMode::CORRELATE;
  if (text == "operation") return CDRMode::OPERATION;
  return CDRMode::NONE;
}

const char* cdrModeName(CDRMode mode) {
  switch (mode) {
    case CDRMode::CORRELATE: return "CORRELATE";
    case CDRMode::OPERATION: return "OPERATION";
    case CDRMode::NONE: break;
  }
  return "NONE";
}
