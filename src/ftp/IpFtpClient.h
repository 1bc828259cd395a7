#pragma once
// The event-driven FTP client: replies on the control connection drive a
// small state machine and a stack of command lines that wait for the next
// positive reply; data connections (passive or active) carry listings and
// file transfers. Nothing blocks: every operation checks the state, sends
// its first line and returns; replies, socket notifications and timer ticks
// finish the work from the event loop and report it as events.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ftp/IpFtpDirTree.h"
#include "ftp/IpFtpFeatures.h"
#include "ftp/IpFtpProtocol.h"
#include "ftp/IpMultiClient.h"
#include "socket/IpTls.h"

enum TIpFtpClientState : uint8_t {
    stClosed,
    stLogin,
    stReady,
    stDirectory,
    stRetrieve,
    stStore,
    stRename,
    stCommand
};

enum TIpFtpStatusCode : uint8_t {
    fscClose,
    fscOpen,
    fscLogin,
    fscLogout,
    fscComplete,
    fscCurrentDir,
    fscSystem,
    fscDirList,
    fscInfo,
    fscProgress,
    fscTransferOK,
    fscTimeout
};

// tmNone: plain FTP. tmExplicit: AUTH TLS, plain only when the server refuses
// AUTH with a 5xx. tmRequired: AUTH TLS or no login. tmImplicit: TLS from the
// first byte (default port 990), then PBSZ 0 / PROT P as for explicit.
enum TIpFtpTlsMode : uint8_t { tmNone, tmExplicit, tmRequired, tmImplicit };

// How the control connection's certificate came to be accepted.
enum TIpFtpTlsTrust : uint8_t {
    ttNone,        // no TLS on this session (or not yet)
    ttVerified,    // the CA chain and the host name checked out
    ttPinned,      // it matched the fingerprint set with SetTlsFingerprint
    ttUserTrusted  // verification failed and OnFtpCertificate's handler trusted it
};

// What a trust question shows (all texts UTF-8, ready to show).
struct TIpFtpCertificateInfo {
    std::string Host;       // host as the user typed it, without port
    uint16_t Port = 0;
    std::string Subject;    // one line, e.g. "CN=ftp.example.com, O=Example"
    std::string Issuer;     // one line, same form
    std::string NotBefore;  // "2026-01-31 12:00:00 UTC"
    std::string NotAfter;
    std::string Reason;     // why verification failed, e.g. "self-signed certificate"
    std::string Sha256;     // "AB:CD:...": 32 upper-case hex pairs joined by ':'
    std::string Pem;        // the server's leaf certificate, PEM
};
using TIpFtpCertificateEvent = std::function<void(TObject *Sender, const TIpFtpCertificateInfo &Info)>;

enum TIpFtpFileType : uint8_t { ftAscii, ftBinary };

// Every value other than rmAppend and rmReplace acts as rmRestart.
enum TIpFtpRetrieveMode : uint8_t { rmAppend, rmReplace, rmRestart };
// Every value above smUnique acts as smRestart.
enum TIpFtpStoreMode : uint8_t { smAppend, smReplace, smUnique, smRestart };

using TIpFtpReplyEvent = std::function<void(TObject *Sender, int ReplyCode, const std::string &Reply)>;
using TIpFtpStatusEvent =
    std::function<void(TObject *Sender, TIpFtpStatusCode StatusCode, const std::string &Info)>;
using TIpFtpErrorEvent = std::function<void(TObject *Sender, int ErrorCode, const std::string &Error)>;
using TIpFtpCommandEvent = std::function<void(TObject *Sender, const std::string &Line)>;

// Messages the client posts to its own window.
inline constexpr uint32_t CM_IPFTPREPLY = 4764;   // WParam reply code, payload the line
inline constexpr uint32_t CM_IPFTPSTATUS = 4765;  // WParam status code, payload the info text
inline constexpr uint32_t CM_IPFTPTIMEOUT = 4767; // optional payload text
// Work that must not run inside the notification of the socket it concerns
// (freeing that socket would pull the object out from under its caller).
inline constexpr uint32_t CM_IPFTPDATATIMEOUT = 4768;  // WParam data socket handle
inline constexpr uint32_t CM_IPFTPRELEASESOCKET = 4769; // WParam socket handle
inline constexpr uint32_t CM_IPFTPDATAFAILED = 4770;    // LParam transfer serial
// A transfer that cannot complete (a local file error, bytes missing):
// WParam error code, LParam transfer serial, payload the error text.
inline constexpr uint32_t CM_IPFTPTRANSFERFAILED = 4771;
// A cancelled transfer: WParam error code, payload the error text.
inline constexpr uint32_t CM_IPFTPABORTED = 4772;

