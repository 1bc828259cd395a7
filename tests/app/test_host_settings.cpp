// The settings file "host.ini".

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/HostSettings.h"
#include "support/TestPaths.h"

namespace {

mode_t ModeOf(const std::string &Path)
{
    struct stat St;
    return ::stat(Path.c_str(), &St) == 0 ? (St.st_mode & 07777) : 0;
}

} // namespace

TEST(HostSettingsFile, MissingFileSectionOrKeysReadAsEmpty)
{
    TTempDir Dir;
    THostSettings S = ReadHostSettings(Dir.File("host.ini"));
    EXPECT_EQ(S.Host, "");
    EXPECT_EQ(S.Default, "");

    ASSERT_TRUE(WriteFile(Dir.File("host.ini"), "[Other]\nHost=elsewhere\n"));
    EXPECT_EQ(ReadHostSettings(Dir.File("host.ini")).Host, "");

    ASSERT_TRUE(WriteFile(Dir.File("host.ini"), "[TolvaneFtp]\r\nDefault=/www\r\n"));
    S = ReadHostSettings(Dir.File("host.ini"));
    EXPECT_EQ(S.Host, "");
    EXPECT_EQ(S.Username, "");
    EXPECT_EQ(S.Default, "/www");
}

TEST(HostSettingsFile, WritesAllFourKeysInOrderReadableByTheOwnerOnly)
{
    TTempDir Dir;
    const std::string Path = Dir.File("host.ini");
    WriteHostSettings(Path, {"ftp.example.org", "ann", "s3cret", "/www"});
    const std::string Text = ReadFile(Path);
    const size_t H = Text.find("Host"), U = Text.find("Username"), P = Text.find("Password"),
                 D = Text.find("Default");
    ASSERT_NE(H, std::string::npos) << Text;
    ASSERT_NE(D, std::string::npos) << Text;
    EXPECT_LT(H, U);
    EXPECT_LT(U, P);
    EXPECT_LT(P, D);
    EXPECT_NE(Text.find("[TolvaneFtp]"), std::string::npos);
    EXPECT_EQ(ModeOf(Path), 0600u);

    const THostSettings Back = ReadHostSettings(Path);
    EXPECT_EQ(Back.Host, "ftp.example.org");
    EXPECT_EQ(Back.Username, "ann");
    EXPECT_EQ(Back.Password, "s3cret");
    EXPECT_EQ(Back.Default, "/www");

    // Empty texts are written too: never a subset of the keys.
    WriteHostSettings(Path, {"", "", "", ""});
    const std::string Empty = ReadFile(Path);
    for (const char *Key : {"Host", "Username", "Password", "Default"})
        EXPECT_NE(Empty.find(Key), std::string::npos) << Key << " missing in " << Empty;
}

TEST(HostSettingsFile, OtherSectionsAndKeysAreKeptAndAWorldReadableFileIsTightened)
{
    TTempDir Dir;
    const std::string Path = Dir.File("host.ini");
    ASSERT_TRUE(WriteFile(Path, "[Window]\nLeft=10\n\n[TolvaneFtp]\nDefault=/old\nExtra=kept\nHost=old\n"));
    ASSERT_EQ(::chmod(Path.c_str(), 0644), 0);
    WriteHostSettings(Path, {"new", "u", "p", "/new"});
    const std::string Text = ReadFile(Path);
    EXPECT_NE(Text.find("Left=10"), std::string::npos) << Text;
    EXPECT_NE(Text.find("Extra=kept"), std::string::npos) << Text;
    EXPECT_EQ(Text.find("old"), std::string::npos) << Text;
    EXPECT_LT(Text.find("Host"), Text.find("Default")) << Text;
    EXPECT_EQ(ModeOf(Path), 0600u);
}

TEST(HostSettingsFile, LineBreaksInAValueCannotAddKeys)
{
    TTempDir Dir;
    const std::string Path = Dir.File("host.ini");
    WriteHostSettings(Path, {"host\nPassword=stolen", "u", "p", "/"});
    EXPECT_EQ(ReadHostSettings(Path).Password, "p");
}

TEST(HostSettingsFile, AnUnwritableLocationNamesTheFullPath)
{
    TTempDir Dir;
    ASSERT_TRUE(WriteFile(Dir.File("plainfile"), "x"));
    const std::string Path = Dir.File("plainfile") + "/host.ini"; // a file where a folder should be
    try {
        WriteHostSettings(Path, {"h", "u", "p", "/"});
        FAIL() << "no error";
    } catch (const EHostSettingsError &E) {
        EXPECT_EQ(std::string(E.what()), "Unable to write to " + Path);
    }
}

