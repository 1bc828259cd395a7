#include "base/IpDebugLog.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/IpStreams.h"
#include "base/IpWinSock.h"
#include "platform/IpPlatform.h"

// ---------------------------------------------------------------------------
// TIpBaseLog

TIpBaseLog::TIpBaseLog(TComponent *AOwner) : FOwner(AOwner) {}

TIpBaseLog::~TIpBaseLog() = default;

bool TIpBaseLog::Enabled() const
{
    std::lock_guard Guard(FLock);
    return FEnabled;
}

void TIpBaseLog::SetEnabled(bool Value)
{
    std::lock_guard Guard(FLock);
    FEnabled = Value;
}

std::string TIpBaseLog::FileName() const
{
    std::lock_guard Guard(FLock);
    return FFileName;
}

void TIpBaseLog::SetFileName(const std::string &Value)
{
    std::lock_guard Guard(FLock);
    FFileName = Value;
}

// ---------------------------------------------------------------------------
// Helpers

namespace {

constexpr std::size_t InitialTempSize = 1024;

const char *const TelnetOptions[] = {
    "transmit binary", "echo", "reconnect", "suppress go-ahead", "approx msg size", "status", "timing mark",
    "remote trans & echo", "output line width", "output page size", "output C/R disp", "output horz tabs",
    "output horz tab disp", "output FF disp", "output vert tabs", "output vert tab disp", "output linefeed disp",
    "extended ASCII", "logout", "byte macro", "data entry terminal subcommands", "SUPDUP", "SUPDUP output",
    "send location", "terminal type", "end of record", "TACACS user ID", "output marking", "terminal loc num",
    "Telnet3270 Regime", "X.3-Pad operations", "negotiate about window size", "terminal speed",
    "toggle flow control", "line mode", "X display location", "environment variables", "authentication",
    "encryption option", "new environment variables", "TN3270E", "XAUTH", "character set",
    "telnet remote serial port (RSP)", "com port control option", "telnet suppress local echo",
    "telnet start TLS", "KERMIT", "SEND-URL", "FORWARD_X"};
static_assert(sizeof(TelnetOptions) / sizeof(TelnetOptions[0]) == 50);

const char *CompilerText()
{
#if defined(__clang__)
    return "Clang " __clang_version__;
#elif defined(__GNUC__)
    return "GCC " __VERSION__;
#else
    return "Unknown Compiler";
#endif
}

} // namespace

std::string HexDump(const void *Data, int32_t Len)
{
    static const char Hex[] = "0123456789ABCDEF";
    static const char Template[] =
        "  000000: 00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00 : 0000000000000000\r\n";
    constexpr std::size_t LineSize = sizeof(Template) - 1;
    static_assert(LineSize == 79);
    std::string Text;
    if (Len <= 0 || !Data)
        return Text;
    const auto *Bytes = static_cast<const uint8_t *>(Data);
    const std::size_t Count = static_cast<std::size_t>(Len);
    Text.reserve((Count + 15) / 16 * LineSize);
    for (std::size_t Row = 0; Row * 16 < Count; ++Row) {
        char Line[LineSize];
        std::memcpy(Line, Template, LineSize);
        const std::size_t Offset = Row * 16;
        for (int D = 0; D < 6; ++D)
            Line[2 + D] = Hex[(Offset >> (4 * (5 - D))) & 15];
        for (std::size_t J = 0; J < 16; ++J) {
            const std::size_t HexAt = 10 + 3 * J + (J >= 8 ? 1 : 0);
            const std::size_t CharAt = 61 + J;
            if (Offset + J < Count) {
                const uint8_t B = Bytes[Offset + J];
                Line[HexAt] = Hex[B >> 4];
                Line[HexAt + 1] = Hex[B & 15];
                Line[CharAt] = (B >= 0x20 && B <= 0x7E) ? static_cast<char>(B) : '.';
            } else {
                Line[HexAt] = ' ';
                Line[HexAt + 1] = ' ';
                Line[CharAt] = ' ';
            }
        }
        Text.append(Line, LineSize);
    }
    return Text;
}

