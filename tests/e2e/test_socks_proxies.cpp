// The FTP client through real SOCKS proxies (microsocks, dante): log in,
// list, upload and download in passive mode with every connection going
// through the proxy, and a wrong proxy password ending in an error event.

#include "test_ftp_e2e_fixture.h"

#include "socket/IpSocks.h"

#include <memory>
#include <string>
#include <vector>

namespace {

// Remembers, for every connection the client reports as connected, how far
// its proxy negotiation got.
class TProxiedFtpClient : public TIpFtpClient
{
public:
    void DoStatus(TSocket Handle, TIpStatusKind Kind, const TIpConnRec &Conn) override
    {
        if (Kind == skConnect)
            if (TIpDataSocket *S = FindDataSocket(Handle, false))
                ConnectStates.push_back(S->SocksState());
        TIpFtpClient::DoStatus(Handle, Kind, Conn);
    }
    std::vector<uint8_t> ConnectStates;
};

class TProxySession
{
public:
    TProxySession()
    {
        Client.OnFtpReply = [this](TObject *, int Code, const std::string &) {
            Events.push_back("reply " + std::to_string(Code));
        };
        Client.OnFtpStatus = [this](TObject *, TIpFtpStatusCode Code, const std::string &Info) {
            if (Code == fscProgress)
                return;
            Events.push_back(StatusName(Code));
            if (Code == fscDirList)
                Listing = Info;
        };
        Client.OnFtpError = [this](TObject *, int Code, const std::string &Text) {
            Events.push_back("error " + std::to_string(Code));
            LastError = Text;
        };
        Client.OnFtpLoginError = [this](TObject *, int Code, const std::string &Text) {
            Events.push_back("loginerror " + std::to_string(Code));
            LastError = Text;
        };
        Client.OnError = [this](TObject *, TSocket, int Code, const std::string &Text) {
            Events.push_back("sockerror " + std::to_string(Code));
            LastError = Text;
        };
        Client.SetFileType(ftBinary);
        Client.SetPassiveMode(true);
        Client.SetTransferTimeout(30000);
        Client.SetIdleTimeout(30000);
    }
    void UseProxy(uint16_t Port, TIpSocksVersion Version, const std::string &User, const std::string &Password)
    {
        TIpSocksServerInfo *S = Client.SocksServer();
        S->SetAddress("127.0.0.1");
        S->SetPort(Port);
        S->SetSocksVersion(Version);
        S->SetUserCode(User);
        S->SetPassword(Password);
    }
    bool Has(const std::string &E) const
    {
        for (const auto &e : Events)
            if (e == E)
                return true;
        return false;
    }
    std::string Joined() const
    {
        std::string s;
        for (const auto &e : Events)
            s += (s.empty() ? "" : ", ") + e;
        return s;
    }
    testing::AssertionResult WaitFor(const std::function<bool()> &Done, const char *What, int Ms)
    {
        if (!RunUntil(Done, Ms))
            return testing::AssertionFailure() << "no " << What << "; events: " << Joined()
                                               << "; last error: " << LastError;
        return testing::AssertionSuccess();
    }
    testing::AssertionResult Login(const TServer &Server, const std::string &Host = "127.0.0.1")
    {
        Events.clear();
        if (!Client.Login(Host + ":" + std::to_string(Server.Port()), Server.User(), Server.Password()))
            return testing::AssertionFailure() << "Login refused";
        return WaitFor([&] { return Has("fscLogin") && Client.FtpState() == stReady; }, "login", 15000);
    }
    testing::AssertionResult WaitTransfer()
    {
        auto R = WaitFor(
            [&] { return Has("fscTransferOK") && Has("reply 226") && Client.FtpState() == stReady; },
            "finished transfer", 60000);
        if (R && (Has("fscTimeout") || Has("sockerror 10054")))
            return testing::AssertionFailure() << "transfer failed: " << Joined();
        return R;
    }

