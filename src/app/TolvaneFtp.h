#pragma once
// The main window: connection bar, upload summary, the buttons on the right
// and four pages (remote folders and files, options, server log, transfers).
// It owns the FTP client, the folder tree and the transfer jobs, turns
// presses, menu commands and timer ticks into client calls and the client's
// events into captions, lists and log lines.

#include <QElapsedTimer>
#include <QMainWindow>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/DeleteSequence.h"
#include "app/Encryption.h"
#include "app/FilePermission.h"
#include "app/FolderCommands.h"
#include "app/RemoteDrag.h"
#include "ftp/IpFtpClient.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QTreeView;
class QMenu;
class QMimeData;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTimer;
class QTreeWidgetItem;
class TCertificateTrust;
class TCircularProgress;
class TFileColumnsModel;
class TFileListModel;
class TKeepAlive;
class TIpFtpDirectoryTree;
class TLogPage;
class TPasswordKeeper;
class TStatusLine;
class TTransferJobs;
class TTransferPane;
struct TJobOutcome;
struct TListedEntry;

class TTolvaneFtp : public QMainWindow, public TFilePermissionHost
{
    Q_OBJECT

public:
    static constexpr const char *AppCaption = "Tolvane FTP Uploader";

    enum TPendingAction : uint8_t { paNone, paDownload };

    // SettingsPath: where "host.ini" lives. Arguments: the command line
    // without the program name.
    TTolvaneFtp(const std::string &SettingsPath, const QStringList &Arguments, QWidget *Parent = nullptr);
    ~TTolvaneFtp() override;

    TIpFtpClient *IpFtpClient() const { return FClient.get(); }
    TIpFtpDirectoryTree *IpFtpDirectoryTree1() const { return FTree; }
    TFileListModel *FileListModel() const { return FFiles; }
    TPendingAction PendingAction() const { return FPendingAction; }
    const std::string &SettingsPath() const { return FSettingsPath; }

    // --- settings and connection
    void FormCreate();
    void WriteSettings();
    void sBitBtn5Click();
    void sBitBtn2Click();
    void ConnectBtnClick();
    void IpFtpClientFtpReply(TObject *Sender, int ReplyCode, const std::string &Reply);
    void IpFtpClientFtpStatus(TObject *Sender, TIpFtpStatusCode StatusCode, const std::string &Info);
    void IpFtpClientError(TObject *Sender, TSocket Socket, int ErrCode, const std::string &ErrStr);
    // A refused command (a reply of 400 and above) and a login that failed.
    void IpFtpClientFtpError(TObject *Sender, int ErrorCode, const std::string &Error);
    void IpFtpClientFtpLoginError(TObject *Sender, int ErrorCode, const std::string &Error);
    // The login did not finish in time: the attempt ends.
    void LoginTimerTimer();
    // Ends whatever session there is at once, without a word to the server
    // (a server that never greets would never answer a QUIT either).
    void EndSessionNow();
    // Whether a download or upload runs.
    bool TransferRunning() const;
    // Cancels the running transfer; the outcome arrives as an error event.
    bool CancelTransfer();
    // SIGINT, SIGTERM, SIGHUP: cancel what runs, then close.
    void EndForSignal();
    // The connection bar's choice of encryption.
    TEncryptionChoice Encryption() const;
    TCertificateTrust *CertificateTrust() const { return FTrust; }
    TPasswordKeeper *PasswordKeeper() const { return FPasswords; }
    // A folder command (creating, counting, deleting) or a drag out of the
    // file list owns the client: its replies and events are not the window's.
    bool EngineJobRunning() const;

    // --- folder tree and file list
    void IpFtpDirectoryTree1Change(TIpFtpDirectoryTree *Sender, QTreeWidgetItem *Node);
    void IpFtpDirectoryTree1Changed(TIpFtpDirectoryTree *Sender);

    // --- show, close, navigate
    void FormShow();
    void FormClose();
    void sBitBtn3Click();

