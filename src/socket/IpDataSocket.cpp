#include "socket/IpDataSocket.h"

#include "base/IpDebugLog.h"
#include "platform/IpAsyncSelect.h"
#include "socket/IpSockControl.h"
#include "socket/IpSockLogs.h"
#include "socket/IpSocks.h"
#include "socket/IpTelnet.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>


TIpDataSocket::TIpDataSocket(TIpSockControl *Owner, TSocket Handle, const TSockAddrIn &LocalAddr,
                             const TIpDataInits *Inits, const TIpSocksServerInfo *SocksServer)
    : TIpBaseSocket(Owner, Handle, LocalAddr, Inits, SocksServer, IpDataSocketEvents)
{
    for (int Option : {0, 3, 5, 24, 31})
        FLocalWilling.set(size_t(Option));
    for (int Option : {0, 1, 3})
        FRemoteWilling.set(size_t(Option));
    FIdleCount = 0;
    int32_t RcvBuf = IpDefReceiveBufferSize;
    int32_t SndBuf = IpDefSendBufferSize;
    if (Inits) {
        FFixedLineLength = Inits->FixedLineLength();
        FIdleTimeout = Inits->IdleTimeout();
        FLineTermChar = Inits->LineTermChar();
        FLineTerminator = Inits->LineTerminator();
        FLogOptions = Inits->LogOptions();
        FReceiveMode = Inits->ReceiveMode();
        FStripLineTerminator = Inits->StripLineTerminator();
        RcvBuf = Inits->ReceiveBufferSize();
        SndBuf = Inits->SendBufferSize();
    }
    SetReceiveBufferSize(RcvBuf);
    SetSendBufferSize(SndBuf);
}

TIpDataSocket::~TIpDataSocket()
{
    ClearSendQueue();
    for (int &Fd : FPipe)
        if (Fd >= 0)
            ::close(std::exchange(Fd, -1));
}

// ---------------------------------------------------------------------------
// Settings

void TIpDataSocket::SetFixedLineLength(uint32_t Value)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FFixedLineLength = Value;
}

void TIpDataSocket::SetIdleTimeout(uint32_t Value)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FIdleTimeout = Value;
}

void TIpDataSocket::SetLineTermChar(char Value)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FLineTermChar = Value;
}

void TIpDataSocket::SetLineTerminator(TIpLineTerminator Value)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FLineTerminator = Value;
}

void TIpDataSocket::SetLogOptions(TIpLogOptionSet Value)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FLogOptions = Value;
}

void TIpDataSocket::SetReceiveMode(TIpReceiveMode Value)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FReceiveMode = Value;
}

void TIpDataSocket::SetReceiveStream(TStream *Value)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FReceiveStream = Value;
}

void TIpDataSocket::SetStripLineTerminator(bool Value)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FStripLineTerminator = Value;
}

bool TIpDataSocket::TrySetBufferSize(int Option, int32_t Size)
{
    // Linux sizes its buffers generously and grows them while a connection
    // runs, but only as long as nobody has fixed a size. A request below
    // what the system already gives would only shrink the TCP window (the
    // 4096-byte default costs a loopback download about 95% of its speed),
    // so it is not made; larger requests follow the halving rule.
    int32_t Current = 0;
    int Len = sizeof(Current);
    if (WinSockAccess().getsockopt(FHandle, SOL_SOCKET, Option, &Current, &Len) != SOCKET_ERROR && Size <= Current)
        return true;
    while (Size > 1460) {
        if (WinSockAccess().setsockopt(FHandle, SOL_SOCKET, Option, &Size, sizeof(Size)) != SOCKET_ERROR)
            return true;
        const int Err = LastError();
        if (Err == WSAENOPROTOOPT || Err == WSAEINVAL)
            return false;
        Size /= 2;
    }
    return false;
}

void TIpDataSocket::SetReceiveBufferSize(int32_t Size)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    TrySetBufferSize(SO_RCVBUF, Size);
}

