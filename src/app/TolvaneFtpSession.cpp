// The main window's side of the FTP conversation: settings, connecting,
// replies and statuses, the folder tree's events, and what happens when the
// window is shown, closed or asked to navigate.

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCloseEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTreeView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

#include "app/About.h"
#include "app/AppRules.h"
#include "app/CircularProgress.h"
#include "app/DialogProvider.h"
#include "app/EngineTls.h"
#include "app/FileListModel.h"
#include "app/FtpDirectoryTree.h"
#include "app/HostSettings.h"
#include "app/LogPage.h"
#include "app/PasswordKeeper.h"
#include "app/StatusLine.h"
#include "app/TransferPane.h"
#include "app/TolvaneFtp.h"

namespace {

std::string Utf8(const QLineEdit *Edit) { return Edit->text().toStdString(); }

QString Caption(const std::string &Tail)
{
    return QLatin1String(TTolvaneFtp::AppCaption) + QStringLiteral(" - ") + QString::fromStdString(Tail);
}

} // namespace

void TTolvaneFtp::FormCreate()
{
    const THostSettings Settings = ReadHostSettings(FSettingsPath, &FSettingsProblem);
    edtURL->setText(QString::fromStdString(Settings.Host));
    edtUserName->setText(QString::fromStdString(Settings.Username));
    DefRemote->setText(QString::fromStdString(Settings.Default));
    chkPassive->setChecked(Settings.Passive);
    FClient->SetPassiveMode(Settings.Passive);
    const std::optional<TEncryptionChoice> Choice = EncryptionOfWord(Settings.Encryption);
    // A word nobody wrote on purpose must not weaken the connection.
    cbxEncryption->setCurrentIndex(Choice.value_or(ecRequire));
    if (!Choice && FSettingsProblem.empty())
        FSettingsProblem = "host.ini: Encryption=" + Settings.Encryption +
                           " is none of require, auto, implicit, plain; explicit FTP over TLS is required";
    chkRememberPassword->setChecked(Settings.RememberPassword);
    FPasswords->Load(Settings, DefaultPortOf(Encryption()), [this](const QString &Password) { PasswordLoaded(Password); });
}

TEncryptionChoice TTolvaneFtp::Encryption() const
{
    return static_cast<TEncryptionChoice>(std::clamp(cbxEncryption->currentIndex(), 0, int(ecPlain)));
}

void TTolvaneFtp::PasswordLoaded(const QString &Password)
{
    if (edtPassword->text().isEmpty())
        edtPassword->setText(Password);
    if (!FLoginWhenPassword)
        return;
    FLoginWhenPassword = false;
    if (!FSessionWanted && !edtURL->text().isEmpty() && !edtUserName->text().isEmpty() &&
        !edtPassword->text().isEmpty())
        Guarded([this] { StartLogin(); });
}

void TTolvaneFtp::WriteSettings()
{
    THostSettings Settings{Utf8(edtURL), Utf8(edtUserName), Utf8(edtPassword), Utf8(DefRemote)};
    Settings.Passive = chkPassive->isChecked();
    Settings.Encryption = EncryptionWord(Encryption());
    Settings.RememberPassword = chkRememberPassword->isChecked();
    FPasswords->PrepareSave(Settings);
    WriteHostSettings(FSettingsPath, Settings);
    Settings.Password = Utf8(edtPassword);
    FReportsAtSave = FReports;
    FPasswords->AfterSave(Settings, DefaultPortOf(Encryption()));
}

void TTolvaneFtp::sBitBtn5Click() { WriteSettings(); }

void TTolvaneFtp::sBitBtn2Click()
{
    if (About)
        About->exec();
}

