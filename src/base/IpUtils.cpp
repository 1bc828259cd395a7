#include "base/IpUtils.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "base/IpConst.h"

EIpAccessException EIpAccessException::ForFunction(const std::string &FunctionName,
                                                   const std::string &SystemText)
{
    return EIpAccessException(Format(sIpAccessErrorFmt, FunctionName.c_str(), SystemText.c_str()));
}

// ---------------------------------------------------------------------------

TIpBaseAccess::TIpBaseAccess() = default;
TIpBaseAccess::~TIpBaseAccess() = default;

TIpBasePersistent::TIpBasePersistent() = default;
TIpBasePersistent::~TIpBasePersistent() = default;

std::string TIpBaseComponent::Version() const
{
    return VersionText();
}

void TIpBaseComponent::FormatLogEntry(uint32_t, uint32_t, uintptr_t, int32_t, std::string &Text)
{
    Text = sIpUnhandledLogEntry;
    Text += "\n\r";
}

// ---------------------------------------------------------------------------

std::string VersionText()
{
    // to_chars ignores the C locale, which a GUI may have switched to one
    // with a decimal comma.
    char Number[32];
    auto Res = std::to_chars(Number, Number + sizeof(Number), IpVersionNumber,
                             std::chars_format::fixed, 2);
    std::string Result = "v";
    Result.append(Number, Res.ptr);
    Result += "\xC3\x9F";
    return Result;
}

std::string TrimSpaces(const std::string &S)
{
    const size_t First = S.find_first_not_of(' ');
    if (First == std::string::npos)
        return std::string();
    const size_t Last = S.find_last_not_of(' ');
    return S.substr(First, Last - First + 1);
}

int CharPos(char Ch, const std::string &S)
{
    const size_t P = S.find(Ch);
    // A position that does not fit the result type cannot be reported.
    if (P == std::string::npos || P >= static_cast<size_t>(INT32_MAX))
        return 0;
    return static_cast<int>(P) + 1;
}

int CompareBytes(const void *A, const void *B, int64_t N)
{
    if (N <= 0)
        return 0;
    const int R = std::memcmp(A, B, static_cast<size_t>(N)); // memcmp compares as unsigned char
    return R == 0 ? 0 : (R > 0 ? 1 : -1);
}

int64_t CountByte(const void *Buffer, int64_t N, uint8_t B)
{
    if (N <= 0 || !Buffer)
        return 0;
    const auto *P = static_cast<const uint8_t *>(Buffer);
    int64_t Count = 0;
    for (int64_t I = 0; I < N; ++I)
        Count += (P[I] == B);
    return Count;
}

int32_t MinInt(int32_t A, int32_t B)
{
    return A < B ? A : B;
}

std::string FormatV(const char *Fmt, va_list Args)
{
    va_list Copy;
    va_copy(Copy, Args);
    char Small[256];
    const int Len = std::vsnprintf(Small, sizeof(Small), Fmt, Copy);
    va_end(Copy);
    if (Len < 0)
        return std::string();
    if (static_cast<size_t>(Len) < sizeof(Small))
        return std::string(Small, static_cast<size_t>(Len));
    std::string Result(static_cast<size_t>(Len), '\0');
    std::vsnprintf(Result.data(), Result.size() + 1, Fmt, Args);
    return Result;
}

std::string Format(const char *Fmt, ...)
{
    va_list Args;
    va_start(Args, Fmt);
    std::string Result = FormatV(Fmt, Args);
    va_end(Args);
    return Result;
}

// ---------------------------------------------------------------------------
// Address parser

