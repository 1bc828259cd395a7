#include "socket/IpBaseSocket.h"

#include "platform/IpAsyncSelect.h"
#include "socket/IpSockControl.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<uint64_t> NextSerial{1};

} // namespace

TSockAddrIn IpAnyAddress()
{
    return IpAddrAny(AF_INET);
}

bool IpIsAnyAddress(const TSockAddrIn &Addr)
{
    return IpAddrUnspecified(Addr) && IpAddrPort(Addr) == 0;
}

TSockAddrIn IpMakeSockAddr(uint32_t NetAddr, uint16_t Port)
{
    return IpAddrFromV4(NetAddr, Port);
}

TSockAddrIn IpUnmappedAddress(const TSockAddrIn &Addr)
{
    if (Addr.ss_family == AF_INET6 && !IpAddrIsV6(Addr))
        return IpAddrFromV4(IpAddrV4(Addr), IpAddrPort(Addr));
    return Addr;
}

TSockAddrIn IpAddressForFamily(const TSockAddrIn &Addr, int Family)
{
    if (Family != AF_INET6 || Addr.ss_family != AF_INET)
        return Addr;
    TSockAddrIn M = IpAddrAny(AF_INET6, IpAddrPort(Addr));
    auto &S = reinterpret_cast<sockaddr_in6 &>(M);
    S.sin6_addr.s6_addr[10] = 0xFF;
    S.sin6_addr.s6_addr[11] = 0xFF;
    const uint32_t V4 = IpAddrV4(Addr);
    std::memcpy(S.sin6_addr.s6_addr + 12, &V4, 4);
    return M;
}

int IpSocketFamily()
{
    // Asked once: a system without IPv6 keeps to IPv4 sockets, which then
    // reach IPv4 hosts only.
    static const int Family = [] {
        const int Fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (Fd < 0)
            return AF_INET;
        ::close(Fd);
        return AF_INET6;
    }();
    return Family;
}

TIpBaseSocket::TIpBaseSocket(TIpSockControl *Owner, TSocket Handle, const TSockAddrIn &LocalAddr,
                             const TIpBaseInits *Inits, const TIpSocksServerInfo *SocksServer)
    : TIpBaseSocket(Owner, Handle, LocalAddr, Inits, SocksServer, IpBaseSocketEvents)
{
}

TIpBaseSocket::TIpBaseSocket(TIpSockControl *Owner, TSocket Handle, const TSockAddrIn &LocalAddr,
                             const TIpBaseInits *Inits, const TIpSocksServerInfo *SocksServer,
                             uint32_t EventMask)
    : FOwner(Owner), FEventMask(EventMask), FSerial(NextSerial.fetch_add(1))
{
    try {
        Create(Handle, LocalAddr, Inits, SocksServer);
    } catch (...) {
        // No destructor runs for a half-built object: give the OS socket back here.
        if (FHandle != INVALID_SOCKET && FSocketHeld) {
            IpSelectCancel(int(FHandle));
            WinSockAccess().closesocket(FHandle);
        }
        throw;
    }
}