void TTolvaneFtp::ConnectBtnClick()
{
    WriteSettings(); // throws: no connect, caption unchanged
    // The button says what it does: "Disconnect" ends the session the user
    // started, "Connect" ends whatever is left of an old one (a server that
    // never greeted, a QUIT nobody answers) and logs in to the host typed now.
    if (FSessionWanted) {
        Disconnect();
        return;
    }
    if (!PasswordForConnect())
        return;
    EndSessionNow();
    StartLogin();
}

bool TTolvaneFtp::PasswordForConnect()
{
    if (chkRememberPassword->isChecked() || !edtPassword->text().isEmpty() || edtUserName->text().isEmpty())
        return true;
    QString Password;
    if (!Dialogs().AskPassword(this, tr("Password of %1 on %2:").arg(edtUserName->text(), edtURL->text()), Password)) {
        Report(tr("Not connected: no password was given."));
        return false;
    }
    edtPassword->setText(Password); // for this session only: it is not stored
    return true;
}

void TTolvaneFtp::StartLogin()
{
    SetConnectCaption(true);
    FSessionWanted = true;
    FClient->SetPassiveMode(chkPassive->isChecked());
    FClient->SetTlsMode(TlsModeOf(Encryption()));
    FClient->SetDefaultPort(DefaultPortOf(Encryption()));
    FStatus->ShowSecurity(QString());
    FLoginTrouble.clear();
    FAuthRefusalSeen = false;
    FOp = opLogin;
    FOpName = Utf8(edtURL);
    if (const int64_t Ms = LoginTimeoutMs(); Ms > 0)
        FLoginTimer->start(static_cast<int>(Ms));
    FStatus->ShowOutcome(tr("Connecting to %1 ...").arg(DisplayName(FOpName)));
    FLogPage->AddNote(FStatus->Outcome());
    bool Started = false;
    try {
        Started = FClient->Login(Utf8(edtURL), Utf8(edtUserName), Utf8(edtPassword), std::string());
    } catch (...) {
        FLoginTimer->stop();
        FSessionWanted = false;
        SetConnectCaption(false);
        throw;
    }
    if (!Started) {
        FLoginTimer->stop();
        FSessionWanted = false;
        SetConnectCaption(false);
        Report(tr("Cannot connect: the host, user name or password holds a line break, or no socket is free."), true);
    }
}

void TTolvaneFtp::Disconnect()
{
    const bool Queue = QueueRunning();
    if (Queue && !FNoQuestions &&
        !Dialogs().AskCancelTransfer(this, tr("Transfers are running. Cancel them and disconnect?")))
        return;
    if (!Queue && TransferRunning() && !FNoQuestions &&
        !Dialogs().AskCancelTransfer(this, tr("A transfer is running. Cancel it and disconnect?")))
        return;
    FSessionWanted = false;
    FLoginTimer->stop();
    SetConnectCaption(false);
    // The QUIT follows once the queue has stopped.
    if (Queue && CancelJobs())
        return;
    // The server hears ABOR first and records the transfer as incomplete;
    // the QUIT follows once the cancel is confirmed.
    if (TransferRunning() && CancelTransfer())
        return;
    if (FClient->LoggedIn() && FClient->Connected()) {
        FClient->Logout();
        FQuitTimer->start(); // a server that never answers the QUIT
        Report(tr("Disconnecting ..."));
    } else {
        EndSessionNow();
        Report(tr("Disconnected."));
    }
}

void TTolvaneFtp::SetConnectCaption(bool Disconnect)
{
    ConnectBtn->setText(Disconnect ? tr("&Disconnect") : tr("&Connect"));
    ConnectBtn->setAccessibleName(Disconnect ? tr("Disconnect") : tr("Connect"));
}

int64_t TTolvaneFtp::LoginTimeoutMs() const
{
    bool Ok = false;
    const qlonglong Seconds = LoginTimeoutEdit->text().toLongLong(&Ok);
    return Ok && Seconds >= 0 ? Seconds * 1000 : 30000;
}

void TTolvaneFtp::AppendReply(const std::string &Reply) { FLogPage->AddReply(Reply); }

