// Control connection of the FTP client: reply intake and assembly, the reply
// state machine, the command stack, status dispatch and login. The other
// control commands are in IpFtpCommands.cpp, data transfers in
// IpFtpTransfer.cpp.

#include "ftp/IpFtpClient.h"

#include <cctype>
#include <stdexcept>
#include <strings.h>

#include "base/IpConst.h"
#include "base/IpDebugLog.h"
#include "platform/IpPlatform.h"

namespace {

// Command lines and arguments must not smuggle a line break into the
// control connection: one call, one command.
bool HasLineBreak(const std::string &S)
{
    return S.find_first_of("\r\n") != std::string::npos;
}

std::string UpperCase(std::string S)
{
    for (char &c : S)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return S;
}

} // namespace

TIpCustomFtpClient::TIpCustomFtpClient(TComponent *AOwner) : TIpCustomMultiClient(AOwner)
{
    SetDefaultPort(21);
    FPassiveMode = false;
    FIdleTimeout = 0;
    FTransferTimeout = 0;
    FLoggedIn = false;
    FFtpState = stClosed;
    FControlSocket = INVALID_SOCKET;
    FDataSocket = INVALID_SOCKET;
    FFileType = ftAscii;
    FDiscardStream = std::make_unique<TNullStream>();
}

TIpCustomFtpClient::~TIpCustomFtpClient()
{
    if (FDirectoryTree && FDirectoryTree->FtpClient() == this)
        FDirectoryTree->SetFtpClient(nullptr);
    FDirectoryTree = nullptr;
    // Close the sockets while this class still exists: a data socket drains
    // into the transfer stream or the discard stream when it closes, and
    // both die with this object. No event is raised for these closes.
    FControlSocket = INVALID_SOCKET;
    CleanupTransfer();
    FDataSocket = INVALID_SOCKET;
    CloseAllSockets();
}

// ---------------------------------------------------------------------------
// Properties

void TIpCustomFtpClient::SetDirectoryTree(TIpFtpDirTree *Value)
{
    FDirectoryTree = Value;
    FDirectoryTreeComponent = dynamic_cast<TComponent *>(Value);
}

uint32_t TIpCustomFtpClient::IdleTimeout()
{
    if (FControlSocket != INVALID_SOCKET && FindSocket(FControlSocket, false))
        FIdleTimeout = GetSocketIdleTimeout(FControlSocket);
    return FIdleTimeout;
}

void TIpCustomFtpClient::SetIdleTimeout(uint32_t Value)
{
    FIdleTimeout = Value;
    if (FControlSocket != INVALID_SOCKET && FindSocket(FControlSocket, false))
        SetSocketIdleTimeout(FControlSocket, Value);
}

void TIpCustomFtpClient::SetPassiveMode(bool Value)
{
    if ((FFtpState == stClosed || FFtpState == stLogin || FFtpState == stReady) && Value != FPassiveMode)
        FPassiveMode = Value;
}

void TIpCustomFtpClient::Notification(TComponent *AComponent, TOperation Operation)
{
    TIpCustomMultiClient::Notification(AComponent, Operation);
    if (Operation == opRemove) {
        // Compared by address: the component may already be half destroyed.
        if (AComponent && AComponent == FDirectoryTreeComponent) {
            FDirectoryTree = nullptr;
            FDirectoryTreeComponent = nullptr;
        }
        return;
    }
    auto *Tree = dynamic_cast<TIpFtpDirTree *>(AComponent);
    if (Tree && !FDirectoryTree && !Tree->FtpClient()) {
        SetDirectoryTree(Tree);
        Tree->SetFtpClient(this);
    }
}

// ---------------------------------------------------------------------------
// Events

void TIpCustomFtpClient::DoFtpReply(int Code, const std::string &Text)
{
    if (OnFtpReply)
        OnFtpReply(this, Code, Text);
}

void TIpCustomFtpClient::DoFtpCommand(const std::string &Line)
{
    if (OnFtpCommand)
        OnFtpCommand(this, Line);
}

void TIpCustomFtpClient::DoFtpLoginError(int Code, const std::string &Text)
{
    if (OnFtpLoginError)
        OnFtpLoginError(this, Code, Text);
}

