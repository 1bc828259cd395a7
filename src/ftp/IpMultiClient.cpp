#include "ftp/IpMultiClient.h"

#include <exception>

// ---------------------------------------------------------------------------
// TIpSocketList

TIpSocketList::TIpSocketList() = default;

TIpSocketList::~TIpSocketList()
{
    try {
        Clear();
    } catch (...) {
        IpHandleApplicationException(std::current_exception());
    }
}

void TIpSocketList::Add(TIpBaseSocket *Socket)
{
    std::lock_guard<std::recursive_mutex> G(FLock);
    const uint32_t Bucket = HashOf(Socket->Handle());
    Socket->SetHashNext(FBuckets[Bucket]);
    FBuckets[Bucket] = Socket;
    FList.push_back(Socket);
}

void TIpSocketList::Clear()
{
    std::lock_guard<std::recursive_mutex> G(FLock);
    std::exception_ptr First;
    // Newest first. A close may make the owner drop other sockets of the
    // list meanwhile, so each socket is found again after its close.
    while (!FList.empty()) {
        TIpBaseSocket *Socket = FList.back();
        try {
            Socket->Close();
        } catch (...) {
            // Every socket is still freed; the first failure is reported afterwards.
            if (!First)
                First = std::current_exception();
        }
        for (size_t I = FList.size(); I-- > 0;) {
            if (FList[I] == Socket) {
                Delete(int(I));
                break;
            }
        }
    }
    if (First)
        std::rethrow_exception(First);
}

void TIpSocketList::TickSockets(uint32_t Ms)
{
    std::lock_guard<std::recursive_mutex> G(FLock);
    // A tick handler may close and release sockets (this one or others):
    // the round goes over the sockets listed when it began, skipping those
    // that have left the list or closed meanwhile. The owner keeps released
    // sockets alive until its dispatch ends.
    const std::vector<TIpBaseSocket *> Round = FList;
    for (TIpBaseSocket *Socket : Round) {
        if (IndexOf(Socket) < 0 || Socket->Closed())
            continue;
        Socket->HandleTimer(Ms);
    }
}

void TIpSocketList::Delete(int Index)
{
    std::lock_guard<std::recursive_mutex> G(FLock);
    if (Index < 0 || Index >= int(FList.size()))
        return;
    Unhash(Index);
    TIpBaseSocket *Socket = FList[size_t(Index)];
    FList.erase(FList.begin() + Index);
    if (!FFreeHook || !FFreeHook(Socket))
        delete Socket;
}

void TIpSocketList::Unhash(int Index)
{
    std::lock_guard<std::recursive_mutex> G(FLock);
    if (Index < 0 || Index >= int(FList.size()))
        return;
    TIpBaseSocket *Target = FList[size_t(Index)];
    const uint32_t Bucket = HashOf(Target->Handle());
    TIpBaseSocket *Prev = nullptr;
    for (TIpBaseSocket *S = FBuckets[Bucket]; S; Prev = S, S = S->HashNext()) {
        // The object itself, not merely its handle: while an old socket and
        // a new one could share a number, only the one at Index goes.
        if (S != Target)
            continue;
        if (Prev)
            Prev->SetHashNext(S->HashNext());
        else
            FBuckets[Bucket] = S->HashNext();
        S->SetHashNext(nullptr);
        return;
    }
}

int TIpSocketList::IndexOfHandle(TSocket Handle)
{
    std::lock_guard<std::recursive_mutex> G(FLock);
    TIpBaseSocket *Socket = FindSocket(Handle);
    if (!Socket)
        return -1;
    for (size_t I = 0; I < FList.size(); ++I)
        if (FList[I] == Socket)
            return int(I);
    return -1;
}

TIpBaseSocket *TIpSocketList::FindSocket(TSocket Handle)
{
    std::lock_guard<std::recursive_mutex> G(FLock);
    for (TIpBaseSocket *S = FBuckets[HashOf(Handle)]; S; S = S->HashNext())
        if (S->Handle() == Handle)
            return S;
    return nullptr;
}

void TIpSocketList::Remove(TSocket Handle)
{
    std::lock_guard<std::recursive_mutex> G(FLock);
    const int Index = IndexOfHandle(Handle);
    if (Index >= 0)
        Delete(Index);
}

int TIpSocketList::Count()
{
    std::lock_guard<std::recursive_mutex> G(FLock);
    return int(FList.size());
}

int TIpSocketList::IndexOf(TIpBaseSocket *Socket)
{
    std::lock_guard<std::recursive_mutex> G(FLock);
    for (size_t I = 0; I < FList.size(); ++I)
        if (FList[I] == Socket)
            return int(I);
    return -1;
}

TIpBaseSocket *TIpSocketList::Items(int Index)
{
    std::lock_guard<std::recursive_mutex> G(FLock);
    return Index >= 0 && Index < int(FList.size()) ? FList[size_t(Index)] : nullptr;
}

// ---------------------------------------------------------------------------
// TIpMultiSockControl

TIpMultiSockControl::TIpMultiSockControl(TComponent *AOwner)
    : TIpSockControl(AOwner), FSocketList(std::make_unique<TIpSocketList>())
{
    FSocketList->SetFreeHook([this](TIpBaseSocket *Socket) {
        if (DispatchDepth() == 0)
            return false;
        FPendingFree.push_back(Socket);
        return true;
    });
}

void TIpMultiSockControl::DispatchFinished()
{
    FreePending();
    TIpSockControl::DispatchFinished();
}