void TIpDataSocket::SetSendBufferSize(int32_t Size)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    TrySetBufferSize(SO_SNDBUF, Size);
}

TIpSockStatRec TIpDataSocket::GetStatistics()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    return FStats;
}

void TIpDataSocket::LogData(uint32_t Kind, const void *Data, int32_t Len)
{
    if (FOwner)
        FOwner->AddLogEntry(FHandle, Kind, Data, Len);
}

// ---------------------------------------------------------------------------
// Receiving

bool TIpDataSocket::BytesPassUnchanged() const
{
    return !SocksPending() && !TransformsBytes() && !FStripHighBit && !FEchoReceived &&
           !FDiscardReceived;
}

bool TIpDataSocket::LargeStreamReceive() const
{
    return FReceiveMode == rmStream && FReceiveStream && BytesPassUnchanged();
}

void TIpDataSocket::HandleRead()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    ResetIdle();
    if (LargeStreamReceive()) {
        // Bounded by bytes rather than calls. Reading on after a short
        // piece until the system says would-block costs one call, and
        // saves a whole trip through the event loop whenever the peer has
        // sent more meanwhile (it mostly has: it runs beside us).
        for (int64_t Bytes = 0; Bytes < IpStreamReceiveBytesPerNotification && LargeStreamReceive();) {
            const auto Room = uint32_t(std::min<int64_t>(IpStreamReceivePiece, IpStreamReceiveBytesPerNotification - Bytes));
            if (ReadPieceIntoStream(false, Room) == 0)
                break;
            Bytes += FLastRecvBytes;
        }
        return;
    }
    // A bounded number of reads: whatever is left keeps the read
    // notification armed (the last recv re-armed it), so the rest comes
    // with the next one, after the event loop had its turn.
    const int Budget = FReceiveMode == rmStream ? IpStreamReadsPerNotification : IpReadsPerNotification;
    for (int Reads = 0; Reads < Budget; ++Reads) {
        if (ReadSocket(false) == 0)
            break;
        while (Deliver()) {
        }
    }
    // A TLS record may hold more plaintext than one read takes; no read
    // notification comes for bytes that already left the kernel. The
    // engine holds a bounded amount, so this ends.
    while (FTls && ReadTls(false, IpReceiveBufferSize, false) > 0) {
        while (Deliver()) {
        }
    }
}

uint32_t TIpDataSocket::ReadSocket(bool Final, uint32_t MaxBytes)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FLastRecvBytes = 0;
    if (FHandle == INVALID_SOCKET || !SocketHeld())
        return 0;
    if (!Final && !FConnected)
        return 0;
    if (FReadPos >= FWritePos) {
        FReadPos = 0;
        FWritePos = 0;
    }
    // A full buffer that delivery could not drain (a stream mode without
    // stream): reading nothing also means no further read notification, so
    // the socket does not spin.
    if (FreeSpace() == 0 || MaxBytes == 0)
        return 0;
    if (FTlsStarted || FTlsDefersConnect)
        return ReadTls(Final, MaxBytes, true);
    const uint32_t N = RecvInto(FBuffer + FWritePos, std::min(FreeSpace(), MaxBytes), Final);
    FWritePos += N;
    return N;
}

uint32_t TIpDataSocket::ReadPieceIntoStream(bool Final, uint32_t MaxBytes)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FLastRecvBytes = 0;
    // What the line buffer still holds came first.
    while (Deliver()) {
    }
    if (const int FileFd = KernelCopyFd(FReceiveStream); FileFd >= 0 && !FSpliceBroken) {
        FlushPartialLine();
        const uint32_t N = SplicePieceIntoFile(Final, MaxBytes, FileFd);
        // A socket that refused to splice before anything moved is read the
        // copying way at once, so that a close still drains it.
        if (N > 0 || !FSpliceBroken)
            return N;
    }
    if (!FLargeBuffer)
        FLargeBuffer = std::make_unique_for_overwrite<uint8_t[]>(IpStreamReceivePiece);
    const uint32_t N = RecvInto(FLargeBuffer.get(), std::min(MaxBytes, IpStreamReceivePiece), Final);
    if (N > 0) {
        FlushPartialLine();
        FReceiveStream->WriteBuffer(FLargeBuffer.get(), int64_t(N));
    }
    return N;
}

