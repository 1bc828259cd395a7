// Ending a data socket's connection: the orderly close that drains what the
// peer already sent, the peer's close, the idle timer, and the abortive
// reset that tells the peer its stream was cut.

#include "socket/IpDataSocket.h"

#include "socket/IpSockControl.h"

#include <sys/socket.h>

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
