#include "ftp/IpFtpList.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

// Listing text is bytes: compare as unsigned so 0x80..0xFF are never taken
// for control characters.
inline bool IsTrimmed(char C)
{
    return static_cast<unsigned char>(C) <= 32;
}

std::string_view TrimView(std::string_view S)
{
    std::size_t B = 0;
    std::size_t E = S.size();
    while (B < E && IsTrimmed(S[B]))
        ++B;
    while (E > B && IsTrimmed(S[E - 1]))
        --E;
    return S.substr(B, E - B);
}

std::string_view TrimLeftView(std::string_view S)
{
    std::size_t B = 0;
    while (B < S.size() && IsTrimmed(S[B]))
        ++B;
    return S.substr(B);
}

// The folder itself and its parent are no entries of it.
bool IsListedName(const std::string &Name)
{
    return !Name.empty() && Name != "." && Name != "..";
}

inline char UpperAscii(char C)
{
    return (C >= 'a' && C <= 'z') ? static_cast<char>(C - ('a' - 'A')) : C;
}

// Upper-cased S contains the upper-case Word.
bool ContainsUpper(std::string_view S, std::string_view Word)
{
    if (Word.empty())
        return true;
    if (S.size() < Word.size())
        return false;
    for (std::size_t I = 0; I + Word.size() <= S.size(); ++I) {
        std::size_t J = 0;
        while (J < Word.size() && UpperAscii(S[I + J]) == Word[J])
            ++J;
        if (J == Word.size())
            return true;
    }
    return false;
}

bool EqualsUpper(std::string_view S, std::string_view Word)
{
    return S.size() == Word.size() && ContainsUpper(S, Word);
}

// A size column as a decimal number. Only digits count: a sign, digit
// grouping or a value beyond the 64-bit range makes it "not a number", so a
// size never comes out negative.
bool ReadNumber(std::string_view S, int64_t &Value)
{
    if (S.empty())
        return false;
    constexpr uint64_t Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    uint64_t Acc = 0;
    for (char C : S) {
        if (C < '0' || C > '9')
            return false;
        const unsigned D = static_cast<unsigned>(C - '0');
        if (Acc > (Max - D) / 10)
            return false;
        Acc = Acc * 10 + D;
    }
    Value = static_cast<int64_t>(Acc);
    return true;
}

int64_t NumberOr(std::string_view S, int64_t Fallback)
{
    int64_t V;
    return ReadNumber(S, V) ? V : Fallback;
}

// Next piece of Text split at Delim (one byte), from Pos on; pieces that are
// empty before trimming are skipped. Pos ends on the delimiter after the piece.
inline bool NextPiece(std::string_view Text, char Delim, std::size_t &Pos, std::string_view &Piece)
{
    const std::size_t N = Text.size();
    while (Pos < N && Text[Pos] == Delim)
        ++Pos;
    if (Pos >= N)
        return false;
    const std::size_t Start = Pos;
    const void *Hit = std::memchr(Text.data() + Pos, static_cast<unsigned char>(Delim), N - Pos);
    const std::size_t End = Hit ? static_cast<std::size_t>(static_cast<const char *>(Hit) - Text.data()) : N;
    Piece = TrimView(Text.substr(Start, End - Start));
    Pos = End;
    return true;
}

// The first pieces of a comma-separated column and how many there are.
struct TCommaPieces
{
    std::array<std::string_view, 4> First{};
    std::size_t Count = 0;
};

TCommaPieces SplitCommas(std::string_view Text)
{
    TCommaPieces R;
    std::size_t Pos = 0;
    std::string_view Piece;
    while (NextPiece(Text, ',', Pos, Piece)) {
        if (R.Count < R.First.size())
            R.First[R.Count] = Piece;
        ++R.Count;
    }
    return R;
}

// Permission letters: R read, W write, and the style's execute letter
// (X for Unix, E for the VMS family); other letters add nothing.
TIpFtpPermissions PermsFromLetters(std::string_view S, char Execute)
{
    TIpFtpPermissions P;
    for (char C : S) {
        const char U = UpperAscii(C);
        if (U == 'R')
            P.Include(prRead);
        else if (U == 'W')
            P.Include(prWrite);
        else if (U == Execute)
            P.Include(prExecute);
    }
    return P;
}