uint32_t TIpDataSocket::RecvInto(uint8_t *Bytes, uint32_t Room, bool Final)
{
    FLastRecvBytes = 0;
    if (FHandle == INVALID_SOCKET || !SocketHeld())
        return 0;
    if (!Final && !FConnected)
        return 0;
    const uint32_t Got = RecvRaw(Bytes, Room, Final);
    if (Got == 0)
        return 0;
    FLastRecvBytes = Got;
    int32_t N = int32_t(Got);
    if (SocksPending())
        N = SocksReply(Bytes, N);
    // The proxy's grant started the handshake: what followed it is the
    // server's TLS.
    if ((FTlsStarted || FTlsDefersConnect) && N > 0) {
        FTls->Feed(Bytes, size_t(N));
        N = 0;
    }
    return FilterReceived(Bytes, N);
}

uint32_t TIpDataSocket::RecvRaw(uint8_t *Bytes, uint32_t Room, bool Final)
{
    const int Got = WinSockAccess().recv(FHandle, Bytes, int(Room), 0);
    const int Err = Got == SOCKET_ERROR ? LastError() : 0;
    IpSelectNoteCall(int(FHandle), scRecv, Got, Err == WSAEWOULDBLOCK);
    if (Got == SOCKET_ERROR) {
        if (Err == WSAEWOULDBLOCK || Err == WSAENOTCONN || Final)
            return 0;
        throw EIpWinSockError(Err, sApiRecv);
    }
    if (Got == 0)
        return 0;
    if (FLogOptions.Contains(loLowData))
        LogData(IpLogRecvApi, Bytes, Got);
    FStats.Add(ssRawReceived, uint64_t(Got));
    return uint32_t(Got);
}

uint32_t TIpDataSocket::AcceptReceived(uint8_t *Bytes, int32_t N)
{
    const uint32_t Kept = FilterReceived(Bytes, N);
    FWritePos += Kept;
    return Kept;
}

uint32_t TIpDataSocket::FilterReceived(uint8_t *Bytes, int32_t N)
{
    if (FTelnet)
        N = TelnetFilter(Bytes, N);
    if (FStripHighBit)
        for (int32_t I = 0; I < N; ++I)
            Bytes[I] &= 0x7F;
    if (FEchoReceived)
        QueueData(Bytes, N, nullptr, false, true, false);
    if (FDiscardReceived)
        N = 0;
    if (N > 0 && FLogOptions.Contains(loHighData))
        LogData(IpLogRead, Bytes, N);
    FStats.Add(ssReceived, uint64_t(N));
    FActivity = true;
    return uint32_t(N);
}

bool TIpDataSocket::Deliver()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (FReadPos == FWritePos)
        return false;
    bool Result = false;
    switch (FReceiveMode) {
    case rmLine:
        Result = ExtractLine(false);
        if (FPartialLine.size() > IpMaxLineBuf) {
            FPartialLine.clear();
            FPartialLine.shrink_to_fit();
            FOwner->DoError(FHandle, IpLineTooLongCode, sIpLineTooLong);
        }
        // A full buffer without a complete line: move its head into
        // PartialLine to make room. The last two bytes stay, so that a CR LF
        // split between reads is still recognised. While the buffer still
        // holds complete lines, each is delivered on its own first.
        if (!Result && FreeSpace() == 0) {
            const uint32_t Move = FWritePos - FReadPos > 2 ? FWritePos - FReadPos - 2 : 0;
            FPartialLine.append(reinterpret_cast<const char *>(FBuffer + FReadPos), Move);
            FReadPos += Move;
        }
        if (FReadPos != 0 && FWritePos > IpReceiveBufferSize / 2) {
            std::memmove(FBuffer, FBuffer + FReadPos, FWritePos - FReadPos);
            FWritePos -= FReadPos;
            FReadPos = 0;
        }
        break;
    case rmStream:
        if (!FReceiveStream)
            throw EIpProgrammerError();
        FlushPartialLine();
        FReceiveStream->WriteBuffer(FBuffer + FReadPos, int64_t(FWritePos - FReadPos));
        FReadPos = FWritePos;
        break;
    case rmAny:
        Result = ExtractLine(true);
        break;
    }
    return Result;
}

