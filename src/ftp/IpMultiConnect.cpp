// Connecting the control connection to a host by name: the lookup runs off
// the event loop, and every address it gives is tried in turn.

#include "ftp/IpMultiClient.h"

#include "base/IpConst.h"

void TIpCustomMultiClient::ConnectHandle(TSocket Handle, const std::string &Address)
{
    TIpBaseSocket *Socket = FindSocket(Handle, true);
    if (Socket->Connected())
        throw EIpWinSockError(std::string(sIpAlreadyConnected));
    std::string Host;
    const uint16_t Port = HostAndPort(Address, Host, FDefaultPort);
    TSockAddrIn Addr{};
    if (NumericAddress(Host, Addr)) {
        IpSetAddrPort(Addr, Port);
        DoConnecting(Handle, Addr);
        Socket->Connect(Addr, Address);
        return;
    }
    // The proxy looks the name up itself.
    if (Socket->SocksPending() && Socket->SocksInfo().SendsNames()) {
        Socket->ConnectByName(Host, Port, Address);
        return;
    }
    // A NUL would cut the looked-up name short: such text names no host.
    if (Host.find('\0') != std::string::npos) {
        WinSockAccess().WSASetLastError(WSAHOST_NOT_FOUND);
        DoError(Handle, WSAHOST_NOT_FOUND, EIpWinSockError::FormatReport(WSAHOST_NOT_FOUND, SocketEventName(FD_CONNECT)));
        return;
    }
    const uint64_t Id = FNextLookup++;
    FLookups[Id] = TLookup{Handle, Socket->Serial(), Port, Address};
    // The window handle stays valid to post to from any thread; once the
    // control is gone the message simply has nowhere to go.
    const TIpWnd Wnd = WindowHandle();
    FResolver->Lookup(Host, [Wnd, Id](int Error, std::vector<TSockAddrIn> Addrs) {
        IpPostMessage(Wnd, CM_IPRESOLVED, uintptr_t(Id), intptr_t(Error), std::any(std::move(Addrs)));
    });
}

void TIpCustomMultiClient::WndProc(TIpMessage &Msg)
{
    if (Msg.Msg != CM_IPRESOLVED) {
        TIpMultiSockControl::WndProc(Msg);
        return;
    }
    TDispatchGuard Dispatch(*this);
    try {
        Resolved(uint64_t(Msg.WParam), int(Msg.LParam), std::any_cast<std::vector<TSockAddrIn>>(&Msg.Payload));
    } catch (...) {
        IpHandleApplicationException(std::current_exception());
    }
}

void TIpCustomMultiClient::Resolved(uint64_t Id, int Error, std::vector<TSockAddrIn> *Addrs)
{
    const auto It = FLookups.find(Id);
    if (It == FLookups.end())
        return;
    const TLookup Lookup = It->second;
    FLookups.erase(It);
    // Closed (or its handle given to another socket) meanwhile: the result
    // is no longer wanted.
    TIpBaseSocket *Socket = FindSocket(Lookup.Handle, false);
    if (!Socket || Socket->Serial() != Lookup.Serial || Socket->Closed() || !Socket->SocketHeld())
        return;
    if (Error != 0 || !Addrs || Addrs->empty()) {
        const int Code = Error != 0 ? Error : WSANO_DATA;
        WinSockAccess().WSASetLastError(Code);
        DoError(Lookup.Handle, Code, EIpWinSockError::FormatReport(Code, SocketEventName(FD_CONNECT)));
        return;
    }
    TAttempts &A = FAttempts[Lookup.Handle];
    A = TAttempts{};
    A.Serial = Lookup.Serial;
    A.Addrs = std::move(*Addrs);
    for (TSockAddrIn &Each : A.Addrs)
        IpSetAddrPort(Each, Lookup.Port);
    A.HostText = Lookup.HostText;
    ConnectNext(Lookup.Handle);
}

