// The remote folder tree: paths, listings, the file list it fills, and the
// folder changes it asks of the client.

#include <gtest/gtest.h>

#include <QApplication>

#include "app/FileListModel.h"
#include "app/FtpDirectoryTree.h"
#include "ftp/test_ftp_fixture.h"

namespace {

std::string UnixLine(const std::string &Mode, const std::string &Name)
{
    return Mode + "   1 owner    group        1234 Jan 01 12:00 " + Name + "\r\n";
}

// The names of the nodes below Parent (the root nodes for nullptr).
std::vector<std::string> Children(const TIpFtpDirectoryTree &Tree, const QTreeWidgetItem *Parent)
{
    std::vector<std::string> Names;
    const int Count = Parent ? Parent->childCount() : Tree.topLevelItemCount();
    for (int I = 0; I < Count; ++I)
        Names.push_back(TIpFtpDirectoryTree::NodeName(Parent ? Parent->child(I) : Tree.topLevelItem(I)));
    return Names;
}

std::vector<std::string> Rows(const TFileListModel &Model)
{
    std::vector<std::string> Names;
    for (int I = 0; I < Model.Count(); ++I)
        Names.push_back(Model.Entry(I)->FileName);
    return Names;
}

using Names = std::vector<std::string>;

class DirectoryTree : public ::testing::Test
{
protected:
    DirectoryTree()
    {
        Tree.SetListBox(&Files);
        Tree.OnChanged = [this](TIpFtpDirectoryTree *) { ++Changed; };
    }
    ~DirectoryTree() override { Tree.SetListBox(nullptr); }

    TFileListModel Files;
    TIpFtpDirectoryTree Tree;
    int Changed = 0;
};

} // namespace

TEST_F(DirectoryTree, RootListingMakesRootNodesOfFoldersAndLinksAndListsEverything)
{
    Tree.SetCurrentPath("\\");
    EXPECT_EQ(Tree.CurrentPath(), "");
    EXPECT_EQ(Tree.topLevelItemCount(), 0);

    Tree.LoadListing(UnixLine("drwxr-xr-x", "pub") + UnixLine("-rw-r--r--", "readme.txt") +
                     UnixLine("lrwxrwxrwx", "latest -> pub") + UnixLine("drwx------", ".ssh") +
                     UnixLine("-rw-r--r--", ".htaccess"));
    EXPECT_EQ(Children(Tree, nullptr), (Names{"pub", "latest"}));
    EXPECT_EQ(Rows(Files), (Names{"pub", "readme.txt", "latest"}));
    EXPECT_EQ(Changed, 1);

    // What the window does after each listing: folders leave the list; a
    // link stays, as it may lead to a file.
    Files.RemoveFolders();
    EXPECT_EQ(Rows(Files), (Names{"readme.txt", "latest"}));
}

TEST_F(DirectoryTree, CurrentPathBuildsAChainAndReusesExistingNodes)
{
    Tree.SetCurrentPath("\\pub\\incoming\\");
    EXPECT_EQ(Tree.CurrentPath(), "\\pub\\incoming");
    ASSERT_EQ(Children(Tree, nullptr), (Names{"pub"}));
    EXPECT_EQ(Children(Tree, Tree.topLevelItem(0)), (Names{"incoming"}));

    Tree.SetCurrentPath("\\pub\\other");
    EXPECT_EQ(Children(Tree, nullptr), (Names{"pub"}));
    EXPECT_EQ(Children(Tree, Tree.topLevelItem(0)), (Names{"incoming", "other"}));

    QTreeWidgetItem *Incoming = Tree.FindPathNode("\\pub\\incoming");
    ASSERT_NE(Incoming, nullptr);
    EXPECT_EQ(TIpFtpDirectoryTree::NodePath(Incoming), "\\pub\\incoming");
    EXPECT_EQ(Tree.FindPathNode("\\PUB"), nullptr); // case matters
    EXPECT_EQ(Tree.FindPathNode(""), nullptr);
}

