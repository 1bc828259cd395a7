// Uploads, downloads, drops, and the file list's operations (refresh,
// delete, rename, permissions) with their delayed refresh.

#include <QAbstractButton>
#include <QAction>
#include <QButtonGroup>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTreeView>
#include <QMimeData>
#include <QTimer>
#include <QUrl>

#include "app/AppRules.h"
#include "app/CertificateTrust.h"
#include "app/PasswordKeeper.h"
#include "app/CircularProgress.h"
#include "app/DialogProvider.h"
#include "app/FileListModel.h"
#include "app/FtpDirectoryTree.h"
#include "app/LogPage.h"
#include "app/OverwriteQuestion.h"
#include "app/StatusLine.h"
#include "app/TolvaneFtp.h"

namespace {

// How long the unattended upload waits for the automatic login.
constexpr qint64 UnattendedWaitMs = 30000;

std::string LocalName(const QString &Path) { return QFile::encodeName(Path).toStdString(); }

} // namespace

// ---------------------------------------------------------------- helpers

int TTolvaneFtp::SelectedRow() const
{
    // With several entries selected, a command on one takes the current one.
    const QModelIndex Current = lbxFiles->currentIndex();
    if (Current.isValid() && lbxFiles->selectionModel()->isRowSelected(Current.row(), QModelIndex()))
        return Current.row();
    const QModelIndexList Rows = lbxFiles->selectionModel()->selectedRows();
    return Rows.isEmpty() ? -1 : Rows.first().row();
}

const TIpFtpFileInfo *TTolvaneFtp::SelectedEntry() const { return FFiles->Entry(SelectedRow()); }

void TTolvaneFtp::ClearSelection() { lbxFiles->selectionModel()->clearSelection(); }

TIpFtpStoreMode TTolvaneFtp::SendMode() const
{
    const int Id = FSendModeGroup->checkedId();
    return static_cast<TIpFtpStoreMode>(Id < 0 ? 1 : Id);
}

int64_t TTolvaneFtp::RestartOffset() const { return ParseRestartOffset(edtRestartAt->text().toStdString()); }

void TTolvaneFtp::SetProgressMaximum(int64_t Maximum)
{
    // Kept whole: the indicator scales 64-bit sizes itself.
    Progress1->SetMaximum(Maximum);
    Progress1->SetPosition(0);
}

void TTolvaneFtp::EnableFileMenu(bool Enabled)
{
    for (QAction *A : {Permissions1, Downloadfile1, Delete2, Rename2})
        A->setEnabled(Enabled);
    Refresh1->setEnabled(true);
}

// ---------------------------------------------------------------- upload

void TTolvaneFtp::sButton2Click()
{
    const QStringList Chosen = Dialogs().OpenFiles(this);
    if (Chosen.isEmpty())
        return;
    if (Chosen.size() > 1) {
        std::vector<std::string> Paths;
        for (const QString &Path : Chosen)
            Paths.push_back(LocalName(Path));
        UploadThroughQueue(Paths);
        return;
    }
    SetFileLabel(LocalName(Chosen.first()));
    SetProgressMaximum(LocalFileSize(FFileLabel));
}

const TIpFtpFileInfo *TTolvaneFtp::ListedEntry(const std::string &Name) const
{
    for (int Row = 0; Row < FFiles->Count(); ++Row)
        if (const TIpFtpFileInfo *Entry = FFiles->Entry(Row); Entry && Entry->FileName == Name)
            return Entry;
    return nullptr;
}

