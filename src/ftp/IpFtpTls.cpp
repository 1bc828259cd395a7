// FTP over TLS in the client (explicit mode): "AUTH TLS" after the
// greeting, the handshake and the certificate check before any credential
// goes out, "PBSZ 0" and "PROT P" after the login, and TLS on every data
// connection, resuming the control connection's session.

#include "ftp/IpFtpClient.h"

#include <cctype>

#include "base/IpDebugLog.h"

void TIpCustomFtpClient::PrepareTls()
{
    FTlsStage = tsOff;
    FTlsLoginReply.clear();
    FTlsContext.reset();
    FTlsPin.clear();
    FTlsPeerSha256.clear();
    FTlsTrust = ttNone;
    FTlsFellBack = false;
    FCertificatePending = false;
    FImplicitGreeting = false;
    FHeldReplies.clear();
    if (FTlsMode == tmNone)
        return;
    // Made before anything is sent: a CA file that cannot be read, or a
    // pinned fingerprint that is none, is the caller's error, raised here,
    // not a login that silently trusts something else.
    if (!FTlsFingerprint.empty() && !IpTlsParseFingerprint(FTlsFingerprint, FTlsPin))
        throw EIpTlsError("Not a SHA-256 fingerprint (64 hex digits): \"" + FTlsFingerprint + "\"");
    FTlsContext = std::make_shared<TIpTlsContext>(FTlsCaFile, FTlsVerify);
}

std::string TIpCustomFtpClient::TlsHostName() const
{
    // The certificate names the host the user asked for, without the port
    // (or the brackets of an IPv6 literal).
    std::string Name;
    std::string Port;
    SplitHostText(FHost, Name, Port);
    if (Name.empty())
        Name = FHost;
    return Name;
}

void TIpCustomFtpClient::FailLogin(int Code, const std::string &Text)
{
    FTlsStage = tsOff;
    FTlsLoginReply.clear();
    if (TIpDebugLog *Log = DebugLog())
        Log->AddText(Text);
    // In the login state this ends the connection and reports a login error.
    DoError(FControlSocket, Code, Text);
}

void TIpCustomFtpClient::StartDataTls(TSocket Handle)
{
    if (FTlsStage != tsProtected || !FTlsContext)
        return;
    // The handshake waits for the server's 125/150: a server may take
    // anything on a data connection that comes before the transfer
    // command as a broken connection (pyftpdlib in active mode does).
    if (TIpDataSocket *Socket = FindDataSocket(Handle, false)) {
        // The very certificate the control connection accepted, whatever
        // made it acceptable: another one may be anyone's on the way.
        auto Tls = std::make_unique<TIpTls>(FTlsContext, TlsHostName(), FTlsContext->LatestSession());
        Tls->RequirePeer(FTlsPeerSha256, "The data connection's certificate is not the control connection's");
        Socket->StartTls(std::move(Tls), !FDataTlsGo);
    }
}

void TIpCustomFtpClient::DoTlsReady(TSocket Handle)
{
    if (Handle != FControlSocket || FTlsStage != tsHandshake)
        return;
    CertificateChecked();
}

namespace {

// A reply quoted in an error text: its last line break would end up in the
// middle of a message box or a log line.
std::string Quoted(const std::string &Reply)
{
    std::string Text = Reply;
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r'))
        Text.pop_back();
    return Text;
}

} // namespace