void TTolvaneFtp::IpFtpClientFtpReply(TObject *, int ReplyCode, const std::string &Reply)
{
    AppendReply(Reply);
    if (EngineJobRunning())
        return;
    if (ReplyCode == 350 && FOp == opRename && !FRenameTo.empty()) {
        FClient->SendFtpCommand("RNTO " + FRenameTo);
        FRenameTo.clear();
        return;
    }
    if (ReplyCode == 226 || ReplyCode == 250 || ReplyCode >= 400) {
        FListingReplyPending = false;
        FUploadReplyPending = false;
    }
    if (BatchRunning())
        return; // its replies are the queue's or the walk's, not the window's
    // The refusal of AUTH TLS that makes "if available" go on in plain text
    // is no login trouble: the first reply seen once the client has fallen
    // back is that refusal (the client decides before the reply is told).
    const bool AuthRefusal = EngineTls::FellBack(*FClient) && !FAuthRefusalSeen;
    if (AuthRefusal)
        FAuthRefusalSeen = true;
    if (!FClient->LoggedIn() && ReplyCode >= 400 && !AuthRefusal)
        FLoginTrouble = Reply;
    // A 200 refreshes the folder only when it answers the user's own command
    // (SITE CHMOD): TYPE, OPTS and PBSZ are answered with 200 too.
    if (ReplyCode == 200 && FOp == opCommand) {
        FOp = opNone;
        Report(tr("The server carried out %1.").arg(DisplayName(FOpName)));
        AskFolder(FRemoteFolder);
    } else if (ReplyCode == 226 && FLastTransfer != ltListing) {
        AskFolder(FRemoteFolder);
    }
}

