// Whose certificate the client accepts: a question to the user that holds
// the login (nothing is sent until the answer), a pinned fingerprint, the
// data connections bound to the control connection's certificate, and
// implicit TLS, where the greeting itself comes encrypted.

#include "test_ftp_fixture.h"

#include "support/TestCerts.h"

namespace {

struct FtpTlsTrust : TTransferTest
{
    void SetUp() override
    {
        TTransferTest::SetUp();
        if (!TTestCerts::Available())
            GTEST_SKIP() << "the openssl command is missing (Debian package openssl)";
        ASSERT_TRUE(C.Error.empty()) << C.Error;
        R.Client.SetTlsMode(tmRequired);
        R.Client.OnFtpCertificate = [this](TObject *, const TIpFtpCertificateInfo &I) { Asked.push_back(I); };
    }
    // USER, PASS, PBSZ, PROT inside TLS.
    TScriptedPeer &InsideLogin()
    {
        return Peer.Expect("USER bob").Send("331 pw").Expect("PASS pw").Send("230 in").Expect("PBSZ 0")
            .Send("200 ok").Expect("PROT P").Send("200 ok").NoFeatures();
    }
    const TTestCerts &C = TTestCerts::Get();
    std::vector<TIpFtpCertificateInfo> Asked;
};

} // namespace

TEST_F(FtpTlsTrust, TheQuestionComesBeforeUserAndTheAnswerDecides)
{
    for (const bool Implicit : {false, true})
        for (const bool Trust : {true, false}) {
            SCOPED_TRACE(std::string(Implicit ? "implicit, " : "explicit, ") + (Trust ? "trusted" : "refused"));
            TScriptedPeer P;
            TRecordedClient Rc;
            Rc.Client.SetTlsMode(Implicit ? tmImplicit : tmExplicit);
            Rc.Client.OnFtpCertificate = R.Client.OnFtpCertificate;
            Rc.Client.SetIdleTimeout(200);
            Asked.clear();
            if (Implicit)
                P.StartTls(C.SelfSignedPem).Send("220 ready");
            else
                P.Send("220 ready").Expect("AUTH TLS").Send("234 go").StartTls(C.SelfSignedPem);
            ASSERT_TRUE(Rc.Client.Login("localhost:" + std::to_string(P.Port()), "bob", "pw"));
            ASSERT_EVENTUALLY(Asked.size() == 1, 5000) << Rc.Joined();
            RunUntil([] { return false; }, 600); // three idle time-outs: neither they nor the client may act
            EXPECT_TRUE(Rc.Client.CertificatePending());
            EXPECT_EQ(P.Received(), Implicit ? std::vector<std::string>{} : std::vector<std::string>{"AUTH TLS"});
            const TIpFtpCertificateInfo &I = Asked[0];
            EXPECT_EQ(I.Host, "localhost");
            EXPECT_EQ(I.Port, P.Port());
            EXPECT_EQ(I.Subject, "CN=localhost, O=Tolvane");
            EXPECT_EQ(I.Issuer, I.Subject);
            EXPECT_EQ(I.Reason, "self-signed certificate");
            EXPECT_EQ(I.Sha256, TTestCerts::Sha256(C.SelfSignedPem));
            EXPECT_EQ(I.NotAfter.size(), 23u) << I.NotAfter;
            EXPECT_EQ(I.Pem.find("-----BEGIN CERTIFICATE-----\n"), 0u);
            if (Trust)
                P.Expect("USER bob").Send("331 pw").Expect("PASS pw").Send("230 in").Expect("PBSZ 0").Send("200 ok")
                    .Expect("PROT P").Send("200 ok").NoFeatures();
            else
                P.ExpectClosed();
            Rc.Client.SetIdleTimeout(0);
            Rc.Client.AnswerCertificate(Trust);
            ASSERT_TRUE(P.WaitDone());
            if (Trust) {
                ASSERT_EVENTUALLY(Rc.Client.LoggedIn() && Rc.Client.FtpState() == stReady, 5000) << Rc.Joined();
                EXPECT_EQ(Rc.Client.TlsTrust(), ttUserTrusted);
                EXPECT_EQ(Rc.Client.TlsVersion(), "TLS 1.3");
            } else {
                ASSERT_EVENTUALLY(Rc.Has("loginerror " + std::to_string(IpFtpCertificateRefusedCode)), 5000);
                EXPECT_EQ(Rc.Errors.back(), "The server's certificate was not trusted");
                EXPECT_EQ(Rc.Client.FtpState(), stClosed);
            }
            Rc.Client.AnswerCertificate(!Trust); // nothing pending: nothing happens
            EXPECT_EQ(Rc.Client.LoggedIn(), Trust);
        }
}