bool TIpDataSocket::ExtractLine(bool TakeAll)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    const uint32_t Avail = FWritePos - FReadPos;
    // The last block at a close takes a pending line head even when the
    // buffer holds nothing behind it.
    if (Avail == 0 && !(TakeAll && !FPartialLine.empty()))
        return false;
    const char *Start = reinterpret_cast<const char *>(FBuffer + FReadPos);
    if (TakeAll || FLineTerminator == ltNone) {
        uint32_t Take = Avail;
        if (!TakeAll) {
            const uint32_t Target = FFixedLineLength;
            if (Target == 0 || uint64_t(Avail) + FPartialLine.size() < Target)
                return false;
            // PartialLine stays shorter than the target: it only grows by
            // overflow while the whole line does not fit.
            Take = Target > FPartialLine.size() ? Target - uint32_t(FPartialLine.size()) : 0;
        }
        std::string Text;
        Text.reserve(FPartialLine.size() + Take);
        Text.append(FPartialLine);
        Text.append(Start, Take);
        FOwner->HandOverLine(FHandle, std::move(Text));
        FPartialLine.clear();
        FReadPos += Take;
        return true;
    }
    char Term;
    switch (FLineTerminator) {
    case ltCR: Term = '\r'; break;
    case ltLF:
    case ltCRLF: Term = '\n'; break;
    case ltOther: Term = FLineTermChar; break;
    default: throw std::runtime_error("Bad terminator");
    }
    const uint32_t Strip = !FStripLineTerminator ? 0 : (FLineTerminator == ltCRLF ? 2 : 1);
    const char *P = Start;
    const char *End = Start + Avail;
    while (P < End) {
        const char *Hit = static_cast<const char *>(std::memchr(P, Term, size_t(End - P)));
        if (!Hit)
            return false;
        if (FLineTerminator == ltCRLF && (Hit == Start || Hit[-1] != '\r')) {
            P = Hit + 1;
            continue;
        }
        const uint32_t N = uint32_t(Hit - Start) + 1;
        std::string Text;
        Text.reserve(FPartialLine.size() + N);
        Text.append(FPartialLine);
        Text.append(Start, N - Strip);
        FOwner->HandOverLine(FHandle, std::move(Text));
        FPartialLine.clear();
        FReadPos += N;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Sending

int32_t TIpDataSocket::PutString(const std::string &Text, bool CloseAfter)
{
    return QueueData(Text.data(), int32_t(Text.size()), nullptr, CloseAfter, false, false);
}

int32_t TIpDataSocket::PutStream(TStream *Stream, bool CloseAfter)
{
    LimitUnsentBytes();
    return QueueData(nullptr, 0, Stream, CloseAfter, false, false);
}

void TIpDataSocket::LimitUnsentBytes()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (FUnsentLimited || FHandle == INVALID_SOCKET)
        return;
    FUnsentLimited = true;
    // Left to itself the kernel takes megabytes of a stream ahead of what
    // the connection can carry, and those bytes then go out from wherever
    // the acknowledgements are handled: for a server on this machine, in
    // the server's own time, and the server is the slower side of a bulk
    // upload. With little unsent, our own sends push the bytes. A kernel
    // without the option just queues more.
    int32_t Bytes = IpStreamUnsentLimit;
    WinSockAccess().setsockopt(FHandle, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &Bytes, sizeof(Bytes));
}

