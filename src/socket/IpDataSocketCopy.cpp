// The data socket's kernel copies: where nothing needs to see the bytes, the
// kernel moves them between the socket and a file itself (splice for a
// receive into a file, sendfile for a file that is sent), which spares a
// copy through memory and half the system calls of a transfer.
#include "socket/IpDataSocket.h"

#include "base/IpDebugLog.h"
#include "platform/IpAsyncSelect.h"
#include "socket/IpSockControl.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

int TIpDataSocket::KernelCopyFd(TStream *Stream) const
{
    if (!Stream || !BytesPassUnchanged())
        return -1;
    const TIpDebugLog *Log = FOwner ? FOwner->DebugLog() : nullptr;
    if (Log && Log->Enabled() && (FLogOptions.Contains(loLowData) || FLogOptions.Contains(loHighData)))
        return -1;
    return Stream->KernelFd();
}

uint32_t TIpDataSocket::SplicePieceIntoFile(bool Final, uint32_t MaxBytes, int FileFd)
{
    FLastRecvBytes = 0;
    if (FHandle == INVALID_SOCKET || !SocketHeld())
        return 0;
    if (!Final && !FConnected)
        return 0;
    if (FPipe[0] < 0) {
        if (::pipe2(FPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            FSpliceBroken = true;
            return 0;  // the next read notification takes the copying way
        }
        ::fcntl(FPipe[1], F_SETPIPE_SZ, int(IpStreamReceivePiece));
    }
    const ssize_t Got = ::splice(int(FHandle), nullptr, FPipe[1], nullptr, std::min(MaxBytes, IpStreamReceivePiece),
                                 SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    const int Err = Got < 0 ? errno : 0;
    IpSelectNoteCall(int(FHandle), scRecv, long(Got), Err == EAGAIN || Err == EWOULDBLOCK);
    if (Got < 0) {
        if (Err == EINVAL || Err == ENOSYS) {
            FSpliceBroken = true;
            return 0;
        }
        const int Code = WinSockErrorFromErrno(Err);
        if (Code == WSAEWOULDBLOCK || Code == WSAENOTCONN || Final)
            return 0;
        throw EIpWinSockError(Code, sApiRecv);
    }
    if (Got == 0)
        return 0;
    FLastRecvBytes = int32_t(Got);
    FStats.Add(ssRawReceived, uint64_t(Got));
    FStats.Add(ssReceived, uint64_t(Got));
    FActivity = true;
    // Into the file at its position, as the stream would write. When the
    // file takes no more (a full disk, a file system without splice), the
    // rest goes through the stream's own Write, which reports the error as
    // the stream's owner wants it, and this socket copies from then on.
    for (size_t Left = size_t(Got); Left > 0;) {
        const ssize_t W = FSpliceBroken ? -1 : ::splice(FPipe[0], nullptr, FileFd, nullptr, Left, SPLICE_F_MOVE);
        if (W > 0) {
            Left -= size_t(W);
            continue;
        }
        if (W < 0 && errno == EINTR && !FSpliceBroken)
            continue;
        FSpliceBroken = true;
        if (!FLargeBuffer)
            FLargeBuffer = std::make_unique_for_overwrite<uint8_t[]>(IpStreamReceivePiece);
        const ssize_t R = ::read(FPipe[0], FLargeBuffer.get(), std::min<size_t>(Left, IpStreamReceivePiece));
        if (R <= 0)
            throw EIpStreamError(std::string(sWriteError) + ": lost in the kernel's pipe", EIO);
        FReceiveStream->WriteBuffer(FLargeBuffer.get(), int64_t(R));
        Left -= size_t(R);
    }
    return uint32_t(Got);
}

bool TIpDataSocket::SendFromFile(TIpSendEntry &Entry)
{
    // From the file's position on, which sendfile advances like a read.
    const ssize_t M = ::sendfile(int(FHandle), Entry.FileFd, nullptr, size_t(IpSendBytesPerNotification));
    const int Err = M < 0 ? errno : 0;
    const bool WouldBlock = Err == EAGAIN || Err == EWOULDBLOCK;
    IpSelectNoteCall(int(FHandle), scSend, long(M), WouldBlock);
    FLastSendBytes = 0;
    FIdleCount = 0;
    if (M > 0) {
        FLastSendBytes = int32_t(M);
        FStats.Add(ssRawSent, uint64_t(M));
        if (!Entry.Internal)
            FStats.Add(ssSent, uint64_t(M));
        FActivity = true;
        return false;
    }
    if (M == 0) {
        Entry.Stream = nullptr;
        return true;
    }
    if (WouldBlock) {
        FWritable = false;
        return false;
    }
    switch (Err) {
    case EIO:
    case EINVAL:
    case ENOSYS:
    case EOVERFLOW:
    case ESPIPE:
    case EBADF:
    case ENXIO:
        // The file's side failed (or takes no sendfile): the rest goes
        // through the stream's own Read, which reports a real error as the
        // stream's owner wants it.
        Entry.FileFd = -1;
        RefillFromStream(Entry);
        return false;
    default:
        throw EIpWinSockError(WinSockErrorFromErrno(Err), sApiSend);
    }
}
