// Every file operation of the window against real servers on loopback:
// upload into a sub-folder, download, rename, permissions, delete, and the
// unattended upload of a file named on the command line.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QTreeView>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include "app/FileListModel.h"
#include "app/FtpDirectoryTree.h"
#include "app/RemoteDrag.h"
#include "app_fixture.h"
#include "e2e/test_ftp_e2e_fixture.h"

class E2eOperations : public TWindowFixture, public ::testing::WithParamInterface<std::string>
{
protected:
    void SetUp() override
    {
        if (!TServer::Available(GetParam()))
            GTEST_SKIP() << TServer::Missing(GetParam());
        Server = std::make_unique<TServer>(GetParam());
        Server->MakeDir("pub");
        Server->MakeDir("drop");
        Server->Put("pub/existing.txt", "here before");
        ASSERT_TRUE(Server->Start());
    }
    void Settings(const std::string &Default, const std::string &Password)
    {
        WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Server->Port()) + "\nUsername=" +
                      Server->User() + "\nPassword=" + Password + "\nDefault=" + Default + "\n");
    }
    bool Idle() const
    {
        return Window->IpFtpClient()->FtpState() == stReady && !Window->IpFtpClient()->TransferStream();
    }
    const TIpFtpFileInfo *Entry(const std::string &Name) const
    {
        for (int I = 0; I < Window->FileListModel()->Count(); ++I)
            if (Window->FileListModel()->Entry(I)->FileName == Name)
                return Window->FileListModel()->Entry(I);
        return nullptr;
    }
    void Select(const std::string &Name)
    {
        auto *List = Window->findChild<QTreeView *>(QStringLiteral("lbxFiles"));
        for (int I = 0; I < Window->FileListModel()->Count(); ++I)
            if (Window->FileListModel()->Entry(I)->FileName == Name) {
                List->setCurrentIndex(List->model()->index(I, 0));
                return;
            }
        FAIL() << "no entry " << Name;
    }
    std::string Log() const { return Find<QPlainTextEdit>("ReplyMemo")->toPlainText().toStdString(); }

    std::unique_ptr<TServer> Server;
};