// Error codes of transfer failures raised through OnError. A local file
// error carries the system's error number (below 8000); the WinSock
// numbering starts at 10000.
inline constexpr int IpFtpListingCutCode = 8101;   // the listing passed IpFtpMaxListingSize
inline constexpr int IpFtpIncompleteCode = 8102;   // the data connection ended without every byte
inline constexpr int IpFtpCancelledCode = 8103;    // the user cancelled the transfer
// The login ended because the server's certificate was not trusted.
inline constexpr int IpFtpCertificateRefusedCode = 8104;
inline bool IpFtpIsLocalError(int Code) { return Code > 0 && Code < 8000; }

inline constexpr int IpFtpCommandStackSize = 128;
// How long commands wait behind the replies a cancelled or failed transfer
// still owes before they go out anyway (a server that never sends them).
inline constexpr uint32_t IpFtpOwedReplyWaitMs = 5000;
// Quiet time after which the control connection sends TCP keep-alive
// probes; home routers drop idle mappings after a few minutes.
inline constexpr int IpFtpKeepAliveSeconds = 60;
// A listing larger than this is cut: a server must not be able to make the
// client hold an unbounded listing in memory.
inline constexpr int64_t IpFtpMaxListingSize = 64LL * 1024 * 1024;

class TIpCustomFtpClient : public TIpCustomMultiClient
{
public:
    explicit TIpCustomFtpClient(TComponent *AOwner = nullptr);
    ~TIpCustomFtpClient() override;

    // --- control-connection operations (true when started)
    bool Login(const std::string &Host, const std::string &UserName, const std::string &Password,
               const std::string &Account = std::string());
    bool Logout();
    bool Connected();
    bool ChangeDir(const std::string &Path);
    bool CurrentDir();
    bool QuerySystem();
    bool Delete(const std::string &FileName);
    bool Rename(const std::string &OldName, const std::string &NewName);
    bool SendFtpCommand(const std::string &Command);
    // Folder commands (IpFtpDirOps.cpp). MakeDir sends "MKD " (stCommand);
    // its 257 (or 250) raises fscComplete with the created path as Info, and
    // never moves the bound tree. RemoveDir sends "RMD " (stCommand; 250
    // raises fscComplete). ChangeDirUp sends "CDUP" (stDirectory); its 200 or
    // 250 goes on as a ChangeDir does, with "PWD".
    bool MakeDir(const std::string &Path);
    bool RemoveDir(const std::string &Path);
    bool ChangeDirUp();

    // --- data transfers
    // Starts a listing ("LIST" or "NLST") of Path (empty: the current
    // folder). The client calls it itself in stDirectory; called on an idle
    // client it sets stDirectory; in any other state it raises.
    void ListDir(const std::string &Path, bool FullList);
    // The local file is opened (or created) before anything changes: when
    // that fails the file stream's exception (EIpFOpenError or
    // EIpFCreateError, naming the file and the system's reason) leaves here,
    // the state stays stReady and nothing is sent. A replace-download writes
    // into a temporary file beside LocalFile and renames it over LocalFile
    // only when the transfer completes.
    bool Retrieve(const std::string &RemoteFile, const std::string &LocalFile, TIpFtpRetrieveMode Mode,
                  int64_t RestartAt);
    bool Store(const std::string &RemoteFile, const std::string &LocalFile, TIpFtpStoreMode Mode,
               int64_t RestartAt);
    // Cancels the running transfer (download, upload or listing): ABOR goes out while the data
    // connection is still open, then the data connection is reset (SO_LINGER 0, never a normal
    // close or close_notify), so the server records it as incomplete; the replies still owed
    // (RFC 959: 426 then 226, or 225/226) are absorbed, never taken as the answer to a later
    // command; a partial download is removed (a replace-download keeps the old local file).
    // OnError(INVALID_SOCKET, IpFtpCancelledCode, "Transfer cancelled") then reports it from
    // the event loop, and the client is stReady and takes new commands. False (nothing sent)
    // when no transfer runs.
    bool AbortTransfer();

