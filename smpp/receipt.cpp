#include "smpp/receipt.h"

#include <cstdio>

#include "smpp/smpp_time.h"

namespace SMPP {
namespace {

struct StateWord {
  std::string_view word;
  uint8_t state;
};

// Search order of the fallback: the first word found anywhere wins.
constexpr StateWord kStateWords[] = {
    {"ENROUTE", STATE_ENROUTE},        {"DELIVERED", STATE_DELIVERED},
    {"DELIVRD", STATE_DELIVERED},      {"EXPIRED", STATE_EXPIRED},
    {"DELETED", STATE_DELETED},        {"UNDELIVERABLE", STATE_UNDELIVERABLE},
    {"UNDELIV", STATE_UNDELIVERABLE},  {"ACCEPTED", STATE_ACCEPTED},
    {"ACCEPTD", STATE_ACCEPTED},       {"UNKNOWN", STATE_UNKNOWN},
    {"REJECTED", STATE_REJECTED},      {"REJECTD", STATE_REJECTED},
    {"SKIPPED", STATE_REJECTED},
};

// scanf's white space: ' ' and '\t' '\n' '\v' '\f' '\r', which are 9 to 13.
bool isSpace(char c) {
  return c == ' ' || static_cast<unsigned char>(c - '\t') <= '\r' - '\t';
}

// A cursor over the text with scanf's matching rules.
class PatternScanner {
 public:
  explicit PatternScanner(std::string_view text) : text_(text) {}

  // Literal part of the pattern: white space in it matches any run
  // (including none) of white space; other characters must match exactly.
  bool literal(std::string_view lit) {
    // Receipts mostly carry the literal as it stands, and a literal never
    // ends in white space, so taking it whole matches what the loop would.
    if (text_.substr(pos_, lit.size()) == lit) {
      pos_ += lit.size();
      return true;
    }
    for (char c : lit) {
      if (isSpace(c)) {
        skipSpace();
      } else {
        if (pos_ >= text_.size() || text_[pos_] != c) return false;
        ++pos_;
      }
    }
    return true;
  }

  // %s: skips white space, then takes the non-blank run. Refuses a run
  // longer than `maxLen`.
  bool word(std::string& out, size_t maxLen) {
    skipSpace();
    const size_t start = pos_;
    while (pos_ < text_.size() && !isSpace(text_[pos_])) ++pos_;
    if (pos_ == start || pos_ - start > maxLen) return false;
    out.assign(text_.substr(start, pos_ - start));
    return true;
  }

  // %d: skips white space, optional sign, at least one digit. Refuses
  // values outside the 32-bit signed range.
  bool number(int64_t& out) {
    skipSpace();
    bool negative = false;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
      negative = text_[pos_] == '-';
      ++pos_;
    }
    const size_t start = pos_;
    int64_t value = 0;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      value = value * 10 + (text_[pos_] - '0');
      if (value > 2147483648LL) return false;
      ++pos_;
    }
    if (pos_ == start) return false;
    out = negative ? -value : value;
    return negative || value <= 2147483647LL;
  }

 private:
  void skipSpace() {
    while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

uint8_t messageStateFromWord(std::string_view word) {
  for (const StateWord& w : kStateWords) {
    if (w.word == word) return w.state;
  }
  return STATE_NONE;
}

const char* receiptStatWord(uint8_t state) {
  switch (state) {
    case STATE_DELIVERED:
      return "DELIVRD";
    case STATE_EXPIRED:
    case STATE_DELETED:
    case STATE_ACCEPTED:
      return "EXPIRED";
    case STATE_UNDELIVERABLE:
      return "UNDELIV";
    default:
      return "UNKNOWN";
  }
}

// Receipt texts are C strings on the wire: the first NUL ends them.
static std::string_view untilNul(std::string_view text) {
  const size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

bool scanReceiptText(std::string_view text, ReceiptInfo& out) {
  PatternScanner s(untilNul(text));
  ReceiptInfo r;
  std::string stat;
  int64_t skipped = 0, err = 0;
  if (!s.literal("id:") || !s.word(r.messageId, kReceiptIdMax)) return false;
  if (!s.literal(" sub:") || !s.number(skipped)) return false;
  if (!s.literal(" dlvrd:") || !s.number(skipped)) return false;
  if (!s.literal(" submit date:") || !s.word(r.submitDate, kReceiptDateMax)) return false;
  if (!s.literal(" done date:") || !s.word(r.doneDate, kReceiptDateMax)) return false;
  if (!s.literal(" stat:") || !s.word(stat, kReceiptStatMax)) return false;
  if (!s.literal(" err:") || !s.number(err)) return false;
  r.state = messageStateFromWord(stat);
  r.error = static_cast<uint32_t>(err);
  r.patternMatched = true;
  out = std::move(r);
  return true;
}

ReceiptInfo parseReceiptText(std::string_view text, const std::vector<TLV>* tlvs) {
  text = untilNul(text);
  ReceiptInfo r;
  if (!scanReceiptText(text, r)) {
    r = ReceiptInfo{};
    for (const StateWord& w : kStateWords) {
      if (text.find(w.word) != std::string_view::npos) {
        r.state = w.state;
        break;
      }
    }
  }
  if (tlvs == nullptr) return r;
  for (const TLV& t : *tlvs) {
    if (t.tag == TAG_MESSAGE_STATE && !t.value.empty()) {
      r.state = t.value[0];
    } else if (t.tag == TAG_NETWORK_ERROR_CODE && t.value.size() == 3 && t.value[0] == 3) {
      r.error = static_cast<uint32_t>(t.value[1]) << 8 | t.value[2];
    } else if (t.tag == TAG_RECEIPTED_MESSAGE_ID) {
      size_t n = 0;
      while (n < t.value.size() && t.value[n] != 0) ++n;
      r.messageId.assign(reinterpret_cast<const char*>(t.value.data()), n);
    }
  }
  return r;
}

std::string formatReceiptText(std::string_view messageId, uint8_t state, uint32_t error,
                              uint64_t nowMicros) {
  const std::string date = formatReceiptDate(nowMicros);
  char text[kReceiptTextMax + 1];
  const std::string id(messageId);
  snprintf(text, sizeof text,
           "id:%s sub:000 dlvrd:%03d submit date:%s done date:%s stat:%s err:%03u text:",
           id.c_str(), state == STATE_DELIVERED ? 1 : 0, date.c_str(), date.c_str(),
           receiptStatWord(state), error);
  return text;
}

std::vector<TLV> makeReceiptTLVs(uint8_t state, uint32_t error, std::string_view messageId) {
  std::vector<TLV> tlvs(3);
  tlvs[0].tag = TAG_MESSAGE_STATE;
  tlvs[0].value = {state};
  tlvs[1].tag = TAG_NETWORK_ERROR_CODE;
  tlvs[1].value = {3, static_cast<uint8_t>(error >> 8), static_cast<uint8_t>(error)};
  tlvs[2].tag = TAG_RECEIPTED_MESSAGE_ID;
  tlvs[2].value.assign(messageId.begin(), messageId.end());
  tlvs[2].value.push_back(0);
  for (TLV& t : tlvs) t.length = static_cast<uint32_t>(t.value.size());
  return tlvs;
}

}  // namespace SMPP