namespace {

enum TParseState : uint8_t {
    psStart,
    psError,
    psLeading,
    psWord,
    psWordColon,
    psAfterScheme,
    psLocalPath,
    psHost,
    psUserWord,
    psPassword,
    psPort,
    psPath,
    psFragment,
    psQuery,
    psTrailing
};

// Byte classes; locale-free so that bytes above 0x7F are never letters.
bool IsLetter(unsigned char C) { return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z'); }
bool IsDigit(unsigned char C) { return C >= '0' && C <= '9'; }
bool IsHostChar(unsigned char C) { return IsLetter(C) || IsDigit(C) || C == '-' || C == '.' || C == '_'; }
bool IsSlash(unsigned char C) { return C == '/' || C == '\\'; }
bool Contains(const std::string &S, char C) { return S.find(C) != std::string::npos; }

} // namespace

bool ParseAddress(const std::string &Text, TIpAddrRec &Rec)
{
    Rec.Scheme.clear();
    Rec.UserName.clear();
    Rec.Password.clear();
    Rec.Host.clear();
    Rec.Port.clear();
    Rec.Path.clear();
    Rec.Fragment.clear();
    Rec.Query.clear();

    TParseState State = psStart;
    std::string Word;
    std::string PathAcc;
    bool SchemeSeen = false;
    const bool TextHasAt = Contains(Text, '@');

    // Ends the path at a fragment or query delimiter.
    auto ClosePath = [&](bool ClearAcc) {
        if (!PathAcc.empty()) {
            Rec.Path = TrimSpaces(PathAcc);
            if (ClearAcc)
                PathAcc.clear();
        }
    };

    for (const char Ch : Text) {
        const auto C = static_cast<unsigned char>(Ch);
        switch (State) {
        case psStart:
        case psLeading:
            if (C == ' ')
                State = psLeading;
            else if (C == '.' || IsSlash(C)) {
                PathAcc += Ch;
                State = psPath;
            } else if (IsDigit(C)) {
                Rec.Host += Ch;
                State = psHost;
            } else if (IsLetter(C) || (State == psLeading && (C == '-' || C == '_'))) {
                Word += Ch;
                State = psWord;
            } else
                State = psError;
            break;

        case psError:
            break;

        case psWord:
            if (IsHostChar(C))
                Word += Ch;
            else if (IsSlash(C)) {
                if (SchemeSeen || Contains(Word, '.'))
                    Rec.Host = Word;
                else
                    PathAcc = Word;
                Word.clear();
                PathAcc += Ch;
                State = psPath;
            } else if (C == ':' || C == '|') {
                if (Word.size() == 1) {
                    PathAcc = Word + Ch;
                    Word.clear();
                    State = psLocalPath;
                } else if (Contains(Word, '.')) {
                    Rec.Host = Word;
                    State = psPort;
                } else if (!Rec.Scheme.empty())
                    State = psWordColon;
                else {
                    Rec.Scheme = Word;
                    SchemeSeen = true;
                    Word.clear();
                    State = psAfterScheme;
                }
            } else if (C == '@') {
                Rec.UserName = Word;
                Word.clear();
                State = psHost;
            } else {
                Rec.Host = Word;
                Word.clear();
                State = psHost;
            }
            break;

        case psWordColon:
            if (C == '@') {
                Rec.UserName = Word;
                Word.clear();
                State = psHost;
            } else if (IsSlash(C)) {
                Rec.Scheme = Word;
                SchemeSeen = true;
                Word.clear();
                State = psAfterScheme;
            } else if (IsDigit(C)) {
                Rec.Host = Word;
                Word.clear();
                Rec.Port += Ch;
                State = psPort;
            } else if (C == ':') {
                Rec.UserName = Word;
                Word.clear();
                State = psPassword;
            } else if (IsLetter(C)) {
                Rec.UserName = Word;
                Word.clear();
                Rec.Password += Ch;
                State = psPassword;
            }
            break;

        case psAfterScheme:
            if (C == '.' || C == '\\') {
                PathAcc += Ch;
                State = psLocalPath;
            } else if (C != '/') {
                Word.assign(1, Ch);
                State = TextHasAt ? psUserWord : psWord;
            }
            break;

        case psLocalPath:
            if (C == '#') {
                ClosePath(false);
                State = psFragment;
            } else if (C == '&' || C == '?') {
                ClosePath(false);
                Rec.QueryDelimiter = Ch;
                State = psQuery;
            } else
                PathAcc += Ch;
            break;

        case psHost:
            if (C == ' ')
                State = psTrailing;
            else if (IsHostChar(C))
                Rec.Host += Ch;
            else if (IsSlash(C)) {
                PathAcc += Ch;
                State = psPath;
            } else if (C == ':')
                State = psPort;
            break;

        case psUserWord:
            if (C == ':' || C == '|') {
                if (Word.size() == 1) {
                    PathAcc = Word + Ch;
                    Word.clear();
                    State = psLocalPath;
                } else {
                    Rec.UserName = Word;
                    Word.clear();
                    State = psPassword;
                }
            } else if (C == '@') {
                Rec.UserName = Word;
                Word.clear();
                State = psHost;
            } else
                Word += Ch;
            break;

        case psPassword:
            if (C == '@')
                State = psHost;
            else
                Rec.Password += Ch;
            break;

        case psPort:
            if (C == ' ')
                State = psTrailing;
            else if (IsSlash(C)) {
                PathAcc += Ch;
                State = psPath;
            } else if (IsDigit(C))
                Rec.Port += Ch;
            else
                State = psError;
            break;

        case psPath:
            if (C == ' ')
                State = psTrailing;
            else if (C == '#') {
                ClosePath(true);
                State = psFragment;
            } else if (C == '&' || C == '?') {
                ClosePath(true);
                Rec.QueryDelimiter = Ch;
                State = psQuery;
            } else
                PathAcc += Ch;
            break;

        case psFragment:
            if (C == '&' || C == '?') {
                ClosePath(true);
                Rec.QueryDelimiter = Ch;
                State = psQuery;
            } else
                Rec.Fragment += Ch;
            break;

        case psQuery:
            if (C == ' ')
                State = psTrailing;
            else
                Rec.Query += Ch;
            break;

        case psTrailing:
            if (C != ' ')
                State = psError;
            break;
        }
        if (State == psError)
            break;
    }

    if (!Word.empty())
        Rec.Host = Word;
    if (Rec.Path.empty())
        Rec.Path = PathAcc.empty() ? std::string("/") : TrimSpaces(PathAcc);

    switch (State) {
    case psLocalPath:
    case psHost:
    case psPort:
    case psPath:
    case psFragment:
    case psQuery:
    case psTrailing:
        return true;
    default:
        return false;
    }
}
