#include "cdr/cdr_encoding.h"

#include <array>
#include <bitset>
#include <charconv>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <nlohmann/json.hpp>

// Members keep the order in which they are added.
using json = nlohmann::ordered_json;

const char* const kCDRCsvHeader =
    "messageId,sourceAddr,destAddr,submitTime,submitTimeISO8601,messageIdTime,"
    "messageIdTimeISO8601,dlrReceivedTime,dlrReceivedTimeISO8601,dlrDoneDate,submitStatus,"
    "deliveryTime,deliveryTimeISO8601,deliveryStatus,errorCode,esmeId,esmeIp,smscId,smscName,"
    "messageLength,dataCoding,esmClass,registeredDelivery,isConcatenated,concatRef,concatTotal,"
    "concatPart,mccMNC";

namespace {

// Columns in CSV order.
enum Col : int {
  MessageId,
  SourceAddr,
  DestAddr,
  SubmitTime,
  SubmitTimeIso,
  MessageIdTime,
  MessageIdTimeIso,
  DlrReceivedTime,
  DlrReceivedTimeIso,
  DlrDoneDate,
  SubmitStatus,
  DeliveryTime,
  DeliveryTimeIso,
  DeliveryStatus,
  ErrorCode,
  EsmeId,
  EsmeIp,
  SmscId,
  SmscName,
  MessageLength,
  DataCoding,
  EsmClass,
  RegisteredDelivery,
  IsConcatenated,
  ConcatRef,
  ConcatTotal,
  ConcatPart,
  MccMNC,
};

constexpr std::array<const char*, kCDRColumnCount> kNames = {"messageId",
                                                             "sourceAddr",
                                                             "destAddr",
                                                             "submitTime",
                                                             "submitTimeISO8601",
                                                             "messageIdTime",
                                                             "messageIdTimeISO8601",
                                                             "dlrReceivedTime",
                                                             "dlrReceivedTimeISO8601",
                                                             "dlrDoneDate",
                                                             "submitStatus",
                                                             "deliveryTime",
                                                             "deliveryTimeISO8601",
                                                             "deliveryStatus",
                                                             "errorCode",
                                                             "esmeId",
                                                             "esmeIp",
                                                             "smscId",
                                                             "smscName",
                                                             "messageLength",
                                                             "dataCoding",
                                                             "esmClass",
                                                             "registeredDelivery",
                                                             "isConcatenated",
                                                             "concatRef",
                                                             "concatTotal",
                                                             "concatPart",
                                                             "mccMNC"};

enum class Kind { MO, CorrelateRefused, CorrelateComplete, OperationSubmit, OperationReceipt };

using Columns = std::bitset<kCDRColumnCount>;

Columns columns(std::initializer_list<int> cols) {
  Columns set;
  for (int c : cols) set.set(static_cast<size_t>(c));
  return set;
}

Columns range(int from, int to) {
  Columns set;
  for (int c = from; c <= to; ++c) set.set(static_cast<size_t>(c));
  return set;
}

Kind kindOf(const CDRRecord& r, CDRMode mode) {
  if (r.origin == CDROrigin::MO) return Kind::MO;
  if (r.origin == CDROrigin::MTReceipt) return Kind::OperationReceipt;
  if (mode == CDRMode::OPERATION) return Kind::OperationSubmit;
  return r.submitStatus != 0 ? Kind::CorrelateRefused : Kind::CorrelateComplete;
}

const Columns kResponseColumns = columns({MessageIdTime, MessageIdTimeIso});
const Columns kReceiptColumns = columns({DlrReceivedTime, DlrReceivedTimeIso, DlrDoneDate,
                                         DeliveryTime, DeliveryTimeIso, DeliveryStatus, ErrorCode});

const Columns kHeadColumns = columns({SourceAddr, DestAddr, SubmitTime, SubmitTimeIso});
const Columns kCustomerColumns = range(EsmeId, MccMNC);
const Columns kMOColumns = kHeadColumns | kCustomerColumns;
const Columns kRefusedColumns = kHeadColumns | columns({SubmitStatus}) | kCustomerColumns;
const Columns kSubmitColumns =
    kHeadColumns | columns({MessageId, MessageIdTime, MessageIdTimeIso, SubmitStatus}) |
    kCustomerColumns;
const Columns kReceiptOnlyColumns =
    kReceiptColumns | columns({MessageId, EsmeId, EsmeIp, SmscId, SmscName, MccMNC});

// CSV columns a record fills. A record stored before its response or receipt
// came (a lost bind, the stale cleanup) leaves those columns empty instead of
// claiming the start of the epoch.
Columns csvColumns(const CDRRecord& r, Kind kind) {
  Columns set;
  switch (kind) {
    case Kind::MO:
      set = kMOColumns;
      break;
    case Kind::CorrelateRefused:
      set = kRefusedColumns;
      break;
    case Kind::CorrelateComplete:
      set.set();
      break;
    case Kind::OperationSubmit:
      set = kSubmitColumns;
      break;
    case Kind::OperationReceipt:
      return kReceiptOnlyColumns;
  }
  if (r.messageIdTime == 0) set &= ~kResponseColumns;
  if (r.dlrReceivedTime == 0) set &= ~kReceiptColumns;
  return set;
}

// JSON members in the order they are added, per kind.
const std::vector<int>& jsonMembers(Kind kind) {
  static const std::vector<int> mo = {SourceAddr, DestAddr, SubmitTimeIso, EsmeId,     EsmeIp,
                                      SmscName,   SmscId,   MessageLength, DataCoding, EsmClass};
  static const std::vector<int> refused = {
      SourceAddr,     DestAddr,  SubmitTimeIso, SubmitStatus, EsmeId,   EsmeIp,
      SmscId,         SmscName,  MessageLength, DataCoding,   EsmClass, RegisteredDelivery,
      IsConcatenated, ConcatRef, ConcatTotal,   ConcatPart,   MccMNC};
  static const std::vector<int> complete = {MessageId,
                                            SourceAddr,
                                            DestAddr,
                                            SubmitTimeIso,
                                            MessageIdTimeIso,
                                            DlrReceivedTimeIso,
                                            DlrDoneDate,
                                            SubmitStatus,
                                            DeliveryTimeIso,
                                            DeliveryStatus,
                                            ErrorCode,
                                            EsmeId,
                                            EsmeIp,
                                            SmscName,
                                            SmscId,
                                            MessageLength,
                                            DataCoding,
                                            EsmClass,
                                            RegisteredDelivery,
                                            IsConcatenated,
                                            ConcatRef,
                                            ConcatTotal,
                                            ConcatPart,
                                            MccMNC};
  static const std::vector<int> submit = {
      MessageId,        SourceAddr,         DestAddr,       SubmitTimeIso,
      MessageIdTimeIso, SubmitStatus,       EsmeId,         EsmeIp,
      SmscId,           SmscName,           MessageLength,  DataCoding,
      EsmClass,         RegisteredDelivery, IsConcatenated, ConcatRef,
      ConcatTotal,      ConcatPart,         MccMNC};
  static const std::vector<int> receipt = {MessageId,      DlrReceivedTimeIso,
                                           DlrDoneDate,    DeliveryTimeIso,
                                           DeliveryStatus, ErrorCode,
                                           EsmeId,         EsmeIp,
                                           SmscId,         SmscName};
  switch (kind) {
    case Kind::MO:
      return mo;
    case Kind::CorrelateRefused:
      return refused;
    case Kind::CorrelateComplete:
      return complete;
    case Kind::OperationSubmit:
      return submit;
    case Kind::OperationReceipt:
      break;
  }
  return receipt;
}

int64_t seconds(int64_t nanos) {
  return nanos / 1000000000LL;
}

// The time an ISO 8601 column shows, or nullptr for any other column.
const int64_t* isoTimeOf(const CDRRecord& r, int col) {
  switch (col) {
    case SubmitTimeIso:
      return &r.submitTime;
    case MessageIdTimeIso:
      return &r.messageIdTime;
    case DlrReceivedTimeIso:
      return &r.dlrReceivedTime;
    case DeliveryTimeIso:
      return &r.deliveryTime;
    default:
      return nullptr;
  }
}

// The text of a column, or its number (`isNumber` set, value in `number`).
const std::string* textOf(const CDRRecord& r, int col, std::string& scratch, uint64_t& number,
                          bool& isBool) {
  isBool = false;
  if (const int64_t* time = isoTimeOf(r, col)) {
    scratch = isoTime(*time);
    return &scratch;
  }
  switch (col) {
    case MessageId:
      return &r.messageId;
    case SourceAddr:
      return &r.sourceAddr;
    case DestAddr:
      return &r.destAddr;
    case DlrDoneDate:
      return &r.dlrDoneDate;
    case EsmeId:
      return &r.esmeId;
    case EsmeIp:
      return &r.esmeIp;
    case SmscName:
      return &r.smscName;
    case MccMNC:
      return &r.mccMNC;
    case SubmitTime:
      number = static_cast<uint64_t>(seconds(r.submitTime));
      return nullptr;
    case MessageIdTime:
      number = static_cast<uint64_t>(seconds(r.messageIdTime));
      return nullptr;
    case DlrReceivedTime:
      number = static_cast<uint64_t>(seconds(r.dlrReceivedTime));
      return nullptr;
    case DeliveryTime:
      number = static_cast<uint64_t>(seconds(r.deliveryTime));
      return nullptr;
    case SubmitStatus:
      number = r.submitStatus;
      return nullptr;
    case DeliveryStatus:
      number = r.deliveryStatus;
      return nullptr;
    case ErrorCode:
      number = r.errorCode;
      return nullptr;
    case SmscId:
      number = r.smscId;
      return nullptr;
    case MessageLength:
      number = r.messageLength;
      return nullptr;
    case DataCoding:
      number = r.dataCoding;
      return nullptr;
    case EsmClass:
      number = r.esmClass;
      return nullptr;
    case RegisteredDelivery:
      number = r.registeredDelivery;
      return nullptr;
    case IsConcatenated:
      number = r.isConcatenated ? 1 : 0;
      isBool = true;
      return nullptr;
    case ConcatRef:
      number = r.concatRef;
      return nullptr;
    case ConcatTotal:
      number = r.concatTotal;
      return nullptr;
    default:
      number = r.concatPart;
      return nullptr;
  }
}

std::string maskAddress(const std::string& addr) {
  if (addr.size() <= 4) return addr;
  return addr.substr(0, 4) + std::string(addr.size() - 4, '*');
}

}  // namespace

