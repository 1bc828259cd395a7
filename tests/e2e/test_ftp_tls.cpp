// FTP over TLS against real servers: vsftpd (which insists that every data
// connection resumes the control connection's session) and pyftpdlib's TLS
// handler, both requiring TLS for the login and the data. Files of edge
// sizes go both ways in passive and active mode and are compared by
// checksum; a certificate the client must not trust ends the login before
// "USER " reaches the server.

#include "test_ftp_e2e_fixture.h"

#include "base/IpDebugLog.h"
#include "base/IpEventLog.h"
#include "support/TestCerts.h"

#include <tuple>

namespace {

using TParam = std::tuple<std::string, bool>; // server kind, passive

bool HaveTlsPeers(const std::string &Kind, std::string &Why)
{
    if (!TServer::Available(Kind)) {
        Why = TServer::Missing(Kind);
        return false;
    }
    if (!TTestCerts::Available()) {
        Why = "the openssl command is missing (Debian package openssl)";
        return false;
    }
    return true;
}

class FtpTlsTest : public ::testing::TestWithParam<TParam>
{
protected:
    void SetUp() override
    {
        const bool Implicit = std::get<0>(GetParam()).size() > 6;
        const std::string Kind = std::get<0>(GetParam()).substr(0, 6);
        std::string Why;
        if (!HaveTlsPeers(Kind, Why))
            GTEST_SKIP() << Why;
        const TTestCerts &Certs = TTestCerts::Get();
        ASSERT_TRUE(Certs.Error.empty()) << Certs.Error;
        Server = std::make_unique<TServer>(Kind, TPyFtpdOptions{}, Certs.ServerPem, Implicit);
        ASSERT_TRUE(Server->Start());
        S.Client.SetFileType(ftBinary);
        S.Client.SetPassiveMode(std::get<1>(GetParam()));
        S.Client.SetTransferTimeout(30000);
        S.Client.SetTlsMode(Implicit ? tmImplicit : tmRequired);
        S.Client.SetTlsCaFile(Certs.CaFile);
        ASSERT_TRUE(S.LoginTo(*Server)) << Server->Log();
        ASSERT_TRUE(S.Client.TlsActive());
        EXPECT_EQ(S.Client.TlsTrust(), ttVerified);
    }

    testing::AssertionResult Upload(const std::string &Remote, const std::string &Local)
    {
        S.Events.clear();
        if (!S.Client.Store(Remote, Local, smReplace, 0))
            return testing::AssertionFailure() << "Store refused";
        return S.WaitTransfer();
    }
    testing::AssertionResult Download(const std::string &Remote, const std::string &Local,
                                      TIpFtpRetrieveMode Mode = rmReplace, int64_t RestartAt = 0)
    {
        S.Events.clear();
        if (!S.Client.Retrieve(Remote, Local, Mode, RestartAt))
            return testing::AssertionFailure() << "Retrieve refused";
        return S.WaitTransfer();
    }
    // Up and back down again, compared with the original at each end.
    void RoundTrip(uint64_t Size)
    {
        SCOPED_TRACE("size " + std::to_string(Size));
        const std::string Name = "f" + std::to_string(Size) + ".bin";
        const uint64_t Sum = MakeRandomFile(Local.File(Name), Size, Size + 3);
        ASSERT_TRUE(Upload(Name, Local.File(Name))) << Server->Log();
        EXPECT_EQ(FileChecksum(Server->Path(Name)), Sum);
        EXPECT_EQ(S.Client.BytesTransferred(), int64_t(Size)); // plaintext bytes, not wire bytes
        ASSERT_TRUE(Download(Name, Local.File(Name + ".back"))) << Server->Log();
        EXPECT_EQ(FileSize(Local.File(Name + ".back")), int64_t(Size));
        EXPECT_EQ(FileChecksum(Local.File(Name + ".back")), Sum);
        EXPECT_EQ(S.Client.BytesTransferred(), int64_t(Size));
    }

    std::unique_ptr<TServer> Server;
    TSession S;
    TTempDir Local;
};

std::string ParamName(const testing::TestParamInfo<TParam> &Info)
{
    return std::get<0>(Info.param) + (std::get<1>(Info.param) ? "_passive" : "_active");
}

} // namespace

TEST_P(FtpTlsTest, ListsAndMovesSmallFilesOverProtectedConnections)
{
    Server->Put("hello.txt", "hello over TLS\r\n");
    TIpFtpFileList Root;
    ASSERT_TRUE(S.List("", Root));
    ASSERT_NE(Find(Root, "hello.txt"), nullptr) << S.LastListing;
    EXPECT_EQ(Find(Root, "hello.txt")->Size, 16);
    RoundTrip(0);
    RoundTrip(1);
    RoundTrip(100000);
}

TEST_P(FtpTlsTest, SlowMovesALargeFileBothWays)
{
    RoundTrip(64ull * 1024 * 1024 + 7);
}

