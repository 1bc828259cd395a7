#include "base/IpStreams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/IpConst.h"

namespace {

std::string SysText(int Err)
{
    char Buf[256];
    // GNU strerror_r returns the text (possibly not in Buf).
    const char *T = strerror_r(Err, Buf, sizeof(Buf));
    return T ? std::string(T) : std::string();
}

} // namespace

// ---------------------------------------------------------------------------

TStream::~TStream() = default;

int64_t TStream::Size()
{
    const int64_t Pos = Seek(0, soCurrent);
    const int64_t Result = Seek(0, soEnd);
    Seek(Pos, soBeginning);
    return Result;
}

void TStream::SetSize(int64_t)
{
    throw EIpStreamError("Stream size cannot be changed");
}

void TStream::ReadBuffer(void *Buffer, int64_t Count)
{
    auto *P = static_cast<char *>(Buffer);
    while (Count > 0) {
        const int64_t N = Read(P, Count);
        if (N <= 0)
            throw EIpStreamError(sReadError);
        P += N;
        Count -= N;
    }
}

void TStream::WriteBuffer(const void *Buffer, int64_t Count)
{
    const auto *P = static_cast<const char *>(Buffer);
    while (Count > 0) {
        const int64_t N = Write(P, Count);
        if (N <= 0)
            throw EIpStreamError(sWriteError);
        P += N;
        Count -= N;
    }
}

int64_t TStream::CopyFrom(TStream &Source, int64_t Count)
{
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    std::vector<char> Buf(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(Count, 1), 65536)));
    int64_t Done = 0;
    while (Done < Count) {
        const int64_t N = std::min<int64_t>(Count - Done, static_cast<int64_t>(Buf.size()));
        Source.ReadBuffer(Buf.data(), N);
        WriteBuffer(Buf.data(), N);
        Done += N;
    }
    return Done;
}

// ---------------------------------------------------------------------------

TFileStream::TFileStream(const std::string &FileName, uint16_t Mode, unsigned Perms)
    : FFileName(FileName)
{
    // A name with an embedded NUL would silently open a different file.
    if (FileName.find('\0') != std::string::npos) {
        const std::string Why = SysText(EINVAL);
        if (Mode == fmCreate)
            throw EIpFCreateError(Format(sFCreateErrorFmt, FileName.c_str(), Why.c_str()), EINVAL);
        throw EIpFOpenError(Format(sFOpenErrorFmt, FileName.c_str(), Why.c_str()), EINVAL);
    }
    int Flags = O_CLOEXEC;
    if (Mode == fmCreate)
        Flags |= O_RDWR | O_CREAT | O_TRUNC;
    else {
        switch (Mode & 3) {
        case fmOpenWrite: Flags |= O_WRONLY; break;
        case fmOpenReadWrite: Flags |= O_RDWR; break;
        default: Flags |= O_RDONLY; break;
        }
    }
    do
        FHandle = ::open(FileName.c_str(), Flags, static_cast<mode_t>(Perms));
    while (FHandle < 0 && errno == EINTR);
    if (FHandle < 0) {
        const int Err = errno;
        const std::string Why = SysText(Err);
        if (Mode == fmCreate)
            throw EIpFCreateError(Format(sFCreateErrorFmt, FileName.c_str(), Why.c_str()), Err);
        throw EIpFOpenError(Format(sFOpenErrorFmt, FileName.c_str(), Why.c_str()), Err);
    }
    // Opening a directory read-only succeeds on Linux; reading it would fail
    // later with a less helpful message.
    struct stat St {};
    if (::fstat(FHandle, &St) == 0 && S_ISDIR(St.st_mode)) {
        ::close(FHandle);
        FHandle = -1;
        const std::string Why = SysText(EISDIR);
        if (Mode == fmCreate)
            throw EIpFCreateError(Format(sFCreateErrorFmt, FileName.c_str(), Why.c_str()), EISDIR);
        throw EIpFOpenError(Format(sFOpenErrorFmt, FileName.c_str(), Why.c_str()), EISDIR);
    }
}

TFileStream::~TFileStream()
{
    if (FHandle >= 0)
        ::close(FHandle);
}

int64_t TFileStream::Read(void *Buffer, int64_t Count)
{
    if (Count <= 0)
        return 0;
    for (;;) {
        const ssize_t N = ::read(FHandle, Buffer, static_cast<size_t>(std::min<int64_t>(Count, 1 << 30)));
        if (N >= 0)
            return N;
        if (errno != EINTR) {
            const int Err = errno;
            throw EIpStreamError(std::string(sReadError) + ": " + FFileName + ": " + SysText(Err), Err);
        }
    }
}

