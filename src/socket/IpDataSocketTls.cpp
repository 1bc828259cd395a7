// The TLS filter of the data socket: the handshake when the connection (or
// the proxy's grant, or the owner's go-ahead) is there, plaintext in and out
// of the engine, the close_notify, and the wait for the server's after the
// last bytes of an upload.

#include "socket/IpDataSocket.h"

#include "platform/IpAsyncSelect.h"
#include "socket/IpSockControl.h"

#include <algorithm>

size_t TIpDataSocket::StartTls(std::unique_ptr<TIpTls> Tls, bool Hold)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (FTls || !Tls)
        throw EIpProgrammerError();
    FTls = std::move(Tls);
    FTlsSeen = tlsHandshake;
    // Through a proxy the handshake waits for the proxy's grant as well.
    if (!FConnected || SocksPending()) {
        FTlsHeld = Hold;
        return 0;
    }
    const size_t Dropped = (FWritePos - FReadPos) + FPartialLine.size();
    FReadPos = 0;
    FWritePos = 0;
    FPartialLine.clear();
    BeginTls();
    return Dropped;
}

void TIpDataSocket::HandleConnect()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    // Through a proxy the first connect reaches the proxy; TLS starts once
    // it has granted the connection to the server.
    if (!FTls || FTlsStarted || FSocksState == 1) {
        TIpBaseSocket::HandleConnect();
        return;
    }
    int Len = sizeof(FLocalAddr);
    WinSockAccess().getsockname(FHandle, reinterpret_cast<TSockAddr *>(&FLocalAddr), &Len);
    FConnected = true;
    FTlsDefersConnect = true;
    if (!FTlsHeld)
        BeginTls();
}

void TIpDataSocket::ReleaseTls()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (!FTls || !FTlsHeld)
        return;
    FTlsHeld = false;
    // Before the proxy's grant the socket is connected to the proxy only;
    // the grant starts the handshake then (HandleConnect).
    if (FConnected && !SocksPending() && !FTlsStarted && SocketHeld()) {
        BeginTls();
        // Bytes that came while the handshake was held were taken in by
        // the read path; this read also re-arms the read notification.
        if (SocketHeld())
            HandleRead();
    }
}

void TIpDataSocket::BeginTls()
{
    FTlsStarted = true;
    FTls->Start();
    PumpTls();
    CheckTlsState();
}

bool TIpDataSocket::SendBlocked(const TIpSendEntry &Entry) const
{
    return Entry.Seal && (!FTls || FTls->State() != tlsReady);
}

void TIpDataSocket::SealEntry(TIpSendEntry &Entry)
{
    if (FLogOptions.Contains(loHighData) && !Entry.Internal && !Entry.Buffer.empty())
        LogData(IpLogWrite, Entry.Buffer.data(), std::min(Entry.PayloadSize, int32_t(Entry.Buffer.size())));
    if (!Entry.Buffer.empty())
        FTls->WritePlain(Entry.Buffer.data(), Entry.Buffer.size());
    Entry.Buffer = FTls->TakeOutput();
    Entry.Size = int32_t(Entry.Buffer.size());
    Entry.Sent = 0;
    Entry.Seal = false;
    Entry.Sealed = true;
}

void TIpDataSocket::PumpTls()
{
    if (!FTls || !FTls->HasOutput() || !SocketHeld())
        return;
    std::string Out = FTls->TakeOutput();
    // Records the engine makes on its own (handshake, alerts, answers to
    // the server's messages) go before any plaintext not yet encrypted:
    // that plaintext becomes records only after them.
    auto At = std::find_if(FSendQueue.begin(), FSendQueue.end(), [](const auto &E) { return E->Seal; });
    if (At == FSendQueue.end()) {
        QueueData(Out.data(), int32_t(Out.size()), nullptr, false, true, true);
        return;
    }
    auto Entry = std::make_unique<TIpSendEntry>();
    Entry->Internal = true;
    Entry->Buffer = std::move(Out);
    Entry->Size = int32_t(Entry->Buffer.size());
    Entry->Id = ++FLastSendId;
    const bool AtHead = At == FSendQueue.begin();
    FSendQueue.insert(At, std::move(Entry));
    if (AtHead && FWritable)
        IpSelectRequestWrite(int(FHandle));
}

