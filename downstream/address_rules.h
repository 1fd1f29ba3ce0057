#pragma once

#include <string>

// Address tests of the customer side, pure functions safe from any thread.

// Whether `address` (dotted IPv4 text) lies inside the operator's own
// networks, 172.30.0.0/16 and 172.31.0.0/16, whose connections the listener
// never throttles, limits or blocks. Text that is not an IPv4 address is not
// internal.
bool isInternalAddress(const std::string& address);

// Whether the peer `address` matches one entry of a customer's allowed-IP
// list: "a.b.c.d" (the address itself) or "a.b.c.d/n" (the top n bits). A
// prefix of 0, a prefix outside 1..32 and entries or peers that are not IPv4
// addresses never match.
bool allowedIPMatches(const std::string& entry, const std::string& address);
