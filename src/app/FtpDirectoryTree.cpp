#include "app/FtpDirectoryTree.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QTimer>

#include "app/AppRules.h"
#include "app/FileIcons.h"
#include "app/FileListModel.h"
#include "ftp/IpFtpClient.h"
#include "ftp/IpFtpProtocol.h"

namespace {

// A folder node: the server's bytes and nothing else. The shown text and
// the picture are derived when a view asks, so a folder of 50,000
// sub-folders costs little more than the names themselves.
class TFolderNode : public QTreeWidgetItem
{
public:
    TFolderNode(std::string Name, const QIcon *Icon)
        : QTreeWidgetItem(UserType), FName(std::move(Name)), FIcon(Icon)
    {
    }

    QVariant data(int Column, int Role) const override
    {
        if (Column != 0)
            return QTreeWidgetItem::data(Column, Role);
        switch (Role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole:
        case Qt::ToolTipRole:
            return DisplayName(FName);
        case Qt::DecorationRole:
            return *FIcon;
        case TIpFtpDirectoryTree::NameRole:
            return QByteArray(FName.data(), static_cast<qsizetype>(FName.size()));
        default:
            return QTreeWidgetItem::data(Column, Role);
        }
    }

    const std::string &Name() const { return FName; }

private:
    std::string FName;
    const QIcon *FIcon;
};

} // namespace

TIpFtpDirectoryTree::TIpFtpDirectoryTree(QWidget *Parent) : QTreeWidget(Parent)
{
    setColumnCount(1);
    setHeaderLabels({tr("Remote folders")}); // what a screen reader calls the column
    setHeaderHidden(true);
    setIndentation(23);
    setRootIsDecorated(true);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setTextElideMode(Qt::ElideMiddle);
    setIconSize(QSize(16, 16));
    // A closed folder normally, the open one on the selected node.
    FFolderIcon.addPixmap(FolderIcon(false).pixmap(16, 16), QIcon::Normal);
    FFolderIcon.addPixmap(FolderIcon(true).pixmap(16, 16), QIcon::Selected);
    FFolderIcon.addPixmap(FolderIcon(false).pixmap(32, 32), QIcon::Normal);
    FFolderIcon.addPixmap(FolderIcon(true).pixmap(32, 32), QIcon::Selected);
    connect(this, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem *Current, QTreeWidgetItem *) { SelectionChanged(Current); });
}

TIpFtpDirectoryTree::~TIpFtpDirectoryTree()
{
    // The list points into FileList: it must let go before the entries die.
    if (FListBox)
        FListBox->Clear();
    if (TIpCustomFtpClient *Client = FtpClient(); Client && Client->DirectoryTree() == this)
        Client->SetDirectoryTree(nullptr);
    SetFtpClient(nullptr);
}

void TIpFtpDirectoryTree::SetOnParseStyle(const TIpUserParseStyleEvent &Value)
{
    FOnParseStyle = Value;
    if (Value)
        FDirectoryStyle = dsUser;
}

QTreeWidgetItem *TIpFtpDirectoryTree::NewNode(const std::string &Name) const
{
    return new TFolderNode(Name, &FFolderIcon);
}

std::string TIpFtpDirectoryTree::NodeName(const QTreeWidgetItem *Node)
{
    if (!Node)
        return std::string();
    if (Node->type() == QTreeWidgetItem::UserType)
        return static_cast<const TFolderNode *>(Node)->Name();
    const QByteArray Bytes = Node->data(0, NameRole).toByteArray();
    return std::string(Bytes.constData(), static_cast<size_t>(Bytes.size()));
}

int TIpFtpDirectoryTree::NodeLevel(const QTreeWidgetItem *Node)
{
    int Level = -1;
    for (; Node; Node = Node->parent())
        ++Level;
    return Level;
}

void TIpFtpDirectoryTree::ClearAll()
{
    FClearing = true;
    // Cleared before the tree's nodes go, in case a view repaints meanwhile.
    if (FListBox)
        FListBox->Clear();
    clear();
    FClearing = false;
}