    // --- upload and download
    void sButton2Click();
    void sBitBtn1Click();
    void TimerTimer();
    void DoUpClick();
    void Timer1Timer();
    void Downloadfile1Click();
    void DownloadNextSelected();
    // Takes Path as the file to upload and uploads it into the current
    // remote folder (a file dropped on the file list).
    void UploadDroppedFile(const std::string &Path);
    // Local files and folders copied into the current remote folder
    // through the transfer queue.
    void UploadThroughQueue(const std::vector<std::string> &Paths);
    void UploadFolderClick();
    // Folder: absolute, without a trailing "/".
    void DownloadFolderThroughQueue(const std::string &Folder);
    // The transfer queue runs (or a job for it is being planned).
    bool QueueRunning() const;
    TTransferJobs *TransferJobs() const { return FJobs.get(); }
    TTransferPane *TransferPane() const { return FTransfers; }

    // Enter or double-click: a file is downloaded, a folder opened.
    void lbxFilesActivated();
    // Backspace: the parent folder.
    void GoUpClick();

    // --- remote file operations
    void lbxFilesClick();
    void lbxFilesMouseDown();
    void Refresh1Click();
    void Delete2Click();
    void Rename2Click();
    void Permissions1Click();
    void Timer2Timer();

    // --- TFilePermissionHost
    const TIpFtpFileInfo *SelectedEntry() const override;
    std::string RemoteFolderPath() const override { return FRemoteFolder; }
    void SendFtpCommand(const std::string &Line) override;
    void ChangeDir(const std::string &Path) override;
    void RepaintNow() override;

    // The first regular file among dropped URLs; empty when there is none.
    static std::string FirstRegularFile(const QList<QUrl> &Urls);
    // The local files and folders among dropped URLs.
    static std::vector<std::string> LocalDropPaths(const QList<QUrl> &Urls);
    // What a drop does: on the file list the file is uploaded at once,
    // anywhere else it becomes the file to upload. False (and nothing done)
    // when the drop holds no regular file.
    bool DropOnList(const QMimeData *Data);
    bool DropOnWindow(const QMimeData *Data);
    // Drags and drops on the file list (and nothing else) pass here.
    bool eventFilter(QObject *Watched, QEvent *Event) override;

protected:
    void showEvent(QShowEvent *Event) override;
    void closeEvent(QCloseEvent *Event) override;
    void dragEnterEvent(QDragEnterEvent *Event) override;
    void dragMoveEvent(QDragMoveEvent *Event) override;
    void dropEvent(QDropEvent *Event) override;

private:
    void CreateWidgets();
    void CreateActions();
    // TolvaneFtpFolders.cpp
    void CreateFolderCommands();
    void CreateKeepAlive();
    TFolderCommands::THost FolderCommandsHost();
    TRemoteDragSource::THost RemoteDragHost();
    void CreateLayout();
    void CreateAccessibility();
    void CreateTransfers();
    void ReleaseTransfers();
    void BindClient();
    void BindWidgets();

    // Runs a handler so that an exception ends up in the application's
    // handler instead of crossing the event loop.
    void Guarded(const std::function<void()> &Handler);

