// Uploads, downloads, drops and the file list's operations, driven through
// the window against a scripted server whose every line the test checks.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QTreeView>
#include <QMimeData>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <tuple>

#include "app/CircularProgress.h"
#include "app/QuitSignals.h"
#include "app/FileListModel.h"
#include "app/FtpDirectoryTree.h"
#include "app_fixture.h"
#include "ftp/test_ftp_fixture.h"

namespace {

const char *const RootListing = "drwxr-xr-x 2 o g 0 Jan 01 12:00 pub\r\n"
                                "-rw-r--r-- 1 o g 5 Jan 01 12:00 a.txt\r\n"
                                "-rw-r--r-- 1 o g 9 Jan 01 12:00 x/../../escape.txt\r\n"
                                "-rwxr-x--- 1 o g 7 Jan 01 12:00 run.sh\r\n";

bool Contains(const std::vector<std::string> &Lines, const std::string &Prefix)
{
    for (const std::string &L : Lines)
        if (L.rfind(Prefix, 0) == 0)
            return true;
    return false;
}

} // namespace

class TransferFlow : public TWindowFixture
{
protected:
    // The window logged in to the scripted server, showing the root folder,
    // idle and switched to passive mode.
    void LogIn()
    {
        ScriptLogin(Peer, "bob", "pw")
            .Reply("SYST", "215 UNIX Type: L8")
            .Reply("PWD", "257 \"/\" is current")
            .ExpectPort()
            .Send("200 PORT ok")
            .Reply("TYPE A", "200 ok")
            .Expect("LIST")
            .ConnectData()
            .Send("150 here")
            .SendData(RootListing)
            .CloseData()
            .Send("226 done");
        WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Peer.Port()) +
                      "\nUsername=bob\nPassword=pw\nDefault=/pub\nPassive=0\nEncryption=plain\n");
        StartWindow();
        Find<QTimer>("Timer2")->stop(); // its refresh would interleave with the script
        ShowWindow();
        ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
        ASSERT_EVENTUALLY(Idle() && Window->FileListModel()->Count() == 3, 10000) << Peer.Describe();
        Window->IpFtpClient()->SetPassiveMode(true);
    }
    bool Idle() const
    {
        return Window->IpFtpClient()->FtpState() == stReady && !Window->IpFtpClient()->TransferStream();
    }
    void Select(const std::string &Name)
    {
        for (int I = 0; I < Window->FileListModel()->Count(); ++I)
            if (Window->FileListModel()->Entry(I)->FileName == Name) {
                List()->setCurrentIndex(List()->model()->index(I, 0));
                return;
            }
        FAIL() << "no entry " << Name;
    }
    QTreeView *List() const { return Window->findChild<QTreeView *>(QStringLiteral("lbxFiles")); }
    void Trigger(const char *Action) { Find<QAction>(Action)->trigger(); }
    // A passive upload of Name as the server sees it, then the refresh
    // the window asks for once the server confirmed it.
    void ScriptUpload(const std::string &Lines, const std::string &Name)
    {
        Peer.Reply("TYPE I", "200 ok").ExpectPasv();
        size_t Start = 0;
        while (Start < Lines.size()) {
            const size_t End = Lines.find('\n', Start);
            Peer.Expect(Lines.substr(Start, End - Start)).Send("350 ok");
            Start = End == std::string::npos ? Lines.size() : End + 1;
        }
        Peer.Expect("STOR " + Name).Send("150 go").AcceptData().ReceiveData().Send("226 stored");
        Peer.Expect("CWD /").Send("250 ok").Reply("PWD", "257 \"/\"").Reply("TYPE A", "200 ok").ExpectPasv()
            .Expect("LIST").Send("150 here").AcceptData().SendData(RootListing).CloseData().Send("226 done");
    }

    TScriptedPeer Peer;
};

TEST_F(TransferFlow, UploadWithoutAFileOnlyOpensTheFileDialog)
{
    LogIn();
    ASSERT_TRUE(WriteFile(Dir.File("chosen.bin"), "x"));
    Dialogs.Files.push_back(Dir.File("chosen.bin"));
    QTest::mouseClick(Find<QPushButton>("sBitBtn1"), Qt::LeftButton);
    EXPECT_EQ(Dialogs.OpenFileCalls, 1);
    EXPECT_EQ(Text("FileLabel"), Dir.File("chosen.bin"));
    RunFor(300);
    EXPECT_FALSE(Contains(Peer.Received(), "STOR")) << "nothing is uploaded until Upload is pressed again";
    EXPECT_EQ(Find<TCircularProgress>("Progress1")->Maximum(), 1);
}

