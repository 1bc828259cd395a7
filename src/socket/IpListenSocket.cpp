#include "socket/IpListenSocket.h"

#include "platform/IpAsyncSelect.h"

TIpListenSocket::TIpListenSocket(TIpSockControl *Owner, TSocket Handle, const TSockAddrIn &LocalAddr,
                                 const TIpBaseInits *Inits, const TIpSocksServerInfo *SocksServer)
    : TIpBaseSocket(Owner, Handle, LocalAddr, Inits, SocksServer, IpListenSocketEvents)
{
    const int Rc = WinSockAccess().listen(FHandle, Backlog);
    const int Err = Rc == SOCKET_ERROR ? LastError() : 0;
    IpSelectNoteCall(int(FHandle), scListen, Rc, Err == WSAEWOULDBLOCK);
    if (Rc == SOCKET_ERROR)
        throw EIpWinSockError(Err, sApiListen);
}

TSocket TIpListenSocket::Accept()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (!SocketHeld())
        return INVALID_SOCKET;
    const TSocket S = WinSockAccess().accept(FHandle, nullptr, nullptr);
    const int Err = S == INVALID_SOCKET ? LastError() : 0;
    IpSelectNoteCall(int(FHandle), scAccept, S == INVALID_SOCKET ? -1 : 0, Err == WSAEWOULDBLOCK);
    if (S == INVALID_SOCKET) {
        if (Err == WSAEWOULDBLOCK)
            return INVALID_SOCKET;
        throw EIpWinSockError(Err, sApiAccept);
    }
    return S;
}
