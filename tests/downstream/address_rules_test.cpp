#include "downstream/address_rules.h"

#include <gtest/gtest.h>

namespace {

TEST(AddressRulesTest, OnlyAddressesInsideTheTwoInternalNetworksAreInternal) {
  EXPECT_TRUE(isInternalAddress("172.30.0.1"));
  EXPECT_TRUE(isInternalAddress("172.30.255.254"));
  EXPECT_TRUE(isInternalAddress("172.31.0.0"));
  EXPECT_TRUE(isInternalAddress("172.31.200.7"));
}

TEST(AddressRulesTest, AddressesThatMerelyContainTheTextAreNotInternal) {
  EXPECT_FALSE(isInternalAddress("81.172.30.4"));
  EXPECT_FALSE(isInternalAddress("10.172.31.5"));
  EXPECT_FALSE(isInternalAddress("172.29.255.255"));
  EXPECT_FALSE(isInternalAddress("172.32.0.1"));
  EXPECT_FALSE(isInternalAddress("127.0.0.1"));
  EXPECT_FALSE(isInternalAddress("172.3O.1.1"));
  EXPECT_FALSE(isInternalAddress(""));
}

TEST(AddressRulesTest, NetworkEntryAdmitsItsOwnAddressesOnly) {
  EXPECT_TRUE(allowedIPMatches("192.168.1.0/24", "192.168.1.77"));
  EXPECT_TRUE(allowedIPMatches("192.168.1.0/24", "192.168.1.0"));
  EXPECT_FALSE(allowedIPMatches("192.168.1.0/24", "192.168.2.1"));
  EXPECT_TRUE(allowedIPMatches("10.0.0.0/8", "10.200.3.4"));
  EXPECT_FALSE(allowedIPMatches("10.0.0.0/8", "11.0.0.1"));
  EXPECT_TRUE(allowedIPMatches("127.0.0.2/31", "127.0.0.3"));
  EXPECT_FALSE(allowedIPMatches("127.0.0.2/31", "127.0.0.4"));
}

TEST(AddressRulesTest, PlainEntryAdmitsOnlyThatAddress) {
  EXPECT_TRUE(allowedIPMatches("10.1.2.3", "10.1.2.3"));
  EXPECT_FALSE(allowedIPMatches("10.1.2.3", "10.1.2.4"));
  EXPECT_TRUE(allowedIPMatches("10.1.2.3/32", "10.1.2.3"));
  EXPECT_FALSE(allowedIPMatches("10.1.2.3/32", "10.1.2.2"));
}

TEST(AddressRulesTest, PrefixZeroAdmitsNobody) {
  EXPECT_FALSE(allowedIPMatches("0.0.0.0/0", "1.2.3.4"));
  EXPECT_FALSE(allowedIPMatches("0.0.0.0/0", "0.0.0.0"));
}

TEST(AddressRulesTest, PrefixesOutsideTheAddressWidthAdmitNobody) {
  EXPECT_FALSE(allowedIPMatches("10.1.2.3/33", "10.1.2.3"));
  EXPECT_FALSE(allowedIPMatches("10.1.2.3/-8", "10.1.2.3"));
  EXPECT_FALSE(allowedIPMatches("10.1.2.3/99999999999999999999", "10.1.2.3"));
  EXPECT_FALSE(allowedIPMatches("10.1.2.3/abc", "10.1.2.3"));
}

TEST(AddressRulesTest, TextThatIsNotAnAddressNeverMatches) {
  EXPECT_FALSE(allowedIPMatches("localhost", "127.0.0.1"));
  EXPECT_FALSE(allowedIPMatches("10.1.2.3", "not-an-ip"));
  EXPECT_FALSE(allowedIPMatches("", "10.1.2.3"));
}

}  // namespace
