// The main window: its widgets, the settings file, connecting, the status
// captions, showing and closing.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QAccessible>
#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QTreeView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTimer>
#include <QTest>

#include "app/CircularProgress.h"
#include "base/IpDebugLog.h"
#include "base/IpEventLog.h"
#include "app/FileListModel.h"
#include "app/FtpDirectoryTree.h"
#include "app_fixture.h"
#include "ftp/test_ftp_fixture.h"

namespace {

int CheckedIndex(const QGroupBox *Group)
{
    const QList<QRadioButton *> Items = Group->findChildren<QRadioButton *>();
    for (int I = 0; I < Items.size(); ++I)
        if (Items[I]->isChecked())
            return I;
    return -1;
}

QString CheckedText(const QGroupBox *Group)
{
    for (const QRadioButton *Item : Group->findChildren<QRadioButton *>())
        if (Item->isChecked())
            return Item->text();
    return QString();
}

QString AccessibleName(QObject *Object)
{
    QAccessibleInterface *Iface = QAccessible::queryAccessibleInterface(Object);
    return Iface ? Iface->text(QAccessible::Name) : QString();
}

} // namespace

using MainWindow = TWindowFixture;

TEST_F(MainWindow, StartsWithEveryWidgetInItsInitialState)
{
    StartWindow();
    EXPECT_EQ(Title(), "Tolvane FTP Uploader");
    EXPECT_FALSE(Window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(Window->windowFlags() & Qt::WindowMinimizeButtonHint);
    // The encryption row of the connection bar may make it taller.
    EXPECT_EQ(Window->width(), 730);
    EXPECT_GE(Window->height(), 396);

    for (const char *Name : {"edtURL", "edtUserName", "edtPassword", "DefRemote", "edtRestartAt"})
        EXPECT_EQ(Text(Name), "") << Name;
    EXPECT_EQ(Find<QLineEdit>("edtPassword")->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(Find<QCheckBox>("chkPassive")->isChecked()) << "passive unless the settings say otherwise";
    EXPECT_EQ(Text("chkPassive"), "Passive");
    EXPECT_EQ(Text("RemoteFolder"), "/");
    EXPECT_EQ(Text("FileLabel"), "");
    EXPECT_TRUE(Find<QLabel>("RemoteFolder")->font().bold());
    EXPECT_EQ(Find<QLabel>("RemoteFolder")->textFormat(), Qt::PlainText);
    EXPECT_FALSE(Find<TCircularProgress>("Progress1")->isVisibleTo(Window.get()));
    EXPECT_EQ(Find<TCircularProgress>("Progress1")->SegmentStep(), 2);
    EXPECT_EQ(Find<TCircularProgress>("Progress1")->AnimationInterval(), 50);

    const std::pair<const char *, const char *> Captions[] = {
        {"sBitBtn5", "Save"},     {"ConnectBtn", "Connect"}, {"sButton2", "Select file ..."},
        {"sBitBtn1", "Upload"},   {"sBitBtn2", "About"},     {"sBitBtn4", "Save"},
        {"sBitBtn3", "Navigate"}, {"DoUp", "DoUp"},      {"sBitBtnFolder", "Upload folder…"}};
    for (const auto &[Name, Caption] : Captions)
        EXPECT_EQ(Text(Name), Caption) << Name;
    EXPECT_FALSE(Find<QPushButton>("DoUp")->isVisibleTo(Window.get()));

    auto *Pages = Find<QTabWidget>("PageControl");
    ASSERT_EQ(Pages->count(), 4);
    EXPECT_EQ(Pages->tabText(0), "Upload folder");
    EXPECT_EQ(Pages->tabText(1), "Options");
    EXPECT_EQ(Pages->tabText(2), "Log");
    EXPECT_EQ(Pages->tabText(3), "Transfers");
    EXPECT_EQ(Pages->currentIndex(), 0);

    EXPECT_EQ(Find<QGroupBox>("rgDirStyle")->title(), " Style ");
    EXPECT_EQ(CheckedText(Find<QGroupBox>("rgDirStyle")), "Automatic");
    EXPECT_EQ(Find<QGroupBox>("SendMode1")->title(), " Send Mode ");
    EXPECT_EQ(CheckedIndex(Find<QGroupBox>("SendMode1")), 1);
    EXPECT_EQ(Find<QGroupBox>("FileType1")->title(), " File Type ");
    EXPECT_EQ(CheckedIndex(Find<QGroupBox>("FileType1")), 0);
    EXPECT_TRUE(Find<QPlainTextEdit>("ReplyMemo")->isReadOnly());
    EXPECT_EQ(Window->IpFtpDirectoryTree1()->objectName(), "IpFtpDirectoryTree1");
    EXPECT_EQ(Window->IpFtpDirectoryTree1()->DirectoryStyle(), dsUnix);
    EXPECT_EQ(Window->IpFtpDirectoryTree1()->indentation(), 23);
    EXPECT_EQ(Find<QTreeView>("lbxFiles")->selectionMode(), QAbstractItemView::ExtendedSelection);

    const std::tuple<const char *, const char *, QKeySequence> Items[] = {
        {"Downloadfile1", "Download file", QKeySequence(Qt::CTRL | Qt::Key_D)},
        {"Refresh1", "Refresh", QKeySequence(Qt::Key_F5)},
        {"Delete2", "Delete ", QKeySequence(Qt::Key_Delete)},
        {"Rename2", "Rename", QKeySequence(Qt::CTRL | Qt::Key_R)},
        {"Permissions1", "Permissions", QKeySequence(Qt::CTRL | Qt::Key_P)},
        {"NewFolder", "New folder", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N)},
        {"DeleteFolder", "Delete folder", QKeySequence(Qt::SHIFT | Qt::Key_Delete)}};
    auto *Menu = Find<QMenu>("RemotePopupMenu");
    // "Upload folder…", "Download folder", three separators and "Show hidden files"
    ASSERT_EQ(Menu->actions().size(), 13);
    for (const auto &[Name, Caption, Key] : Items) {
        auto *Action = Find<QAction>(Name);
        EXPECT_EQ(Action->text().toStdString(), Caption);
        EXPECT_EQ(Action->shortcut(), Key) << Name;
        EXPECT_EQ(Action->shortcutContext(), Qt::WidgetWithChildrenShortcut) << Name;
        EXPECT_TRUE(Action->isEnabled()) << Name;
    }

    EXPECT_FALSE(Find<QTimer>("Timer")->isActive());
    EXPECT_EQ(Find<QTimer>("Timer")->interval(), 2000);
    EXPECT_FALSE(Find<QTimer>("Timer1")->isActive());
    EXPECT_EQ(Find<QTimer>("Timer1")->interval(), 1000);
    EXPECT_TRUE(Find<QTimer>("Timer2")->isActive());

    TIpFtpClient *C = Window->IpFtpClient();
    EXPECT_EQ(C->DefaultPort(), 21);
    EXPECT_EQ(C->FileType(), ftBinary);
    EXPECT_TRUE(C->PassiveMode());
    EXPECT_EQ(C->TransferTimeout(), 0u);
    EXPECT_EQ(C->IdleTimeout(), 0u);
    EXPECT_EQ(C->DirectoryTree(), Window->IpFtpDirectoryTree1());
    EXPECT_EQ(Window->IpFtpDirectoryTree1()->FtpClient(), C);
    EXPECT_EQ(C->DebugLog()->FileName(), "ftplog.txt");
    EXPECT_FALSE(C->DebugLog()->Enabled());
    EXPECT_EQ(C->EventLog()->FileName(), "event.log");
    EXPECT_FALSE(C->EventLog()->Enabled());
    EXPECT_EQ(C->SocksServer()->Port(), 1080);
    EXPECT_EQ(C->SocksServer()->SocksVersion(), svSocks4);

    EXPECT_FALSE(FileExists(SettingsPath())); // nothing written before a Save
}

TEST_F(MainWindow, ReadsTheSettingsFileAndAMissingDefaultLeavesTheFolderEmpty)
{
    WriteSettings("[TolvaneFtp]\nHost=ftp.example.org\nUsername=ann\nPassword=pw\n");
    StartWindow();
    EXPECT_EQ(Text("edtURL"), "ftp.example.org");
    EXPECT_EQ(Text("edtUserName"), "ann");
    EXPECT_EQ(Text("edtPassword"), "pw");
    EXPECT_EQ(Text("DefRemote"), "");
}

TEST_F(MainWindow, ADefaultWithoutAHostFillsOnlyTheFolder)
{
    WriteSettings("[TolvaneFtp]\nDefault=/www\n");
    StartWindow();
    EXPECT_EQ(Text("edtURL"), "");
    EXPECT_EQ(Text("DefRemote"), "/www");
    ShowWindow(); // no login without host, user and password
    EXPECT_EQ(Text("ConnectBtn"), "Connect");
    EXPECT_EQ(Text("RemoteFolder"), "/www");
    EXPECT_EQ(Window->IpFtpClient()->FtpState(), stClosed);
}

TEST_F(MainWindow, BrokenSettingsFilesStartWithEmptyFields)
{
    for (const std::string &Sample : {RandomBytes(2048, 3), std::string(10 * 1024 * 1024, 'A'),
                                      std::string("Host=x\nUsername=y\n")}) {
        WriteSettings(Sample);
        StartWindow();
        EXPECT_EQ(Text("edtURL"), "");
        EXPECT_EQ(Text("edtUserName"), "");
        TearDown();
    }
}

TEST_F(MainWindow, SaveWritesAllFourKeysInOrderForTheOwnerOnly)
{
    StartWindow();
    QTest::keyClicks(Find<QLineEdit>("edtURL"), "ftp.example.org");
    QTest::keyClicks(Find<QLineEdit>("edtUserName"), "ann");
    QTest::keyClicks(Find<QLineEdit>("edtPassword"), "pw");
    QTest::keyClicks(Find<QLineEdit>("DefRemote"), "/www");
    QTest::mouseClick(Find<QPushButton>("sBitBtn5"), Qt::LeftButton);
    EXPECT_EQ(ReadFile(SettingsPath()),
              "[TolvaneFtp]\nHost=ftp.example.org\nUsername=ann\nPassword=pw\nDefault=/www\nPassive=1\n"
              "Encryption=auto\nRememberPassword=1\n");
    struct stat St;
    ASSERT_EQ(::stat(SettingsPath().c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0600u);
    EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_F(MainWindow, AnUnwritableSettingsFileStopsConnectAndNavigate)
{
    ASSERT_TRUE(WriteFile(Dir.File("blocker"), "a file, not a folder"));
    Window = std::make_unique<TTolvaneFtp>(Dir.File("blocker") + "/host.ini", QStringList());
    const std::string Expected = "Unable to write to " + Dir.File("blocker") + "/host.ini";

    QTest::mouseClick(Find<QPushButton>("ConnectBtn"), Qt::LeftButton);
    ASSERT_EQ(Dialogs.Messages.size(), 1u);
    EXPECT_EQ(Dialogs.Messages[0], Expected);
    EXPECT_EQ(Text("ConnectBtn"), "Connect");
    EXPECT_EQ(Window->IpFtpClient()->FtpState(), stClosed);

    QTest::mouseClick(Find<QPushButton>("sBitBtn3"), Qt::LeftButton);
    QTest::mouseClick(Find<QPushButton>("sBitBtn4"), Qt::LeftButton);
    QTest::mouseClick(Find<QPushButton>("sBitBtn5"), Qt::LeftButton);
    EXPECT_EQ(Dialogs.Messages, std::vector<std::string>(4, Expected));
}

TEST_F(MainWindow, AnExistingFileArgumentArmsTheUnattendedUpload)
{
    ASSERT_TRUE(WriteFile(Dir.File("up.bin"), "data"));
    StartWindow({QString::fromStdString(Dir.File("up.bin")), QStringLiteral("/ignored/second")});
    ShowWindow();
    EXPECT_EQ(Text("FileLabel"), Dir.File("up.bin"));
    EXPECT_TRUE(Find<QTimer>("Timer")->isActive());
}

TEST_F(MainWindow, AMissingFileArgumentIsIgnored)
{
    StartWindow({QString::fromStdString(Dir.File("nothing-here"))});
    ShowWindow();
    EXPECT_EQ(Text("FileLabel"), "");
    EXPECT_FALSE(Find<QTimer>("Timer")->isActive());
}

TEST_F(MainWindow, ShowingFillsTheOptionsAndAnEmptyPasswordMeansNoLogin)
{
    WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:1\nUsername=ann\nPassword=\nDefault=/pub\n");
    StartWindow();
    ShowWindow();
    EXPECT_EQ(Text("ConnectBtn"), "Connect");
    EXPECT_EQ(Window->IpFtpClient()->FtpState(), stClosed);
    EXPECT_EQ(Text("TimeoutEdit"), "0");
    EXPECT_EQ(CheckedIndex(Find<QGroupBox>("FileType1")), 1);
    EXPECT_EQ(CheckedText(Find<QGroupBox>("rgDirStyle")), "Automatic");
    EXPECT_EQ(Window->IpFtpDirectoryTree1()->DirectoryStyle(), dsAuto);
    EXPECT_EQ(Text("RemoteFolder"), "/pub");
}

TEST_F(MainWindow, UserChoicesOnTheOptionsPageReachClientAndTree)
{
    StartWindow();
    ShowWindow();
    Find<QPushButton>("ConnectBtn")->setFocus(); // keep the keyboard off the fields
    Find<QGroupBox>("FileType1")->findChildren<QRadioButton *>()[0]->click();
    EXPECT_EQ(Window->IpFtpClient()->FileType(), ftAscii);
    Find<QGroupBox>("rgDirStyle")->findChildren<QRadioButton *>()[2]->click();
    EXPECT_EQ(Window->IpFtpDirectoryTree1()->DirectoryStyle(), dsDos);

    auto *Timeout = Find<QLineEdit>("TimeoutEdit");
    Timeout->clear();
    QTest::keyClicks(Timeout, "15000");
    EXPECT_EQ(Window->IpFtpClient()->TransferTimeout(), 15000u);
    QTest::keyClicks(Timeout, "x-");
    EXPECT_EQ(Timeout->text(), "15000"); // refused in the field
    EXPECT_FALSE(Timeout->toolTip().isEmpty());

    auto *Restart = Find<QLineEdit>("edtRestartAt");
    QTest::keyClicks(Restart, "12ab34");
    EXPECT_EQ(Restart->text(), "1234");
}

TEST_F(MainWindow, StatusCaptionsAndTheCurrentFolderLabel)
{
    StartWindow();
    const auto Status = [&](TIpFtpStatusCode Code, const std::string &Info) {
        Window->IpFtpClientFtpStatus(Window->IpFtpClient(), Code, Info);
    };
    Status(fscCurrentDir, "/");
    EXPECT_EQ(Text("RemoteFolder"), "/");
    EXPECT_EQ(Title(), "Tolvane FTP Uploader - /");
    Status(fscCurrentDir, "/pub");
    EXPECT_EQ(Text("RemoteFolder"), "/pub/");
    EXPECT_EQ(Title(), "Tolvane FTP Uploader - /pub");
    Status(fscCurrentDir, "/pub/");
    EXPECT_EQ(Text("RemoteFolder"), "/pub//");
    EXPECT_EQ(Window->RemoteFolderPath(), "/pub//");

    // A hostile folder name changes no widget's markup and carries no escape.
    Status(fscCurrentDir, "/<i>x</i>\x1b[2J");
    EXPECT_EQ(Text("RemoteFolder"), "/<i>x</i>\\x1B[2J/");
    EXPECT_EQ(Window->RemoteFolderPath(), "/<i>x</i>\x1b[2J/");

    auto *Progress = Find<TCircularProgress>("Progress1");
    Status(fscProgress, "");
    EXPECT_TRUE(Progress->isVisibleTo(Window.get()));
    EXPECT_EQ(Title(), "Tolvane FTP Uploader - 0 bytes Transferred");
    Status(fscTransferOK, "");
    EXPECT_EQ(Title(), "Tolvane FTP Uploader - 0 - transfer complete");
    EXPECT_FALSE(Progress->isVisibleTo(Window.get()));

    Status(fscTimeout, "");
    EXPECT_EQ(Dialogs.Messages, std::vector<std::string>{"Transfer timed out"});
    Status(fscClose, "");
    EXPECT_EQ(Title(), "Tolvane FTP Uploader");
    Status(fscDirList, "");
    Status(fscInfo, "anything");
    EXPECT_EQ(Title(), "Tolvane FTP Uploader");
}

TEST_F(MainWindow, EveryReplyIsLoggedOnceWithItsLines)
{
    StartWindow();
    Window->IpFtpClientFtpReply(Window->IpFtpClient(), 230, "230 Logged in\r\n");
    Window->IpFtpClientFtpReply(Window->IpFtpClient(), 214, "214-Help\r\n214-Two\r\n214 End\r\n");
    Window->IpFtpClientFtpReply(Window->IpFtpClient(), 550, "550 \x1b[31mred\x07\r\n");
    // Each entry begins with its time.
    const QRegularExpression Time(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d "), QRegularExpression::MultilineOption);
    EXPECT_EQ(Find<QPlainTextEdit>("ReplyMemo")->toPlainText().replace(Time, QString()).toStdString(),
              "< 230 Logged in\n< 214-Help\n           214-Two\n           214 End\n< 550 \\x1B[31mred\\x07");
}

TEST_F(MainWindow, ControlsHaveAccessibleNamesAndTheListItsEntries)
{
    StartWindow();
    ShowWindow();
    EXPECT_EQ(AccessibleName(Find<QLineEdit>("edtURL")), "FTP Host");
    EXPECT_EQ(AccessibleName(Find<QLineEdit>("edtUserName")), "User name");
    EXPECT_EQ(AccessibleName(Find<QLineEdit>("edtPassword")), "Password");
    QAccessibleInterface *Password = QAccessible::queryAccessibleInterface(Find<QLineEdit>("edtPassword"));
    ASSERT_NE(Password, nullptr);
    EXPECT_TRUE(Password->state().passwordEdit);
    for (const char *Name : {"chkPassive", "sBitBtn5", "ConnectBtn", "sButton2", "sBitBtn1", "sBitBtn2",
                             "sBitBtn3", "sBitBtn4", "DefRemote", "edtRestartAt", "TimeoutEdit", "ReplyMemo",
                             "lbxFiles", "IpFtpDirectoryTree1", "RemoteFolder", "FileLabel"}) {
        QObject *Object = Window->findChild<QObject *>(QLatin1String(Name));
        ASSERT_NE(Object, nullptr) << Name;
        EXPECT_FALSE(AccessibleName(Object).isEmpty()) << Name;
    }

    Window->IpFtpDirectoryTree1()->SetDirectoryStyle(dsUnix); // showing chose "detect at login"
    Window->IpFtpDirectoryTree1()->LoadListing(
        "drwxr-xr-x 2 o g 0 Jan 01 12:00 pub\r\n-rw-r--r-- 1 o g 5 Jan 01 12:00 notes.txt\r\n");
    QApplication::processEvents(); // views lay out their rows lazily
    QAccessibleInterface *List = QAccessible::queryAccessibleInterface(Find<QTreeView>("lbxFiles"));
    ASSERT_NE(List, nullptr);
    QStringList ListNames;
    for (int I = 0; I < List->childCount(); ++I)
        if (List->child(I)->role() == QAccessible::TreeItem)
            ListNames << List->child(I)->text(QAccessible::Name);
    // One cell per column, row by row: the name comes first.
    EXPECT_EQ(ListNames.value(0), "notes.txt") << ListNames.join(QLatin1Char('|')).toStdString();
    QAccessibleInterface *Tree = QAccessible::queryAccessibleInterface(Window->IpFtpDirectoryTree1());
    ASSERT_NE(Tree, nullptr);
    bool FoundPub = false;
    for (int I = 0; I < Tree->childCount(); ++I)
        FoundPub = FoundPub || Tree->child(I)->text(QAccessible::Name) == "pub";
    EXPECT_TRUE(FoundPub) << "tree children: " << Tree->childCount();
}

TEST_F(MainWindow, ClosingWhileDisconnectedSendsNothingAndCloses)
{
    StartWindow();
    ShowWindow();
    EXPECT_TRUE(Window->close());
    EXPECT_EQ(Window->IpFtpClient()->FtpState(), stClosed);
}

// The whole login of the window against a scripted server: automatic login
// in active mode, the style from SYST, the root listing in tree and list.
TEST_F(MainWindow, AutomaticLoginListsTheRootAndShowsTheStyle)
{
    TScriptedPeer Peer;
    ScriptLogin(Peer, "bob", "pw")
        .Reply("SYST", "215 UNIX Type: L8")
        .Reply("PWD", "257 \"/\" is the current directory")
        .Reply("TYPE A", "200 Type set to A")
        .ExpectPasv()
        .Expect("LIST")
        .Send("150 Here it comes")
        .AcceptData()
        .SendData("drwxr-xr-x 2 o g 0 Jan 01 12:00 pub\r\n-rw-r--r-- 1 o g 5 Jan 01 12:00 a.txt\r\n")
        .CloseData()
        .Send("226 Done")
        .Mark("listed");
    WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Peer.Port()) +
                  "\nUsername=bob\nPassword=pw\nDefault=/\nEncryption=plain\n");
    StartWindow();
    ShowWindow();
    EXPECT_EQ(Text("ConnectBtn"), "Disconnect");
    ASSERT_EVENTUALLY(Window->FileListModel()->Count() == 1, 10000) << Peer.Describe();
    EXPECT_EQ(Window->FileListModel()->Entry(0)->FileName, "a.txt");
    ASSERT_EQ(Window->IpFtpDirectoryTree1()->topLevelItemCount(), 1);
    EXPECT_EQ(TIpFtpDirectoryTree::NodeName(Window->IpFtpDirectoryTree1()->topLevelItem(0)), "pub");
    EXPECT_EQ(CheckedText(Find<QGroupBox>("rgDirStyle")), "Automatic") << "the server's system name does not override it";
    EXPECT_EQ(Text("RemoteFolder"), "/");
    EXPECT_EQ(Title(), "Tolvane FTP Uploader - /");
    EXPECT_TRUE(Find<QPlainTextEdit>("ReplyMemo")->toPlainText().contains("230 Logged in"));
    RunFor(300);
    const std::vector<std::string> Lines = Peer.Received();
    ASSERT_GE(Lines.size(), 7u);
    EXPECT_EQ(Lines[0], "USER bob");
    EXPECT_EQ(Lines[2], "FEAT");
    EXPECT_EQ(Lines[3], "SYST");
    EXPECT_EQ(Lines[6], "EPSV") << "passive unless the settings say otherwise";
}