int64_t TFileStream::Write(const void *Buffer, int64_t Count)
{
    if (Count <= 0)
        return 0;
    for (;;) {
        const ssize_t N = ::write(FHandle, Buffer, static_cast<size_t>(std::min<int64_t>(Count, 1 << 30)));
        if (N >= 0)
            return N;
        if (errno != EINTR) {
            const int Err = errno;
            throw EIpStreamError(std::string(sWriteError) + ": " + FFileName + ": " + SysText(Err), Err);
        }
    }
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin)
{
    const int Whence = Origin == soBeginning ? SEEK_SET : (Origin == soCurrent ? SEEK_CUR : SEEK_END);
    const off_t R = ::lseek(FHandle, static_cast<off_t>(Offset), Whence);
    if (R < 0) {
        const int Err = errno;
        throw EIpStreamError(Format(sSeekErrorFmt, FFileName.c_str(), SysText(Err).c_str()), Err);
    }
    return static_cast<int64_t>(R);
}

int64_t TFileStream::Size()
{
    struct stat St {};
    if (::fstat(FHandle, &St) != 0) {
        const int Err = errno;
        throw EIpStreamError(Format(sSeekErrorFmt, FFileName.c_str(), SysText(Err).c_str()), Err);
    }
    return static_cast<int64_t>(St.st_size);
}

void TFileStream::SetSize(int64_t NewSize)
{
    if (NewSize < 0 || ::ftruncate(FHandle, static_cast<off_t>(NewSize)) != 0) {
        const int Err = NewSize < 0 ? EINVAL : errno;
        throw EIpStreamError(Format(sSeekErrorFmt, FFileName.c_str(), SysText(Err).c_str()), Err);
    }
    if (Position() > NewSize)
        Seek(NewSize, soBeginning);
}

// ---------------------------------------------------------------------------

TStringStream::TStringStream(std::string Data) : FData(std::move(Data)) {}

int64_t TStringStream::Read(void *Buffer, int64_t Count)
{
    const int64_t Avail = Size() - FPosition;
    const int64_t N = std::min(Count, Avail);
    if (N <= 0)
        return 0;
    std::memcpy(Buffer, FData.data() + FPosition, static_cast<size_t>(N));
    FPosition += N;
    return N;
}

int64_t TStringStream::Write(const void *Buffer, int64_t Count)
{
    if (Count <= 0)
        return 0;
    const int64_t End = FPosition + Count;
    if (End > Size())
        FData.resize(static_cast<size_t>(End));
    std::memcpy(FData.data() + FPosition, Buffer, static_cast<size_t>(Count));
    FPosition = End;
    return Count;
}

int64_t TStringStream::Seek(int64_t Offset, TSeekOrigin Origin)
{
    const int64_t Base = Origin == soBeginning ? 0 : (Origin == soCurrent ? FPosition : Size());
    const int64_t NewPos = Base + Offset;
    if (NewPos < 0)
        throw EIpStreamError("Invalid stream position");
    // Beyond the end is allowed; a later write fills the gap with zeros.
    FPosition = NewPos;
    return FPosition;
}

void TStringStream::SetSize(int64_t NewSize)
{
    if (NewSize < 0)
        throw EIpStreamError("Invalid stream size");
    FData.resize(static_cast<size_t>(NewSize));
    FPosition = std::min(FPosition, NewSize);
}

std::string TStringStream::ReadString(int64_t Count)
{
    const int64_t N = std::max<int64_t>(0, std::min(Count, Size() - FPosition));
    std::string Result = FData.substr(static_cast<size_t>(std::min(FPosition, Size())), static_cast<size_t>(N));
    FPosition += N;
    return Result;
}

// ---------------------------------------------------------------------------

int64_t TNullStream::Read(void *, int64_t)
{
    return 0;
}

int64_t TNullStream::Write(const void *, int64_t Count)
{
    if (Count <= 0)
        return 0;
    FPosition += Count;
    FSize = std::max(FSize, FPosition);
    return Count;
}

int64_t TNullStream::Seek(int64_t Offset, TSeekOrigin Origin)
{
    const int64_t Base = Origin == soBeginning ? 0 : (Origin == soCurrent ? FPosition : FSize);
    if (Base + Offset < 0)
        throw EIpStreamError("Invalid stream position");
    FPosition = Base + Offset;
    return FPosition;
}

void TNullStream::SetSize(int64_t NewSize)
{
    if (NewSize < 0)
        throw EIpStreamError("Invalid stream size");
    FSize = NewSize;
    FPosition = std::min(FPosition, FSize);
}