// Opens the log file for writing at its end: an existing file in append mode,
// otherwise a new (or emptied) one. Another process writing the same file at
// the same moment is refused, as the file is opened for exclusive writing.
std::unique_ptr<TFileStream> IpOpenLogFile(const std::string &Name, bool Append)
{
    struct stat St {};
    const bool Exists = ::stat(Name.c_str(), &St) == 0;
    // Opened without emptying it: a file that another writer holds must be
    // left as it is, so the overwrite happens only once the lock is ours.
    auto File = std::make_unique<TFileStream>(Name, Exists ? uint16_t(fmOpenReadWrite) : uint16_t(fmCreate));
    if (::flock(File->Handle(), LOCK_EX | LOCK_NB) != 0) {
        const int Err = errno;
        throw EIpFOpenError(Format("Cannot open file \"%s\". %s", Name.c_str(),
                                   Err == EWOULDBLOCK ? "Another program is writing it" : std::strerror(Err)),
                            Err);
    }
    if (!Append && Exists)
        File->SetSize(0);
    File->Seek(0, soEnd);
    return File;
}

std::string OSVersionText()
{
    utsname Name {};
    if (::uname(&Name) != 0)
        return "Unknown";
    return std::string(Name.sysname) + " " + Name.release + " " + Name.version;
}

// ---------------------------------------------------------------------------
// TIpDebugLog

TIpDebugLog::TIpDebugLog(TComponent *AOwner) : TIpBaseLog(AOwner), FStartTick(IpGetTickCount())
{
    FFileName = "debug.log";
}

TIpDebugLog::~TIpDebugLog() = default;

void TIpDebugLog::SetEnabled(bool Value)
{
    TIpLockGuard Guard(*this);
    if (Value) {
        if (!FBuffer)
            FBuffer = std::make_unique<uint8_t[]>(FBufferSize);
        if (FTemp.empty())
            FTemp.resize(InitialTempSize);
        FEnabled = true;
        AddEntry(nullptr, 0, IpLogEnabled, 0, 0);
    } else if (FEnabled) {
        AddEntry(nullptr, 0, IpLogDisabled, 0, 0);
        FEnabled = false;
    }
}

uint32_t TIpDebugLog::BufferSize() const
{
    TIpLockGuard Guard(*this);
    return FBufferSize;
}

void TIpDebugLog::SetBufferSize(uint32_t Value)
{
    TIpLockGuard Guard(*this);
    if (Value == FBufferSize)
        return;
    FBuffer.reset();
    FBufferSize = Value;
    FBuffer = std::make_unique<uint8_t[]>(Value);
    Clear();
}

TIpWriteMode TIpDebugLog::WriteMode() const
{
    TIpLockGuard Guard(*this);
    return FWriteMode;
}

void TIpDebugLog::SetWriteMode(TIpWriteMode Value)
{
    TIpLockGuard Guard(*this);
    FWriteMode = Value;
}

void TIpDebugLog::Clear()
{
    FHead = 0;
    FTail = 0;
}

bool TIpDebugLog::IsEmpty() const
{
    TIpLockGuard Guard(*this);
    return FHead == FTail;
}

uint32_t TIpDebugLog::FreeSpace() const
{
    // One byte always stays free, so a full ring never looks empty.
    if (FTail < FHead)
        return FHead - FTail - 1;
    return FBufferSize + FHead - FTail - 1;
}

void TIpDebugLog::EnsureTempSize(std::size_t N)
{
    if (FTemp.size() < N)
        FTemp.resize(N);
}

