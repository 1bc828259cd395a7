#include "socket/IpBaseSocket.h"

#include "platform/IpAsyncSelect.h"
#include "socket/IpSockControl.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <netinet/tcp.h>

namespace {

std::atomic<uint64_t> NextSerial{1};

} // namespace

TSockAddrIn IpAnyAddress()
{
    TSockAddrIn A;
    std::memset(&A, 0, sizeof(A));
    A.sin_family = AF_INET;
    return A;
}

bool IpIsAnyAddress(const TSockAddrIn &Addr)
{
    const TSockAddrIn Any = IpAnyAddress();
    return std::memcmp(&Any, &Addr, sizeof(TSockAddrIn)) == 0;
}

TSockAddrIn IpMakeSockAddr(uint32_t NetAddr, uint16_t Port)
{
    TSockAddrIn A = IpAnyAddress();
    A.sin_addr.s_addr = NetAddr;
    A.sin_port = ::htons(Port);
    return A;
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
        const TSocket S = WinSockAccess().socket(AF_INET, FSockType, 0);
        if (S == INVALID_SOCKET)
            RaiseLastError(sApiSocket);
        FHandle = S;
        FSocketHeld = true;
        SelectEvents();
        if (Inits)
            ApplyOptions(Inits->SocketOptions());
        if (!IpIsAnyAddress(LocalAddr)) {
            FLocalAddr = LocalAddr;
            if (WinSockAccess().bind(FHandle, reinterpret_cast<const TSockAddr *>(&FLocalAddr),
                                     sizeof(FLocalAddr)) == SOCKET_ERROR)
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
        NameLen = sizeof(FRemoteAddr);
        WinSockAccess().getpeername(FHandle, reinterpret_cast<TSockAddr *>(&FRemoteAddr), &NameLen);
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

void TIpBaseSocket::Connect(const TSockAddrIn &Addr, const std::string &HostText)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FRemoteHost = HostText;
    FRemoteAddr = Addr;
    TSockAddrIn Target = Addr;
    const char *ApiName = sApiConnect;
    if (FSocksState > 0) {
        ApiName = sApiSocksConnect;
        Target = IpAnyAddress();
        Target.sin_port = ::htons(FSocksInfo->Port());
        uint32_t A = FOwner->ParseDottedAddress(FSocksInfo->Address());
        if (A == INADDR_NONE)
            A = FOwner->LookupHost(FSocksInfo->Address());
        Target.sin_addr.s_addr = A;
    }
    // Linux takes 0.0.0.0 for this machine, where Windows refuses it: a
    // hostile passive reply (or a proxy name that did not resolve) must not
    // reach a service on the local host. Through a proxy the destination
    // 0.0.0.0 would be the proxy's own host, so it is refused as well.
    if (Addr.sin_addr.s_addr == 0)
        throw EIpWinSockError(WSAEADDRNOTAVAIL, sApiConnect);
    if (Target.sin_addr.s_addr == 0)
        throw EIpWinSockError(WSAEADDRNOTAVAIL, ApiName);
    const int Rc = WinSockAccess().connect(FHandle, reinterpret_cast<const TSockAddr *>(&Target), sizeof(Target));
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

std::string TIpBaseSocket::GetRemoteHost()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    return FRemoteHost;
}

TIpConnRec TIpBaseSocket::ConnRec() const
{
    TIpConnRec R;
    R.RemAddr = FRemoteAddr.sin_addr.s_addr;
    R.RemPort = ::ntohs(FRemoteAddr.sin_port);
    R.LocAddr = FLocalAddr.sin_addr.s_addr;
    R.LocPort = ::ntohs(FLocalAddr.sin_port);
    return R;
}