    // --- command machinery
    void SendCommand(const std::string &Line);
    void PushCommand(const std::string &Line);
    std::string SendNextCommand();
    void ProcessReply(const std::string &Text, int Code);
    virtual void DoFtpError(int Code, const std::string &Text);
    void PostFtpStatus(TIpFtpStatusCode Code, const std::string &Info);
    virtual void DoFtpStatus(TIpFtpStatusCode Code, const std::string &Info);
    void CloseDataSocket();
    void CleanupTransfer();

    // --- overrides of the socket control
    void DoError(TSocket Handle, int Code, const std::string &Text) override;
    void DoIdleTimeout(TSocket Handle, bool &Reset) override;
    void DoLineReceived(TSocket Handle, const std::string &Text) override;
    void DoStatus(TSocket Handle, TIpStatusKind Kind, const TIpConnRec &Conn) override;
    void SocketAccept(TSocket Handle) override;
    void WndProc(TIpMessage &Msg) override;
    void DoTlsReady(TSocket Handle) override;
    void TimerElapsed(uint32_t Ms) override;

    // --- properties
    TIpFtpClientState FtpState() const { return FFtpState; }
    const std::string &Account() const { return FAccount; }
    void SetAccount(const std::string &Value) { FAccount = Value; }
    int64_t BytesTransferred() const { return FBytesTransferred; }
    TIpFtpFileType FileType() const { return FFileType; }
    void SetFileType(TIpFtpFileType Value) { FFileType = Value; }
    TIpFtpDirTree *DirectoryTree() const { return FDirectoryTree; }
    // Stores the reference only; the tree's FtpClient is not touched.
    void SetDirectoryTree(TIpFtpDirTree *Value);
    uint32_t IdleTimeout();
    void SetIdleTimeout(uint32_t Value);
    const std::string &LocalFileName() const { return FLocalFileName; }
    const std::string &Password() const { return FPassword; }
    void SetPassword(const std::string &Value) { FPassword = Value; }
    bool PassiveMode() const { return FPassiveMode; }
    // Ignored unless the client is closed, logging in or idle.
    void SetPassiveMode(bool Value);
    uint32_t TransferTimeout() const { return FTransferTimeout; }
    void SetTransferTimeout(uint32_t Value) { FTransferTimeout = Value; }
    const std::string &RemoteFileName() const { return FRemoteFileName; }
    const std::string &Host() const { return FHost; }
    bool LoggedIn() const { return FLoggedIn; }
    const std::string &UserName() const { return FUserName; }
    // TLS settings take effect at the next Login. CA file empty: the system
    // trust store. Verification is on unless switched off explicitly.
    TIpFtpTlsMode TlsMode() const { return FTlsMode; }
    void SetTlsMode(TIpFtpTlsMode Value) { FTlsMode = Value; }
    const std::string &TlsCaFile() const { return FTlsCaFile; }
    void SetTlsCaFile(const std::string &Value) { FTlsCaFile = Value; }
    bool TlsVerify() const { return FTlsVerify; }
    void SetTlsVerify(bool Value) { FTlsVerify = Value; }
    // The control connection runs TLS (and, once logged in, so does every
    // data connection).
    bool TlsActive() const { return FTlsStage >= tsSecured; }
    // Accept exactly the certificate with this SHA-256 fingerprint (hex;
    // colons, blanks and case ignored), without any CA or name check; any
    // other certificate is refused (the error text names the presented
    // fingerprint). Empty: normal verification. Takes effect at the next Login.
    void SetTlsFingerprint(const std::string &Sha256);
    const std::string &TlsFingerprint() const { return FTlsFingerprint; }
    // The answer to OnFtpCertificate. Trust: the login goes on (USER is
    // sent) and TlsTrust() becomes ttUserTrusted. Refused: the connection
    // is closed and OnFtpLoginError reports IpFtpCertificateRefusedCode.
    // May be called from inside the handler or any time later; without a
    // pending question it does nothing.
    void AnswerCertificate(bool Trust);
    // A question is open: nothing more is sent until it is answered.
    bool CertificatePending() const { return FCertificatePending; }
    TIpFtpTlsTrust TlsTrust() const { return FTlsTrust; }
    // "TLS 1.3" / "TLS 1.2" of the control connection; empty without TLS.
    std::string TlsVersion() const;
    // tmExplicit and the server refused AUTH TLS (5xx): the session is plain.
    bool TlsFellBack() const { return FTlsFellBack; }
    // The port of an implicit-TLS login whose host names none (990);
    // DefaultPort serves the other modes.
    uint16_t ImplicitPort() const { return FImplicitPort; }
    void SetImplicitPort(uint16_t Value) { FImplicitPort = Value; }
    // Ask the server's features (FEAT; OPTS UTF8 ON and OPTS MLST with the
    // facts the client reads, when offered) as the last step of every login; on by default. Takes effect at the
    // next login.
    bool QueryFeatures() const { return FQueryFeatures; }
    void SetQueryFeatures(bool Value) { FQueryFeatures = Value; }
    // What the server offered in this session (empty before the login has
    // ended, and for servers without FEAT).
    const TIpFtpFeatures &Features() const { return FFeatures; }
    // Full listings use MLSD: the server offers MLST, has not refused MLSD
    // in this session, and the bound tree lets the client choose (dsAuto);
    // without a tree, PreferMlsd (on by default) decides.
    bool UseMlsd() const;
    bool PreferMlsd() const { return FPreferMlsd; }
    void SetPreferMlsd(bool Value) { FPreferMlsd = Value; }
    // The running or last listing was an MLSD listing.
    bool ListedWithMlsd() const { return FListedWithMlsd; }
    // The listing style the server's system name suggests (dsNone when it
    // suggests none, or before SYST was answered).
    TIpFtpDirStyle SystemStyle() const { return FSystemStyle; }
    // The remote modification time (seconds since 1970 UTC) and size of the
    // running or last download, as MDTM/MLST and SIZE told them; -1 when
    // unknown (the time also once it is on the local file, or another
    // transfer has begun).
    int64_t RemoteModifyTime() const { return FRemoteModifyTime; }
    int64_t RemoteSize() const { return FRemoteSize; }
    // Off by default (every transfer sends "TYPE "). On, "TYPE " goes out
    // only when it differs from the last one sent in this session and not
    // refused since: the server keeps the type until told otherwise.
    bool TypeOnce() const { return FTypeOnce; }
    void SetTypeOnce(bool Value) { FTypeOnce = Value; }
    // The size (-1: unknown) and modification time (seconds since 1970 UTC;
    // -1: unknown) of RemoteFile as a listing told them: a Retrieve of that
    // file that follows asks SIZE, MDTM or MLST only for what is unknown.
    void SetNextDownloadFacts(const std::string &RemoteFile, int64_t Size, int64_t ModifyTime);
    // The server offers restarted stream transfers (FEAT: REST STREAM).
    bool CanRestart() const;

