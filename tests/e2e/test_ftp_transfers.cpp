// File transfers against real servers in passive and active mode: listings,
// uploads and downloads of edge sizes compared by checksum, append, unique
// names, restarts in both directions, and permissions read back from a
// listing.

#include "test_ftp_e2e_fixture.h"

#include <dirent.h>

#include <tuple>

namespace {

using TParam = std::tuple<std::string, bool>; // server kind, passive

class FtpTransferTest : public ::testing::TestWithParam<TParam>
{
protected:
    void SetUp() override
    {
        const std::string Kind = std::get<0>(GetParam());
        if (!TServer::Available(Kind))
            GTEST_SKIP() << TServer::Missing(Kind);
        Server = std::make_unique<TServer>(Kind);
        ASSERT_TRUE(Server->Start());
        S.Client.SetFileType(ftBinary);
        S.Client.SetPassiveMode(std::get<1>(GetParam()));
        S.Client.SetTransferTimeout(30000);
        ASSERT_TRUE(S.LoginTo(*Server));
    }

    testing::AssertionResult Upload(const std::string &Remote, const std::string &Local, TIpFtpStoreMode Mode,
                                    int64_t RestartAt = 0)
    {
        S.Events.clear();
        if (!S.Client.Store(Remote, Local, Mode, RestartAt))
            return testing::AssertionFailure() << "Store refused";
        return S.WaitTransfer();
    }
    testing::AssertionResult Download(const std::string &Remote, const std::string &Local, TIpFtpRetrieveMode Mode,
                                      int64_t RestartAt = 0)
    {
        S.Events.clear();
        if (!S.Client.Retrieve(Remote, Local, Mode, RestartAt))
            return testing::AssertionFailure() << "Retrieve refused";
        return S.WaitTransfer();
    }

    std::unique_ptr<TServer> Server;
    TSession S;
    TTempDir Local;
};

std::vector<std::string> Names(const std::string &Dir)
{
    std::vector<std::string> N;
    if (DIR *D = opendir(Dir.c_str())) {
        while (dirent *E = readdir(D))
            if (std::string(E->d_name) != "." && std::string(E->d_name) != "..")
                N.push_back(E->d_name); // hidden ones too: a left-over temporary file is one
        closedir(D);
    }
    return N;
}

} // namespace

TEST_P(FtpTransferTest, ListsTheRootAndASubFolder)
{
    Server->MakeDir("folder");
    Server->Put("top.txt", "top");
    Server->Put("folder/inner one.txt", std::string(1234, 'i'));
    TIpFtpFileList Root, Sub;
    ASSERT_TRUE(S.List("", Root));
    ASSERT_NE(Find(Root, "folder"), nullptr) << S.LastListing;
    EXPECT_EQ(Find(Root, "folder")->FileKind, fkDirectory);
    ASSERT_NE(Find(Root, "top.txt"), nullptr);
    EXPECT_EQ(Find(Root, "top.txt")->Size, 3);
    ASSERT_TRUE(S.List("/folder", Sub));
    ASSERT_EQ(Sub.Count(), 1u) << S.LastListing;
    EXPECT_EQ(Sub[0]->FileName, "inner one.txt");
    EXPECT_EQ(Sub[0]->Size, 1234);
    EXPECT_EQ(S.Client.ListenSocket(), nullptr);
    EXPECT_EQ(S.Client.SocketList()->Count(), 1);
}

TEST_P(FtpTransferTest, UploadsAndDownloadsKeepEveryByteAtEdgeSizes)
{
    const uint64_t Sizes[] = {0, 1, 1460, 1024 * 1024 + 1, 64ull * 1024 * 1024 + 7};
    for (uint64_t Size : Sizes) {
        SCOPED_TRACE("size " + std::to_string(Size));
        const std::string Name = "f" + std::to_string(Size) + ".bin";
        const std::string Up = Local.File("up-" + Name), Down = Local.File("down-" + Name);
        const uint64_t Sum = MakeRandomFile(Up, Size, Size + 17);
        ASSERT_TRUE(Upload(Name, Up, smReplace));
        EXPECT_EQ(S.Client.BytesTransferred(), static_cast<int64_t>(Size));
        EXPECT_EQ(FileSize(Server->Path(Name)), static_cast<int64_t>(Size));
        EXPECT_EQ(FileChecksum(Server->Path(Name)), Sum);
        ASSERT_TRUE(Download(Name, Down, rmReplace));
        EXPECT_EQ(S.Client.BytesTransferred(), static_cast<int64_t>(Size));
        EXPECT_EQ(FileSize(Down), static_cast<int64_t>(Size));
        EXPECT_EQ(FileChecksum(Down), Sum);
        ::unlink(Up.c_str());
        ::unlink(Down.c_str());
        ::unlink(Server->Path(Name).c_str());
    }
    // No temporary file is left beside the downloads.
    EXPECT_TRUE(Names(Local.Path()).empty());
}

