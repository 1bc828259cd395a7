// The window's wiring: the client's events and the folder tree's requests
// to their handlers, and the widgets' signals to theirs, each handler run
// so that an exception reaches the application's handler.

#include "app/TolvaneFtp.h"

#include <QAction>
#include <QButtonGroup>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>

#include "app/CertificateStore.h"
#include "app/CertificateTrust.h"
#include "app/EngineTls.h"
#include "app/FileColumnsModel.h"
#include "app/FtpDirectoryTree.h"
#include "app/KeepAlive.h"
#include "app/LogPage.h"
#include "app/PasswordKeeper.h"
#include "app/StatusLine.h"
#include "app/TransferPane.h"
#include "base/IpDebugLog.h"
#include "base/IpEventLog.h"

void TTolvaneFtp::BindClient()
{
    TIpFtpClient &C = *FClient;
    C.SetDefaultPort(21);
    C.SetFileType(ftBinary);
    C.SetPassiveMode(false);
    C.SetTransferTimeout(0);
    C.SetIdleTimeout(0);
    C.DebugLog()->SetEnabled(false);
    C.DebugLog()->SetBufferSize(65536);
    C.DebugLog()->SetWriteMode(wmOverwrite);
    C.DebugLog()->SetFileName("ftplog.txt");
    C.EventLog()->SetEnabled(false);
    C.EventLog()->SetDateTimeFormat("yyyy.mm.dd hh:nn:ss");
    C.EventLog()->SetFileName("event.log");
    C.SocksServer()->SetPort(1080);
    C.SocksServer()->SetSocksVersion(svSocks4);

    FTrust = new TCertificateTrust(C, this, TCertificateStore::DefaultPath());
    FTrust->OnQuestion = [this](bool Open) { TrustQuestionShown(Open); };
    FTrust->OnReport = [this](const QString &Text) { Report(Text); };
    FTrust->OnMessage = [this](const QString &Text) { Report(Text, true); };
    EngineTls::BindCertificateEvent(C, [this](const TCertificateDetails &Info) { FTrust->CertificateEvent(Info); });
    FPasswords = new TPasswordKeeper(this, FSettingsPath);
    // The keyring answers later: its note must not hide a newer outcome of
    // anything reported since the save, so then only the log gets it.
    FPasswords->OnNote = [this](const QString &Text) {
        FLogPage->AddNote(Text);
        if (FReports == FReportsAtSave)
            FStatus->ShowOutcome(Text);
    };

    C.SetDirectoryTree(FTree);
    FTree->SetFtpClient(&C);
    FTree->SetDirectoryStyle(dsUnix);

    C.OnFtpReply = [this](TObject *Sender, int Code, const std::string &Reply) {
        IpFtpClientFtpReply(Sender, Code, Reply);
    };
    C.OnFtpCommand = [this](TObject *, const std::string &Line) {
        FLogPage->AddCommand(Line);
        FKeepAlive->Touch();
    };
    CreateKeepAlive();
    C.OnFtpStatus = [this](TObject *Sender, TIpFtpStatusCode Code, const std::string &Info) {
        IpFtpClientFtpStatus(Sender, Code, Info);
    };
    C.OnError = [this](TObject *Sender, TSocket Socket, int Code, const std::string &Text) {
        IpFtpClientError(Sender, Socket, Code, Text);
    };
    C.OnFtpError = [this](TObject *Sender, int Code, const std::string &Text) {
        IpFtpClientFtpError(Sender, Code, Text);
    };
    C.OnFtpLoginError = [this](TObject *Sender, int Code, const std::string &Text) {
        IpFtpClientFtpLoginError(Sender, Code, Text);
    };
    // The tree's folder requests name the server's folders: sent unchanged.
    FTree->OnFolderRequest = [this](const std::string &Path) { return AskFolder(Path); };
    FTree->OnChange = [this](TIpFtpDirectoryTree *Sender, QTreeWidgetItem *Node) {
        IpFtpDirectoryTree1Change(Sender, Node);
    };
    FTree->OnChanged = [this](TIpFtpDirectoryTree *Sender) { IpFtpDirectoryTree1Changed(Sender); };
}