std::string_view SubView(std::string_view S, std::size_t Start, std::size_t Len)
{
    return Start >= S.size() ? std::string_view() : S.substr(Start, Len);
}

void JoinTwo(std::string &Out, std::string_view A, std::string_view B)
{
    Out.clear();
    Out.reserve(A.size() + 1 + B.size());
    Out.append(A).append(1, ' ').append(B);
}

// The VMS family names an entry by its first token: a heading (with ":") is
// not an entry; NAME.DIR;v is a folder called NAME; NAME.EXT;v a file.
// Returns false for a heading.
bool VmsNameAndKind(std::string_view T0, TIpFtpFileInfo &Info)
{
    if (T0.find(':') != std::string_view::npos)
        return false;
    if (ContainsUpper(T0, ".DIR")) {
        Info.FileKind = fkDirectory;
        Info.FileName.assign(T0.substr(0, T0.find('.')));
    } else if (const std::size_t Semi = T0.find(';'); Semi != std::string_view::npos) {
        Info.FileKind = fkFile;
        Info.FileName.assign(T0.substr(0, Semi));
    }
    return true;
}

} // namespace

int PermissionsOctalDigit(TIpFtpPermissions Perms)
{
    return (Perms.Contains(prRead) ? 4 : 0) + (Perms.Contains(prWrite) ? 2 : 0) +
           (Perms.Contains(prExecute) ? 1 : 0);
}

std::vector<std::string> SplitTokens(std::string_view Text, std::string_view Delimiter)
{
    std::vector<std::string> Result;
    std::size_t Pos = 0;
    if (Delimiter.size() == 1) {
        std::string_view Piece;
        while (NextPiece(Text, Delimiter[0], Pos, Piece))
            Result.emplace_back(Piece);
        return Result;
    }
    if (!Delimiter.empty()) {
        for (;;) {
            const std::size_t Hit = Text.find(Delimiter, Pos);
            if (Hit == std::string_view::npos)
                break;
            if (Hit > Pos)
                Result.emplace_back(TrimView(Text.substr(Pos, Hit - Pos)));
            Pos = Hit + 1;
        }
    }
    if (Pos < Text.size())
        Result.emplace_back(TrimView(Text.substr(Pos)));
    return Result;
}

// ---------------------------------------------------------------------------
// TIpTokenList

void TIpTokenList::Assign(std::string_view Line)
{
    FLine = Line;
    FCount = 0;
    FResume = 0;
    std::size_t Pos = 0;
    std::string_view Token;
    while (NextPiece(Line, ' ', Pos, Token)) {
        if (FCount < KeptTokens) {
            FFirst[FCount] = Token;
            FResume = Pos;
        }
        ++FCount;
    }
}

std::string_view TIpTokenList::operator[](std::size_t Index) const
{
    if (Index >= FCount)
        return {};
    if (Index < KeptTokens)
        return FFirst[Index];
    std::size_t Pos = FResume;
    std::string_view Token;
    for (std::size_t I = KeptTokens; I <= Index; ++I)
        NextPiece(FLine, ' ', Pos, Token);
    return Token;
}

void TIpTokenList::Join(std::size_t From, std::string &Out, std::string_view StopAt) const
{
    Out.clear();
    if (From >= FCount)
        return;
    // Two walks: the first measures, so the name costs one allocation.
    auto Walk = [&](auto &&Visit) {
        std::size_t I = From;
        for (; I < FCount && I < KeptTokens; ++I)
            if (!Visit(FFirst[I]))
                return;
        // Past the kept tokens: walk on from the last of them, skipping up
        // to From.
        std::size_t Pos = FResume;
        std::string_view Token;
        for (std::size_t J = KeptTokens; J < FCount && NextPiece(FLine, ' ', Pos, Token); ++J)
            if (J >= I && !Visit(Token))
                return;
    };
    const bool Stops = !StopAt.empty();
    std::size_t Total = 0;
    bool First = true;
    Walk([&](std::string_view T) {
        if (Stops && T == StopAt)
            return false;
        Total += T.size() + (First ? 0 : 1);
        First = false;
        return true;
    });
    Out.reserve(Total);
    First = true;
    Walk([&](std::string_view T) {
        if (Stops && T == StopAt)
            return false;
        if (!First)
            Out.push_back(' ');
        Out.append(T);
        First = false;
        return true;
    });
}