void TIpMultiSockControl::FreePending()
{
    // Freeing reports nothing (the sockets are closed or are dropped
    // without events), so nothing can be added while this runs.
    std::vector<TIpBaseSocket *> Pending;
    Pending.swap(FPendingFree);
    for (TIpBaseSocket *Socket : Pending)
        delete Socket;
}

TIpMultiSockControl::~TIpMultiSockControl()
{
    // Close while the list is still reachable: each close reports skClose,
    // and the status handling looks the socket up.
    if (FSocketList) {
        try {
            FSocketList->Clear();
        } catch (...) {
            IpHandleApplicationException(std::current_exception());
        }
        FSocketList.reset();
    }
    FreePending();
}

TSocket TIpMultiSockControl::CreateSocket()
{
    return INVALID_SOCKET;
}

void TIpMultiSockControl::ReleaseSocket(TSocket Handle)
{
    if (FSocketList)
        FSocketList->Remove(Handle);
}

bool TIpMultiSockControl::IsActive()
{
    return FSocketList && FSocketList->Count() > 0;
}

void TIpMultiSockControl::DoStatus(TSocket Handle, TIpStatusKind Kind, const TIpConnRec &Conn)
{
    TIpSockControl::DoStatus(Handle, Kind, Conn);
    if (Kind == skConnect || Kind == skClose) {
        const intptr_t What = Kind == skConnect ? 1 : 2;
        for (TIpWnd Wnd : NotifyWindows())
            IpPostMessage(Wnd, CM_IPSOCKETSTATUS, Handle, What);
    }
}

void TIpMultiSockControl::TimerElapsed(uint32_t Ms)
{
    TDispatchGuard Dispatch(*this);
    if (FSocketList)
        FSocketList->TickSockets(Ms);
    TIpSockControl::TimerElapsed(Ms);
}

TIpBaseSocket *TIpMultiSockControl::FindSocket(TSocket Handle, bool MustExist)
{
    TIpBaseSocket *Socket = FSocketList ? FSocketList->FindSocket(Handle) : nullptr;
    if (!Socket && MustExist)
        throw EIpNoSocketError();
    return Socket;
}

void TIpMultiSockControl::CloseAllSockets()
{
    TDispatchGuard Dispatch(*this);
    if (FSocketList)
        FSocketList->Clear();
}

void TIpMultiSockControl::CloseSocket(TSocket Handle)
{
    TIpBaseSocket *Socket = FindSocket(Handle, true);
    TDispatchGuard Dispatch(*this);
    // Removed also when the close raised (a drain into a failing stream);
    // the object goes, not merely whatever answers to the handle by then.
    auto RemoveIt = [this, Socket]() {
        if (!FSocketList)
            return;
        const int Index = FSocketList->IndexOf(Socket);
        if (Index >= 0)
            FSocketList->Delete(Index);
    };
    try {
        Socket->Close();
    } catch (...) {
        RemoveIt();
        throw;
    }
    RemoveIt();
}

void TIpMultiSockControl::AddSocket(TIpBaseSocket *Socket)
{
    if (FSocketList && Socket)
        FSocketList->Add(Socket);
}

bool TIpMultiSockControl::IsSocketConnected(TSocket Handle)
{
    return FindSocket(Handle, true)->Connected();
}

uint32_t TIpMultiSockControl::GetSocketIdleTimeout(TSocket Handle)
{
    return FindDataSocket(Handle, true)->IdleTimeout();
}

void TIpMultiSockControl::SetSocketIdleTimeout(TSocket Handle, uint32_t Ms)
{
    FindDataSocket(Handle, true)->SetIdleTimeout(Ms);
}

void TIpMultiSockControl::SetSocketReceiveMode(TSocket Handle, TIpReceiveMode Mode)
{
    FindDataSocket(Handle, true)->SetReceiveMode(Mode);
}

void TIpMultiSockControl::SetSocketReceiveStream(TSocket Handle, TStream *Stream)
{
    FindDataSocket(Handle, true)->SetReceiveStream(Stream);
}

// ---------------------------------------------------------------------------
// TIpCustomMultiClient

TIpCustomMultiClient::TIpCustomMultiClient(TComponent *AOwner)
    : TIpMultiSockControl(AOwner), FSocksServer(std::make_unique<TIpSocksServerInfo>())
{
}

TIpCustomMultiClient::~TIpCustomMultiClient()
{
    FreeAndClear(FSocksServer);
}

TSocket TIpCustomMultiClient::CreateSocket()
{
    auto *Socket = new TIpDataSocket(this, INVALID_SOCKET, DefaultLocalAddr(), DataInits(), FSocksServer.get());
    FSocketList->Add(Socket);
    return Socket->Handle();
}

TSocket TIpCustomMultiClient::ConnectSocket(const std::string &Address)
{
    const TSocket Handle = CreateSocket();
    try {
        TIpBaseSocket *Socket = FindSocket(Handle, true);
        std::string Host;
        const uint16_t Port = HostAndPort(Address, Host, FDefaultPort);
        TSockAddrIn Addr;
        if (Socket->SocksInfo().SendsNames() && !NumericAddress(Host, Addr)) {
            Socket->ConnectByName(Host, Port, Address);
        } else {
            ResolveAddress(Address, Addr, FDefaultPort);
            Socket->Connect(Addr, Address);
        }
    } catch (...) {
        // The socket never got anywhere: it goes without close events, and
        // its descriptor with it.
        TDispatchGuard Dispatch(*this);
        FSocketList->Remove(Handle);
        throw;
    }
    return Handle;
}

