// The remote file manager's folder commands, dragging entries out of the
// file list and the quiet-minute NOOP: each its own class, wired here. While
// one of them has the client, the window's own handlers keep out.

#include <QAction>
#include <QItemSelectionModel>
#include <QMenu>
#include <QTreeView>

#include "app/FileListModel.h"
#include "app/FolderCommands.h"
#include "app/FtpDirectoryTree.h"
#include "app/KeepAlive.h"
#include "app/RemoteDrag.h"
#include "app/TolvaneFtp.h"

void TTolvaneFtp::CreateFolderCommands()
{
    FFolderCommands = new TFolderCommands(*FClient, FolderCommandsHost(), this);
    for (QAction *A : {FFolderCommands->DownloadFolderAction(), FFolderCommands->NewFolderAction(),
                       FFolderCommands->DeleteFolderAction()}) {
        RemotePopupMenu->addAction(A);
        lbxFiles->addAction(A);
        FTree->addAction(A);
    }
    FTree->setContextMenuPolicy(Qt::ActionsContextMenu);
    FDragSource = new TRemoteDragSource(*FClient, RemoteDragHost(), lbxFiles);
}

void TTolvaneFtp::CreateKeepAlive()
{
    FKeepAlive = new TKeepAlive([this] { return FClient->LoggedIn(); },
                                [this] {
                                    return FClient->FtpState() == stReady && !EngineJobRunning() && !BatchRunning() &&
                                           !FListingReplyPending && !FUploadReplyPending && FOp == opNone;
                                },
                                [this] { FClient->SendFtpCommand("NOOP"); }, this);
}

TFolderCommands::THost TTolvaneFtp::FolderCommandsHost()
{
    TFolderCommands::THost Host;
    Host.CurrentFolder = [this] { return FRemoteFolder; };
    Host.CanRunNow = [this](const QString &What) { return CanRunNow(What); };
    Host.Report = [this](const QString &Text, bool Box) { Report(Text, Box); };
    Host.Open = [this](const std::string &Folder) { AskFolder(Folder); };
    Host.Download = [this](const std::string &Folder) { DownloadFolderThroughQueue(Folder); };
    return Host;
}

TRemoteDragSource::THost TTolvaneFtp::RemoteDragHost()
{
    TRemoteDragSource::THost Host;
    Host.Selected = [this] {
        std::vector<TListedEntry> Entries;
        for (const QModelIndex &Row : lbxFiles->selectionModel()->selectedRows())
            if (const TIpFtpFileInfo *Entry = FFiles->Entry(Row.row()))
                Entries.push_back(ListedEntryOf(*Entry));
        return Entries;
    };
    Host.CurrentFolder = [this] { return FRemoteFolder; };
    Host.CanRunNow = [this](const QString &What) { return CanRunNow(What); };
    Host.Report = [this](const QString &Text, bool Box) { Report(Text, Box); };
    return Host;
}

bool TTolvaneFtp::EngineJobRunning() const
{
    return (FFolderCommands && FFolderCommands->Running()) || (FDragSource && FDragSource->Running());
}
