// The whole window against real servers on loopback: automatic login,
// browsing, navigating, disconnecting and connecting again.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>

#include "app/FileListModel.h"
#include "app/FtpDirectoryTree.h"
#include "app_fixture.h"
#include "e2e/test_ftp_e2e_fixture.h"

namespace {

std::vector<std::string> FileNames(const TTolvaneFtp &Window)
{
    std::vector<std::string> Names;
    for (int I = 0; I < Window.FileListModel()->Count(); ++I)
        Names.push_back(Window.FileListModel()->Entry(I)->FileName);
    std::sort(Names.begin(), Names.end());
    return Names;
}

std::vector<std::string> NodeNames(const TIpFtpDirectoryTree &Tree, const QTreeWidgetItem *Parent)
{
    std::vector<std::string> Names;
    const int Count = Parent ? Parent->childCount() : Tree.topLevelItemCount();
    for (int I = 0; I < Count; ++I)
        Names.push_back(TIpFtpDirectoryTree::NodeName(Parent ? Parent->child(I) : Tree.topLevelItem(I)));
    std::sort(Names.begin(), Names.end());
    return Names;
}

using Names = std::vector<std::string>;

} // namespace

class E2eWindow : public TWindowFixture, public ::testing::WithParamInterface<std::string>
{
protected:
    void SetUp() override
    {
        if (!TServer::Available(GetParam()))
            GTEST_SKIP() << TServer::Missing(GetParam());
        Server = std::make_unique<TServer>(GetParam());
        Server->MakeDir("pub");
        Server->MakeDir("pub/incoming");
        Server->MakeDir("www");
        Server->Put("readme.txt", "hello\n");
        Server->Put("photo.jpg", std::string(3000, 'j'));
        Server->Put("pub/inside.zip", "zip");
        Server->Put("www/index.html", "<html></html>");
        ASSERT_TRUE(Server->Start());
    }
    void StartLoggedIn(const std::string &Default = "/www")
    {
        WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Server->Port()) + "\nUsername=" +
                      Server->User() + "\nPassword=" + Server->Password() + "\nDefault=" + Default + "\n");
        StartWindow();
        ShowWindow();
    }
    // The window shows the listing of Folder and the client is idle.
    ::testing::AssertionResult ShowsFolder(const std::string &Folder, int Ms = 15000)
    {
        const bool Ok = RunUntil(
            [&] {
                return Window->RemoteFolderPath() == Folder && Window->IpFtpClient()->FtpState() == stReady &&
                       !Window->IpFtpClient()->TransferStream();
            },
            Ms);
        if (Ok)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "folder " << Window->RemoteFolderPath() << " state " << int(Window->IpFtpClient()->FtpState())
               << "\nlog:\n"
               << Find<QPlainTextEdit>("ReplyMemo")->toPlainText().toStdString();
    }

    std::unique_ptr<TServer> Server;
};

TEST_P(E2eWindow, LogsInBrowsesNavigatesAndReconnectsActively)
{
    StartLoggedIn();
    EXPECT_EQ(Text("ConnectBtn"), "Disconnect");
    ASSERT_TRUE(ShowsFolder("/"));
    ASSERT_EVENTUALLY(Window->FileListModel()->Count() == 2, 5000);
    EXPECT_EQ(FileNames(*Window), (Names{"photo.jpg", "readme.txt"}));
    TIpFtpDirectoryTree *Tree = Window->IpFtpDirectoryTree1();
    EXPECT_EQ(NodeNames(*Tree, nullptr), (Names{"pub", "www"}));
    EXPECT_EQ(Title(), "Tolvane FTP Uploader - /");
    EXPECT_TRUE(Window->IpFtpClient()->PassiveMode()) << "passive unless the settings say otherwise";

    // A refresh after the listing's 226 must not turn into a listing loop.
    const auto Listings = [&] {
        const QString Log = Find<QPlainTextEdit>("ReplyMemo")->toPlainText();
        return Log.count(QStringLiteral("226"));
    };
    const int Before = Listings();
    RunFor(2000);
    // The one delayed refresh a second after start may fall in here.
    EXPECT_LE(Listings() - Before, 2) << "the folder keeps being listed again";

    // Pick pub in the tree.
    QTreeWidgetItem *Pub = Tree->FindPathNode("\\pub");
    ASSERT_NE(Pub, nullptr);
    Tree->setCurrentItem(Pub);
    ASSERT_TRUE(ShowsFolder("/pub/"));
    ASSERT_EVENTUALLY(FileNames(*Window) == Names{"inside.zip"}, 5000);
    EXPECT_EQ(Text("RemoteFolder"), "/pub/");
    EXPECT_EQ(NodeNames(*Tree, Tree->FindPathNode("\\pub")), Names{"incoming"});
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the busy cursor is back to the arrow";

    // Navigate to the default folder.
    QTest::mouseClick(Find<QPushButton>("sBitBtn3"), Qt::LeftButton);
    ASSERT_TRUE(ShowsFolder("/www/"));
    ASSERT_EVENTUALLY(FileNames(*Window) == Names{"index.html"}, 5000);
    EXPECT_NE(ReadFile(SettingsPath()).find("Default=/www"), std::string::npos);
    EXPECT_EQ(Tree->currentItem(), Tree->FindPathNode("\\www")) << "the tree marks the folder the client is in";

    // Disconnect: tree cleared, caption reset.
    QTest::mouseClick(Find<QPushButton>("ConnectBtn"), Qt::LeftButton);
    EXPECT_EQ(Text("ConnectBtn"), "Connect");
    ASSERT_EVENTUALLY(Title() == "Tolvane FTP Uploader", 10000);
    EXPECT_EQ(Tree->topLevelItemCount(), 0);
    EXPECT_EQ(Window->FileListModel()->Count(), 0);
    EXPECT_EQ(Text("RemoteFolder"), "/www/"); // keeps its last value

    // Connect again, actively.
    const auto Pasv = [&] { return Find<QPlainTextEdit>("ReplyMemo")->toPlainText().count(QStringLiteral("< 229")); };
    const int PasvBefore = Pasv();
    EXPECT_GT(PasvBefore, 0) << "the passive listings were answered with 229";
    Find<QCheckBox>("chkPassive")->setChecked(false);
    QTest::mouseClick(Find<QPushButton>("ConnectBtn"), Qt::LeftButton);
    EXPECT_TRUE(Text("ConnectBtn") == "Disconnect" && !Window->IpFtpClient()->PassiveMode());
    ASSERT_TRUE(ShowsFolder("/"));
    ASSERT_EVENTUALLY(Window->FileListModel()->Count() == 2, 5000);
    EXPECT_EQ(Pasv(), PasvBefore) << "an active listing sends no PASV";
}

INSTANTIATE_TEST_SUITE_P(Servers, E2eWindow, ::testing::Values("pyftpd", "vsftpd"),
                         [](const auto &Info) { return Info.param; });
