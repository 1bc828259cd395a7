// MLSD listing lines: "fact=value;fact=value; name". Facts are machine
// readable (the time in UTC, the size in bytes, the kind spelled out), so
// nothing here guesses; unknown facts are ignored and the name is taken as
// sent, byte for byte. Also the guess of a listing's style from its text.

#include "ftp/IpFtpMlsd.h"

#include "ftp/IpFtpProtocol.h"

#include <limits>

namespace {

bool IsDigit(char C)
{
    return C >= '0' && C <= '9';
}

// Decimal digits only, within 64 bits.
bool ReadDecimal(std::string_view S, int64_t &Value)
{
    if (S.empty())
        return false;
    int64_t V = 0;
    for (char C : S) {
        if (!IsDigit(C))
            return false;
        const int D = C - '0';
        if (V > (std::numeric_limits<int64_t>::max() - D) / 10)
            return false;
        V = V * 10 + D;
    }
    Value = V;
    return true;
}

int DigitsAt(std::string_view S, std::size_t Pos, std::size_t Count)
{
    int V = 0;
    for (std::size_t I = Pos; I < Pos + Count; ++I)
        V = V * 10 + (S[I] - '0');
    return V;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t Y, unsigned M, unsigned D)
{
    Y -= M <= 2;
    const int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
    const unsigned Yoe = static_cast<unsigned>(Y - Era * 400);
    const unsigned Doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
    const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
    return Era * 146097 + static_cast<int64_t>(Doe) - 719468;
}

TIpFtpPermissions PermsFromOctal(int Digit)
{
    TIpFtpPermissions P;
    if (Digit & 4)
        P.Include(prRead);
    if (Digit & 2)
        P.Include(prWrite);
    if (Digit & 1)
        P.Include(prExecute);
    return P;
}

bool LooksLikeUnixMode(std::string_view Line)
{
    if (Line.size() < 10 || std::string_view("-dlbcpsDL").find(Line[0]) == std::string_view::npos)
        return false;
    for (std::size_t I = 1; I < 10; ++I)
        if (std::string_view("rwxsStTlL-").find(Line[I]) == std::string_view::npos)
            return false;
    return true;
}

bool LooksLikeDosDate(std::string_view Line)
{
    // "12-31-23  10:15AM ..." or "2023-12-31  10:15 ..."
    if (Line.size() >= 8 && IsDigit(Line[0]) && IsDigit(Line[1]) && Line[2] == '-' && IsDigit(Line[3]) &&
        IsDigit(Line[4]) && Line[5] == '-')
        return true;
    return Line.size() >= 10 && IsDigit(Line[0]) && IsDigit(Line[1]) && IsDigit(Line[2]) && IsDigit(Line[3]) &&
           Line[4] == '-' && IsDigit(Line[5]) && IsDigit(Line[6]) && Line[7] == '-';
}

} // namespace

int64_t MlsdTimeValue(std::string_view Value)
{
    // YYYYMMDDHHMMSS, optionally followed by "." and fractions of a second.
    if (Value.size() < 14)
        return -1;
    for (std::size_t I = 0; I < 14; ++I)
        if (!IsDigit(Value[I]))
            return -1;
    if (Value.size() > 14) {
        if (Value[14] != '.' || Value.size() == 15)
            return -1;
        for (std::size_t I = 15; I < Value.size(); ++I)
            if (!IsDigit(Value[I]))
                return -1;
    }
    const int Year = DigitsAt(Value, 0, 4), Month = DigitsAt(Value, 4, 2), Day = DigitsAt(Value, 6, 2);
    const int Hour = DigitsAt(Value, 8, 2), Minute = DigitsAt(Value, 10, 2), Second = DigitsAt(Value, 12, 2);
    static const int MonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Month < 1 || Month > 12 || Day < 1 || Day > MonthDays[Month - 1] || Hour > 23 || Minute > 59 ||
        Second > 60)
        return -1;
    const bool Leap = (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
    if (Month == 2 && Day == 29 && !Leap)
        return -1;
    // A leap second counts as the last second of its minute.
    const int Sec = Second == 60 ? 59 : Second;
    return DaysFromCivil(Year, static_cast<unsigned>(Month), static_cast<unsigned>(Day)) * 86400 + Hour * 3600 +
           Minute * 60 + Sec;
}

std::string_view MlsdFact(std::string_view Facts, std::string_view Name)
{
    std::size_t Pos = 0;
    while (Pos < Facts.size()) {
        std::size_t End = Facts.find(';', Pos);
        if (End == std::string_view::npos)
            End = Facts.size();
        const std::string_view Fact = Facts.substr(Pos, End - Pos);
        Pos = End + 1;
        const std::size_t Eq = Fact.find('=');
        if (Eq != std::string_view::npos && EqualsNoCase(Fact.substr(0, Eq), Name))
            return Fact.substr(Eq + 1);
    }
    return {};
}

