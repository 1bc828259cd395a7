// Names exactly as the server has them, against real servers: pyftpdlib
// (FEAT with MLST, so MLSD listings) and vsftpd (LIST only). Every awkward
// name is listed, found by its exact bytes, and fetched back by them; the
// download keeps the server's modification time.

#include "test_ftp_e2e_fixture.h"

#include <unistd.h>

#include <cstring>
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
    EXPECT_TRUE(S.Client.Features().Known());
    EXPECT_EQ(S.Client.Features().Mlst(), Py);
    EXPECT_TRUE(S.Client.Features().Mdtm() && S.Client.Features().Size());

    TIpFtpFileList List;
    ASSERT_TRUE(S.List("", List));
    EXPECT_EQ(S.Client.ListedWithMlsd(), Py) << S.LastListing;
    for (const char *Name : AwkwardNames) {
        const TIpFtpFileInfo *E = Find(List, Name);
        ASSERT_NE(E, nullptr) << "[" << Name << "] in\n" << S.LastListing;
        EXPECT_EQ(E->FileKind, fkFile) << Name;
        EXPECT_EQ(E->Size, static_cast<int64_t>(std::string("content of ").size() + std::strlen(Name))) << Name;
    }
    EXPECT_EQ(Find(List, "."), nullptr);
    EXPECT_EQ(Find(List, ".."), nullptr);
    ASSERT_NE(Find(List, "My  Folder"), nullptr);
    EXPECT_EQ(Find(List, "My  Folder")->FileKind, fkDirectory);
    if (Py) {
        EXPECT_EQ(Find(List, "two  blanks.txt")->ModifyTime, 1000000000);
    } else {
        // LIST says what a link is and where it leads.
        const TIpFtpFileInfo *Link = Find(List, "link");
        ASSERT_NE(Link, nullptr) << S.LastListing;
        EXPECT_EQ(Link->FileKind, fkLink);
        EXPECT_EQ(Link->LinkPath, "two  blanks.txt");
    }

    for (const char *Name : AwkwardNames) {
        SCOPED_TRACE(Name);
        S.Events.clear();
        const std::string Target = Local.File("got" + std::to_string(std::strlen(Name)) + "-" +
                                              std::to_string(static_cast<unsigned char>(Name[0])));
        ASSERT_TRUE(S.Client.Retrieve(Name, Target, rmReplace, 0));
        ASSERT_TRUE(S.WaitTransfer(20000));
        EXPECT_EQ(ReadFile(Target), std::string("content of ") + Name);
        EXPECT_EQ(S.Client.RemoteSize(), static_cast<int64_t>(ReadFile(Target).size()));
        struct stat St;
        ASSERT_EQ(::stat(Target.c_str(), &St), 0);
        if (std::string(Name) == "two  blanks.txt") {
            EXPECT_EQ(St.st_mtime, 1000000000);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpNamesTest, ::testing::Values("pyftpd", "vsftpd"),
                         [](const auto &Info) { return Info.param; });
