#pragma once
// TLS for the data socket: one OpenSSL client connection that never touches
// the OS socket itself. The socket feeds it the bytes it received and sends
// the bytes it produces (both through memory BIOs), so a handshake or a
// record never blocks the event loop. The buffers are bounded: the socket
// stops reading while the engine still holds a full window of undecrypted
// bytes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;
typedef struct bio_st BIO;

// Settings shared by every TLS connection of one client: the trust anchors
// and whether the peer's certificate is checked at all.
class TIpTlsContext
{
public:
    // CaFile empty: the system trust store. Raises EIpTlsError when the CA
    // file cannot be loaded (a typo must not silently fall back to nothing).
    TIpTlsContext(const std::string &CaFile, bool Verify);
    ~TIpTlsContext();
    TIpTlsContext(const TIpTlsContext &) = delete;
    TIpTlsContext &operator=(const TIpTlsContext &) = delete;

    SSL_CTX *Handle() const { return FCtx; }
    bool Verify() const { return FVerify; }
    const std::string &CaFile() const { return FCaFile; }
    // The newest session any connection of this context received: the one
    // the next data connection offers for resumption. Servers may take a
    // TLS 1.3 ticket only once, so each new ticket replaces the last.
    std::shared_ptr<SSL_SESSION> LatestSession() const { return FLatest; }
    void SetLatestSession(std::shared_ptr<SSL_SESSION> Value) { FLatest = std::move(Value); }

private:
    SSL_CTX *FCtx = nullptr;
    std::shared_ptr<SSL_SESSION> FLatest;
    bool FVerify = true;
    std::string FCaFile;
};

// A session that later connections may resume (shared by the control
// connection that made it and the data connections that reuse it).
using TIpTlsSessionRef = std::shared_ptr<SSL_SESSION>;

// Error code of every TLS failure reported through the socket control's
// DoError (beside the WinSock numbers and the line-too-long code 8001).
inline constexpr int IpTlsErrorCode = 8002;

class EIpTlsError : public std::runtime_error
{
public:
    explicit EIpTlsError(const std::string &Msg) : std::runtime_error(Msg) {}
};

enum TIpTlsState : uint8_t {
    tlsHandshake,  // records so far are handshake records
    tlsReady,      // application data flows
    tlsClosed,     // the peer sent its close_notify
    tlsFailed      // handshake or record error; ErrorText() says why
};

class TIpTls
{
public:
    // Bytes of undecrypted input the engine may hold before the socket
    // stops reading: four full records.
    static constexpr size_t MaxPendingInput = 4 * 16384 + 4096;

    // HostName is what the certificate must name: a DNS name (also sent as
    // SNI) or a dotted IPv4 address (checked against the IP entries, no SNI).
    // Resume, when set, is offered to the server for resumption.
    TIpTls(std::shared_ptr<TIpTlsContext> Context, const std::string &HostName, TIpTlsSessionRef Resume);
    ~TIpTls();
    TIpTls(const TIpTls &) = delete;
    TIpTls &operator=(const TIpTls &) = delete;

    // Produces the ClientHello (take it with TakeOutput).
    void Start();
    // Received wire bytes. Returns how many were taken (fewer than Len when
    // the input window is full).
    size_t Feed(const void *Bytes, size_t Len);
    bool InputFull() const;
    // Runs the handshake on as far as the input allows. True when the state
    // changed (to tlsReady or tlsFailed).
    bool Advance();
    // Decrypted application bytes, at most Max; 0 when none are ready (or
    // the peer closed; see State()).
    size_t ReadPlain(void *Out, size_t Max);
    // Encrypts all of Plain into records (ready state only) and appends
    // them to the output.
    void WritePlain(const void *Plain, size_t Len);
    // The connection's input has ended (TCP end of stream): what the engine
    // holds is all there is, so an end without the peer's close_notify is
    // an error of the stream, not a wait for more (see Truncated).
    void InputEnded();
    // The input ended without close_notify, inside or between records:
    // whatever was read may be only part of what the peer meant to send.
    bool Truncated() const { return FTruncated; }
    // Queues the close_notify alert (once).
    void Shutdown();
    // Wire bytes the engine wants to send; moved out.
    bool HasOutput() const;
    std::string TakeOutput();

    TIpTlsState State() const { return FState; }
    const std::string &ErrorText() const { return FError; }
    bool SessionReused() const;
    std::string Version() const;
    std::string Cipher() const;
    const std::string &HostName() const { return FHostName; }

    // Before Start: the handshake completes whatever the verification
    // finds; VerifyFailure() then tells what it found, and the owner
    // decides (IpTlsPeer.cpp).
    void DeferVerify();
    // Before Start: only the certificate with this SHA-256 fingerprint
    // (64 upper-case hex digits) is accepted, without CA or name checks;
    // any other fails the handshake with Refusal + the two fingerprints.
    void RequirePeer(const std::string &Sha256Hex, const std::string &Refusal);
    // Why the peer's certificate failed verification (chain, dates, name),
    // empty when it passed. Only meaningful once the handshake completed.
    std::string VerifyFailure() const;
    // SHA-256 of the peer's leaf certificate, 64 upper-case hex digits;
    // empty before the handshake has seen one.
    std::string PeerSha256() const;
    // The peer's leaf certificate for a person to judge.
    struct TCertificate {
        std::string Subject, Issuer, NotBefore, NotAfter, Sha256, Pem;
    };
    TCertificate PeerCertificate() const;

    // OpenSSL's new-session hook (set on the context).
    static int NewSessionCallbackThunk(SSL *Ssl, SSL_SESSION *Session);

private:
    void Fail(int SslError);
    // The handshake has completed: the pinned certificate, when one is
    // required, must be the one presented.
    void CheckRequiredPeer();

    std::shared_ptr<TIpTlsContext> FContext;
    std::string FHostName;
    TIpTlsSessionRef FResume;
    SSL *FSsl = nullptr;
    BIO *FIn = nullptr;   // owned by FSsl
    BIO *FOut = nullptr;  // owned by FSsl
    TIpTlsState FState = tlsHandshake;
    std::string FError;
    bool FShutdownSent = false;
    bool FInputEnded = false;
    bool FTruncated = false;
    std::string FRequiredPeer;
    std::string FPeerRefusal;
};

// A SHA-256 fingerprint as a person writes it (hex, with or without colons
// or blanks, any case) into 64 upper-case hex digits; false when it is not one.
bool IpTlsParseFingerprint(const std::string &Text, std::string &Hex);
// 64 hex digits as "AB:CD:...", the way fingerprints are shown.
std::string IpTlsShowFingerprint(const std::string &Hex);

// True when Text is a dotted IPv4 address (then no SNI is sent and the
// certificate must carry the address).
bool IpTlsIsAddress(const std::string &Text);