void TIpFtpFileInfo::ParseMlsdLine(std::string_view Line)
{
    // The facts end at the first "; "; a line that begins with a blank has
    // none. A fact value cannot hold ";", so the name is what follows.
    std::string_view Facts;
    std::string_view Name;
    if (!Line.empty() && Line.front() == ' ') {
        Name = Line.substr(1);
    } else {
        const std::size_t Split = Line.find("; ");
        if (Split == std::string_view::npos)
            return;
        Facts = Line.substr(0, Split + 1);
        Name = Line.substr(Split + 2);
    }
    if (Name.empty())
        return;

    bool Typed = false;
    bool Skip = false;
    bool HaveSize = false;
    std::string_view OwnerFact, Uid, GroupFact, Gid;
    std::size_t Pos = 0;
    while (Pos < Facts.size()) {
        std::size_t End = Facts.find(';', Pos);
        if (End == std::string_view::npos)
            End = Facts.size();
        const std::string_view Fact = Facts.substr(Pos, End - Pos);
        Pos = End + 1;
        const std::size_t Eq = Fact.find('=');
        if (Eq == std::string_view::npos)
            continue;
        const std::string_view Key = Fact.substr(0, Eq);
        const std::string_view Value = Fact.substr(Eq + 1);
        int64_t Number = 0;
        if (EqualsNoCase(Key, "type")) {
            // A fact is sent once; should a server repeat the kind, the
            // first one counts, so a link's target never ends up on a file.
            if (Typed)
                continue;
            Typed = true;
            if (EqualsNoCase(Value, "file")) {
                FileKind = fkFile;
            } else if (EqualsNoCase(Value, "dir")) {
                FileKind = fkDirectory;
            } else if (EqualsNoCase(Value, "cdir") || EqualsNoCase(Value, "pdir")) {
                Skip = true;
            } else if (StartsNoCase(Value, "OS.unix=slink") || StartsNoCase(Value, "OS.unix=symlink") ||
                       EqualsNoCase(Value, "OS.unix=link") || EqualsNoCase(Value, "link")) {
                // "OS.unix=slink:/target" names its target.
                FileKind = fkLink;
                const std::size_t Colon = Value.find(':');
                if (Colon != std::string_view::npos)
                    LinkPath.assign(Value.substr(Colon + 1));
            } else {
                // Devices, sockets and kinds not known here: nothing a user
                // can open or fetch.
                Skip = true;
            }
        } else if (EqualsNoCase(Key, "size") && ReadDecimal(Value, Number)) {
            Size = Number;
            HaveSize = true;
        } else if (EqualsNoCase(Key, "sizd") && !HaveSize && ReadDecimal(Value, Number)) {
            Size = Number;
        } else if (EqualsNoCase(Key, "modify")) {
            TimeStamp.assign(Value);
            ModifyTime = MlsdTimeValue(Value);
        } else if (EqualsNoCase(Key, "perm")) {
            PermFacts.assign(Value);
        } else if (EqualsNoCase(Key, "unix.mode")) {
            // Python's octal notation ("0o751") comes from pyftpdlib.
            std::string_view Digits = Value;
            if (StartsNoCase(Digits, "0o"))
                Digits.remove_prefix(2);
            int Mode = 0;
            bool Octal = !Digits.empty() && Digits.size() <= 6;
            for (std::size_t I = 0; Octal && I < Digits.size(); ++I) {
                Octal = Digits[I] >= '0' && Digits[I] <= '7';
                Mode = Mode * 8 + (Digits[I] - '0');
            }
            if (Octal && Mode <= 07777) {
                UnixMode = Mode;
                OwnerPerms = PermsFromOctal((Mode >> 6) & 7);
                GroupPerms = PermsFromOctal((Mode >> 3) & 7);
                OtherPerms = PermsFromOctal(Mode & 7);
            }
        } else if (EqualsNoCase(Key, "unix.owner") || EqualsNoCase(Key, "unix.ownername")) {
            OwnerFact = Value;
        } else if (EqualsNoCase(Key, "unix.uid")) {
            Uid = Value;
        } else if (EqualsNoCase(Key, "unix.group") || EqualsNoCase(Key, "unix.groupname")) {
            GroupFact = Value;
        } else if (EqualsNoCase(Key, "unix.gid")) {
            Gid = Value;
        }
    }
    if (Skip) {
        FileKind = fkUnknown;
        return;
    }
    // A server that leaves out the kind still lists a name the user may
    // want; a file is what can be tried.
    if (!Typed)
        FileKind = fkFile;
    if (!OwnerFact.empty() || !Uid.empty())
        Owner.assign(OwnerFact.empty() ? Uid : OwnerFact);
    if (!GroupFact.empty() || !Gid.empty())
        Group.assign(GroupFact.empty() ? Gid : GroupFact);
    if (UnixMode < 0 && !PermFacts.empty()) {
        // Without the mode bits, what the user may do is the best there is.
        TIpFtpPermissions P;
        for (char C : PermFacts) {
            const char L = AsciiLower(C);
            if (L == 'r' || L == 'l')
                P.Include(prRead);
            else if (L == 'w' || L == 'a' || L == 'c' || L == 'm' || L == 'p')
                P.Include(prWrite);
            else if (L == 'e')
                P.Include(prExecute);
        }
        OwnerPerms = P;
    }
    FileName.assign(Name);
}

TIpFtpDirStyle GuessListingStyle(std::string_view Listing)
{
    std::size_t Start = 0;
    while (Start < Listing.size()) {
        std::size_t End = Listing.find('\n', Start);
        if (End == std::string_view::npos)
            End = Listing.size();
        std::string_view Line = Listing.substr(Start, End - Start);
        Start = End + 1;
        while (!Line.empty() && (Line.back() == '\r' || Line.back() == ' '))
            Line.remove_suffix(1);
        while (!Line.empty() && Line.front() == ' ')
            Line.remove_prefix(1);
        // "total 12" heads Unix listings and says nothing about the style.
        if (Line.empty() || Line.compare(0, 6, "total ") == 0)
            continue;
        if (LooksLikeUnixMode(Line))
            return dsUnix;
        if (LooksLikeDosDate(Line))
            return dsDos;
        // "type=file;size=3; name": a fact before the first "; ".
        const std::size_t Split = Line.find("; ");
        const std::size_t Eq = Line.find('=');
        if (Split != std::string_view::npos && Eq != std::string_view::npos && Eq < Split)
            return dsMlsd;
        return dsNone;
    }
    return dsNone;
}
