// The window's work on several files at once: the Transfers page and its
// queue, uploads of several files and of folders, downloads of several
// entries, and the deletion of several files.

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

#include <algorithm>

#include "app/AppRules.h"
#include "app/DeleteSequence.h"
#include "app/DialogProvider.h"
#include "app/FileListModel.h"
#include "app/FolderCommands.h"
#include "app/FtpDirectoryTree.h"
#include "app/StatusLine.h"
#include "app/TolvaneFtp.h"
#include "app/TransferJobs.h"
#include "app/TransferPane.h"

namespace {

std::string LocalName(const QString &Path) { return QFile::encodeName(Path).toStdString(); }

QIcon ThemeIcon(const char *Name, QStyle::StandardPixmap Fallback)
{
    return QIcon::fromTheme(QLatin1String(Name), QApplication::style()->standardIcon(Fallback));
}

} // namespace

void TTolvaneFtp::CreateTransfers()
{
    FJobs = std::make_unique<TTransferJobs>(*FClient, this);
    FDeletes = std::make_unique<TDeleteSequence>(*FClient);
    FTransfers = new TTransferPane;
    PageControl->addTab(FTransfers, ThemeIcon("folder-download", QStyle::SP_ArrowDown), tr("Transfers"));

    UploadFolder1 = new QAction(ThemeIcon("folder-new", QStyle::SP_FileDialogNewFolder), tr("Upload folder…"), this);
    UploadFolder1->setObjectName(QStringLiteral("UploadFolder1"));
    UploadFolder1->setStatusTip(tr("Copy a local folder with everything in it into the remote folder"));
    UploadFolder1->setToolTip(UploadFolder1->statusTip());
    const QList<QAction *> Menu = RemotePopupMenu->actions();
    RemotePopupMenu->insertAction(Menu.size() > 1 ? Menu[1] : nullptr, UploadFolder1);
    sBitBtnFolder = new QPushButton(UploadFolder1->icon(), tr("Upload fo&lder…"), this);
    sBitBtnFolder->setObjectName(QStringLiteral("sBitBtnFolder"));
    sBitBtnFolder->setAccessibleName(tr("Upload folder"));
    sBitBtnFolder->setToolTip(UploadFolder1->statusTip());

    FTransfers->Bind(FJobs.get(), [this] {
        return FClient->LoggedIn() && FClient->FtpState() == stReady && !BatchRunning() && !EngineJobRunning() &&
               !FUploadReplyPending;
    });
    FJobs->OnItem = [this](const TIpFtpQueueItem &Item, bool Added) {
        FTransfers->ItemChanged(Item, Added);
        if (!Added && Item.State == qsRunning)
            FStatus->ShowProgress(FJobs->RunBytes());
    };
    // The status bar shows the whole run's bytes, rate and time left.
    FJobs->OnRunStarted = [this](int64_t Total) { FStatus->StartTransfer(Total); };
    FJobs->OnItemsRemoved = [this] { FTransfers->ItemsRemoved(); };
    FTransfers->OnRetryRefused = [this] {
        if (CanRunNow(tr("Retrying")))
            FStatus->ShowOutcome(tr("Nothing to retry."));
    };
    FJobs->OnBusyChanged = [this] { FTransfers->UpdateButtons(); };
    FJobs->OnFinished = [this](const TJobOutcome &Outcome) { Guarded([&] { TransfersFinished(Outcome); }); };
    FDeletes->OnFinished = [this](const TDeleteSequence::TOutcome &Outcome) {
        Guarded([&] { DeletesFinished(Outcome); });
    };
    connect(UploadFolder1, &QAction::triggered, this, [this] { Guarded([this] { UploadFolderClick(); }); });
    connect(sBitBtnFolder, &QPushButton::clicked, this, [this] { Guarded([this] { UploadFolderClick(); }); });
}

void TTolvaneFtp::ReleaseTransfers()
{
    // The page's table looks into the queue, and the queue and the deletes
    // hold the client's events: all go before the client does.
    FTransfers->Release();
    FDeletes.reset();
    FJobs.reset();
}

bool TTolvaneFtp::BatchRunning() const { return (FJobs && FJobs->Busy()) || (FDeletes && FDeletes->Running()); }

bool TTolvaneFtp::QueueRunning() const { return FJobs && FJobs->Busy(); }

std::vector<const TIpFtpFileInfo *> TTolvaneFtp::SelectedEntries() const
{
    std::vector<int> Rows;
    for (const QModelIndex &Index : lbxFiles->selectionModel()->selectedRows())
        Rows.push_back(Index.row());
    std::sort(Rows.begin(), Rows.end());
    std::vector<const TIpFtpFileInfo *> Entries;
    for (int Row : Rows)
        if (const TIpFtpFileInfo *Entry = FFiles->Entry(Row))
            Entries.push_back(Entry);
    return Entries;
}

std::vector<std::string> TTolvaneFtp::LocalDropPaths(const QList<QUrl> &Urls)
{
    std::vector<std::string> Paths;
    for (const QUrl &Url : Urls) {
        if (!Url.isLocalFile())
            continue;
        const std::string Path = LocalName(Url.toLocalFile());
        if (IsRegularFile(Path) || IsLocalFolder(Path))
            Paths.push_back(Path);
    }
    return Paths;
}