void TTolvaneFtp::sBitBtn1Click()
{
    if (FFileLabel.size() < 2) {
        sButton2Click();
        return;
    }
    if (!CanRunNow(tr("Uploading")))
        return;
    const std::string Local = FFileLabel;
    const int64_t LocalSize = LocalFileSize(Local);
    std::string RemoteName = RemoteNameOfLocalPath(Local);
    TIpFtpStoreMode Mode = SendMode();
    int64_t RestartAt = RestartOffset();
    // The listing is the window's knowledge of the folder: a file it shows
    // is not replaced without asking. The sizes are taken before the
    // question, which a new listing may arrive under.
    if (Mode == smReplace && ListedEntry(RemoteName)) {
        std::vector<std::pair<std::string, int64_t>> Listed;
        for (int Row = 0; Row < FFiles->Count(); ++Row)
            Listed.emplace_back(FFiles->Entry(Row)->FileName, FFiles->Entry(Row)->Size);
        const auto SizeOf = [Listed](const std::string &Name) -> int64_t {
            for (const auto &[N, Size] : Listed)
                if (N == Name)
                    return Size;
            return -1;
        };
        const TOverwriteDecision D = AskOverwrite(this, RemoteName, tr("remote folder"), LocalSize, SizeOf);
        if (!D.Go) {
            Report(tr("Upload of %1 cancelled.").arg(DisplayName(RemoteName)));
            return;
        }
        RemoteName = D.Name;
        if (D.Resume) {
            Mode = smRestart;
            RestartAt = D.RestartAt;
        }
        if (!CanRunNow(tr("Uploading")))
            return;
    }
    SetProgressMaximum(LocalSize);
    if (FClient->Store(RemoteName, Local, Mode, RestartAt)) {
        FLastTransfer = ltUpload;
        FUploadReplyPending = true;
        FOp = opUpload;
        FOpName = RemoteName;
        FStatus->StartTransfer(LocalSize - RestartAt);
        FLogPage->AddNote(tr("Uploading %1 to %2").arg(DisplayName(Local), DisplayName(FRemoteFolder + RemoteName)));
        AskFolder(FRemoteFolder);
    } else {
        Report(tr("%1 was not uploaded: the file cannot be read, or the server is busy.").arg(DisplayName(Local)), true);
    }
}

void TTolvaneFtp::UploadDroppedFile(const std::string &Path)
{
    SetFileLabel(Path);
    sBitBtn1Click();
}

void TTolvaneFtp::TimerTimer()
{
    Timer->stop();
    if (FFileLabel.size() < 2) {
        sButton2Click();
        Timer1->start();
        return;
    }
    // The automatic login may still be on its way: wait for it rather than
    // dropping the file.
    FUnattendedWaiting = true;
    UnattendedUploadTick();
}

void TTolvaneFtp::UnattendedUploadTick()
{
    if (!FUnattendedWaiting) {
        FRetryTimer->stop();
        return;
    }
    // Idle means the last listing is wholly finished too: the client is
    // ready before the status and the server's reply that end a listing
    // have been delivered, and either would end a transfer started in
    // between.
    const bool Ready = FClient->LoggedIn() && FClient->FtpState() == stReady && !FClient->TransferStream() &&
                       FClient->DataSocket() == INVALID_SOCKET && !FListingReplyPending;
    if (Ready) {
        FUnattendedWaiting = false;
        FRetryTimer->stop();
        DoUpClick();
        Timer1->start();
        return;
    }
    // A refused login (530) leaves the connection open on most servers:
    // waiting on would only delay the news.
    const bool Waiting = FPasswords->Loading() || FLoginWhenPassword || FTrust->QuestionOpen();
    if (!Waiting && ((FClient->FtpState() == stClosed && !FClient->Connected()) || !FLoginTrouble.empty())) {
        FUnattendedWaiting = false;
        FRetryTimer->stop();
        UnattendedUploadFailed(
            FTrust->Refused() ? tr("the server's certificate was not trusted, so nothing was sent to it.")
            : !FLoginTrouble.empty()
                ? tr("the server did not let us in: %1").arg(DisplayName(FLoginTrouble).trimmed())
            : edtPassword->text().isEmpty()
                ? tr("no password is stored for %1 on %2 (tick Remember password and save it).")
                      .arg(edtUserName->text(), edtURL->text())
                : tr("there is no connection to the server."));
        return;
    }
    if (UnattendedWaitedMs() >= UnattendedWaitMs) {
        FUnattendedWaiting = false;
        FRetryTimer->stop();
        UnattendedUploadFailed(tr("the login did not finish within 30 seconds."));
        return;
    }
    if (!FRetryTimer->isActive())
        FRetryTimer->start();
}