std::string TIpDataSocket::EscapeIac(const void *Data, int32_t Len) const
{
    const uint8_t *B = static_cast<const uint8_t *>(Data);
    std::string Out;
    Out.reserve(size_t(Len) + size_t(CountByte(Data, Len, 0xFF)));
    for (int32_t I = 0; I < Len; ++I) {
        Out.push_back(char(B[I]));
        if (B[I] == 0xFF)
            Out.push_back(char(0xFF));
    }
    return Out;
}

int32_t TIpDataSocket::QueueData(const void *Data, int32_t Len, TStream *Stream, bool CloseAfter,
                                 bool Internal, bool Raw)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    auto Entry = std::make_unique<TIpSendEntry>();
    Entry->CloseAfter = CloseAfter;
    Entry->Internal = Internal;
    Entry->Secret = FSendSecret;
    if (Stream) {
        Entry->Stream = Stream;
        RefillFromStream(*Entry);
    } else {
        if (Len < 0)
            Len = 0;
        if (FTelnet && !Raw)
            Entry->Buffer = EscapeIac(Data, Len);
        else if (Len > 0)
            Entry->Buffer.assign(static_cast<const char *>(Data), size_t(Len));
        Entry->Size = int32_t(Entry->Buffer.size());
        Entry->PayloadSize = Len;
        if (FTls && !Raw) {
            Entry->Seal = true;
            if (FTls->State() == tlsReady)
                SealEntry(*Entry);
        }
    }
    TIpSendEntry *E = Entry.get();
    FSendQueue.push_back(std::move(Entry));
    if (FSendQueue.size() == 1 && FWritable && !SendBlocked(*E)) {
        int64_t Bytes = 0;
        for (int Calls = 0; FWritable && Bytes < IpSendBytesPerNotification && Calls < IpSendsPerNotification;
             ++Calls) {
            const bool Complete = SendEntry(*E);
            Bytes += FLastSendBytes;
            if (Complete) {
                if (E->CloseAfter && BeginTlsClose())
                    FSendQueue.pop_front();
                else if (E->CloseAfter)
                    CloseAndRelease();  // Close discards the queue, this entry included
                else
                    FSendQueue.pop_front();
                return 0;
            }
        }
        // Budget spent before the system said would-block: the rest goes
        // on the next write notification, which must then be asked for.
        if (FWritable)
            IpSelectRequestWrite(int(FHandle));
    }
    E->Id = ++FLastSendId;
    return E->Id;
}

bool TIpDataSocket::SendEntry(TIpSendEntry &Entry)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (!FWritable || !SocketHeld() || SendBlocked(Entry))
        return false;
    if (Entry.Seal)
        SealEntry(Entry);
    const int32_t Len = Entry.Size - Entry.Sent;
    const char *Bytes = Entry.Buffer.data() + Entry.Sent;
    int M = 0;
    int Err = 0;
    FLastSendBytes = 0;
    if (Len > 0) {
        M = WinSockAccess().send(FHandle, Bytes, Len, MSG_NOSIGNAL);
        Err = M == SOCKET_ERROR ? LastError() : 0;
        IpSelectNoteCall(int(FHandle), scSend, M, Err == WSAEWOULDBLOCK);
        if (M > 0)
            FLastSendBytes = M;
    }
    FIdleCount = 0;
    if (M > 0 && FLogOptions.Contains(loLowData) && !Entry.Secret)
        LogData(IpLogSendApi, Bytes, M);
    if (M == Len) {
        Entry.Sent = Entry.Size;
        FStats.Add(ssRawSent, uint64_t(Entry.Size));
        if (!Entry.Internal) {
            FStats.Add(ssSent, uint64_t(Entry.PayloadSize));
            if (FLogOptions.Contains(loHighData) && !Entry.Sealed)
                LogData(IpLogWrite, Entry.Buffer.data(), std::min(Entry.PayloadSize, Entry.Size));
        }
        FActivity = true;
        if (Entry.Stream) {
            RefillFromStream(Entry);
            return false;
        }
        return true;
    }
    if (M == SOCKET_ERROR) {
        if (Err == WSAEWOULDBLOCK) {
            FWritable = false;
            return false;
        }
        throw EIpWinSockError(Err, sApiSend);
    }
    Entry.Sent += M;
    return false;
}

