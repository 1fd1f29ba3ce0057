#include "smpp/pdu.h"

#include <gtest/gtest.h>

#include "smpp/smpp_time.h"

namespace {

using Bytes = std::vector<uint8_t>;
using SMPP::T_SubmitSM;
using SMPP::TLV;

constexpr uint64_t kNow = 1706745599ULL * 1000000ULL;  // 2024-01-31 23:59:59 UTC

Bytes text(const char* s) { return Bytes(s, s + strlen(s)); }
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A submit_sm body written out field by field.
Bytes submitBody(const Bytes& schedule = {0}, const Bytes& validity = {0},
                 const Bytes& tail = {0x02, 0x0C, 0x00, 0x02, 0x00, 0x07}) {
  return cat({
      {'C', 'M', 'T', 0},                       // service_type
      {0x01, 0x01},                             // source ton, npi
      {'1', '2', '3', '4', '5', 0},             // source_addr
      {0x01, 0x01},                             // dest ton, npi
      {'4', '4', '7', '9', '0', '0', 0},        // destination_addr
      {0x40, 0x00, 0x01},                       // esm_class, protocol_id, priority_flag
      schedule, validity,                       //
      {0x01, 0x00, 0x08, 0x00},                 // registered, replace, coding, default id
      {0x05, 0x05, 0x00, 0x03, 0x07, 0x02},     // sm_length 5, UDH bytes
      tail,                                     // TLVs
  });
}

TEST(Pdu, HeaderEncodesBigEndian) {
  const Bytes pdu = SMPP::encodePDU(SMPP::ENQUIRE_LINK, 0, 0x01020304, nullptr, 0);
  const Bytes expected = {0, 0, 0, 16, 0, 0, 0, 0x15, 0, 0, 0, 0, 1, 2, 3, 4};
  EXPECT_EQ(pdu, expected);
  const SMPP::PDUHeader h = SMPP::decodeHeader(expected.data());
  EXPECT_EQ(h.commandLength, 16u);
  EXPECT_EQ(h.commandId, SMPP::ENQUIRE_LINK);
  EXPECT_EQ(h.sequenceNumber, 0x01020304u);
}

TEST(Pdu, CommandNamesCoverTheTable) {
  EXPECT_STREQ(SMPP::commandName(0x00000001), "BindReceiver");
  EXPECT_STREQ(SMPP::commandName(0x80000009), "BindTransceiverResp");
  EXPECT_STREQ(SMPP::commandName(0x0000000B), "Outbind");
  EXPECT_STREQ(SMPP::commandName(0x80000000), "GenericNack");
  EXPECT_STREQ(SMPP::commandName(0x00000102), "AlertNotification");
  EXPECT_STREQ(SMPP::commandName(0x80000103), "DataSMResp");
  EXPECT_STREQ(SMPP::commandName(0x80000113), "CancelBroadcastSMResp");
  EXPECT_STREQ(SMPP::commandName(0x8000000B), "");
  EXPECT_STREQ(SMPP::commandName(0x00000104), "");
  EXPECT_STREQ(SMPP::statusName(0x04), "ESME_RINVBNDSTS");
  EXPECT_STREQ(SMPP::statusName(0x0D), "");
}

TEST(Pdu, ReadCStringHonoursMaximumIncludingNul) {
  const Bytes b = text("abcd");
  Bytes withNul = b;
  withNul.push_back(0);
  size_t off = 0;
  std::string out;
  EXPECT_FALSE(SMPP::readCString(withNul.data(), withNul.size(), off, out, 4));
  EXPECT_EQ(off, 0u);
  EXPECT_TRUE(SMPP::readCString(withNul.data(), withNul.size(), off, out, 5));
  EXPECT_EQ(out, "abcd");
  EXPECT_EQ(off, 5u);
  off = 0;
  EXPECT_FALSE(SMPP::readCString(b.data(), b.size(), off, out, 10));  // no NUL before the end
  EXPECT_FALSE(SMPP::readCString(withNul.data(), withNul.size(), off = 5, out, 10));
}

TEST(Pdu, ParseTlvsAcceptsZeroLengthAndExactRuns) {
  const Bytes b = {0x14, 0x00, 0x00, 0x00, 0x04, 0x24, 0x00, 0x02, 'h', 'i'};
  std::vector<TLV> tlvs;
  ASSERT_TRUE(SMPP::parseTLVs(tlvs, b.size(), b.data()));
  ASSERT_EQ(tlvs.size(), 2u);
  EXPECT_EQ(tlvs[0], (TLV{0x1400, 0, {}}));
  EXPECT_EQ(tlvs[1], (TLV{0x0424, 2, {'h', 'i'}}));
  EXPECT_TRUE(SMPP::parseTLVs(tlvs, 0, b.data()));
  EXPECT_TRUE(tlvs.empty());
}

TEST(Pdu, ParseTlvsRefusesOverrunsAndStrayBytes) {
  const Bytes overrun = {0x04, 0x24, 0x00, 0x03, 'h', 'i'};
  std::vector<TLV> tlvs;
  EXPECT_FALSE(SMPP::parseTLVs(tlvs, overrun.size(), overrun.data()));
  const Bytes stray = {0x04, 0x24, 0x00, 0x00, 0x01, 0x02, 0x03};
  EXPECT_FALSE(SMPP::parseTLVs(tlvs, stray.size(), stray.data()));
}

TEST(Pdu, SubmitSmDecodesEveryField) {
  const Bytes body = submitBody();
  T_SubmitSM sm;
  uint32_t error = 0;
  ASSERT_TRUE(SMPP::parseSubmitSM(SMPP::SUBMIT_SM, body.data(), body.size(), sm, true, error, kNow));
  EXPECT_EQ(sm.service_type, "CMT");
  EXPECT_EQ(sm.source_addr_ton, 1);
  EXPECT_EQ(sm.source_addr, "12345");
  EXPECT_EQ(sm.destination_addr, "447900");
  EXPECT_EQ(sm.esm_class, 0x40);
  EXPECT_EQ(sm.priority_flag, 1);
  EXPECT_EQ(sm.schedule_delivery_time, 0u);
  EXPECT_EQ(sm.validity_period, kNow + 86400000000ULL);
  EXPECT_EQ(sm.registered_delivery, 1);
  EXPECT_EQ(sm.data_coding, 8);
  EXPECT_EQ(sm.short_message, (Bytes{0x05, 0x00, 0x03, 0x07, 0x02}));
  ASSERT_EQ(sm.tlvs.size(), 1u);
  EXPECT_EQ(sm.tlvs[0], (TLV{0x020C, 2, {0x00, 0x07}}));
}

TEST(Pdu, ExtraZeroByteAfterShortMessageGivesNoTlvs) {
  const Bytes body = submitBody({0}, {0}, {0x00});
  T_SubmitSM sm;
  uint32_t error = 0;
  ASSERT_TRUE(SMPP::parseSubmitSM(SMPP::SUBMIT_SM, body.data(), body.size(), sm, true, error, kNow));
  EXPECT_TRUE(sm.tlvs.empty());
  const Bytes nonZero = submitBody({0}, {0}, {0x01});
  EXPECT_FALSE(
      SMPP::parseSubmitSM(SMPP::SUBMIT_SM, nonZero.data(), nonZero.size(), sm, true, error, kNow));
  EXPECT_EQ(error, 0x45u);
}

TEST(Pdu, TlvLengthPastTheEndIsRefusedWith45) {
  const Bytes body = submitBody({0}, {0}, {0x02, 0x0C, 0x00, 0x09, 0x00});
  T_SubmitSM sm;
  sm.source_addr = "untouched";
  uint32_t error = 0;
  EXPECT_FALSE(SMPP::parseSubmitSM(SMPP::SUBMIT_SM, body.data(), body.size(), sm, true, error, kNow));
  EXPECT_EQ(error, 0x45u);
  EXPECT_EQ(sm.source_addr, "untouched");
}

TEST(Pdu, TwentyOneCharacterSourceAddressIsRefused) {
  Bytes body = cat({{0}, {1, 1}, Bytes(21, '9'), {0}, {1, 1}, text("44"), {0}, {0, 0, 0, 0, 0},
                    {0, 0, 0, 0, 0}});
  T_SubmitSM sm;
  uint32_t error = 0;
  EXPECT_FALSE(SMPP::parseSubmitSM(SMPP::SUBMIT_SM, body.data(), body.size(), sm, true, error, kNow));
  EXPECT_EQ(error, 0x45u);
  body = cat({{0}, {1, 1}, Bytes(20, '9'), {0}, {1, 1}, text("44"), {0}, {0, 0, 0, 0, 0},
              {0, 0, 0, 0, 0}});
  EXPECT_TRUE(SMPP::parseSubmitSM(SMPP::SUBMIT_SM, body.data(), body.size(), sm, true, error, kNow));
  EXPECT_EQ(sm.source_addr, std::string(20, '9'));
}

TEST(Pdu, EveryTruncationOfASubmitIsRefused) {
  const Bytes body = submitBody();
  T_SubmitSM sm;
  uint32_t error = 0;
  // Cutting at any point before the TLVs loses a field (or leaves a partial TLV).
  for (size_t n = 0; n < body.size(); ++n) {
    if (n == body.size() - 6) continue;  // exactly without the TLV: valid
    EXPECT_FALSE(SMPP::parseSubmitSM(SMPP::SUBMIT_SM, body.data(), n, sm, true, error, kNow)) << n;
    EXPECT_EQ(error, 0x45u);
  }
}

TEST(Pdu, OtherCommandIdsAreRefused) {
  const Bytes body = submitBody();
  T_SubmitSM sm;
  uint32_t error = 0;
  EXPECT_FALSE(SMPP::parseSubmitSM(SMPP::DELIVER_SM, body.data(), body.size(), sm, true, error, kNow));
  EXPECT_EQ(error, 0x45u);
}

TEST(Pdu, ScheduleInThePastIsRefusedWith61) {
  const Bytes sched = cat({text("240131235958000+"), {0}});
  const Bytes body = submitBody(sched);
  T_SubmitSM sm;
  uint32_t error = 0;
  EXPECT_FALSE(SMPP::parseSubmitSM(SMPP::SUBMIT_SM, body.data(), body.size(), sm, true, error, kNow));
  EXPECT_EQ(error, 0x61u);
  // Without the check the same body decodes.
  EXPECT_TRUE(SMPP::parseSubmitSM(SMPP::SUBMIT_SM, body.data(), body.size(), sm, false, error, kNow));
  EXPECT_EQ(sm.schedule_delivery_time, kNow - 1000000);
}

TEST(Pdu, AbsoluteValidityInThePastIsRefusedWith62) {
  const Bytes validity = cat({text("240131235958000+"), {0}});
  const Bytes body = submitBody({0}, validity);
  T_SubmitSM sm;
  uint32_t error = 0;
  EXPECT_FALSE(SMPP::parseSubmitSM(SMPP::SUBMIT_SM, body.data(), body.size(), sm, true, error, kNow));
  EXPECT_EQ(error, 0x62u);
}

TEST(Pdu, RelativeTimesCountFromNow) {
  const Bytes sched = cat({text("000000000130000R"), {0}});
  const Bytes validity = cat({text("000001000000000R"), {0}});
  const Bytes body = submitBody(sched, validity);
  T_SubmitSM sm;
  uint32_t error = 0;
  ASSERT_TRUE(SMPP::parseSubmitSM(SMPP::SUBMIT_SM, body.data(), body.size(), sm, true, error, kNow));
  EXPECT_EQ(sm.schedule_delivery_time, kNow + 90000000ULL);
  EXPECT_EQ(sm.validity_period, kNow + 86400000000ULL);
}

TEST(Pdu, DataSmDecodesWithPayloadInTlvs) {
  const Bytes body = cat({{0}, {1, 1}, text("123"), {0}, {1, 1}, text("456"), {0},
                          {0x00, 0x01, 0x00},  // esm_class, registered_delivery, data_coding
                          {0x04, 0x24, 0x00, 0x03, 'a', 'b', 'c'}});
  T_SubmitSM sm;
  uint32_t error = 0;
  ASSERT_TRUE(SMPP::parseSubmitSM(SMPP::DATA_SM, body.data(), body.size(), sm, true, error, kNow));
  EXPECT_EQ(sm.registered_delivery, 1);
  EXPECT_EQ(sm.protocol_id, 0);
  EXPECT_TRUE(sm.short_message.empty());
  ASSERT_EQ(sm.tlvs.size(), 1u);
  EXPECT_EQ(sm.tlvs[0].value, text("abc"));
  EXPECT_EQ(sm.validity_period, kNow + 86400000000ULL);
}

TEST(Pdu, SubmitSmEncodingIsByteExact) {
  T_SubmitSM sm;
  sm.service_type = "CMT";
  sm.source_addr_ton = 5;
  sm.source_addr_npi = 0;
  sm.source_addr = "Shop";
  sm.dest_addr_ton = 1;
  sm.dest_addr_npi = 1;
  sm.destination_addr = "4479";
  sm.esm_class = 0;
  sm.protocol_id = 0;
  sm.priority_flag = 0;
  sm.schedule_delivery_time = 0;
  sm.validity_period = kNow;
  sm.registered_delivery = 1;
  sm.data_coding = 0;
  sm.sm_default_msg_id = 9;  // never forwarded
  sm.short_message = text("hi");
  sm.tlvs = {TLV{0x020C, 2, {0, 7}}};
  Bytes out;
  ASSERT_TRUE(SMPP::encodeSubmitSMBody(SMPP::SUBMIT_SM, sm, out));
  const Bytes expected = cat({text("CMT"), {0}, {5, 0}, text("Shop"), {0}, {1, 1}, text("4479"),
                              {0}, {0, 0, 0}, {0}, text("240131235959000+"), {0}, {1, 0, 0, 0},
                              {2, 'h', 'i'}, {0x02, 0x0C, 0x00, 0x02, 0x00, 0x07}});
  EXPECT_EQ(out, expected);
}

TEST(Pdu, SubmitSmRoundTripsThroughTheParser) {
  T_SubmitSM sm;
  sm.source_addr = "1";
  sm.destination_addr = "2";
  sm.schedule_delivery_time = kNow + 60000000;
  sm.validity_period = kNow + 3600000000ULL;
  sm.short_message = Bytes(255, 0xAB);
  sm.tlvs = {TLV{0x1234, 0, {}}, TLV{0x0424, 3, {1, 2, 3}}};
  Bytes out;
  ASSERT_TRUE(SMPP::encodeSubmitSMBody(SMPP::SUBMIT_SM, sm, out));
  T_SubmitSM back;
  uint32_t error = 0;
  ASSERT_TRUE(SMPP::parseSubmitSM(SMPP::SUBMIT_SM, out.data(), out.size(), back, true, error, kNow));
  EXPECT_EQ(back, sm);
}

TEST(Pdu, DataSmIsForwardedWithItsOwnTlvs) {
  const Bytes body = cat({{0}, {1, 1}, text("123"), {0}, {1, 1}, text("456"), {0},
                          {0x00, 0x01, 0x08},
                          {0x02, 0x0C, 0x00, 0x01, 0x09},
                          {0x04, 0x24, 0x00, 0x04, 0x00, 'h', 0x00, 'i'},
                          {0x14, 0x01, 0x00, 0x00}});
  T_SubmitSM sm;
  uint32_t error = 0;
  ASSERT_TRUE(SMPP::parseSubmitSM(SMPP::DATA_SM, body.data(), body.size(), sm, true, error, kNow));
  Bytes out;
  ASSERT_TRUE(SMPP::encodeSubmitSMBody(SMPP::DATA_SM, sm, out));
  EXPECT_EQ(out, body);
}

TEST(Pdu, DataSmWithoutPayloadCarriesShortMessageAsPayload) {
  T_SubmitSM sm;
  sm.short_message = text("xy");
  Bytes out;
  ASSERT_TRUE(SMPP::encodeSubmitSMBody(SMPP::DATA_SM, sm, out));
  const Bytes expected = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x24, 0x00, 0x02, 'x', 'y'};
  EXPECT_EQ(out, expected);
}

