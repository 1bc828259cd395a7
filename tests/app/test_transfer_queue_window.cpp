// Several files and folders at once through the window: uploads, folder
// uploads, downloads and deletes against pyftpdlib, and cancel-all and a
// lost connection against a scripted server, with the Transfers page.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include "app/FileListModel.h"
#include "app/FtpDirectoryTree.h"
#include "app/TransferJobs.h"
#include "app/TransferPane.h"
#include "app/TransferQueueModel.h"
#include "app_fixture.h"
#include "e2e/test_ftp_e2e_fixture.h"

namespace {

bool IsFolder(const std::string &Path)
{
    struct stat St;
    return ::lstat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

} // namespace

TEST(TransferQueueFigures, PercentOfTheWholeFileAndRateOfTheRunningOne)
{
    struct TCase
    {
        int64_t Size, RestartAt, Moved;
        TIpFtpQueueState State;
        bool Folder;
        const char *Percent;
    };
    const TCase Cases[] = {
        {200, 0, 50, qsRunning, false, "25 %"},    {200, 100, 50, qsRunning, false, "75 %"},
        {-1, 0, 50, qsRunning, false, ""},         {0, 0, 0, qsDone, false, "100 %"},
        {0, 0, 0, qsQueued, false, ""},            {-1, 0, 0, qsDone, true, ""},
        {INT64_MAX, 0, INT64_MAX / 2, qsRunning, false, "50 %"}, {10, 0, 99, qsRunning, false, "100 %"},
    };
    for (const TCase &C : Cases) {
        TIpFtpQueueItem Item;
        Item.Size = C.Size;
        Item.RestartAt = C.RestartAt;
        Item.BytesMoved = C.Moved;
        Item.State = C.State;
        Item.Folder = C.Folder;
        EXPECT_EQ(TransferPercent(Item).toStdString(), C.Percent) << C.Size << " " << C.RestartAt << " " << C.Moved;
    }
    EXPECT_EQ(TransferRate(3 << 20, 2000).toStdString(), "1.5 MiB/s");
    EXPECT_EQ(TransferRate(1000, 50).toStdString(), "") << "too early to say";
}

class TransferQueueWindow : public TWindowFixture
{
protected:
    bool Idle() const
    {
        return Window->IpFtpClient()->FtpState() == stReady && !Window->IpFtpClient()->TransferStream() &&
               !Window->QueueRunning();
    }
    const TIpFtpFileInfo *Entry(const std::string &Name) const
    {
        for (int I = 0; I < Window->FileListModel()->Count(); ++I)
            if (Window->FileListModel()->Entry(I)->FileName == Name)
                return Window->FileListModel()->Entry(I);
        return nullptr;
    }
    // "name: state" of every row of the Transfers page, as it shows them.
    std::vector<std::string> Rows() const
    {
        const TTransferQueueModel *M = Window->TransferPane()->Model();
        std::vector<std::string> Out;
        for (int R = 0; R < M->rowCount(); ++R)
            Out.push_back(M->index(R, TTransferQueueModel::colName).data().toString().toStdString() + ": " +
                          M->index(R, TTransferQueueModel::colState).data().toString().toStdString());
        return Out;
    }
    std::string Joined(const std::vector<std::string> &Lines) const
    {
        std::string S;
        for (const std::string &L : Lines)
            S += L + "\n";
        return S;
    }
    void CtrlClick(const std::string &Name)
    {
        auto *List = Find<QTreeView>("lbxFiles");
        for (int I = 0; I < Window->FileListModel()->Count(); ++I)
            if (Window->FileListModel()->Entry(I)->FileName == Name) {
                const QRect R = List->visualRect(List->model()->index(I, 0));
                QTest::mouseClick(List->viewport(), Qt::LeftButton, Qt::ControlModifier, R.center());
                return;
            }
        FAIL() << "no entry " << Name;
    }
    std::string Outcome() const { return Find<QLabel>("StatusOutcome")->text().toStdString(); }
    std::string Log() const { return Find<QPlainTextEdit>("ReplyMemo")->toPlainText().toStdString(); }
    void Click(const char *Name) { QTest::mouseClick(Find<QPushButton>(Name), Qt::LeftButton); }
};

class QueueOnPyftpd : public TransferQueueWindow
{
protected:
    void SetUp() override
    {
        if (!TServer::Available("pyftpd"))
            GTEST_SKIP() << TServer::Missing("pyftpd");
        Server = std::make_unique<TServer>("pyftpd");
        Server->Put("old.txt", "old");
        Server->Put("keep.txt", "keep");
        ASSERT_TRUE(Server->Start());
        WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Server->Port()) + "\nUsername=" +
                      Server->User() + "\nPassword=" + Server->Password() + "\nDefault=/\nEncryption=plain\n");
        StartWindow();
        ShowWindow();
        ASSERT_EVENTUALLY(Idle() && Window->RemoteFolderPath() == "/" && Entry("old.txt"), 15000) << Log();
    }
    std::unique_ptr<TServer> Server;
};

