// Listing parser: the token splitter, each listing style's columns, the
// list's keep/drop rules, the application parse handler, and this build's
// departures (64-bit sizes, LF line ends).

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "ftp/IpFtpList.h"

namespace {

using Strings = std::vector<std::string>;

TIpFtpFileInfo ParseLine(std::string_view Line, TIpFtpDirStyle Style)
{
    return TIpFtpFileInfo(Line, {}, Style);
}

Strings Names(const TIpFtpFileList &List)
{
    Strings R;
    for (std::size_t I = 0; I < List.Count(); ++I)
        R.push_back(List.Items(I)->FileName);
    return R;
}

TIpFtpPermissions Perms(std::initializer_list<TIpFtpPermission> P)
{
    return TIpFtpPermissions(P);
}

const TIpFtpPermissions RWX = Perms({prRead, prWrite, prExecute});
const TIpFtpPermissions RX = Perms({prRead, prExecute});
const TIpFtpPermissions None = Perms({});

} // namespace

// ---------------------------------------------------------------------------
// SplitTokens

TEST(SplitTokens, SingleByteDelimiterSkipsRunsAndTrimsControlBytes)
{
    EXPECT_EQ(SplitTokens("a b  c", " "), (Strings{"a", "b", "c"}));
    EXPECT_EQ(SplitTokens("  lead and trail  ", " "), (Strings{"lead", "and", "trail"}));
    // A piece of only control bytes is kept as an empty string.
    EXPECT_EQ(SplitTokens("a \t b", " "), (Strings{"a", "", "b"}));
    // Tabs do not separate tokens; they are trimmed from the ends of one.
    EXPECT_EQ(SplitTokens("a\tb \tc\t", " "), (Strings{"a\tb", "c"}));
    EXPECT_EQ(SplitTokens("", " "), Strings{});
    EXPECT_EQ(SplitTokens("   ", " "), Strings{});
    EXPECT_EQ(SplitTokens("   ", ","), (Strings{""}));
    EXPECT_EQ(SplitTokens("(RWED,RWED,,)", ","), (Strings{"(RWED", "RWED", ")"}));
}

TEST(SplitTokens, TrimsBytesUpToBlankOnlyAndTreatsHighBytesAsText)
{
    const std::string Text("\0\x01\x1f x\x7f\xff \x20", 9);
    EXPECT_EQ(SplitTokens(Text, ","), (Strings{"x\x7f\xff"}));
}

TEST(SplitTokens, CrLfDelimiterResumesAtTheLineFeed)
{
    EXPECT_EQ(SplitTokens("one\r\ntwo", "\r\n"), (Strings{"one", "two"}));
    // A blank line gives an empty piece, and so does a final CR LF.
    EXPECT_EQ(SplitTokens("one\r\n\r\ntwo\r\n", "\r\n"), (Strings{"one", "", "two", ""}));
    // Without any CR LF the whole text is one piece.
    EXPECT_EQ(SplitTokens("one\ntwo\n", "\r\n"), (Strings{"one\ntwo"}));
    // The scan resumes one byte after the match, not after the delimiter.
    EXPECT_EQ(SplitTokens("aXYbXY", "XY"), (Strings{"a", "Yb", "Y"}));
    EXPECT_EQ(SplitTokens(" whole text ", ""), (Strings{"whole text"}));
}

TEST(SplitTokens, TokenListAgreesWithSplitterOnRandomLines)
{
    // The parsers walk lines with TIpTokenList; it must cut exactly where the
    // general splitter does, also past the tokens it keeps.
    const char Alphabet[] = {' ', ' ', ' ', 'a', 'b', '\t', '\0', '\xff', '-', '>', '\r'};
    std::mt19937 Rng(7);
    for (int Round = 0; Round < 3000; ++Round) {
        std::string Line(Rng() % 120, ' ');
        for (char &C : Line)
            C = Alphabet[Rng() % sizeof Alphabet];
        if (Round % 5 == 0)
            Line += " a -> b";
        const Strings Want = SplitTokens(Line, " ");
        const TIpTokenList Tokens(Line);
        ASSERT_EQ(Tokens.Count(), Want.size()) << "round " << Round;
        for (std::size_t I = 0; I < Want.size(); ++I)
            ASSERT_EQ(Tokens[I], Want[I]) << "round " << Round << " token " << I;
        EXPECT_TRUE(Tokens[Want.size()].empty());

        const std::size_t From = Rng() % 14;
        std::string Joined, Stopped;
        bool Stop = false;
        for (std::size_t I = From; I < Want.size(); ++I) {
            const std::string Sep = I == From ? "" : " ";
            Joined += Sep + Want[I];
            Stop = Stop || Want[I] == "->";
            if (!Stop)
                Stopped += Sep + Want[I];
        }
        std::string Out = "stale";
        Tokens.Join(From, Out);
        ASSERT_EQ(Out, Joined) << "round " << Round;
        Tokens.Join(From, Out, "->");
        ASSERT_EQ(Out, Stopped) << "round " << Round;
    }
}

