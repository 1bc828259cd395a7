#pragma once
// A small stream family with 64-bit sizes and positions: the abstract base,
// a file stream over a POSIX descriptor, a string stream and a null stream.

#include <cstdint>
#include <string>

#include "base/IpUtils.h"

enum TSeekOrigin : uint8_t { soBeginning, soCurrent, soEnd };

// Open modes of TFileStream. fmCreate creates the file or truncates it and
// opens it for reading and writing.
enum TFileMode : uint16_t { fmOpenRead = 0, fmOpenWrite = 1, fmOpenReadWrite = 2, fmCreate = 0xFF00 };

// Stream failures: open/create, short read or write, seek and size errors.
// The message names the file and carries the system's text where there is one.
class EIpStreamError : public EIpBaseException
{
public:
    explicit EIpStreamError(const std::string &Msg, int SysError = 0)
        : EIpBaseException(Msg), FSysError(SysError) {}
    int SysError() const { return FSysError; } // errno value, 0 when none
private:
    int FSysError;
};

// "Cannot open file "<name>". <system text>"
class EIpFOpenError : public EIpStreamError
{
public:
    using EIpStreamError::EIpStreamError;
};

// "Cannot create file "<name>". <system text>"
class EIpFCreateError : public EIpStreamError
{
public:
    using EIpStreamError::EIpStreamError;
};

class TStream : public TObject
{
public:
    ~TStream() override;

    // Read/Write move at most Count bytes and return how many moved (0 at the
    // end of the stream; never negative). Errors raise EIpStreamError.
    virtual int64_t Read(void *Buffer, int64_t Count) = 0;
    virtual int64_t Write(const void *Buffer, int64_t Count) = 0;
    // Returns the new position. A resulting negative position raises.
    virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;

    virtual int64_t Size();
    virtual void SetSize(int64_t NewSize);
    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t Pos) { Seek(Pos, soBeginning); }

    // Move exactly Count bytes or raise ("Stream read error" / "Stream write error").
    void ReadBuffer(void *Buffer, int64_t Count);
    void WriteBuffer(const void *Buffer, int64_t Count);
    // Copies Count bytes from Source's current position (the whole of
    // Source, from its start, when Count is 0). Returns the bytes copied.
    int64_t CopyFrom(TStream &Source, int64_t Count);
    // A descriptor into which, from its current position on, the kernel may
    // move a socket's bytes itself (splice) in place of Write; -1 when there
    // is none. When such a move fails on the file's side the caller goes on
    // with Write, which reports it.
    virtual int KernelFd() { return -1; }
};

class TFileStream : public TStream
{
public:
    // Perms applies only when the file is created.
    TFileStream(const std::string &FileName, uint16_t Mode, unsigned Perms = 0666);
    ~TFileStream() override;

    int64_t Read(void *Buffer, int64_t Count) override;
    int64_t Write(const void *Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override;
    void SetSize(int64_t NewSize) override;
    int KernelFd() override { return FHandle; }

    const std::string &FileName() const { return FFileName; }
    int Handle() const { return FHandle; }

private:
    std::string FFileName;
    int FHandle = -1;
};

class TStringStream : public TStream
{
public:
    explicit TStringStream(std::string Data = std::string());

    int64_t Read(void *Buffer, int64_t Count) override;
    int64_t Write(const void *Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }
    void SetSize(int64_t NewSize) override;

    const std::string &DataString() const { return FData; }
    // Reads up to Count bytes from the position as text.
    std::string ReadString(int64_t Count);
    void WriteString(const std::string &S) { WriteBuffer(S.data(), static_cast<int64_t>(S.size())); }

private:
    std::string FData;
    int64_t FPosition = 0;
};

// Discards what is written and counts it; reads give nothing. Its size is the
// number of bytes written so far, so a transfer into it reports sane progress.
class TNullStream : public TStream
{
public:
    int64_t Read(void *Buffer, int64_t Count) override;
    int64_t Write(const void *Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override { return FSize; }
    void SetSize(int64_t NewSize) override;

private:
    int64_t FSize = 0;
    int64_t FPosition = 0;
};
