#include "socket/IpTls.h"

#include "base/IpAddress.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>

namespace {

std::string LastSslReason()
{
    // The deepest entry names the cause ("wrong version number"); later
    // ones only say where it surfaced.
    unsigned long First = 0;
    while (unsigned long E = ERR_get_error())
        if (!First)
            First = E;
    if (!First)
        return std::string();
    const char *Reason = ERR_reason_error_string(First);
    return Reason ? Reason : "error " + std::to_string(ERR_GET_REASON(First));
}

std::string VerifyReason(long Code)
{
    switch (Code) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
        return "host name mismatch";
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "IP address mismatch";
    default:
        return X509_verify_cert_error_string(Code);
    }
}

} // namespace

bool IpTlsIsAddress(const std::string &Text)
{
    // An IP literal of either family: checked against the certificate's IP
    // names, and never sent as the server name (which must be a DNS name).
    return IpIsNumericHost(Text);
}

// ---------------------------------------------------------------------------
// Context

TIpTlsContext::TIpTlsContext(const std::string &CaFile, bool Verify) : FVerify(Verify), FCaFile(CaFile)
{
    FCtx = SSL_CTX_new(TLS_client_method());
    if (!FCtx)
        throw EIpTlsError("TLS setup failed: " + LastSslReason());
    SSL_CTX_set_min_proto_version(FCtx, TLS1_2_VERSION);
    // Renegotiation would let a server start a new handshake in the middle
    // of a transfer; nobody needs it for FTP.
    SSL_CTX_set_options(FCtx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_app_data(FCtx, this);
    SSL_CTX_set_session_cache_mode(FCtx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(FCtx, &TIpTls::NewSessionCallbackThunk);
    const int Loaded = CaFile.empty() ? SSL_CTX_set_default_verify_paths(FCtx)
                                      : SSL_CTX_load_verify_locations(FCtx, CaFile.c_str(), nullptr);
    if (Loaded != 1) {
        const std::string Reason = LastSslReason();
        SSL_CTX_free(FCtx);
        FCtx = nullptr;
        throw EIpTlsError(CaFile.empty() ? "Cannot load the system certificates: " + Reason
                                         : "Cannot load CA file \"" + CaFile + "\": " + Reason);
    }
    SSL_CTX_set_verify(FCtx, Verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
}

TIpTlsContext::~TIpTlsContext()
{
    SSL_CTX_free(FCtx);
}

// ---------------------------------------------------------------------------
// Connection

int TIpTls::NewSessionCallbackThunk(SSL *Ssl, SSL_SESSION *Session)
{
    auto *Context = static_cast<TIpTlsContext *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(Ssl)));
    // The newest ticket replaces the last, whichever connection received
    // it: a server may accept a TLS 1.3 ticket only once (vsftpd does), so
    // the next data connection offers the one it got most recently.
    if (!Context || !SSL_SESSION_is_resumable(Session))
        return 0;
    // Returning 1 keeps the reference OpenSSL handed over.
    Context->SetLatestSession(TIpTlsSessionRef(Session, SSL_SESSION_free));
    return 1;
}

TIpTls::TIpTls(std::shared_ptr<TIpTlsContext> Context, const std::string &HostName, TIpTlsSessionRef Resume)
    : FContext(std::move(Context)), FHostName(HostName), FResume(std::move(Resume))
{
    ERR_clear_error();
    FSsl = SSL_new(FContext->Handle());
    if (!FSsl)
        throw EIpTlsError("TLS setup failed: " + LastSslReason());
    FIn = BIO_new(BIO_s_mem());
    FOut = BIO_new(BIO_s_mem());
    if (!FIn || !FOut) {
        BIO_free(FIn);
        BIO_free(FOut);
        SSL_free(FSsl);
        throw EIpTlsError("TLS setup failed: out of memory");
    }
    // An empty input means "wait for more", not end of stream.
    BIO_set_mem_eof_return(FIn, -1);
    SSL_set_bio(FSsl, FIn, FOut);
    SSL_set_connect_state(FSsl);
    if (!FHostName.empty()) {
        // Only the subject's alternative names count, and a wildcard stands
        // for a whole label: OpenSSL would also take the common name of a
        // certificate without them, and "f*" for "foo".
        SSL_set_hostflags(FSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        if (IpTlsIsAddress(FHostName)) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), FHostName.c_str());
        } else {
            SSL_set_tlsext_host_name(FSsl, FHostName.c_str());
            SSL_set1_host(FSsl, FHostName.c_str());
        }
    }
    if (FResume)
        SSL_set_session(FSsl, FResume.get());
}