std::string_view TIpTokenList::After(std::size_t Index) const
{
    if (Index >= FCount || Index >= KeptTokens)
        return {};
    // The piece a token was trimmed from ends at the next blank.
    const std::size_t End = static_cast<std::size_t>(FFirst[Index].data() + FFirst[Index].size() - FLine.data());
    const std::size_t Blank = FLine.find(' ', End);
    return Blank == std::string_view::npos ? std::string_view() : FLine.substr(Blank + 1);
}

// ---------------------------------------------------------------------------
// TIpFtpFileInfo

TIpFtpFileInfo::TIpFtpFileInfo() = default;

TIpFtpFileInfo::TIpFtpFileInfo(std::string_view Info, const TIpUserParseStyleEvent &OnParseStyle,
                               TIpFtpDirStyle Style)
{
    TIpTokenList Tokens;
    std::string Line;
    Load(Info, OnParseStyle, Style, Tokens, Line);
}

TIpFtpFileInfo::~TIpFtpFileInfo() = default;

void TIpFtpFileInfo::Reset()
{
    FileName.clear();
    FileKind = fkUnknown;
    Group.assign("Unknown");
    LinkPath.clear();
    Owner.assign("Unknown");
    OwnerPerms = {};
    GroupPerms = {};
    OtherPerms = {};
    Size = 0;
    TimeStamp.clear();
    ModifyTime = -1;
    UnixMode = -1;
    PermFacts.clear();
}

void TIpFtpFileInfo::Load(std::string_view Info, const TIpUserParseStyleEvent &OnParseStyle,
                          TIpFtpDirStyle Style, TIpTokenList &Tokens, std::string &Line)
{
    if (OnParseStyle) {
        Line.assign(Info);
        OnParseStyle(this, Line, this);
        return;
    }
    if (Style == dsNone || Style == dsUser) {
        FileName.assign(Info);
        return;
    }
    if (Style == dsMlsd) {
        ParseMlsdLine(Info);
        return;
    }
    Tokens.Assign(Info);
    if (Tokens.Count() == 0)
        return;
    switch (Style) {
    case dsUnix:
        ParseUnixLine(Tokens);
        break;
    case dsDos:
        ParseDosLine(Tokens);
        break;
    case dsMultiNet:
        ParseMultiNetLine(Tokens);
        break;
    case dsVms:
        ParseVmsLine(Tokens);
        break;
    default:
        break;
    }
}

