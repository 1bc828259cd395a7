// What the user hears of the session: failures of what the user started
// (message box, status bar and log), actions that cannot run now, the login
// time-out, and the end of a session or transfer by Disconnect, close or a
// signal. Folder commands report here too, and own the client while they run.

#include <QItemSelectionModel>
#include <QPlainTextEdit>
#include <QTreeView>
#include <QTimer>

#include "app/AppRules.h"
#include "app/CertificateTrust.h"
#include "app/CircularProgress.h"
#include "app/DialogProvider.h"
#include "app/FileListModel.h"
#include "app/FolderCommands.h"
#include "app/FtpDirectoryTree.h"
#include "app/LogPage.h"
#include "app/StatusLine.h"
#include "app/TolvaneFtp.h"

namespace {

QString OpWord(bool Upload) { return Upload ? QObject::tr("Upload") : QObject::tr("Download"); }

} // namespace

void TTolvaneFtp::Report(const QString &Text, bool Box)
{
    ++FReports;
    FStatus->ShowOutcome(Text);
    FLogPage->AddNote(Text);
    if (Box && !FNoQuestions)
        Dialogs().ShowMessage(this, Text);
}

bool TTolvaneFtp::CanRunNow(const QString &What)
{
    if (!FClient->LoggedIn()) {
        FStatus->ShowOutcome(tr("%1 needs a connection: press Connect first.").arg(What));
        return false;
    }
    if (BatchRunning()) {
        FStatus->ShowOutcome(tr("%1 must wait: transfers are running (see the Transfers page).").arg(What));
        return false;
    }
    if (EngineJobRunning()) {
        FStatus->ShowOutcome(tr("%1 must wait: a folder command is still running.").arg(What));
        return false;
    }
    if (FClient->FtpState() != stReady || FUploadReplyPending) {
        FStatus->ShowOutcome(tr("%1 must wait: the server is still busy with the last request.").arg(What));
        return false;
    }
    return true;
}

void TTolvaneFtp::TransferEnded()
{
    Progress1->hide();
    FStatus->EndTransfer();
}

bool TTolvaneFtp::TransferRunning() const
{
    return FClient->FtpState() == stRetrieve || FClient->FtpState() == stStore;
}

void TTolvaneFtp::IpFtpClientFtpLoginError(TObject *, int ErrorCode, const std::string &Error)
{
    FLoginTimer->stop();
    FLoginTrouble = Error.empty() ? std::string("login failed") : Error;
    FSessionWanted = false;
    FOp = opNone;
    SetConnectCaption(false);
    SetBusyCursor(false);
    if (ErrorCode == EngineTls::CertificateRefusedCode && FTrust->Refused()) {
        // The user has just said no: that needs no message box.
        Report(tr("Not connected to %1: its certificate was not trusted, so nothing was sent to it.")
                   .arg(HostForPeople(FClient->Host(), DefaultPortOf(Encryption()))));
        return;
    }
    // The unattended upload says it in its own message, with this reason.
    Report(tr("Could not connect to %1: %2").arg(HostForPeople(FClient->Host(), DefaultPortOf(Encryption())), ReplyForPeople(Error)),
           !UnattendedPending());
}

void TTolvaneFtp::IpFtpClientFtpError(TObject *, int, const std::string &Error)
{
    if (EngineJobRunning() && FClient->LoggedIn())
        return; // the folder command reports it
    SetBusyCursor(false);
    if (BatchRunning() && FClient->LoggedIn())
        return; // the queue or the deletes count it against their item
    const QString Why = ReplyForPeople(Error);
    if (!FClient->LoggedIn()) {
        // A refused login leaves the connection open on most servers; it is
        // ended, so that the next Connect starts afresh.
        FLoginTimer->stop();
        FLoginTrouble = Error;
        FSessionWanted = false;
        FOp = opNone;
        SetConnectCaption(false);
        Report(tr("%1 refused the login: %2").arg(HostForPeople(FClient->Host(), DefaultPortOf(Encryption())), Why), !UnattendedPending());
        const TSocket Control = FClient->ControlSocket();
        QTimer::singleShot(0, this, [this, Control] {
            if (Control != INVALID_SOCKET && FClient->ControlSocket() == Control && !FClient->LoggedIn())
                EndSessionNow();
        });
        return;
    }
    const TUserOp Op = FOp;
    FOp = opNone;
    FRenameTo.clear();
    switch (Op) {
    case opUpload:
    case opDownload:
        TransferEnded();
        Report(tr("%1 of %2 failed: %3").arg(OpWord(Op == opUpload), DisplayName(FOpName), Why), true);
        break;
    case opFolder:
        FTree->MarkCurrentFolder();
        if (FLinkTried && FOpName == FRemoteFolder + FLinkTried->first) {
            // A link to a file: opening it fetches it. Asked once this
            // handler has returned, as the folder picker is modal.
            const auto [Name, Size] = *FLinkTried;
            FLinkTried.reset();
            QTimer::singleShot(0, this, [this, Name, Size] { StartDownload(Name, Size); });
            break;
        }
        Report(tr("Cannot open the folder %1: %2").arg(DisplayName(FOpName), Why));
        break;
    case opDelete:
        Report(tr("The server did not delete %1: %2").arg(DisplayName(FOpName), Why));
        break;
    case opRename:
        Report(tr("The server did not rename %1: %2").arg(DisplayName(FOpName), Why));
        break;
    case opCommand:
        Report(tr("The server refused %1: %2").arg(DisplayName(FOpName), Why));
        break;
    default:
        Report(tr("The server refused a command: %1").arg(Why));
        break;
    }
}