    TSocket ControlSocket() const { return FControlSocket; }
    TSocket DataSocket() const { return FDataSocket; }
    TSocket ListenHandle() const { return FListenHandle; }
    TIpListenSocket *ListenSocket() const { return FListenSocket.get(); }
    TStream *TransferStream() const { return FTransferStream.get(); }
    int CommandCount() const { return FCommandCount; }
    // The line at Index of the command stack (0 = bottom).
    const std::string &CommandStackLine(int Index) const { return FCommandStack[Index]; }
    // The reply being collected or last completed.
    const std::string &ReplyText() const { return FReplies.Text(); }
    bool MultiLineReply() const { return FReplies.MultiLine(); }

    // --- events
    TIpFtpErrorEvent OnFtpError;
    TIpFtpStatusEvent OnFtpStatus;
    TNotifyEvent OnFtpConnected;
    TNotifyEvent OnFtpDisconnected;
    TIpFtpReplyEvent OnFtpReply;
    TIpFtpErrorEvent OnFtpLoginError;
    // Every line sent on the control connection, as sent (without CRLF),
    // except that the argument of PASS and ACCT reads "****".
    TIpFtpCommandEvent OnFtpCommand;
    // The server's certificate failed verification and no fingerprint is
    // set: the handshake has completed and nothing more is sent until
    // AnswerCertificate. Unbound, such a login fails.
    TIpFtpCertificateEvent OnFtpCertificate;

protected:
    void Notification(TComponent *AComponent, TOperation Operation) override;