TEST_F(TransferFlow, UploadSendsTheLastPathPartAndRefreshesAfterwards)
{
    LogIn();
    const std::string Local = Dir.MakeDir("deep/er") + "/report.txt";
    ASSERT_TRUE(WriteFile(Local, "report body"));
    Dialogs.Files.push_back(Local);
    QTest::mouseClick(Find<QPushButton>("sButton2"), Qt::LeftButton);
    ScriptUpload("", "report.txt");
    QTest::mouseClick(Find<QPushButton>("sBitBtn1"), Qt::LeftButton);
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EQ(Peer.DataReceived().size(), 1u);
    EXPECT_EQ(Peer.DataReceived()[0], "report body");
    ASSERT_EVENTUALLY(Idle(), 5000);
    EXPECT_EQ(Title(), "Tolvane FTP Uploader - /") << "the refresh after the upload lists the folder";
}

TEST_F(TransferFlow, RestartOffsetIsASixtyFourBitNumberOrZero)
{
    LogIn();
    Find<QGroupBox>("SendMode1")->findChildren<QRadioButton *>()[3]->click(); // Restart
    // A sparse file just over 5 GiB: only its last 10 bytes travel.
    const std::string Big = Dir.File("big.iso");
    const int Fd = ::open(Big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(Fd, 0);
    ASSERT_EQ(::ftruncate(Fd, 5368709120LL + 10), 0);
    ::close(Fd);
    ASSERT_TRUE(WriteFile(Dir.File("small.txt"), "0123456789"));

    auto *Restart = Find<QLineEdit>("edtRestartAt");
    const std::pair<std::string, std::string> Cases[] = {{"", "REST 0"}, {"abc", "REST 0"}};
    for (const auto &[Field, Line] : Cases) {
        Restart->setText(QString::fromStdString(Field)); // bypasses the field's digit filter
        Window->UploadDroppedFile(Dir.File("small.txt"));
        ScriptUpload(Line, "small.txt");
        ASSERT_TRUE(Peer.WaitDone(10000)) << Field << ": " << Peer.Describe();
        ASSERT_EVENTUALLY(Idle(), 5000);
    }
    Restart->setText(QStringLiteral("5368709120"));
    ScriptUpload("REST 5368709120", "big.iso");
    Window->UploadDroppedFile(Big);
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    EXPECT_EQ(Peer.DataReceived().back(), std::string(10, '\0'));
    EXPECT_EQ(Find<TCircularProgress>("Progress1")->Maximum(), 5368709120LL + 10)
        << "the indicator keeps the whole 64-bit size";
}

TEST_F(TransferFlow, ACancelledFolderPickerDownloadsNothingThenOrAfterTheNextTransfer)
{
    LogIn();
    Select("a.txt");
    Trigger("Downloadfile1");
    EXPECT_EQ(Dialogs.PickFolderCalls, 1);
    ASSERT_NE(Window->SelectedEntry(), nullptr);
    EXPECT_EQ(Window->SelectedEntry()->FileName, "a.txt");
    // The next transfer ends: the selection alone starts no download.
    ASSERT_TRUE(WriteFile(Dir.File("up.txt"), "up"));
    ScriptUpload("", "up.txt");
    Window->UploadDroppedFile(Dir.File("up.txt"));
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(Idle(), 5000);
    Select("a.txt");
    RunFor(300);
    EXPECT_EQ(Dialogs.PickFolderCalls, 1);
    EXPECT_FALSE(Contains(Peer.Received(), "RETR"));
}

TEST_F(TransferFlow, ADownloadGoesIntoThePickedFolderAndTheRootIsAValidTarget)
{
    LogIn();
    TTempDir Target;
    Dialogs.Folders.push_back(Target.Path());
    Peer.Reply("TYPE I", "200 ok").ExpectPasv().Expect("RETR a.txt").Send("150 go").AcceptData()
        .SendData("hello").CloseData().Send("226 sent");
    Select("a.txt");
    Trigger("Downloadfile1");
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(FileExists(Target.File("a.txt")) && Window->PendingAction() == TTolvaneFtp::paNone, 5000);
    EXPECT_EQ(ReadFile(Target.File("a.txt")), "hello");
    EXPECT_EQ(Window->SelectedEntry(), nullptr);
    EXPECT_EQ(Title(), "Tolvane FTP Uploader - 5 - transfer complete");
}

TEST_F(TransferFlow, UnsafeNamesNeverBecomeLocalPaths)
{
    LogIn();
    Select("x/../../escape.txt");
    Trigger("Downloadfile1");
    ASSERT_EQ(Dialogs.Messages.size(), 1u);
    EXPECT_NE(Dialogs.Messages[0].find("x/../../escape.txt"), std::string::npos) << Dialogs.Messages[0];
    EXPECT_EQ(Dialogs.PickFolderCalls, 0);

    // A NUL byte inside a name, straight from a listing.
    static const char WithNul[] = "-rw-r--r-- 1 o g 5 Jan 01 12:00 a\0b.txt\r\n";
    Window->IpFtpDirectoryTree1()->LoadListing(std::string(WithNul, sizeof WithNul - 1));
    ASSERT_EQ(Window->FileListModel()->Count(), 1);
    List()->setCurrentIndex(List()->model()->index(0, 0));
    Trigger("Downloadfile1");
    EXPECT_EQ(Dialogs.Messages.size(), 2u);
    EXPECT_EQ(Dialogs.PickFolderCalls, 0);
    RunFor(200);
    EXPECT_FALSE(Contains(Peer.Received(), "RETR"));
}

TEST_F(TransferFlow, ADownloadIntoAnUnwritableFolderShowsTheErrorAndStartsNothing)
{
    LogIn();
    ASSERT_TRUE(WriteFile(Dir.File("blocker"), "x"));
    Dialogs.Folders.push_back(Dir.File("blocker")); // a file, not a folder
    Select("a.txt");
    Trigger("Downloadfile1");
    ASSERT_EQ(Dialogs.Messages.size(), 1u);
    EXPECT_NE(Dialogs.Messages[0].find("blocker"), std::string::npos) << Dialogs.Messages[0];
    EXPECT_EQ(Window->PendingAction(), TTolvaneFtp::paNone);
    EXPECT_TRUE(Idle());
    RunFor(200);
    EXPECT_FALSE(Contains(Peer.Received(), "RETR"));
}

TEST_F(TransferFlow, DeleteAsksFirstAndNoMeansNothing)
{
    LogIn();
    auto *Refresh = Find<QTimer>("Timer2");
    Select("a.txt");
    Dialogs.YesNo.push_back(daNo);
    Trigger("Delete2");
    ASSERT_EQ(Dialogs.Warnings.size(), 1u);
    EXPECT_EQ(Dialogs.Warnings[0], "Warning|Do you want to delete file: a.txt ?");
    EXPECT_FALSE(Refresh->isActive());

    Peer.Expect("DELE a.txt").Send("250 deleted");
    Dialogs.YesNo.push_back(daYes);
    Trigger("Delete2");
    ASSERT_TRUE(Peer.WaitDone(5000)) << Peer.Describe();
    EXPECT_TRUE(Refresh->isActive()) << "the list is refreshed about a second later";
}

TEST_F(TransferFlow, RenameAsksForTheNameAndSendsEvenAnUnchangedOne)
{
    LogIn();
    Select("a.txt");
    Dialogs.InputAnswers.push_back("a.txt");
    Peer.Expect("RNFR a.txt").Send("350 ready").Expect("RNTO a.txt").Send("250 renamed");
    Trigger("Rename2");
    ASSERT_EQ(Dialogs.Inputs.size(), 1u);
    EXPECT_EQ(Dialogs.Inputs[0], "Tolvane FTP Uploader|New file name:|a.txt");
    ASSERT_TRUE(Peer.WaitDone(5000)) << Peer.Describe();
    EXPECT_TRUE(Find<QTimer>("Timer2")->isActive());
}

TEST_F(TransferFlow, MenuFollowsTheSelectionAndCtrlPWithoutOneOnlyRefreshes)
{
    LogIn();
    // Before the first click every item is enabled; each checks the selection.
    EXPECT_TRUE(Find<QAction>("Permissions1")->isEnabled());
    Window->activateWindow();
    List()->setFocus();
    QTest::keyClick(List(), Qt::Key_P, Qt::ControlModifier);
    EXPECT_FALSE(FilePermission->isVisible());
    EXPECT_TRUE(Find<QTimer>("Timer2")->isActive()) << "Ctrl+P without a selection only refreshes";

    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, QPoint(5, 400)); // below the rows
    EXPECT_FALSE(Find<QAction>("Permissions1")->isEnabled());
    EXPECT_FALSE(Find<QAction>("Delete2")->isEnabled());
    EXPECT_FALSE(Find<QAction>("Downloadfile1")->isEnabled());
    EXPECT_FALSE(Find<QAction>("Rename2")->isEnabled());
    EXPECT_TRUE(Find<QAction>("Refresh1")->isEnabled());

    const QRect First = List()->visualRect(List()->model()->index(0, 0));
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, First.center());
    EXPECT_TRUE(Find<QAction>("Permissions1")->isEnabled());
    EXPECT_TRUE(Find<QAction>("Downloadfile1")->isEnabled());
}