void TIpBaseSocket::Create(TSocket Handle, const TSockAddrIn &LocalAddr, const TIpBaseInits *Inits,
                           const TIpSocksServerInfo *SocksServer)
{
    FSocksInfo = std::make_unique<TIpSocksServerInfo>();
    if (SocksServer)
        FSocksInfo->Assign(SocksServer);
    FSocksState = FSocksInfo->Address().empty() ? 0 : 1;
    FHandle = INVALID_SOCKET;
    FLocalAddr = IpAnyAddress();
    FRemoteAddr = IpAnyAddress();

    if (Handle == INVALID_SOCKET) {
        FSockType = FOwner->SocketType();
        // A socket bound to an IPv4 address (or datagrams, whose broadcasts
        // are IPv4's) stays IPv4; the others are dual-stack IPv6 sockets, so
        // that one socket object reaches a host of either family.
        const bool V4Only = FSockType != SOCK_STREAM || (!IpIsAnyAddress(LocalAddr) && IpAddrFamily(LocalAddr) == AF_INET);
        FFamily = V4Only ? AF_INET : IpSocketFamily();
        const TSocket S = WinSockAccess().socket(FFamily, FSockType, 0);
        if (S == INVALID_SOCKET)
            RaiseLastError(sApiSocket);
        FHandle = S;
        FSocketHeld = true;
        if (FFamily == AF_INET6) {
            const int Off = 0;
            WinSockAccess().setsockopt(FHandle, IPPROTO_IPV6, IPV6_V6ONLY, &Off, sizeof(Off));
        }
        SelectEvents();
        if (Inits)
            ApplyOptions(Inits->SocketOptions());
        if (!IpIsAnyAddress(LocalAddr)) {
            FLocalAddr = LocalAddr;
            FBound = true;
            if (WinSockAccess().bind(FHandle, reinterpret_cast<const TSockAddr *>(&FLocalAddr),
                                     IpAddrLength(FLocalAddr)) == SOCKET_ERROR)
                RaiseLastError(sApiBind);
        }
    } else {
        FHandle = Handle;
        FSocketHeld = true;
        int Type = 0;
        int Len = sizeof(Type);
        if (WinSockAccess().getsockopt(FHandle, SOL_SOCKET, SO_TYPE, &Type, &Len) == SOCKET_ERROR)
            RaiseLastError(sApiGetSockOpt);
        FSockType = Type;
        SelectEvents();
        if (Inits)
            ApplyOptions(Inits->SocketOptions());
        int NameLen = sizeof(FLocalAddr);
        WinSockAccess().getsockname(FHandle, reinterpret_cast<TSockAddr *>(&FLocalAddr), &NameLen);
        FFamily = FLocalAddr.ss_family == AF_INET6 ? AF_INET6 : AF_INET;
        FLocalAddr = IpUnmappedAddress(FLocalAddr);
        NameLen = sizeof(FRemoteAddr);
        WinSockAccess().getpeername(FHandle, reinterpret_cast<TSockAddr *>(&FRemoteAddr), &NameLen);
        FRemoteAddr = IpUnmappedAddress(FRemoteAddr);
    }
}

TIpBaseSocket::~TIpBaseSocket()
{
    if (FHandle != INVALID_SOCKET) {
        if (FSocketHeld) {
            IpSelectCancel(int(FHandle));
            WinSockAccess().closesocket(FHandle);
        } else if (FNumberReserved) {
            IpReleaseDescriptorNumber(int(FHandle));
        }
    }
}

void TIpBaseSocket::ReleaseOsSocket()
{
    if (!FSocketHeld)
        return;
    FSocketHeld = false;
    FNumberReserved = IpCloseSocketKeepNumber(int(FHandle)) == 0;
}

void TIpBaseSocket::RaiseLastError(const char *ApiName) const
{
    throw EIpWinSockError(LastError(), ApiName);
}

int TIpBaseSocket::LastError() const
{
    return WinSockAccess().WSAGetLastError();
}

void TIpBaseSocket::StartSocksRequest()
{
}

void TIpBaseSocket::SelectEvents()
{
    if (FHandle == INVALID_SOCKET)
        return;
    if (IpAsyncSelect(int(FHandle), FOwner->WindowHandle(), CM_IPASYNCSELECT, FEventMask) != 0)
        throw EIpWinSockError(WinSockErrorFromErrno(errno), sApiWsaAsyncSelect);
}

void TIpBaseSocket::HandleClose()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FConnected = false;
}

void TIpBaseSocket::HandleConnect()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    int Len = sizeof(FLocalAddr);
    WinSockAccess().getsockname(FHandle, reinterpret_cast<TSockAddr *>(&FLocalAddr), &Len);
    FLocalAddr = IpUnmappedAddress(FLocalAddr);
    FConnected = true;
    if (FSocksState == 1) {
        // The proxy is reached; the owner hears of the connection only when
        // the proxy has granted it.
        FSocksState = 2;
        StartSocksRequest();
        return;
    }
    FOwner->DoStatus(FHandle, skConnect, ConnRec());
}

void TIpBaseSocket::HandleOutOfBand()
{
}

void TIpBaseSocket::HandleRead()
{
}

void TIpBaseSocket::HandleTimer(uint32_t)
{
}

void TIpBaseSocket::HandleWrite()
{
}

void TIpBaseSocket::Close()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (!BeginClose())
        return;
    FinishClose();
}

bool TIpBaseSocket::BeginClose()
{
    // A socket is closed once: a second Close (the owner closing all its
    // sockets before the release of one that closed itself after its last
    // send) would report skClose twice for one connection.
    if (FClosed)
        return false;
    FClosed = true;
    return true;
}

