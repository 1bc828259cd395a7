#pragma once
// The client side of the SOCKS proxy negotiation (versions 4, 4A and 5, the
// CONNECT command to an IPv4 destination (version 5: IPv4 or IPv6), optionally with user name and
// password). This unit only builds requests and reads replies; the data
// socket sends what it says and reports what it finds.

#include <cstdint>
#include <string>

#include "base/IpInits.h"
#include "base/IpWinSock.h"

// Values of a socket's SocksState.
inline constexpr uint8_t IpSocksNone = 0;         // no proxy
inline constexpr uint8_t IpSocksConfigured = 1;   // proxy set, TCP connection to it not yet up
inline constexpr uint8_t IpSocksFirstSent = 2;    // version 4 request or version 5 method offer sent
inline constexpr uint8_t IpSocksAuthSent = 3;     // version 5: user name and password sent
inline constexpr uint8_t IpSocksConnectSent = 4;  // version 5: connect request sent
inline constexpr uint8_t IpSocksGranted = 5;      // the proxy granted the connection

// Codes of the proxy replies.
inline constexpr uint8_t IpSocks4Granted = 90;
inline constexpr uint8_t IpSocks5NoAuth = 0;
inline constexpr uint8_t IpSocks5UserPass = 2;
inline constexpr uint8_t IpSocks5NoMethod = 255;

// RFC 1929 gives user name and password one length byte each.
inline constexpr size_t IpSocksMaxCredential = 255;

// Requests, exact wire bytes. Address and port are in network byte order,
// as they are held in a socket address.
std::string IpSocks4ConnectRequest(uint32_t NetAddr, uint16_t NetPort, const std::string &UserCode);
std::string IpSocks5MethodOffer();
std::string IpSocks5AuthRequest(const std::string &UserCode, const std::string &Password);
std::string IpSocks5ConnectRequest(uint32_t NetAddr, uint16_t NetPort);
// The version 5 connect request for a destination of either family.
std::string IpSocks5ConnectRequestTo(const TSockAddrIn &Dest);

// The version 5 connect request for a destination the proxy looks up
// (names of 1 to 255 bytes), and the version 4A one (address 0.0.0.1).
std::string IpSocks5ConnectRequestByName(const std::string &Name, uint16_t NetPort);
std::string IpSocks4aConnectRequest(const std::string &Name, uint16_t NetPort, const std::string &UserCode);

// The request that opens the negotiation once the proxy is reached:
// version 4 and 4A send the connect request, version 5 the method offer.
// DestName, when not empty, is the destination as the proxy is to look it
// up (Dest then carries only the port).
std::string IpSocksFirstRequest(const TIpSocksServerInfo &Info, const TSockAddrIn &Dest,
                                const std::string &DestName = {});

// "SOCKS request refused - <code>".
std::string IpSocksRefusedText(int Code);

enum TIpSocksAction : uint8_t {
    saShort,    // the read is shorter than the reply expected now: nothing consumed, state unchanged
    saIgnored,  // a reply was consumed that asks for nothing (an unknown method)
    saSend,     // send Request next; the state has moved on
    saGranted,  // negotiation over (state 5); Addr/Port are what the proxy returned
    saRefused   // the proxy refused with Code; the state is unchanged
};

struct TIpSocksStep
{
    TIpSocksAction Action = saShort;
    int32_t Consumed = 0;  // reply bytes at the start of the read; the rest is application data
    std::string Request;   // saSend
    uint32_t Addr = 0;     // saGranted, network byte order
    uint16_t Port = 0;     // saGranted, network byte order
    bool KeepDest = false; // saGranted: the socket keeps its destination as its remote address
    int Code = 0;          // saRefused
};

// Reads the reply expected in State (1 to 4) from the first N bytes of one
// read and moves State on. Each reply must be whole within the read; a
// shorter read is left alone (saShort). Dest is the real destination, used
// for the version 5 connect request.
TIpSocksStep IpSocksReply(uint8_t &State, const TIpSocksServerInfo &Info, const TSockAddrIn &Dest,
                          const uint8_t *Bytes, int32_t N, const std::string &DestName = {});