void anonymiseRecord(CDRRecord& record) {
  record.sourceAddr = maskAddress(record.sourceAddr);
  record.destAddr = maskAddress(record.destAddr);
}

namespace {

bool needsQuotes(const std::string& field) {
  // One pass over the field: find_first_of searches the set for each
  // character, and this runs for every field of every row.
  for (char c : field) {
    if (c == ',' || c == '"' || c == '\r' || c == '\n') return true;
  }
  return false;
}

// Writes the field at `at` as appendCsvField does; `at` has room for twice
// its size and two quotes. Returns the end.
char* putCsvField(char* at, const std::string& field) {
  if (!needsQuotes(field)) {
    if (!field.empty()) std::memcpy(at, field.data(), field.size());
    return at + field.size();
  }
  *at++ = '"';
  for (char c : field) {
    if (c == '"') *at++ = '"';
    *at++ = c;
  }
  *at++ = '"';
  return at;
}

}  // namespace

void appendCsvField(std::string& out, const std::string& field) {
  const size_t start = out.size();
  out.resize(start + 2 * field.size() + 2);
  out.resize(static_cast<size_t>(putCsvField(out.data() + start, field) - out.data()));
}

void appendCsvRow(std::string& out, const CDRRecord& original, CDRMode mode, bool anonymise) {
  // Runs for every stored record on the writer thread, so the row is written
  // into room made once: a bound of its length is taken first (each text
  // field doubled and quoted, 20 digits for a number, 31 characters for a
  // time), and the text is cut back to what was written.
  std::optional<CDRRecord> masked;
  if (anonymise) {
    masked.emplace(original);
    anonymiseRecord(*masked);
  }
  const CDRRecord& record = masked ? *masked : original;
  const Columns set = csvColumns(record, kindOf(record, mode));
  size_t bound = kCDRColumnCount * 32 + 1;
  for (const std::string* text :
       {&record.messageId, &record.sourceAddr, &record.destAddr, &record.dlrDoneDate,
        &record.esmeId, &record.esmeIp, &record.smscName, &record.mccMNC}) {
    bound += 2 * text->size() + 2;
  }
  const size_t start = out.size();
  out.resize(start + bound);
  char* at = out.data() + start;
  std::string scratch;
  for (size_t col = 0; col < kCDRColumnCount; ++col) {
    if (col != 0) *at++ = ',';
    if (!set.test(col)) continue;
    if (const int64_t* time = isoTimeOf(record, static_cast<int>(col))) {
      const std::string_view iso = isoTimeText(*time);  // never needs quoting
      std::memcpy(at, iso.data(), iso.size());
      at += iso.size();
      continue;
    }
    uint64_t number = 0;
    bool isBool = false;
    const std::string* text = textOf(record, static_cast<int>(col), scratch, number, isBool);
    at = text != nullptr ? putCsvField(at, *text) : std::to_chars(at, at + 20, number).ptr;
  }
  *at++ = '\n';
  out.resize(static_cast<size_t>(at - out.data()));
}

std::string jsonBatch(const std::vector<CDRRecord>& batch, CDRMode mode, bool anonymise) {
  json array = json::array();
  std::string scratch;
  for (const CDRRecord& original : batch) {
    CDRRecord masked;
    const CDRRecord* r = &original;
    if (anonymise) {
      masked = original;
      anonymiseRecord(masked);
      r = &masked;
    }
    const Kind kind = kindOf(*r, mode);
    const Columns present = csvColumns(*r, kind);
    json object = json::object();
    for (int col : jsonMembers(kind)) {
      if (!present.test(static_cast<size_t>(col))) continue;
      uint64_t number = 0;
      bool isBool = false;
      const std::string* text = textOf(*r, col, scratch, number, isBool);
      if (text != nullptr) {
        object[kNames[static_cast<size_t>(col)]] = *text;
      } else if (isBool) {
        object[kNames[static_cast<size_t>(col)]] = number != 0;
      } else {
        object[kNames[static_cast<size_t>(col)]] = number;
      }
    }
    array.push_back(std::move(object));
  }
  return array.dump(-1, ' ', false, json::error_handler_t::replace);
}
