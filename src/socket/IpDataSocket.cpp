// The data socket: construction, settings, the connect, the proxy
// negotiation and the telnet options. Receiving is in IpDataSocketRead.cpp,
// sending in IpDataSocketWrite.cpp, closing and resetting in
// IpDataSocketClose.cpp, the kernel copy in IpDataSocketCopy.cpp and the TLS
// filter in IpDataSocketTls.cpp.

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
    FlushGathered();
    FReceiveMode = Value;
}

void TIpDataSocket::SetReceiveStream(TStream *Value)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    FlushGathered();
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

// ---------------------------------------------------------------------------
// Proxy negotiation and telnet

void TIpDataSocket::StartSocksRequest()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    const std::string Request = IpSocksFirstRequest(*FSocksInfo, FRemoteAddr, FDestName);
    QueueData(Request.data(), int32_t(Request.size()), nullptr, false, true, true);
}

int32_t TIpDataSocket::SocksReply(uint8_t *Bytes, int32_t N)
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    const TIpSocksStep Step = IpSocksReply(FSocksState, *FSocksInfo, FRemoteAddr, Bytes, N, FDestName);
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
        if (!Step.KeepDest)
            FRemoteAddr = IpAddrFromV4(Step.Addr, ::ntohs(Step.Port));
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