bool TTolvaneFtp::UnattendedPending() const { return FUnattendedWaiting || Timer->isActive(); }

void TTolvaneFtp::UnattendedUploadFailed(const QString &Why)
{
    Dialogs().ShowMessage(this, tr("The file %1 was not uploaded: %2").arg(DisplayName(FFileLabel), Why));
}

void TTolvaneFtp::DoUpClick()
{
    if (FFileLabel.size() < 2) {
        sButton2Click();
        return;
    }
    SetProgressMaximum(LocalFileSize(FFileLabel));
    const std::string Name = RemoteNameOfLocalPath(FFileLabel);
    const std::string RemotePath = JoinDefaultRemote(TypedRemoteFolder(), Name);
    if (FClient->Store(RemotePath, FFileLabel, SendMode(), RestartOffset())) {
        FLastTransfer = ltUpload;
        FUploadReplyPending = true;
        FOp = opUpload;
        FOpName = RemotePath;
        FStatus->StartTransfer(LocalFileSize(FFileLabel));
        AskFolder(FRemoteFolder);
    }
}

void TTolvaneFtp::Timer1Timer()
{
    // A client still busy with the upload or its refresh drops the change;
    // ask again on the next tick, for a while, so the browser does end up
    // in the default folder.
    constexpr int MaxTries = 15;
    if (AskFolder(TypedRemoteFolder()) || !FClient->LoggedIn() || ++FTimer1Tries >= MaxTries) {
        Timer1->stop();
        FTimer1Tries = 0;
    }
}

// ---------------------------------------------------------------- download

// A download starts only when asked for (the menu, Ctrl+D, Enter or a
// double-click); a selection alone, or the end of another transfer, never
// starts one.
void TTolvaneFtp::Downloadfile1Click()
{
    const TIpFtpFileInfo *Entry = SelectedEntry();
    if (!Entry) {
        FStatus->ShowOutcome(tr("Select a file to download."));
        return;
    }
    FPendingAction = paNone;
    const std::vector<const TIpFtpFileInfo *> Selected = SelectedEntries();
    if (Selected.size() > 1 || Entry->FileKind == fkDirectory) {
        DownloadThroughQueue(Selected);
        return;
    }
    StartDownload(*Entry);
}

void TTolvaneFtp::DownloadNextSelected()
{
    if (const TIpFtpFileInfo *Entry = SelectedEntry())
        StartDownload(*Entry);
}

void TTolvaneFtp::StartDownload(const TIpFtpFileInfo &Listed) { StartDownload(Listed.FileName, Listed.Size); }