// ---------------------------------------------------------------------------
// Unix style

TEST(UnixListing, LongListingLineFillsEveryColumn)
{
    const auto E = ParseLine("drwxr-xr-x 2 web www 4096 Jan 15 10:30 My Files", dsUnix);
    EXPECT_EQ(E.FileKind, fkDirectory);
    EXPECT_EQ(E.FileName, "My Files");
    EXPECT_EQ(E.Owner, "web");
    EXPECT_EQ(E.Group, "www");
    EXPECT_EQ(E.Size, 4096);
    EXPECT_EQ(E.TimeStamp, "Jan 15 10:30");
    EXPECT_EQ(E.OwnerPerms, RWX);
    EXPECT_EQ(E.GroupPerms, RX);
    EXPECT_EQ(E.OtherPerms, RX);
    EXPECT_TRUE(E.LinkPath.empty());

    const auto F = ParseLine("-rw-r-----   1 ftp  ftp   531  Apr  8  1994   two   blanks", dsUnix);
    EXPECT_EQ(F.FileKind, fkFile);
    EXPECT_EQ(F.FileName, "  two   blanks");
    EXPECT_EQ(F.TimeStamp, "Apr 8 1994");
    EXPECT_EQ(F.OwnerPerms, Perms({prRead, prWrite}));
    EXPECT_EQ(F.GroupPerms, Perms({prRead}));
    EXPECT_EQ(F.OtherPerms, None);
}

TEST(UnixListing, KindComesFromTheFirstByteOfTheMode)
{
    EXPECT_EQ(ParseLine("DRWXR-XR-X 2 a b 1 Jan 1 2020 up", dsUnix).FileKind, fkDirectory);
    EXPECT_EQ(ParseLine("Lrwxrwxrwx 1 a b 1 Jan 1 2020 up", dsUnix).FileKind, fkLink);
    for (const char *Line : {"crw-r--r-- 1 a b 1 Jan 1 2020 dev", "prw-r--r-- 1 a b 1 Jan 1 2020 fifo",
                             "total 12", "Gesamt 12"})
        EXPECT_EQ(ParseLine(Line, dsUnix).FileKind, fkUnknown) << Line;
}

// The name is every byte after the blank ending the time column; a link's " -> target" goes to LinkPath.
TEST(UnixListing, NamesAreTheListedBytesExactly)
{
    struct TCase { const char *Tail; char Type; const char *Name, *Target; };
    const TCase Cases[] = {
        {"two  blanks.txt", '-', "two  blanks.txt", ""}, {" leading.txt", '-', " leading.txt", ""},
        {"trailing.txt ", '-', "trailing.txt ", ""}, {"a -> b", '-', "a -> b", ""}, {"-> x", '-', "-> x", ""},
        {"a->b", 'l', "a->b", ""}, {".htaccess", '-', ".htaccess", ""}, {"semi;colon=eq", 'd', "semi;colon=eq", ""},
        {"f\xc3\xafl\xc3\xa9 \xe2\x82\xac", '-', "f\xc3\xafl\xc3\xa9 \xe2\x82\xac", ""},
        {"my link -> usr/bin", 'l', "my link", "usr/bin"}, {" two  -> ../a b ", 'l', " two ", "../a b "},
    };
    for (const auto &C : Cases) {
        for (const char *Date : {"Jan 25 00:17 ", "Mar  8  2009 "}) {
            const std::string Line = std::string(1, C.Type) + "rwxr-xr-x 1 root root 7 " + Date + C.Tail;
            const auto E = ParseLine(Line, dsUnix);
            EXPECT_EQ(std::make_tuple(E.FileName, E.LinkPath, E.FileKind),
                      std::make_tuple(std::string(C.Name), std::string(C.Target),
                                      C.Type == 'l' ? fkLink : C.Type == 'd' ? fkDirectory : fkFile))
                << Line;
        }
    }
}

