// The TLS engine on its own, against an OpenSSL server in the same process:
// the bytes travel between the two through memory only, so the handshake,
// the records, the bounded input, session resumption and every
// verification outcome are checked without a socket or an FTP server.

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "socket/IpTls.h"
#include "support/TestCerts.h"
#include "support/TestPaths.h"

namespace {

// A TLS server over memory BIOs with its own session cache.
class TMemoryServer
{
public:
    explicit TMemoryServer(const std::string &Pem)
    {
        FCtx = SSL_CTX_new(TLS_server_method());
        EXPECT_EQ(SSL_CTX_use_certificate_chain_file(FCtx, Pem.c_str()), 1);
        EXPECT_EQ(SSL_CTX_use_PrivateKey_file(FCtx, Pem.c_str(), SSL_FILETYPE_PEM), 1);
        const unsigned char Id[] = "tolvane-test";
        SSL_CTX_set_session_id_context(FCtx, Id, sizeof(Id) - 1);
    }
    ~TMemoryServer()
    {
        SSL_free(FSsl);
        SSL_CTX_free(FCtx);
    }
    void NewConnection()
    {
        SSL_free(FSsl);
        FSsl = SSL_new(FCtx);
        FIn = BIO_new(BIO_s_mem());
        FOut = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(FIn, -1);
        SSL_set_bio(FSsl, FIn, FOut);
        SSL_set_accept_state(FSsl);
    }
    // Moves bytes both ways until neither side has anything more to say;
    // the client takes only what its bounded input allows each time.
    void Pump(TIpTls &Client, std::string *ServerGot = nullptr)
    {
        for (int Round = 0; Round < 10000; ++Round) {
            bool Moved = false;
            std::string Wire = Client.TakeOutput();
            if (!Wire.empty()) {
                BIO_write(FIn, Wire.data(), int(Wire.size()));
                Moved = true;
            }
            char Buf[16384];
            int R;
            while ((R = SSL_read(FSsl, Buf, sizeof(Buf))) > 0) {
                if (ServerGot)
                    ServerGot->append(Buf, size_t(R));
                Moved = true;
            }
            SSL_do_handshake(FSsl);
            FPending += TakeServerOutput();
            if (!FPending.empty()) {
                const size_t Took = Client.Feed(FPending.data(), FPending.size());
                FPending.erase(0, Took);
                Moved = Moved || Took > 0;
            }
            Client.Advance();
            Moved = Moved || Client.HasOutput();
            if (!Moved)
                return;
            if (Client.State() == tlsReady && FPending.empty() && !Client.HasOutput() && !ServerGot)
                return;
        }
        ADD_FAILURE() << "pump did not settle";
    }
    SSL *Ssl() const { return FSsl; }
    std::string &Pending() { return FPending; }

private:
    std::string TakeServerOutput()
    {
        std::string Out;
        char Buf[16384];
        int R;
        while ((R = BIO_read(FOut, Buf, sizeof(Buf))) > 0)
            Out.append(Buf, size_t(R));
        return Out;
    }

    SSL_CTX *FCtx = nullptr;
    SSL *FSsl = nullptr;
    BIO *FIn = nullptr;
    BIO *FOut = nullptr;
    std::string FPending; // server output the client has not taken yet
};

class TlsEngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!TTestCerts::Available())
            GTEST_SKIP() << "the openssl command is missing (Debian package openssl)";
        ASSERT_TRUE(TTestCerts::Get().Error.empty()) << TTestCerts::Get().Error;
    }
    const TTestCerts &Certs() const { return TTestCerts::Get(); }

    // Reads everything the client has decrypted, feeding it the server's
    // pending bytes in bounded steps.
    std::string ReadAll(TMemoryServer &Server, TIpTls &Client, size_t Expect)
    {
        std::string Got;
        char Buf[8192];
        for (int Round = 0; Round < 100000 && Got.size() < Expect; ++Round) {
            const size_t N = Client.ReadPlain(Buf, sizeof(Buf));
            Got.append(Buf, N);
            if (N == 0) {
                if (Server.Pending().empty())
                    Server.Pump(Client);
                const size_t Took = Client.Feed(Server.Pending().data(), Server.Pending().size());
                Server.Pending().erase(0, Took);
                if (Took == 0 && Server.Pending().empty() && Client.ReadPlain(Buf, 0) == 0 &&
                    !Client.HasOutput())
                    break;
            }
        }
        return Got;
    }
};

} // namespace