// A drag that enters Target and is dropped there, delivered through the
// event system as the desktop's drag and drop delivers it; true when the
// drop was accepted.
static bool DragAndDrop(QWidget *Target, const QMimeData &Data)
{
    const QPointF At = QRectF(Target->rect()).center();
    QDragEnterEvent Enter(At.toPoint(), Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Target, &Enter);
    if (!Enter.isAccepted())
        return false;
    QDropEvent Drop(At, Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Target, &Drop);
    return Drop.isAccepted();
}

TEST_F(TransferFlow, ADropOnTheListUploadsItAllElsewhereAFileIsOnlyChosen)
{
    LogIn();
    const std::string Local = Dir.File("dropped.txt");
    ASSERT_TRUE(WriteFile(Local, "dropped"));
    const std::string Folder = Dir.MakeDir("folder");

    // A folder and a file: the first regular file counts.
    QMimeData Data;
    Data.setUrls({QUrl::fromLocalFile(QString::fromStdString(Folder)), QUrl::fromLocalFile(QString::fromStdString(Local))});

    // Elsewhere on the window: it becomes the file to upload, nothing more.
    EXPECT_TRUE(DragAndDrop(Window.get(), Data));
    EXPECT_EQ(Text("FileLabel"), Local);
    RunFor(200);
    EXPECT_FALSE(Contains(Peer.Received(), "STOR"));

    // On the list: the file and the folder go up at once, through the queue.
    Peer.Reply("TYPE I", "200 ok").ExpectPasv().Expect("STOR /dropped.txt").Send("150 go").AcceptData()
        .ReceiveData().Send("226 stored").Reply("MKD /folder", "257 \"/folder\" created");
    Peer.Expect("CWD /").Send("250 ok").Reply("PWD", "257 \"/\"").Reply("TYPE A", "200 ok").ExpectPasv()
        .Expect("LIST").Send("150 here").AcceptData().SendData(RootListing).CloseData().Send("226 done");
    EXPECT_TRUE(DragAndDrop(List()->viewport(), Data));
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    EXPECT_EQ(Peer.DataReceived().back(), "dropped");

    // A folder alone is no file to choose; no local file is nothing to drop.
    QMimeData OnlyFolder;
    OnlyFolder.setUrls({QUrl::fromLocalFile(QString::fromStdString(Folder)), QUrl(QStringLiteral("https://example.org/f.txt"))});
    EXPECT_FALSE(DragAndDrop(Window.get(), OnlyFolder));
    QMimeData NoLocal;
    NoLocal.setUrls({QUrl(QStringLiteral("https://example.org/f.txt"))});
    EXPECT_FALSE(DragAndDrop(List()->viewport(), NoLocal));
    EXPECT_EQ(Text("FileLabel"), Local);
}