void TIpDataSocket::RefillFromStream(TIpSendEntry &Entry)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    const int32_t Chunk = FTelnet ? IpTelnetStreamChunk : IpStreamSendChunk;
    std::string &B = Entry.Buffer;
    B.resize(size_t(Chunk));
    // A stream gives fewer bytes than asked only at its end, so a short
    // chunk is the last one.
    int64_t K = 0;
    while (K < Chunk) {
        const int64_t R = Entry.Stream->Read(&B[size_t(K)], Chunk - K);
        if (R <= 0)
            break;
        K += R;
    }
    B.resize(size_t(K));
    if (FTelnet)
        B = EscapeIac(B.data(), int32_t(K));
    Entry.Size = int32_t(B.size());
    Entry.PayloadSize = int32_t(K);
    Entry.Sent = 0;
    if (K < Chunk) {
        if (auto *Source = dynamic_cast<TIpSendSource *>(Entry.Stream); Source && Source->SourceFailed())
            Entry.CloseAfter = false;
        Entry.Stream = nullptr;
    }
    if (FTls) {
        Entry.Seal = true;
        Entry.Sealed = false;
        if (FTls->State() == tlsReady)
            SealEntry(Entry);
    }
}

void TIpDataSocket::HandleWrite()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (FHandle != INVALID_SOCKET && SocketHeld())
        FWritable = true;
    int64_t Bytes = 0;
    for (int Calls = 0; Bytes < IpSendBytesPerNotification && Calls < IpSendsPerNotification; ++Calls) {
        FLastSendBytes = 0;
        if (!SendNext())
            return;
        Bytes += FLastSendBytes;
    }
    // Budget spent with the system still taking data: no write
    // notification comes by itself, so ask for one.
    if (FWritable && SocketHeld() && !FSendQueue.empty())
        IpSelectRequestWrite(int(FHandle));
}

bool TIpDataSocket::SendNext()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (FHandle == INVALID_SOCKET || FSendQueue.empty() || !FWritable)
        return false;
    TIpSendEntry *Head = FSendQueue.front().get();
    if (SendBlocked(*Head))
        return false;
    if (SendEntry(*Head)) {
        FOwner->DoSendComplete(FHandle, Head->Id, int32_t(FSendQueue.size()) - 1);
        // The completion handler may have closed the socket (which discards
        // the queue); only a head that is still there is finished here.
        if (FSendQueue.empty() || FSendQueue.front().get() != Head)
            return false;
        if (Head->CloseAfter && BeginTlsClose()) {
            FSendQueue.pop_front();
        } else if (Head->CloseAfter) {
            CloseAndRelease();
        } else {
            FSendQueue.pop_front();
        }
    }
    return true;
}

void TIpDataSocket::CloseAndRelease()
{
    // The release is asked for even when the close fails (a drain into a
    // stream that throws): a closed socket must not stay in the list.
    try {
        Close();
    } catch (...) {
        FOwner->PostMessage(CM_IPFREESOCKET, FHandle, 0, std::any(Serial()));
        throw;
    }
    FOwner->PostMessage(CM_IPFREESOCKET, FHandle, 0, std::any(Serial()));
}

void TIpDataSocket::FlushPartialLine()
{
    // A line head collected in line mode belongs before the bytes behind
    // it when the mode has turned to stream meanwhile.
    if (FPartialLine.empty() || !FReceiveStream)
        return;
    FReceiveStream->WriteBuffer(FPartialLine.data(), int64_t(FPartialLine.size()));
    FPartialLine.clear();
}