TEST_F(QueueOnPyftpd, SeveralFilesAndAFolderLandWithOneQuestionForAllConflicts)
{
    for (const char *Name : {"a.txt", "old.txt", "keep.txt"})
        ASSERT_TRUE(WriteFile(Dir.File(Name), std::string("new ") + Name));
    Dialogs.FileLists.push_back({Dir.File("a.txt"), Dir.File("old.txt"), Dir.File("keep.txt")});
    Dialogs.OverwriteAnswers = {oaOverwrite};
    Dialogs.ApplyToAllAnswers = {true};
    Click("sButton2");
    ASSERT_EVENTUALLY(Idle() && Entry("a.txt"), 15000) << Log();
    ASSERT_EQ(Dialogs.Overwrites.size(), 1u) << "Apply to all answers the second conflict";
    EXPECT_NE(Dialogs.Overwrites[0].find("|all"), std::string::npos);
    for (const char *Name : {"a.txt", "old.txt", "keep.txt"})
        EXPECT_EQ(ReadFile(Server->Path(Name)), std::string("new ") + Name);

    // A folder with a blank in a name, an empty folder and a link below it.
    const std::string Tree = Dir.File("tree");
    ASSERT_EQ(::mkdir(Tree.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((Tree + "/sub dir").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((Tree + "/empty").c_str(), 0755), 0);
    const std::string Deep = RandomBytes(300000, 7);
    ASSERT_TRUE(WriteFile(Tree + "/sub dir/deep.bin", Deep));
    ASSERT_TRUE(WriteFile(Tree + "/top.txt", "top"));
    ASSERT_EQ(::symlink("top.txt", (Tree + "/link").c_str()), 0);
    Dialogs.Folders.push_back(Tree);
    Click("sBitBtnFolder");
    ASSERT_EVENTUALLY(Idle() && Outcome().rfind("Transfers finished", 0) == 0, 15000) << Log();
    EXPECT_EQ(Outcome(), "Transfers finished: 5 done, 1 skipped.") << Joined(Rows());
    EXPECT_EQ(ReadFile(Server->Path("tree/sub dir/deep.bin")), Deep);
    EXPECT_EQ(ReadFile(Server->Path("tree/top.txt")), "top");
    EXPECT_TRUE(IsFolder(Server->Path("tree/empty")));
    EXPECT_FALSE(FileExists(Server->Path("tree/link")));
    const std::vector<std::string> Shown = Rows();
    EXPECT_EQ(std::count(Shown.begin(), Shown.end(), "deep.bin: done"), 1) << Joined(Shown);
    EXPECT_EQ(std::count(Shown.begin(), Shown.end(), "link: skipped: symbolic link (not followed)"), 1)
        << Joined(Shown);
    EXPECT_TRUE(Dialogs.Messages.empty());

    // Again, into the folder that is there now: what exists is asked about
    // (once, for all), and Rename picks free names beside the old files.
    ASSERT_TRUE(WriteFile(Tree + "/top.txt", "top 2"));
    Dialogs.Folders.push_back(Tree);
    Dialogs.OverwriteAnswers = {oaRename};
    Dialogs.ApplyToAllAnswers = {true};
    Click("sBitBtnFolder");
    ASSERT_EVENTUALLY(Idle() && Outcome() == "Transfers finished: 2 done, 1 skipped.", 15000) << Outcome() << Log();
    EXPECT_EQ(Dialogs.Overwrites.size(), 2u);
    EXPECT_EQ(ReadFile(Server->Path("tree/top (1).txt")), "top 2");
    EXPECT_EQ(ReadFile(Server->Path("tree/top.txt")), "top");
    EXPECT_EQ(ReadFile(Server->Path("tree/sub dir/deep (1).bin")), Deep);

    // Done and skipped rows go; the buttons follow.
    EXPECT_TRUE(Find<QPushButton>("btnClearFinished")->isEnabled());
    EXPECT_FALSE(Find<QPushButton>("btnRetryFailed")->isEnabled());
    Click("btnClearFinished");
    EXPECT_TRUE(Rows().empty());
    EXPECT_FALSE(Find<QPushButton>("btnClearFinished")->isEnabled());
}

TEST_F(QueueOnPyftpd, SeveralEntriesGoDownIntoThePickedFolderAndAreDeletedWithOneQuestion)
{
    Server->MakeDir("docs");
    Server->MakeDir("docs/inner");
    Server->Put("docs/inner/b.txt", "deep b");
    Find<QAction>("Refresh1")->trigger();
    ASSERT_EVENTUALLY(Idle() && Window->IpFtpDirectoryTree1()->FindPathNode("\\docs"), 15000) << Log();

    // Both are here already: asked once, and renamed beside the local ones.
    TTempDir Target;
    ASSERT_TRUE(WriteFile(Target.File("old.txt"), "local old"));
    ASSERT_TRUE(WriteFile(Target.File("keep.txt"), "local keep"));
    Dialogs.OverwriteAnswers = {oaRename};
    Dialogs.ApplyToAllAnswers = {true};
    CtrlClick("old.txt");
    CtrlClick("keep.txt");
    Dialogs.Folders.push_back(Target.Path());
    Find<QAction>("Downloadfile1")->trigger();
    ASSERT_EVENTUALLY(Idle() && FileExists(Target.File("keep (1).txt")), 15000) << Log();
    EXPECT_EQ(Dialogs.Overwrites.size(), 1u);
    EXPECT_EQ(ReadFile(Target.File("old (1).txt")), "old");
    EXPECT_EQ(ReadFile(Target.File("keep (1).txt")), "keep");
    EXPECT_EQ(ReadFile(Target.File("old.txt")), "local old");

    // A folder goes down with everything below it.
    ASSERT_TRUE(Window->TransferJobs()->Download({{"docs", true}}, "/", Target.Path(), rmReplace));
    ASSERT_EVENTUALLY(Idle() && FileExists(Target.File("docs/inner/b.txt")), 15000) << Log();
    EXPECT_EQ(ReadFile(Target.File("docs/inner/b.txt")), "deep b");

    CtrlClick("old.txt");
    CtrlClick("keep.txt");
    Dialogs.YesNo.push_back(daYes);
    Find<QAction>("Delete2")->trigger();
    ASSERT_EVENTUALLY(Idle() && !Entry("old.txt") && !Entry("keep.txt"), 15000) << Log();
    ASSERT_EQ(Dialogs.Warnings.size(), 1u);
    EXPECT_EQ(Dialogs.Warnings[0], "Warning|Do you want to delete 2 files?");
    EXPECT_FALSE(FileExists(Server->Path("old.txt")) || FileExists(Server->Path("keep.txt")));
    EXPECT_TRUE(Dialogs.Messages.empty()) << Dialogs.Messages.front();
}

class QueueOnScript : public TransferQueueWindow
{
protected:
    // Logged in to the scripted server, showing "/" (empty), passive.
    void LogIn(bool Again = false)
    {
        if (Again)
            Peer.Accept();
        ScriptLogin(Peer, "bob", "pw")
            .Reply("SYST", "215 UNIX Type: L8")
            .Reply("PWD", "257 \"/\" is current")
            .ExpectPort()
            .Send("200 PORT ok")
            .Reply("TYPE A", "200 ok")
            .Expect("LIST")
            .ConnectData()
            .Send("150 here")
            .CloseData()
            .Send("226 done");
        if (!Again) {
            WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Peer.Port()) +
                          "\nUsername=bob\nPassword=pw\nDefault=/\nPassive=0\nEncryption=plain\n");
            StartWindow();
            Find<QTimer>("Timer2")->stop(); // its refresh would interleave with the script
            ShowWindow();
        } else {
            Click("ConnectBtn");
        }
        ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
        ASSERT_EVENTUALLY(Idle() && Window->IpFtpClient()->LoggedIn(), 10000) << Peer.Describe();
        Window->IpFtpClient()->SetPassiveMode(true);
    }
    void Upload(const std::string &Name, bool Whole)
    {
        Peer.ExpectPasv().Expect("STOR /" + Name).Send("150 go").AcceptData();
        if (Whole)
            Peer.ReceiveData().Send("226 stored");
        else
            Peer.ReceiveDataBytes(65536).Mark("mid");
    }
    void Refresh()
    {
        Peer.Expect("CWD /").Send("250 ok").Reply("PWD", "257 \"/\"").Reply("TYPE A", "200 ok").ExpectPasv()
            .Expect("LIST").Send("150 here").AcceptData().CloseData().Send("226 done");
    }
    void QueueTwo()
    {
        ASSERT_TRUE(WriteFile(Dir.File("one.bin"), std::string(8 << 20, '1')));
        ASSERT_TRUE(WriteFile(Dir.File("two.bin"), "second"));
        Dialogs.FileLists.push_back({Dir.File("one.bin"), Dir.File("two.bin")});
        Click("sButton2");
    }
    TScriptedPeer Peer;
};