    TProxiedFtpClient Client;
    std::vector<std::string> Events;
    std::string LastError, Listing;
};

struct TProxyCase
{
    const char *Name;
    bool Dante;
    TIpSocksVersion Version;
    bool Auth;
    bool Names = false; // the proxy is given the server's name ("localhost") to look up
};

// One running proxy of the case's kind.
struct TRunningProxy
{
    std::unique_ptr<TMicrosocksProxy> Micro;
    std::unique_ptr<TDanteProxy> Dante;
    std::string User, Password;

    static bool Available(const TProxyCase &C)
    {
        return C.Dante ? TDanteProxy::Available() : TMicrosocksProxy::Available();
    }
    static std::string Missing(const TProxyCase &C)
    {
        return C.Dante ? TDanteProxy::Missing() : TMicrosocksProxy::Missing();
    }
    testing::AssertionResult Start(const TProxyCase &C)
    {
        if (C.Dante) {
            TDanteOptions O;
            O.Username = C.Auth;
            O.AllowNone = !C.Auth;
            if (C.Auth) {
                User = TTestAccount::Name();
                Password = TTestAccount::Password();
            }
            Dante = std::make_unique<TDanteProxy>(O);
            return Dante->Start();
        }
        if (C.Auth) {
            User = "tolvaneproxy";
            Password = "proxy-pw";
        }
        Micro = std::make_unique<TMicrosocksProxy>(User, Password);
        return Micro->Start();
    }
    uint16_t Port() const { return Dante ? Dante->Port() : Micro->Port(); }
    std::string Log() const { return Dante ? Dante->Log() : Micro->Log(); }
};

class SocksProxyTest : public ::testing::TestWithParam<TProxyCase>
{
protected:
    void SetUp() override
    {
        if (!TServer::Available("pyftpd"))
            GTEST_SKIP() << TServer::Missing("pyftpd");
        if (!TRunningProxy::Available(GetParam()))
            GTEST_SKIP() << TRunningProxy::Missing(GetParam());
        Server = std::make_unique<TServer>("pyftpd");
        ASSERT_TRUE(Server->Start());
        ASSERT_TRUE(Proxy.Start(GetParam()));
    }

    std::unique_ptr<TServer> Server;
    TRunningProxy Proxy;
    TProxySession S;
    TTempDir Local;
};

} // namespace

TEST_P(SocksProxyTest, LogsInListsUploadsAndDownloadsThroughTheProxy)
{
    const TProxyCase &C = GetParam();
    S.UseProxy(Proxy.Port(), C.Version, Proxy.User, Proxy.Password);
    S.Client.SocksServer()->SetRemoteLookup(C.Names);
    Server->Put("hello.txt", "hello through a proxy\r\n");
    ASSERT_TRUE(S.Login(*Server, C.Names ? "localhost" : "127.0.0.1")) << Proxy.Log();
    if (C.Names) {
        EXPECT_EQ(S.Client.FindSocket(S.Client.ControlSocket(), true)->DestName(), "localhost");
    }

    S.Events.clear();
    S.Client.ListDir("", true);
    // The listing's 226 may come after the data connection's end: wait for
    // it, or it would pass for the upload's.
    ASSERT_TRUE(S.WaitFor([&] { return S.Has("fscDirList") && S.Has("reply 226") && S.Client.FtpState() == stReady; },
                          "listing", 20000));
    EXPECT_NE(S.Listing.find("hello.txt"), std::string::npos) << S.Listing;

    // Every byte value, CR LF and 0xFF included, more than one buffer's worth.
    const std::string Up = Local.File("up.bin");
    const uint64_t Sum = MakeRandomFile(Up, 300000, 11);
    ASSERT_NE(Sum, 0u);
    S.Events.clear();
    ASSERT_TRUE(S.Client.Store("up.bin", Up, smReplace, 0));
    ASSERT_TRUE(S.WaitTransfer());
    EXPECT_EQ(FileChecksum(Server->Path("up.bin")), Sum);

    const std::string Down = Local.File("down.bin");
    S.Events.clear();
    ASSERT_TRUE(S.Client.Retrieve("up.bin", Down, rmReplace, 0));
    ASSERT_TRUE(S.WaitTransfer());
    EXPECT_EQ(FileSize(Down), 300000);
    EXPECT_EQ(FileChecksum(Down), Sum);

    // Control connection, listing, upload, download: each was granted by the
    // proxy before the client heard of it.
    ASSERT_GE(S.Client.ConnectStates.size(), 4u);
    for (uint8_t State : S.Client.ConnectStates)
        EXPECT_EQ(State, IpSocksGranted);
}

