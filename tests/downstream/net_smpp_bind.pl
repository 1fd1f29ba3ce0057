#!/usr/bin/perl
# Binds to the gateway with Debian's Net::SMPP (an SMPP client written
# independently of this code base), then sends enquire_link and unbind.
# Usage: net_smpp_bind.pl PORT SYSTEM_ID PASSWORD MODE
#   MODE: transmitter, receiver or transceiver
# Prints "bind OK", "bind FAILED <status>", "enquire_link <status>" and
# "unbind <status>" lines; exits 0 once it has reported.
use strict;
use warnings;
use Net::SMPP;

my ($port, $system_id, $password, $mode) = @ARGV;
my %ctor = (
  transmitter => \&Net::SMPP::new_transmitter,
  receiver    => \&Net::SMPP::new_receiver,
  transceiver => \&Net::SMPP::new_transceiver,
);
my ($smpp, $resp) = $ctor{$mode}->('Net::SMPP', '127.0.0.1', port => $port,
                                    system_id => $system_id, password => $password,
                                    interface_version => 0x34, async => 0, timeout => 10);
if (!defined $smpp) {
  print "connect FAILED\n";
  exit 0;
}
if (!defined $resp || $resp->status != 0) {
  printf "bind FAILED %d\n", defined $resp ? $resp->status : -1;
  exit 0;
}
print "bind OK\n";
printf "system_id %s\n", $resp->{system_id} // '';
my $e = $smpp->enquire_link();
printf "enquire_link %d\n", defined $e ? $e->status : -1;
my $u = $smpp->unbind();
printf "unbind %d\n", defined $u ? $u->status : -1;
exit 0;