void TIpDataSocket::CheckTlsState()
{
    if (!FTls || FTls->State() == FTlsSeen)
        return;
    const TIpTlsState State = FTls->State();
    const TIpTlsState Was = FTlsSeen;
    FTlsSeen = State;
    if (State == tlsReady && Was == tlsHandshake) {
        if (FOwner)
            FOwner->WriteEventLog("TLS connection: " + FTls->Version() + ", " + FTls->Cipher() +
                                  (FTls->SessionReused() ? ", session resumed" : ""));
        // Plaintext queued meanwhile can be encrypted and sent now.
        if (FWritable && !FSendQueue.empty())
            IpSelectRequestWrite(int(FHandle));
        if (FTlsDefersConnect) {
            FTlsDefersConnect = false;
            FOwner->DoStatus(FHandle, skConnect, ConnRec());
        } else {
            FOwner->DoTlsReady(FHandle);
        }
    } else if (State == tlsClosed) {
        // The peer's close_notify: it sends nothing more, and some servers
        // (vsftpd) wait for ours before they close the connection.
        while (Deliver()) {
        }
        if (FTlsClosing && !Closed())
            CloseAndRelease();
        else if (SocketHeld() && !Closed())
            Close();
    } else if (State == tlsFailed) {
        const std::string Text = FTls->ErrorText();
        if (FOwner)
            FOwner->WriteEventLog(Text);
        FOwner->DoError(FHandle, IpTlsErrorCode, Text);
        if (SocketHeld() && !Closed())
            Close();
    }
}

uint32_t TIpDataSocket::ReadTls(bool Final, uint32_t MaxBytes, bool AllowRecv)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FLastRecvBytes = 0;
    if (!FTls || (!FTlsStarted && !FTlsDefersConnect) || FHandle == INVALID_SOCKET || !SocketHeld())
        return 0;
    if (FReadPos >= FWritePos) {
        FReadPos = 0;
        FWritePos = 0;
    }
    const uint32_t Room = std::min(FreeSpace(), MaxBytes);
    if (Room == 0)
        return 0;
    // A full record plus its header and some slack: one recv never needs more.
    constexpr size_t WireChunk = 16384 + 2048;
    if (FTlsWire.size() != WireChunk)
        FTlsWire.resize(WireChunk);
    uint8_t *Out = FBuffer + FWritePos;
    for (int Round = 0; Round < 8; ++Round) {
        // A held handshake: whatever the server sends before it is taken
        // in (and will fail the handshake), never seen as plaintext.
        if (!FTlsStarted) {
            if (FTls->InputFull())
                return 0;
        } else if (FTls->State() == tlsHandshake) {
            FTls->Advance();
            PumpTls();
            CheckTlsState();
        }
        if (!FTls || !SocketHeld() || FTls->State() == tlsFailed)
            return 0;
        const size_t N = FTlsStarted ? FTls->ReadPlain(Out, Room) : 0;
        PumpTls();
        CheckTlsState();
        if (!SocketHeld() || FTls->State() == tlsFailed)
            return 0;
        if (N > 0)
            return AcceptReceived(Out, int32_t(N));
        if (FTls->State() == tlsClosed || !AllowRecv || FTls->InputFull())
            return 0;
        size_t Want = std::min(WireChunk, TIpTls::MaxPendingInput);
        if (Final)
            Want = std::min<size_t>(Want, MaxBytes);
        const uint32_t Got = RecvRaw(reinterpret_cast<uint8_t *>(FTlsWire.data()), uint32_t(Want), Final);
        if (Got == 0)
            return 0;
        FLastRecvBytes += Got;
        FActivity = true;
        FTls->Feed(FTlsWire.data(), size_t(Got));
    }
    return 0;
}

bool TIpDataSocket::BeginTlsClose()
{
    if (!FTls || FTls->State() != tlsReady || FTlsClosing)
        return false;
    // Our close_notify, but the connection stays open (not even half
    // closed) until the server's close_notify or its close comes. A server
    // that answers into a connection already closed gets a reset: OpenSSL
    // then throws the TLS session away (the next data connection could not
    // resume it), and a proxy that does not pass half-closes on (microsocks)
    // would reset the server's side while it still reads the file's end.
    SendCloseNotify();
    FTlsClosing = true;
    FTlsCloseWait = 0;
    FWritable = false;
    return true;
}

void TIpDataSocket::SendCloseNotify()
{
    if (!FTls || !SocketHeld() || (FTls->State() != tlsReady && FTls->State() != tlsClosed))
        return;
    // Only between records: half a record followed by an alert would be
    // garbage to the peer.
    if (!FSendQueue.empty()) {
        const TIpSendEntry &Head = *FSendQueue.front();
        if (Head.Sent != 0 && Head.Sent != Head.Size)
            return;
    }
    FTls->Shutdown();
    const std::string Out = FTls->TakeOutput();
    if (Out.empty())
        return;
    // A few dozen bytes into a socket about to be shut down: if the system
    // cannot take them at once, the connection ends without the alert.
    const int M = WinSockAccess().send(FHandle, Out.data(), int(Out.size()), MSG_NOSIGNAL);
    IpSelectNoteCall(int(FHandle), scSend, M, M == SOCKET_ERROR && LastError() == WSAEWOULDBLOCK);
    if (M > 0) {
        FStats.Add(ssRawSent, uint64_t(M));
        if (FLogOptions.Contains(loLowData))
            LogData(IpLogSendApi, Out.data(), M);
    }
}