INSTANTIATE_TEST_SUITE_P(Proxies, SocksProxyTest,
                         ::testing::Values(TProxyCase{"microsocks_socks5", false, svSocks5, false},
                                           TProxyCase{"microsocks_socks5_password", false, svSocks5, true},
                                           TProxyCase{"dante_socks4", true, svSocks4, false},
                                           TProxyCase{"dante_socks4a", true, svSocks4a, false},
                                           TProxyCase{"dante_socks5", true, svSocks5, false},
                                           TProxyCase{"dante_socks5_password", true, svSocks5, true},
                                           TProxyCase{"dante_socks5_hostname", true, svSocks5, false, true},
                                           TProxyCase{"microsocks_socks5_hostname", false, svSocks5, false, true}),
                         [](const ::testing::TestParamInfo<TProxyCase> &I) { return std::string(I.param.Name); });

namespace {

// Logs in through a password-protected proxy with the wrong password; the
// refusal must be an error event and leave the client closed, well before
// any time-out.
void WrongProxyPassword(uint16_t ProxyPort, const std::string &User, const TServer &Server, int ExpectedCode)
{
    TProxySession S;
    S.UseProxy(ProxyPort, svSocks5, User, "not-the-password");
    ASSERT_TRUE(S.Client.Login("127.0.0.1:" + std::to_string(Server.Port()), Server.User(), Server.Password()));
    ASSERT_TRUE(S.WaitFor([&] { return !S.Events.empty() && S.Client.FtpState() == stClosed; }, "login error",
                          10000));
    ASSERT_EQ(S.Events.front(), "loginerror " + std::to_string(ExpectedCode)) << S.Joined();
    EXPECT_EQ(S.LastError, "SOCKS request refused - " + std::to_string(ExpectedCode));
    EXPECT_FALSE(S.Has("fscLogin"));
    EXPECT_TRUE(S.Client.ConnectStates.empty());
    // The proxy's close afterwards changes nothing.
    RunFor(300);
    EXPECT_EQ(S.Client.FtpState(), stClosed);
    EXPECT_FALSE(S.Client.Connected());
}

} // namespace

TEST(SocksProxyRefusal, WrongPasswordAtMicrosocksIsALoginErrorNotAHang)
{
    if (!TMicrosocksProxy::Available())
        GTEST_SKIP() << TMicrosocksProxy::Missing();
    if (!TServer::Available("pyftpd"))
        GTEST_SKIP() << TServer::Missing("pyftpd");
    TServer Server("pyftpd");
    ASSERT_TRUE(Server.Start());
    TMicrosocksProxy Proxy("tolvaneproxy", "proxy-pw");
    ASSERT_TRUE(Proxy.Start());
    // microsocks answers a wrong password with status 2.
    WrongProxyPassword(Proxy.Port(), "tolvaneproxy", Server, 2);
}

TEST(SocksProxyRefusal, WrongPasswordAtDanteIsALoginErrorNotAHang)
{
    if (!TDanteProxy::Available())
        GTEST_SKIP() << TDanteProxy::Missing();
    if (!TServer::Available("pyftpd"))
        GTEST_SKIP() << TServer::Missing("pyftpd");
    TServer Server("pyftpd");
    ASSERT_TRUE(Server.Start());
    TDanteOptions O;
    O.Username = true;
    O.AllowNone = false;
    TDanteProxy Proxy(O);
    ASSERT_TRUE(Proxy.Start());
    WrongProxyPassword(Proxy.Port(), TTestAccount::Name(), Server, 1);
}