void TIpCustomFtpClient::DoFtpConnected()
{
    if (OnFtpConnected)
        OnFtpConnected(this);
}

void TIpCustomFtpClient::DoFtpDisconnected()
{
    if (OnFtpDisconnected)
        OnFtpDisconnected(this);
}

void TIpCustomFtpClient::DoFtpError(int Code, const std::string &Text)
{
    const bool InTransfer = FFtpState == stDirectory || FFtpState == stRetrieve || FFtpState == stStore;
    if (FFtpState > stReady)
        SetState(stReady);
    // An error reply ends the transfer: its data socket, stream and any
    // half-written download go now, and what it still had in the queue is
    // dropped on delivery.
    if (InTransfer && (FTransferStream || FDataSocket != INVALID_SOCKET || FListenSocket)) {
        CleanupTransfer();
        NextTransferSerial();
    }
    if (OnFtpError)
        OnFtpError(this, Code, Text);
}

// ---------------------------------------------------------------------------
// Command stack

void TIpCustomFtpClient::SendCommand(const std::string &Line)
{
    if (FControlSocket == INVALID_SOCKET || SkipSettledType(Line))
        return;
    // Sent now, its answer would be taken for a reply the server still owes.
    if (FOwedReplies > 0) {
        FDeferredCommands.push_back(Line);
        FSentDuringReply = true;
        return;
    }
    WriteCommand(Line);
}

void TIpCustomFtpClient::WriteCommand(const std::string &Line)
{
    if (FControlSocket == INVALID_SOCKET)
        return;
    // The password never reaches the debug log: neither as the command line
    // nor as the bytes the control socket writes. Its data logging stays off
    // until the server's answer shows the line has gone out.
    const std::string Shown = FtpMaskedCommand(Line);
    const bool Secret = Shown != Line;
    if (TIpDebugLog *Log = DebugLog())
        Log->AddText(Shown);
    TIpDataSocket *Socket = FindDataSocket(FControlSocket, true);
    if (Secret && !FDataLogMuted) {
        FDataLogMuted = true;
        FSavedLogOptions = Socket->LogOptions();
        TIpLogOptionSet Muted = FSavedLogOptions;
        Muted.Exclude(loHighData);
        Muted.Exclude(loLowData);
        Socket->SetLogOptions(Muted);
    }
    Socket->PutString(Line + "\r\n", false);
    ++FOutstanding;
    FSentDuringReply = true;
    if ((FFtpState == stRetrieve || FFtpState == stStore || FFtpState == stDirectory) && IsTransferLine(Line))
        FTransferCommandSent = true;
    NoteQuerySent(Line);
    NoteTypeSent(Line);
    if (Line == "EPSV")
        FDataCommandSent = xcEpsv;
    else if (Line.compare(0, 5, "EPRT ") == 0)
        FDataCommandSent = xcEprt;
    DoFtpCommand(Shown);
}

void TIpCustomFtpClient::PushCommand(const std::string &Line)
{
    if (FCommandCount >= IpFtpCommandStackSize) {
        FCommandCount = 0;
        throw std::runtime_error("Fatal Error: Command stack full");
    }
    FCommandStack[FCommandCount++] = Line;
}

std::string TIpCustomFtpClient::SendNextCommand()
{
    if (FCommandCount == 0)
        return std::string();
    --FCommandCount;
    std::string Line = FCommandStack[FCommandCount];
    SendCommand(Line);
    return Line;
}

// ---------------------------------------------------------------------------
// Replies

void TIpCustomFtpClient::DoLineReceived(TSocket Handle, const std::string &Text)
{
    if (Handle != FControlSocket || FControlSocket == INVALID_SOCKET) {
        TIpCustomMultiClient::DoLineReceived(Handle, Text);
        return;
    }
    if (Text.empty())
        return;
    // Tagged with the session: a reply still queued when that connection
    // ended (a "221" after QUIT) must not reach the next login.
    PostMessage(CM_IPFTPREPLY, static_cast<uintptr_t>(FtpReplyCode(Text)), static_cast<intptr_t>(FSessionSerial),
                std::any(Text));
}