void TIpDataSocket::ClearSendQueue()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    while (!FSendQueue.empty())
        FSendQueue.pop_back();
}

void TIpDataSocket::ShutdownSend()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FConnected = false;
    FWritable = false;
    ClearSendQueue();
    if (SocketHeld())
        WinSockAccess().shutdown(FHandle, SD_SEND);
}

// ---------------------------------------------------------------------------
// Connection

void TIpDataSocket::Connect(const TSockAddrIn &Addr, const std::string &HostText)
{
    {
        TIpLockGuard<TIpBaseSocket> G(*this);
        FReadPos = 0;
        FWritePos = 0;
        FStats = TIpSockStatRec();
        FActivity = false;
    }
    TIpBaseSocket::Connect(Addr, HostText);
}

void TIpDataSocket::HandleClose()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    // A handshake cut off by the peer would otherwise look like an ordinary
    // end of the connection.
    uint8_t Peek = 0;
    if (FTls && FTlsStarted && FTls->State() == tlsHandshake && !Closed() && SocketHeld() &&
        ::recv(int(FHandle), &Peek, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
        FTlsSeen = tlsFailed;
        FOwner->DoError(FHandle, IpTlsErrorCode, "Connection closed during the TLS handshake");
    }
    if (FTlsClosing && !Closed())
        CloseAndRelease();
    else if (FConnected)
        Close();
}

void TIpDataSocket::Close()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (!BeginClose())
        return;
    try {
        SendCloseNotify();
        ShutdownSend();
        // Deliver what the peer sent before the close: what the system
        // holds at this moment, and no more, so that a peer that keeps
        // sending cannot keep the close going. Errors of the final reads
        // only end the draining.
        int Waiting = 0;
        if (!SocketHeld() || ::ioctl(int(FHandle), FIONREAD, &Waiting) != 0)
            Waiting = 0;
        for (int64_t Left = Waiting; Left > 0;) {
            uint32_t Got = 0;
            try {
                if (LargeStreamReceive())
                    Got = ReadPieceIntoStream(true, uint32_t(std::min<int64_t>(Left, IpStreamReceivePiece)));
                else
                    Got = ReadSocket(true, uint32_t(std::min<int64_t>(Left, IpReceiveBufferSize)));
            } catch (const EIpWinSockError &) {
                break;
            }
            // TLS may deliver plaintext it already held without a recv.
            if (FLastRecvBytes <= 0 && Got == 0)
                break;
            Left -= FLastRecvBytes;
            while (Deliver()) {
            }
        }
        while (FTls && ReadTls(true, IpReceiveBufferSize, false) > 0) {
            while (Deliver()) {
            }
        }
        // Whatever the engine still holds is all there is: a stream that
        // ends without close_notify must show as cut, not as complete.
        if (FTls && FTls->State() == tlsReady) {
            FTls->InputEnded();
            while (ReadTls(true, IpReceiveBufferSize, false) > 0) {
                while (Deliver()) {
                }
            }
        }
        if (FReceiveMode == rmStream)
            FlushPartialLine();
        ExtractLine(true);
    } catch (...) {
        FinishClose();
        throw;
    }
    FinishClose();
}

void TIpDataSocket::HandleTimer(uint32_t ElapsedMs)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (FActivity) {
        FActivity = false;
        FOwner->DoStatus(FHandle, skProgress, ConnRec());
    }
    if (FTlsClosing && !Closed()) {
        FTlsCloseWait += ElapsedMs;
        if (FTlsCloseWait >= IpTlsCloseWaitMs) {
            CloseAndRelease();
            return;
        }
    }
    AddIdleTime(ElapsedMs);
}

void TIpDataSocket::AddIdleTime(uint32_t Ms)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FIdleCount = (Ms > UINT32_MAX - FIdleCount) ? UINT32_MAX : FIdleCount + Ms;
    if (FIdleTimeout != 0 && FIdleCount > FIdleTimeout)
        IdleTimeoutExpired();
}

