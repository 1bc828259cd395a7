#include "socket/IpSocks.h"

#include "base/IpConst.h"
#include "base/IpUtils.h"
#include "socket/IpSock.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int32_t Socks4ReplySize = 8;
constexpr int32_t Socks5MethodReplySize = 2;
constexpr int32_t Socks5AuthReplySize = 2;
constexpr int32_t Socks5Ipv4ReplySize = 10;
constexpr int32_t Socks5Ipv6ReplySize = 22;

constexpr uint8_t Socks5AddrIpv4 = 1;
constexpr uint8_t Socks5AddrName = 3;
constexpr uint8_t Socks5AddrIpv6 = 4;

void AppendNet32(std::string &Out, uint32_t NetValue)
{
    char B[4];
    std::memcpy(B, &NetValue, 4);
    Out.append(B, 4);
}

void AppendNet16(std::string &Out, uint16_t NetValue)
{
    char B[2];
    std::memcpy(B, &NetValue, 2);
    Out.append(B, 2);
}

// Length of the version 5 connect reply at Bytes, or 0 when the read does
// not hold it whole. A proxy with an IPv6 or named bound address sends a
// longer reply than the IPv4 one; taking only 10 bytes of it would hand the
// rest to the application as if the destination had sent it.
int32_t Socks5ConnectReplySize(const uint8_t *Bytes, int32_t N)
{
    int32_t Size = Socks5Ipv4ReplySize;
    if (N >= 4 && Bytes[3] == Socks5AddrIpv6)
        Size = Socks5Ipv6ReplySize;
    else if (N >= 4 && Bytes[3] == Socks5AddrName)
        Size = N >= 5 ? 7 + Bytes[4] : Socks5Ipv4ReplySize + 1;
    return N >= Size ? Size : 0;
}

TIpSocksStep Refused(int32_t Consumed, int Code)
{
    TIpSocksStep S;
    S.Action = saRefused;
    S.Consumed = Consumed;
    S.Code = Code;
    return S;
}

TIpSocksStep Send(int32_t Consumed, std::string Request)
{
    TIpSocksStep S;
    S.Action = saSend;
    S.Consumed = Consumed;
    S.Request = std::move(Request);
    return S;
}

TIpSocksStep Granted(int32_t Consumed, uint32_t NetAddr, uint16_t NetPort, bool KeepDest = false)
{
    TIpSocksStep S;
    S.KeepDest = KeepDest;
    S.Action = saGranted;
    S.Consumed = Consumed;
    S.Addr = NetAddr;
    S.Port = NetPort;
    return S;
}

TIpSocksStep Socks4Reply(uint8_t &State, const uint8_t *Bytes, int32_t N)
{
    if (N < Socks4ReplySize)
        return {};
    if (Bytes[1] != IpSocks4Granted)
        return Refused(Socks4ReplySize, Bytes[1]);
    uint16_t Port;
    uint32_t Addr;
    std::memcpy(&Port, Bytes + 2, 2);
    std::memcpy(&Addr, Bytes + 4, 4);
    State = IpSocksGranted;
    return Granted(Socks4ReplySize, Addr, Port);
}

std::string Socks5Connect(const TSockAddrIn &Dest, const std::string &DestName)
{
    return DestName.empty() ? IpSocks5ConnectRequestTo(Dest)
                            : IpSocks5ConnectRequestByName(DestName, ::htons(IpAddrPort(Dest)));
}

TIpSocksStep Socks5Reply(uint8_t &State, const TIpSocksServerInfo &Info, const TSockAddrIn &Dest,
                         const uint8_t *Bytes, int32_t N, const std::string &DestName)
{
    switch (State) {
    case IpSocksFirstSent: {
        if (N < Socks5MethodReplySize)
            return {};
        const uint8_t Method = Bytes[1];
        if (Method == IpSocks5NoAuth) {
            State = IpSocksConnectSent;
            return Send(Socks5MethodReplySize, Socks5Connect(Dest, DestName));
        }
        if (Method == IpSocks5UserPass) {
            State = IpSocksAuthSent;
            return Send(Socks5MethodReplySize, IpSocks5AuthRequest(Info.UserCode(), Info.Password()));
        }
        if (Method == IpSocks5NoMethod)
            return Refused(Socks5MethodReplySize, Method);
        TIpSocksStep S;
        S.Action = saIgnored;
        S.Consumed = Socks5MethodReplySize;
        return S;
    }
    case IpSocksAuthSent: {
        if (N < Socks5AuthReplySize)
            return {};
        if (Bytes[1] != 0)
            return Refused(Socks5AuthReplySize, Bytes[1]);
        State = IpSocksConnectSent;
        return Send(Socks5AuthReplySize, Socks5Connect(Dest, DestName));
    }
    case IpSocksConnectSent: {
        const int32_t Size = Socks5ConnectReplySize(Bytes, N);
        if (Size == 0)
            return {};
        if (Bytes[1] != 0)
            return Refused(Size, Bytes[1]);
        uint32_t Addr = IpAddrV4(Dest);
        uint16_t Port = ::htons(IpAddrPort(Dest));
        // Only an IPv4 bound address for an IPv4 destination replaces the
        // socket's remote address; with any other the destination stays
        // what it was.
        const bool Keep = Bytes[3] != Socks5AddrIpv4 || IpAddrIsV6(Dest) || !DestName.empty();
        if (!Keep) {
            std::memcpy(&Addr, Bytes + 4, 4);
            std::memcpy(&Port, Bytes + 8, 2);
        }
        State = IpSocksGranted;
        return Granted(Size, Addr, Port, Keep);
    }
    default:
        return {};
    }
}

} // namespace