void TIpDebugLog::AddEntry(TIpLogFormatter Formatter, uint32_t Value, uint32_t Kind, uintptr_t Data, int32_t Len)
{
    TIpLockGuard Guard(*this);
    if (!Enabled() || !FBuffer)
        return;
    const bool Payload = (Kind & IpLogPayload) != 0;
    // A payload of negative length or at no address is a producer's mistake;
    // copying it would read wild memory.
    if (Payload && (Len < 0 || (Len > 0 && Data == 0)))
        return;
    const uint64_t Size = uint64_t(HeaderSize) + (Payload ? uint64_t(Len) : 0);
    // A traffic entry is kept to an eighth of the ring, with a note of its
    // full size: a 64 KiB upload chunk would not fit the default 64 KiB ring
    // at all, and would push everything else out if it were split.
    const int64_t Limit = int64_t(FBufferSize / 8) - int64_t(HeaderSize);
    if (Payload && Kind != IpLogText && Limit > 0 && Len > Limit) {
        AddEntry(Formatter, Value, Kind, Data, int32_t(Limit));
        const std::string Note = Format("  (%d bytes in all; the first %lld shown)", Len, static_cast<long long>(Limit));
        AddEntry(nullptr, uint32_t(-1), IpLogText, reinterpret_cast<uintptr_t>(Note.data()), int32_t(Note.size()));
        return;
    }
    // An entry as large as the ring could only be stored over the one byte
    // that must stay free, making the ring look empty: drop it too.
    if (Size >= FBufferSize)
        return;
    const TEntryHeader Header{Formatter, IpGetTickCount(), Value, Kind, Len, Data};
    TEntryHeader Oldest;
    while (FreeSpace() < Size && FHead != FTail)
        PopEntry(Oldest);

    const uint32_t N = static_cast<uint32_t>(Size);
    if (uint64_t(FTail) + N <= FBufferSize) {
        std::memcpy(FBuffer.get() + FTail, &Header, HeaderSize);
        if (Payload && Len > 0)
            std::memcpy(FBuffer.get() + FTail + HeaderSize, reinterpret_cast<const void *>(Data), std::size_t(Len));
        FTail += N;
        if (FTail == FBufferSize)
            FTail = 0;
        return;
    }
    // The entry crosses the end of the ring: assemble it, then copy it in two
    // pieces.
    EnsureTempSize(N);
    std::memcpy(FTemp.data(), &Header, HeaderSize);
    if (Payload && Len > 0)
        std::memcpy(FTemp.data() + HeaderSize, reinterpret_cast<const void *>(Data), std::size_t(Len));
    const uint32_t First = FBufferSize - FTail;
    std::memcpy(FBuffer.get() + FTail, FTemp.data(), First);
    std::memcpy(FBuffer.get(), FTemp.data() + First, N - First);
    FTail = N - First;
}

void TIpDebugLog::AddText(const std::string &Text)
{
    AddEntry(nullptr, uint32_t(-1), IpLogText, reinterpret_cast<uintptr_t>(Text.data()),
             static_cast<int32_t>(std::min<std::size_t>(Text.size(), INT32_MAX)));
}

bool TIpDebugLog::PopEntry(TEntryHeader &Header)
{
    if (FHead == FTail)
        return false;
    const uint32_t HeaderRoom = FBufferSize - FHead;
    if (HeaderRoom < HeaderSize) {
        auto *Out = reinterpret_cast<uint8_t *>(&Header);
        std::memcpy(Out, FBuffer.get() + FHead, HeaderRoom);
        std::memcpy(Out + HeaderRoom, FBuffer.get(), HeaderSize - HeaderRoom);
        FHead = HeaderSize - HeaderRoom;
    } else {
        std::memcpy(&Header, FBuffer.get() + FHead, HeaderSize);
        FHead += HeaderSize;
        if (FHead == FBufferSize)
            FHead = 0;
    }
    if ((Header.Kind & IpLogPayload) == 0)
        return true;
    const uint32_t Len = static_cast<uint32_t>(Header.Len);
    if (uint64_t(FHead) + Len <= FBufferSize) {
        Header.Data = reinterpret_cast<uintptr_t>(FBuffer.get() + FHead);
        FHead += Len;
        if (FHead == FBufferSize)
            FHead = 0;
    } else {
        EnsureTempSize(Len);
        const uint32_t First = FBufferSize - FHead;
        std::memcpy(FTemp.data(), FBuffer.get() + FHead, First);
        std::memcpy(FTemp.data() + First, FBuffer.get(), Len - First);
        Header.Data = reinterpret_cast<uintptr_t>(FTemp.data());
        FHead = Len - First;
    }
    return true;
}

