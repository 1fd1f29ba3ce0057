// Receipts written by the gateway itself: when registered_delivery asks for
// one, and the deliver_sm body a customer receives, read back with the
// gateway's own deliver_sm decoder.
#include "downstream/delivery_receipt.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "smpp/pdu.h"
#include "smpp/receipt.h"

namespace {

SMPP::T_SubmitSM customerSubmit(uint8_t registeredDelivery) {
  SMPP::T_SubmitSM submit;
  submit.source_addr_ton = 5;
  submit.source_addr_npi = 0;
  submit.source_addr = "ACME";
  submit.dest_addr_ton = 1;
  submit.dest_addr_npi = 1;
  submit.destination_addr = "447700900123";
  submit.registered_delivery = registeredDelivery;
  submit.esm_class = 0x40;
  submit.data_coding = 8;
  return submit;
}

// 2024-01-31 23:59:30 UTC.
constexpr uint64_t kNow = 1706745570ULL * 1000000ULL;

struct WantedCase {
  uint8_t registeredDelivery;
  uint8_t state;
  bool wanted;
};

TEST(DeliveryReceiptTest, RegisteredDeliveryDecidesWhetherAReceiptIsMade) {
  const WantedCase cases[] = {
      {0, SMPP::STATE_DELIVERED, false},
      {0, SMPP::STATE_UNDELIVERABLE, false},
      {1, SMPP::STATE_DELIVERED, true},
      {1, SMPP::STATE_UNDELIVERABLE, true},
      {2, SMPP::STATE_DELIVERED, false},
      {2, SMPP::STATE_UNDELIVERABLE, true},
      {2, SMPP::STATE_EXPIRED, true},
      {3, SMPP::STATE_DELIVERED, true},
      {3, SMPP::STATE_UNDELIVERABLE, false},
      {0x1D, SMPP::STATE_DELIVERED, true},  // bits above R ignored
      {0x1C, SMPP::STATE_DELIVERED, false},
  };
  for (const WantedCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "R=" << int(c.registeredDelivery) << " state=" << int(c.state));
    auto body = makeDeliveryReceiptBody(customerSubmit(c.registeredDelivery), "m1", c.state, 0,
                                        SMPP::INTERFACE_VERSION_34, kNow);
    EXPECT_EQ(body.has_value(), c.wanted);
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
    ASSERT_EQ(got.tlvs.size(), 3u);
    EXPECT_EQ(got.tlvs[0].tag, SMPP::TAG_MESSAGE_STATE);
    EXPECT_EQ(got.tlvs[0].value, std::vector<uint8_t>({5}));
    EXPECT_EQ(got.tlvs[1].tag, SMPP::TAG_NETWORK_ERROR_CODE);
    EXPECT_EQ(got.tlvs[1].value, std::vector<uint8_t>({3, 0, 17}));
    EXPECT_EQ(got.tlvs[2].tag, SMPP::TAG_RECEIPTED_MESSAGE_ID);
    EXPECT_EQ(got.tlvs[2].value, std::vector<uint8_t>({'a', 'b', '1', '2', 0}));
  }
}

}  // namespace