void TIpBaseSocket::FinishClose()
{
    ReleaseOsSocket();
    FOwner->DoStatus(FHandle, skClose, ConnRec());
}

void TIpBaseSocket::ConnectByName(const std::string &Name, uint16_t Port, const std::string &HostText)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (FSocksState == 0 || !FSocksInfo->SendsNames() || Name.empty() || Name.size() > 255)
        throw EIpWinSockError(WSAHOST_NOT_FOUND, sApiSocksConnect);
    FDestName = Name;
    // The destination's address is the proxy's to know; the port is ours.
    Connect(IpAddrAny(AF_INET, Port), HostText);
}

void TIpBaseSocket::Connect(const TSockAddrIn &Addr, const std::string &HostText)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FRemoteHost = HostText;
    FRemoteAddr = Addr;
    if (!IpAddrUnspecified(Addr))
        FDestName.clear();
    TSockAddrIn Target = Addr;
    const char *ApiName = sApiConnect;
    if (FSocksState > 0) {
        ApiName = sApiSocksConnect;
        if (!FOwner->LookupHost(FSocksInfo->Address(), Target))
            Target = IpAnyAddress();
        IpSetAddrPort(Target, FSocksInfo->Port());
    }
    // Linux takes 0.0.0.0 (and ::) for this machine, where Windows refuses
    // it: a hostile passive reply (or a proxy name that did not resolve)
    // must not reach a service on the local host. Through a proxy the
    // destination 0.0.0.0 would be the proxy's own host, so it is refused
    // as well; a name for the proxy to look up has no address here.
    if (IpAddrUnspecified(Addr) && FDestName.empty())
        throw EIpWinSockError(WSAEADDRNOTAVAIL, sApiConnect);
    if (IpAddrUnspecified(Target))
        throw EIpWinSockError(WSAEADDRNOTAVAIL, ApiName);
    // SOCKS 4 and 4A carry IPv4 destinations only.
    if (FSocksState > 0 && FSocksInfo->SocksVersion() != svSocks5 && IpAddrIsV6(Addr))
        throw EIpWinSockError(WSAEAFNOSUPPORT, ApiName);
    // An IPv4 socket cannot reach an IPv6 host.
    if (FFamily == AF_INET && IpAddrIsV6(Target))
        throw EIpWinSockError(WSAEAFNOSUPPORT, ApiName);
    Target = IpAddressForFamily(Target, FFamily);
    const int Rc = WinSockAccess().connect(FHandle, reinterpret_cast<const TSockAddr *>(&Target), IpAddrLength(Target));
    const int Err = Rc == SOCKET_ERROR ? LastError() : 0;
    IpSelectNoteCall(int(FHandle), scConnect, Rc, Err == WSAEWOULDBLOCK);
    if (Rc == SOCKET_ERROR && Err != WSAEWOULDBLOCK)
        throw EIpWinSockError(Err, ApiName);
}

void TIpBaseSocket::ApplyOptions(TIpSockOptionSet Options)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    auto Put = [this](int Level, int Name, bool On, const char *OptionName) {
        const int Value = On ? -1 : 0;
        if (WinSockAccess().setsockopt(FHandle, Level, Name, &Value, sizeof(Value)) == SOCKET_ERROR) {
            // An option only a privileged user may set (SO_DEBUG) must not
            // make every socket fail: it is left off, and the log says so.
            if (LastError() == WSAEACCES) {
                if (FOwner)
                    FOwner->WriteEventLog(Format("Socket option %s not set: %s", OptionName,
                                                 WinSockErrorText(WSAEACCES).c_str()));
                return;
            }
            RaiseLastError(sApiSetSockOpt);
        }
    };
    if (FSockType == SOCK_DGRAM)
        Put(SOL_SOCKET, SO_BROADCAST, Options.Contains(soBroadcast), "SO_BROADCAST");
    if (FSockType == SOCK_STREAM) {
        Put(IPPROTO_TCP, TCP_NODELAY, Options.Contains(soNoDelay), "TCP_NODELAY");
        Put(SOL_SOCKET, SO_KEEPALIVE, Options.Contains(soKeepAlive), "SO_KEEPALIVE");
    }
    Put(SOL_SOCKET, SO_DEBUG, Options.Contains(soDebug), "SO_DEBUG");
    Put(SOL_SOCKET, SO_DONTROUTE, Options.Contains(soDontRoute), "SO_DONTROUTE");
    Put(SOL_SOCKET, SO_REUSEADDR, Options.Contains(soReuseAddr), "SO_REUSEADDR");
    FDiscardReceived = Options.Contains(soDiscardReceived);
    FEchoReceived = Options.Contains(soEchoReceived);
    FEchoSent = Options.Contains(soEchoSent);
    FStripHighBit = Options.Contains(soStripHighBit);
    FTelnet = Options.Contains(soTelnet);
}