TEST_F(DirectoryTree, AListingReplacesOnlyTheCurrentFoldersChildren)
{
    Tree.LoadListing(UnixLine("drwxr-xr-x", "pub") + UnixLine("drwxr-xr-x", "www"));
    Tree.SetCurrentPath("\\pub");
    Tree.LoadListing(UnixLine("drwxr-xr-x", "a") + UnixLine("drwxr-xr-x", "b"));
    Tree.LoadListing(UnixLine("drwxr-xr-x", "c"));
    EXPECT_EQ(Children(Tree, nullptr), (Names{"pub", "www"}));
    EXPECT_EQ(Children(Tree, Tree.topLevelItem(0)), (Names{"c"}));
    Tree.LoadListing("");
    EXPECT_EQ(Children(Tree, Tree.topLevelItem(0)), Names{});
    EXPECT_EQ(Files.Count(), 0);
}

TEST_F(DirectoryTree, WithoutAStyleEveryNameIsAFolderAndStaysListed)
{
    Tree.SetDirectoryStyle(dsNone);
    Tree.LoadListing("alpha\r\nbeta.txt\r\n.hidden\r\n");
    EXPECT_EQ(Children(Tree, nullptr), (Names{"alpha", "beta.txt"}));
    Files.RemoveFolders();
    EXPECT_EQ(Rows(Files), (Names{"alpha", "beta.txt"}));
}

TEST_F(DirectoryTree, ClearAllEmptiesTreeAndList)
{
    Tree.LoadListing(UnixLine("drwxr-xr-x", "pub") + UnixLine("-rw-r--r--", "f"));
    Tree.ClearAll();
    EXPECT_EQ(Tree.topLevelItemCount(), 0);
    EXPECT_EQ(Files.Count(), 0);
    EXPECT_FALSE(Tree.Clearing());
}

TEST_F(DirectoryTree, VmsPathsAreReducedAndNodesGiveRelativePaths)
{
    Tree.SetDirectoryStyle(dsVms);
    Tree.SetCurrentPath("DISK$USER:[SMITH.WEB]");
    EXPECT_EQ(Tree.CurrentPath(), "WEB");
    Tree.SetCurrentPath("DISK$USER:[SMITH.WEB.SUB]");
    EXPECT_EQ(Tree.CurrentPath(), "WEB.SUB");
    Tree.SetCurrentPath("DISK$USER:SMITH");
    EXPECT_EQ(Tree.CurrentPath(), ""); // no brackets

    // Root R, level 1 A, level 2 B.
    auto *R = new QTreeWidgetItem();
    R->setData(0, TIpFtpDirectoryTree::NameRole, QByteArray("R"));
    auto *A = new QTreeWidgetItem(R);
    A->setData(0, TIpFtpDirectoryTree::NameRole, QByteArray("A"));
    auto *B = new QTreeWidgetItem(A);
    B->setData(0, TIpFtpDirectoryTree::NameRole, QByteArray("B"));
    Tree.addTopLevelItem(R);

    EXPECT_EQ(Tree.VmsNodePath(nullptr), "");
    EXPECT_EQ(Tree.VmsNodePath(R), "");
    EXPECT_EQ(Tree.VmsNodePath(B), "\\A\\B");
    Tree.SetCurrentPath("DISK$USER:[SMITH.WEB]");
    EXPECT_EQ(Tree.VmsNodePath(A), "A");
    Tree.SetCurrentPath("DISK$USER:[SMITH.WEB.SUB]");
    EXPECT_EQ(Tree.VmsNodePath(A), "..");
}

TEST_F(DirectoryTree, HostileNamesAreKeptAsBytesAndShownEscaped)
{
    const std::string Escape = "evil\x1b]0;title\x07end";
    const std::string Invalid = "bad\xff\xfe";
    const std::string Long(4096, 'n');
    Tree.LoadListing(UnixLine("drwxr-xr-x", Escape) + UnixLine("drwxr-xr-x", Invalid) +
                     UnixLine("drwxr-xr-x", Long) + UnixLine("-rw-r--r--", "<b>x</b>"));
    ASSERT_EQ(Tree.topLevelItemCount(), 3);
    EXPECT_EQ(TIpFtpDirectoryTree::NodeName(Tree.topLevelItem(0)), Escape);
    EXPECT_EQ(TIpFtpDirectoryTree::NodePath(Tree.topLevelItem(1)), "\\" + Invalid);
    const QString Shown = Tree.topLevelItem(0)->text(0);
    EXPECT_FALSE(Shown.contains(QChar(0x1b)));
    EXPECT_TRUE(Shown.contains(QLatin1String("\\x1B")));
    EXPECT_TRUE(Tree.topLevelItem(1)->text(0).contains(QChar(0xFFFD)));
    Files.RemoveFolders();
    EXPECT_EQ(Files.data(Files.index(0), Qt::DisplayRole).toString().toStdString(), "<b>x</b>");
}

