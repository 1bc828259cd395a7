// Directory listings as a server sends them, in every listing style
// (dsNone and dsUser included, with and without an application parser).
//
// Input: style byte, flag byte, then the listing text.
// Checks: no entry the parser keeps breaks the keep rules (name, kind,
// hidden names), sizes are never negative, permission digits stay 0..7,
// Count/Items agree, and the result does not depend on the list's history
// or on whether the lines come one by one or as a whole listing.

#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ftp/IpFtpList.h"

namespace {

struct TEntry
{
    std::string FileName, Group, LinkPath, Owner, TimeStamp, PermFacts;
    int Kind;
    int64_t Size, ModifyTime;
    int UnixMode;
    int Perms[3];
    bool operator==(const TEntry &) const = default;
};

std::vector<TEntry> Snapshot(const TIpFtpFileList &List)
{
    std::vector<TEntry> Out;
    for (size_t I = 0; I < List.Count(); ++I) {
        const TIpFtpFileInfo *E = List.Items(I);
        Out.push_back({E->FileName, E->Group, E->LinkPath, E->Owner, E->TimeStamp, E->PermFacts, E->FileKind, E->Size,
                       E->ModifyTime, E->UnixMode,
                       {E->OwnerPerms.Value(), E->GroupPerms.Value(), E->OtherPerms.Value()}});
    }
    return Out;
}

// An application parser: fills fields from the line in a way that depends
// only on the line, and raises for lines holding a 0x01 byte when asked to.
TIpUserParseStyleEvent MakeHandler(bool Throws)
{
    return [Throws](TObject *Sender, const std::string &Info, TIpFtpFileInfo *Entry) {
        FUZZ_CHECK(Sender == Entry, "handler's sender is not the entry");
        if (Throws && Info.find('\x01') != std::string::npos)
            throw std::runtime_error("parser refused the line");
        Entry->FileName = Info.size() > 1 ? Info.substr(1) : Info;
        Entry->FileKind = TIpFtpFileKind(Info.empty() ? fkUnknown : uint8_t(Info[0]) % 4);
        Entry->Size = int64_t(Info.size());
        Entry->LinkPath = Info.substr(0, Info.size() / 2);
    };
}

void CheckList(const TIpFtpFileList &List, bool Returned, bool Completed, TIpFtpDirStyle Style, bool BuiltIn,
               size_t ListingSize, size_t Lines)
{
    if (Completed)
        FUZZ_CHECK(Returned == (List.Count() > 0), "ParseListing result %d with %zu entries", Returned,
                   List.Count());
    FUZZ_CHECK(List.Count() <= Lines, "%zu entries from %zu lines", List.Count(), Lines);
    for (size_t I = 0; I < List.Count(); ++I) {
        const TIpFtpFileInfo *E = List.Items(I);
        FUZZ_CHECK(E != nullptr, "null entry %zu", I);
        FUZZ_CHECK(!E->FileName.empty() && E->FileName != "." && E->FileName != "..", "kept entry %zu with name '%s'", I,
                   E->FileName.c_str());
        FUZZ_CHECK(E->FileKind <= fkUnknown, "entry kind %d", int(E->FileKind));
        if (Style != dsNone)
            FUZZ_CHECK(E->FileKind != fkUnknown, "kept entry of unknown kind in style %d", int(Style));
        if (BuiltIn) {
            FUZZ_CHECK(E->Size >= 0, "negative size %lld for '%s'", (long long)E->Size, E->FileName.c_str());
            FUZZ_CHECK(E->FileName.size() <= ListingSize && E->TimeStamp.size() <= ListingSize &&
                           (E->Owner == "Unknown" || E->Owner.size() <= ListingSize) &&
                           (E->Group == "Unknown" || E->Group.size() <= ListingSize),
                       "entry text longer than the listing");
        }
        for (TIpFtpPermissions P : {E->OwnerPerms, E->GroupPerms, E->OtherPerms}) {
            FUZZ_CHECK(P.Value() < 8, "permission set value %d", P.Value());
            const int D = PermissionsOctalDigit(P);
            FUZZ_CHECK(D >= 0 && D <= 7, "octal digit %d", D);
        }
    }
    bool Threw = false;
    try {
        List.Items(List.Count());
    } catch (const std::out_of_range &) {
        Threw = true;
    }
    FUZZ_CHECK(Threw, "Items(Count()) did not raise out_of_range");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    TFuzzReader In(Data, Size);
    const TIpFtpDirStyle Style = TIpFtpDirStyle(In.Byte() % 8);
    const uint8_t Flags = In.Byte();
    const bool UseHandler = (Flags & 1) != 0;
    const bool Throws = (Flags & 2) != 0;
    const std::string Listing(In.Rest());

    size_t Lines = 1;
    for (char C : Listing)
        Lines += C == '\n';

    const TIpUserParseStyleEvent Handler = UseHandler ? MakeHandler(Throws) : TIpUserParseStyleEvent();

    TIpFtpFileList Fresh;
    bool Returned = false;
    bool Completed = true;
    try {
        Returned = Fresh.ParseListing(Listing, Style, Handler);
    } catch (const std::runtime_error &) {
        FUZZ_CHECK(UseHandler && Throws, "ParseListing raised without a raising handler");
        Completed = false;
    }
    CheckList(Fresh, Returned, Completed, Style, !UseHandler, Listing.size(), Lines);
    if (!Completed)
        return 0;
    const std::vector<TEntry> Expected = Snapshot(Fresh);

    // A list that held another listing before gives the same entries:
    // reused entry storage must not leak fields from the earlier lines.
    TIpFtpFileList Reused;
    std::string Other(Listing.rbegin(), Listing.rend());
    Other += "\ndrwxr-xr-x 2 owner group 4096 Jan 01 2020 folder\n"
             "-rw-r--r-- 1 o g 123 Jan 01 12:00 file -> target\n"
             "12-09-26  05:16AM       <DIR>          My Folder\n"
             "type=file;size=9;modify=20240102030405;unix.mode=0755;perm=rw; mlsd entry\n";
    try {
        Reused.ParseListing(Other, Style, Handler);
    } catch (const std::runtime_error &) {
    }
    Reused.ParseListing(Listing, Style, Handler);
    FUZZ_CHECK(Snapshot(Reused) == Expected, "reused list differs from a fresh one");

    // Line by line: every line is parsed on its own, so the entries must be
    // those of one-line listings, in order. The automatic style is chosen
    // once for a whole listing, so the lines get the style it chose.
    TIpFtpDirStyle LineStyle = Style;
    if (Style == dsAuto) {
        LineStyle = GuessListingStyle(Listing);
        if (LineStyle == dsNone)
            LineStyle = dsUnix;
    }
    std::vector<TEntry> ByLine;
    size_t Pos = 0;
    while (Pos < Listing.size()) {
        size_t End = Listing.find('\n', Pos);
        if (End == std::string::npos)
            End = Listing.size();
        TIpFtpFileList One;
        One.ParseListing(std::string_view(Listing).substr(Pos, End - Pos), LineStyle, Handler);
        FUZZ_CHECK(One.Count() <= 1, "one line gave %zu entries", One.Count());
        for (TEntry &E : Snapshot(One))
            ByLine.push_back(std::move(E));
        Pos = End + 1;
    }
    FUZZ_CHECK(ByLine == Expected, "line-by-line parse differs from the whole listing (%zu vs %zu entries)",
               ByLine.size(), Expected.size());
    return 0;
}