TEST(Pdu, UnsendableRecordsAreRefused) {
  T_SubmitSM sm;
  Bytes out;
  sm.short_message = Bytes(256, 1);
  EXPECT_FALSE(SMPP::encodeSubmitSMBody(SMPP::SUBMIT_SM, sm, out));
  sm.short_message.clear();
  sm.source_addr = std::string(21, '1');
  EXPECT_FALSE(SMPP::encodeSubmitSMBody(SMPP::SUBMIT_SM, sm, out));
  sm.source_addr = std::string("1\0" "2", 3);
  EXPECT_FALSE(SMPP::encodeSubmitSMBody(SMPP::SUBMIT_SM, sm, out));
  sm.source_addr = "1";
  sm.tlvs = {TLV{0x0424, 0, Bytes(65536, 0)}};
  EXPECT_FALSE(SMPP::encodeSubmitSMBody(SMPP::DATA_SM, sm, out));
  sm.tlvs = {TLV{0x0424, 0, Bytes(40000, 0)}, TLV{0x0424, 0, Bytes(40000, 0)}};
  EXPECT_FALSE(SMPP::encodeSubmitSMBody(SMPP::DATA_SM, sm, out));
  EXPECT_TRUE(out.empty());
}

TEST(Pdu, DeliverSmUsesTheSubmitLayout) {
  const Bytes body = submitBody();
  T_SubmitSM sm;
  ASSERT_TRUE(SMPP::parseDeliverSM(body.data(), body.size(), sm, kNow));
  EXPECT_EQ(sm.destination_addr, "447900");
  Bytes out;
  ASSERT_TRUE(SMPP::encodeSubmitSMBody(SMPP::DELIVER_SM, sm, out));
  T_SubmitSM again;
  ASSERT_TRUE(SMPP::parseDeliverSM(out.data(), out.size(), again, kNow));
  EXPECT_EQ(again.short_message, sm.short_message);
  EXPECT_EQ(again.tlvs, sm.tlvs);
}