TEST(DosListing, NamesAreTheListedBytesExactly)
{
    const std::pair<const char *, const char *> Cases[] = {
        {"01-06-09  02:42PM                  458 two  blanks.txt", "two  blanks.txt"},
        {"01-06-09  02:42PM                  458  leading.txt ", " leading.txt "},
        {"12-03-96  06:38       <DIR>           10 years  on", "10 years  on"},
        {"12-03-96  06:38AM       <DIR>          .git", ".git"},
        {"2002-09-02  19:06       <DIR> short pad", "short pad"}, {"143712  x", " x"},
    };
    for (const auto &[Line, Name] : Cases)
        EXPECT_EQ(ParseLine(Line, dsDos).FileName, Name) << Line;
}

TEST(UnixListing, SpecialModeLettersAndShortModesGrantNothingExtra)
{
    const auto E = ParseLine("-rwsr-Sr-t 1 a b 1 Jan 1 2020 f", dsUnix);
    EXPECT_EQ(E.OwnerPerms, Perms({prRead, prWrite}));
    EXPECT_EQ(E.GroupPerms, Perms({prRead}));
    EXPECT_EQ(E.OtherPerms, Perms({prRead}));
    const auto S = ParseLine("-rw 1 a b 1 Jan 1 2020 f", dsUnix);
    EXPECT_EQ(S.OwnerPerms, Perms({prRead, prWrite}));
    EXPECT_EQ(S.GroupPerms, None);
    EXPECT_EQ(S.OtherPerms, None);
    EXPECT_EQ(PermissionsOctalDigit(RWX), 7);
    EXPECT_EQ(PermissionsOctalDigit(Perms({prRead, prWrite})), 6);
    EXPECT_EQ(PermissionsOctalDigit(Perms({prExecute})), 1);
}

TEST(UnixListing, MissingColumnsKeepDefaults)
{
    // No group column: eight tokens leave no name.
    const auto NoGroup = ParseLine("dr-xr-xr-x 2 root 512 Apr 8 1994 etc", dsUnix);
    EXPECT_EQ(NoGroup.FileName, "");
    EXPECT_EQ(NoGroup.Group, "512");
    EXPECT_EQ(NoGroup.Size, 0); // "Apr"

    const auto Short = ParseLine("drwx 2", dsUnix);
    EXPECT_EQ(Short.FileKind, fkDirectory);
    EXPECT_EQ(Short.Owner, "Unknown");
    EXPECT_EQ(Short.Group, "Unknown");
    EXPECT_EQ(Short.Size, 0);
    EXPECT_EQ(Short.TimeStamp, "");

    // Seven tokens: owner to size, but no complete time stamp.
    const auto Seven = ParseLine("-rw------- 1 me us 9 Jan 1", dsUnix);
    EXPECT_EQ(Seven.Size, 9);
    EXPECT_EQ(Seven.TimeStamp, "");
}

TEST(UnixListing, SizeIsSixtyFourBitAndNeverNegative)
{
    EXPECT_EQ(ParseLine("-rw-r--r-- 1 ftp ftp 17577705968 Mar 08 2009 big.mkv", dsUnix).Size, 17577705968LL);
    EXPECT_EQ(ParseLine("-rw-r--r-- 1 ftp ftp 9223372036854775807 Mar 08 2009 f", dsUnix).Size,
              9223372036854775807LL);
    for (const char *Size : {"9223372036854775808", "18446744073709551615", "-5", "+5", "1,234", "33.5k", "0x10"}) {
        const auto E = ParseLine(std::string("-rw-r--r-- 1 a b ") + Size + " Jan 1 2020 f", dsUnix);
        EXPECT_EQ(E.Size, 0) << Size;
        EXPECT_EQ(E.FileKind, fkFile) << Size;
    }
}

// ---------------------------------------------------------------------------
// DOS style