TEST_P(FtpTransferTest, AppendUniqueAndRestartInBothDirections)
{
    const std::string Content = RandomBytes(200000, 21);
    const std::string File = Local.File("c.bin");
    ASSERT_TRUE(WriteFile(File, Content));

    // Append: the server file grows by the whole local file.
    Server->Put("app.bin", "HEAD");
    ASSERT_TRUE(Upload("app.bin", File, smAppend));
    EXPECT_EQ(ReadFile(Server->Path("app.bin")), "HEAD" + Content);

    // Unique: a new file that did not exist before.
    ASSERT_TRUE(Upload("c.bin", File, smReplace));
    ASSERT_TRUE(Upload("c.bin", File, smUnique));
    TIpFtpFileList List;
    ASSERT_TRUE(S.List("", List));
    int Copies = 0;
    for (std::size_t i = 0; i < List.Count(); ++i)
        if (List[i]->Size == static_cast<int64_t>(Content.size()))
            ++Copies;
    EXPECT_EQ(Copies, 2) << S.LastListing;

    // Restart upload: the server holds the head; only the rest is sent.
    Server->Put("r.bin", Content.substr(0, 70000));
    ASSERT_TRUE(Upload("r.bin", File, smRestart, 70000));
    EXPECT_EQ(S.Client.BytesTransferred(), static_cast<int64_t>(Content.size() - 70000));
    EXPECT_EQ(ReadFile(Server->Path("r.bin")), Content);

    // Restart download: the local file holds the head (and stale bytes
    // after it that the server's rest replaces).
    const std::string Part = Local.File("part.bin");
    ASSERT_TRUE(WriteFile(Part, Content.substr(0, 123456) + "STALE"));
    ASSERT_TRUE(Download("c.bin", Part, rmRestart, 123456));
    EXPECT_EQ(S.Client.BytesTransferred(), static_cast<int64_t>(Content.size() - 123456));
    EXPECT_EQ(ReadFile(Part), Content);

    // Append download.
    const std::string App = Local.File("app-down.bin");
    ASSERT_TRUE(WriteFile(App, "LOCAL"));
    ASSERT_TRUE(Download("c.bin", App, rmAppend));
    EXPECT_EQ(ReadFile(App), "LOCAL" + Content);
}

TEST_P(FtpTransferTest, PermissionsChangedWithSiteChmodShowInTheListing)
{
    const std::string File = Local.File("p.txt");
    ASSERT_TRUE(WriteFile(File, "perm"));
    ASSERT_TRUE(Upload("p.txt", File, smReplace));
    ASSERT_TRUE(S.Command("SITE CHMOD 751 p.txt", "reply 200"));
    TIpFtpFileList List;
    ASSERT_TRUE(S.List("", List));
    const TIpFtpFileInfo *Info = Find(List, "p.txt");
    ASSERT_NE(Info, nullptr) << S.LastListing;
    EXPECT_EQ(PermissionsOctalDigit(Info->OwnerPerms), 7) << S.LastListing;
    EXPECT_EQ(PermissionsOctalDigit(Info->GroupPerms), 5) << S.LastListing;
    EXPECT_EQ(PermissionsOctalDigit(Info->OtherPerms), 1) << S.LastListing;
}

TEST_P(FtpTransferTest, AMissingRemoteFileLeavesTheLocalFileUntouched)
{
    const std::string File = Local.File("keep.bin");
    ASSERT_TRUE(WriteFile(File, "keep me"));
    S.Events.clear();
    ASSERT_TRUE(S.Client.Retrieve("no-such-file", File, rmReplace, 0));
    ASSERT_TRUE(S.WaitFor("error 550", 15000));
    RunFor(200);
    EXPECT_EQ(ReadFile(File), "keep me");
    EXPECT_EQ(Names(Local.Path()), std::vector<std::string>{"keep.bin"});
    // The client carries on normally.
    TIpFtpFileList List;
    ASSERT_TRUE(S.List("", List));
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpTransferTest,
                         ::testing::Combine(::testing::Values("pyftpd", "vsftpd"), ::testing::Bool()),
                         [](const auto &Info) {
                             return std::get<0>(Info.param) + (std::get<1>(Info.param) ? "_passive" : "_active");
                         });