TEST_F(TransferFlow, AOneCharacterFileLabelAsksForAFileOnce)
{
    const QString Old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(Dir.Path())));
    ASSERT_TRUE(WriteFile(Dir.File("a"), "x"));
    StartWindow({QStringLiteral("a")});
    ShowWindow();
    QDir::setCurrent(Old);
    EXPECT_EQ(Text("FileLabel"), "a");
    Window->TimerTimer();
    EXPECT_EQ(Dialogs.OpenFileCalls, 1);
    EXPECT_FALSE(Find<QTimer>("Timer")->isActive());
    EXPECT_TRUE(Find<QTimer>("Timer1")->isActive());
    RunFor(2500);
    EXPECT_EQ(Dialogs.OpenFileCalls, 1);
    EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_F(TransferFlow, AFailedDownloadLeavesTheLocalFileOfThatNameUntouched)
{
    LogIn();
    TTempDir Target;
    ASSERT_TRUE(WriteFile(Target.File("a.txt"), "original"));
    Dialogs.Folders.push_back(Target.Path());
    Peer.Reply("TYPE I", "200 ok").ExpectPasv().Expect("RETR a.txt").Send("150 go").AcceptData()
        .SendData("partial").ResetData().Send("426 Connection closed; transfer aborted");
    Dialogs.OverwriteAnswers.push_back(oaOverwrite);
    Select("a.txt");
    Trigger("Downloadfile1");
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(Idle(), 5000);
    RunFor(300);
    ASSERT_EQ(Dialogs.Overwrites.size(), 1u) << "an existing file is not replaced without asking";
    EXPECT_EQ(ReadFile(Target.File("a.txt")), "original");
    EXPECT_NE(Title(), "Tolvane FTP Uploader - 7 - transfer complete");
    // The failure reaches the user with the server's reason.
    ASSERT_FALSE(Dialogs.Messages.empty());
    EXPECT_NE(Dialogs.Messages.back().find("Download of a.txt failed"), std::string::npos) << Dialogs.Messages.back();
}