void TIpDataSocket::IdleTimeoutExpired()
{
    bool Reset = false;
    FOwner->DoIdleTimeout(FHandle, Reset);
    if (Reset)
        FIdleCount = 0;
}

void TIpDataSocket::ResetIdle()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FIdleCount = 0;
}

// ---------------------------------------------------------------------------
// Proxy negotiation and telnet

void TIpDataSocket::StartSocksRequest()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    const std::string Request = IpSocksFirstRequest(*FSocksInfo, FRemoteAddr);
    QueueData(Request.data(), int32_t(Request.size()), nullptr, false, true, true);
}

int32_t TIpDataSocket::SocksReply(uint8_t *Bytes, int32_t N)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    const TIpSocksStep Step = IpSocksReply(FSocksState, *FSocksInfo, FRemoteAddr, Bytes, N);
    if (Step.Consumed == 0)
        return N;
    // Whatever followed the reply in this read is the destination's data.
    N -= Step.Consumed;
    std::memmove(Bytes, Bytes + Step.Consumed, size_t(N));
    switch (Step.Action) {
    case saSend:
        // The user name and password request stays out of the traffic log.
        FSendSecret = FSocksState == IpSocksAuthSent;
        QueueData(Step.Request.data(), int32_t(Step.Request.size()), nullptr, false, true, true);
        FSendSecret = false;
        break;
    case saGranted:
        FRemoteAddr.sin_addr.s_addr = Step.Addr;
        FRemoteAddr.sin_port = Step.Port;
        HandleConnect();
        break;
    case saRefused:
        FOwner->DoError(FHandle, Step.Code, IpSocksRefusedText(Step.Code));
        break;
    default:
        break;
    }
    // The owner may have closed the socket from the events above; the bytes
    // that came with the reply then have no connection left to belong to.
    if (!FConnected || !SocketHeld())
        return 0;
    return N;
}

int32_t TIpDataSocket::TelnetFilter(uint8_t *Bytes, int32_t N)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    return IpTelnetFilter(
        FTelnetPending, Bytes, N, [this](uint8_t Command, uint8_t Option) { return HandleTelnetOption(Command, Option); },
        [this](const std::string &Text) { HandleTelnetSub(Text); });
}

void TIpDataSocket::LogTelnet(uintptr_t Direction, uint8_t Command, uint8_t Option)
{
    if (FOwner && FLogOptions.Contains(loTelnet))
        IpDebugLogAdd(FOwner->DebugLog(), nullptr, FHandle, IpLogTelnet, reinterpret_cast<const void *>(Direction),
                      IpTelnetLogLen(Command, Option));
}

void TIpDataSocket::HandleTelnetSub(const std::string &Text)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    const TIpTelnetSets Sets{FLocalWilling, FLocalEnabled, FRemoteWilling, FRemoteEnabled};
    // No terminal object exists in this program, so the type is always the default.
    const std::string Reply = IpTelnetSubReply(Sets, Text, FTelnet, IpTelnetDefaultTerminal);
    if (!Reply.empty())
        QueueData(Reply.data(), int32_t(Reply.size()), nullptr, false, true, true);
}

bool TIpDataSocket::HandleTelnetOption(uint8_t Command, uint8_t Option)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (Command < IpTelnetWILL || Command > IpTelnetDONT)
        return false;
    LogTelnet(IpTelnetReceived, Command, Option);
    const TIpTelnetAnswer Answer =
        IpTelnetAnswerOption({FLocalWilling, FLocalEnabled, FRemoteWilling, FRemoteEnabled}, Command, Option);
    // The window size would go out before the reply, but only a terminal
    // object knows it, and none is ever attached here.
    if (Answer.Reply) {
        const std::string Reply = IpTelnetCommand(Answer.ReplyCommand, Option);
        QueueData(Reply.data(), int32_t(Reply.size()), nullptr, false, true, true);
        LogTelnet(IpTelnetSent, Answer.ReplyCommand, Option);
    }
    return Answer.Handled;
}