void TIpCustomFtpClient::HandleReplyLine(const std::string &Line, int Code)
{
    if (FDataLogMuted) {
        FDataLogMuted = false;
        if (TIpDataSocket *Socket = FindDataSocket(FControlSocket, false))
            Socket->SetLogOptions(FSavedLogOptions);
    }
    if (!FReplies.AddLine(Line, Code))
        return;
    const std::string Text = FReplies.Text();
    const int ReplyCode = FReplies.Code();
    if (TIpDebugLog *Log = DebugLog())
        Log->AddText(Text);
    if (ReplyCode / 100 != 1 && FOutstanding > 0)
        --FOutstanding;
    if (AbsorbOwedReply(Text, ReplyCode))
        return;
    // A command sent on the way (the login's "SYST", then "PWD") keeps the
    // client busy until it is answered: an operation started meanwhile
    // would take that answer for its own.
    FSentDuringReply = false;
    ProcessReply(Text, ReplyCode);
    if (FFtpState == stCommand && !FSentDuringReply)
        SetState(stReady);
    DoFtpReply(ReplyCode, Text);
}

void TIpCustomFtpClient::ProcessReply(const std::string &Text, int Code)
{
    auto ErrorPath = [&] {
        if (Code == 421)
            SetState(stClosed);
        else
            DoFtpError(Code, Text);
    };

    if (TlsReply(Text, Code) || DataCommandReply(Text, Code))
        return;
    if (FeatureReply(Text, Code) || DirCommandReply(Text, Code))
        return;
    switch (Code) {
    case 125:
    case 150:
        if (FFtpState == stStore) {
            FUploadAccepted = true;
            MaybeStartUpload();
        } else if (FFtpState == stRetrieve && FTransferCommandSent) {
            // One that names no size leaves the one SIZE gave.
            if (const int64_t Announced = FtpAnnouncedSize(Text); Announced >= 0)
                FExpectedSize = Announced;
        }
        break;
    case 200:
        if (SendNextCommand().empty())
            SetState(stReady);
        break;
    case 211:
    case 212:
    case 213:
    case 214:
        DoFtpStatus(fscInfo, Text.size() > 3 ? Text.substr(3) : std::string());
        break;
    case 215:
        SystemReply(Text);
        break;
    case 220:
        AfterGreeting();
        break;
    case 221:
        // The client's own closing of a running transfer is no completion.
        CleanupTransfer();
        CloseAllSockets();
        break;
    case 225:
        SetState(stReady);
        break;
    case 226:
        if (FFtpState == stClosed || FFtpState == stRename) {
            ErrorPath();
        } else if (FFtpState == stCommand) {
            SetState(stReady);
        } else if ((FFtpState == stRetrieve || FFtpState == stStore || FFtpState == stDirectory) &&
                   FTransferCommandSent) {
            // Half of a completion; the data connection's end is the other.
            FFinalReply = true;
            MaybeCompleteTransfer();
        }
        break;
    case 227:
        if (PassiveReply(Text))
            SendNextCommand();
        else
            DoFtpError(Code, Text);
        break;
    case 230:
        LoginAccepted();
        break;
    case 250:
        if (FFtpState == stDirectory && !FTransferStream) {
            SetState(stReady);
            CurrentDir();
        } else if (FFtpState == stDirectory || FFtpState == stRetrieve || FFtpState == stStore) {
            // A server that confirms the listing itself with 250 would
            // otherwise start the same listing again, forever.
            if (FTransferCommandSent) {
                FFinalReply = true;
                MaybeCompleteTransfer();
            }
        } else {
            SetState(stReady);
            DoFtpStatus(fscComplete, std::string());
        }
        break;
    case 257:
        DoFtpStatus(fscCurrentDir, FtpQuotedPath(Text));
        break;
    case 331:
        // Asked again for the password it has just been given, the login
        // cannot succeed; answering forever would only flood the server.
        if (FFtpState == stLogin && FPassAnswered)
            EndLogin(FControlSocket, Code, Text);
        else if (FFtpState != stCommand) {
            FPassAnswered = FPassAnswered || FFtpState == stLogin;
            SendCommand("PASS " + FPassword);
        }
        break;
    case 332:
        if (FFtpState == stLogin && FAcctAnswered) {
            EndLogin(FControlSocket, Code, Text);
        } else {
            FAcctAnswered = FAcctAnswered || FFtpState == stLogin;
            SendCommand("ACCT " + FAccount);
        }
        break;
    case 350:
        SendNextCommand();
        break;
    default:
        ErrorPath();
        break;
    }
}