std::string IpSocks4ConnectRequest(uint32_t NetAddr, uint16_t NetPort, const std::string &UserCode)
{
    std::string R;
    R.reserve(9 + UserCode.size());
    R.push_back(char(4));
    R.push_back(char(1));
    AppendNet16(R, NetPort);
    AppendNet32(R, NetAddr);
    R.append(UserCode);
    R.push_back('\0');
    return R;
}

std::string IpSocks5MethodOffer()
{
    return std::string("\x05\x02\x00\x02", 4);
}

std::string IpSocks5AuthRequest(const std::string &UserCode, const std::string &Password)
{
    const size_t U = std::min(UserCode.size(), IpSocksMaxCredential);
    const size_t P = std::min(Password.size(), IpSocksMaxCredential);
    std::string R;
    R.reserve(U + P + 3);
    R.push_back(char(1));
    R.push_back(char(uint8_t(U)));
    R.append(UserCode, 0, U);
    R.push_back(char(uint8_t(P)));
    R.append(Password, 0, P);
    return R;
}

std::string IpSocks5ConnectRequest(uint32_t NetAddr, uint16_t NetPort)
{
    std::string R("\x05\x01\x00\x01", 4);
    AppendNet32(R, NetAddr);
    AppendNet16(R, NetPort);
    return R;
}

std::string IpSocks5ConnectRequestTo(const TSockAddrIn &Dest)
{
    if (!IpAddrIsV6(Dest))
        return IpSocks5ConnectRequest(IpAddrV4(Dest), ::htons(IpAddrPort(Dest)));
    std::string R("\x05\x01\x00\x04", 4);
    const auto &S = reinterpret_cast<const sockaddr_in6 &>(Dest);
    R.append(reinterpret_cast<const char *>(S.sin6_addr.s6_addr), 16);
    AppendNet16(R, S.sin6_port);
    return R;
}

std::string IpSocks5ConnectRequestByName(const std::string &Name, uint16_t NetPort)
{
    const size_t Len = std::min<size_t>(Name.size(), 255);
    std::string R("\x05\x01\x00\x03", 4);
    R.push_back(char(uint8_t(Len)));
    R.append(Name, 0, Len);
    AppendNet16(R, NetPort);
    return R;
}

std::string IpSocks4aConnectRequest(const std::string &Name, uint16_t NetPort, const std::string &UserCode)
{
    // An address of 0.0.0.x (x not 0) tells the proxy that the name follows.
    std::string R = IpSocks4ConnectRequest(::htonl(1), NetPort, UserCode);
    R.append(Name);
    R.push_back('\0');
    return R;
}

std::string IpSocksFirstRequest(const TIpSocksServerInfo &Info, const TSockAddrIn &Dest, const std::string &DestName)
{
    if (Info.SocksVersion() == svSocks5)
        return IpSocks5MethodOffer();
    if (!DestName.empty())
        return IpSocks4aConnectRequest(DestName, ::htons(IpAddrPort(Dest)), Info.UserCode());
    return IpSocks4ConnectRequest(IpAddrV4(Dest), ::htons(IpAddrPort(Dest)), Info.UserCode());
}

std::string IpSocksRefusedText(int Code)
{
    return Format(sIpSocksRefusedFmt, Code);
}

TIpSocksStep IpSocksReply(uint8_t &State, const TIpSocksServerInfo &Info, const TSockAddrIn &Dest,
                          const uint8_t *Bytes, int32_t N, const std::string &DestName)
{
    if (Bytes == nullptr || N <= 0 || State < IpSocksConfigured || State >= IpSocksGranted)
        return {};
    if (Info.SocksVersion() == svSocks5)
        return Socks5Reply(State, Info, Dest, Bytes, N, DestName);
    return Socks4Reply(State, Bytes, N);
}
