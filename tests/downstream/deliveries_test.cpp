// What the gateway delivers to customers by itself: receipts (when
// registered_delivery asks for one, and the deliver_sm body, read back with
// the gateway's own decoder), and the saved deliver queue's damaged files,
// which keep every whole record. (The round trip through the file is the
// daemon's restart in downstream_daemon_test.cpp.)
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "downstream/deliver_queue_file.h"
#include "downstream/delivery_receipt.h"
#include "smpp/pdu.h"
#include "smpp/receipt.h"

namespace {

// From "ACME" (ton 5, npi 0) to 447700900123 (1/1), UCS-2 with a header.
SMPP::T_SubmitSM customerSubmit(uint8_t registeredDelivery) {
  SMPP::T_SubmitSM submit;
  submit.source_addr_ton = 5, submit.source_addr_npi = 0, submit.source_addr = "ACME";
  submit.dest_addr_ton = 1, submit.dest_addr_npi = 1, submit.destination_addr = "447700900123";
  submit.registered_delivery = registeredDelivery, submit.esm_class = 0x40, submit.data_coding = 8;
  return submit;
}

// 2024-01-31 23:59:30 UTC.
constexpr uint64_t kNow = 1706745570ULL * 1000000ULL;

TEST(DeliveryReceiptTest, RegisteredDeliveryDecidesWhetherAReceiptIsMade) {
  // registered_delivery, message state, whether a receipt is made
  const std::tuple<uint8_t, uint8_t, bool> cases[] = {
      {0, SMPP::STATE_DELIVERED, false},    {0, SMPP::STATE_UNDELIVERABLE, false},
      {1, SMPP::STATE_DELIVERED, true},     {1, SMPP::STATE_UNDELIVERABLE, true},
      {2, SMPP::STATE_DELIVERED, false},    {2, SMPP::STATE_UNDELIVERABLE, true},
      {2, SMPP::STATE_EXPIRED, true},       {3, SMPP::STATE_DELIVERED, true},
      {3, SMPP::STATE_UNDELIVERABLE, false},
      {0x1D, SMPP::STATE_DELIVERED, true},  // bits above R ignored
      {0x1C, SMPP::STATE_DELIVERED, false},
  };
  for (const auto& [registeredDelivery, state, wanted] : cases) {
    EXPECT_EQ(makeDeliveryReceiptBody(customerSubmit(registeredDelivery), "m1", state, 0,
                                      SMPP::INTERFACE_VERSION_34, kNow)
                  .has_value(),
              wanted)
        << "R=" << int(registeredDelivery) << " state=" << int(state);
  }
}

TEST(DeliveryReceiptTest, BodySwapsAddressesAndCarriesTlvsOnlyAbove33) {
  const std::string text =
      "id:ab12 sub:000 dlvrd:000 submit date:2401312359 done date:2401312359 stat:UNDELIV err:017 "
      "text:";
  const struct {
    uint8_t interfaceVersion;
    bool tlvs;
  } cases[] = {{0x33, false}, {0x34, true}, {0x50, true}, {0x00, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "version 0x" << std::hex << int(c.interfaceVersion));
    auto body = makeDeliveryReceiptBody(customerSubmit(1), "ab12", SMPP::STATE_UNDELIVERABLE, 17,
                                        c.interfaceVersion, kNow);
    ASSERT_TRUE(body.has_value());
    SMPP::T_SubmitSM got;
    ASSERT_TRUE(SMPP::parseDeliverSM(body->data(), body->size(), got, kNow));
    EXPECT_EQ(std::make_tuple(got.service_type, got.source_addr_ton, got.source_addr_npi,
                              got.source_addr, got.dest_addr_ton, got.dest_addr_npi,
                              got.destination_addr),
              std::make_tuple(std::string(), 1, 1, std::string("447700900123"), 5, 0,
                              std::string("ACME")));
    EXPECT_EQ(std::make_tuple(got.esm_class, got.registered_delivery, got.data_coding,
                              got.schedule_delivery_time),
              std::make_tuple(0x04, 0, 0, uint64_t{0}));
    // The NUL travels inside short_message.
    EXPECT_EQ(std::string(got.short_message.begin(), got.short_message.end()),
              text + std::string(1, '\0'));
    if (!c.tlvs) {
      EXPECT_TRUE(got.tlvs.empty());
      continue;
    }
    EXPECT_EQ(got.tlvs, (std::vector<SMPP::TLV>{
                            {SMPP::TAG_MESSAGE_STATE, 1, {5}},
                            {SMPP::TAG_NETWORK_ERROR_CODE, 3, {3, 0, 17}},
                            {SMPP::TAG_RECEIPTED_MESSAGE_ID, 5, {'a', 'b', '1', '2', 0}}}));
  }
}

std::vector<DeliverQueueFile::Record> sample() {
  return {{"plain", {1, 2, 3}}, {"acme", {}}, {"plain", std::vector<uint8_t>(300, 0xAB)}};
}

struct DamageCase {
  const char* what;
  size_t keep;  // bytes of the encoding kept; npos = all with a flipped byte
  size_t flipAt;
  size_t whole;
};

TEST(DeliverQueueFileTest, DamagedFilesLoadOnlyWholeRecords) {
  const std::string good = DeliverQueueFile::encode(sample());
  const size_t first = 8 + 4 + 5 + 4 + 3 + 4;  // header, then the first record
  const DamageCase cases[] = {
      {"cut inside the second record", first + 6, std::string::npos, 1},
      {"cut inside the header", 6, std::string::npos, 0},
      {"last byte missing", good.size() - 1, std::string::npos, 2},
      {"wrong magic", good.size(), 0, 0},
      {"wrong version", good.size(), 7, 0},
      {"first body byte changed", good.size(), 8 + 4 + 5 + 4, 0},
      {"last check byte changed", good.size(), good.size() - 1, 2},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string data = good.substr(0, c.keep);
    if (c.flipAt != std::string::npos) data[c.flipAt] ^= 0x5A;
    DeliverQueueFile::LoadResult result = DeliverQueueFile::decode(data);
    EXPECT_FALSE(result.complete);
    ASSERT_EQ(result.records.size(), c.whole);
    for (size_t i = 0; i < c.whole; ++i) EXPECT_EQ(result.records[i], sample()[i]);
  }
  EXPECT_TRUE(DeliverQueueFile::decode(good).complete);
}

}  // namespace
