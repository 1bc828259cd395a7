#include "base/IpAddress.h"

#include "base/IpWinSock.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>

namespace {

const sockaddr_in &V4(const TSockAddrIn &A)
{
    return reinterpret_cast<const sockaddr_in &>(A);
}

const sockaddr_in6 &V6(const TSockAddrIn &A)
{
    return reinterpret_cast<const sockaddr_in6 &>(A);
}

bool IsMapped(const TSockAddrIn &A)
{
    return A.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&V6(A).sin6_addr);
}

bool HostChar(char C)
{
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '-' || C == '.' ||
           C == '_';
}

bool AllDigits(const std::string &S)
{
    return !S.empty() && std::all_of(S.begin(), S.end(), [](char C) { return C >= '0' && C <= '9'; });
}

} // namespace

TSockAddrIn IpAddrFromV4(uint32_t NetAddr, uint16_t Port)
{
    TSockAddrIn A;
    std::memset(&A, 0, sizeof(A));
    auto &S = reinterpret_cast<sockaddr_in &>(A);
    S.sin_family = AF_INET;
    S.sin_addr.s_addr = NetAddr;
    S.sin_port = ::htons(Port);
    return A;
}

TSockAddrIn IpAddrAny(int Family, uint16_t Port)
{
    if (Family != AF_INET6)
        return IpAddrFromV4(0, Port);
    TSockAddrIn A;
    std::memset(&A, 0, sizeof(A));
    auto &S = reinterpret_cast<sockaddr_in6 &>(A);
    S.sin6_family = AF_INET6;
    S.sin6_port = ::htons(Port);
    return A;
}

int IpAddrFamily(const TSockAddrIn &Addr)
{
    return Addr.ss_family;
}

bool IpAddrIsV6(const TSockAddrIn &Addr)
{
    return Addr.ss_family == AF_INET6 && !IsMapped(Addr);
}

uint16_t IpAddrPort(const TSockAddrIn &Addr)
{
    if (Addr.ss_family == AF_INET)
        return ::ntohs(V4(Addr).sin_port);
    if (Addr.ss_family == AF_INET6)
        return ::ntohs(V6(Addr).sin6_port);
    return 0;
}