TEST_P(FtpTlsTest, RestartsADownloadWhereTheLocalFileEnds)
{
    const std::string Data = RandomBytes(300000, 9);
    Server->Put("r.bin", Data);
    ASSERT_TRUE(WriteFile(Local.File("r.bin"), Data.substr(0, 123457)));
    ASSERT_TRUE(Download("r.bin", Local.File("r.bin"), rmRestart, 123457));
    EXPECT_EQ(ReadFile(Local.File("r.bin")), Data);
    EXPECT_TRUE(S.Has("reply 350")) << S.Joined();
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpTlsTest,
                         ::testing::Combine(::testing::Values(std::string("vsftpd"), std::string("pyftpd")),
                                            ::testing::Bool()),
                         ParamName);
INSTANTIATE_TEST_SUITE_P(Implicit, FtpTlsTest,
                         ::testing::Combine(::testing::Values(std::string("vsftpd_implicit"),
                                                              std::string("pyftpd_implicit")),
                                            ::testing::Values(true)),
                         ParamName);

// ---------------------------------------------------------------------------

TEST(FtpTlsLogin, SendsAuthPbszAndProtInOrderAndNotesTheCipher)
{
    std::string Why;
    if (!HaveTlsPeers("vsftpd", Why))
        GTEST_SKIP() << Why;
    TServer Server("vsftpd", {}, TTestCerts::Get().ServerPem);
    ASSERT_TRUE(Server.Start());
    TSession S;
    S.Client.SetTlsMode(tmExplicit);
    S.Client.SetTlsCaFile(TTestCerts::Get().CaFile);
    S.Client.EventLog()->SetEnabled(true);
    TTempDir Logs;
    S.Client.EventLog()->SetFileName(Logs.File("event.log"));
    ASSERT_TRUE(S.LoginTo(Server)) << Server.Log();
    ASSERT_TRUE(S.Client.TlsActive());
    const std::string Wire = Server.Log();
    const auto Auth = Wire.find("\"AUTH TLS\"");
    const auto User = Wire.find("\"USER ");
    const auto Pbsz = Wire.find("\"PBSZ 0\"");
    const auto Prot = Wire.find("\"PROT P\"");
    ASSERT_NE(Auth, std::string::npos) << Wire;
    ASSERT_NE(User, std::string::npos) << Wire;
    ASSERT_NE(Pbsz, std::string::npos) << Wire;
    ASSERT_NE(Prot, std::string::npos) << Wire;
    EXPECT_LT(Auth, User);
    EXPECT_LT(User, Pbsz);
    EXPECT_LT(Pbsz, Prot);
    TIpFtpFileList Root;
    ASSERT_TRUE(S.List("", Root)); // vsftpd refuses a data connection that does not resume the session
    S.Client.EventLog()->SetEnabled(false);
    const std::string Events = ReadFile(Logs.File("event.log"));
    EXPECT_NE(Events.find("TLS connection: TLSv1."), std::string::npos) << Events;
    EXPECT_NE(Events.find("session resumed"), std::string::npos) << Events;
}

TEST(FtpTlsLogin, WorksThroughASocksProxy)
{
    std::string Why;
    if (!HaveTlsPeers("vsftpd", Why))
        GTEST_SKIP() << Why;
    if (!TMicrosocksProxy::Available())
        GTEST_SKIP() << TMicrosocksProxy::Missing();
    TServer Server("vsftpd", {}, TTestCerts::Get().ServerPem);
    ASSERT_TRUE(Server.Start());
    TMicrosocksProxy Proxy;
    ASSERT_TRUE(Proxy.Start());
    TSession S;
    S.Client.SocksServer()->SetAddress("127.0.0.1");
    S.Client.SocksServer()->SetPort(Proxy.Port());
    S.Client.SocksServer()->SetSocksVersion(svSocks5);
    S.Client.SetTlsMode(tmRequired);
    S.Client.SetTlsCaFile(TTestCerts::Get().CaFile);
    S.Client.SetPassiveMode(true);
    S.Client.SetFileType(ftBinary);
    ASSERT_TRUE(S.LoginTo(Server)) << Server.Log();
    ASSERT_TRUE(S.Client.TlsActive());
    TTempDir Local;
    const uint64_t Sum = MakeRandomFile(Local.File("p.bin"), 200001, 5);
    S.Events.clear();
    ASSERT_TRUE(S.Client.Store("p.bin", Local.File("p.bin"), smReplace, 0));
    ASSERT_TRUE(S.WaitTransfer());
    EXPECT_EQ(FileChecksum(Server.Path("p.bin")), Sum);
    S.Events.clear();
    ASSERT_TRUE(S.Client.Retrieve("p.bin", Local.File("back.bin"), rmReplace, 0));
    ASSERT_TRUE(S.WaitTransfer());
    EXPECT_EQ(FileChecksum(Local.File("back.bin")), Sum);
}

// ---------------------------------------------------------------------------
// Certificates the client must not accept: the login ends with the reason
// and the server never sees "USER ".

