// The data socket's receiving side: reads from the system (through the
// proxy's and the telnet protocol's filters and TLS), in large pieces into a
// stream where nothing needs to see the bytes, and delivery as lines, raw
// blocks or into the receive stream.

#include "socket/IpDataSocket.h"

#include "base/IpDebugLog.h"
#include "platform/IpAsyncSelect.h"
#include "socket/IpSockControl.h"
#include "socket/IpSockLogs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <utility>

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
    FGathering = FTls && FReceiveMode == rmStream && FReceiveStream;
    try {
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
    } catch (...) {
        FGathering = false;
        FGathered = 0;
        throw;
    }
    FGathering = false;
    FlushGathered();
}

void TIpDataSocket::FlushGathered()
{
    if (FGathered == 0)
        return;
    const uint32_t N = std::exchange(FGathered, 0);
    if (FReceiveStream)
        FReceiveStream->WriteBuffer(FLargeBuffer.get(), int64_t(N));
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
        if (const uint32_t N = FWritePos - FReadPos; FGathering && FPartialLine.empty()) {
            if (!FLargeBuffer)
                FLargeBuffer = std::make_unique_for_overwrite<uint8_t[]>(IpStreamReceivePiece);
            if (FGathered + N > IpStreamReceivePiece)
                FlushGathered();
            std::memcpy(FLargeBuffer.get() + FGathered, FBuffer + FReadPos, N);
            FGathered += N;
        } else {
            FlushGathered();
            FReceiveStream->WriteBuffer(FBuffer + FReadPos, int64_t(N));
        }
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

void TIpDataSocket::FlushPartialLine()
{
    // A line head collected in line mode belongs before the bytes behind
    // it when the mode has turned to stream meanwhile.
    if (FPartialLine.empty() || !FReceiveStream)
        return;
    FReceiveStream->WriteBuffer(FPartialLine.data(), int64_t(FPartialLine.size()));
    FPartialLine.clear();
}
