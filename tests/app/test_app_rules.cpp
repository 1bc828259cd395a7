// The window's rules that need no widget.

#include <gtest/gtest.h>

#include "app/AppRules.h"
#include <utility>
#include "support/TestPaths.h"

TEST(RemoteFolderRule, RootStaysAndEverythingElseGetsOneSlash)
{
    EXPECT_EQ(RemoteFolderCaption("/"), "/");
    EXPECT_EQ(RemoteFolderCaption("/pub"), "/pub/");
    // The rule adds a slash whenever the text is not exactly "/".
    EXPECT_EQ(RemoteFolderCaption("/pub/"), "/pub//");
    EXPECT_EQ(RemoteFolderCaption(""), "/");
}

TEST(UploadNames, RemoteNameIsThePartAfterTheLastSlash)
{
    EXPECT_EQ(RemoteNameOfLocalPath("/home/ann/data/report.txt"), "report.txt");
    EXPECT_EQ(RemoteNameOfLocalPath("report.txt"), "report.txt");
    EXPECT_EQ(RemoteNameOfLocalPath("/tmp/a:b\\c.txt"), "a:b\\c.txt"); // valid Linux names stay whole
    EXPECT_EQ(RemoteNameOfLocalPath("/tmp/dir/"), "");
}

TEST(UploadNames, DefaultFolderJoinsWithExactlyOneSlash)
{
    EXPECT_EQ(JoinDefaultRemote("/", "f.txt"), "/f.txt");
    EXPECT_EQ(JoinDefaultRemote("/www", "f.txt"), "/www/f.txt");
    EXPECT_EQ(JoinDefaultRemote("/www/", "f.txt"), "/www/f.txt");
    EXPECT_EQ(JoinDefaultRemote("", "f.txt"), "/f.txt");
}

TEST(DownloadNames, LocalFolderAndNameJoin)
{
    EXPECT_EQ(JoinLocalPath("/", "a.bin"), "/a.bin");
    EXPECT_EQ(JoinLocalPath("/tmp", "a.bin"), "/tmp/a.bin");
    EXPECT_EQ(JoinLocalPath("/tmp/", "a.bin"), "/tmp/a.bin");
}

TEST(DownloadNames, NamesThatWouldLeaveTheChosenFolderAreUnsafe)
{
    EXPECT_TRUE(IsSafeLocalName("report.txt"));
    EXPECT_TRUE(IsSafeLocalName("..hidden-not"));
    EXPECT_TRUE(IsSafeLocalName("a\\b")); // a backslash is an ordinary byte here
    EXPECT_FALSE(IsSafeLocalName(""));
    EXPECT_FALSE(IsSafeLocalName("."));
    EXPECT_FALSE(IsSafeLocalName(".."));
    EXPECT_FALSE(IsSafeLocalName("../etc/passwd"));
    EXPECT_FALSE(IsSafeLocalName("/etc/passwd"));
    EXPECT_FALSE(IsSafeLocalName("sub/file"));
    EXPECT_FALSE(IsSafeLocalName(std::string("a\0b", 3)));
}

TEST(ListIcons, ExtensionIsFromTheLastDotUnlessASeparatorFollows)
{
    EXPECT_EQ(ItemExtension("readme.TXT"), ".TXT");
    EXPECT_EQ(ItemExtension("archive.tar.gz"), ".gz");
    EXPECT_EQ(ItemExtension("noext"), "");
    EXPECT_EQ(ItemExtension("dir.d\\file"), "");
    EXPECT_EQ(ItemExtension("c.d:stream"), "");
    EXPECT_EQ(ItemExtension("trailing."), ".");
}

TEST(RestartOffset, SixtyFourBitsAndNothingElse)
{
    EXPECT_EQ(ParseRestartOffset(""), 0);
    EXPECT_EQ(ParseRestartOffset("abc"), 0);
    EXPECT_EQ(ParseRestartOffset("12abc"), 0);
    EXPECT_EQ(ParseRestartOffset("-5"), 0);
    EXPECT_EQ(ParseRestartOffset(" 1000 "), 1000);
    EXPECT_EQ(ParseRestartOffset("5368709120"), 5368709120LL); // 5 GiB
    EXPECT_EQ(ParseRestartOffset("99999999999999999999"), 0);  // beyond 64 bits
}

TEST(LocalFiles, SizeAndKind)
{
    TTempDir Dir;
    ASSERT_TRUE(WriteFile(Dir.File("f"), "12345"));
    EXPECT_EQ(LocalFileSize(Dir.File("f")), 5);
    EXPECT_EQ(LocalFileSize(Dir.File("missing")), -1);
    EXPECT_TRUE(IsRegularFile(Dir.File("f")));
    EXPECT_FALSE(IsRegularFile(Dir.Path()));
    EXPECT_FALSE(IsRegularFile(Dir.File("missing")));
}

TEST(RemoteNamesOnScreen, ValidTextIsShownAsItIs)
{
    EXPECT_EQ(DisplayName("report.txt").toStdString(), "report.txt");
    EXPECT_EQ(DisplayName("caf\xC3\xA9 <b>bold</b>").toStdString(), "caf\xC3\xA9 <b>bold</b>");
}

TEST(RemoteNamesOnScreen, ControlBytesAndOverridesAreEscapedInvalidUtf8Replaced)
{
    EXPECT_EQ(DisplayName("a\x1b[31mred").toStdString(), "a\\x1B[31mred");
    EXPECT_EQ(DisplayName(std::string("nul\0x", 5)).toStdString(), "nul\\x00x");
    EXPECT_EQ(DisplayName("line\r\nbreak").toStdString(), "line\\x0D\\x0Abreak");
    // U+202E would show "txt.exe" as "exe.txt".
    EXPECT_EQ(DisplayName("a\xE2\x80\xAEtxt.exe").toStdString(), "a\\u202Etxt.exe");
    // Bidi isolates, zero-width characters and a byte order mark hide or reorder parts of a name.
    const std::pair<const char *, const char *> Hidden[] = {{"b\xE2\x81\xA6x", "b\\u2066x"}, {"a\xE2\x81\xA9" "b", "a\\u2069b"},
        {"z\xE2\x80\x8By", "z\\u200By"}, {"j\xE2\x80\x8Dj", "j\\u200Dj"}, {"\xEF\xBB\xBF" "bom", "\\uFEFFbom"}};
    for (const auto &[Raw, Shown] : Hidden)
        EXPECT_EQ(DisplayName(Raw).toStdString(), Shown);
    const QString Bad = DisplayName("bad\xFF\xFEname");
    EXPECT_TRUE(Bad.contains(QChar(0xFFFD)));
    EXPECT_TRUE(Bad.startsWith(QLatin1String("bad")));
    EXPECT_TRUE(Bad.endsWith(QLatin1String("name")));
}

TEST(HostsOnScreen, IpV6LiteralsGetBracketsAndAPortOthersStayAsTyped)
{
    const std::pair<const char *, const char *> Cases[] = {
        {"::1", "[::1]:21"},           {"[::1]", "[::1]:21"},       {"[fd00::2]:2121", "[fd00::2]:2121"},
        {"127.0.0.1", "127.0.0.1"},    {"host:990", "host:990"},    {"[::1]:99999", "[::1]:99999"}};
    for (const auto &[Typed, Shown] : Cases)
        EXPECT_EQ(HostForPeople(Typed, 21).toStdString(), Shown) << Typed;
}