// type+permissions, links, owner, group, size, month, day, time or year, name
void TIpFtpFileInfo::ParseUnixLine(const TIpTokenList &Tokens)
{
    const std::size_t N = Tokens.Count();
    if (N == 0)
        return;
    const std::string_view T0 = Tokens[0];
    switch (T0.empty() ? '\0' : T0[0]) {
    case '-':
        FileKind = fkFile;
        break;
    case 'd':
    case 'D':
        FileKind = fkDirectory;
        break;
    case 'l':
    case 'L':
        FileKind = fkLink;
        break;
    default:
        FileKind = fkUnknown;
        break;
    }
    OwnerPerms = PermsFromLetters(SubView(T0, 1, 3), 'X');
    GroupPerms = PermsFromLetters(SubView(T0, 4, 3), 'X');
    OtherPerms = PermsFromLetters(SubView(T0, 7, 3), 'X');
    if (N > 2)
        Owner.assign(Tokens[2]);
    if (N > 3)
        Group.assign(Tokens[3]);
    if (N > 4)
        Size = NumberOr(Tokens[4], 0);
    if (N > 7) {
        const std::string_view M = Tokens[5], D = Tokens[6], Y = Tokens[7];
        TimeStamp.clear();
        TimeStamp.reserve(M.size() + D.size() + Y.size() + 2);
        TimeStamp.append(M).append(1, ' ').append(D).append(1, ' ').append(Y);
    }
    // The name is every byte after the blank that ends the time column:
    // runs of blanks, leading and trailing blanks are part of it. Only a
    // link's " -> target" is not; in any other entry " -> " is name.
    if (N <= 8)
        return;
    std::string_view Name = Tokens.After(7);
    // A year is one byte shorter than a time, and the column is padded to
    // the same width: ls pads before the year ("Mar  8  2009 name"), some
    // servers after it ("Mar  1 2003  name"). That padding is no name.
    const std::string_view T7 = Tokens[7];
    const std::string_view Line = Tokens.Line();
    const std::size_t At = static_cast<std::size_t>(T7.data() - Line.data());
    if (T7.size() == 4 && T7.find(':') == std::string_view::npos && At >= 2 && Line[At - 1] == ' ' &&
        Line[At - 2] != ' ' && !Name.empty() && Name.front() == ' ')
        Name.remove_prefix(1);
    const std::size_t Arrow = FileKind == fkLink ? Name.find(" -> ") : std::string_view::npos;
    if (Arrow == std::string_view::npos) {
        FileName.assign(Name);
    } else {
        FileName.assign(Name.substr(0, Arrow));
        LinkPath.assign(Name.substr(Arrow + 4));
    }
}

// date, time, "<DIR>" or size, name
void TIpFtpFileInfo::ParseDosLine(const TIpTokenList &Tokens)
{
    const std::size_t N = Tokens.Count();
    if (N >= 4) {
        const std::string_view T2 = Tokens[2];
        int64_t Bytes = 0;
        if (EqualsUpper(T2, "<DIR>")) {
            FileKind = fkDirectory;
            Size = 0;
        } else if (ReadNumber(T2, Bytes)) {
            FileKind = fkFile;
            Size = Bytes;
        } else {
            return;
        }
        JoinTwo(TimeStamp, Tokens[0], Tokens[1]);
        std::string_view Name = Tokens.After(2);
        if (FileKind == fkDirectory) {
            // "<DIR>" is padded to where file names start, by as many blanks
            // as the server's time column needs; Windows names do not begin
            // with a blank. A size is right-aligned: one blank follows it.
            std::size_t Pad = 0;
            while (Pad < Name.size() && Name[Pad] == ' ')
                ++Pad;
            Name.remove_prefix(Pad);
        }
        FileName.assign(Name);
    } else if (N == 2) {
        int64_t Bytes = 0;
        if (ReadNumber(Tokens[0], Bytes)) {
            FileKind = fkFile;
            Size = Bytes;
            TimeStamp.clear();
            FileName.assign(Tokens.After(0));
        }
    }
}

// NAME;version, time stamp, size, protection
void TIpFtpFileInfo::ParseMultiNetLine(const TIpTokenList &Tokens)
{
    const std::size_t N = Tokens.Count();
    if (N == 0 || !VmsNameAndKind(Tokens[0], *this))
        return;
    if (N > 2)
        JoinTwo(TimeStamp, Tokens[1], Tokens[2]);
    if (N > 3)
        Size = NumberOr(Tokens[3], 0);
    if (N > 4) {
        const TCommaPieces P = SplitCommas(Tokens[4]);
        if (P.Count > 1)
            OwnerPerms = PermsFromLetters(P.First[1], 'E');
        if (P.Count > 2)
            GroupPerms = PermsFromLetters(P.First[2], 'E');
    }
}