void TIpCustomFtpClient::AfterGreeting()
{
    if (!FUserName.empty())
        SendCommand("USER " + FUserName);
    else
        LoginAccepted();
}

void TIpCustomFtpClient::SystemReply(const std::string &Text)
{
    FSystemStyle = dsNone;
    std::vector<std::string> Tokens = SplitTokens(Text, " ");
    if (Tokens.size() >= 2) {
        const std::string Name = UpperCase(Tokens[1]);
        if (Name.find("WIND") != std::string::npos)
            FSystemStyle = dsDos;
        else if (Name.find("UNIX") != std::string::npos)
            FSystemStyle = dsUnix;
        else if (Name.find("VMS") != std::string::npos)
            FSystemStyle = dsVms;
    }
    if (FDirectoryTree && FDirectoryTree->DirectoryStyle() == dsNone && FSystemStyle != dsNone)
        FDirectoryTree->SetDirectoryStyle(FSystemStyle);
    SetState(stReady);
    CurrentDir();
}

// ---------------------------------------------------------------------------
// Status dispatch

void TIpCustomFtpClient::PostFtpStatus(TIpFtpStatusCode Code, const std::string &Info)
{
    PostMessage(CM_IPFTPSTATUS, static_cast<uintptr_t>(Code), 0,
                Info.empty() ? std::any() : std::any(Info));
}

void TIpCustomFtpClient::DoFtpStatus(TIpFtpStatusCode Code, const std::string &Info)
{
    // A status posted before the connection closed must not bring a closed
    // client back to life: only Login leaves stClosed.
    if (Code > fscLogin && Code != fscProgress && FFtpState != stClosed)
        SetState(stReady);
    if (Code == fscTransferOK) {
        std::string Error;
        int ErrorCode = 0;
        if (!CommitDownload(Error, ErrorCode)) {
            // Not a success: the error says what happened and where the
            // downloaded bytes are.
            CleanupTransfer();
            NextTransferSerial();
            TIpCustomMultiClient::DoError(INVALID_SOCKET, ErrorCode, Error);
            return;
        }
        CleanupTransfer();
        KeepRemoteModifyTime();
    } else if (Code == fscDirList) {
        CleanupTransfer();
    }
    if (FDirectoryTree) {
        switch (Code) {
        case fscClose:
            FDirectoryTree->ClearAll();
            break;
        case fscLogin:
            QuerySystem();
            break;
        case fscCurrentDir:
            FDirectoryTree->SetCurrentPath(ToDosPath(Info));
            if (FFtpState != stClosed) {
                SetState(stDirectory);
                ListDir(std::string(), FDirectoryTree->DirectoryStyle() != dsNone);
            }
            break;
        case fscSystem:
            CurrentDir();
            break;
        default:
            break;
        }
    }
    if (OnFtpStatus)
        OnFtpStatus(this, Code, Info);
}

// ---------------------------------------------------------------------------
// Window messages