TIpTls::~TIpTls()
{
    SSL_free(FSsl);
}

void TIpTls::Start()
{
    Advance();
}

size_t TIpTls::Feed(const void *Bytes, size_t Len)
{
    const size_t Pending = BIO_ctrl_pending(FIn);
    const size_t Room = Pending >= MaxPendingInput ? 0 : MaxPendingInput - Pending;
    const size_t Take = std::min(Room, Len);
    if (Take > 0)
        BIO_write(FIn, Bytes, int(Take));
    return Take;
}

bool TIpTls::InputFull() const
{
    return BIO_ctrl_pending(FIn) >= MaxPendingInput;
}

bool TIpTls::Advance()
{
    if (FState != tlsHandshake)
        return false;
    ERR_clear_error();
    const int R = SSL_do_handshake(FSsl);
    if (R == 1) {
        FState = tlsReady;
        CheckRequiredPeer();
        return true;
    }
    const int Err = SSL_get_error(FSsl, R);
    if (Err == SSL_ERROR_WANT_READ || Err == SSL_ERROR_WANT_WRITE)
        return false;
    Fail(Err);
    return true;
}

void TIpTls::Fail(int SslError)
{
    const long Verify = SSL_get_verify_result(FSsl);
    std::string Reason = LastSslReason();
    if (FState == tlsHandshake && FContext->Verify() && Verify != X509_V_OK)
        FError = "certificate verify failed: " + VerifyReason(Verify);
    else if (!Reason.empty())
        FError = (FState == tlsHandshake ? "TLS handshake failed: " : "TLS error: ") + Reason;
    else if (SslError == SSL_ERROR_ZERO_RETURN || SslError == SSL_ERROR_SYSCALL)
        FError = "TLS connection ended unexpectedly";
    else
        FError = "TLS error " + std::to_string(SslError);
    FState = tlsFailed;
}

size_t TIpTls::ReadPlain(void *Out, size_t Max)
{
    if (FState != tlsReady || Max == 0)
        return 0;
    ERR_clear_error();
    const int R = SSL_read(FSsl, Out, int(std::min<size_t>(Max, INT32_MAX)));
    if (R > 0)
        return size_t(R);
    const int Err = SSL_get_error(FSsl, R);
    if (Err == SSL_ERROR_WANT_READ || Err == SSL_ERROR_WANT_WRITE)
        return 0;
    if (Err == SSL_ERROR_ZERO_RETURN) {
        FState = tlsClosed;
        return 0;
    }
    if (FInputEnded && (Err == SSL_ERROR_SYSCALL || (Err == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_error()) ==
                                                                             SSL_R_UNEXPECTED_EOF_WHILE_READING))) {
        ERR_clear_error();
        FTruncated = true;
        return 0;
    }
    Fail(Err);
    return 0;
}

void TIpTls::InputEnded()
{
    if (FInputEnded)
        return;
    FInputEnded = true;
    // An empty input now reads as the end of the stream.
    BIO_set_mem_eof_return(FIn, 0);
}

void TIpTls::WritePlain(const void *Plain, size_t Len)
{
    if (FState != tlsReady)
        throw EIpTlsError("TLS connection is not ready for data");
    const char *P = static_cast<const char *>(Plain);
    while (Len > 0) {
        ERR_clear_error();
        const int R = SSL_write(FSsl, P, int(std::min<size_t>(Len, 1u << 30)));
        if (R <= 0) {
            Fail(SSL_get_error(FSsl, R));
            throw EIpTlsError(FError);
        }
        P += R;
        Len -= size_t(R);
    }
}

void TIpTls::Shutdown()
{
    if (FShutdownSent || (FState != tlsReady && FState != tlsClosed))
        return;
    FShutdownSent = true;
    ERR_clear_error();
    SSL_shutdown(FSsl);
    ERR_clear_error();
}

bool TIpTls::HasOutput() const
{
    return BIO_ctrl_pending(FOut) > 0;
}

std::string TIpTls::TakeOutput()
{
    std::string Out;
    const size_t N = BIO_ctrl_pending(FOut);
    if (N == 0)
        return Out;
    Out.resize(N);
    const int R = BIO_read(FOut, Out.data(), int(N));
    Out.resize(R > 0 ? size_t(R) : 0);
    return Out;
}

bool TIpTls::SessionReused() const
{
    return SSL_session_reused(FSsl) == 1;
}

std::string TIpTls::Version() const
{
    return SSL_get_version(FSsl);
}

std::string TIpTls::Cipher() const
{
    const char *Name = SSL_get_cipher_name(FSsl);
    return Name ? Name : "";
}