TEST(DosListing, FolderAndFileLines)
{
    const auto D = ParseLine("12-03-96  06:38AM       <dir>          123 abc  xyz", dsDos);
    EXPECT_EQ(D.FileKind, fkDirectory);
    EXPECT_EQ(D.Size, 0);
    EXPECT_EQ(D.TimeStamp, "12-03-96 06:38AM");
    EXPECT_EQ(D.FileName, "123 abc  xyz");
    EXPECT_EQ(D.Owner, "Unknown");
    EXPECT_EQ(D.OwnerPerms, None);

    const auto F = ParseLine("01-06-09  02:42PM                  458 Readme.txt", dsDos);
    EXPECT_EQ(F.FileKind, fkFile);
    EXPECT_EQ(F.Size, 458);
    EXPECT_EQ(F.TimeStamp, "01-06-09 02:42PM");
    EXPECT_EQ(F.FileName, "Readme.txt");
}

TEST(DosListing, LinesWithoutAUsableSizeOrNameYieldNothing)
{
    for (const char *Line : {"2002-09-02  19:06                9,730 grouped", "11-02-09  05:32PM   -1   NT",
                             "11-02-09  05:32PM       <GARBAGE>      NT", "12-07-10  12:05AM       <DIR>    ",
                             "garbage", "a b c"})
        EXPECT_EQ(ParseLine(Line, dsDos).FileKind, fkUnknown) << Line;
}

TEST(DosListing, TwoTokensAreSizeAndName)
{
    const auto F = ParseLine("143712 $LDR$", dsDos);
    EXPECT_EQ(F.FileKind, fkFile);
    EXPECT_EQ(F.Size, 143712);
    EXPECT_EQ(F.FileName, "$LDR$");
    EXPECT_EQ(F.TimeStamp, "");
    EXPECT_EQ(ParseLine("name 12", dsDos).FileKind, fkUnknown);
}

TEST(DosListing, SizesBeyondThirtyTwoBitsAreKept)
{
    const auto F = ParseLine("05-22-97  12:08AM                  5000000000 10 years and under", dsDos);
    EXPECT_EQ(F.FileKind, fkFile);
    EXPECT_EQ(F.Size, 5000000000LL);
    EXPECT_EQ(F.FileName, "10 years and under");
    EXPECT_EQ(ParseLine("01-01-20 00:00 2147483648 x", dsDos).Size, 2147483648LL);
    EXPECT_EQ(ParseLine("01-01-20 00:00 99999999999999999999 x", dsDos).FileKind, fkUnknown);
}

// ---------------------------------------------------------------------------
// MultiNet and VMS styles

TEST(MultiNetListing, NameKindAndColumns)
{
    const auto F = ParseLine("FOO.TXT;3  17-NOV-2008 23:26  12  (RWED,RWE,RE,R)", dsMultiNet);
    EXPECT_EQ(F.FileKind, fkFile);
    EXPECT_EQ(F.FileName, "FOO.TXT");
    EXPECT_EQ(F.TimeStamp, "17-NOV-2008 23:26");
    EXPECT_EQ(F.Size, 12);
    EXPECT_EQ(F.OwnerPerms, RWX); // second piece
    EXPECT_EQ(F.GroupPerms, RX);  // third piece
    EXPECT_EQ(F.OtherPerms, None);

    const auto D = ParseLine("SUBDIR.DIR;1", dsMultiNet);
    EXPECT_EQ(D.FileKind, fkDirectory);
    EXPECT_EQ(D.FileName, "SUBDIR");
    EXPECT_EQ(ParseLine("rexx.dir;1 1", dsMultiNet).FileName, "rexx");

    const auto H = ParseLine("EISNER$DRA3:[DECUSERVE_USER.JOHNDOE]", dsMultiNet);
    EXPECT_EQ(H.FileKind, fkUnknown);
    EXPECT_EQ(H.FileName, "");
    EXPECT_EQ(ParseLine("Total of 43 blocks in 8 files.", dsMultiNet).FileKind, fkUnknown);
}