TEST_F(FtpTlsTrust, APinnedFingerprintIsAcceptedAloneAndAnyOtherRefusedNamingBoth)
{
    const std::string Presented = TTestCerts::Sha256(C.WrongNamePem);
    for (const std::string &Pin : {Presented, TTestCerts::Sha256(C.ServerPem)}) {
        const bool Match = Pin == Presented;
        SCOPED_TRACE(Match ? "match" : "another");
        TScriptedPeer P;
        TRecordedClient Rc;
        Rc.Client.SetTlsMode(tmRequired);
        Rc.Client.SetTlsFingerprint(Match ? Pin : " " + Pin.substr(0, 40) + "  " + Pin.substr(40));
        P.Send("220 ready").Expect("AUTH TLS").Send("234 go").StartTls(C.WrongNamePem);
        if (Match)
            P.Expect("USER bob");
        ASSERT_TRUE(Rc.Client.Login(LocalAddress(P.Port()), "bob", "pw"));
        if (Match) {
            ASSERT_TRUE(P.WaitDone());
            EXPECT_EQ(Rc.Client.TlsTrust(), ttPinned);
            continue;
        }
        ASSERT_EVENTUALLY(Rc.Has("loginerror " + std::to_string(IpTlsErrorCode)), 5000) << Rc.Joined();
        EXPECT_EQ(Rc.Errors.back(), "The server's certificate is not the pinned one: the server presented SHA-256 " +
                                        Presented + ", expected " + Pin);
        RunUntil([] { return false; }, 200);
        EXPECT_EQ(P.Received(), std::vector<std::string>{"AUTH TLS"});
    }
    R.Client.SetTlsFingerprint("AB:CD");
    EXPECT_THROW(R.Client.Login(LocalAddress(Peer.Port()), "bob", "pw"), EIpTlsError);
}

TEST_F(FtpTlsTrust, WithoutAHandlerTheLoginFailsNamingReasonAndFingerprint)
{
    R.Client.OnFtpCertificate = nullptr;
    Peer.Send("220 ready").Expect("AUTH TLS").Send("234 go").StartTls(C.ExpiredPem);
    ASSERT_TRUE(R.Client.Login("localhost:" + std::to_string(Peer.Port()), "bob", "pw"));
    ASSERT_EVENTUALLY(R.Has("loginerror " + std::to_string(IpTlsErrorCode)), 5000) << R.Joined();
    EXPECT_EQ(R.Errors.back(), "certificate verify failed: unable to get local issuer certificate; certificate has "
                               "expired (the server presented SHA-256 " + TTestCerts::Sha256(C.ExpiredPem) + ")");
}

TEST_F(FtpTlsTrust, ADataConnectionWithAnotherCertificateIsRefused)
{
    R.Client.SetTlsCaFile(C.CaFile);
    Peer.Send("220 ready").Expect("AUTH TLS").Send("234 go").StartTls(C.ServerPem);
    InsideLogin();
    ASSERT_TRUE(LoginTo(R, Peer));
    EXPECT_TRUE(Asked.empty());
    EXPECT_EQ(R.Client.TlsTrust(), ttVerified);
    // Trusted by the same CA and naming the same host, but not the one the
    // control connection presented.
    Peer.Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR f").Send("150 go").AcceptData()
        .StartDataTls(C.OtherServerPem);
    ASSERT_TRUE(R.Client.Retrieve("f", Dir.File("f"), rmReplace, 0));
    ASSERT_EVENTUALLY(R.Has("sockerror " + std::to_string(IpTlsErrorCode)), 5000) << R.Joined();
    EXPECT_EQ(R.Errors.back().find("The data connection's certificate is not the control connection's: the server "
                                   "presented SHA-256 " + TTestCerts::Sha256(C.OtherServerPem)),
              0u) << R.Errors.back();
    EXPECT_FALSE(R.Has("fscTransferOK"));
}

TEST_F(FtpTlsTrust, IfAvailableFallsBackOnlyWhenTheServerRefusesAuthWithA5xx)
{
    Peer.Send("220 ready").Expect("AUTH TLS").Send("431 Try later").ExpectClosed();
    R.Client.SetTlsMode(tmExplicit);
    ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "pw"));
    ASSERT_EVENTUALLY(R.Has("loginerror 431"), 5000) << R.Joined();
    EXPECT_EQ(R.Errors.back(), "Server did not accept AUTH TLS: 431 Try later");
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(Peer.Received(), std::vector<std::string>{"AUTH TLS"});
    EXPECT_FALSE(R.Client.TlsFellBack());
}
