// The data socket's kernel copy: where nothing needs to see the bytes of a
// receive into a file, the kernel moves them from the socket into the file
// itself (splice through a pipe), which spares a copy through memory and
// half the system calls of a download.
//
// Uploads have no such counterpart on purpose. sendfile hands the peer's
// receive path pages that no processor has touched, so when the server runs
// on the same machine its copy out of the socket reads them from memory
// instead of the cache, and the server is the slower side of a bulk upload:
// 1 GiB uploads to vsftpd took about a fifth longer with sendfile than with
// reads and sends of 64 KiB.

#include "socket/IpDataSocket.h"

#include "base/IpDebugLog.h"
#include "platform/IpAsyncSelect.h"
#include "socket/IpSockControl.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
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