std::string TIpFtpDirectoryTree::NodePath(const QTreeWidgetItem *Node)
{
    std::string Path;
    for (; Node; Node = Node->parent())
        Path = "\\" + NodeName(Node) + Path;
    return Path;
}

std::string TIpFtpDirectoryTree::VmsNodePath(const QTreeWidgetItem *Node) const
{
    if (!Node || !Node->parent())
        return std::string();
    std::string Path = NodeName(Node);
    for (const QTreeWidgetItem *Up = Node->parent(); Up && Up->parent(); Up = Up->parent())
        Path = NodeName(Up) + "\\" + Path;
    if (Path.find('\\') != std::string::npos)
        Path = "\\" + Path;
    else if (FCurrentPath.find('.') != std::string::npos)
        Path = "..";
    return Path;
}

std::string TIpFtpDirectoryTree::ServerPath(const QTreeWidgetItem *Node)
{
    std::string Path;
    for (; Node; Node = Node->parent())
        Path = "/" + NodeName(Node) + Path;
    return Path.empty() ? std::string("/") : Path;
}

QTreeWidgetItem *TIpFtpDirectoryTree::FindPathNode(const std::string &Path) const
{
    const bool Vms = FDirectoryStyle == dsVms || FDirectoryStyle == dsMultiNet;
    return FindPieces(SplitTokens(Path, Vms ? "." : "\\"));
}

QTreeWidgetItem *TIpFtpDirectoryTree::FindPieces(const std::vector<std::string> &Pieces) const
{
    QTreeWidgetItem *Found = nullptr;
    // The siblings scanned for the next piece: the root nodes first.
    const QTreeWidgetItem *Parent = nullptr;
    for (const std::string &Piece : Pieces) {
        const int Count = Parent ? Parent->childCount() : topLevelItemCount();
        QTreeWidgetItem *Match = nullptr;
        for (int I = 0; I < Count && !Match; ++I) {
            QTreeWidgetItem *Candidate = Parent ? Parent->child(I) : topLevelItem(I);
            if (NodeName(Candidate) == Piece)
                Match = Candidate;
        }
        if (!Match)
            break;
        Found = Match;
        Parent = Match;
    }
    return Found;
}

void TIpFtpDirectoryTree::SetCurrentPath(const std::string &Path)
{
    if (!Path.empty())
        FCurrentPath = Path.back() == '\\' ? Path.substr(0, Path.size() - 1) : Path;
    if ((FDirectoryStyle == dsVms || FDirectoryStyle == dsMultiNet) && Path.find(':') != std::string::npos) {
        const size_t Open = Path.find('[');
        const size_t Close = Path.find(']');
        FCurrentPath = (Open == std::string::npos || Close == std::string::npos || Close < Open)
                           ? std::string()
                           : Path.substr(Open + 1, Close - Open - 1);
        if (const size_t Dot = FCurrentPath.find('.'); Dot != std::string::npos)
            FCurrentPath = FCurrentPath.substr(Dot + 1);
    }

    std::vector<std::string> Pieces;
    const bool Vms = FDirectoryStyle == dsVms || FDirectoryStyle == dsMultiNet;
    // The client hands over its path with every "/" turned into "\\", which
    // makes a folder named "a\\b" two folders. The reply it comes from still
    // tells them apart.
    const TIpCustomFtpClient *Client = FtpClient();
    const std::string Raw = Client && !Vms ? FtpQuotedPath(Client->ReplyText()) : std::string();
    if (Path.empty() && !Vms) {
        Pieces = FCurrentPieces;
    } else if (!Raw.empty() && Raw[0] == '/' && ToDosPath(Raw) == Path) {
        size_t Start = 1;
        while (Start < Raw.size()) {
            size_t End = Raw.find('/', Start);
            if (End == std::string::npos)
                End = Raw.size();
            if (End > Start)
                Pieces.push_back(Raw.substr(Start, End - Start));
            Start = End + 1;
        }
    } else if (FCurrentPath.find('\\') != std::string::npos) {
        Pieces = SplitTokens(FCurrentPath, "\\");
    } else if (!FCurrentPath.empty()) {
        Pieces.push_back(FCurrentPath);
    }
    FCurrentPieces = Pieces;
    if (Pieces.empty())
        return;

    QTreeWidgetItem *Node = FindPieces(Pieces);
    const size_t Start = Node ? static_cast<size_t>(NodeLevel(Node) + 1) : 0;
    for (size_t I = Start; I < Pieces.size(); ++I) {
        QTreeWidgetItem *Child = NewNode(Pieces[I]);
        if (Node)
            Node->addChild(Child);
        else
            addTopLevelItem(Child);
        Node = Child;
    }
}

