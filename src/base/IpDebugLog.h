#pragma once
// The trace logs of a socket control: the common base, and the debug log,
// a ring of fixed-layout entries that is turned into text only when it is
// written to its file.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/IpComponent.h"
#include "base/IpUtils.h"

class TFileStream;

enum TIpWriteMode : uint8_t { wmOverwrite, wmAppend };

// Common base of the debug and event logs: switch, file name, owner, lock.
class TIpBaseLog : public TPersistent
{
public:
    explicit TIpBaseLog(TComponent *AOwner);
    ~TIpBaseLog() override;

    bool Enabled() const;
    virtual void SetEnabled(bool Value);
    std::string FileName() const;
    virtual void SetFileName(const std::string &Value);
    // The socket control that created the log.
    TComponent *Owner() const { return FOwner; }

    void Lock() const { FLock.lock(); }
    void Unlock() const { FLock.unlock(); }

protected:
    bool FEnabled = false;
    std::string FFileName;

private:
    mutable std::recursive_mutex FLock;
    TComponent *FOwner;
};

// Entry kinds of the log itself (no formatter). Bit 31 of a kind means a
// payload of Len bytes follows the entry's header.
inline constexpr uint32_t IpLogPayload = 0x80000000u;
inline constexpr uint32_t IpLogText = 0x80000000u;
inline constexpr uint32_t IpLogEnabled = 1;
inline constexpr uint32_t IpLogDisabled = 2;
inline constexpr uint32_t IpLogTelnet = 3;

class TIpDebugLog : public TIpBaseLog
{
public:
    // How an entry starts in the ring. Formatter and Data are as wide as a
    // pointer, so the header is larger than six 32-bit fields.
    struct TEntryHeader
    {
        TIpLogFormatter Formatter; // null for the log's own kinds
        uint32_t Tick;
        uint32_t Value;
        uint32_t Kind;
        int32_t Len;
        uintptr_t Data; // on reading back: address of the payload
    };
    static constexpr uint32_t HeaderSize = sizeof(TEntryHeader);
    static constexpr uint32_t DefaultBufferSize = 65536;

    explicit TIpDebugLog(TComponent *AOwner);
    ~TIpDebugLog() override;

    // Enabling allocates the ring and records "**** Logging Enabled";
    // disabling records "**** Logging Disabled" first. The ring keeps its
    // entries either way.
    void SetEnabled(bool Value) override;

    uint32_t BufferSize() const;
    // A new size reallocates and empties the ring; the same size does nothing.
    void SetBufferSize(uint32_t Value);
    TIpWriteMode WriteMode() const;
    void SetWriteMode(TIpWriteMode Value);

    // Stores one entry (only while enabled). With bit 31 of Kind set, Len
    // bytes at Data are copied as its payload. The oldest entries make room;
    // an entry that cannot fit even in an empty ring is dropped.
    void AddEntry(TIpLogFormatter Formatter, uint32_t Value, uint32_t Kind, uintptr_t Data, int32_t Len);
    void AddText(const std::string &Text);
    bool IsEmpty() const;

    // Writes every entry, oldest first, to FileName and empties the ring.
    // Overwrite mode replaces the file; append mode adds to an existing one.
    // An empty file first gets the header. When the file cannot be opened or
    // written the stream error leaves here and the entries stay in the ring.
    void WriteToFile();

    // "%07d" of the milliseconds since the log was made, with a point after
    // the fourth character: "0001.234 : ".
    std::string FormatTimeStamp(uint32_t Tick) const;
    uint32_t StartTick() const { return FStartTick; }
    // The text that begins a new file.
    static std::string BuildHeader();
    // "[412] Telnet WILL echo received."
    static std::string FormatTelnetEntry(uint32_t Value, uintptr_t Data, int32_t Len);

    // Ring state, for the tests of the ring arithmetic.
    uint32_t Head() const { return FHead; }
    uint32_t Tail() const { return FTail; }
    std::size_t TempSize() const { return FTemp.size(); }

private:
    void Clear();
    uint32_t FreeSpace() const;
    bool PopEntry(TEntryHeader &Header);
    void EnsureTempSize(std::size_t N);
    std::string EntryText(const TEntryHeader &Header);

    uint32_t FBufferSize = DefaultBufferSize;
    TIpWriteMode FWriteMode = wmOverwrite;
    std::unique_ptr<uint8_t[]> FBuffer;
    uint32_t FHead = 0;
    uint32_t FTail = 0;
    std::vector<uint8_t> FTemp;
    uint32_t FStartTick;
};

// Sixteen bytes a line: offset, two groups of eight hexadecimal pairs and the
// printable characters; every line is 79 bytes with its CR LF.
std::string HexDump(const void *Data, int32_t Len);

// Opens a log file positioned at its end: an existing file when Append is
// set, otherwise a new (or emptied) one. A file another program is writing
// at the same moment is refused. Failures raise the stream errors.
std::unique_ptr<TFileStream> IpOpenLogFile(const std::string &Name, bool Append);

// The operating system's name and version ("Linux 6.1.0-18-amd64 #1 SMP ...").
std::string OSVersionText();
