#pragma once
// The remote folder tree: a tree widget that mirrors the folders of the FTP
// client's server and fills the file list with the entries of the current
// folder. The client feeds it through TIpFtpDirTree; selecting a node asks
// the client to change to that folder.
//
// Each node keeps its folder name as the server's bytes (NameRole); what is
// shown is a safe rendering of them, and the bytes are what paths are built
// from.

#include <QTreeWidget>

#include <functional>
#include <string>

#include "ftp/IpFtpDirTree.h"
#include "ftp/IpFtpList.h"

class TFileListModel;

class TIpFtpDirectoryTree : public QTreeWidget, public TIpFtpDirTree
{
    Q_OBJECT

public:
    static constexpr int NameRole = Qt::UserRole + 1;

    explicit TIpFtpDirectoryTree(QWidget *Parent = nullptr);
    ~TIpFtpDirectoryTree() override;

    // --- TIpFtpDirTree
    void ClearAll() override;
    void SetCurrentPath(const std::string &Path) override;
    void LoadListing(const std::string &Listing) override;
    TIpFtpDirStyle DirectoryStyle() const override { return FDirectoryStyle; }
    void SetDirectoryStyle(TIpFtpDirStyle Value) override { FDirectoryStyle = Value; }

    // The file list that receives the current folder's entries (not owned).
    TFileListModel *ListBox() const { return FListBox; }
    void SetListBox(TFileListModel *Value) { FListBox = Value; }

    // A caller-supplied parser for listing lines; setting one selects dsUser.
    const TIpUserParseStyleEvent &OnParseStyle() const { return FOnParseStyle; }
    void SetOnParseStyle(const TIpUserParseStyleEvent &Value);

    QTreeWidgetItem *FindPathNode(const std::string &Path) const;
    static std::string NodePath(const QTreeWidgetItem *Node);
    std::string VmsNodePath(const QTreeWidgetItem *Node) const;
    // The folder name of a node, as the server's bytes.
    static std::string NodeName(const QTreeWidgetItem *Node);
    static int NodeLevel(const QTreeWidgetItem *Node);

    const std::string &CurrentPath() const { return FCurrentPath; }
    bool Clearing() const { return FClearing; }
    const TIpFtpFileList &FileList() const { return FFileList; }

    // Raised after a node was selected and the folder change was asked for.
    std::function<void(TIpFtpDirectoryTree *Sender, QTreeWidgetItem *Node)> OnChange;
    // Raised after a listing has been loaded.
    std::function<void(TIpFtpDirectoryTree *Sender)> OnChanged;
    // When set, a picked folder goes here instead of to the client's
    // ChangeDir: Path is the node's folder as the server's names joined by
    // "/" (never rewritten); true when the change was started.
    std::function<bool(const std::string &Path)> OnFolderRequest;
    // The folder as the server names it: "/" and its names, unchanged.
    static std::string ServerPath(const QTreeWidgetItem *Node);
    // Whether the last picked folder was asked for (false: the client was
    // busy, and the tree marks the client's folder again).
    bool LastRequestStarted() const { return FLastRequestStarted; }
    // Marks the client's current folder again (after a refused change), from
    // the event loop, so that a click being handled is not undone under it.
    void MarkCurrentFolder();

protected:
    void keyPressEvent(QKeyEvent *Event) override;

private:
    void SelectionChanged(QTreeWidgetItem *Node);
    void ShowCurrentFolder(QTreeWidgetItem *Node);
    QTreeWidgetItem *NewNode(const std::string &Name) const;
    QTreeWidgetItem *FindPieces(const std::vector<std::string> &Pieces) const;

    TIpFtpDirStyle FDirectoryStyle = dsUnix;
    TIpUserParseStyleEvent FOnParseStyle;
    TFileListModel *FListBox = nullptr;
    std::string FCurrentPath;
    // The current folder's names. For the server's own path they come from
    // its reply, split at "/" only: a "\\" in a folder name is no separator.
    std::vector<std::string> FCurrentPieces;
    bool FLastRequestStarted = false;
    bool FClearing = false;
    bool FFollowing = false; // marking the client's folder, not a user's pick
    TIpFtpFileList FFileList;
    QIcon FFolderIcon;
};