void TTolvaneFtp::Guarded(const std::function<void()> &Handler)
{
    try {
        Handler();
    } catch (...) {
        IpHandleApplicationException(std::current_exception());
    }
}

void TTolvaneFtp::BindWidgets()
{
    const auto On = [this](auto *Sender, auto Signal, void (TTolvaneFtp::*Handler)()) {
        connect(Sender, Signal, this, [this, Handler] { Guarded([this, Handler] { (this->*Handler)(); }); });
    };
    On(sBitBtn5, &QPushButton::clicked, &TTolvaneFtp::sBitBtn5Click);
    On(sBitBtn2, &QPushButton::clicked, &TTolvaneFtp::sBitBtn2Click);
    On(ConnectBtn, &QPushButton::clicked, &TTolvaneFtp::ConnectBtnClick);
    On(sBitBtn3, &QPushButton::clicked, &TTolvaneFtp::sBitBtn3Click);
    On(sBitBtn4, &QPushButton::clicked, &TTolvaneFtp::sBitBtn3Click);
    On(sButton2, &QPushButton::clicked, &TTolvaneFtp::sButton2Click);
    On(sBitBtn1, &QPushButton::clicked, &TTolvaneFtp::sBitBtn1Click);
    On(DoUp, &QPushButton::clicked, &TTolvaneFtp::DoUpClick);
    On(Timer, &QTimer::timeout, &TTolvaneFtp::TimerTimer);
    On(Timer1, &QTimer::timeout, &TTolvaneFtp::Timer1Timer);
    On(Timer2, &QTimer::timeout, &TTolvaneFtp::Timer2Timer);
    On(FRetryTimer, &QTimer::timeout, &TTolvaneFtp::UnattendedUploadTick);
    On(FLoginTimer, &QTimer::timeout, &TTolvaneFtp::LoginTimerTimer);
    On(FQuitTimer, &QTimer::timeout, &TTolvaneFtp::EndSessionNow);
    On(FCancelTimer, &QTimer::timeout, &TTolvaneFtp::EndSessionNow);
    On(GoUp, &QAction::triggered, &TTolvaneFtp::GoUpClick);
    On(lbxFiles, &QTreeView::activated, &TTolvaneFtp::lbxFilesActivated);
    connect(lbxFiles->header(), &QHeaderView::sortIndicatorChanged, FFileColumns, &TFileColumnsModel::sort);
    On(Downloadfile1, &QAction::triggered, &TTolvaneFtp::Downloadfile1Click);
    On(Refresh1, &QAction::triggered, &TTolvaneFtp::Refresh1Click);
    On(Delete2, &QAction::triggered, &TTolvaneFtp::Delete2Click);
    On(Rename2, &QAction::triggered, &TTolvaneFtp::Rename2Click);
    On(Permissions1, &QAction::triggered, &TTolvaneFtp::Permissions1Click);
    On(lbxFiles, &QTreeView::clicked, &TTolvaneFtp::lbxFilesClick);
    On(lbxFiles, &QTreeView::pressed, &TTolvaneFtp::lbxFilesMouseDown);
    // Keyboard selection enables the menu the way a click does.
    connect(lbxFiles->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { EnableFileMenu(SelectedRow() >= 0); });
    connect(lbxFiles, &QWidget::customContextMenuRequested, this, [this](const QPoint &At) {
        Guarded([&] {
            lbxFilesMouseDown();
            RemotePopupMenu->popup(lbxFiles->viewport()->mapToGlobal(At));
        });
    });

    // The options reach the client and the tree as a user expects.
    connect(FFileTypeGroup, &QButtonGroup::idClicked, this,
            [this](int Id) { FClient->SetFileType(Id == 0 ? ftAscii : ftBinary); });
    connect(FDirStyleGroup, &QButtonGroup::idClicked, this,
            [this](int Id) { FTree->SetDirectoryStyle(static_cast<TIpFtpDirStyle>(Id)); });
    connect(TimeoutEdit, &QLineEdit::textEdited, this, [this] { ApplyTransferTimeout(); });

    Timer2->start(); // the one refresh about a second after start
}
