// How the client comes to accept the server's certificate: verified by
// the CA chain and the host name, pinned by its fingerprint, or trusted by
// the user after a question the event loop waits on; and implicit TLS,
// which starts the handshake before the server has said a word.

#include "ftp/IpFtpClient.h"

#include <arpa/inet.h>

#include "base/IpDebugLog.h"

void TIpCustomFtpClient::SetTlsFingerprint(const std::string &Sha256)
{
    FTlsFingerprint = Sha256;
}

std::unique_ptr<TIpTls> TIpCustomFtpClient::MakeControlTls()
{
    auto Tls = std::make_unique<TIpTls>(FTlsContext, TlsHostName(), nullptr);
    if (!FTlsPin.empty())
        Tls->RequirePeer(FTlsPin, "The server's certificate is not the pinned one");
    else
        Tls->DeferVerify();
    return Tls;
}

void TIpCustomFtpClient::StartImplicitTls(TSocket Handle)
{
    // Held until the connect (or the proxy's grant); the socket's own
    // "connected" then waits for the handshake.
    FTlsStage = tsHandshake;
    FindDataSocket(Handle, true)->StartTls(MakeControlTls());
}

void TIpCustomFtpClient::CertificateChecked()
{
    TIpDataSocket *Socket = FindDataSocket(FControlSocket, false);
    TIpTls *Tls = Socket ? Socket->Tls() : nullptr;
    if (!Tls || FTlsStage != tsHandshake)
        return;
    FTlsPeerSha256 = Tls->PeerSha256();
    if (!FTlsPin.empty()) {
        // The TLS engine has already refused any other certificate.
        FTlsTrust = ttPinned;
        TlsAccepted();
        return;
    }
    const std::string Failure = FTlsContext->Verify() ? Tls->VerifyFailure() : std::string();
    if (Failure.empty()) {
        // Without verification the user has taken the certificate as it is.
        FTlsTrust = FTlsContext->Verify() ? ttVerified : ttUserTrusted;
        TlsAccepted();
        return;
    }
    const TIpTls::TCertificate Cert = Tls->PeerCertificate();
    WriteEventLog("Certificate verification failed: " + Failure + "; SHA-256 " + Cert.Sha256);
    if (!OnFtpCertificate) {
        FailLogin(IpTlsErrorCode,
                  "certificate verify failed: " + Failure + " (the server presented SHA-256 " + Cert.Sha256 + ")");
        return;
    }
    TIpFtpCertificateInfo Info;
    Info.Host = TlsHostName();
    Info.Port = IpAddrPort(Socket->RemoteAddr());
    Info.Subject = Cert.Subject;
    Info.Issuer = Cert.Issuer;
    Info.NotBefore = Cert.NotBefore;
    Info.NotAfter = Cert.NotAfter;
    Info.Reason = Failure;
    Info.Sha256 = Cert.Sha256;
    Info.Pem = Cert.Pem;
    // Nothing goes out until the answer, and the connection's idle time
    // does not run out while a person reads the question.
    FCertificatePending = true;
    DoFtpCertificate(Info);
}

void TIpCustomFtpClient::AnswerCertificate(bool Trust)
{
    if (!FCertificatePending)
        return;
    FCertificatePending = false;
    if (!Trust) {
        FHeldReplies.clear();
        FTlsStage = tsOff;
        WriteEventLog("Certificate not trusted");
        EndLogin(FControlSocket, IpFtpCertificateRefusedCode, "The server's certificate was not trusted");
        return;
    }
    FTlsTrust = ttUserTrusted;
    if (TIpDataSocket *Socket = FindDataSocket(FControlSocket, false))
        Socket->ResetIdle();
    TlsAccepted();
}

void TIpCustomFtpClient::TlsAccepted()
{
    FTlsStage = tsSecured;
    if (FTlsMode == tmImplicit) {
        // The greeting comes inside TLS; it may have come already while
        // the question was open.
        FImplicitGreeting = true;
        std::vector<std::pair<std::string, int>> Held;
        Held.swap(FHeldReplies);
        for (const auto &[Text, Code] : Held) {
            if (FControlSocket == INVALID_SOCKET)
                break;
            ProcessReply(Text, Code);
        }
        return;
    }
    // An explicit-TLS server speaks only when spoken to.
    FHeldReplies.clear();
    if (FUserName.empty()) {
        // Logged in without "USER ": protect the data connections first.
        FTlsStage = tsPbsz;
        SendCommand("PBSZ 0");
        return;
    }
    AfterGreeting();
}

bool TIpCustomFtpClient::ImplicitGreeting(int Code)
{
    if (!FImplicitGreeting || Code < 200)
        return false;
    FImplicitGreeting = false;
    if (Code != 220)
        return false;
    if (FUserName.empty()) {
        FTlsStage = tsPbsz;
        SendCommand("PBSZ 0");
    } else {
        AfterGreeting();
    }
    return true;
}

std::string TIpCustomFtpClient::TlsVersion() const
{
    if (FTlsStage < tsSecured)
        return std::string();
    auto *Self = const_cast<TIpCustomFtpClient *>(this);
    TIpDataSocket *Socket = FControlSocket == INVALID_SOCKET ? nullptr : Self->FindDataSocket(FControlSocket, false);
    if (!Socket || !Socket->Tls())
        return std::string();
    // OpenSSL's "TLSv1.3" as a person reads it.
    std::string Version = Socket->Tls()->Version();
    if (Version.compare(0, 4, "TLSv") == 0)
        Version = "TLS " + Version.substr(4);
    return Version;
}

void TIpCustomFtpClient::DoFtpCertificate(const TIpFtpCertificateInfo &Info)
{
    if (OnFtpCertificate)
        OnFtpCertificate(this, Info);
}