// NAME;version, used/allocated blocks, date, time, [owner], (protection)
void TIpFtpFileInfo::ParseVmsLine(const TIpTokenList &Tokens)
{
    const std::size_t N = Tokens.Count();
    if (N == 0 || !VmsNameAndKind(Tokens[0], *this))
        return;
    if (N > 1) {
        const std::string_view T1 = Tokens[1];
        const std::size_t Slash = T1.find('/');
        const std::string_view Used = Slash == std::string_view::npos ? std::string_view() : T1.substr(0, Slash);
        const int64_t Blocks = NumberOr(Used, 0);
        // A block count too large for a byte count is as good as no count.
        Size = Blocks <= std::numeric_limits<int64_t>::max() / 512 ? Blocks * 512 : 0;
    }
    if (N > 3)
        JoinTwo(TimeStamp, Tokens[2], Tokens[3]);
    if (N > 4) {
        const TCommaPieces Q = SplitCommas(Tokens[4]);
        if (Q.Count >= 1)
            Owner.assign(Q.First[0]);
        if (Q.Count >= 2)
            Group.assign(Q.First[1]);
    }
    if (N > 5) {
        const TCommaPieces P = SplitCommas(Tokens[5]);
        if (P.Count > 1)
            OwnerPerms = PermsFromLetters(P.First[0], 'E');
        if (P.Count > 2)
            GroupPerms = PermsFromLetters(P.First[1], 'E');
        if (P.Count > 3)
            OtherPerms = PermsFromLetters(P.First[2], 'E');
    }
}

// ---------------------------------------------------------------------------
// TIpFtpFileList

TIpFtpFileList::TIpFtpFileList() = default;

TIpFtpFileList::~TIpFtpFileList()
{
    Clear();
}

void TIpFtpFileList::Clear()
{
    FCount = 0;
    FBlocks.clear();
}

TIpFtpFileInfo *TIpFtpFileList::Slot(std::size_t Index)
{
    const std::size_t Block = Index / BlockSize;
    if (Block == FBlocks.size())
        FBlocks.push_back(std::make_unique<TIpFtpFileInfo[]>(BlockSize));
    return &FBlocks[Block][Index % BlockSize];
}

TIpFtpFileInfo *TIpFtpFileList::Items(std::size_t Index) const
{
    if (Index >= FCount)
        throw std::out_of_range("TIpFtpFileList index " + std::to_string(Index) + " out of range (" +
                                std::to_string(FCount) + " entries)");
    return &FBlocks[Index / BlockSize][Index % BlockSize];
}

bool TIpFtpFileList::ParseListing(std::string_view Listing, TIpFtpDirStyle Style,
                                  const TIpUserParseStyleEvent &OnParseStyle)
{
    Clear();
    if (Style == dsAuto) {
        Style = GuessListingStyle(Listing);
        if (Style == dsNone)
            Style = dsUnix;
    }
    // Scratch space reused for every line, so a line costs no allocation of
    // its own beyond the strings an entry keeps.
    TIpTokenList Tokens;
    std::string Line;
    const char *const Data = Listing.data();
    const std::size_t Size = Listing.size();
    std::size_t Pos = 0;
    while (Pos < Size) {
        const void *Hit = std::memchr(Data + Pos, '\n', Size - Pos);
        const std::size_t End = Hit ? static_cast<std::size_t>(static_cast<const char *>(Hit) - Data) : Size;
        std::size_t Stop = End;
        if (Stop > Pos && Data[Stop - 1] == '\r')
            --Stop;
        const std::string_view Raw(Data + Pos, Stop - Pos);
        Pos = End + 1;
        if (TrimView(Raw).empty())
            continue;
        TIpFtpFileInfo *Entry = Slot(FCount);
        Entry->Reset();
        // The end of a line may be the end of a name: only the columns
        // before a name lose their blanks. Name listings are names whole.
        // Control bytes at the end are line-end debris (a CR doubled on
        // the way, a NUL), never part of a name anyone can use.
        std::string_view Text = Raw;
        while (!Text.empty() && static_cast<unsigned char>(Text.back()) < 32)
            Text.remove_suffix(1);
        if (OnParseStyle)
            Text = TrimView(Text);
        else if (Style != dsNone && Style != dsUser && Style != dsMlsd)
            Text = TrimLeftView(Text);
        Entry->Load(Text, OnParseStyle, Style, Tokens, Line);
        if (Entry->FileKind == fkUnknown && Style != dsNone)
            continue;
        if (!IsListedName(Entry->FileName))
            continue;
        ++FCount;
    }
    return FCount > 0;
}