void TTolvaneFtp::StartDownload(const std::string Name, const int64_t Size)
{
    // Taken by value: the folder picker and the question keep the event
    // loop running, and a listing arriving meanwhile frees the entry.
    if (!IsSafeLocalName(Name)) {
        // A hostile listing must not choose where a file lands.
        Report(tr("The file \"%1\" was not downloaded: its name cannot be used as a local file name.").arg(DisplayName(Name)),
               true);
        return;
    }
    if (!CanRunNow(tr("Downloading")))
        return;
    const QString Target = Dialogs().PickFolder(this);
    if (Target.isEmpty())
        return;
    const std::string Folder = LocalName(Target);
    std::string Local = JoinLocalPath(Folder, Name);
    TIpFtpRetrieveMode Mode = static_cast<TIpFtpRetrieveMode>(SendMode());
    int64_t RestartAt = RestartOffset();
    if (Mode == rmReplace && LocalFileSize(Local) >= 0) {
        const TOverwriteDecision D = AskOverwrite(this, Name, tr("local folder"), Size, [&Folder](const std::string &N) {
            return LocalFileSize(JoinLocalPath(Folder, N));
        });
        if (!D.Go) {
            Report(tr("Download of %1 cancelled.").arg(DisplayName(Name)));
            return;
        }
        Local = JoinLocalPath(Folder, D.Name);
        if (D.Resume) {
            Mode = rmRestart;
            RestartAt = D.RestartAt;
        }
    }
    if (!CanRunNow(tr("Downloading")))
        return;
    SetProgressMaximum(Size);
    if (FClient->Retrieve(Name, Local, Mode, RestartAt)) {
        FLastTransfer = ltDownload;
        FOp = opDownload;
        FOpName = Name;
        FStatus->StartTransfer(Size > 0 ? Size - RestartAt : -1);
        FLogPage->AddNote(tr("Downloading %1 to %2").arg(DisplayName(Name), DisplayName(Local)));
        ClearSelection();
    }
}

void TTolvaneFtp::lbxFilesActivated()
{
    const TIpFtpFileInfo *Entry = SelectedEntry();
    if (!Entry)
        return;
    if (Entry->FileKind == fkDirectory) {
        if (CanRunNow(tr("Opening the folder")))
            AskFolder(FRemoteFolder + Entry->FileName);
        return;
    }
    if (Entry->FileKind == fkLink) {
        // The listing does not say where a link leads: into a folder when
        // the server lets us in, otherwise it is a file to fetch.
        const std::pair<std::string, int64_t> Link{Entry->FileName, Entry->Size};
        if (CanRunNow(tr("Opening the link")) && AskFolder(FRemoteFolder + Link.first))
            FLinkTried = Link;
        return;
    }
    // Opening is about the current entry, whatever else is selected.
    FPendingAction = paNone;
    StartDownload(*Entry);
}

void TTolvaneFtp::GoUpClick()
{
    if (CanRunNow(tr("Opening the parent folder")))
        AskFolder("..");
}

// ---------------------------------------------------------------- drops

std::string TTolvaneFtp::FirstRegularFile(const QList<QUrl> &Urls)
{
    for (const QUrl &Url : Urls) {
        if (!Url.isLocalFile())
            continue;
        const std::string Path = LocalName(Url.toLocalFile());
        if (IsRegularFile(Path))
            return Path;
    }
    return std::string();
}

void TTolvaneFtp::dragEnterEvent(QDragEnterEvent *Event)
{
    if (Event->mimeData()->hasUrls() && !FirstRegularFile(Event->mimeData()->urls()).empty())
        Event->acceptProposedAction();
    else
        Event->ignore();
}

void TTolvaneFtp::dragMoveEvent(QDragMoveEvent *Event)
{
    if (Event->mimeData()->hasUrls() && !FirstRegularFile(Event->mimeData()->urls()).empty())
        Event->acceptProposedAction();
    else
        Event->ignore();
}

bool TTolvaneFtp::DropOnWindow(const QMimeData *Data)
{
    const std::string Path = Data && Data->hasUrls() ? FirstRegularFile(Data->urls()) : std::string();
    if (Path.empty())
        return false;
    Guarded([&] { SetFileLabel(Path); });
    return true;
}

bool TTolvaneFtp::DropOnList(const QMimeData *Data)
{
    const std::vector<std::string> Paths = Data && Data->hasUrls() ? LocalDropPaths(Data->urls()) : std::vector<std::string>();
    if (Paths.empty())
        return false;
    if (Paths.size() == 1 && IsRegularFile(Paths.front()))
        Guarded([&] { UploadDroppedFile(Paths.front()); });
    else
        Guarded([&] { UploadThroughQueue(Paths); });
    return true;
}