    virtual void DoFtpReply(int Code, const std::string &Text);
    virtual void DoFtpLoginError(int Code, const std::string &Text);
    virtual void DoFtpCommand(const std::string &Line);
    virtual void DoFtpConnected();
    virtual void DoFtpDisconnected();
    virtual void DoFtpCertificate(const TIpFtpCertificateInfo &Info);

private:
    enum TTlsStage : uint8_t { tsOff, tsAuth, tsHandshake, tsSecured, tsPbsz, tsProt, tsProtected };
    // The greeting's work: "USER ", or logged in when there is no user.
    void AfterGreeting();
    // TLS steps of the login (IpFtpTls.cpp); true when the reply was theirs.
    bool TlsReply(const std::string &Text, int Code);
    void PrepareTls();
    void StartDataTls(TSocket Handle);
    std::string TlsHostName() const;
    void FailLogin(int Code, const std::string &Text);
    // Trust (IpFtpTrust.cpp): the control connection's TLS engine, implicit
    // TLS at the connect, the decision on the certificate once the
    // handshake completed, and the login's way on once it is accepted.
    std::unique_ptr<TIpTls> MakeControlTls();
    void StartImplicitTls(TSocket Handle);
    void CertificateChecked();
    void TlsAccepted();
    // The encrypted greeting of an implicit-TLS login; true when it was that.
    bool ImplicitGreeting(int Code);

    // Features and listings (IpFtpFeat.cpp).
    // The login's last steps: FEAT, OPTS UTF8 ON, then logged in.
    void LoginAccepted();
    void FinishLogin();
    // True when the reply belonged to those steps, to an MLSD the server
    // refused (the listing is then done again with LIST) or to a query
    // before a download (SIZE, MDTM, MLST).
    bool FeatureReply(const std::string &Text, int Code);
    // Decides the queries a download asks before its data connection.
    void PlanDownloadQueries();
    void PushDownloadQueries();
    void NoteQuerySent(const std::string &Line);
    // Gives a completed download the server's modification time.
    void KeepRemoteModifyTime();

    // Replies to MKD and CDUP (IpFtpDirOps.cpp); true when the reply was
    // theirs. Also notes a refused TYPE.
    bool DirCommandReply(const std::string &Text, int Code);
    // A "TYPE " line the server already has: the next stacked line goes
    // instead (true when Line was skipped).
    bool SkipSettledType(const std::string &Line);
    void NoteTypeSent(const std::string &Line);
    uint64_t ControlSerial();