TEST(VmsListing, BlocksOwnerAndProtection)
{
    const auto F = ParseLine("CII-MANUAL.TEX;1  12/15  29-JAN-1996 03:33:12  [ANONYMOU,ANONYMOUS]   "
                             "(RWED,RWED,RE,)",
                             dsVms);
    EXPECT_EQ(F.FileKind, fkFile);
    EXPECT_EQ(F.FileName, "CII-MANUAL.TEX");
    EXPECT_EQ(F.Size, 6144);
    EXPECT_EQ(F.TimeStamp, "29-JAN-1996 03:33:12");
    EXPECT_EQ(F.Owner, "[ANONYMOU");
    EXPECT_EQ(F.Group, "ANONYMOUS]");
    EXPECT_EQ(F.OwnerPerms, RWX);
    EXPECT_EQ(F.GroupPerms, RWX);
    EXPECT_EQ(F.OtherPerms, RX);

    // Empty protection pieces are skipped, so fewer sets are filled.
    const auto G = ParseLine("A.B;1 1/1 1-JAN-2000 00:00 [SYSTEM] (RWED,RWED,,)", dsVms);
    EXPECT_EQ(G.Owner, "[SYSTEM]");
    EXPECT_EQ(G.Group, "Unknown");
    EXPECT_EQ(G.OwnerPerms, RWX);
    EXPECT_EQ(G.GroupPerms, RWX);
    EXPECT_EQ(G.OtherPerms, None);

    const auto D = ParseLine("DATA.DIR;1 1/9 2-JUN-1998 07:32:04 [GROUP,OWNER] (RWE,RWE,RE,RE)", dsVms);
    EXPECT_EQ(D.FileKind, fkDirectory);
    EXPECT_EQ(D.FileName, "DATA");
    EXPECT_EQ(D.Size, 512);
}

TEST(VmsListing, UnusableBlockCountsGiveZero)
{
    for (const char *Blocks : {"155", "******", "a/9", "/9", "36028797018963968/1", "99999999999999999999/1"})
        EXPECT_EQ(ParseLine(std::string("F.TXT;1 ") + Blocks + " 1-JAN-2000 00:00", dsVms).Size, 0) << Blocks;
    EXPECT_EQ(ParseLine("F.TXT;1 18014398509481983/1", dsVms).Size, 18014398509481983LL * 512);
    for (const char *Line : {"USER1:[TEMP]", "Directory USER1:[TEMP]", "Total of 11 files, 17 blocks."})
        EXPECT_EQ(ParseLine(Line, dsVms).FileKind, fkUnknown) << Line;
}

// ---------------------------------------------------------------------------
// The list

TEST(FileList, KeepsEveryNamedEntryButTheFolderAndItsParent)
{
    TIpFtpFileList List;
    const std::string Listing = "total 12\r\n"
                                "drwxr-xr-x 3 ftp ftp 4096 May 15 18:11 .\r\n"
                                "drwxr-xr-x 3 ftp ftp 4096 May 15 18:11 ..\r\n"
                                "-rw-r--r-- 1 ftp ftp 528 Nov 01 2007 .message\r\n"
                                "dr-xr-xr-x 2 root 512 Apr 8 1994 etc\r\n"
                                "\r\n"
                                "-rw-r--r-- 1 ftp ftp 528 Nov 01 2007 README\r\n"
                                "drwxr-xr-x 2 ftp ftp 512 Nov 01 2007 pub\r\n";
    EXPECT_TRUE(List.ParseListing(Listing, dsUnix));
    EXPECT_EQ(Names(List), (Strings{".message", "README", "pub"}));
    EXPECT_EQ(List.Items(2)->FileKind, fkDirectory);

    // With no style every non-blank line is an entry named by its bytes.
    EXPECT_TRUE(List.ParseListing(" total 12 \r\n\t.hidden\r\nREADME\r\n \r\n.\r\npub dir\r\n", dsNone));
    EXPECT_EQ(Names(List), (Strings{" total 12 ", "\t.hidden", "README", "pub dir"}));
    EXPECT_EQ(List.Items(0)->FileKind, fkUnknown);

    // dsUser without a handler keeps the line as the name but has no kind.
    EXPECT_FALSE(List.ParseListing("README\r\n", dsUser));
    EXPECT_EQ(List.Count(), 0u);
}

