#pragma once
// "New folder" and "Delete folder" of the remote file manager. A folder is
// walked before it is deleted, so that the question can say how much goes
// with it; the removal then runs on the session's connection. While a
// command runs it owns the client: the window shows none of its replies as
// its own and starts nothing else.

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>

class QAction;
class QWidget;
class TIpCustomFtpClient;
class TIpFtpClientHook;
class TIpFtpRemoteWalk;
class TIpFtpTreeRemove;

class TFolderCommands : public QObject
{
    Q_OBJECT

public:
    // What the commands need of the window.
    struct THost
    {
        // The folder the window shows, absolute, as the server named it.
        std::function<std::string()> CurrentFolder;
        // False (and said in the status bar) when nothing can start now.
        std::function<bool(const QString &What)> CanRunNow;
        // The outcome: status bar and log; Box also shows a message box.
        std::function<void(const QString &Text, bool Box)> Report;
        // Lists Folder (absolute) once a command has changed what is there.
        std::function<void(const std::string &Folder)> Open;
        // Copies Folder (absolute, without a trailing "/") with everything
        // in it into a local folder the user picks.
        std::function<void(const std::string &Folder)> Download;
    };

    TFolderCommands(TIpCustomFtpClient &Client, THost Host, QWidget *Parent);
    ~TFolderCommands() override;

    QAction *NewFolderAction() const { return FNewFolder; }
    QAction *DeleteFolderAction() const { return FDeleteFolder; }
    QAction *DownloadFolderAction() const { return FDownloadFolder; }
    // A command owns the client.
    bool Running() const;

    // Asks for a name and creates that folder in the current one.
    void NewFolder();
    // Deletes the current folder with all it holds, after a question that
    // counts its files and folders; then the parent folder is shown.
    void DeleteFolder();
    // Downloads the current folder with all it holds.
    void DownloadFolder();

private:
    void MadeFolder(int Code, const std::string &Text);
    void Walked();
    void Removed();
    QString Shown(const std::string &Path) const;

    TIpCustomFtpClient &FClient;
    THost FHost;
    QWidget *FParent;
    QAction *FNewFolder = nullptr;
    QAction *FDeleteFolder = nullptr;
    QAction *FDownloadFolder = nullptr;
    std::unique_ptr<TIpFtpClientHook> FMkdHook;
    std::unique_ptr<TIpFtpRemoteWalk> FWalk;
    std::unique_ptr<TIpFtpTreeRemove> FRemove;
    bool FMaking = false;
    std::string FTarget; // the folder made or deleted, absolute
};

// Parent folder of an absolute path without a trailing "/" ("/a/b" → "/a",
// "/a" → "/").
std::string ParentFolderOf(const std::string &Path);
// Why Name cannot be a new folder's name; empty when it can.
QString FolderNameProblem(const std::string &Name);