std::string TIpDebugLog::FormatTimeStamp(uint32_t Tick) const
{
    const int32_t Elapsed = static_cast<int32_t>(Tick - FStartTick);
    std::string Text = Format("%.7d : ", Elapsed);
    Text.insert(4, 1, '.');
    return Text;
}

std::string TIpDebugLog::FormatTelnetEntry(uint32_t Value, uintptr_t Data, int32_t Len)
{
    const unsigned CommandCode = (static_cast<uint32_t>(Len) >> 8) & 0xFF;
    const unsigned OptionCode = static_cast<uint32_t>(Len) & 0xFF;
    std::string Command;
    switch (CommandCode) {
    case 251: Command = "WILL"; break;
    case 252: Command = "WON'T"; break;
    case 253: Command = "DO"; break;
    case 254: Command = "DON'T"; break;
    default: Command = Format("[%u]", CommandCode); break;
    }
    const std::string Option = OptionCode < 50 ? std::string(TelnetOptions[OptionCode]) : Format("[%u]", OptionCode);
    std::string Direction;
    if (Data == 1)
        Direction = "received.";
    else if (Data == 2)
        Direction = "sent.";
    else
        Direction = Format("[%8.8llX]", static_cast<unsigned long long>(Data));
    return Format("[%d] Telnet %s %s %s", static_cast<int32_t>(Value), Command.c_str(), Option.c_str(),
                  Direction.c_str());
}

std::string TIpDebugLog::BuildHeader()
{
    const TWSAData &Info = WinSockAccess().WSAData();
    std::string Text;
    Text += "Tolvane socket library " + VersionText() + " compiled with " + CompilerText() + "\r\n";
    Text += "Operating System : " + OSVersionText() + "\r\n";
    Text += std::string("Description : ") + Info.szDescription + "\r\n";
    Text += Format("Negotiated Version : $%4.4X\r\n", unsigned(Info.wVersion));
    Text += std::string("System Status : ") + Info.szSystemStatus + "\r\n";
    Text += std::string(77, '=') + "\r\n";
    Text += "\r\n";
    return Text;
}

std::string TIpDebugLog::EntryText(const TEntryHeader &Header)
{
    std::string Text;
    if (Header.Formatter) {
        Header.Formatter(Header.Value, Header.Kind, Header.Data, Header.Len, Text);
        return Text;
    }
    switch (Header.Kind) {
    case IpLogText:
        Text.assign(reinterpret_cast<const char *>(Header.Data), std::size_t(Header.Len));
        break;
    case IpLogEnabled:
        Text = "**** Logging Enabled\r\n";
        break;
    case IpLogDisabled:
        Text = "**** Logging Disabled\r\n";
        break;
    case IpLogTelnet:
        Text = FormatTelnetEntry(Header.Value, Header.Data, Header.Len);
        break;
    default:
        Text = Format("!!!! Unknown log entry : [%d][%8.8X][%8.8llX][%8.8X]\r\n", static_cast<int32_t>(Header.Value),
                      Header.Kind, static_cast<unsigned long long>(Header.Data), static_cast<uint32_t>(Header.Len));
        break;
    }
    return Text;
}

void TIpDebugLog::WriteToFile()
{
    TIpLockGuard Guard(*this);
    std::unique_ptr<TFileStream> File = IpOpenLogFile(FFileName, FWriteMode == wmAppend);
    std::string Text;
    if (File->Size() == 0)
        Text = BuildHeader();
    // The ring is only given up once its text is on disk: a failed write
    // leaves every entry in place for another attempt.
    const uint32_t SavedHead = FHead;
    try {
        TEntryHeader Header;
        while (PopEntry(Header)) {
            Text += FormatTimeStamp(Header.Tick);
            Text += EntryText(Header);
            Text += "\r\n";
            if (Text.size() >= 65536) {
                File->WriteBuffer(Text.data(), int64_t(Text.size()));
                Text.clear();
            }
        }
        File->WriteBuffer(Text.data(), int64_t(Text.size()));
    } catch (...) {
        FHead = SavedHead;
        throw;
    }
    Clear();
}