struct TRefusal
{
    const char *Name;
    std::string TTestCerts::*ServerPem;
    std::string TTestCerts::*Trust;
    const char *Host;
    const char *Reason; // empty: accepted
    bool Verify;
};

class FtpTlsRefusalTest : public ::testing::TestWithParam<TRefusal>
{
};

TEST_P(FtpTlsRefusalTest, EndsTheLoginBeforeAnyCredentialLeaves)
{
    std::string Why;
    if (!HaveTlsPeers("pyftpd", Why))
        GTEST_SKIP() << Why;
    const TTestCerts &Certs = TTestCerts::Get();
    ASSERT_TRUE(Certs.Error.empty()) << Certs.Error;
    const TRefusal &P = GetParam();
    TServer Server("pyftpd", {}, Certs.*P.ServerPem);
    ASSERT_TRUE(Server.Start());
    TSession S;
    S.Client.SetTlsMode(tmExplicit);
    S.Client.SetTlsCaFile(Certs.*P.Trust);
    S.Client.SetTlsVerify(P.Verify);
    ASSERT_TRUE(S.Client.Login(std::string(P.Host) + ":" + std::to_string(Server.Port()), Server.User(),
                               Server.Password()));
    if (!*P.Reason) {
        ASSERT_TRUE(S.WaitFor("fscLogin", 10000)) << Server.Log();
        EXPECT_TRUE(S.Client.TlsActive());
        return;
    }
    ASSERT_TRUE(RunUntil([&] { return S.Has("loginerror " + std::to_string(IpTlsErrorCode)); }, 10000))
        << S.Joined();
    EXPECT_EQ(S.LastError, std::string("certificate verify failed: ") + P.Reason + " (the server presented SHA-256 " +
                               TTestCerts::Sha256(Certs.*P.ServerPem) + ")");
    EXPECT_EQ(S.Client.FtpState(), stClosed);
    RunUntil([] { return false; }, 300); // whatever the client might still send
    const std::string Log = Server.Log();
    EXPECT_NE(Log.find("AUTH TLS"), std::string::npos) << Log;
    EXPECT_EQ(Log.find("USER"), std::string::npos) << Log;
    EXPECT_EQ(Log.find(Server.Password()), std::string::npos) << Log;
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, FtpTlsRefusalTest,
    ::testing::Values(
        TRefusal{"unknown_ca", &TTestCerts::ServerPem, &TTestCerts::OtherCaFile, "127.0.0.1",
                 "unable to get local issuer certificate", true},
        TRefusal{"expired", &TTestCerts::ExpiredPem, &TTestCerts::CaFile, "127.0.0.1", "certificate has expired", true},
        TRefusal{"other_name", &TTestCerts::WrongNamePem, &TTestCerts::CaFile, "localhost",
                 "the certificate does not name localhost",
                 true},
        TRefusal{"other_address", &TTestCerts::WrongNamePem, &TTestCerts::CaFile, "127.0.0.1",
                 "the certificate does not name 127.0.0.1", true},
        TRefusal{"name_accepted", &TTestCerts::ServerPem, &TTestCerts::CaFile, "localhost", "", true},
        TRefusal{"insecure_accepts_expired", &TTestCerts::ExpiredPem, &TTestCerts::OtherCaFile, "127.0.0.1", "",
                 false}),
    [](const testing::TestParamInfo<TRefusal> &Info) { return std::string(Info.param.Name); });

TEST(FtpTlsLogin, TheDebugLogShowsThePlaintextButNeverThePassword)
{
    std::string Why;
    if (!HaveTlsPeers("pyftpd", Why))
        GTEST_SKIP() << Why;
    TServer Server("pyftpd", {}, TTestCerts::Get().ServerPem);
    ASSERT_TRUE(Server.Start());
    TTempDir Logs;
    {
        TSession S;
        S.Client.SetTlsMode(tmRequired);
        S.Client.SetTlsCaFile(TTestCerts::Get().CaFile);
        S.Client.DebugLog()->SetFileName(Logs.File("ftplog.txt"));
        S.Client.DebugLog()->SetEnabled(true);
        ASSERT_TRUE(S.LoginTo(Server)) << Server.Log();
    } // the log is written when the client goes
    const std::string Log = ReadFile(Logs.File("ftplog.txt"));
    // The socket's own data entries are the decrypted and the not yet
    // encrypted bytes: the server's replies and our commands in clear text.
    EXPECT_NE(Log.find("Write - 8 bytes written"), std::string::npos) << Log;
    EXPECT_NE(Log.find(": PROT P.."), std::string::npos) << Log; // the hex dump's text column
    EXPECT_NE(Log.find("Read - "), std::string::npos) << Log;
    EXPECT_NE(Log.find("PASS ****"), std::string::npos) << Log;
    EXPECT_EQ(Log.find(Server.Password()), std::string::npos) << Log;
    EXPECT_NE(Log.find("230"), std::string::npos) << Log;
}
