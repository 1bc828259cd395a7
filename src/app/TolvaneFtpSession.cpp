// The main window's side of the FTP conversation: settings, connecting,
// replies and statuses, the folder tree's events, and what happens when the
// window is shown, closed or asked to navigate.

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "app/About.h"
#include "app/AppRules.h"
#include "app/CircularProgress.h"
#include "app/DialogProvider.h"
#include "app/FileListModel.h"
#include "app/FtpDirectoryTree.h"
#include "app/HostSettings.h"
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
    const THostSettings Settings = ReadHostSettings(FSettingsPath);
    edtURL->setText(QString::fromStdString(Settings.Host));
    edtUserName->setText(QString::fromStdString(Settings.Username));
    edtPassword->setText(QString::fromStdString(Settings.Password));
    DefRemote->setText(QString::fromStdString(Settings.Default));
}

void TTolvaneFtp::WriteSettings()
{
    WriteHostSettings(FSettingsPath, {Utf8(edtURL), Utf8(edtUserName), Utf8(edtPassword), Utf8(DefRemote)});
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
    if (FClient->Connected()) {
        ConnectBtn->setText(tr("&Connect"));
        FClient->Logout();
    } else {
        ConnectBtn->setText(tr("&Disconnect"));
        FClient->SetPassiveMode(chkPassive->isChecked());
        FLoginTrouble.clear();
        FClient->Login(Utf8(edtURL), Utf8(edtUserName), Utf8(edtPassword), std::string());
    }
}

void TTolvaneFtp::AppendReply(const std::string &Reply)
{
    // One entry per reply; its lines shown as lines, anything else escaped.
    QStringList Lines;
    size_t Start = 0;
    while (Start <= Reply.size()) {
        size_t End = Reply.find('\n', Start);
        if (End == std::string::npos)
            End = Reply.size();
        std::string Line = Reply.substr(Start, End - Start);
        if (!Line.empty() && Line.back() == '\r')
            Line.pop_back();
        if (End < Reply.size() || !Line.empty())
            Lines.append(DisplayName(Line));
        Start = End + 1;
    }
    while (Lines.size() > 1 && Lines.back().isEmpty())
        Lines.removeLast();
    ReplyMemo->appendPlainText(Lines.join(QLatin1Char('\n')));
}

void TTolvaneFtp::IpFtpClientFtpReply(TObject *, int ReplyCode, const std::string &Reply)
{
    AppendReply(Reply);
    if (ReplyCode == 226 || ReplyCode == 250 || ReplyCode >= 400) {
        FListingReplyPending = false;
        FUploadReplyPending = false;
    }
    if (!FClient->LoggedIn() && ReplyCode >= 400)
        FLoginTrouble = Reply;
    if ((ReplyCode == 226 && FLastTransfer != ltListing) || ReplyCode == 200)
        AskFolder(FRemoteFolder);
}

void TTolvaneFtp::IpFtpClientFtpStatus(TObject *, TIpFtpStatusCode StatusCode, const std::string &Info)
{
    switch (StatusCode) {
    case fscClose:
        FListingReplyPending = false;
        FUploadReplyPending = false;
        setWindowTitle(QLatin1String(AppCaption));
        break;
    case fscLogin:
        setWindowTitle(QLatin1String(AppCaption) + QStringLiteral(" - ") + DisplayName(FClient->UserName()) +
                       tr(" logged on to ") + DisplayName(FClient->Host()));
        break;
    case fscCurrentDir:
        FLastTransfer = ltListing; // the client lists the folder next
        FListingReplyPending = true;
        SetRemoteFolder(RemoteFolderCaption(Info));
        setWindowTitle(QLatin1String(AppCaption) + QStringLiteral(" - ") + DisplayName(Info));
        break;
    case fscProgress:
        Progress1->show();
        Progress1->SetPosition(FClient->BytesTransferred());
        setWindowTitle(Caption(std::to_string(FClient->BytesTransferred()) + " bytes Transferred"));
        break;
    case fscTransferOK:
        setWindowTitle(Caption(std::to_string(FClient->BytesTransferred()) + " - transfer complete"));
        if (FPendingAction == paDownload)
            DownloadNextSelected();
        // The new file is shown once the client is idle and the server has
        // confirmed it: here when its 226 came first (and was dropped by the
        // busy client), else by that 226 when it comes.
        if (FLastTransfer == ltUpload && !FUploadReplyPending)
            AskFolder(FRemoteFolder);
        Progress1->hide();
        break;
    case fscTimeout:
        Dialogs().ShowMessage(this, tr("Transfer timed out"));
        break;
    default:
        break;
    }
}

void TTolvaneFtp::IpFtpClientError(TObject *, TSocket, int, const std::string &ErrStr)
{
    if (!FClient->LoggedIn())
        FLoginTrouble = ErrStr;
    SetBusyCursor(false);
}

void TTolvaneFtp::IpFtpDirectoryTree1Change(TIpFtpDirectoryTree *, QTreeWidgetItem *)
{
    SetBusyCursor(true);
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
    if (!edtURL->text().isEmpty() && !edtUserName->text().isEmpty() && !edtPassword->text().isEmpty()) {
        ConnectBtn->setText(tr("&Disconnect"));
        FClient->SetPassiveMode(chkPassive->isChecked());
        FLoginTrouble.clear();
        FClient->Login(Utf8(edtURL), Utf8(edtUserName), Utf8(edtPassword), std::string());
    }
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
    FTree->SetDirectoryStyle(dsNone);
    if (QAbstractButton *Item = FDirStyleGroup->button(FTree->DirectoryStyle()))
        Item->setChecked(true);
    chkPassive->setChecked(FClient->PassiveMode());
    SetRemoteFolder(DefRemote->text().toStdString());
}

void TTolvaneFtp::FormClose()
{
    if (QAbstractButton *Item = FDirStyleGroup->button(FTree->DirectoryStyle()))
        Item->setChecked(true);
    FClient->Logout();
}

void TTolvaneFtp::sBitBtn3Click()
{
    WriteSettings();
    AskFolder(Utf8(DefRemote));
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
    if (FUploadReplyPending)
        return false;
    return FClient->ChangeDir(Path);
}

void TTolvaneFtp::SendFtpCommand(const std::string &Line) { FClient->SendFtpCommand(Line); }

void TTolvaneFtp::ChangeDir(const std::string &Path) { AskFolder(Path); }

void TTolvaneFtp::RepaintNow() { repaint(); }
