// One MLSD line (TIpFtpFileInfo::ParseMlsdLine) and the time value of the
// modify fact.
//
// Input: the line, whole.
// Checks: a kept entry's name is exactly the bytes after the first "; " (or
// after a leading blank), never "." or ".." in a listing; sizes are never
// negative; a mode, when given, fits 07777 and agrees with the permission
// sets; only links carry a target; a modify time is -1 or the value of a
// valid date, and the time parser agrees with a slow field-by-field check;
// the same line parsed into a reused entry gives the same result.

#include <string>

#include "FuzzSupport.h"
#include "ftp/IpFtpMlsd.h"

namespace {

bool IsLeap(int Y)
{
    return (Y % 4 == 0 && Y % 100 != 0) || Y % 400 == 0;
}

// Seconds since 1970 by counting whole years and months: slow and obvious.
int64_t SlowTime(std::string_view V)
{
    if (V.size() < 14)
        return -1;
    for (size_t I = 0; I < V.size(); ++I) {
        const bool Digit = V[I] >= '0' && V[I] <= '9';
        if (I == 14 ? V[I] != '.' : !Digit)
            return -1;
    }
    if (V.size() == 15)
        return -1;
    auto Num = [&](size_t P, size_t N) { return std::stoi(std::string(V.substr(P, N))); };
    const int Y = Num(0, 4), Mo = Num(4, 2), D = Num(6, 2), H = Num(8, 2), Mi = Num(10, 2), S = Num(12, 2);
    const int Days[] = {31, IsLeap(Y) ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Mo < 1 || Mo > 12 || D < 1 || D > Days[Mo - 1] || H > 23 || Mi > 59 || S > 60)
        return -1;
    int64_t Total = 0;
    for (int Yr = 1970; Yr < Y; ++Yr)
        Total += IsLeap(Yr) ? 366 : 365;
    for (int Yr = Y; Yr < 1970; ++Yr)
        Total -= IsLeap(Yr) ? 366 : 365;
    for (int M = 1; M < Mo; ++M)
        Total += Days[M - 1];
    Total += D - 1;
    return Total * 86400 + H * 3600 + Mi * 60 + (S == 60 ? 59 : S);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    const std::string_view Line(reinterpret_cast<const char *>(Data), Size);
    TIpFtpFileInfo E;
    E.ParseMlsdLine(Line);

    if (E.FileKind != fkUnknown) {
        const size_t Split = Line.find("; ");
        const std::string_view Want = !Line.empty() && Line[0] == ' ' ? Line.substr(1) : Line.substr(Split + 2);
        FUZZ_CHECK(Split != std::string_view::npos || Line[0] == ' ', "entry from a line without facts");
        FUZZ_CHECK(E.FileName == Want, "name '%s' is not the line's tail", E.FileName.c_str());
        FUZZ_CHECK(!E.FileName.empty(), "entry without a name");
    } else {
        FUZZ_CHECK(E.FileName.empty(), "unknown kind with name '%s'", E.FileName.c_str());
    }
    FUZZ_CHECK(E.Size >= 0, "negative size %lld", (long long)E.Size);
    FUZZ_CHECK(E.LinkPath.empty() || E.FileKind == fkLink || E.FileKind == fkUnknown, "target on a non-link");
    FUZZ_CHECK(E.UnixMode >= -1 && E.UnixMode <= 07777, "mode %o", E.UnixMode);
    if (E.UnixMode >= 0) {
        FUZZ_CHECK(PermissionsOctalDigit(E.OwnerPerms) == ((E.UnixMode >> 6) & 7), "owner bits");
        FUZZ_CHECK(PermissionsOctalDigit(E.GroupPerms) == ((E.UnixMode >> 3) & 7), "group bits");
        FUZZ_CHECK(PermissionsOctalDigit(E.OtherPerms) == (E.UnixMode & 7), "other bits");
    }
    FUZZ_CHECK(E.ModifyTime == -1 || E.ModifyTime == SlowTime(E.TimeStamp), "modify %lld from '%s'",
               (long long)E.ModifyTime, E.TimeStamp.c_str());
    FUZZ_CHECK(MlsdTimeValue(Line) == SlowTime(Line), "time value of the whole line");

    // The same line in a listing, after another one: no field of the first
    // may survive into the second.
    TIpFtpFileList List;
    const std::string Listing = "type=dir;size=7;unix.mode=0700;unix.owner=o;modify=20200101000000;perm=el; d\n" +
                                std::string(Line.substr(0, Line.find('\n')));
    List.ParseListing(Listing, dsMlsd);
    FUZZ_CHECK(List.Count() >= 1, "the fixed first line was dropped");
    if (List.Count() == 2 && Line.find('\n') == std::string_view::npos &&
        static_cast<unsigned char>(Line.back()) >= 32) {
        const TIpFtpFileInfo *R = List[1];
        FUZZ_CHECK(R->FileName == E.FileName && R->FileKind == E.FileKind && R->Size == E.Size &&
                       R->UnixMode == E.UnixMode && R->ModifyTime == E.ModifyTime && R->Owner == E.Owner &&
                       R->PermFacts == E.PermFacts && R->LinkPath == E.LinkPath,
                   "reused entry differs for '%s'", E.FileName.c_str());
    }
    for (size_t I = 0; I < List.Count(); ++I)
        FUZZ_CHECK(List[I]->FileName != "." && List[I]->FileName != "..", "dot entry kept");
    return 0;
}