void TTolvaneFtp::IpFtpClientFtpStatus(TObject *, TIpFtpStatusCode StatusCode, const std::string &Info)
{
    // Whether Retry can start follows the session; while the queue runs,
    // its own events move the buttons.
    if (StatusCode != fscProgress && !BatchRunning())
        FTransfers->UpdateButtons();
    // A walk's folder changes and the queue's transfers are not the
    // window's: only the session's start and end concern it then.
    if (BatchRunning() && StatusCode != fscClose && StatusCode != fscLogin)
        return;
    // The end of the session is the window's news whoever had the client.
    if (EngineJobRunning() && StatusCode != fscClose)
        return;
    switch (StatusCode) {
    case fscClose:
        FListingReplyPending = false;
        FUploadReplyPending = false;
        FQuitTimer->stop();
        setWindowTitle(QLatin1String(AppCaption));
        // A close posted by a session that has been replaced since says
        // nothing about the new one.
        if (FClient->FtpState() != stClosed)
            break;
        FStatus->ShowSecurity(QString());
        FLoginTimer->stop();
        SetBusyCursor(false);
        if (FSessionWanted) {
            FSessionWanted = false;
            SetConnectCaption(false);
            const bool InTransfer = FOp == opUpload || FOp == opDownload;
            Report(InTransfer    ? tr("%1 failed: the connection to the server closed.").arg(DisplayName(FOpName))
                   : FOp == opLogin ? tr("The login to %1 failed: the server closed the connection.")
                                          .arg(HostForPeople(FClient->Host(), DefaultPortOf(Encryption())))
                                    : tr("The server closed the connection."),
                   InTransfer || (FOp == opLogin && !UnattendedPending()));
        } else if (FOp != opNone) {
            Report(tr("Disconnected."));
        }
        FOp = opNone;
        TransferEnded();
        break;
    case fscLogin:
        FLoginTimer->stop();
        if (FOp == opLogin)
            FOp = opNone;
        setWindowTitle(QLatin1String(AppCaption) + QStringLiteral(" - ") + DisplayName(FClient->UserName()) +
                       tr(" logged on to ") + HostForPeople(FClient->Host(), DefaultPortOf(Encryption())));
        Report(tr("Logged on to %1 as %2.").arg(HostForPeople(FClient->Host(), DefaultPortOf(Encryption())), DisplayName(FClient->UserName())));
        FStatus->ShowSecurity(SecurityText(*FClient));
        FLogPage->AddNote(FStatus->Security());
        break;
    case fscComplete:
        if (FOp == opDelete) {
            Report(tr("Deleted %1.").arg(DisplayName(FOpName)));
            FOp = opNone;
        } else if (FOp == opRename) {
            Report(tr("Renamed %1.").arg(DisplayName(FOpName)));
            FOp = opNone;
        }
        break;
    case fscCurrentDir:
        FLinkTried.reset();
        FLastTransfer = ltListing; // the client lists the folder next
        FListingReplyPending = true;
        SetRemoteFolder(RemoteFolderCaption(Info));
        setWindowTitle(QLatin1String(AppCaption) + QStringLiteral(" - ") + DisplayName(Info));
        break;
    case fscProgress: {
        const int64_t Bytes = FClient->BytesTransferred();
        Progress1->show();
        // Full only with the server's final reply: bytes handed to the
        // kernel are not yet stored anywhere.
        Progress1->SetPosition(Progress1->Maximum() > 0 ? std::min(Bytes, Progress1->Maximum() - 1) : Bytes);
        if (FOp == opUpload || FOp == opDownload)
            FStatus->ShowProgress(Bytes);
        setWindowTitle(Caption(std::to_string(Bytes) + " bytes Transferred"));
        break;
    }
    case fscTransferOK:
        setWindowTitle(Caption(std::to_string(FClient->BytesTransferred()) + " - transfer complete"));
        if (FOp == opUpload || FOp == opDownload) {
            Report((FOp == opUpload ? tr("Uploaded %1 (%2 bytes).") : tr("Downloaded %1 (%2 bytes)."))
                       .arg(DisplayName(FOpName))
                       .arg(FClient->BytesTransferred()));
            FOp = opNone;
        }
        // The new file is shown once the client is idle and the server has
        // confirmed it: here when its 226 came first (and was dropped by the
        // busy client), else by that 226 when it comes.
        if (FLastTransfer == ltUpload && !FUploadReplyPending)
            AskFolder(FRemoteFolder);
        TransferEnded();
        break;
    case fscTimeout:
        TransferEnded();
        FLogPage->AddNote(tr("Transfer timed out"));
        FStatus->ShowOutcome(tr("Transfer timed out"));
        FOp = opNone;
        Dialogs().ShowMessage(this, tr("Transfer timed out"));
        break;
    default:
        break;
    }
}

void TTolvaneFtp::IpFtpDirectoryTree1Change(TIpFtpDirectoryTree *, QTreeWidgetItem *)
{
    if (FTree->LastRequestStarted())
        SetBusyCursor(true);
    else
        CanRunNow(tr("Opening the folder"));
}

void TTolvaneFtp::IpFtpDirectoryTree1Changed(TIpFtpDirectoryTree *)
{
    FFiles->RemoveFolders();
    const int Style = FTree->DirectoryStyle();
    if (FDirStyleGroup->checkedId() != Style)
        if (QAbstractButton *Item = FDirStyleGroup->button(Style))
            Item->setChecked(true);
    SetBusyCursor(false);
}

void TTolvaneFtp::FormShow()
{
    if (!FSettingsProblem.empty())
        Report(QString::fromStdString(FSettingsProblem), true);
    if (FPasswords->Loading())
        FLoginWhenPassword = true; // once the keyring has answered
    else if (!edtURL->text().isEmpty() && !edtUserName->text().isEmpty() && !edtPassword->text().isEmpty())
        StartLogin();
    if (!FArguments.isEmpty()) {
        const std::string First = QFile::encodeName(FArguments.first()).toStdString();
        if (LocalFileSize(First) >= 0) {
            SetFileLabel(First);
            Timer->start();
        }
    }
    TimeoutEdit->setText(QString::number(FClient->TransferTimeout()));
    if (QAbstractButton *Item = FFileTypeGroup->button(FClient->FileType()))
        Item->setChecked(true);
    FTree->SetDirectoryStyle(dsAuto);
    if (QAbstractButton *Item = FDirStyleGroup->button(FTree->DirectoryStyle()))
        Item->setChecked(true);
    chkPassive->setChecked(FClient->PassiveMode());
    SetRemoteFolder(TypedRemoteFolder());
}