TEST_F(QueueOnScript, CancelAllAbortsTheRunningFileAndCancelsTheRest)
{
    LogIn();
    Peer.Reply("TYPE I", "200 ok");
    Upload("one.bin", false);
    Peer.Expect("ABOR").Send("426 Connection closed; transfer aborted.").Send("226 ABOR successful.");
    Refresh();
    QueueTwo();
    ASSERT_EVENTUALLY(Peer.Reached("mid"), 10000) << Peer.Describe();
    Click("sBitBtn3"); // Navigate: the window is busy
    EXPECT_EQ(Outcome(), "Navigating must wait: transfers are running (see the Transfers page).");
    const std::string Figures = Find<QLabel>("StatusTransfer")->text().toStdString();
    EXPECT_NE(Figures.find(" of 8.0 MiB"), std::string::npos) << Figures << ": the whole run's bytes";
    // The waiting one first, from its row; the running one goes on.
    EXPECT_FALSE(Find<QPushButton>("btnCancelTransfer")->isEnabled());
    QTreeView *View = Window->TransferPane()->View();
    View->selectionModel()->select(View->model()->index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    Click("btnCancelTransfer");
    EXPECT_EQ(Joined(Rows()), "one.bin: running\ntwo.bin: cancelled\n");
    ASSERT_TRUE(Find<QPushButton>("btnCancelAll")->isEnabled());
    Click("btnCancelAll");
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(Idle(), 10000);
    EXPECT_EQ(Joined(Rows()), "one.bin: cancelled\ntwo.bin: cancelled\n");
    EXPECT_EQ(Outcome(), "Transfers cancelled: 0 done, 2 cancelled.");
    EXPECT_TRUE(Find<QLabel>("StatusTransfer")->text().isEmpty());
    EXPECT_TRUE(Dialogs.Messages.empty()) << "a cancel is no failure";
}

TEST_F(QueueOnScript, ALostConnectionFailsTheRunningFileAndRetryAfterReconnectingSendsBoth)
{
    LogIn();
    Peer.Reply("TYPE I", "200 ok");
    Upload("one.bin", false);
    Peer.Reset();
    QueueTwo();
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(!Window->QueueRunning() && !Dialogs.Messages.empty(), 10000) << Joined(Rows()) << Log();
    const std::vector<std::string> Shown = Rows();
    ASSERT_EQ(Shown.size(), 2u);
    EXPECT_EQ(Shown[0].rfind("one.bin: failed: Connection closed", 0), 0u) << Shown[0];
    EXPECT_EQ(Shown[1], "two.bin: queued");
    EXPECT_EQ(Dialogs.Messages.back().rfind("Transfers finished: 0 done, 1 failed, 1 not transferred", 0), 0u)
        << Dialogs.Messages.back();
    EXPECT_NE(Dialogs.Messages.back().find("\none.bin: Connection closed"), std::string::npos);
    EXPECT_FALSE(Find<QPushButton>("btnRetryFailed")->isEnabled()) << "nothing can run without a login";

    LogIn(true);
    ASSERT_TRUE(Find<QPushButton>("btnRetryFailed")->isEnabled());
    Peer.Reply("TYPE I", "200 ok");
    Upload("one.bin", true);
    Upload("two.bin", true);
    Refresh();
    Click("btnRetryFailed");
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(Idle() && Outcome().rfind("Transfers finished", 0) == 0, 10000);
    EXPECT_EQ(Joined(Rows()), "one.bin: done\ntwo.bin: done\n");
    ASSERT_EQ(Peer.DataReceived().size(), 3u);
    EXPECT_EQ(Peer.DataReceived()[1].size(), size_t(8 << 20));
    EXPECT_EQ(Peer.DataReceived()[2], "second");
}

TEST_F(QueueOnScript, ClosingWhileTheQueueRunsAsksThenAbortsAndCloses)
{
    LogIn();
    Peer.Reply("TYPE I", "200 ok");
    Upload("one.bin", false);
    Peer.Expect("ABOR").Send("426 Connection closed; transfer aborted.").Send("226 ABOR successful.")
        .Expect("QUIT").Send("221 Goodbye.");
    QueueTwo();
    ASSERT_EVENTUALLY(Peer.Reached("mid"), 10000) << Peer.Describe();
    Dialogs.CancelAnswers = {false, true}; // keep going, then cancel
    EXPECT_FALSE(Window->close());
    EXPECT_TRUE(Window->QueueRunning());
    EXPECT_FALSE(Window->close());
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(!Window->isVisible(), 10000) << "the window closes once the queue has stopped";
    EXPECT_EQ(Dialogs.CancelQuestions,
              std::vector<std::string>(2, "Transfers are running. Cancel them and close the window?"));
    EXPECT_EQ(Joined(Rows()), "one.bin: cancelled\ntwo.bin: cancelled\n");
}

TEST_F(QueueOnScript, ARefusedFileFailsAloneAndOneMessageNamesIt)
{
    LogIn();
    Peer.Reply("TYPE I", "200 ok").ExpectPasv().Expect("STOR /one.bin").Send("553 Not allowed here.");
    Upload("two.bin", true);
    Refresh();
    QueueTwo();
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(Idle() && !Dialogs.Messages.empty(), 10000) << Joined(Rows());
    EXPECT_EQ(Joined(Rows()), "one.bin: failed: 553 Not allowed here.\ntwo.bin: done\n");
    EXPECT_EQ(Outcome(), "Transfers finished: 1 done, 1 failed.");
    EXPECT_EQ(Dialogs.Messages, std::vector<std::string>{"Transfers finished: 1 done, 1 failed.\none.bin: 553 Not allowed here."});
}
