// Names exactly as pyftpdlib (MLSD) and vsftpd (LIST only) have them: listed,
// found and fetched by their bytes; downloads keep the server's time.

#include "test_ftp_e2e_fixture.h"

#include <unistd.h>
#include <utime.h>

namespace {

const char *const AwkwardNames[] = {
    "two  blanks.txt", " leading.txt", "trailing.txt ", "semi;colon=eq.txt", "f\xc3\xafl\xc3\xa9 \xe2\x82\xac.txt",
    ".htaccess",       "a -> b.txt",
};

class FtpNamesTest : public ::testing::TestWithParam<std::string>
{
protected:
    void SetUp() override
    {
        if (!TServer::Available(GetParam()))
            GTEST_SKIP() << TServer::Missing(GetParam());
        Server = std::make_unique<TServer>(GetParam());
        ASSERT_TRUE(Server->Start());
    }
    std::unique_ptr<TServer> Server;
    TSession S;
    TTempDir Local;
};

} // namespace

TEST_P(FtpNamesTest, EveryNameIsListedAndFetchedByItsExactBytes)
{
    for (const char *Name : AwkwardNames)
        Server->Put(Name, std::string("content of ") + Name);
    Server->MakeDir("My  Folder");
    ASSERT_EQ(::symlink("two  blanks.txt", Server->Path("link").c_str()), 0);
    // A time the download must keep: 2001-09-09 01:46:40 UTC.
    const struct utimbuf Old = {1000000000, 1000000000};
    ASSERT_EQ(::utime(Server->Path("two  blanks.txt").c_str(), &Old), 0);

    S.Client.SetPassiveMode(true);
    S.Client.SetFileType(ftBinary);
    ASSERT_TRUE(S.LoginTo(*Server));
    const bool Py = GetParam() == "pyftpd";
    const TIpFtpFeatures &F = S.Client.Features();
    EXPECT_TRUE(F.Known() && F.Mlst() == Py && F.Mdtm() && F.Size());
    TIpFtpFileList List;
    ASSERT_TRUE(S.List("", List));
    EXPECT_EQ(S.Client.ListedWithMlsd(), Py) << S.LastListing;
    int Fetched = 0;
    for (const char *Name : AwkwardNames) {
        const std::string Content = std::string("content of ") + Name;
        const TIpFtpFileInfo *E = Find(List, Name);
        ASSERT_TRUE(E && E->FileKind == fkFile && E->Size == static_cast<int64_t>(Content.size()))
            << "[" << Name << "] in\n" << S.LastListing;
        const std::string Target = Local.File("got" + std::to_string(++Fetched));
        S.Events.clear();
        ASSERT_TRUE(S.Client.Retrieve(Name, Target, rmReplace, 0));
        ASSERT_TRUE(S.WaitTransfer(20000)) << Name;
        EXPECT_EQ(ReadFile(Target), Content);
        EXPECT_EQ(S.Client.RemoteSize(), static_cast<int64_t>(Content.size()));
        struct stat St;
        // The time MDTM gave stays on the download.
        EXPECT_TRUE(::stat(Target.c_str(), &St) == 0 && (Fetched > 1 || St.st_mtime == 1000000000)) << Name;
    }
    EXPECT_TRUE(!Find(List, ".") && !Find(List, ".."));
    EXPECT_TRUE(Find(List, "My  Folder") && Find(List, "My  Folder")->FileKind == fkDirectory);
    // MLSD gives the time in UTC; LIST says what a link is and where it leads.
    const TIpFtpFileInfo *Link = Find(List, "link");
    ASSERT_NE(Link, nullptr) << S.LastListing;
    if (Py) {
        EXPECT_EQ(Find(List, "two  blanks.txt")->ModifyTime, 1000000000);
    } else {
        EXPECT_TRUE(Link->FileKind == fkLink && Link->LinkPath == "two  blanks.txt") << S.LastListing;
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpNamesTest, ::testing::Values("pyftpd", "vsftpd"),
                         [](const auto &Info) { return Info.param; });