TEST_F(TlsEngineTest, CarriesDataBothWaysAndSeesTheServersCloseNotify)
{
    auto Context = std::make_shared<TIpTlsContext>(Certs().CaFile, true);
    TMemoryServer Server(Certs().ServerPem);
    Server.NewConnection();
    TIpTls Client(Context, "localhost", nullptr);
    Client.Start();
    EXPECT_TRUE(Client.HasOutput()); // the ClientHello
    Server.Pump(Client);
    ASSERT_EQ(Client.State(), tlsReady) << Client.ErrorText();
    EXPECT_EQ(Client.Version(), "TLSv1.3");
    EXPECT_FALSE(Client.Cipher().empty());
    EXPECT_FALSE(Client.SessionReused());

    const std::string Up = RandomBytes(1024 * 1024 + 3, 7);
    Client.WritePlain(Up.data(), Up.size());
    std::string ServerGot;
    Server.Pump(Client, &ServerGot);
    EXPECT_EQ(ServerGot.size(), Up.size());
    EXPECT_TRUE(ServerGot == Up);

    // More than the client's input window: it must take it in steps.
    const std::string Down = RandomBytes(300001, 8);
    ASSERT_EQ(SSL_write(Server.Ssl(), Down.data(), int(Down.size())), int(Down.size()));
    SSL_shutdown(Server.Ssl());
    Server.Pump(Client);
    EXPECT_LE(Server.Pending().size() + 0, Down.size() + 4096);
    EXPECT_TRUE(Client.InputFull() || Server.Pending().empty());
    const std::string Got = ReadAll(Server, Client, Down.size() + 1);
    EXPECT_EQ(Got.size(), Down.size());
    EXPECT_TRUE(Got == Down);
    EXPECT_EQ(Client.State(), tlsClosed);
    Client.Shutdown();
    EXPECT_TRUE(Client.HasOutput()); // our close_notify
}

TEST_F(TlsEngineTest, ALaterConnectionResumesTheNewestSession)
{
    auto Context = std::make_shared<TIpTlsContext>(Certs().CaFile, true);
    TMemoryServer Server(Certs().ServerPem);
    Server.NewConnection();
    TIpTls Control(Context, "127.0.0.1", nullptr);
    Control.Start();
    Server.Pump(Control);
    ASSERT_EQ(Control.State(), tlsReady) << Control.ErrorText();
    // TLS 1.3 tickets come after the handshake, with the first records read.
    char Buf[16];
    Control.ReadPlain(Buf, sizeof(Buf));
    ASSERT_TRUE(Context->LatestSession());
    const SSL_SESSION *First = Context->LatestSession().get();

    for (int Data = 0; Data < 3; ++Data) {
        SCOPED_TRACE("data connection " + std::to_string(Data));
        Server.NewConnection();
        TIpTls Conn(Context, "127.0.0.1", Context->LatestSession());
        Conn.Start();
        Server.Pump(Conn);
        ASSERT_EQ(Conn.State(), tlsReady) << Conn.ErrorText();
        EXPECT_TRUE(Conn.SessionReused());
        Conn.ReadPlain(Buf, sizeof(Buf));
        // Both ends close cleanly: OpenSSL gives up a session whose
        // connection just stopped.
        SSL_shutdown(Server.Ssl());
        Server.Pump(Conn);
        Conn.ReadPlain(Buf, sizeof(Buf));
        EXPECT_EQ(Conn.State(), tlsClosed);
        Conn.Shutdown();
        Server.Pump(Conn);
    }
    EXPECT_NE(Context->LatestSession().get(), First);
}

struct TVerifyCase
{
    const char *Name;
    std::string TTestCerts::*Pem;
    std::string TTestCerts::*Trust;
    const char *Host;
    bool Verify;
    const char *Error; // empty: accepted
};

class TlsVerifyTest : public TlsEngineTest, public ::testing::WithParamInterface<TVerifyCase>
{
};