TEST(Pdu, BindBodyParsesFirstFourFields) {
  const Bytes body = cat({text("acme"), {0}, text("secret"), {0}, text("VMA"), {0}, {0x34}});
  SMPP::BindRequest b;
  ASSERT_TRUE(SMPP::parseBindBody(body.data(), body.size(), b));
  EXPECT_EQ(b.systemId, "acme");
  EXPECT_EQ(b.password, "secret");
  EXPECT_EQ(b.systemType, "VMA");
  EXPECT_EQ(b.interfaceVersion, 0x34);
  // Without the interface_version octet the bind is malformed.
  EXPECT_FALSE(SMPP::parseBindBody(body.data(), body.size() - 1, b));
  // A password of nine characters does not fit.
  const Bytes longPassword = cat({text("acme"), {0}, text("123456789"), {0}, {0}, {0x34}});
  EXPECT_FALSE(SMPP::parseBindBody(longPassword.data(), longPassword.size(), b));
}

TEST(Pdu, BindBodyEncodingIsByteExact) {
  Bytes out;
  ASSERT_TRUE(SMPP::encodeBindBody("gw", "pw", "", 0x34, out));
  EXPECT_EQ(out, (Bytes{'g', 'w', 0, 'p', 'w', 0, 0, 0x34, 0, 0, 0}));
  EXPECT_FALSE(SMPP::encodeBindBody(std::string(16, 'a'), "pw", "", 0x34, out));
}