void TTolvaneFtp::dropEvent(QDropEvent *Event)
{
    if (DropOnWindow(Event->mimeData()))
        Event->acceptProposedAction();
    else
        Event->ignore();
}

bool TTolvaneFtp::eventFilter(QObject *Watched, QEvent *Event)
{
    if (Watched != lbxFiles->viewport())
        return QWidget::eventFilter(Watched, Event);
    switch (Event->type()) {
    case QEvent::MouseButtonRelease:
        // Any button, on a row or beside the rows: the press before it has
        // already set the selection the menu follows.
        Guarded([this] { lbxFilesMouseDown(); });
        return false;
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *Drag = static_cast<QDragMoveEvent *>(Event);
        if (Drag->mimeData()->hasUrls() && !LocalDropPaths(Drag->mimeData()->urls()).empty())
            Drag->acceptProposedAction();
        else
            Drag->ignore();
        return true;
    }
    case QEvent::Drop: {
        auto *Drop = static_cast<QDropEvent *>(Event);
        if (DropOnList(Drop->mimeData()))
            Drop->acceptProposedAction();
        else
            Drop->ignore();
        return true;
    }
    default:
        return QWidget::eventFilter(Watched, Event);
    }
}

// ---------------------------------------------------------------- file operations

void TTolvaneFtp::lbxFilesClick() { EnableFileMenu(SelectedRow() >= 0); }

void TTolvaneFtp::lbxFilesMouseDown() { EnableFileMenu(SelectedRow() >= 0); }

void TTolvaneFtp::Timer2Timer()
{
    Timer2->stop();
    // Without a login there is nothing to refresh; a busy client says so.
    if (FClient->LoggedIn() && CanRunNow(tr("Refreshing")))
        AskFolder(FRemoteFolder);
}

void TTolvaneFtp::Refresh1Click() { Timer2->start(); }

void TTolvaneFtp::Delete2Click()
{
    const TIpFtpFileInfo *Entry = SelectedEntry();
    if (!Entry) {
        Timer2->start();
        return;
    }
    if (const std::vector<const TIpFtpFileInfo *> Selected = SelectedEntries(); Selected.size() > 1) {
        DeleteSelected(Selected);
        return;
    }
    const std::string Name = Entry->FileName;
    const TDialogAnswer Answer =
        Dialogs().WarningYesNo(this, tr("Warning"), tr("Do you want to delete file: ") + DisplayName(Name) + tr(" ?"));
    if (Answer == daYes && CanRunNow(tr("Deleting")) && FClient->Delete(Name)) {
        FOp = opDelete;
        FOpName = Name;
    }
    if (Answer != daNo)
        Timer2->start();
}

void TTolvaneFtp::Rename2Click()
{
    if (const TIpFtpFileInfo *Entry = SelectedEntry()) {
        const std::string OldName = Entry->FileName;
        const QString Shown = DisplayName(OldName);
        QString NewName = Shown;
        if (Dialogs().InputText(this, QLatin1String(AppCaption), tr("New file name:"), NewName)) {
            // An unchanged text keeps the server's own bytes, which the
            // shown (escaped) text may not spell. RNTO follows the server's
            // 350 (the client's Rename would keep RNTO stacked after a
            // refused RNFR and send it with the next positive reply).
            const std::string New = NewName == Shown ? OldName : NewName.toStdString();
            if (New.empty() || New.find_first_of("\r\n") != std::string::npos)
                Report(tr("%1 was not renamed: the new name is empty or holds a line break.").arg(Shown));
            else if (CanRunNow(tr("Renaming")) && FClient->SendFtpCommand("RNFR " + OldName)) {
                FOp = opRename;
                FOpName = OldName;
                FRenameTo = New;
            }
        }
    }
    Timer2->start();
}

void TTolvaneFtp::Permissions1Click()
{
    if (SelectedEntry() && FilePermission)
        FilePermission->exec();
    Timer2->start();
}
