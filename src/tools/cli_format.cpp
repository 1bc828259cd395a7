#include "tools/cli_format.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Long enough for any honest reply; a hostile one is cut.
constexpr size_t MaxMessageLength = 1000;

char Upper(char C)
{
    return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 'a' + 'A') : C;
}

std::string UpperText(std::string_view S)
{
    std::string U(S);
    for (char &C : U)
        C = Upper(C);
    return U;
}

std::string_view FirstLine(std::string_view Listing)
{
    size_t Start = 0;
    while (Start < Listing.size()) {
        size_t End = Listing.find('\n', Start);
        if (End == std::string_view::npos)
            End = Listing.size();
        std::string_view Line = Listing.substr(Start, End - Start);
        while (!Line.empty() && (Line.back() == '\r' || Line.back() == ' '))
            Line.remove_suffix(1);
        // "total 12" heads Unix listings and says nothing about the style.
        if (!Line.empty() && Line.compare(0, 6, "total ") != 0)
            return Line;
        Start = End + 1;
    }
    return {};
}

bool IsDigit(char C)
{
    return C >= '0' && C <= '9';
}

} // namespace

std::string EscapeText(std::string_view S)
{
    static const char Hex[] = "0123456789abcdef";
    std::string Out;
    Out.reserve(S.size());
    for (char C : S) {
        const unsigned char U = static_cast<unsigned char>(C);
        switch (C) {
        case '\\':
            Out += "\\\\";
            break;
        case '\t':
            Out += "\\t";
            break;
        case '\r':
            Out += "\\r";
            break;
        case '\n':
            Out += "\\n";
            break;
        default:
            if (U < 0x20 || U == 0x7F) {
                Out += "\\x";
                Out += Hex[U >> 4];
                Out += Hex[U & 15];
            } else {
                Out += C;
            }
        }
    }
    return Out;
}

std::string OneLine(std::string_view Text)
{
    std::string Joined;
    Joined.reserve(std::min(Text.size(), MaxMessageLength));
    bool PendingBlank = false;
    for (char C : Text) {
        if (C == '\r' || C == '\n') {
            PendingBlank = !Joined.empty();
            continue;
        }
        if (PendingBlank) {
            Joined += ' ';
            PendingBlank = false;
        }
        Joined += C;
        if (Joined.size() > MaxMessageLength)
            break;
    }
    while (!Joined.empty() && Joined.back() == ' ')
        Joined.pop_back();
    const bool Cut = Joined.size() > MaxMessageLength;
    if (Cut)
        Joined.resize(MaxMessageLength);
    std::string Out = EscapeText(Joined);
    if (Cut)
        Out += "...";
    return Out;
}

const char *KindName(TIpFtpFileKind Kind)
{
    switch (Kind) {
    case fkFile:
        return "file";
    case fkDirectory:
        return "dir";
    case fkLink:
        return "link";
    default:
        return "unknown";
    }
}

std::string PermissionText(const TIpFtpFileInfo &Entry)
{
    std::string Out;
    for (const TIpFtpPermissions &P : {Entry.OwnerPerms, Entry.GroupPerms, Entry.OtherPerms}) {
        Out += P.Contains(prRead) ? 'r' : '-';
        Out += P.Contains(prWrite) ? 'w' : '-';
        Out += P.Contains(prExecute) ? 'x' : '-';
    }
    return Out;
}

std::string FormatEntry(const TIpFtpFileInfo &Entry)
{
    std::string Line = KindName(Entry.FileKind);
    Line += '\t';
    Line += PermissionText(Entry);
    Line += '\t';
    Line += std::to_string(Entry.Size);
    Line += '\t';
    Line += EscapeText(Entry.TimeStamp);
    Line += '\t';
    Line += EscapeText(Entry.FileName);
    return Line;
}

TIpFtpDirStyle StyleFromSystemReply(std::string_view Reply)
{
    std::vector<std::string> Words = SplitTokens(Reply, " ");
    if (Words.size() < 2)
        return dsNone;
    const std::string System = UpperText(Words[1]);
    if (System.find("WIND") != std::string::npos)
        return dsDos;
    if (System.find("UNIX") != std::string::npos)
        return dsUnix;
    if (System.find("VMS") != std::string::npos)
        return dsVms;
    return dsNone;
}

TIpFtpDirStyle GuessStyle(std::string_view Listing)
{
    const std::string_view Line = FirstLine(Listing);
    // "drwxr-xr-x ..." / "-rw-r--r-- ..." / "lrwxrwxrwx ..."
    if (Line.size() >= 10 && std::string_view("-dlbcps").find(Line[0]) != std::string_view::npos) {
        bool Perms = true;
        for (size_t I = 1; I < 10 && Perms; ++I)
            Perms = std::string_view("rwxsStT-").find(Line[I]) != std::string_view::npos;
        if (Perms)
            return dsUnix;
    }
    // "12-31-23  10:15AM  <DIR>  name"
    if (Line.size() >= 8 && IsDigit(Line[0]) && IsDigit(Line[1]) && Line[2] == '-' && IsDigit(Line[3]) &&
        IsDigit(Line[4]) && Line[5] == '-')
        return dsDos;
    return dsNone;
}

int64_t SizeFromReply(std::string_view Reply)
{
    const size_t Bytes = Reply.rfind(" bytes)");
    if (Bytes == std::string_view::npos)
        return -1;
    const size_t Open = Reply.rfind('(', Bytes);
    if (Open == std::string_view::npos)
        return -1;
    std::string_view Digits = Reply.substr(Open + 1, Bytes - Open - 1);
    if (Digits.empty() || Digits.size() > 18)
        return -1;
    int64_t V = 0;
    for (char C : Digits) {
        if (!IsDigit(C))
            return -1;
        V = V * 10 + (C - '0');
    }
    return V;
}

std::string SizeText(uint64_t Bytes)
{
    static const char *Units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
    if (Bytes < 1024)
        return std::to_string(Bytes) + " bytes";
    double V = static_cast<double>(Bytes);
    size_t Unit = 0;
    while (V >= 1024.0 && Unit + 1 < sizeof Units / sizeof Units[0]) {
        V /= 1024.0;
        ++Unit;
    }
    char Buf[32];
    std::snprintf(Buf, sizeof Buf, "%.1f %s", V, Units[Unit]);
    return Buf;
}

std::string ProgressText(uint64_t Done, int64_t Total, uint64_t Moved, double Seconds)
{
    std::string Out = SizeText(Done);
    if (Total >= 0) {
        Out += " of " + SizeText(static_cast<uint64_t>(Total));
        const double Percent = Total > 0 ? 100.0 * static_cast<double>(Done) / static_cast<double>(Total) : 100.0;
        char Buf[16];
        std::snprintf(Buf, sizeof Buf, "  %3d%%", static_cast<int>(Percent > 100.0 ? 100.0 : Percent));
        Out += Buf;
    }
    if (Seconds > 0.0) {
        char Buf[32];
        std::snprintf(Buf, sizeof Buf, "  %.1f MB/s", static_cast<double>(Moved) / Seconds / 1e6);
        Out += Buf;
    }
    return Out;
}
