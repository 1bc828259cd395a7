// MLSD lines and FEAT replies: each fact, the name rule, what is skipped, the feature set.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "ftp/IpFtpFeatures.h"
#include "ftp/IpFtpMlsd.h"

namespace {

TIpFtpFileInfo Mlsd(std::string_view Line)
{
    return TIpFtpFileInfo(Line, {}, dsMlsd);
}

} // namespace

TEST(MlsdLine, FactsFillTheEntry)
{
    struct TCase { const char *Line; TIpFtpFileKind Kind; int64_t Size, Modify; int Mode; const char *Owner, *Group, *Link; };
    const TCase Cases[] = {
        {"type=file;size=1234;modify=20240115103000;unix.mode=0644;unix.owner=web;unix.group=www; a",
         fkFile, 1234, 1705314600, 0644, "web", "www", ""},
        {"Type=DIR;Sizd=4096;Modify=19700101000001.123;UNIX.mode=755;unix.uid=1000;unix.gid=100; a",
         fkDirectory, 4096, 1, 0755, "1000", "100", ""},
        {"type=OS.unix=slink:/usr/bin;unix.mode=0777; a", fkLink, 0, -1, 0777, "Unknown", "Unknown", "/usr/bin"},
        {"type=OS.unix=symlink;unix.mode=0o751; a", fkLink, 0, -1, 0751, "Unknown", "Unknown", ""},
        // Unknown facts, bad values and a missing kind: ignored, defaults kept.
        {"x.y=1;size=-5;modify=20241301000000;unix.mode=0999;unique=ab; a", fkFile, 0, -1, -1, "Unknown", "Unknown", ""},
        {"size=9;modify=20240229235960; a", fkFile, 9, 1709251199, -1, "Unknown", "Unknown", ""},
        {"modify=20230229000000;unix.mode=012345670; a", fkFile, 0, -1, -1, "Unknown", "Unknown", ""},
    };
    for (const auto &C : Cases) {
        const auto E = Mlsd(C.Line);
        EXPECT_EQ(std::make_tuple(E.FileName, E.FileKind, E.Size, E.ModifyTime, E.UnixMode, E.Owner, E.Group, E.LinkPath),
                  std::make_tuple(std::string("a"), C.Kind, C.Size, C.Modify, C.Mode, std::string(C.Owner),
                                  std::string(C.Group), std::string(C.Link)))
            << C.Line;
    }
    const auto M = Mlsd("type=file;unix.mode=0750;perm=r; f");
    EXPECT_EQ(std::make_tuple(PermissionsOctalDigit(M.OwnerPerms), PermissionsOctalDigit(M.GroupPerms),
                              PermissionsOctalDigit(M.OtherPerms), M.PermFacts),
              std::make_tuple(7, 5, 0, std::string("r")));
    // Without the mode bits the perm fact says what the user may do.
    EXPECT_EQ(Mlsd("type=dir;perm=elc; d").OwnerPerms, TIpFtpPermissions({prRead, prWrite, prExecute}));
    EXPECT_EQ(Mlsd("type=file;perm=r; f").OwnerPerms, TIpFtpPermissions({prRead}));
}

TEST(MlsdLine, TheNameIsEverythingAfterTheFirstSemicolonBlank)
{
    const std::pair<const char *, const char *> Cases[] = {
        {"type=file; two  blanks", "two  blanks"}, {"type=file;  leading and trailing ", " leading and trailing "},
        {"type=file; semi; colon=eq;x", "semi; colon=eq;x"}, {"type=file; a -> b", "a -> b"},
        {"type=file; .htaccess", ".htaccess"}, {"type=file; \xc3\xa4\xe2\x82\xac", "\xc3\xa4\xe2\x82\xac"},
        {" no facts", "no facts"},
    };
    for (const auto &[Line, Name] : Cases)
        EXPECT_EQ(Mlsd(Line).FileName, Name) << Line;

    TIpFtpFileList List;
    EXPECT_TRUE(List.ParseListing("type=cdir; /pub\r\ntype=pdir; ..\r\ntype=OS.unix=chr; tty\r\n"
                                  "type=file;size=3; kept \r\nno separator\r\ntype=file; \r\ntype=dir; .\r\n",
                                  dsMlsd));
    ASSERT_EQ(List.Count(), 1u);
    EXPECT_EQ(List.Items(0)->FileName, "kept ");
}

TEST(MlsdLine, ListingStyleIsGuessedFromTheFirstEntryLine)
{
    const std::pair<const char *, TIpFtpDirStyle> Cases[] = {{"type=file;size=1; a\r\n", dsMlsd},
        {"total 3\r\n-rw-r--r-- 1 a b 1 Jan 1 2020 f\r\n", dsUnix}, {"\r\n01-06-09  02:42PM  458 f\r\n", dsDos},
        {"README\r\n", dsNone}};
    for (const auto &[Listing, Style] : Cases)
        EXPECT_EQ(GuessListingStyle(Listing), Style) << Listing;
}

TEST(FeatReply, FeaturesAndMlstFacts)
{
    TIpFtpFeatures F;
    F.Parse(211, "211-Features:\r\n MDTM\r\n mlst Type*;Size*;modify*;UNIX.mode;\r\n REST STREAM\r\n"
                 "\tUTF8 \r\n211-SIZE\r\n\r\n");
    EXPECT_TRUE(F.Known() && F.Count() == 5u && F.Mdtm() && F.Mlst() && F.Utf8() && F.Size() && F.Has("rest"));
    EXPECT_FALSE(F.Has("TVFS") || F.Has("MLS"));
    EXPECT_EQ(F.Parameters("REST"), "STREAM");
    EXPECT_EQ(F.MlstFacts(), (std::vector<std::string>{"type", "size", "modify", "unix.mode"}));

    // Not a feature list: nothing is offered.
    for (int Code : {500, 502, 202, 0}) {
        F.Parse(Code, "500 MDTM\r\n UTF8\r\n");
        EXPECT_TRUE(!F.Known() && F.Count() == 0u) << Code;
    }
    F.Parse(211, "211 No features\r\n");
    EXPECT_TRUE(F.Known() && F.Count() == 0u);

    std::string Flood = "211-Features:\r\n " + std::string(5000, 'L') + "\r\n";
    for (int I = 0; I < 1000; ++I)
        Flood += " X" + std::to_string(I) + "\r\n";
    F.Parse(211, Flood);
    EXPECT_EQ(F.Count(), TIpFtpFeatures::MaxFeatures);
}
