// Whose certificate is accepted: a question that holds the login, a pin, the data connections'.

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
    }
    static std::string Code(int N) { return "loginerror " + std::to_string(N); }
    const TTestCerts &C = TTestCerts::Get();
};

TScriptedPeer &InsideLogin(TScriptedPeer &P)
{
    return P.Expect("USER bob").Send("331 pw").Expect("PASS pw").Send("230 in").Expect("PBSZ 0").Send("200 ok")
        .Expect("PROT P").Send("200 ok").NoFeatures();
}

} // namespace

TEST_F(FtpTlsTrust, TheQuestionComesBeforeUserAndTheAnswerDecides)
{
    for (const bool Implicit : {false, true})
        for (const bool Trust : {true, false}) {
            SCOPED_TRACE(std::string(Implicit ? "implicit, " : "explicit, ") + (Trust ? "trusted" : "refused"));
            TScriptedPeer P;
            TRecordedClient Rc;
            std::vector<TIpFtpCertificateInfo> Asked;
            Rc.Client.OnFtpCertificate = [&](TObject *, const TIpFtpCertificateInfo &I) { Asked.push_back(I); };
            Rc.Client.SetTlsMode(Implicit ? tmImplicit : tmExplicit);
            Rc.Client.SetIdleTimeout(200);
            Implicit ? P.StartTls(C.SelfSignedPem).Send("220 ready")
                     : P.Send("220 ready").Expect("AUTH TLS").Send("234 go").StartTls(C.SelfSignedPem);
            ASSERT_TRUE(Rc.Client.Login("localhost:" + std::to_string(P.Port()), "bob", "pw"));
            ASSERT_EVENTUALLY(Asked.size() == 1, 5000) << Rc.Joined();
            RunUntil([] { return false; }, 600); // three idle time-outs: neither they nor the client may act
            EXPECT_TRUE(Rc.Client.CertificatePending());
            EXPECT_EQ(P.Received(), Implicit ? std::vector<std::string>{} : std::vector<std::string>{"AUTH TLS"});
            const TIpFtpCertificateInfo &I = Asked[0];
            EXPECT_EQ(I.Host + ":" + std::to_string(I.Port) + " " + I.Subject + " / " + I.Issuer + ": " + I.Reason + " " +
                          I.Sha256 + " " + std::to_string(I.NotAfter.size()) + " " + I.Pem.substr(0, 27),
                      "localhost:" + std::to_string(P.Port()) + " CN=localhost, O=Tolvane / CN=localhost, O=Tolvane: "
                      "self-signed certificate " + TTestCerts::Sha256(C.SelfSignedPem) + " 23 -----BEGIN CERTIFICATE-----");
            Trust ? InsideLogin(P) : P.ExpectClosed();
            Rc.Client.SetIdleTimeout(0);
            Rc.Client.AnswerCertificate(Trust);
            ASSERT_TRUE(P.WaitDone());
            ASSERT_EVENTUALLY(Trust ? Rc.Client.LoggedIn() : Rc.Has(Code(IpFtpCertificateRefusedCode)), 5000);
            EXPECT_EQ(Trust ? Rc.Client.TlsVersion() + ", " + std::to_string(Rc.Client.TlsTrust()) : Rc.Errors.back(),
                      Trust ? "TLS 1.3, 3" : "The server's certificate was not trusted");
            Rc.Client.AnswerCertificate(!Trust); // nothing pending: nothing happens
            EXPECT_EQ(Rc.Client.LoggedIn(), Trust);
        }
}

TEST_F(FtpTlsTrust, APinnedCertificateAloneIsAcceptedAndRefusalsNameWhatWasPresented)
{
    const std::string Presented = TTestCerts::Sha256(C.WrongNamePem), Other = TTestCerts::Sha256(C.ServerPem);
    // Pinned (blanks ignored), pinned to another, unpinned without a question handler.
    for (const std::string &Pin : {" " + Presented.substr(0, 40) + "  " + Presented.substr(40), Other, std::string()}) {
        SCOPED_TRACE(Pin);
        TScriptedPeer P;
        TRecordedClient Rc;
        Rc.Client.SetTlsMode(tmRequired);
        Rc.Client.SetTlsFingerprint(Pin);
        P.Send("220 ready").Expect("AUTH TLS").Send("234 go").StartTls(C.WrongNamePem);
        ASSERT_TRUE(Rc.Client.Login("localhost:" + std::to_string(P.Port()), "bob", "pw"));
        if (Pin != Other && !Pin.empty()) {
            ASSERT_TRUE(P.Expect("USER bob").WaitDone());
            EXPECT_EQ(Rc.Client.TlsTrust(), ttPinned);
            continue;
        }
        ASSERT_EVENTUALLY(Rc.Has(Code(IpTlsErrorCode)), 5000) << Rc.Joined();
        EXPECT_EQ(Rc.Errors.back(),
                  Pin.empty() ? "certificate verify failed: unable to get local issuer certificate; the certificate "
                                "does not name localhost (the server presented SHA-256 " + Presented + ")"
                              : "The server's certificate is not the pinned one: the server presented SHA-256 " +
                                    Presented + ", expected " + Other);
    }
    R.Client.SetTlsFingerprint("AB:CD");
    EXPECT_THROW(R.Client.Login(LocalAddress(Peer.Port()), "bob", "pw"), EIpTlsError);
}

TEST_F(FtpTlsTrust, ADataConnectionWithAnotherCertificateIsRefused)
{
    R.Client.SetTlsCaFile(C.CaFile);
    InsideLogin(Peer.Send("220 ready").Expect("AUTH TLS").Send("234 go").StartTls(C.ServerPem));
    ASSERT_TRUE(LoginTo(R, Peer));
    // Signed by the same CA for the same names, but not the control connection's.
    Peer.Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR f").Send("150 go").AcceptData()
        .StartDataTls(C.OtherServerPem);
    ASSERT_TRUE(R.Client.Retrieve("f", Dir.File("f"), rmReplace, 0));
    ASSERT_EVENTUALLY(R.Has("sockerror " + std::to_string(IpTlsErrorCode)), 5000) << R.Joined();
    EXPECT_EQ(R.Errors.back().find("The data connection's certificate is not the control connection's: the server "
                                   "presented SHA-256 " + TTestCerts::Sha256(C.OtherServerPem)),
              0u) << R.Errors.back();
    EXPECT_FALSE(R.Has("fscTransferOK"));
}