TEST_F(TransferFlow, PermissionsOpensTheDialogOnTheEntryAndOkSendsSiteChmod)
{
    LogIn();
    Select("run.sh");
    std::string Field, Boxes;
    QTimer::singleShot(0, [&] {
        // The modal dialog is open here: read it, then press Ok.
        Field = FilePermission->chmod->text().toStdString();
        for (QCheckBox *Box : {FilePermission->Read1, FilePermission->Write1, FilePermission->Execute1,
                               FilePermission->Read2, FilePermission->Write2, FilePermission->Execute2,
                               FilePermission->Read3, FilePermission->Write3, FilePermission->Execute3})
            Boxes += Box->isChecked() ? 'x' : '-';
        FilePermission->chmod->setText(QStringLiteral("755"));
        QTest::mouseClick(FilePermission->sButton1, Qt::LeftButton);
    });
    Peer.Expect("SITE CHMOD 755 /run.sh").Send("200 SITE CHMOD command ok.");
    Trigger("Permissions1");
    EXPECT_EQ(Field, "0750");
    EXPECT_EQ(Boxes, "xxxx-x---");
    ASSERT_TRUE(Peer.WaitDone(5000)) << Peer.Describe();
    EXPECT_FALSE(FilePermission->isVisible());
    EXPECT_TRUE(FilePermission->Write1->isChecked()) << "the boxes keep the mode they showed";
    EXPECT_TRUE(Find<QTimer>("Timer2")->isActive());
}