TEST_P(E2eOperations, UploadDownloadRenamePermissionsAndDelete)
{
    Settings("/", Server->Password());
    StartWindow();
    ShowWindow();
    ASSERT_EVENTUALLY(Idle() && Window->RemoteFolderPath() == "/" &&
                          Window->IpFtpDirectoryTree1()->FindPathNode("\\pub"),
                      15000)
        << Log();

    // Into pub, then upload a file there.
    TIpFtpDirectoryTree *Tree = Window->IpFtpDirectoryTree1();
    Tree->setCurrentItem(Tree->FindPathNode("\\pub"));
    ASSERT_EVENTUALLY(Idle() && Entry("existing.txt"), 15000) << Log();
    const std::string Local = Dir.File("upload me.bin");
    // Larger than any socket buffer, so the upload meets a full send queue.
    const std::string Body = RandomBytes(8000000, 11);
    ASSERT_TRUE(WriteFile(Local, Body));
    Dialogs.Files.push_back(Local);
    QTest::mouseClick(Find<QPushButton>("sButton2"), Qt::LeftButton);
    QTest::mouseClick(Find<QPushButton>("sBitBtn1"), Qt::LeftButton);
    ASSERT_EVENTUALLY(Idle() && Entry("upload me.bin"), 15000) << Log();
    EXPECT_EQ(FileSize(Server->Path("pub/upload me.bin")), 8000000);
    EXPECT_EQ(FileChecksum(Server->Path("pub/upload me.bin")), Fnv1a64(Body));
    EXPECT_EQ(Entry("upload me.bin")->Size, 8000000);

    // Download it into a temporary folder.
    TTempDir Target;
    Dialogs.Folders.push_back(Target.Path());
    Select("upload me.bin");
    Find<QAction>("Downloadfile1")->trigger();
    ASSERT_EVENTUALLY(Idle() && Window->PendingAction() == TTolvaneFtp::paNone &&
                          FileExists(Target.File("upload me.bin")),
                      15000)
        << Log();
    EXPECT_EQ(FileChecksum(Target.File("upload me.bin")), Fnv1a64(Body));

    // Rename.
    Select("upload me.bin");
    Dialogs.InputAnswers.push_back("renamed.bin");
    Find<QAction>("Rename2")->trigger();
    ASSERT_EVENTUALLY(Idle() && Entry("renamed.bin") && !Entry("upload me.bin"), 15000) << Log();

    // Permissions: 0640, seen in a fresh listing.
    Select("renamed.bin");
    QTimer::singleShot(0, [] {
        FilePermission->chmod->setText(QStringLiteral("0640"));
        QTest::mouseClick(FilePermission->sButton1, Qt::LeftButton);
    });
    Find<QAction>("Permissions1")->trigger();
    ASSERT_EVENTUALLY(Idle() && Entry("renamed.bin") && Entry("renamed.bin")->OtherPerms.Value() == 0 &&
                          Entry("renamed.bin")->GroupPerms == TIpFtpPermissions{prRead},
                      15000)
        << Log();
    struct stat St;
    ASSERT_EQ(::stat(Server->Path("pub/renamed.bin").c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0640u);

    // Delete.
    Select("renamed.bin");
    Dialogs.YesNo.push_back(daYes);
    Find<QAction>("Delete2")->trigger();
    ASSERT_EVENTUALLY(Idle() && !Entry("renamed.bin") && Entry("existing.txt"), 15000) << Log();
    EXPECT_FALSE(FileExists(Server->Path("pub/renamed.bin")));
    EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_P(E2eOperations, AFileNamedOnTheCommandLineArrivesWithoutAClick)
{
    Settings("/drop", Server->Password());
    const std::string Local = Dir.File("nightly.tar");
    const std::string Body = RandomBytes(6000000, 5);
    ASSERT_TRUE(WriteFile(Local, Body));
    StartWindow({QString::fromStdString(Local)});
    ShowWindow();
    ASSERT_EVENTUALLY(FileChecksum(Server->Path("drop/nightly.tar")) == Fnv1a64(Body) && Idle(), 20000)
        << Log() << "\nserver has " << FileSize(Server->Path("drop/nightly.tar")) << " bytes";
    // Then the browser shows the default folder with the file in it.
    ASSERT_EVENTUALLY(Window->RemoteFolderPath() == "/drop/" && Entry("nightly.tar") && Idle(), 15000) << Log();
    EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_P(E2eOperations, ARefusedLoginSaysTheFileWasNotUploaded)
{
    WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Server->Port()) + "\nUsername=" + Server->User() +
                  "\nPassword=not-the-password\nDefault=/drop\n");
    ASSERT_TRUE(WriteFile(Dir.File("f.bin"), "x"));
    StartWindow({QString::fromStdString(Dir.File("f.bin"))});
    ShowWindow();
    ASSERT_EVENTUALLY(!Dialogs.Messages.empty(), 20000) << Log();
    EXPECT_NE(Dialogs.Messages[0].find("was not uploaded"), std::string::npos) << Dialogs.Messages[0];
    // Encryption "if available" (the default) first hears AUTH TLS refused:
    // that refusal is not why the login failed.
    EXPECT_NE(Dialogs.Messages[0].find("530"), std::string::npos) << Dialogs.Messages[0];
    EXPECT_EQ(Dialogs.Messages[0].find("AUTH"), std::string::npos) << Dialogs.Messages[0];
    EXPECT_EQ(Dialogs.Messages[0].find("USER and PASS"), std::string::npos) << Dialogs.Messages[0];
    EXPECT_FALSE(FileExists(Server->Path("drop/f.bin")));
}

// A file "docs\report.txt" beside a folder docs holding report.txt, and a
// folder "a\b": every operation reaches what was listed. Then a disconnect
// during an upload, answered "cancel": the server hears ABOR while the data
// connection is open and records the upload as incomplete.
TEST_P(E2eOperations, BackslashNamesReachWhatWasListedAndADisconnectCancelsAnUpload)
{
    Server->MakeDir("docs");
    Server->Put("docs/report.txt", "the other file");
    Server->Put("docs\\report.txt", "listed");
    Server->MakeDir("a\\b");
    Server->Put("a\\b/inner.txt", "inner");
    Settings("/", Server->Password());
    StartWindow();
    ShowWindow();
    ASSERT_EVENTUALLY(Idle() && Entry("docs\\report.txt"), 15000) << Log();
    Dialogs.Folders.push_back(Dir.Path());
    Select("docs\\report.txt");
    Find<QAction>("Downloadfile1")->trigger();
    ASSERT_EVENTUALLY(Idle() && ReadFile(Dir.File("docs\\report.txt")) == "listed", 15000) << Log();
    Select("docs\\report.txt");
    Dialogs.InputAnswers.push_back("renamed.txt");
    Find<QAction>("Rename2")->trigger();
    ASSERT_EVENTUALLY(Idle() && Entry("renamed.txt"), 15000) << Log();
    EXPECT_EQ(ReadFile(Server->Path("renamed.txt")), "listed");
    Select("renamed.txt");
    Dialogs.YesNo.push_back(daYes);
    Find<QAction>("Delete2")->trigger();
    ASSERT_EVENTUALLY(Idle() && !Entry("renamed.txt") && !FileExists(Server->Path("renamed.txt")), 15000) << Log();
    EXPECT_EQ(ReadFile(Server->Path("docs/report.txt")), "the other file");
    TIpFtpDirectoryTree *Tree = Window->IpFtpDirectoryTree1();
    QTreeWidgetItem *Ab = nullptr;
    for (int I = 0; I < Tree->topLevelItemCount(); ++I)
        Ab = TIpFtpDirectoryTree::NodeName(Tree->topLevelItem(I)) == "a\\b" ? Tree->topLevelItem(I) : Ab;
    ASSERT_NE(Ab, nullptr) << "one node, not a and b";
    Tree->setCurrentItem(Ab);
    ASSERT_EVENTUALLY(Idle() && Entry("inner.txt") && Window->RemoteFolderPath() == "/a\\b/", 15000) << Log();
    EXPECT_EQ(Tree->currentItem(), Ab);

    const std::string Local = Dir.File("huge.iso"); // sparse: takes no room here
    const int Fd = ::open(Local.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_TRUE(Fd >= 0 && ::ftruncate(Fd, 64LL << 30) == 0 && ::close(Fd) == 0);
    Dialogs.Files.push_back(Local);
    QTest::mouseClick(Find<QPushButton>("sButton2"), Qt::LeftButton);
    QTest::mouseClick(Find<QPushButton>("sBitBtn1"), Qt::LeftButton);
    ASSERT_EVENTUALLY(Window->IpFtpClient()->BytesTransferred() > (4 << 20), 15000) << Log();
    Dialogs.CancelAnswers.push_back(true);
    QTest::mouseClick(Find<QPushButton>("ConnectBtn"), Qt::LeftButton);
    ASSERT_EVENTUALLY(Window->IpFtpClient()->FtpState() == stClosed, 15000) << Log();
    EXPECT_NE(Find<QLabel>("StatusOutcome")->text().indexOf(QStringLiteral("cancelled")), -1);
    EXPECT_TRUE(Dialogs.Messages.empty());
    EXPECT_LT(FileSize(Server->Path("a\\b/huge.iso")), 64LL << 30);
    const std::string ServerLog = Server->Log();
    EXPECT_NE(ServerLog.find("ABOR"), std::string::npos);
    EXPECT_TRUE(GetParam() != "pyftpd" || ServerLog.find("completed=0") != std::string::npos) << "incomplete";
}

// New folder, then Delete folder on a tree: the question counts what goes,
// "No" keeps it all, "Yes" removes it and shows the parent; a folder the
// server will not create is said in a message box.
TEST_P(E2eOperations, NewFolderAndDeleteFolderWithWhatItHolds)
{
    Server->MakeDir("site");
    Server->MakeDir("site/sub");
    Server->MakeDir("site/sub/deeper");
    Server->Put("site/a.txt", "a");
    Server->Put("site/sub/b.txt", "b");
    Server->Put("site/sub/deeper/c.txt", "c");
    Settings("/", Server->Password());
    StartWindow();
    ShowWindow();
    TIpFtpDirectoryTree *Tree = Window->IpFtpDirectoryTree1();
    ASSERT_EVENTUALLY(Idle() && Tree->FindPathNode("\\site"), 15000) << Log();
    Tree->setCurrentItem(Tree->FindPathNode("\\site"));
    ASSERT_EVENTUALLY(Idle() && Window->RemoteFolderPath() == "/site/" && Entry("a.txt"), 15000) << Log();
    Dialogs.Folders.push_back(Dir.Path());
    Find<QAction>("DownloadFolder1")->trigger();
    ASSERT_EVENTUALLY(Idle() && !Window->QueueRunning() &&
                          Find<QLabel>("StatusOutcome")->text().startsWith("Transfers finished"),
                      15000)
        << Log();
    EXPECT_EQ(ReadFile(Dir.File("site/sub/deeper/c.txt")), "c");
    Dialogs.YesNo.push_back(daNo);
    Find<QAction>("DeleteFolder")->trigger();
    ASSERT_EVENTUALLY(Dialogs.Warnings.size() == 1 && !Window->EngineJobRunning() && Idle() && Entry("a.txt"), 15000)
        << Log();
    EXPECT_NE(Dialogs.Warnings[0].find("/site and everything in it: 3 files and 2 folders"), std::string::npos)
        << Dialogs.Warnings[0];
    EXPECT_EQ(Window->RemoteFolderPath(), "/site/");
    EXPECT_TRUE(FileExists(Server->Path("site/sub/deeper/c.txt")));
    Dialogs.YesNo.push_back(daYes);
    Find<QAction>("DeleteFolder")->trigger();
    ASSERT_EVENTUALLY(!FileExists(Server->Path("site")) && !Window->EngineJobRunning() && Idle() &&
                          Window->RemoteFolderPath() == "/",
                      15000)
        << Log();
    EXPECT_FALSE(Tree->FindPathNode("\\site")) << Log();

    Dialogs.InputAnswers = {"new folder", "new folder"};
    Find<QAction>("NewFolder")->trigger();
    ASSERT_EVENTUALLY(Tree->FindPathNode("\\new folder") && Idle(), 15000) << Log();
    EXPECT_TRUE(FileExists(Server->Path("new folder")));
    EXPECT_TRUE(Dialogs.Messages.empty()) << Dialogs.Messages[0];
    Find<QAction>("NewFolder")->trigger();
    ASSERT_EVENTUALLY(!Dialogs.Messages.empty(), 15000) << Log();
    EXPECT_NE(Dialogs.Messages[0].find("did not create the folder /new folder"), std::string::npos)
        << Dialogs.Messages[0];
}

// Entries dragged out of the file list are fetched only when the drop asks
// for them, into a folder of their own, once per drop.
TEST_P(E2eOperations, EntriesDraggedOutArriveWhenTheDropAsksForThem)
{
    Server->MakeDir("pub/inner");
    Server->Put("pub/inner/deep.txt", "deep");
    const std::string Body = RandomBytes(300000, 7);
    Server->Put("pub/second.bin", Body);
    Settings("/", Server->Password());
    StartWindow();
    ShowWindow();
    TIpFtpDirectoryTree *Tree = Window->IpFtpDirectoryTree1();
    ASSERT_EVENTUALLY(Idle() && Tree->FindPathNode("\\pub"), 15000) << Log();
    Tree->setCurrentItem(Tree->FindPathNode("\\pub"));
    ASSERT_EVENTUALLY(Idle() && Entry("second.bin") && Entry("existing.txt"), 15000) << Log();
    auto *Source = Window->findChild<TRemoteDragSource *>();
    ASSERT_NE(Source, nullptr);
    std::unique_ptr<QMimeData> Mime(Source->MakeMimeData(
        {ListedEntryOf(*Entry("existing.txt")), ListedEntryOf(*Entry("second.bin")), {"inner", true}},
        Window->RemoteFolderPath()));
    EXPECT_TRUE(Source->LastFolder().isEmpty()) << "nothing is fetched before the drop";
    const QList<QUrl> Urls = Mime->urls();
    ASSERT_EQ(Urls.size(), 3) << Log();
    const std::string Folder = Source->LastFolder().toStdString();
    EXPECT_EQ(ReadFile(Urls[0].toLocalFile().toStdString()), "here before");
    EXPECT_EQ(ReadFile(Folder + "/second.bin"), Body);
    EXPECT_EQ(ReadFile(Folder + "/inner/deep.txt"), "deep");
    EXPECT_EQ(Mime->data(QStringLiteral("text/uri-list")).count("file://"), 3);
    EXPECT_EQ(Source->LastFolder().toStdString(), Folder) << "one delivery per drop";
    EXPECT_TRUE(Dialogs.Messages.empty()) << Dialogs.Messages[0];
    // The window gets its connection back as it was.
    Find<QAction>("Refresh1")->trigger();
    ASSERT_EVENTUALLY(Idle() && Window->RemoteFolderPath() == "/pub/" && Entry("second.bin"), 15000) << Log();
}

INSTANTIATE_TEST_SUITE_P(Servers, E2eOperations, ::testing::Values("pyftpd", "vsftpd"),
                         [](const auto &Info) { return Info.param; });