TEST(HostSettingsFile, GarbageHugeAndSectionlessFilesReadAsEmpty)
{
    TTempDir Dir;
    const std::string Path = Dir.File("host.ini");
    const std::string Samples[] = {
        RandomBytes(4096, 7),
        "[TolvaneFtp]\nHost=" + std::string(10 * 1024 * 1024, 'x') + "\n",
        "Host=nosection\nUsername=u\n",
        std::string("[TolvaneFtp]\nHost=a\0b\n", 20),
    };
    for (const std::string &Sample : Samples) {
        ASSERT_TRUE(WriteFile(Path, Sample));
        const THostSettings S = ReadHostSettings(Path);
        EXPECT_LE(S.Host.size(), 1024u);
        EXPECT_EQ(S.Username, "");
    }
    // A folder where the file should be.
    TTempDir Other;
    ASSERT_EQ(::mkdir(Other.File("host.ini").c_str(), 0755), 0);
    EXPECT_EQ(ReadHostSettings(Other.File("host.ini")).Host, "");
}

TEST(HostSettingsFile, LivesBesideTheProgramUnlessThatFolderIsReadOnly)
{
    TTempDir Dir;
    EXPECT_EQ(HostIniPathFor(Dir.Path(), "/cfg", "/home/ann"), Dir.Path() + "/host.ini");
    const std::string Missing = Dir.File("no-such-folder");
    EXPECT_EQ(HostIniPathFor(Missing, "/cfg", "/home/ann"), "/cfg/tolvane-ftp/host.ini");
    EXPECT_EQ(HostIniPathFor(Missing, "", "/home/ann"), "/home/ann/.config/tolvane-ftp/host.ini");
    EXPECT_EQ(HostIniPathFor(Missing, "relative", "/home/ann"), "/home/ann/.config/tolvane-ftp/host.ini");
}

TEST(HostSettingsFile, TheConfigurationFolderIsCreatedOnFirstWrite)
{
    TTempDir Dir;
    const std::string Path = Dir.File("cfg/tolvane-ftp/host.ini");
    WriteHostSettings(Path, {"h", "u", "p", "/"});
    EXPECT_EQ(ReadHostSettings(Path).Host, "h");
    EXPECT_EQ(ModeOf(Dir.File("cfg/tolvane-ftp")), 0700u);
}

TEST(HostSettingsFile, BlanksQuotesAndPassiveRoundTripOldFilesReadAsBefore)
{
    TTempDir Dir;
    const std::string Path = Dir.File("host.ini");
    for (const std::string Password : {" lead", "trail ", "  both  ", "\"quoted\"", "in side", "\"", "\t"}) {
        THostSettings S{"h", "u", Password, "/"};
        S.Passive = Password.size() % 2;
        WriteHostSettings(Path, S);
        EXPECT_EQ(ReadHostSettings(Path).Password, Password) << ReadFile(Path);
        EXPECT_EQ(ReadHostSettings(Path).Passive, S.Passive) << ReadFile(Path);
    }
    ASSERT_TRUE(WriteFile(Path, "[TolvaneFtp]\nPassword=plain pw\nDefault= /www \n"));
    const THostSettings Old = ReadHostSettings(Path);
    EXPECT_EQ(Old.Password + "|" + Old.Default, "plain pw|/www");
    EXPECT_TRUE(Old.Passive) << "no Passive key: passive";
}

TEST(HostSettingsFile, AFifoOrAHugeFileIsRefusedAndNeverBlocks)
{
    TTempDir Dir;
    const std::string Fifo = Dir.File("fifo.ini"), Huge = Dir.File("huge.ini");
    ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
    ASSERT_TRUE(WriteFile(Huge, "[TolvaneFtp]\nHost=h\n" + std::string(1024 * 1024, '#')));
    for (const std::string &Path : {Fifo, Huge, Dir.File("absent.ini")}) {
        std::string Problem;
        EXPECT_EQ(ReadHostSettings(Path, &Problem).Host, "");
        EXPECT_EQ(Problem.find(Path) != std::string::npos, Path != Dir.File("absent.ini")) << Problem;
    }
    for (const std::string &Path : {Fifo, Huge})
        EXPECT_THROW(WriteHostSettings(Path, {"h", "u", "p", "/"}), EHostSettingsError) << "never replaced";
}