    void SetState(TIpFtpClientState Value) { FFtpState = Value; }
    // A new transfer: its own serial and nothing of the last one's progress.
    void BeginTransfer();
    void NextTransferSerial();
    // Both halves of a completion (data closed with every byte, final
    // positive reply) in either order; the second one completes.
    void MaybeCompleteTransfer();
    // What the closed data connection still lacks; empty when nothing.
    std::string MissingBytes();
    // A download or listing whose TLS stream ended without close_notify
    // (IpFtpTls.cpp); empty when it ended properly or every announced
    // byte of a binary download arrived.
    std::string TlsCutShort();
    // A listing, download or upload is under way (its stream exists).
    bool TransferRunning() const;
    // Ends the running transfer on the client's side: ABOR while the server
    // may still be transferring (when SendAbor), the data connection reset,
    // the stack dropped, and every reply still owed marked to be absorbed
    // (IpFtpAbort.cpp).
    void AbortRunning(bool SendAbor);
    void ResetDataSocket();
    // The control line itself, past any wait for owed replies.
    void WriteCommand(const std::string &Line);
    // True when the reply was owed to a transfer that has ended.
    bool AbsorbOwedReply(const std::string &Text, int Code);
    void FlushDeferredCommands();
    void ForgetOwedReplies();
    // Ends the running transfer as failed (stReady, everything freed, an
    // OnError with Code and Text). Safe from inside a socket notification
    // only through PostTransferFailure.
    void FailTransfer(int Code, const std::string &Text);
    void PostTransferFailure(int Code, const std::string &Text);
    // Ends the login as failed: the control socket is let go from the
    // event loop and OnFtpLoginError reports Code and Text.
    void EndLogin(TSocket Handle, int Code, const std::string &Text);
    bool IsTransferLine(const std::string &Line) const;
    void HandleReplyLine(const std::string &Line, int Code);
    void SystemReply(const std::string &Text);
    void ControlStatus(TIpStatusKind Kind);
    void DataStatus(TIpStatusKind Kind);
    void DataTimeout(TSocket Handle);
    void DataFailed();
    // Pushes "EPSV" (or "PASV") or prepares "EPRT" (or "PORT"), then sends
    // the first line.
    void OpenDataConnection(char TypeLetter);
    // Opens the listener for an active transfer on the control connection's
    // local address and family; returns that address with the port.
    TSockAddrIn OpenActiveListener();
    std::string PreparePortArgument();
    std::string PrepareEprtArgument();
    // Connects the passive data socket; false for a 227 that names no
    // usable address (or a connect refused at once).
    bool PassiveReply(const std::string &Text);
    bool ConnectPassive(const std::string &Address);
    // The answer to EPSV or EPRT: a 229 connects; a refusal by a server that
    // does not know them falls back to PASV or PORT for the session (not on
    // an IPv6 connection, where those cannot work). False when the reply is
    // none of these, for the usual handling.
    bool DataCommandReply(const std::string &Text, int Code);
    bool ControlIsV6() const { return IpAddrIsV6(FControlPeerAddr); }
    void DoConnecting(TSocket Handle, const TSockAddrIn &Addr) override;
    // A status of the running transfer; dropped on delivery when another
    // transfer has started meanwhile.
    void PostTransferStatus(TIpFtpStatusCode Code, const std::string &Info);
    // Runs a transfer start; on an exception the stack, the state and the
    // transfer are put back as they were before it.
    void StartTransfer(const std::function<void()> &Start);
    void RefreshBytesTransferred();
    // Moves a finished replace-download over its target.
    bool CommitDownload(std::string &Error, int &Code);
    TStream *ReceiveTarget();
    // Sends the upload once the data connection is up and the server has
    // answered the transfer command with 125 or 150.
    void MaybeStartUpload();
    void ResetUploadGate();

    std::string FCommandStack[IpFtpCommandStackSize];
    int FCommandCount = 0;
    TSocket FControlSocket = INVALID_SOCKET;
    TSocket FDataSocket = INVALID_SOCKET;
    TSocket FListenHandle = INVALID_SOCKET;
    std::unique_ptr<TIpListenSocket> FListenSocket;
    TIpFtpReplyAssembler FReplies;
    std::unique_ptr<TStream> FTransferStream;
    TIpFtpClientState FFtpState = stClosed;
    std::string FAccount;
    int64_t FBytesTransferred = 0;
    TIpFtpFileType FFileType = ftAscii;
    TIpFtpDirTree *FDirectoryTree = nullptr;
    TComponent *FDirectoryTreeComponent = nullptr;
    uint32_t FIdleTimeout = 0;
    std::string FLocalFileName;
    std::string FPassword;
    bool FPassiveMode = false;
    uint32_t FTransferTimeout = 0;
    std::string FRemoteFileName;
    std::string FHost;
    uint32_t FSessionSerial = 0; // counts logins; replies carry it
    bool FLoggedIn = false;
    std::string FUserName;