TIpCustomMultiClient::TAttempts *TIpCustomMultiClient::AttemptsOf(TSocket Handle)
{
    const auto It = FAttempts.find(Handle);
    if (It == FAttempts.end())
        return nullptr;
    TIpBaseSocket *Socket = FindSocket(Handle, false);
    if (!Socket || Socket->Serial() != It->second.Serial || Socket->Closed() || !Socket->SocketHeld()) {
        FAttempts.erase(It);
        return nullptr;
    }
    return &It->second;
}

void TIpCustomMultiClient::ConnectNext(TSocket Handle)
{
    TAttempts *A = AttemptsOf(Handle);
    if (!A)
        return;
    TIpBaseSocket *Socket = FindSocket(Handle, true);
    while (A->Next < A->Addrs.size()) {
        const TSockAddrIn Addr = A->Addrs[A->Next++];
        A->Elapsed = 0;
        try {
            if (A->Next > 1)
                Socket->Renew();
            DoConnecting(Handle, Addr);
            Socket->Connect(Addr, A->HostText);
            return;
        } catch (const EIpWinSockError &E) {
            A->LastError = E.ErrorCode();
            A->LastText = E.what();
            WriteEventLog("Connect to " + IpEndpointText(Addr) + " failed: " + A->LastText);
        }
    }
    const int Code = A->LastError;
    std::string Text = A->LastText;
    if (A->Addrs.size() > 1)
        Text += Format(" (%d addresses tried)", int(A->Addrs.size()));
    FAttempts.erase(Handle);
    DoError(Handle, Code, Text);
}

bool TIpCustomMultiClient::ConnectFailed(TSocket Handle, int Error)
{
    TAttempts *A = AttemptsOf(Handle);
    if (!A)
        return false;
    A->LastError = Error;
    A->LastText = EIpWinSockError::FormatReport(Error, SocketEventName(FD_CONNECT));
    if (A->Addrs.size() == 1) {
        // One address: the usual report, nothing to add.
        FAttempts.erase(Handle);
        return false;
    }
    WriteEventLog("Connect to " + IpEndpointText(A->Addrs[A->Next - 1]) + " failed: " + A->LastText);
    ConnectNext(Handle);
    return true;
}

void TIpCustomMultiClient::TimerElapsed(uint32_t Ms)
{
    TIpMultiSockControl::TimerElapsed(Ms);
    std::vector<TSocket> Late;
    for (auto It = FAttempts.begin(); It != FAttempts.end();) {
        TIpBaseSocket *Socket = FindSocket(It->first, false);
        if (!Socket || Socket->Serial() != It->second.Serial || Socket->Connected() || Socket->Closed()) {
            It = FAttempts.erase(It);
            continue;
        }
        It->second.Elapsed += Ms;
        if (It->second.Elapsed >= FConnectTimeout)
            Late.push_back(It->first);
        ++It;
    }
    TDispatchGuard Dispatch(*this);
    for (const TSocket Handle : Late) {
        TAttempts *A = AttemptsOf(Handle);
        if (!A)
            continue;
        A->LastError = WSAETIMEDOUT;
        A->LastText = EIpWinSockError::FormatReport(WSAETIMEDOUT, SocketEventName(FD_CONNECT));
        WriteEventLog("Connect to " + IpEndpointText(A->Addrs[A->Next - 1]) + " timed out");
        if (A->Next < A->Addrs.size()) {
            ConnectNext(Handle);
            continue;
        }
        // The last one: the socket gives up its connect, the error says why.
        std::string Text = A->LastText;
        if (A->Addrs.size() > 1)
            Text += Format(" (%d addresses tried)", int(A->Addrs.size()));
        FAttempts.erase(Handle);
        if (TIpBaseSocket *Socket = FindSocket(Handle, false))
            Socket->Renew();
        DoError(Handle, WSAETIMEDOUT, Text);
    }
}
