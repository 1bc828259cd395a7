// Ending a data socket's connection: the orderly close that drains what the
// peer already sent, the peer's close, the idle timer, and the abortive
// reset that tells the peer its stream was cut.

#include "socket/IpDataSocket.h"

#include "socket/IpSockControl.h"

#include <algorithm>
#include <sys/ioctl.h>
#include <sys/socket.h>

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
        // What this read notification gathered came before what the close drains.
        FGathering = false;
        FlushGathered();
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

void TIpDataSocket::Abort()
{
    TIpLockGuard<TIpBaseSocket> G(*this);
    if (!BeginClose())
        return;
    FConnected = false;
    FWritable = false;
    FTlsClosing = false;
    ClearSendQueue();
    if (SocketHeld()) {
        // With a zero linger time the close sends a reset instead of a FIN.
        linger Off{1, 0};
        WinSockAccess().setsockopt(FHandle, SOL_SOCKET, SO_LINGER, &Off, sizeof(Off));
    }
    FinishClose();
}
