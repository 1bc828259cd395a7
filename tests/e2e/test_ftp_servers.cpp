// The FTP client against real servers (pyftpdlib and vsftpd) on loopback:
// login and style detection, folder commands, deletes, renames, permission
// changes and logout.

#include "test_ftp_e2e_fixture.h"

namespace {

class FtpServerTest : public ::testing::TestWithParam<std::string>
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
};

} // namespace

TEST_P(FtpServerTest, LoginDetectsTheStyleAndRunsOnToTheFirstListing)
{
    Server->MakeDir("sub");
    Server->Put("hello.txt", "hello");
    TRecordingTree Tree;
    S.Client.SetDirectoryTree(&Tree);
    S.Client.SetPassiveMode(true);
    ASSERT_TRUE(S.Client.Login("127.0.0.1:" + std::to_string(Server->Port()), Server->User(), Server->Password()));
    ASSERT_TRUE(S.WaitFor("fscDirList", 15000));
    EXPECT_EQ(Tree.Style, dsUnix);
    ASSERT_EQ(Tree.Calls.size(), 2u) << S.Joined();
    EXPECT_EQ(Tree.Calls[0], "SetCurrentPath \\");
    EXPECT_EQ(Tree.Calls[1], "LoadListing");
    TIpFtpFileList List;
    List.ParseListing(Tree.Listings[0], Tree.Style);
    ASSERT_NE(Find(List, "sub"), nullptr) << Tree.Listings[0];
    EXPECT_EQ(Find(List, "sub")->FileKind, fkDirectory);
    ASSERT_NE(Find(List, "hello.txt"), nullptr);
    EXPECT_EQ(Find(List, "hello.txt")->Size, 5);

    // A folder change lists the new folder by itself.
    S.Events.clear();
    ASSERT_TRUE(S.Client.ChangeDir("/sub"));
    ASSERT_TRUE(S.WaitFor("fscDirList", 15000));
    EXPECT_EQ(Tree.Calls[2], "SetCurrentPath \\sub");
    S.Client.SetDirectoryTree(nullptr);

    S.Events.clear();
    ASSERT_TRUE(S.Client.Logout());
    ASSERT_TRUE(RunUntil([&] { return S.Has("fscClose"); }, 10000)) << S.Joined();
    EXPECT_TRUE(S.Has("reply 221"));
    EXPECT_EQ(S.Client.FtpState(), stClosed);
}

TEST_P(FtpServerTest, FolderCommandsDeleteRenameAndPermissions)
{
    Server->MakeDir("docs");
    Server->Put("docs/a.txt", "AAAA");
    Server->Put("docs/b.txt", "BBBB");
    ASSERT_TRUE(S.LoginTo(*Server));

    S.Events.clear();
    ASSERT_TRUE(S.Client.ChangeDir("docs"));
    ASSERT_TRUE(S.WaitFor("fscCurrentDir", 10000));
    ASSERT_TRUE(S.Command("PWD", "fscCurrentDir"));
    EXPECT_NE(S.LastReply.find("\"/docs\""), std::string::npos) << S.LastReply;

    S.Events.clear();
    ASSERT_TRUE(S.Client.ChangeDir("/nowhere"));
    ASSERT_TRUE(S.WaitFor("error 550", 10000));

    S.Events.clear();
    ASSERT_TRUE(S.Client.Delete("a.txt"));
    ASSERT_TRUE(S.WaitFor("fscComplete", 10000));
    EXPECT_FALSE(FileExists(Server->Path("docs/a.txt")));

    S.Events.clear();
    ASSERT_TRUE(S.Client.Delete("a.txt"));
    ASSERT_TRUE(S.WaitFor("error 550", 10000));

    S.Events.clear();
    ASSERT_TRUE(S.Client.Rename("b.txt", "c.txt"));
    ASSERT_TRUE(S.WaitFor("fscComplete", 10000));
    EXPECT_TRUE(RunUntil([&] { return S.Has("reply 250"); }, 2000)) << S.Joined();
    EXPECT_TRUE(S.Has("reply 350")) << S.Joined();
    EXPECT_EQ(ReadFile(Server->Path("docs/c.txt")), "BBBB");

    ASSERT_TRUE(S.Command("SITE CHMOD 640 /docs/c.txt", "reply 200"));
    struct stat St;
    ASSERT_EQ(::stat(Server->Path("docs/c.txt").c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0640u);

    S.Events.clear();
    ASSERT_TRUE(S.Client.Logout());
    ASSERT_TRUE(RunUntil([&] { return S.Has("fscClose"); }, 10000)) << S.Joined();
}

TEST_P(FtpServerTest, ARejectedPasswordIsAnErrorAndTheClientCanTryAgain)
{
    S.Events.clear();
    ASSERT_TRUE(S.Client.Login("127.0.0.1:" + std::to_string(Server->Port()), Server->User(), "wrong"));
    ASSERT_TRUE(RunUntil([&] { return S.Has("error 530"); }, 15000)) << S.Joined();
    EXPECT_EQ(S.Client.FtpState(), stLogin);
    EXPECT_FALSE(S.Client.LoggedIn());
    ASSERT_TRUE(S.Client.Logout());
    ASSERT_TRUE(RunUntil([&] { return S.Has("fscClose"); }, 15000)) << S.Joined();
    ASSERT_TRUE(S.LoginTo(*Server));
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpServerTest, ::testing::Values("pyftpd", "vsftpd"),
                         [](const auto &Info) { return Info.param; });

TEST(FtpServerStyle, AWindowsSystemReplySelectsTheDosStyle)
{
    if (!TPyFtpdServer::Available())
        GTEST_SKIP() << TPyFtpdServer::Missing();
    TPyFtpdOptions Options;
    Options.WindowsStyle = true;
    TServer Server("pyftpd", Options);
    ASSERT_TRUE(Server.Start());
    Server.MakeDir("Reports");
    Server.Put("data.bin", std::string(3000, 'd'));
    TSession S;
    TRecordingTree Tree;
    S.Client.SetDirectoryTree(&Tree);
    S.Client.SetPassiveMode(true);
    ASSERT_TRUE(S.Client.Login("127.0.0.1:" + std::to_string(Server.Port()), Server.User(), Server.Password()));
    ASSERT_TRUE(S.WaitFor("fscDirList", 15000));
    EXPECT_EQ(Tree.Style, dsDos);
    TIpFtpFileList List;
    List.ParseListing(Tree.Listings.at(0), dsDos);
    ASSERT_NE(Find(List, "Reports"), nullptr) << Tree.Listings[0];
    EXPECT_EQ(Find(List, "Reports")->FileKind, fkDirectory);
    ASSERT_NE(Find(List, "data.bin"), nullptr);
    EXPECT_EQ(Find(List, "data.bin")->Size, 3000);
    S.Client.SetDirectoryTree(nullptr);
}
