// The window's file list against a scripted server that offers MLSD: the
// automatic listing choice, the columns and their sorting, and links that
// are opened as folders or fetched as files.

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include "app/FileListModel.h"
#include "app_fixture.h"
#include "ftp/test_ftp_fixture.h"

namespace {

const char *const MlsdListing = "type=cdir; .\r\n"
                                "type=dir;modify=20200101000000; pub\r\n"
                                "type=file;size=4096;modify=20230101000000;unix.mode=0644; a  two.txt\r\n"
                                "type=file;size=5;modify=20240301101500; b.txt\r\n"
                                "type=OS.unix=slink:/srv/docs; docs\r\n"
                                "type=OS.unix=slink; notes\r\n";

std::vector<std::string> Names(const TFileListModel *Files)
{
    std::vector<std::string> R;
    for (int I = 0; I < Files->Count(); ++I)
        R.push_back(Files->Entry(I)->FileName);
    return R;
}

} // namespace

class FileListWindow : public TWindowFixture
{
protected:
    // Logged in, the root listed with MLSD (the automatic choice, as the
    // server offers MLST), idle.
    void LogIn()
    {
        Peer.Login("bob", "pw")
            .Expect("FEAT")
            .Send("211-Features:\r\n MLST type*;size*;modify*;unix.mode;\r\n211 End")
            .Expect("OPTS MLST type;size;modify;unix.mode;")
            .Send("200 ok")
            .Reply("SYST", "215 UNIX Type: L8")
            .Reply("PWD", "257 \"/\" is current");
        ScriptListing(MlsdListing);
        WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Peer.Port()) +
                      "\nUsername=bob\nPassword=pw\nDefault=/\nEncryption=plain\n");
        StartWindow();
        Find<QTimer>("Timer2")->stop(); // its refresh would interleave with the script
        ShowWindow();
        ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
        ASSERT_EVENTUALLY(Idle() && Files()->Count() == 4, 10000) << Peer.Describe();
    }
    void ScriptListing(const std::string &Listing)
    {
        Peer.Reply("TYPE A", "200 ok").ExpectPasv().Expect("MLSD").Send("150 here").AcceptData()
            .SendData(Listing).CloseData().Send("226 done");
    }
    bool Idle() const
    {
        return Window->IpFtpClient()->FtpState() == stReady && !Window->IpFtpClient()->TransferStream();
    }
    const TFileListModel *Files() const { return Window->FileListModel(); }
    QTreeView *List() const { return Window->findChild<QTreeView *>(QStringLiteral("lbxFiles")); }
    void Open(const std::string &Name)
    {
        for (int I = 0; I < Files()->Count(); ++I)
            if (Files()->Entry(I)->FileName == Name) {
                List()->setCurrentIndex(List()->model()->index(I, 0));
                QTest::keyClick(List(), Qt::Key_Return);
                return;
            }
        ADD_FAILURE() << "no entry " << Name;
    }
    void ClickHeader(int Column)
    {
        QHeaderView *Header = List()->header();
        const QPoint At(Header->sectionViewportPosition(Column) + 10, Header->height() / 2);
        QTest::mouseClick(Header->viewport(), Qt::LeftButton, {}, At);
    }

    TScriptedPeer Peer;
};

TEST_F(FileListWindow, ListsWithMlsdInColumnsThatSortByTheClickedHeader)
{
    LogIn();
    EXPECT_EQ(Names(Files()), (std::vector<std::string>{"a  two.txt", "b.txt", "docs", "notes"}))
        << "the server's order, names exactly, the folder in the tree only";

    const QAbstractItemModel *Model = List()->model();
    QStringList Headers;
    for (int C = 0; C < Model->columnCount(); ++C)
        Headers << Model->headerData(C, Qt::Horizontal).toString();
    EXPECT_EQ(Headers, (QStringList{"Name", "Size", "Modified", "Permissions", "Owner", "Group"}));

    ClickHeader(1);
    const std::vector<std::string> BySize = Names(Files());
    ClickHeader(1);
    const std::vector<std::string> BySizeDown = Names(Files());
    ASSERT_EQ(BySize.size(), 4u);
    EXPECT_LT(std::find(BySize.begin(), BySize.end(), "b.txt"), std::find(BySize.begin(), BySize.end(), "a  two.txt"));
    EXPECT_GT(std::find(BySizeDown.begin(), BySizeDown.end(), "b.txt"),
              std::find(BySizeDown.begin(), BySizeDown.end(), "a  two.txt"))
        << "a second click turns the order round";
}

// A link whose target the listing does not name is tried as a folder when
// the user opens it; refused, it is fetched as the file it leads to.
TEST_F(FileListWindow, OpeningALinkEntersItOrFetchesIt)
{
    LogIn();
    QApplication::setActiveWindow(Window.get());
    List()->setFocus();
    TTempDir Target;
    Dialogs.Folders.push_back(Target.Path());
    Peer.Expect("CWD /notes").Send("550 Not a directory")
        .Reply("TYPE I", "200 ok")
        .Expect("MLST notes").Send("250-Listing\r\n type=file;size=6; /notes\r\n250 End").ExpectPasv().Expect("RETR notes").Send("150 go").AcceptData()
        .SendData("linked").CloseData().Send("226 sent");
    Open("notes");
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(Idle() && FileExists(Target.File("notes")), 5000);
    EXPECT_EQ(ReadFile(Target.File("notes")), "linked");

    Peer.Expect("CWD /docs").Send("250 ok").Reply("PWD", "257 \"/docs\"");
    ScriptListing("type=file;size=3; inside.txt\r\n");
    Open("docs");
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(Idle() && Names(Files()) == std::vector<std::string>{"inside.txt"}, 5000);
    EXPECT_EQ(Dialogs.PickFolderCalls, 1) << "a link the server lets us into is a folder, not a download";
}

// A quiet session sends NOOP when it is idle, and the status bar keeps what
// it said.
TEST_F(FileListWindow, AQuietSessionSendsNoopAndSaysNothing)
{
    LogIn();
    const QString Said = Find<QLabel>("StatusOutcome")->text();
    Peer.Expect("NOOP").Send("200 NOOP ok").Expect("NOOP").Send("200 NOOP ok");
    Find<QTimer>("KeepAliveTimer")->setInterval(200);
    Find<QTimer>("KeepAliveTimer")->start();
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    // Both answers taken by the window; a third NOOP may be on its way.
    ASSERT_EVENTUALLY(Find<QPlainTextEdit>("ReplyMemo")->toPlainText().count("200 NOOP ok") == 2, 5000);
    Find<QTimer>("KeepAliveTimer")->setInterval(60000);
    EXPECT_EQ(Find<QLabel>("StatusOutcome")->text(), Said);
}