TEST(Pdu, BindResponseVersionNegotiation) {
  Bytes out;
  const Bytes name = cat({text("VantrelSMSC"), {0}});
  SMPP::encodeBindResponseBody("VantrelSMSC", SMPP::negotiateInterfaceVersion(0x33), out);
  EXPECT_EQ(out, name);
  SMPP::encodeBindResponseBody("VantrelSMSC", SMPP::negotiateInterfaceVersion(0x50), out);
  EXPECT_EQ(out, cat({name, {0x02, 0x10, 0x00, 0x01, 0x50}}));
  SMPP::encodeBindResponseBody("VantrelSMSC", SMPP::negotiateInterfaceVersion(0x10), out);
  EXPECT_EQ(out, cat({name, {0x02, 0x10, 0x00, 0x01, 0x34}}));
}

TEST(Pdu, QueryAndCancelBodies) {
  const Bytes q = cat({text("msg-1"), {0}, {1, 1}, text("src"), {0}});
  std::string id, serviceType;
  ASSERT_TRUE(SMPP::parseQuerySM(q.data(), q.size(), id));
  EXPECT_EQ(id, "msg-1");
  const Bytes longId = Bytes(70, 'x');
  EXPECT_FALSE(SMPP::parseQuerySM(longId.data(), longId.size(), id));

  Bytes out;
  SMPP::encodeQuerySMResponseBody("m", "", 2, 0, out);
  EXPECT_EQ(out, (Bytes{'m', 0, 0, 2, 0}));

  const Bytes c = cat({text("CMT"), {0}, text("m9"), {0}, {1, 1}, {0}});
  ASSERT_TRUE(SMPP::parseCancelSM(c.data(), c.size(), serviceType, id));
  EXPECT_EQ(serviceType, "CMT");
  EXPECT_EQ(id, "m9");
  const Bytes badService = cat({text("CMTXYZ"), {0}, text("m9"), {0}});
  EXPECT_FALSE(SMPP::parseCancelSM(badService.data(), badService.size(), serviceType, id));
}

TEST(Pdu, ResponseBodies) {
  Bytes out;
  SMPP::encodeMessageIdBody("abc", out);
  EXPECT_EQ(out, (Bytes{'a', 'b', 'c', 0}));
  SMPP::encodeStatusTextBody("No", out);
  EXPECT_EQ(out, (Bytes{0, 0x00, 0x1D, 0x00, 0x03, 'N', 'o', 0}));
}

}  // namespace
