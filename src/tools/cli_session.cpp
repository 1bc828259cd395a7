#include "tools/cli_session.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/IpStreams.h"
#include "tools/cli_format.h"
#include "tools/cli_tree.h"

namespace {

// How long QUIT may take before the run ends without the server's answer.
constexpr int QuitGraceMs = 3000;
constexpr int32_t CliReceiveBufferSize = 1024 * 1024;
// Most of a quote reply that is printed.
constexpr size_t CliMaxReplyBytes = 1000000;

// The control connection's socket: reports each command line it is asked
// to send, so the verbose trace shows exactly what goes on the wire.
class TCliControlSocket : public TIpDataSocket
{
public:
    TCliControlSocket(TCliFtpClient *Client, const TSockAddrIn &LocalAddr, const TIpDataInits *Inits,
                      const TIpSocksServerInfo *SocksServer)
        : TIpDataSocket(Client, INVALID_SOCKET, LocalAddr, Inits, SocksServer), FClient(Client)
    {
    }

    int32_t QueueData(const void *Data, int32_t Len, TStream *Stream, bool CloseAfter, bool Internal,
                      bool Raw) override
    {
        // Proxy negotiation (Internal) and file data (Stream) are not commands.
        if (FClient->OnCommandSent && Data && Len > 0 && !Stream && !Internal &&
            Handle() == FClient->ControlSocket()) {
            std::string Text(static_cast<const char *>(Data), static_cast<size_t>(Len));
            while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r'))
                Text.pop_back();
            if (Text.size() >= 5 && ::strncasecmp(Text.c_str(), "PASS ", 5) == 0)
                Text = "PASS ****";
            FClient->OnCommandSent(Text);
        }
        return TIpDataSocket::QueueData(Data, Len, Stream, CloseAfter, Internal, Raw);
    }