TEST(FileList, EachParseReplacesTheEntriesAndEmptyListingsGiveFalse)
{
    TIpFtpFileList List;
    std::string Big;
    Strings Want;
    for (int I = 0; I < 1300; ++I) { // spans several storage blocks
        Want.push_back("f" + std::to_string(I));
        Big += "-rw-r--r-- 1 a b " + std::to_string(I) + " Jan 1 2020 " + Want.back() + "\n";
    }
    ASSERT_TRUE(List.ParseListing(Big, dsUnix));
    EXPECT_EQ(Names(List), Want);
    EXPECT_EQ(List.Items(1299)->Size, 1299);
    EXPECT_EQ((*List[700]).FileName, "f700");

    EXPECT_TRUE(List.ParseListing("x\r\n", dsNone));
    EXPECT_EQ(Names(List), (Strings{"x"}));
    EXPECT_FALSE(List.ParseListing("", dsUnix));
    EXPECT_EQ(List.Count(), 0u);
    EXPECT_FALSE(List.ParseListing("\r\n\r\n", dsNone));
    EXPECT_THROW(List.Items(0), std::out_of_range);
}

TEST(FileList, LineFeedOnlyListingsGiveOneEntryPerLine)
{
    TIpFtpFileList List;
    EXPECT_TRUE(List.ParseListing("total 2\n-rw-r--r-- 1 a b 1 Jan 1 2020 one\n"
                                  "-rw-r--r-- 1 a b 2 Jan 1 2020 two\r\n"
                                  "-rw-r--r-- 1 a b 3 Jan 1 2020 three",
                                  dsUnix));
    EXPECT_EQ(Names(List), (Strings{"one", "two", "three"}));
    EXPECT_EQ(List.Items(2)->Size, 3);
    // Only the one CR before a LF belongs to the line end.
    EXPECT_TRUE(List.ParseListing("a\r\r\nb\rc\n", dsNone));
    EXPECT_EQ(Names(List), (Strings{"a", "b\rc"}));
}

// ---------------------------------------------------------------------------
// The application parse handler

TEST(ParseHandler, FillsEntriesAndDecidesWhatIsKept)
{
    TIpFtpFileList List;
    Strings Seen;
    int SameObject = 0;
    TIpUserParseStyleEvent Handler = [&](TObject *Sender, const std::string &Info, TIpFtpFileInfo *Entry) {
        Seen.push_back(Info);
        SameObject += Sender == Entry;
        if (Info.rfind("L ", 0) == 0) {
            Entry->FileKind = fkLink;
            Entry->FileName = Info.substr(2);
            Entry->LinkPath = "/target";
        } else if (Info.rfind("F ", 0) == 0) {
            Entry->FileKind = fkFile;
            Entry->FileName = Info.substr(2);
        } else if (Info == "named but unknown") {
            Entry->FileName = Info;
        }
    };
    EXPECT_TRUE(List.ParseListing("  L alias \r\nF .hidden\nnamed but unknown\r\nF plain\n", dsUser, Handler));
    EXPECT_EQ(Seen, (Strings{"L alias", "F .hidden", "named but unknown", "F plain"}));
    EXPECT_EQ(SameObject, 4);
    EXPECT_EQ(Names(List), (Strings{"alias", ".hidden", "plain"}));
    EXPECT_EQ(List.Items(0)->FileKind, fkLink);
    EXPECT_EQ(List.Items(0)->LinkPath, "/target");

    // A handler takes precedence over the built-in style.
    EXPECT_TRUE(List.ParseListing("F -rw-r--r-- 1 a b 1 Jan 1 2020 x\n", dsUnix, Handler));
    EXPECT_EQ(Names(List), (Strings{"-rw-r--r-- 1 a b 1 Jan 1 2020 x"}));
    EXPECT_EQ(List.Items(0)->Owner, "Unknown");

    // One that never sets a kind adds nothing.
    EXPECT_FALSE(List.ParseListing("a\nb\n", dsUser,
                                   [](TObject *, const std::string &Info, TIpFtpFileInfo *E) { E->FileName = Info; }));
    EXPECT_EQ(List.Count(), 0u);
}

TEST(ParseHandler, ExceptionsLeaveTheParse)
{
    TIpFtpFileList List;
    auto Throwing = [](TObject *, const std::string &Info, TIpFtpFileInfo *E) {
        if (Info == "bad")
            throw std::runtime_error("handler refused");
        E->FileKind = fkFile;
        E->FileName = Info;
    };
    EXPECT_THROW(List.ParseListing("good\nbad\nlater\n", dsUser, Throwing), std::runtime_error);
    EXPECT_EQ(Names(List), (Strings{"good"}));
    EXPECT_TRUE(List.ParseListing("fine\n", dsUser, Throwing));
    EXPECT_EQ(Names(List), (Strings{"fine"}));
}