void TTolvaneFtp::FormClose()
{
    if (QAbstractButton *Item = FDirStyleGroup->button(FTree->DirectoryStyle()))
        Item->setChecked(true);
    FSessionWanted = false;
    if (FClient->LoggedIn())
        FClient->Logout();
    else
        EndSessionNow(); // a half-done login has nobody to say QUIT to
}

void TTolvaneFtp::sBitBtn3Click()
{
    WriteSettings();
    if (CanRunNow(tr("Navigating")))
        AskFolder(TypedRemoteFolder());
}

void TTolvaneFtp::showEvent(QShowEvent *Event)
{
    QWidget::showEvent(Event);
    if (FShown)
        return;
    FShown = true;
    FSinceShown.start();
    Guarded([this] { FormShow(); });
}

void TTolvaneFtp::closeEvent(QCloseEvent *Event)
{
    // A running transfer is not cut off by a close: the user decides, and a
    // cancel ends it properly before the window goes.
    if (QueueRunning()) {
        Event->ignore();
        if (!FCloseAfterJobs) // asked already: the cancel is on its way
            Guarded([this] { AskClose(); });
        return;
    }
    if (TransferRunning()) {
        Event->ignore();
        Guarded([this] { AskClose(); });
        return;
    }
    Guarded([this] { FormClose(); });
    Event->accept();
}

void TTolvaneFtp::SetRemoteFolder(const std::string &Bytes)
{
    FRemoteFolder = Bytes;
    RemoteFolder->setText(DisplayName(Bytes));
    RemoteFolder->setToolTip(RemoteFolder->text());
}

void TTolvaneFtp::SetFileLabel(const std::string &Path)
{
    FFileLabel = Path;
    FileLabel->setText(DisplayName(Path));
    FileLabel->setToolTip(FileLabel->text());
}

void TTolvaneFtp::SetBusyCursor(bool Busy)
{
    if (Busy == FBusyCursor)
        return;
    FBusyCursor = Busy;
    if (Busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TTolvaneFtp::ApplyTransferTimeout()
{
    bool Ok = false;
    const qulonglong Value = TimeoutEdit->text().toULongLong(&Ok);
    if (Ok && Value <= 0xFFFFFFFFull)
        FClient->SetTransferTimeout(static_cast<uint32_t>(Value));
}

bool TTolvaneFtp::AskFolder(const std::string &Path)
{
    // Until the server has confirmed the running upload, a new command
    // could make it drop that upload (pyftpdlib does), whatever the client
    // reports meanwhile.
    if (FUploadReplyPending || BatchRunning())
        return false;
    if (!FClient->ChangeDir(Path))
        return false;
    FOp = opFolder;
    FOpName = Path;
    return true;
}

std::string TTolvaneFtp::TypedRemoteFolder() const
{
    // Typed by the user, so "\\" is a folder separator; names the server
    // listed go back untouched.
    return ToUnixPath(Utf8(DefRemote));
}

void TTolvaneFtp::SendFtpCommand(const std::string &Line)
{
    if (!CanRunNow(tr("Changing the permissions")))
        return;
    if (FClient->SendFtpCommand(Line)) {
        FOp = opCommand;
        FOpName = Line;
    }
}

void TTolvaneFtp::ChangeDir(const std::string &Path) { AskFolder(Path); }

void TTolvaneFtp::RepaintNow() { repaint(); }