void TIpCustomFtpClient::WndProc(TIpMessage &Msg)
{
    switch (Msg.Msg) {
    case CM_IPFTPREPLY:
    case CM_IPFTPSTATUS:
    case CM_IPFTPTIMEOUT:
    case CM_IPFTPDATATIMEOUT:
    case CM_IPFTPRELEASESOCKET:
    case CM_IPFTPDATAFAILED:
    case CM_IPFTPTRANSFERFAILED:
    case CM_IPFTPABORTED:
        break;
    default:
        TIpCustomMultiClient::WndProc(Msg);
        return;
    }
    // Nothing may cross the event loop: what an event handler (or the work
    // it started) raises goes to the application's exception handler.
    try {
        std::string Payload;
        if (std::string *Text = std::any_cast<std::string>(&Msg.Payload))
            Payload.swap(*Text);
        switch (Msg.Msg) {
        case CM_IPFTPREPLY:
            if (static_cast<uint32_t>(Msg.LParam) == FSessionSerial)
                HandleReplyLine(Payload, static_cast<int>(Msg.WParam));
            break;
        case CM_IPFTPSTATUS:
            if (Msg.LParam == 0 || static_cast<uint32_t>(Msg.LParam) == FTransferSerial)
                DoFtpStatus(static_cast<TIpFtpStatusCode>(Msg.WParam & 0xFF), Payload);
            break;
        case CM_IPFTPTIMEOUT:
            CloseDataSocket();
            SetState(FFtpState == stClosed || FFtpState == stLogin ? stClosed : stReady);
            if (OnFtpStatus)
                OnFtpStatus(this, fscTimeout, std::string());
            break;
        case CM_IPFTPDATATIMEOUT:
            DataTimeout(static_cast<TSocket>(Msg.WParam));
            break;
        case CM_IPFTPDATAFAILED:
            if (static_cast<uint32_t>(Msg.LParam) == FTransferSerial)
                DataFailed();
            break;
        case CM_IPFTPTRANSFERFAILED:
            if (static_cast<uint32_t>(Msg.LParam) == FTransferSerial)
                FailTransfer(static_cast<int>(static_cast<uint32_t>(Msg.WParam)), Payload);
            break;
        case CM_IPFTPABORTED:
            TIpCustomMultiClient::DoError(INVALID_SOCKET, static_cast<int>(static_cast<uint32_t>(Msg.WParam)),
                                          Payload);
            break;
        case CM_IPFTPRELEASESOCKET: {
            // Only the very object the message was posted for.
            TSocket Handle = static_cast<TSocket>(Msg.WParam);
            const uint64_t *Serial = std::any_cast<uint64_t>(&Msg.Payload);
            TIpBaseSocket *Socket = FindSocket(Handle, false);
            if (Serial && Socket && Socket->Serial() == *Serial && Handle != FControlSocket &&
                Handle != FDataSocket)
                SocketClose(Handle);
            break;
        }
        }
    } catch (...) {
        IpHandleApplicationException(std::current_exception());
    }
}

// ---------------------------------------------------------------------------
// Socket events

void TIpCustomFtpClient::DoStatus(TSocket Handle, TIpStatusKind Kind, const TIpConnRec &Conn)
{
    if (Handle == INVALID_SOCKET)
        return;
    if (Handle == FControlSocket)
        ControlStatus(Kind);
    else if (Handle == FDataSocket)
        DataStatus(Kind);
}

void TIpCustomFtpClient::ControlStatus(TIpStatusKind Kind)
{
    switch (Kind) {
    case skConnect:
        SetState(stLogin);
        DoFtpConnected();
        // Implicit TLS: the socket reports its connect once the handshake is done.
        if (FTlsMode == tmImplicit && FFtpState == stLogin)
            CertificateChecked();
        break;
    case skClose:
        CleanupTransfer();
        FLoggedIn = false;
        FCommandCount = 0;
        FTlsStage = tsOff;
        FCertificatePending = false;
        ForgetOwedReplies();
        SetState(stClosed);
        PostFtpStatus(fscClose, std::string());
        FControlSocket = INVALID_SOCKET;
        DoFtpDisconnected();
        break;
    default:
        break;
    }
}

void TIpCustomFtpClient::DoError(TSocket Handle, int Code, const std::string &Text)
{
    // A data connection that breaks (a reset) has not delivered the whole
    // file: its close must not be taken for a completed transfer.
    if (Handle == FDataSocket && FDataSocket != INVALID_SOCKET &&
        (FFtpState == stRetrieve || FFtpState == stStore || FFtpState == stDirectory))
        FDataFailed = true;
    if (FFtpState != stLogin) {
        TIpCustomMultiClient::DoError(Handle, Code, Text);
        return;
    }
    EndLogin(Handle, Code, Text);
}