    // The window's folder changes (refreshes, navigation) go through here;
    // the path goes to the server as it is.
    bool AskFolder(const std::string &Path);
    // The default folder as typed, "\\" read as "/".
    std::string TypedRemoteFolder() const;
    // What the user asked for cannot run now: said in the status bar.
    bool CanRunNow(const QString &What);
    // The latest outcome: status bar and log; Box also shows a message box.
    void Report(const QString &Text, bool Box = false);
    void StartLogin();
    // A password that is not remembered is asked for; false when the user
    // gave none.
    bool PasswordForConnect();
    // The password read from the keyring at start has arrived.
    void PasswordLoaded(const QString &Password);
    // While the certificate question is open the login's clocks stand still.
    void TrustQuestionShown(bool Open);
    // How long the unattended upload has waited, the question's time not counted.
    qint64 UnattendedWaitedMs() const;
    void Disconnect();
    void SetConnectCaption(bool Disconnect);
    void TransferEnded();
    int64_t LoginTimeoutMs() const;
    void StartDownload(const TIpFtpFileInfo &Entry);
    void StartDownload(std::string Name, int64_t Size);
    const TIpFtpFileInfo *ListedEntry(const std::string &Name) const;
    void SetRemoteFolder(const std::string &Bytes);
    void SetFileLabel(const std::string &Path);
    std::string FileLabelText() const { return FFileLabel; }
    void SetBusyCursor(bool Busy);
    void EnableFileMenu(bool Enabled);
    int SelectedRow() const;
    void ClearSelection();
    TIpFtpStoreMode SendMode() const;
    int64_t RestartOffset() const;
    void SetProgressMaximum(int64_t Maximum);
    void ApplyTransferTimeout();
    void UnattendedUploadTick();
    void UnattendedUploadFailed(const QString &Why);
    // The unattended upload is armed or waiting for the login.
    bool UnattendedPending() const;
    void AppendReply(const std::string &Reply);
    void AskClose();

    // The queue, a walk or a run of deletes holds the conversation: the
    // window's own handlers stay out of it.
    bool BatchRunning() const;
    std::vector<const TIpFtpFileInfo *> SelectedEntries() const;
    void DownloadThroughQueue(const std::vector<const TIpFtpFileInfo *> &Selected);
    void ShowJobStarted();
    void TransfersFinished(const TJobOutcome &Outcome);
    // Cancels the queue's work; false when none runs.
    bool CancelJobs();
    void DeleteSelected(const std::vector<const TIpFtpFileInfo *> &Selected);
    void DeletesFinished(const TDeleteSequence::TOutcome &Outcome);

    std::string FSettingsPath;
    QStringList FArguments;
    std::unique_ptr<TIpFtpClient> FClient;
    TPendingAction FPendingAction = paNone;
    std::string FRemoteFolder{"/"}; // the bytes behind the RemoteFolder label
    std::string FFileLabel;    // the local path behind the FileLabel label
    bool FShown = false;
    bool FBusyCursor = false;
    // The unattended upload waits for the automatic login.
    QElapsedTimer FSinceShown;
    bool FUnattendedWaiting = false;
    std::string FLoginTrouble; // why the last login did not get through
    bool FAuthRefusalSeen = false; // the refused AUTH TLS of a fall back to plain has been told
    // What the last data connection carried. A listing's own 226 must not
    // ask for the folder again, or the window would list it forever.
    enum TLastTransfer : uint8_t { ltNone, ltListing, ltUpload, ltDownload };
    TLastTransfer FLastTransfer = ltNone;
    // A listing is over only when the server has confirmed it too: its
    // final reply can come after the client reports the listing and is
    // idle, and a transfer started in between would take that reply for
    // its own.
    bool FListingReplyPending = false;
    // The same for an upload: no command may reach the server before it
    // has confirmed the file (some servers drop an upload when one does).
    bool FUploadReplyPending = false;
    int FTimer1Tries = 0;
    // What the window last asked the client for, so a failure can say
    // what failed.
    enum TUserOp : uint8_t { opNone, opLogin, opFolder, opUpload, opDownload, opDelete, opRename, opCommand };
    TUserOp FOp = opNone;
    // A link being opened as a folder (name, size): fetched when that is refused.
    std::optional<std::pair<std::string, int64_t>> FLinkTried;
    std::string FOpName;       // the file or folder it concerns
    std::string FRenameTo;     // the new name, sent once the server took the old one
    bool FSessionWanted = false;   // the user connected and has not disconnected
    bool FCloseAfterCancel = false;
    bool FCloseAfterJobs = false;  // the window closes once the cancelled queue has stopped
    bool FNoQuestions = false;     // a signal ends the program: nobody to ask
    std::string FSettingsProblem;
    TCertificateTrust *FTrust = nullptr;
    TPasswordKeeper *FPasswords = nullptr;
    TFolderCommands *FFolderCommands = nullptr;
    TRemoteDragSource *FDragSource = nullptr; // entries dragged out of the file list
    TKeepAlive *FKeepAlive = nullptr;   // NOOP after a quiet minute
    int FReports = 0;       // outcomes reported so far
    int FReportsAtSave = 0; // ... when the settings were last written
    bool FLoginWhenPassword = false; // the automatic login waits for the keyring
    int FLoginLeftMs = -1;           // the login time-out's rest while the question is open
    QElapsedTimer FQuestionClock;
    qint64 FQuestionMs = 0;