bool TIpCustomFtpClient::TlsReply(const std::string &Text, int Code)
{
    if (FTlsMode == tmNone || !FTlsContext)
        return false;
    switch (FTlsStage) {
    case tsOff:
        if (FFtpState != stLogin) {
            // Replies read after the login has ended (a "421" and then a
            // "220" in one packet) must not take it on outside TLS: the
            // plain rules would send "USER " or count a "230" as a login.
            return Code == 220 || Code == 230 || Code == 331 || Code == 332;
        }
        if (Code < 200 || Code >= 400)
            return false;
        if (Code != 220) {
            // A "331" or "230" in place of the greeting would take the
            // login on (the password out, or a session) before TLS was
            // even asked for.
            FailLogin(Code, "Server replied before AUTH TLS: " + Quoted(Text));
            return true;
        }
        FTlsStage = tsAuth;
        SendCommand("AUTH TLS");
        return true;
    case tsAuth:
        if (Code == 234) {
            FTlsStage = tsHandshake;
            TIpDataSocket *Socket = FindDataSocket(FControlSocket, true);
            // Bytes behind the 234 came before the handshake: a man in the
            // middle could have put them there to be taken for the server's
            // replies after it.
            if (Socket->StartTls(MakeControlTls()) > 0)
                FailLogin(IpTlsErrorCode, "Server sent plain text after AUTH TLS");
            return true;
        }
        if (FTlsMode == tmRequired) {
            FailLogin(Code, "Server does not support TLS");
            return true;
        }
        // Only a refusal means the server has no TLS; a busy or failing
        // server (4xx) is no reason to send the password in the clear.
        if (Code / 100 != 5) {
            FailLogin(Code, "Server did not accept AUTH TLS: " + Quoted(Text));
            return true;
        }
        WriteEventLog("Server does not support TLS, going on without it: " + Quoted(Text));
        FTlsFellBack = true;
        FTlsStage = tsOff;
        FTlsContext.reset();
        AfterGreeting();
        return true;
    case tsHandshake:
        if (FCertificatePending) {
            // Encrypted, but the server is not trusted yet.
            FHeldReplies.emplace_back(Text, Code);
            return true;
        }
        // Every reply now must come through TLS; one that arrives before the
        // handshake has ended was sent in the clear.
        FailLogin(IpTlsErrorCode, "Server sent plain text after AUTH TLS");
        return true;
    case tsSecured:
        if (ImplicitGreeting(Code))
            return true;
        if (Code != 230)
            return false;
        FTlsLoginReply = Text;
        FTlsStage = tsPbsz;
        SendCommand("PBSZ 0");
        return true;
    case tsPbsz:
    case tsProt:
        if (Code / 100 != 2) {
            // Without protected data connections files would travel in the clear.
            FailLogin(Code, "Server refused protected data connections: " + Quoted(Text));
            return true;
        }
        if (FTlsStage == tsPbsz) {
            FTlsStage = tsProt;
            SendCommand("PROT P");
            return true;
        }
        FTlsStage = tsProtected;
        {
            std::string Login;
            Login.swap(FTlsLoginReply);
            if (Login.empty())
                AfterGreeting();
            else
                ProcessReply(Login, 230);
        }
        return true;
    case tsProtected:
        // A server that skips the 1xx and answers at once must not leave the
        // data connection waiting for a go-ahead that never comes.
        if (Code == 125 || Code == 150 || Code == 226 || Code == 250) {
            FDataTlsGo = true;
            if (TIpDataSocket *Socket = FindDataSocket(FDataSocket, false))
                Socket->ReleaseTls();
        }
        return false;
    }
    return false;
}

std::string TIpCustomFtpClient::TlsCutShort()
{
    TIpDataSocket *Socket = FindDataSocket(FDataSocket, false);
    if ((FFtpState != stRetrieve && FFtpState != stDirectory) || !Socket || !Socket->TlsTruncated())
        return std::string();
    // Anyone on the path can end the TCP stream; only close_notify says the
    // server meant the end. A binary download whose announced size arrived
    // to the byte has lost nothing, whatever the server's TLS closing is.
    if (FFtpState == stRetrieve && FTransferBinary && FExpectedSize >= 0 &&
        (FBytesTransferred == FExpectedSize || FRestartOffset + FBytesTransferred == FExpectedSize)) {
        WriteEventLog(Format("Warning: the TLS stream ended without close_notify; all %lld announced bytes arrived",
                             static_cast<long long>(FExpectedSize)));
        return std::string();
    }
    return std::string(FFtpState == stDirectory ? "Listing" : "Download") +
           " incomplete: the TLS stream ended without close_notify";
}