void TTolvaneFtp::IpFtpClientError(TObject *, TSocket, int ErrCode, const std::string &ErrStr)
{
    if (EngineJobRunning() && FClient->LoggedIn() && ErrCode != IpFtpCancelledCode)
        return; // the folder command reports it
    if (!FClient->LoggedIn())
        FLoginTrouble = ErrStr;
    SetBusyCursor(false);
    if (BatchRunning())
        return; // the queue's item has it
    const TUserOp Op = FOp;
    const bool Transfer = Op == opUpload || Op == opDownload;
    if (ErrCode == IpFtpCancelledCode) {
        FCancelTimer->stop();
        FOp = opNone;
        TransferEnded();
        Report(Transfer ? tr("%1 of %2 cancelled.").arg(OpWord(Op == opUpload), DisplayName(FOpName))
                        : tr("Transfer cancelled."));
        if (FCloseAfterCancel) {
            FCloseAfterCancel = false;
            QTimer::singleShot(0, this, [this] { close(); });
        } else if (!FSessionWanted && FClient->LoggedIn() && FClient->Connected()) {
            // The disconnect that asked for the cancel goes on, quietly.
            FClient->Logout();
            FQuitTimer->start();
        }
        return;
    }
    if (Transfer) {
        FOp = opNone;
        TransferEnded();
        Report(tr("%1 of %2 failed: %3").arg(OpWord(Op == opUpload), DisplayName(FOpName), ReplyForPeople(ErrStr)),
               true);
        return;
    }
    if (Op == opFolder) {
        FOp = opNone;
        FTree->MarkCurrentFolder();
    }
    Report(ReplyForPeople(ErrStr));
}

void TTolvaneFtp::LoginTimerTimer()
{
    if (FClient->LoggedIn() || FClient->FtpState() == stClosed)
        return;
    const QString Host = HostForPeople(FClient->Host(), DefaultPortOf(Encryption()));
    FLoginTrouble = "no login within the time allowed";
    FSessionWanted = false;
    FOp = opNone;
    SetConnectCaption(false);
    EndSessionNow();
    const qint64 Seconds = LoginTimeoutMs() / 1000;
    Report(tr("%1 did not complete the login within %2 seconds; the attempt was ended.").arg(Host).arg(Seconds),
           !UnattendedPending());
    // The unattended upload says so in its own words, once.
    if (FUnattendedWaiting) {
        FUnattendedWaiting = false;
        FRetryTimer->stop();
        UnattendedUploadFailed(tr("the login did not finish within %1 seconds.").arg(Seconds));
    }
}

void TTolvaneFtp::EndSessionNow()
{
    FQuitTimer->stop();
    FCancelTimer->stop();
    FRenameTo.clear();
    if (FClient->FtpState() != stClosed || FClient->ControlSocket() != INVALID_SOCKET)
        FClient->CloseAllSockets();
    TransferEnded();
    SetBusyCursor(false);
    if (FCloseAfterCancel) {
        FCloseAfterCancel = false;
        QTimer::singleShot(0, this, [this] { close(); });
    }
}

bool TTolvaneFtp::CancelTransfer()
{
    if (!FClient->AbortTransfer())
        return false;
    FStatus->ShowOutcome(tr("Cancelling the transfer ..."));
    // A server that answers nothing more is left without a word.
    FCancelTimer->start();
    return true;
}

void TTolvaneFtp::AskClose()
{
    const bool Queue = QueueRunning();
    if (!FNoQuestions &&
        !Dialogs().AskCancelTransfer(this, Queue ? tr("Transfers are running. Cancel them and close the window?")
                                                 : tr("A transfer is running. Cancel it and close the window?")))
        return;
    FSessionWanted = false;
    if (Queue) {
        FCloseAfterJobs = true;
        if (CancelJobs())
            return;
        // It ended while the question was open.
        FCloseAfterJobs = false;
        FCloseAfterCancel = true;
        EndSessionNow();
        return;
    }
    FCloseAfterCancel = true;
    if (!CancelTransfer())
        EndSessionNow(); // closes the window too
}

void TTolvaneFtp::EndForSignal()
{
    FNoQuestions = true;
    close();
}

void TTolvaneFtp::TrustQuestionShown(bool Open)
{
    if (Open) {
        FLoginLeftMs = FLoginTimer->isActive() ? FLoginTimer->remainingTime() : -1;
        FLoginTimer->stop();
        FQuestionClock.start();
        return;
    }
    if (FQuestionClock.isValid())
        FQuestionMs += FQuestionClock.elapsed();
    FQuestionClock.invalidate();
    if (FLoginLeftMs >= 0 && !FClient->LoggedIn() && FClient->FtpState() != stClosed)
        FLoginTimer->start(FLoginLeftMs);
    FLoginLeftMs = -1;
}

qint64 TTolvaneFtp::UnattendedWaitedMs() const
{
    if (!FSinceShown.isValid())
        return 0;
    return FSinceShown.elapsed() - FQuestionMs - (FQuestionClock.isValid() ? FQuestionClock.elapsed() : 0);
}
