#pragma once
// Socket addresses of either family and the host text people type. The
// engine once held IPv4 addresses as 32-bit numbers; an address is now a
// whole sockaddr_storage, and these helpers are the only code that looks
// inside one, so nothing above the base layer cares which family it is.

#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

using TSockAddrIn = sockaddr_storage;

// An IPv4 address (network order) and a host-order port.
TSockAddrIn IpAddrFromV4(uint32_t NetAddr, uint16_t Port);
// The unspecified address of Family (AF_INET or AF_INET6) with Port.
TSockAddrIn IpAddrAny(int Family, uint16_t Port = 0);

int IpAddrFamily(const TSockAddrIn &Addr);
bool IpAddrIsV6(const TSockAddrIn &Addr);
// Host order; 0 for an address of no known family.
uint16_t IpAddrPort(const TSockAddrIn &Addr);
void IpSetAddrPort(TSockAddrIn &Addr, uint16_t Port);
// The IPv4 address in network order (also of an IPv4-mapped IPv6 address);
// 0 for any other.
uint32_t IpAddrV4(const TSockAddrIn &Addr);
// The length the socket calls want for Addr.
int IpAddrLength(const TSockAddrIn &Addr);
// 0.0.0.0, ::, ::ffff:0.0.0.0, or no family at all.
bool IpAddrUnspecified(const TSockAddrIn &Addr);
// The same host (ports aside); an IPv4-mapped IPv6 address is its IPv4 one.
bool IpSameHost(const TSockAddrIn &A, const TSockAddrIn &B);

// "1.2.3.4" or "::1" (no brackets); empty for an address of no known family.
std::string IpAddrText(const TSockAddrIn &Addr);
// Host and port as people write them: "name:21", "1.2.3.4:21", "[::1]:21".
std::string IpHostPortText(const std::string &Host, uint16_t Port);
// IpHostPortText of the address's own text.
std::string IpEndpointText(const TSockAddrIn &Addr);
// A host written with its brackets when it is an IPv6 literal ("[::1]").
std::string IpHostText(const std::string &Host);

// A numeric host: a full dotted IPv4 address or an IPv6 literal (brackets
// not included). Port 0.
bool IpParseNumericHost(const std::string &Text, TSockAddrIn &Addr);
bool IpIsNumericHost(const std::string &Text);

// The one reading of a typed host: "name", "name:port", "1.2.3.4:port",
// "[v6]", "[v6]:port" and a bare IPv6 literal (no port). Host comes without
// brackets; Port is the digits as typed (empty when none). False, with
// nothing promised about Host and Port, for anything else: text with
// characters no host has, an unclosed bracket, an empty port.
bool IpSplitHostPort(const std::string &Text, std::string &Host, std::string &Port);

// Every address of Name for a stream socket, in the resolver's order, both
// families. 0, or the socket error code (11001..11004 and the like).
int IpLookupAll(const std::string &Name, std::vector<TSockAddrIn> &Addrs);