void TIpBaseSocket::KeepAlive(int IdleSeconds)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (FSockType != SOCK_STREAM || !FSocketHeld)
        return;
    const int On = 1;
    const int Interval = 15;
    const int Probes = 4;
    if (WinSockAccess().setsockopt(FHandle, SOL_SOCKET, SO_KEEPALIVE, &On, sizeof(On)) == SOCKET_ERROR ||
        WinSockAccess().setsockopt(FHandle, IPPROTO_TCP, TCP_KEEPIDLE, &IdleSeconds, sizeof(IdleSeconds)) ==
            SOCKET_ERROR ||
        WinSockAccess().setsockopt(FHandle, IPPROTO_TCP, TCP_KEEPINTVL, &Interval, sizeof(Interval)) == SOCKET_ERROR ||
        WinSockAccess().setsockopt(FHandle, IPPROTO_TCP, TCP_KEEPCNT, &Probes, sizeof(Probes)) == SOCKET_ERROR)
        RaiseLastError(sApiSetSockOpt);
}

void TIpBaseSocket::Renew()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (!FSocketHeld)
        return;
    const TSocket S = WinSockAccess().socket(FFamily, FSockType, 0);
    if (S == INVALID_SOCKET)
        RaiseLastError(sApiSocket);
    // What was set on the old socket goes over to the new one. Linux reports
    // buffer sizes doubled (its bookkeeping share), and doubles what is set.
    struct TOption
    {
        int Level;
        int Name;
    };
    static const TOption Options[] = {{SOL_SOCKET, SO_RCVBUF},      {SOL_SOCKET, SO_SNDBUF},
                                      {SOL_SOCKET, SO_KEEPALIVE},   {SOL_SOCKET, SO_REUSEADDR},
                                      {SOL_SOCKET, SO_DONTROUTE},   {IPPROTO_TCP, TCP_NODELAY},
                                      {IPPROTO_TCP, TCP_KEEPIDLE},  {IPPROTO_TCP, TCP_KEEPINTVL},
                                      {IPPROTO_TCP, TCP_KEEPCNT},   {IPPROTO_TCP, TCP_NOTSENT_LOWAT},
                                      {IPPROTO_IPV6, IPV6_V6ONLY}};
    for (const TOption &O : Options) {
        if (O.Level == IPPROTO_IPV6 && FFamily != AF_INET6)
            continue;
        if (O.Level == IPPROTO_TCP && FSockType != SOCK_STREAM)
            continue;
        int Value = 0;
        socklen_t Len = sizeof(Value);
        if (::getsockopt(int(FHandle), O.Level, O.Name, &Value, &Len) != 0)
            continue;
        if (O.Name == SO_RCVBUF || O.Name == SO_SNDBUF)
            Value /= 2;
        ::setsockopt(int(S), O.Level, O.Name, &Value, sizeof(Value));
    }
    IpSelectCancel(int(FHandle));
    const int Rc = ::dup3(int(S), int(FHandle), O_CLOEXEC);
    const int Err = errno;
    WinSockAccess().closesocket(S);
    if (Rc < 0)
        throw EIpWinSockError(WinSockErrorFromErrno(Err), sApiSocket);
    FConnected = false;
    SelectEvents();
    if (FBound && WinSockAccess().bind(FHandle, reinterpret_cast<const TSockAddr *>(&FLocalAddr),
                                       IpAddrLength(FLocalAddr)) == SOCKET_ERROR)
        RaiseLastError(sApiBind);
}

std::string TIpBaseSocket::GetRemoteHost()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    return FRemoteHost;
}

TIpConnRec TIpBaseSocket::ConnRec() const
{
    TIpConnRec R;
    R.RemAddr = FRemoteAddr;
    R.RemPort = IpAddrPort(FRemoteAddr);
    R.LocAddr = FLocalAddr;
    R.LocPort = IpAddrPort(FLocalAddr);
    return R;
}