    // A replace-download writes here first; empty when none is running.
    std::string FTempFileName;
    // Whatever arrives on a data connection that has no transfer to feed.
    std::unique_ptr<TStream> FDiscardStream;
    bool FTimeoutPosted = false;
    bool FDataFailed = false; // the data connection reported an error (a reset)
    // Some servers (pyftpdlib) connect the active data connection as soon
    // as they get PORT, before the transfer command: bytes sent then reach a
    // server that does not yet know what to do with them.
    bool FUploadConnected = false;
    bool FUploadAccepted = false;
    bool FUploadStarted = false;
    // The control socket's data logging is off while a PASS line may still
    // be on its way out.
    bool FDataLogMuted = false;
    TIpLogOptionSet FSavedLogOptions;
    TIpFtpTlsMode FTlsMode = tmNone;
    std::string FTlsCaFile;
    bool FTlsVerify = true;
    TTlsStage FTlsStage = tsOff;
    std::string FTlsFingerprint;   // normalised: upper-case hex, no separators
    bool FCertificatePending = false;
    TIpFtpTlsTrust FTlsTrust = ttNone;
    bool FTlsFellBack = false;
    uint16_t FImplicitPort = 990;
    std::string FTlsPin;        // the fingerprint to accept, 64 upper-case hex digits
    std::string FTlsPeerSha256; // the control connection's accepted certificate
    bool FImplicitGreeting = false; // implicit TLS is up; the 220 is awaited
    // Replies that came while the certificate question was open.
    std::vector<std::pair<std::string, int>> FHeldReplies;
    std::shared_ptr<TIpTlsContext> FTlsContext;
    std::string FTlsLoginReply; // the 230 held back until the data connections are protected
    bool FDataTlsGo = false;    // the server has answered this transfer's command with 125/150
    // Counts transfers, so a status posted for one is never applied to the next.
    uint32_t FTransferSerial = 0;

    // Completion of the running transfer.
    bool FTransferCommandSent = false; // RETR/STOR/LIST... has gone out
    bool FFinalReply = false;          // its 226 or 250 arrived
    bool FDataClosed = false;          // the data connection ended with every byte
    bool FCompletionPosted = false;
    bool FTransferFailing = false;     // a failure is on its way; nothing completes
    bool FTransferBinary = false;
    int64_t FExpectedSize = -1;        // announced by 150 "(N bytes)" in binary type
    int64_t FRestartOffset = 0;        // where a restarted download began writing
    bool FTruncateOnCommit = false;    // a restart cuts stale bytes only once complete
    int64_t FUploadTotal = 0;          // bytes the upload must send
    // The control connection's destination: data connections go only there
    // (unspecified until it is known).
    TSockAddrIn FControlPeerAddr{};
    // The server refused EPSV or EPRT this session: PASV or PORT from then on.
    bool FEpsvRefused = false;
    bool FEprtRefused = false;
    // EPSV or EPRT has gone out and its final reply is still to come.
    enum : uint8_t { xcNone, xcEpsv, xcEprt } FDataCommandSent = xcNone;
    // Set by the commands sent while a reply is handled: the state stays
    // busy until they are answered.
    bool FSentDuringReply = false;
    // Commands sent whose final (non-1xx) reply has not come; replies a
    // transfer that ended on the client's side still owes, and the
    // commands held back until they are in (or IpFtpOwedReplyWaitMs passed).
    int FOutstanding = 0;
    int FOwedReplies = 0;
    uint32_t FOwedWait = 0;
    std::deque<std::string> FDeferredCommands;
    bool FCreatedLocal = false; // the download created its local file
    bool FPassAnswered = false; // 331 answered once in this login
    bool FAcctAnswered = false; // 332 answered once in this login

    enum TFeatStage : uint8_t { fsOff, fsFeat, fsUtf8, fsMlst };
    bool FQueryFeatures = true;
    bool FPreferMlsd = true;
    TFeatStage FFeatStage = fsOff;
    TIpFtpFeatures FFeatures;
    bool FMlsdRefused = false;   // the server answered MLSD with 500/502
    bool FListedWithMlsd = false;
    std::string FListPath;       // what the running listing lists
    TIpFtpDirStyle FSystemStyle = dsNone;
    std::vector<std::string> FQueries; // SIZE/MDTM/MLST lines to ask before a download
    std::string FQueryOut;             // the one awaiting its reply
    int64_t FRemoteModifyTime = -1;
    int64_t FRemoteSize = -1;

    enum TDirCommand : uint8_t { dcNone, dcMkd, dcCdup };
    TDirCommand FDirCommand = dcNone;
    uint64_t FDirCommandSerial = 0; // the control connection it was sent on
    bool FTypeOnce = false;
    std::string FSettledType;       // the last "TYPE " line sent, until refused
    bool FTypeAwaited = false;      // its reply has not come yet
    uint64_t FSettledTypeSerial = 0;
    std::string FKnownFile;         // SetNextDownloadFacts
    int64_t FKnownSize = -1;
    int64_t FKnownModifyTime = -1;
};

class TIpFtpClient : public TIpCustomFtpClient
{
public:
    using TIpCustomFtpClient::TIpCustomFtpClient;
};