void TTolvaneFtp::UploadThroughQueue(const std::vector<std::string> &Paths)
{
    if (!CanRunNow(tr("Uploading")))
        return;
    // The tree's listing has the folders too, which the file list leaves out.
    std::vector<TListedEntry> There;
    const TIpFtpFileList &List = FTree->FileList();
    for (size_t I = 0; I < List.Count(); ++I)
        There.push_back(ListedEntryOf(*List.Items(I)));
    if (FJobs->Upload(Paths, FRemoteFolder, There, SendMode()))
        ShowJobStarted();
}

void TTolvaneFtp::UploadFolderClick()
{
    if (!CanRunNow(tr("Uploading a folder")))
        return;
    const QString Chosen = Dialogs().PickFolder(this);
    if (!Chosen.isEmpty())
        UploadThroughQueue({LocalName(Chosen)});
}

void TTolvaneFtp::DownloadThroughQueue(const std::vector<const TIpFtpFileInfo *> &Selected)
{
    // Copied first: the folder picker keeps the event loop running, and a
    // listing arriving meanwhile frees the entries.
    std::vector<TListedEntry> Entries;
    for (const TIpFtpFileInfo *Entry : Selected)
        Entries.push_back(ListedEntryOf(*Entry));
    if (!CanRunNow(tr("Downloading")))
        return;
    const QString Target = Dialogs().PickFolder(this);
    if (Target.isEmpty() || !CanRunNow(tr("Downloading")))
        return;
    if (FJobs->Download(Entries, FRemoteFolder, LocalName(Target), static_cast<TIpFtpRetrieveMode>(SendMode())))
        ShowJobStarted();
}

void TTolvaneFtp::DownloadFolderThroughQueue(const std::string &Folder)
{
    if (!CanRunNow(tr("Downloading a folder")))
        return;
    const std::string Parent = ParentFolderOf(Folder);
    TListedEntry Entry;
    Entry.Name = Folder.substr(Folder.find_last_of('/') + 1);
    Entry.Folder = true;
    const QString Target = Dialogs().PickFolder(this);
    if (Target.isEmpty() || !CanRunNow(tr("Downloading a folder")))
        return;
    if (FJobs->Download({Entry}, Parent == "/" ? Parent : Parent + "/", LocalName(Target),
                        static_cast<TIpFtpRetrieveMode>(SendMode())))
        ShowJobStarted();
}

void TTolvaneFtp::ShowJobStarted()
{
    if (FJobs->Busy())
        FStatus->ShowOutcome(tr("Transferring: see the Transfers page."));
}

void TTolvaneFtp::TransfersFinished(const TJobOutcome &Outcome)
{
    FCancelTimer->stop();
    FStatus->EndTransfer();
    FTransfers->UpdateButtons();
    const bool Trouble = Outcome.Failed > 0 || !Outcome.Problem.empty();
    Report(JobOutcomeText(Outcome, false));
    if (FCloseAfterJobs) {
        FCloseAfterJobs = false;
        QTimer::singleShot(0, this, [this] { close(); });
        return;
    }
    if (!FSessionWanted && FClient->LoggedIn() && FClient->Connected()) {
        // The disconnect that cancelled the transfers goes on.
        FClient->Logout();
        FQuitTimer->start();
        return;
    }
    if (FClient->LoggedIn())
        AskFolder(FRemoteFolder);
    if (Trouble && !FNoQuestions)
        Dialogs().ShowMessage(this, JobOutcomeText(Outcome, true));
}

bool TTolvaneFtp::CancelJobs()
{
    if (!QueueRunning())
        return false;
    FJobs->CancelAll();
    FStatus->ShowOutcome(tr("Cancelling the transfers ..."));
    // A server that answers nothing more is left without a word.
    FCancelTimer->start();
    return true;
}

void TTolvaneFtp::DeleteSelected(const std::vector<const TIpFtpFileInfo *> &Selected)
{
    std::vector<std::string> Names;
    for (const TIpFtpFileInfo *Entry : Selected)
        if (Entry->FileKind != fkDirectory)
            Names.push_back(Entry->FileName);
    if (Names.empty()) {
        FStatus->ShowOutcome(tr("Select the files to delete."));
        return;
    }
    const TDialogAnswer Answer = Dialogs().WarningYesNo(
        this, tr("Warning"), tr("Do you want to delete %1 files?").arg(static_cast<qulonglong>(Names.size())));
    if (Answer == daYes && CanRunNow(tr("Deleting")) && FDeletes->Start(Names))
        FStatus->ShowOutcome(tr("Deleting %1 files ...").arg(static_cast<qulonglong>(Names.size())));
}

void TTolvaneFtp::DeletesFinished(const TDeleteSequence::TOutcome &Outcome)
{
    QString Text = tr("Deleted %1 files.").arg(Outcome.Deleted);
    if (!Outcome.Refused.empty())
        Text += QLatin1Char(' ') + tr("The server did not delete %1: %2")
                                       .arg(DisplayName(Outcome.Refused.front().first),
                                            ReplyForPeople(Outcome.Refused.front().second)) +
                (Outcome.Refused.size() > 1 ? tr(" (and %1 more)").arg(Outcome.Refused.size() - 1) : QString());
    if (Outcome.NotTried > 0)
        Text += QLatin1Char(' ') + tr("%1 were not deleted: the connection closed.").arg(Outcome.NotTried);
    if (FClient->LoggedIn())
        AskFolder(FRemoteFolder);
    Report(Text, !Outcome.Refused.empty() || Outcome.NotTried > 0);
}