void IpSetAddrPort(TSockAddrIn &Addr, uint16_t Port)
{
    if (Addr.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6 &>(Addr).sin6_port = ::htons(Port);
    else
        reinterpret_cast<sockaddr_in &>(Addr).sin_port = ::htons(Port);
}

uint32_t IpAddrV4(const TSockAddrIn &Addr)
{
    if (Addr.ss_family == AF_INET)
        return V4(Addr).sin_addr.s_addr;
    if (IsMapped(Addr)) {
        uint32_t A;
        std::memcpy(&A, V6(Addr).sin6_addr.s6_addr + 12, 4);
        return A;
    }
    return 0;
}

int IpAddrLength(const TSockAddrIn &Addr)
{
    return Addr.ss_family == AF_INET6 ? int(sizeof(sockaddr_in6)) : int(sizeof(sockaddr_in));
}

bool IpAddrUnspecified(const TSockAddrIn &Addr)
{
    if (Addr.ss_family == AF_INET6 && !IsMapped(Addr))
        return IN6_IS_ADDR_UNSPECIFIED(&V6(Addr).sin6_addr);
    return IpAddrV4(Addr) == 0;
}

bool IpSameHost(const TSockAddrIn &A, const TSockAddrIn &B)
{
    const bool A6 = IpAddrIsV6(A);
    if (A6 != IpAddrIsV6(B))
        return false;
    if (A6)
        return std::memcmp(&V6(A).sin6_addr, &V6(B).sin6_addr, sizeof(in6_addr)) == 0;
    return (A.ss_family == AF_INET || IsMapped(A)) && (B.ss_family == AF_INET || IsMapped(B)) &&
           IpAddrV4(A) == IpAddrV4(B);
}

std::string IpAddrText(const TSockAddrIn &Addr)
{
    char Text[INET6_ADDRSTRLEN] = {};
    if (Addr.ss_family == AF_INET6 && !IsMapped(Addr)) {
        ::inet_ntop(AF_INET6, &V6(Addr).sin6_addr, Text, sizeof Text);
        return Text;
    }
    if (Addr.ss_family != AF_INET && !IsMapped(Addr))
        return std::string();
    in_addr In;
    In.s_addr = IpAddrV4(Addr);
    ::inet_ntop(AF_INET, &In, Text, sizeof Text);
    return Text;
}

std::string IpHostText(const std::string &Host)
{
    return Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
}

std::string IpHostPortText(const std::string &Host, uint16_t Port)
{
    return IpHostText(Host) + ":" + std::to_string(Port);
}

std::string IpEndpointText(const TSockAddrIn &Addr)
{
    return IpHostPortText(IpAddrText(Addr), IpAddrPort(Addr));
}

bool IpParseNumericHost(const std::string &Text, TSockAddrIn &Addr)
{
    if (Text.empty() || Text.size() >= INET6_ADDRSTRLEN || Text.find('\0') != std::string::npos)
        return false;
    in_addr In4;
    if (::inet_pton(AF_INET, Text.c_str(), &In4) == 1) {
        Addr = IpAddrFromV4(In4.s_addr, 0);
        return true;
    }
    in6_addr In6;
    if (::inet_pton(AF_INET6, Text.c_str(), &In6) == 1) {
        Addr = IpAddrAny(AF_INET6);
        reinterpret_cast<sockaddr_in6 &>(Addr).sin6_addr = In6;
        return true;
    }
    return false;
}

bool IpIsNumericHost(const std::string &Text)
{
    TSockAddrIn A;
    return IpParseNumericHost(Text, A);
}

bool IpSplitHostPort(const std::string &Text, std::string &Host, std::string &Port)
{
    Host.clear();
    Port.clear();
    if (Text.empty())
        return false;
    if (Text[0] == '[') {
        const size_t Close = Text.find(']');
        if (Close == std::string::npos)
            return false;
        const std::string Inner = Text.substr(1, Close - 1);
        TSockAddrIn A;
        if (!IpParseNumericHost(Inner, A) || !IpAddrIsV6(A))
            return false;
        const std::string Rest = Text.substr(Close + 1);
        if (!Rest.empty() && (Rest[0] != ':' || !AllDigits(Rest.substr(1))))
            return false;
        Host = Inner;
        if (!Rest.empty())
            Port = Rest.substr(1);
        return true;
    }
    const size_t Colon = Text.find(':');
    if (Colon != std::string::npos && Text.find(':', Colon + 1) != std::string::npos) {
        // Two colons or more: only an IPv6 literal, which then has no port.
        TSockAddrIn A;
        if (!IpParseNumericHost(Text, A) || !IpAddrIsV6(A))
            return false;
        Host = Text;
        return true;
    }
    const std::string Name = Text.substr(0, Colon);
    if (Name.empty() || !std::all_of(Name.begin(), Name.end(), HostChar))
        return false;
    if (Colon != std::string::npos) {
        if (!AllDigits(Text.substr(Colon + 1)))
            return false;
        Port = Text.substr(Colon + 1);
    }
    Host = Name;
    return true;
}

int IpLookupAll(const std::string &Name, std::vector<TSockAddrIn> &Addrs)
{
    Addrs.clear();
    const bool Control = std::any_of(Name.begin(), Name.end(), [](char C) {
        return static_cast<unsigned char>(C) < 0x20 || static_cast<unsigned char>(C) == 0x7F;
    });
    if (Name.empty() || Name.size() > 255 || Control)
        return WSAHOST_NOT_FOUND;
    addrinfo Hints{};
    Hints.ai_family = AF_UNSPEC;
    Hints.ai_socktype = SOCK_STREAM;
    addrinfo *Res = nullptr;
    const int Rc = ::getaddrinfo(Name.c_str(), nullptr, &Hints, &Res);
    if (Rc != 0)
        return WinSockErrorFromResolver(Rc, errno);
    for (const addrinfo *A = Res; A; A = A->ai_next) {
        if (!A->ai_addr || (A->ai_family != AF_INET && A->ai_family != AF_INET6) ||
            A->ai_addrlen > sizeof(TSockAddrIn))
            continue;
        TSockAddrIn S;
        std::memset(&S, 0, sizeof(S));
        std::memcpy(&S, A->ai_addr, A->ai_addrlen);
        const bool Seen = std::any_of(Addrs.begin(), Addrs.end(),
                                      [&](const TSockAddrIn &O) { return IpSameHost(O, S); });
        if (!Seen)
            Addrs.push_back(S);
    }
    ::freeaddrinfo(Res);
    return Addrs.empty() ? WSANO_DATA : 0;
}
