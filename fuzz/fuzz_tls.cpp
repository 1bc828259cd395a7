// The TLS engine's two faces to a hostile server.
//
// Mode 0 (first byte even): the server's side of the handshake is the
// fuzzer's bytes, cut into pieces of fuzzed sizes. The engine must end in
// a defined state: still waiting, or failed with a reason; its input window
// is never exceeded and nothing decrypts.
//
// Mode 1 (first byte odd): a real server in the same process completes the
// handshake, then sends the fuzzer's bytes as application data in records
// of fuzzed sizes, mixed with close_notify or raw garbage. What the client
// decrypts, read in fuzzed portions, must be exactly a prefix of what the
// server sent (all of it unless garbage broke the stream), and a broken
// stream must be reported as a failure with a reason.

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "socket/IpTls.h"

namespace {

SSL_CTX *ServerContext()
{
    static SSL_CTX *Ctx = [] {
        // A throw-away certificate made once: the client does not verify it.
        EVP_PKEY *Key = EVP_EC_gen("P-256");
        X509 *Cert = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(Cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(Cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(Cert), 3600);
        X509_set_pubkey(Cert, Key);
        X509_NAME *Name = X509_get_subject_name(Cert);
        X509_NAME_add_entry_by_txt(Name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("fuzz"), -1,
                                   -1, 0);
        X509_set_issuer_name(Cert, Name);
        X509_sign(Cert, Key, EVP_sha256());
        SSL_CTX *C = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(C, Cert);
        SSL_CTX_use_PrivateKey(C, Key);
        X509_free(Cert);
        EVP_PKEY_free(Key);
        return C;
    }();
    return Ctx;
}

std::shared_ptr<TIpTlsContext> ClientContext()
{
    static auto Ctx = std::make_shared<TIpTlsContext>(std::string(), false);
    return Ctx;
}

std::string Drain(BIO *B)
{
    std::string Out;
    char Buf[4096];
    int R;
    while ((R = BIO_read(B, Buf, sizeof(Buf))) > 0)
        Out.append(Buf, size_t(R));
    return Out;
}

void CheckState(const TIpTls &Tls)
{
    FUZZ_CHECK(Tls.State() <= tlsFailed, "state %d", int(Tls.State()));
    if (Tls.State() == tlsFailed)
        FUZZ_CHECK(!Tls.ErrorText().empty(), "a failure without a reason");
}

void HostileHandshake(TFuzzReader &In)
{
    TIpTls Client(ClientContext(), "fuzz.example", nullptr);
    Client.Start();
    FUZZ_CHECK(Client.HasOutput(), "no ClientHello");
    Client.TakeOutput();
    while (!In.Empty() && Client.State() == tlsHandshake) {
        const std::string Piece(In.Bytes(size_t(In.Byte()) * 8 + 1));
        const size_t Took = Client.Feed(Piece.data(), Piece.size());
        FUZZ_CHECK(Took <= Piece.size(), "took more than given");
        FUZZ_CHECK(!Client.InputFull() || Took < Piece.size() || Piece.size() >= TIpTls::MaxPendingInput / 2,
                   "window full after a small piece");
        Client.Advance();
        Client.TakeOutput();
        CheckState(Client);
        char Buf[256];
        FUZZ_CHECK(Client.ReadPlain(Buf, sizeof(Buf)) == 0 || Client.State() == tlsReady,
                   "plaintext before the handshake ended");
    }
}

void HostileRecords(TFuzzReader &In)
{
    SSL *Server = SSL_new(ServerContext());
    BIO *SIn = BIO_new(BIO_s_mem());
    BIO *SOut = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(SIn, -1);
    SSL_set_bio(Server, SIn, SOut);
    SSL_set_accept_state(Server);
    TIpTls Client(ClientContext(), "127.0.0.1", nullptr);
    Client.Start();
    std::string ToClient;
    for (int Round = 0; Round < 20 && Client.State() == tlsHandshake; ++Round) {
        const std::string W = Client.TakeOutput();
        BIO_write(SIn, W.data(), int(W.size()));
        SSL_do_handshake(Server);
        ToClient += Drain(SOut);
        ToClient.erase(0, Client.Feed(ToClient.data(), ToClient.size()));
        Client.Advance();
    }
    FUZZ_CHECK(Client.State() == tlsReady, "handshake with a real server failed: %s", Client.ErrorText().c_str());

    std::string Sent;     // application bytes the server sent
    std::string Got;      // what the client decrypted
    bool Broken = false;  // raw garbage went into the stream
    bool Closed = false;
    char Buf[8192];
    while (!In.Empty() && Client.State() == tlsReady) {
        const uint8_t Op = In.Byte();
        if (Op < 200 && !Closed && !Broken) {
            const std::string Data(In.Bytes(size_t(Op) * 37 + 1));
            if (!Data.empty() && SSL_write(Server, Data.data(), int(Data.size())) == int(Data.size()))
                Sent += Data;
        } else if (Op < 220 && !Closed && !Broken) {
            SSL_shutdown(Server);
            Closed = true;
        } else if (Op < 230) {
            ToClient += In.Bytes(In.Byte() + 1);
            Broken = true;
        }
        ToClient += Drain(SOut);
        ToClient.erase(0, Client.Feed(ToClient.data(), ToClient.size()));
        // Read in portions of fuzzed sizes.
        const size_t Portion = size_t(In.Byte()) * 33 + 1;
        for (int I = 0; I < 64; ++I) {
            const size_t N = Client.ReadPlain(Buf, std::min(Portion, sizeof(Buf)));
            if (N == 0) {
                ToClient.erase(0, Client.Feed(ToClient.data(), ToClient.size()));
                if (Client.ReadPlain(Buf, 0) == 0 && (ToClient.empty() || Client.InputFull()))
                    break;
                continue;
            }
            Got.append(Buf, N);
        }
        Client.TakeOutput();
        CheckState(Client);
        FUZZ_CHECK(Got.size() <= Sent.size() && Sent.compare(0, Got.size(), Got) == 0,
                   "decrypted bytes differ from what was sent (%zu of %zu)", Got.size(), Sent.size());
        if (Client.State() == tlsFailed)
            FUZZ_CHECK(Broken, "a clean stream failed: %s", Client.ErrorText().c_str());
        if (Client.State() == tlsClosed)
            FUZZ_CHECK(Closed && Got == Sent, "closed early or with bytes missing");
    }
    Client.Shutdown();
    Client.TakeOutput();
    SSL_free(Server);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    TFuzzReader In(Data, Size);
    if (In.Byte() % 2 == 0)
        HostileHandshake(In);
    else
        HostileRecords(In);
    return 0;
}
