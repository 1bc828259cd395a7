// The data socket's sending side: the FIFO queue of byte and stream
// entries that survives partial sends and would-block, telnet escaping,
// the bound on bytes left unsent in the kernel, and the send budget of one
// write notification.

#include "socket/IpDataSocket.h"

#include "platform/IpAsyncSelect.h"
#include "socket/IpSockControl.h"
#include "socket/IpSockLogs.h"

#include <algorithm>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>

// ---------------------------------------------------------------------------
// Sending

uint64_t TIpDataSocket::AcknowledgedBytes()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    int Queued = 0;
    if (!SocketHeld() || ::ioctl(int(FHandle), SIOCOUTQ, &Queued) != 0 || Queued < 0)
        Queued = 0;
    const uint64_t Sent = FStats.Sent();
    return Sent - std::min<uint64_t>(Sent, uint64_t(Queued));
}

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