void TIpCustomFtpClient::EndLogin(TSocket Handle, int Code, const std::string &Text)
{
    FLoggedIn = false;
    FCommandCount = 0;
    FCertificatePending = false;
    SetState(stClosed);
    FControlSocket = INVALID_SOCKET;
    // The error may come from inside the socket's own read or connect
    // handling; the socket is closed and freed from the event loop instead.
    if (TIpBaseSocket *Socket = FindSocket(Handle, false))
        PostMessage(CM_IPFTPRELEASESOCKET, Handle, 0, std::any(Socket->Serial()));
    DoFtpLoginError(Code, Text);
}

void TIpCustomFtpClient::DoIdleTimeout(TSocket Handle, bool &Reset)
{
    if (Handle == FDataSocket && FDataSocket != INVALID_SOCKET) {
        // Runs inside the data socket's tick; its end is handled once, later.
        if (!FTimeoutPosted) {
            FTimeoutPosted = true;
            PostMessage(CM_IPFTPDATATIMEOUT, Handle, 0);
        }
        return;
    }
    // A person reading the certificate question is no idle server.
    if (Handle == FControlSocket && FCertificatePending) {
        Reset = true;
        return;
    }
    TIpCustomMultiClient::DoIdleTimeout(Handle, Reset);
}

// ---------------------------------------------------------------------------
// Operations

bool TIpCustomFtpClient::Login(const std::string &Host, const std::string &UserName,
                               const std::string &Password, const std::string &Account)
{
    if (FFtpState != stClosed)
        return false;
    if (HasLineBreak(UserName) || HasLineBreak(Password) || HasLineBreak(Account))
        return false;
    // A multi-line reply cut off by the last connection's end must not
    // swallow the greeting of the new one.
    PrepareTls();
    ++FSessionSerial;
    FReplies.Reset();
    FDataLogMuted = false;
    FPassAnswered = false;
    FAcctAnswered = false;
    ForgetOwedReplies();
    FControlPeerAddr = TSockAddrIn{};
    FEpsvRefused = false;
    FEprtRefused = false;
    FDataCommandSent = xcNone;
    SetState(stLogin);
    FHost = Host;
    FUserName = UserName;
    FPassword = Password;
    FAccount = Account;
    TSocket Handle = INVALID_SOCKET;
    try {
        Handle = CreateSocket();
        FControlSocket = Handle;
        if (Handle == INVALID_SOCKET) {
            SetState(stClosed);
        } else {
            SetSocketIdleTimeout(Handle, FIdleTimeout);
            FindSocket(Handle, true)->KeepAlive(IpFtpKeepAliveSeconds);
            const uint16_t Port = DefaultPort();
            if (FTlsMode == tmImplicit) {
                StartImplicitTls(Handle);
                SetDefaultPort(FImplicitPort);
            }
            try {
                ConnectHandle(Handle, Host);
            } catch (...) {
                SetDefaultPort(Port);
                throw;
            }
            SetDefaultPort(Port);
        }
    } catch (...) {
        SetState(stClosed);
        // The socket made for this attempt goes at once, without close events.
        if (Handle != INVALID_SOCKET && FControlSocket == Handle) {
            FControlSocket = INVALID_SOCKET;
            if (FindSocket(Handle, false))
                CloseSocket(Handle);
        }
        throw;
    }
    return Handle != INVALID_SOCKET;
}

void TIpCustomFtpClient::DoConnecting(TSocket Handle, const TSockAddrIn &Addr)
{
    // Where the control connection goes (through a proxy, its
    // destination): the only host data connections may involve.
    if (Handle == FControlSocket)
        FControlPeerAddr = Addr;
}

bool TIpCustomFtpClient::Logout()
{
    if (FFtpState == stClosed)
        return false;
    // QUIT with the data connection open would let the server end the
    // transfer as it likes (an upload recorded as complete).
    if (TransferRunning())
        AbortRunning(true);
    SendCommand("QUIT");
    return true;
}

bool TIpCustomFtpClient::Connected()
{
    if (FControlSocket == INVALID_SOCKET)
        return false;
    TIpBaseSocket *Socket = FindSocket(FControlSocket, false);
    return Socket && Socket->Connected();
}