// The automatic login is slow (the greeting comes after 3 s): the
// unattended upload waits for it instead of dropping the file.
TEST(UnattendedUpload, WaitsForASlowLoginAndThenUploads)
{
    TScriptedDialogs Dialogs;
    TTempDir Dir{"tolvane-app"};
    ASSERT_TRUE(WriteFile(Dir.File("late.bin"), "late but there"));
    TScriptedPeer Peer;
    Peer.Pause(3000);
    ScriptLogin(Peer, "bob", "pw")
        .Reply("SYST", "215 UNIX Type: L8")
        .Reply("PWD", "257 \"/\" is current")
        .ExpectPort().Send("200 PORT ok")
        .Reply("TYPE A", "200 ok")
        .Expect("LIST").ConnectData().Send("150 here").SendData("").CloseData().Send("226 done")
        .ExpectPort().Send("200 PORT ok")
        .Reply("TYPE I", "200 ok")
        .Expect("STOR /drop/late.bin").Send("150 go").ConnectData().ReceiveData().Send("226 stored");
    ASSERT_TRUE(WriteFile(Dir.File("host.ini"), "[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Peer.Port()) +
                                                    "\nUsername=bob\nPassword=pw\nDefault=/drop\nPassive=0\nEncryption=plain\n"));
    TTolvaneFtp Window(Dir.File("host.ini"), {QString::fromStdString(Dir.File("late.bin"))});
    Window.findChild<QTimer *>(QStringLiteral("Timer2"))->stop();
    Window.show();
    ASSERT_TRUE(Peer.WaitDone(20000)) << Peer.Describe();
    ASSERT_EQ(Peer.DataReceived().size(), 1u);
    EXPECT_EQ(Peer.DataReceived()[0], "late but there");
    EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST(UnattendedUpload, SaysSoWhenTheServerRefusesTheLogin)
{
    TScriptedDialogs Dialogs;
    TTempDir Dir{"tolvane-app"};
    ASSERT_TRUE(WriteFile(Dir.File("f.bin"), "x"));
    TScriptedPeer Peer;
    Peer.Send("220 hi").Expect("USER bob").Send("331 pw").Expect("PASS wrong").Send("530 Login incorrect.")
        .Close();
    ASSERT_TRUE(WriteFile(Dir.File("host.ini"), "[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Peer.Port()) +
                                                    "\nUsername=bob\nPassword=wrong\nDefault=/\nEncryption=plain\n"));
    TTolvaneFtp Window(Dir.File("host.ini"), {QString::fromStdString(Dir.File("f.bin"))});
    Window.show();
    ASSERT_EVENTUALLY(!Dialogs.Messages.empty(), 10000);
    const std::string Text = Dialogs.Messages[0];
    EXPECT_NE(Text.find("f.bin was not uploaded"), std::string::npos) << Text;
    EXPECT_NE(Text.find("530 Login incorrect."), std::string::npos) << Text;
    RunFor(1500);
    EXPECT_EQ(Dialogs.Messages.size(), 1u) << "said once";
}

TEST_F(TransferFlow, UploadingOverAListedFileAsksFirstAppendNever)
{
    LogIn();
    const std::string Local = Dir.File("a.txt"); // listed with 5 bytes
    ASSERT_TRUE(WriteFile(Local, "12345678"));
    Dialogs.Files.push_back(Local);
    QTest::mouseClick(Find<QPushButton>("sButton2"), Qt::LeftButton);
    // Answer, rename box's answer, lines before the STOR, name stored (none: nothing sent), data.
    const std::tuple<TOverwriteAnswer, const char *, const char *, const char *, const char *> Cases[] = {
        {oaCancel, nullptr, "", nullptr, ""},     {oaOverwrite, nullptr, "", "a.txt", "12345678"},
        {oaResume, nullptr, "REST 5", "a.txt", "678"}, {oaRename, "b.txt", "", "b.txt", "12345678"}};
    for (const auto &[Answer, NewName, Lines, StoredAs, Data] : Cases) {
        Dialogs.Overwrites.clear();
        Dialogs.OverwriteAnswers.push_back(Answer);
        if (NewName)
            Dialogs.InputAnswers.push_back(NewName);
        if (StoredAs)
            ScriptUpload(Lines, StoredAs);
        QTest::mouseClick(Find<QPushButton>("sBitBtn1"), Qt::LeftButton);
        ASSERT_EQ(Dialogs.Overwrites.size(), 1u) << Answer;
        EXPECT_NE(Dialogs.Overwrites[0].find("|resume"), std::string::npos) << "the remote file is smaller";
        ASSERT_TRUE(StoredAs ? Peer.WaitDone(10000) : !RunUntil([&] { return Contains(Peer.Received(), "STOR"); }, 300))
            << Answer << Peer.Describe();
        EXPECT_EQ(StoredAs ? Peer.DataReceived().back() : std::string(), Data);
        ASSERT_EVENTUALLY(Idle(), 5000);
    }
    Find<QGroupBox>("SendMode1")->findChildren<QRadioButton *>()[0]->click(); // Append
    Peer.Reply("TYPE I", "200 ok").ExpectPasv().Expect("APPE a.txt").Send("150 go").AcceptData().ReceiveData()
        .Send("226 stored");
    QTest::mouseClick(Find<QPushButton>("sBitBtn1"), Qt::LeftButton);
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    EXPECT_EQ(Dialogs.Overwrites.size(), 1u);
}

TEST_F(TransferFlow, AListingUnderTheFolderPickerChangesNothingOfTheDownload)
{
    LogIn();
    TTempDir Target;
    Dialogs.Folders.push_back(Target.Path());
    // The entry asked for is freed while the picker is open.
    Dialogs.DuringDialog = [&] { Window->IpFtpDirectoryTree1()->LoadListing("-rw-r--r-- 1 o g 999 Jan 01 12:00 b\r\n"); };
    Peer.Reply("TYPE I", "200 ok").ExpectPasv().Expect("RETR a.txt").Send("150 go").AcceptData().SendData("hello")
        .CloseData().Send("226 sent");
    Select("a.txt");
    Trigger("Downloadfile1");
    EXPECT_EQ(Find<TCircularProgress>("Progress1")->Maximum(), 5) << "the size of the entry asked for";
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(ReadFile(Target.File("a.txt")) == "hello", 5000);
}

// Enter on a file downloads it, Backspace opens the parent; a folder change
// refused by the server or by the busy client leaves tree, list and cursor.
TEST_F(TransferFlow, KeysAndRefusedFolderChanges)
{
    LogIn();
    QApplication::setActiveWindow(Window.get());
    List()->setFocus();
    Select("a.txt");
    QTest::keyClick(List(), Qt::Key_Return);
    EXPECT_EQ(Dialogs.PickFolderCalls, 1);
    Peer.Expect("CWD ..").Send("250 ok").Reply("PWD", "257 \"/\"").Reply("TYPE A", "200 ok").ExpectPasv()
        .Expect("LIST").Send("150 here").AcceptData().SendData(RootListing).CloseData().Send("226 done")
        .Expect("CWD /pub").Send("550 Not a folder").Expect("NOOP").Pause(600).Send("211 ok");
    QTest::keyClick(List(), Qt::Key_Backspace);
    ASSERT_EVENTUALLY(Contains(Peer.Received(), "LIST") && Idle() && Window->FileListModel()->Count() == 3, 5000);
    TIpFtpDirectoryTree *Tree = Window->IpFtpDirectoryTree1();
    for (const char *Why : {"550 Not a folder", "must wait"}) {
        ASSERT_TRUE(std::string(Why) != "must wait" || Window->IpFtpClient()->SendFtpCommand("NOOP"));
        Tree->setCurrentItem(Tree->FindPathNode("\\pub"));
        ASSERT_EVENTUALLY(Idle() && Tree->currentItem() == nullptr, 5000) << Why << ": the tree marks the root again";
        EXPECT_EQ(QApplication::overrideCursor(), nullptr) << Why;
        EXPECT_NE(Find<QLabel>("StatusOutcome")->text().indexOf(QLatin1String(Why)), -1) << Why;
        EXPECT_EQ(Window->FileListModel()->Count(), 3) << "the list still shows the root";
    }
    ASSERT_TRUE(Peer.WaitDone(5000)) << Peer.Describe();
}

// The server takes part of a transfer, then waits for ABOR and QUIT.
static void ScriptAbort(TScriptedPeer &Peer, const std::string &Command, bool Upload)
{
    Peer.Reply("TYPE I", "200 ok").ExpectPasv().Expect(Command).Send("150 go").AcceptData();
    if (Upload)
        Peer.ReceiveDataBytes(65536);
    else
        Peer.SendData(std::string(100000, 'x'));
    Peer.Mark("mid").Expect("ABOR").Send("426 Connection closed; transfer aborted.").Send("226 ABOR successful.")
        .Expect("QUIT").Send("221 Goodbye.");
}

TEST_F(TransferFlow, DisconnectOrCloseDuringAnUploadAsksThenAbortsBeforeTheQuit)
{
    LogIn();
    ASSERT_TRUE(WriteFile(Dir.File("big.bin"), std::string(8 << 20, 'u')));
    Dialogs.Files.push_back(Dir.File("big.bin"));
    QTest::mouseClick(Find<QPushButton>("sButton2"), Qt::LeftButton);
    ScriptAbort(Peer, "STOR big.bin", true);
    QTest::mouseClick(Find<QPushButton>("sBitBtn1"), Qt::LeftButton);
    ASSERT_EVENTUALLY(Peer.Reached("mid"), 10000) << Peer.Describe();
    Dialogs.CancelAnswers = {false, false, true}; // keep going twice, then cancel
    QTest::mouseClick(Find<QPushButton>("ConnectBtn"), Qt::LeftButton);
    EXPECT_FALSE(Window->close()) << "the window stays while the transfer goes on";
    EXPECT_EQ(Text("ConnectBtn"), "Disconnect");
    RunFor(300);
    EXPECT_TRUE(Window->TransferRunning() && !Contains(Peer.Received(), "ABOR"));
    QTest::mouseClick(Find<QPushButton>("ConnectBtn"), Qt::LeftButton);
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    EXPECT_EQ(Dialogs.CancelQuestions.size(), 3u);
    EXPECT_EQ(Find<QLabel>("StatusOutcome")->text().toStdString(), "Upload of big.bin cancelled.");
    EXPECT_FALSE(Find<TCircularProgress>("Progress1")->isVisible()) << "the ring goes with the transfer";
    EXPECT_TRUE(Text("ConnectBtn") == "Connect" && Dialogs.Messages.empty()) << "a cancel is no failure";
}

TEST_F(TransferFlow, ASignalDuringADownloadCancelsItClosesAndLeavesNoPartialFile)
{
    LogIn();
    TTempDir Target;
    Dialogs.Folders.push_back(Target.Path());
    const auto Files = [&] { return QDir(QString::fromStdString(Target.Path())).entryList(QDir::Files | QDir::Hidden); };
    ScriptAbort(Peer, "RETR a.txt", false);
    TQuitSignals Signals;
    QObject::connect(&Signals, &TQuitSignals::Requested, Window.get(), [this] { Window->EndForSignal(); });
    Select("a.txt");
    Trigger("Downloadfile1");
    ASSERT_EVENTUALLY(Peer.Reached("mid") && !Files().isEmpty(), 10000) << Peer.Describe();
    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(!Window->isVisible(), 5000) << "the window closes once the cancel is done";
    EXPECT_TRUE(Files().isEmpty() && Dialogs.CancelQuestions.empty()) << Files().join(QLatin1Char(' ')).toStdString();
}

// The ring shows 100 % only with the server's final reply.
TEST_F(TransferFlow, TheRingIsFullOnlyWithTheFinalReply)
{
    LogIn();
    ASSERT_TRUE(WriteFile(Dir.File("whole.bin"), std::string(32 << 20, 'w')));
    Dialogs.Files.push_back(Dir.File("whole.bin"));
    QTest::mouseClick(Find<QPushButton>("sButton2"), Qt::LeftButton);
    // A stall in the middle, so that progress is shown.
    Peer.Reply("TYPE I", "200 ok").ExpectPasv().Expect("STOR whole.bin").Send("150 go").AcceptData()
        .ReceiveDataBytes(1 << 20).Pause(1200).ReceiveData().Mark("received").Pause(1500).Send("226 stored");
    QTest::mouseClick(Find<QPushButton>("sBitBtn1"), Qt::LeftButton);
    auto *Ring = Find<TCircularProgress>("Progress1");
    ASSERT_EVENTUALLY(Ring->isVisible(), 5000);
    ASSERT_EVENTUALLY(Peer.Reached("received") && Window->IpFtpClient()->BytesTransferred() == (32 << 20), 10000);
    RunFor(700); // progress ticks come every 500 ms
    EXPECT_TRUE(Ring->isVisible() && Ring->Position() < Ring->Maximum()) << "all sent, nothing confirmed";
    EXPECT_NE(Find<QLabel>("StatusTransfer")->text().indexOf(QStringLiteral("of 32.0 MiB")), -1);
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(!Ring->isVisible(), 5000);
    EXPECT_EQ(Find<QLabel>("StatusOutcome")->text().toStdString(), "Uploaded whole.bin (33554432 bytes).");
}