TEST_P(TlsVerifyTest, NamesTheReasonOfARefusedCertificate)
{
    const TVerifyCase &P = GetParam();
    auto Context = std::make_shared<TIpTlsContext>(Certs().*P.Trust, P.Verify);
    TMemoryServer Server(Certs().*P.Pem);
    Server.NewConnection();
    TIpTls Client(Context, P.Host, nullptr);
    Client.Start();
    Server.Pump(Client);
    // The server learns the name asked for (SNI), never an address.
    const char *Sni = SSL_get_servername(Server.Ssl(), TLSEXT_NAMETYPE_host_name);
    EXPECT_EQ(std::string(Sni ? Sni : ""), IpTlsIsAddress(P.Host) ? "" : P.Host);
    if (!*P.Error) {
        EXPECT_EQ(Client.State(), tlsReady) << Client.ErrorText();
        return;
    }
    EXPECT_EQ(Client.State(), tlsFailed);
    EXPECT_EQ(Client.ErrorText(), P.Error);
    EXPECT_THROW(Client.WritePlain("x", 1), EIpTlsError);
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, TlsVerifyTest,
    ::testing::Values(
        TVerifyCase{"trusted_name", &TTestCerts::ServerPem, &TTestCerts::CaFile, "localhost", true, ""},
        TVerifyCase{"trusted_address", &TTestCerts::ServerPem, &TTestCerts::CaFile, "127.0.0.1", true, ""},
        TVerifyCase{"unknown_ca", &TTestCerts::ServerPem, &TTestCerts::OtherCaFile, "localhost", true,
                    "certificate verify failed: unable to get local issuer certificate"},
        TVerifyCase{"expired", &TTestCerts::ExpiredPem, &TTestCerts::CaFile, "localhost", true,
                    "certificate verify failed: certificate has expired"},
        TVerifyCase{"other_name", &TTestCerts::WrongNamePem, &TTestCerts::CaFile, "localhost", true,
                    "certificate verify failed: host name mismatch"},
        TVerifyCase{"name_not_in_certificate", &TTestCerts::ServerPem, &TTestCerts::CaFile, "ftp.example.org", true,
                    "certificate verify failed: host name mismatch"},
        TVerifyCase{"subject_name_without_alt_names", &TTestCerts::CnOnlyPem, &TTestCerts::CaFile, "localhost", true,
                    "certificate verify failed: host name mismatch"},
        TVerifyCase{"partial_wildcard", &TTestCerts::PartialWildcardPem, &TTestCerts::CaFile, "foo.test.lan", true,
                    "certificate verify failed: host name mismatch"},
        TVerifyCase{"other_address", &TTestCerts::ServerPem, &TTestCerts::CaFile, "127.0.0.2", true,
                    "certificate verify failed: IP address mismatch"},
        TVerifyCase{"trusted_ipv6_address", &TTestCerts::ServerPem, &TTestCerts::CaFile, "::1", true, ""},
        TVerifyCase{"other_ipv6_address", &TTestCerts::ServerPem, &TTestCerts::CaFile, "::2", true,
                    "certificate verify failed: IP address mismatch"},
        TVerifyCase{"unverified_accepts_anything", &TTestCerts::ExpiredPem, &TTestCerts::OtherCaFile,
                    "ftp.example.org", false, ""}),
    [](const testing::TestParamInfo<TVerifyCase> &Info) { return std::string(Info.param.Name); });

TEST_F(TlsEngineTest, PlainTextFromTheServerFailsTheHandshakeWithAReason)
{
    auto Context = std::make_shared<TIpTlsContext>(Certs().CaFile, true);
    TIpTls Client(Context, "localhost", nullptr);
    Client.Start();
    Client.TakeOutput();
    const std::string Reply = "530 Please login with USER and PASS.\r\n";
    Client.Feed(Reply.data(), Reply.size());
    EXPECT_TRUE(Client.Advance());
    EXPECT_EQ(Client.State(), tlsFailed);
    EXPECT_EQ(Client.ErrorText().rfind("TLS handshake failed: ", 0), 0u) << Client.ErrorText();
    EXPECT_GT(Client.ErrorText().size(), std::string("TLS handshake failed: ").size());
    char Buf[64];
    EXPECT_EQ(Client.ReadPlain(Buf, sizeof(Buf)), 0u);
}

TEST_F(TlsEngineTest, TakesNoMoreInputThanItsWindow)
{
    auto Context = std::make_shared<TIpTlsContext>(std::string(), true);
    TIpTls Client(Context, "localhost", nullptr);
    Client.Start();
    const std::string Flood(1024 * 1024, '\x17');
    size_t Taken = 0;
    for (int I = 0; I < 100; ++I)
        Taken += Client.Feed(Flood.data(), Flood.size());
    EXPECT_EQ(Taken, TIpTls::MaxPendingInput);
    EXPECT_TRUE(Client.InputFull());
    EXPECT_EQ(Client.Feed("x", 1), 0u);
}

TEST_F(TlsEngineTest, ACaFileThatCannotBeLoadedIsRefusedAtOnce)
{
    TTempDir Dir;
    ASSERT_TRUE(WriteFile(Dir.File("not-a-cert.pem"), "hello\n"));
    for (const std::string &File : {Dir.File("missing.pem"), Dir.File("not-a-cert.pem")}) {
        try {
            TIpTlsContext Context(File, true);
            ADD_FAILURE() << "accepted " << File;
        } catch (const EIpTlsError &E) {
            EXPECT_EQ(std::string(E.what()).rfind("Cannot load CA file \"" + File + "\"", 0), 0u) << E.what();
        }
    }
}