void TIpFtpDirectoryTree::LoadListing(const std::string &Listing)
{
    if (FListBox)
        FListBox->Clear();
    FFileList.ParseListing(Listing, ListingStyle(Listing), FOnParseStyle);

    QTreeWidgetItem *Parent = FindPieces(FCurrentPieces);
    if (Parent) {
        // Removing a node that holds the selection would move it, and a
        // moved selection asks the client for a folder change.
        FClearing = true;
        const QList<QTreeWidgetItem *> Old = Parent->takeChildren();
        FClearing = false;
        qDeleteAll(Old);
    } else {
        ClearAll();
    }

    QList<QTreeWidgetItem *> Nodes;
    for (size_t I = 0; I < FFileList.Count(); ++I) {
        const TIpFtpFileInfo *Info = FFileList.Items(I);
        // A link may lead to a folder: as a node it can be opened like one.
        if ((Info->FileKind == fkDirectory || Info->FileKind == fkLink || FDirectoryStyle == dsNone) &&
            !Info->FileName.empty() && (Info->FileName[0] != '.' || (FListBox && FListBox->ShowHidden())))
            Nodes.append(NewNode(Info->FileName));
    }
    if (Parent)
        Parent->addChildren(Nodes);
    else
        addTopLevelItems(Nodes);
    ShowCurrentFolder(Parent);
    if (FListBox)
        FListBox->SetEntries(FFileList);

    if (OnChanged)
        OnChanged(this);
}

void TIpFtpDirectoryTree::ShowCurrentFolder(QTreeWidgetItem *Node)
{
    // The folder the client is in is the one the tree marks, whichever way
    // it got there; marking it is no request for a folder change.
    FFollowing = true;
    if (Node) {
        for (QTreeWidgetItem *Up = Node->parent(); Up; Up = Up->parent())
            Up->setExpanded(true);
        Node->setExpanded(true);
        setCurrentItem(Node);
        scrollToItem(Node);
    } else {
        setCurrentItem(nullptr);
    }
    FFollowing = false;
}

void TIpFtpDirectoryTree::SelectionChanged(QTreeWidgetItem *Node)
{
    TIpCustomFtpClient *Client = FtpClient();
    if (!Client || FClearing || FFollowing || !Node)
        return;
    const bool Vms = FDirectoryStyle == dsVms || FDirectoryStyle == dsMultiNet;
    if (OnFolderRequest && !Vms)
        FLastRequestStarted = OnFolderRequest(ServerPath(Node));
    else
        // The tree holds its paths with "\\"; the client sends what it is given.
        FLastRequestStarted = Client->ChangeDir(ToUnixPath(Vms ? VmsNodePath(Node) : NodePath(Node)));
    // A refused change must not leave the tree on a folder the list does
    // not show.
    if (!FLastRequestStarted)
        MarkCurrentFolder();
    if (OnChange)
        OnChange(this, Node);
}

void TIpFtpDirectoryTree::MarkCurrentFolder()
{
    QTimer::singleShot(0, this, [this] {
        const bool Vms = FDirectoryStyle == dsVms || FDirectoryStyle == dsMultiNet;
        ShowCurrentFolder(Vms ? FindPathNode(FCurrentPath) : FindPieces(FCurrentPieces));
    });
}

void TIpFtpDirectoryTree::keyPressEvent(QKeyEvent *Event)
{
    // Enter opens the current node again, for a change the busy client dropped.
    if ((Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter) && currentItem()) {
        SelectionChanged(currentItem());
        Event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(Event);
}