    // Connection bar
    QGroupBox *FConnectionBar = nullptr;
    QLineEdit *edtURL = nullptr;
    QLineEdit *edtUserName = nullptr;
    QLineEdit *edtPassword = nullptr;
    QCheckBox *chkPassive = nullptr;
    QComboBox *cbxEncryption = nullptr;
    QCheckBox *chkRememberPassword = nullptr;
    QPushButton *sBitBtn5 = nullptr;
    // Upload summary
    QLabel *FileLabel = nullptr;
    QLabel *RemoteFolder = nullptr;
    TCircularProgress *Progress1 = nullptr;
    // Buttons on the right
    QPushButton *ConnectBtn = nullptr;
    QPushButton *sButton2 = nullptr;
    QPushButton *sBitBtn1 = nullptr;
    QPushButton *sBitBtn2 = nullptr;
    QPushButton *sBitBtnFolder = nullptr;
    // Pages
    QTabWidget *PageControl = nullptr;
    TIpFtpDirectoryTree *FTree = nullptr;
    QTreeView *lbxFiles = nullptr;
    TFileListModel *FFiles = nullptr;
    TFileColumnsModel *FFileColumns = nullptr; // the list in columns, as lbxFiles shows it
    QLineEdit *DefRemote = nullptr;
    QPushButton *sBitBtn4 = nullptr;
    QPushButton *sBitBtn3 = nullptr;
    QPushButton *DoUp = nullptr;
    QGroupBox *rgDirStyle = nullptr;
    QButtonGroup *FDirStyleGroup = nullptr;
    QGroupBox *SendMode1 = nullptr;
    QButtonGroup *FSendModeGroup = nullptr;
    QGroupBox *FileType1 = nullptr;
    QButtonGroup *FFileTypeGroup = nullptr;
    QLineEdit *edtRestartAt = nullptr;
    QLineEdit *TimeoutEdit = nullptr;
    QLineEdit *LoginTimeoutEdit = nullptr;
    TLogPage *FLogPage = nullptr;
    TTransferPane *FTransfers = nullptr;
    std::unique_ptr<TTransferJobs> FJobs;
    std::unique_ptr<TDeleteSequence> FDeletes;
    QPlainTextEdit *ReplyMemo = nullptr;
    TStatusLine *FStatus = nullptr;
    // Popup menu of the file list
    QMenu *RemotePopupMenu = nullptr;
    QAction *Downloadfile1 = nullptr;
    QAction *UploadFolder1 = nullptr;
    QAction *Refresh1 = nullptr;
    QAction *Delete2 = nullptr;
    QAction *Rename2 = nullptr;
    QAction *Permissions1 = nullptr;
    QAction *GoUp = nullptr;
    // Timers
    QTimer *Timer = nullptr;
    QTimer *Timer1 = nullptr;
    QTimer *Timer2 = nullptr;
    QTimer *FRetryTimer = nullptr;
    QTimer *FLoginTimer = nullptr;
    QTimer *FQuitTimer = nullptr;   // a server that does not answer QUIT
    QTimer *FCancelTimer = nullptr; // a cancel that is not confirmed
};

// The main window, set when it is created.
extern TTolvaneFtp *TolvaneFtp;
