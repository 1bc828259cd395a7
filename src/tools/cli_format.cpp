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

bool IsDigit(char C)
{
    return C >= '0' && C <= '9';
}

// Length of the well-formed UTF-8 sequence that starts at S[I] (2 to 4),
// 0 when none does (overlong forms and surrogates included).
size_t Utf8Length(std::string_view S, size_t I)
{
    const unsigned char B = static_cast<unsigned char>(S[I]);
    size_t Len = 0;
    unsigned char Lo = 0x80, Hi = 0xBF;  // range of the second byte
    if (B >= 0xC2 && B <= 0xDF)
        Len = 2;
    else if (B >= 0xE0 && B <= 0xEF) {
        Len = 3;
        Lo = B == 0xE0 ? 0xA0 : 0x80;
        Hi = B == 0xED ? 0x9F : 0xBF;
    } else if (B >= 0xF0 && B <= 0xF4) {
        Len = 4;
        Lo = B == 0xF0 ? 0x90 : 0x80;
        Hi = B == 0xF4 ? 0x8F : 0xBF;
    }
    if (Len == 0 || I + Len > S.size())
        return 0;
    for (size_t K = 1; K < Len; ++K) {
        const unsigned char C = static_cast<unsigned char>(S[I + K]);
        if (C < (K == 1 ? Lo : 0x80) || C > (K == 1 ? Hi : 0xBF))
            return 0;
    }
    return Len;
}

void AppendHex(std::string &Out, unsigned char U)
{
    static const char Hex[] = "0123456789abcdef";
    Out += "\\x";
    Out += Hex[U >> 4];
    Out += Hex[U & 15];
}

// Characters that reorder or hide text without showing themselves: the
// bidi embeddings, overrides and isolates ("bidi\u202Etxt.exe" reads as
// "bidiexe.txt"), the zero-width characters and marks, the byte order mark.
bool Invisible(std::string_view S, size_t I, size_t Len)
{
    if (Len != 3)
        return false;
    const unsigned char A = static_cast<unsigned char>(S[I]), B = static_cast<unsigned char>(S[I + 1]),
                        C = static_cast<unsigned char>(S[I + 2]);
    return (A == 0xE2 && B == 0x80 && ((C >= 0x8B && C <= 0x8F) || (C >= 0xAA && C <= 0xAE))) ||
           (A == 0xE2 && B == 0x81 && C >= 0xA6 && C <= 0xA9) || (A == 0xEF && B == 0xBB && C == 0xBF);
}

} // namespace

std::string EscapeText(std::string_view S)
{
    std::string Out;
    Out.reserve(S.size());
    for (size_t I = 0; I < S.size(); ++I) {
        const char C = S[I];
        const unsigned char U = static_cast<unsigned char>(C);
        if (U >= 0x80) {
            // C1 controls (CSI, OSC, ...) act on a terminal both as single
            // bytes 0x80-0x9F and as U+0080-U+009F in UTF-8; other UTF-8
            // text passes unchanged.
            const size_t Len = Utf8Length(S, I);
            const bool C1 = Len == 2 && U == 0xC2 && static_cast<unsigned char>(S[I + 1]) <= 0x9F;
            if (Len == 0) {
                if (U <= 0x9F)
                    AppendHex(Out, U);
                else
                    Out += C;
            } else if (C1 || Invisible(S, I, Len)) {
                for (size_t K = 0; K < Len; ++K)
                    AppendHex(Out, static_cast<unsigned char>(S[I + K]));
                I += Len - 1;
            } else {
                Out.append(S.substr(I, Len));
                I += Len - 1;
            }
            continue;
        }
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
            if (U < 0x20 || U == 0x7F)
                AppendHex(Out, U);
            else
                Out += C;
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

std::string UtcTimeText(int64_t Seconds)
{
    // Civil date from days since 1970 (proleptic Gregorian), so no time
    // zone or C library range gets in the way.
    const int64_t Days = Seconds >= 0 ? Seconds / 86400 : (Seconds - 86399) / 86400;
    const int64_t Rest = Seconds - Days * 86400;
    const int64_t Z = Days + 719468;
    const int64_t Era = (Z >= 0 ? Z : Z - 146096) / 146097;
    const int64_t Doe = Z - Era * 146097;
    const int64_t Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
    const int64_t Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
    const int64_t Mp = (5 * Doy + 2) / 153;
    const int64_t Day = Doy - (153 * Mp + 2) / 5 + 1;
    const int64_t Month = Mp < 10 ? Mp + 3 : Mp - 9;
    const int64_t Year = Yoe + Era * 400 + (Month <= 2);
    char Buf[128];
    std::snprintf(Buf, sizeof Buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(Year),
                  static_cast<long long>(Month), static_cast<long long>(Day), static_cast<long long>(Rest / 3600),
                  static_cast<long long>(Rest / 60 % 60), static_cast<long long>(Rest % 60));
    return Buf;
}

std::string FormatEntry(const TIpFtpFileInfo &Entry)
{
    std::string Line = KindName(Entry.FileKind);
    Line += '\t';
    Line += PermissionText(Entry);
    Line += '\t';
    Line += std::to_string(Entry.Size);
    Line += '\t';
    Line += Entry.ModifyTime >= 0 ? UtcTimeText(Entry.ModifyTime) : EscapeText(Entry.TimeStamp);
    Line += '\t';
    Line += EscapeText(Entry.FileName);
    if (Entry.FileKind == fkLink && !Entry.LinkPath.empty()) {
        Line += '\t';
        Line += EscapeText(Entry.LinkPath);
    }
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
    return GuessListingStyle(Listing);
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