TEST_F(DirectoryTree, AUserParserSelectsTheUserStyle)
{
    Tree.SetOnParseStyle([](TObject *, const std::string &Line, TIpFtpFileInfo *Info) {
        Info->FileName = Line;
        Info->FileKind = Line.rfind("d:", 0) == 0 ? fkDirectory : fkFile;
    });
    EXPECT_EQ(Tree.DirectoryStyle(), dsUser);
    Tree.LoadListing("d:x\r\nfile\r\n");
    EXPECT_EQ(Children(Tree, nullptr), (Names{"d:x"}));
}

// Selecting a node asks the bound client to change folder, with the path
// the node stands for.
TEST(DirectoryTreeClient, SelectingANodeAsksTheClientForThatFolder)
{
    TScriptedPeer Peer;
    ScriptLogin(Peer).Expect("CWD /pub").Send("250 ok");
    TRecordedClient R;
    TIpFtpDirectoryTree Tree;
    Tree.SetFtpClient(&R.Client); // the client does not feed this tree
    QTreeWidgetItem *Seen = nullptr;
    Tree.OnChange = [&](TIpFtpDirectoryTree *, QTreeWidgetItem *Node) { Seen = Node; };
    ASSERT_TRUE(LoginTo(R, Peer));

    Tree.LoadListing(UnixLine("drwxr-xr-x", "pub") + UnixLine("drwxr-xr-x", "www"));
    Tree.setCurrentItem(Tree.topLevelItem(0));
    ASSERT_TRUE(Peer.WaitDone(5000)) << Peer.Describe();
    EXPECT_EQ(Seen, Tree.topLevelItem(0));
    ASSERT_GE(Peer.Received().size(), 4u);
    EXPECT_EQ(Peer.Received()[3], "CWD /pub"); // after USER, PASS and FEAT
    Tree.SetFtpClient(nullptr);
}

TEST(DirectoryTreeClient, NoClientOrClearingMeansNoFolderChangeAndNoEvent)
{
    TIpFtpDirectoryTree Tree;
    int Changes = 0;
    Tree.OnChange = [&](TIpFtpDirectoryTree *, QTreeWidgetItem *) { ++Changes; };
    Tree.LoadListing(UnixLine("drwxr-xr-x", "pub"));
    Tree.setCurrentItem(Tree.topLevelItem(0));
    EXPECT_EQ(Changes, 0);

    TIpFtpClient Client; // closed: ChangeDir refuses, but the event is raised
    Tree.SetFtpClient(&Client);
    Tree.LoadListing(UnixLine("drwxr-xr-x", "a") + UnixLine("drwxr-xr-x", "b"));
    Tree.setCurrentItem(Tree.topLevelItem(1));
    EXPECT_EQ(Changes, 1);
    Tree.ClearAll(); // the selection goes with the nodes, silently
    EXPECT_EQ(Changes, 1);
    Tree.SetFtpClient(nullptr);
}

TEST(DirectoryTreeClient, TheClientsFolderIsMarkedWithoutAskingForIt)
{
    TIpFtpDirectoryTree Tree;
    TIpFtpClient Client;
    Tree.SetFtpClient(&Client);
    int Changes = 0;
    Tree.OnChange = [&](TIpFtpDirectoryTree *, QTreeWidgetItem *) { ++Changes; };
    Tree.SetCurrentPath("\\pub\\incoming");
    Tree.LoadListing(UnixLine("drwxr-xr-x", "deeper"));
    QTreeWidgetItem *Incoming = Tree.FindPathNode("\\pub\\incoming");
    ASSERT_NE(Incoming, nullptr);
    EXPECT_EQ(Tree.currentItem(), Incoming);
    EXPECT_TRUE(Incoming->parent()->isExpanded());
    EXPECT_EQ(Changes, 0);
    Tree.SetFtpClient(nullptr);
}