    // The idle count runs from now.
    void RestartIdle() { ResetIdle(); }

private:
    TCliFtpClient *FClient;
};

std::string BaseName(const std::string &Path)
{
    // A "\\" is part of a name, locally and on the server.
    const size_t Slash = Path.find_last_of('/');
    return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

bool IsDirectory(const std::string &Path)
{
    struct stat St;
    return ::stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

// Size of a regular file; -1 when it is missing or not a regular file.
int64_t RegularFileSize(const std::string &Path)
{
    struct stat St;
    if (::stat(Path.c_str(), &St) != 0 || !S_ISREG(St.st_mode))
        return -1;
    return static_cast<int64_t>(St.st_size);
}

void WriteErr(const std::string &Text)
{
    std::fwrite(Text.data(), 1, Text.size(), stderr);
    std::fflush(stderr);
}

// The system's words for a socket error code.
std::string ReasonText(int Code)
{
    const int Errno = ErrnoFromWinSockError(Code);
    if (Errno > 0) {
        char Buf[256];
        return strerror_r(Errno, Buf, sizeof Buf);
    }
    return WinSockErrorText(Code);
}

bool Resolves(const std::string &Host)
{
    std::vector<TSockAddrIn> Addrs;
    return IpIsNumericHost(Host) || IpLookupAll(Host, Addrs) == 0;
}

} // namespace

TSocket TCliFtpClient::CreateSocket()
{
    auto *Socket = new TCliControlSocket(this, DefaultLocalAddr(), DataInits(), SocksServer());
    SocketList()->Add(Socket);
    return Socket->Handle();
}

void TCliFtpClient::DoStatus(TSocket Handle, TIpStatusKind Kind, const TIpConnRec &Conn)
{
    if (Kind == skClose && Handle != INVALID_SOCKET && Handle == DataSocket())
        if (auto *Control = dynamic_cast<TCliControlSocket *>(FindDataSocket(ControlSocket(), false)))
            Control->RestartIdle();
    TIpFtpClient::DoStatus(Handle, Kind, Conn);
}

void TCliFtpClient::WndProc(TIpMessage &Msg)
{
    if (Msg.Msg == CM_IPFTPREPLY && OnReplyLine)
        if (const std::string *Line = std::any_cast<std::string>(&Msg.Payload))
            OnReplyLine(*Line);
    TIpFtpClient::WndProc(Msg);
}

TCliSession::TCliSession(const TCliOptions &Options, std::function<void(int)> Finish)
    : FOptions(Options), FFinish(std::move(Finish)), FAlive(std::make_shared<bool>(true))
{
    FProgressTty = ::isatty(STDERR_FILENO) == 1;
    BindEvents();
}

TCliSession::~TCliSession()
{
    *FAlive = false;
    // Its hooks hand the client's events back to this session's handlers.
    FJob.reset();
    // The client outlives the members declared after it and closes its
    // sockets in its destructor: nothing it reports then may reach us.
    FClient.OnCommandSent = nullptr;
    FClient.OnReplyLine = nullptr;
    FClient.OnFtpConnected = nullptr;
    FClient.OnFtpReply = nullptr;
    FClient.OnFtpStatus = nullptr;
    FClient.OnFtpError = nullptr;
    FClient.OnFtpLoginError = nullptr;
    FClient.OnError = nullptr;
    FClient.OnFtpDisconnected = nullptr;
    FClient.OnIdleTimeout = nullptr;
}

void TCliSession::Later(std::function<void()> Action)
{
    std::weak_ptr<bool> Alive = FAlive;
    QTimer::singleShot(0, [Alive, Action = std::move(Action)] {
        if (auto A = Alive.lock(); A && *A)
            Action();
    });
}

void TCliSession::BindEvents()
{
    if (FOptions.Verbose)
        FClient.OnCommandSent = [this](const std::string &Line) { Trace("> " + EscapeText(Line)); };
    FClient.OnReplyLine = [this](const std::string &Line) {
        std::string Shown = Line;
        while (!Shown.empty() && (Shown.back() == '\n' || Shown.back() == '\r'))
            Shown.pop_back();
        if (FOptions.Verbose)
            Trace("< " + EscapeText(Shown));
        if (FPhase == phOperation && FOptions.Operation == coQuote) {
            std::string Out = EscapeText(Shown) + "\n";
            if (!FReplyCut && FReplyLines.size() + Out.size() <= CliMaxReplyBytes) {
                FReplyLines += Out;
            } else {
                FReplyCut = true;
                FCutLast = std::move(Out);
            }
        }
    };
    FClient.OnFtpConnected = [this](TObject *) {
        FControlConnected = true;
        if (FOptions.Verbose)
            Trace("* Connected");
    };
    FClient.OnFtpReply = [this](TObject *, int Code, const std::string &Text) { Reply(Code, Text); };
    FClient.OnFtpStatus = [this](TObject *, TIpFtpStatusCode Code, const std::string &Info) { Status(Code, Info); };
    FClient.OnFtpError = [this](TObject *, int, const std::string &Text) {
        // A server without SYST or PWD still gets its listing.
        if (FPhase == phSystem || FPhase == phSystemPwd)
            return;
        if (FPhase == phLogin || FPhase == phChangeDir || FPhase == phOperation)
            Fail(CliExitServer, OneLine(Text));
    };
    // Socket errors while logging in (the control connection's).
    FClient.OnFtpLoginError = [this](TObject *, int Code, const std::string &Text) {
        if (!FDecided)
            Fail(CliExitNetwork, NetworkMessage(FClient.ControlSocket(), Code, Text));
    };
    FClient.OnError = [this](TObject *, TSocket Handle, int Code, const std::string &Text) {
        // A cut listing is still shown; the run then fails with the reason.
        if (Code == IpFtpListingCutCode && FPhase == phOperation && !FDecided) {
            FListingCut = OneLine(Text);
            return;
        }
        // A job reports each file's failure itself and goes on.
        if (FPhase >= phQuit || FDecided || FPhase == phJob)
            return;
        if (IpFtpIsLocalError(Code))
            Fail(CliExitLocal, OneLine(Text));
        else
            Fail(CliExitNetwork, NetworkMessage(Handle, Code, Text));
    };
    FClient.OnFtpDisconnected = [this](TObject *) {
        // A QUIT sent with quote: the client closes on the 221 before it
        // reports the reply itself.
        if (FPhase == phOperation && FOptions.Operation == coQuote && FReplyLines.compare(0, 4, "221 ") == 0) {
            std::fwrite(FReplyLines.data(), 1, FReplyLines.size(), stdout);
            FReplyLines.clear();
            FDecided = true;
            FExitCode = CliExitOk;
        }
        if (FPhase == phJob && FJob)
            FJob->ConnectionLost();
        if (FPhase < phQuit)
            Fail(CliExitNetwork, "Connection closed by the server");
        FinishNow();
    };
    FClient.OnIdleTimeout = [this](TObject *, TSocket, bool &Reset) {
        // The control connection is quiet while data flows; the data
        // connection has its own time-out.
        if ((FPhase == phOperation || FPhase == phJob) && FClient.DataSocket() != INVALID_SOCKET) {
            Reset = true;
            return;
        }
        if (FPhase == phQuit) {
            FinishNow();
            return;
        }
        Fail(CliExitTimeout, "Timed out waiting for the server");
    };
}

void TCliSession::Start()
{
    const auto &A = FOptions.Args;
    // A folder job checks its own sides once logged in.
    switch (FOptions.Recursive ? coNone : FOptions.Operation) {
    case coGet: {
        FRemotePath = A[0];
        const std::string Name = BaseName(A[0]);
        if (A.size() < 2)
            FLocalPath = Name;
        else if (IsDirectory(A[1]))
            FLocalPath = A[1] + (A[1].back() == '/' ? "" : "/") + Name;
        else
            FLocalPath = A[1];
        if (FLocalPath.empty() || IsDirectory(FLocalPath)) {
            Fail(CliExitLocal, "no local file name for '" + EscapeText(A[0]) + "'");
            return;
        }
        const int64_t Existing = RegularFileSize(FLocalPath);
        if (FOptions.Mode == cmRestart) {
            // Resuming without an offset continues where the local file ends.
            FRestartAt = FOptions.RestartAt >= 0 ? FOptions.RestartAt : std::max<int64_t>(Existing, 0);
            FStartOffset = FRestartAt <= std::max<int64_t>(Existing, 0) ? FRestartAt : std::max<int64_t>(Existing, 0);
        } else if (FOptions.Mode == cmAppend) {
            FStartOffset = std::max<int64_t>(Existing, 0);
        }
        break;
    }
    case coPut: {
        FLocalPath = A[0];
        FRemotePath = A.size() > 1 ? A[1] : BaseName(A[0]);
        FTotal = RegularFileSize(FLocalPath);
        if (FTotal < 0 || ::access(FLocalPath.c_str(), R_OK) != 0) {
            Fail(CliExitLocal, EscapeText(FLocalPath) + ": not a readable file");
            return;
        }
        if (FRemotePath.empty()) {
            Fail(CliExitUsage, "no remote file name for '" + EscapeText(FLocalPath) + "'");
            return;
        }
        if (FOptions.Mode == cmRestart) {
            FRestartAt = FOptions.RestartAt;
            FStartOffset = FRestartAt <= FTotal ? FRestartAt : 0;
        }
        break;
    }
    default:
        break;
    }

    // Bulk downloads: a large kernel receive buffer lets each read
    // notification drain more at once (the settings record's default of a
    // few KiB suits interactive use).
    FClient.DataInits()->SetReceiveBufferSize(CliReceiveBufferSize);
    FClient.SetDefaultPort(FOptions.Port);
    FClient.SetPassiveMode(FOptions.Passive);
    FClient.SetFileType(FOptions.Ascii ? ftAscii : ftBinary);
    FClient.SetPreferMlsd(!FOptions.ForceList);
    FClient.SetTransferTimeout(FOptions.TimeoutMs);
    FClient.SetIdleTimeout(FOptions.TimeoutMs);
    if (FOptions.UseSocks) {
        TIpSocksServerInfo *Socks = FClient.SocksServer();
        Socks->SetAddress(FOptions.SocksHost);
        Socks->SetPort(FOptions.SocksPort);
        Socks->SetSocksVersion(FOptions.SocksVersion);
        Socks->SetRemoteLookup(FOptions.SocksRemoteLookup);
        Socks->SetUserCode(FOptions.SocksUser);
        Socks->SetPassword(FOptions.SocksPassword);
    }

    FClient.SetTlsMode(FOptions.Tls == ctImplicit   ? tmImplicit
                       : FOptions.Tls == ctRequired ? tmRequired
                       : FOptions.Tls == ctTry      ? tmExplicit
                                                    : tmNone);
    FClient.SetImplicitPort(FOptions.Port);
    FClient.SetTlsFingerprint(FOptions.Fingerprint);
    FClient.SetTlsCaFile(FOptions.CaCert);
    FClient.SetTlsVerify(!FOptions.Insecure);
    if (FOptions.Tls != ctNone && FOptions.Insecure)
        WriteErr("Warning: --insecure: the server's certificate is not verified; anyone on the way can read "
                 "and change this session\n");

    if (FOptions.Verbose) {
        std::string Line = "* Connecting to " + IpHostPortText(FOptions.Host, FOptions.Port);
        if (FOptions.UseSocks)
            Line += " through SOCKS proxy " + IpHostPortText(FOptions.SocksHost, FOptions.SocksPort);
        Trace(Line);
    }
    FPhase = phLogin;
    try {
        if (!FClient.Login(FOptions.Host, FOptions.User, FOptions.Password))
            Fail(CliExitNetwork, "cannot start the connection");
    } catch (const EIpWinSockError &E) {
        Fail(CliExitNetwork, NetworkMessage(INVALID_SOCKET, E.ErrorCode(), E.what()));
    } catch (const std::exception &E) {
        Fail(CliExitNetwork, E.what());
    }
}

void TCliSession::HandleException(const std::string &Message)
{
    Fail(CliExitNetwork, Message);
}

void TCliSession::Interrupt(int Signal)
{
    Fail(128 + Signal, "interrupted");
    // No QUIT: a server busy with a transfer would not answer it. ABOR and
    // a reset data connection tell it the transfer is incomplete (an
    // upload closed normally would be kept as a whole file); closing the
    // connections ends everything, and the client removes what an
    // unfinished download left.
    FClient.AbortTransfer();
    FExitCode = 128 + Signal;
    FinishNow();
}

void TCliSession::Reply(int Code, const std::string &Text)
{
    // 421 closes the session without an error event.
    if (Code == 421 && FPhase < phQuit) {
        Fail(CliExitServer, OneLine(Text));
        return;
    }
    switch (FPhase) {
    case phSystem:
        if (Code == 215) {
            FStyle = StyleFromSystemReply(Text);
            // The client follows a system reply with "PWD"; the listing
            // waits for its answer.
            FPhase = phSystemPwd;
        } else {
            FPhase = phOperation;
            Later([this] { StartOperation(); });
        }
        break;
    case phSystemPwd:
        FPhase = phOperation;
        Later([this] { StartOperation(); });
        break;
    case phChangeDir:
        if (Code >= 200 && Code < 300) {
            FDirChanged = true;
            FPhase = phOperation;
            Later([this] { StartOperation(); });
        } else if (Code >= 300) {
            Fail(CliExitServer, OneLine(Text));
        }
        break;
    case phOperation:
        OperationReply(Code, Text);
        break;
    default:
        break;
    }
}

void TCliSession::OperationReply(int Code, const std::string &Text)
{
    switch (FOptions.Operation) {
    case coList:
    case coNameList:
    case coGet:
    case coPut:
        if (Code == 150 && FOptions.Operation == coGet) {
            const int64_t Size = SizeFromReply(Text);
            if (Size >= 0)
                FTotal = Size;
        }
        if (Code == 226 || Code == 250) {
            FFinalReply = true;
            TransferPartDone();
        }
        break;
    case coRename:
        if (Code != 350 && Code >= 200)
            Succeed();
        break;
    case coDelete:
    case coChmod:
    case coMakeDir:
    case coRemoveDir:
        if (Code >= 200)
            Succeed();
        break;
    case coQuote: {
        std::fwrite(FReplyLines.data(), 1, FReplyLines.size(), stdout);
        FReplyLines.clear();
        if (FReplyCut) {
            // The closing line still shows the reply's code.
            std::fwrite(FCutLast.data(), 1, FCutLast.size(), stdout);
            FReplyCut = false;
            const std::string Note = "reply cut at " + std::to_string(CliMaxReplyBytes) + " bytes";
            if (FDecided)
                WriteErr("tolvane-cli: " + Note + "\n");
            else
                Fail(CliExitServer, Note);
            break;
        }
        if (Code >= 200)
            Succeed();
        break;
    }
    default:
        break;
    }
}

void TCliSession::Status(TIpFtpStatusCode Code, const std::string &Info)
{
    switch (Code) {
    case fscLogin:
        if (FPhase == phLogin && FClient.TlsFellBack()) {
            // Asked for, not had: said even without -v.
            Trace("Warning: --ssl: the server refused AUTH TLS; this session, the password included, is not "
                  "encrypted");
        } else if (FOptions.Verbose && FPhase == phLogin) {
            TIpDataSocket *Control = FClient.FindDataSocket(FClient.ControlSocket(), false);
            // How the certificate came to be accepted tells how much the session is worth.
            const TIpFtpTlsTrust Trust = FClient.TlsTrust();
            const char *How = Trust == ttVerified ? ", certificate verified"
                              : Trust == ttPinned ? ", certificate pinned by its fingerprint"
                                                  : ", certificate not verified";
            if (Control && Control->Tls() && FClient.TlsActive())
                Trace("* TLS " + Control->Tls()->Version() + ", " + Control->Tls()->Cipher() + How);
        }
        if (FPhase == phLogin)
            Later([this] { AfterLogin(); });
        break;
    case fscProgress:
        if (FPhase == phOperation)
            ShowProgress(false);
        break;
    case fscDirList:
        if (FPhase == phOperation) {
            // The listing may be tens of MiB: printed from the event's own
            // text when the server has confirmed it already, kept only
            // otherwise.
            FDataDone = true;
            if (FFinalReply) {
                TransferPartDone(&Info);
            } else {
                FListing = Info;
                TransferPartDone();
            }
        }
        break;
    case fscTransferOK:
        if (FPhase == phOperation) {
            ShowProgress(true);
            FDataDone = true;
            TransferPartDone();
        }
        break;
    case fscTimeout:
        if (FPhase < phQuit && FPhase != phJob)
            Fail(CliExitTimeout, "Transfer timed out");
        break;
    default:
        break;
    }
}

void TCliSession::AfterLogin()
{
    if (FPhase != phLogin)
        return;
    if (FOptions.Verbose)
        Trace("* Logged in");
    if (FOptions.Operation == coList) {
        // The listing's style comes from the server's system name.
        FPhase = phSystem;
        if (!FClient.QuerySystem()) {
            FPhase = phOperation;
            StartOperation();
        }
        return;
    }
    FPhase = phOperation;
    StartOperation();
}

void TCliSession::StartOperation()
{
    if (FPhase != phOperation)
        return;
    const auto &A = FOptions.Args;
    bool Started = false;
    if (FOptions.Recursive) {
        FPhase = phJob;
        FJob = std::make_unique<TCliTreeJob>(FClient, FOptions, FProgressTty,
                                             [this](int Code, const std::string &Message) { JobDone(Code, Message); });
        FJob->Start();
        return;
    }
    try {
        switch (FOptions.Operation) {
        case coList:
        case coNameList:
            if (FClient.FtpState() != stReady)
                break;
            // Into the folder first, then list it: some servers read a LIST
            // argument as options and patterns, so a name with blanks or a
            // leading "-" would list something else.
            if (!A.empty() && !A[0].empty() && !FDirChanged) {
                FPhase = phChangeDir;
                Started = FClient.SendFtpCommand("CWD " + A[0]);
                break;
            }
            FClient.ListDir(std::string(), FOptions.Operation == coList);
            Started = true;
            break;
        case coGet: {
            const TIpFtpRetrieveMode Mode = FOptions.Mode == cmAppend    ? rmAppend
                                            : FOptions.Mode == cmRestart ? rmRestart
                                                                         : rmReplace;
            FTransferStart = std::chrono::steady_clock::now();
            Started = FClient.Retrieve(FRemotePath, FLocalPath, Mode, FRestartAt);
            break;
        }
        case coPut: {
            const TIpFtpStoreMode Mode = FOptions.Mode == cmAppend    ? smAppend
                                         : FOptions.Mode == cmUnique  ? smUnique
                                         : FOptions.Mode == cmRestart ? smRestart
                                                                      : smReplace;
            FTransferStart = std::chrono::steady_clock::now();
            Started = FClient.Store(FRemotePath, FLocalPath, Mode, FRestartAt);
            break;
        }
        case coDelete:
            Started = FClient.Delete(A[0]);
            break;
        case coRename:
            Started = FClient.Rename(A[0], A[1]);
            break;
        case coChmod:
            Started = FClient.SendFtpCommand("SITE CHMOD " + A[0] + " " + A[1]);
            break;
        case coQuote:
            Started = FClient.SendFtpCommand(A[0]);
            break;
        case coMakeDir:
            Started = FClient.MakeDir(A[0]);
            break;
        case coRemoveDir:
            Started = FClient.RemoveDir(A[0]);
            break;
        default:
            break;
        }
    } catch (const EIpStreamError &E) {
        Fail(CliExitLocal, E.what());
        return;
    } catch (const std::exception &E) {
        Fail(CliExitNetwork, E.what());
        return;
    }
    if (!Started)
        Fail(CliExitNetwork, "the client is not ready for the operation");
}

void TCliSession::TransferPartDone(const std::string *Listing)
{
    // Both the data connection's end and the server's final reply are
    // needed: the server may still refuse after the data has moved.
    if (!FDataDone || !FFinalReply || FDecided)
        return;
    if (FOptions.Operation == coList || FOptions.Operation == coNameList) {
        PrintListing(Listing ? *Listing : FListing);
        FListing.clear();
        FListing.shrink_to_fit();
        if (!FListingCut.empty()) {
            Fail(CliExitServer, FListingCut);
            return;
        }
    }
    Succeed();
}

void TCliSession::PrintListing(const std::string &Listing)
{
    // Written out in pieces: a listing at the client's cap must not be
    // held a second time as text.
    std::string Out;
    auto Flush = [&Out](bool Final) {
        if (Final || Out.size() >= (1u << 20)) {
            std::fwrite(Out.data(), 1, Out.size(), stdout);
            Out.clear();
        }
    };
    if (FOptions.Operation == coNameList) {
        size_t Start = 0;
        while (Start < Listing.size()) {
            size_t End = Listing.find('\n', Start);
            if (End == std::string::npos)
                End = Listing.size();
            std::string Line = Listing.substr(Start, End - Start);
            if (!Line.empty() && Line.back() == '\r')
                Line.pop_back();
            if (!Line.empty())
                Out += EscapeText(Line) + "\n";
            Flush(false);
            Start = End + 1;
        }
    } else {
        TIpFtpDirStyle Style = FClient.ListedWithMlsd() ? dsMlsd : FStyle != dsNone ? FStyle : GuessStyle(Listing);
        if (FOptions.Verbose) {
            static const char *Names[] = {"none", "unix", "dos", "multinet", "vms", "user", "mlsd", "auto"};
            Trace(std::string("* Listing style: ") + Names[Style]);
        }
        // One entry per line in these styles, so the listing is parsed a
        // few MiB at a time: the entries of a whole listing at the cap
        // would take several times its size. VMS and MultiNet entries may
        // continue on the next line and are parsed in one piece.
        const bool LineBased = Style == dsUnix || Style == dsDos || Style == dsNone || Style == dsMlsd;
        const size_t Piece = LineBased ? (size_t(4) << 20) : Listing.size();
        TIpFtpFileList List;
        for (size_t From = 0; From < Listing.size();) {
            size_t To = From + Piece >= Listing.size() ? Listing.size() : Listing.find('\n', From + Piece);
            To = To == std::string::npos ? Listing.size() : To + 1;
            List.ParseListing(std::string_view(Listing).substr(From, To - From), Style);
            for (size_t I = 0; I < List.Count(); ++I) {
                Out += FormatEntry(*List[I]) + "\n";
                Flush(false);
            }
            From = To;
        }
    }
    Flush(true);
}

std::string TCliSession::NetworkMessage(TSocket Handle, int Code, const std::string &EngineText)
{
    if (FOptions.Verbose)
        Trace("* " + OneLine(EngineText));
    // Proxy refusals and other texts of the engine's own say it already.
    if (Code < 10000 || Code >= 12000)
        return OneLine(EngineText);
    const std::string Reason = ReasonText(Code);
    const bool Control = Handle == FClient.ControlSocket() || (Handle == INVALID_SOCKET && !FControlConnected);
    if (Control) {
        // The engine reports a proxy name it cannot look up in more than one way.
        if (FOptions.UseSocks && !FControlConnected && !Resolves(FOptions.SocksHost))
            return "cannot resolve proxy host '" + EscapeText(FOptions.SocksHost) + "'";
        if (Code >= 11001 && Code <= 11004)
            return "cannot resolve host '" + EscapeText(FOptions.Host) + "'";
        const std::string Where = FOptions.UseSocks ? "proxy " + EscapeText(FOptions.SocksHost) + " port " +
                                                          std::to_string(FOptions.SocksPort)
                                                    : EscapeText(IpHostText(FOptions.Host)) + " port " + std::to_string(FOptions.Port);
        if (!FControlConnected)
            return "cannot connect to " + Where + ": " + Reason;
        return "connection to " + Where + " failed: " + Reason;
    }
    std::string Where;
    if (TIpDataSocket *Data = FClient.FindDataSocket(Handle, false)) {
        const TSockAddrIn &Addr = Data->RemoteAddr();
        if (!IpAddrUnspecified(Addr))
            Where = " to " + IpAddrText(Addr) + " port " + std::to_string(IpAddrPort(Addr));
    }
    return "data connection" + Where + " failed: " + Reason;
}

void TCliSession::JobDone(int Code, const std::string &Message)
{
    if (Code == CliExitOk)
        Succeed();
    else
        Fail(Code, Message.empty() ? std::string("the job did not complete") : Message);
}

void TCliSession::Succeed()
{
    if (FDecided)
        return;
    FDecided = true;
    FExitCode = CliExitOk;
    Later([this] { Quit(); });
}

void TCliSession::Fail(int Code, const std::string &Message)
{
    if (FDecided)
        return;
    FDecided = true;
    FExitCode = Code;
    EndProgressLine();
    WriteErr("tolvane-cli: " + Message + "\n");
    Later([this] { Quit(); });
}

void TCliSession::Quit()
{
    if (FPhase == phQuit || FPhase == phDone)
        return;
    FPhase = phQuit;
    if (FClient.ControlSocket() == INVALID_SOCKET || !FClient.Connected() || !FClient.Logout()) {
        FinishNow();
        return;
    }
    ArmQuitTimer();
}

void TCliSession::ArmQuitTimer()
{
    std::weak_ptr<bool> Alive = FAlive;
    QTimer::singleShot(QuitGraceMs, [this, Alive] {
        if (auto A = Alive.lock(); A && *A)
            FinishNow();
    });
}

void TCliSession::FinishNow()
{
    if (FFinished)
        return;
    FFinished = true;
    FPhase = phDone;
    EndProgressLine();
    std::fflush(stdout);
    if (std::ferror(stdout) && FExitCode == CliExitOk) {
        WriteErr("tolvane-cli: cannot write to standard output\n");
        FExitCode = CliExitLocal;
    }
    FFinish(FExitCode);
}

void TCliSession::Trace(const std::string &Line)
{
    // A verbose line must not land in the middle of the progress line.
    EndProgressLine();
    WriteErr(Line + "\n");
}

void TCliSession::ShowProgress(bool Final)
{
    if (!FProgressTty || (FOptions.Operation != coGet && FOptions.Operation != coPut))
        return;
    const auto Now = std::chrono::steady_clock::now();
    const double Seconds = std::chrono::duration<double>(Now - FTransferStart).count();
    const uint64_t Moved = static_cast<uint64_t>(std::max<int64_t>(FClient.BytesTransferred(), 0));
    const uint64_t Position = static_cast<uint64_t>(FStartOffset) + Moved;
    WriteErr("\r" + ProgressText(Position, FTotal, Moved, Seconds) + "\x1b[K");
    FProgressShown = true;
    if (Final)
        EndProgressLine();
}

void TCliSession::EndProgressLine()
{
    if (!FProgressShown)
        return;
    FProgressShown = false;
    WriteErr("\n");
}
