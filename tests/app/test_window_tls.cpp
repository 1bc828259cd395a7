// The window against FTP-over-TLS servers whose certificates cannot be
// verified: the question comes before the user name goes out, "always",
// "this time" and "cancel" do what they say, a certificate that replaced
// the trusted one is a warning with both fingerprints, the unattended
// upload's clocks stop while the question is open, and with TLS required
// nothing but "AUTH TLS" crosses in the clear.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QPlainTextEdit>
#include <QTest>

#include <sys/stat.h>

#include "app/CertificateTrust.h"
#include "app/StatusLine.h"
#include "app_fixture.h"
#include "e2e/test_ftp_e2e_fixture.h"
#include "support/ScriptedPeer.h"
#include "tls_fixture.h"

namespace {

std::string Security(const TTolvaneFtp &W) { return W.findChild<QLabel *>("StatusSecurity")->text().toStdString(); }
std::string Outcome(const TTolvaneFtp &W) { return W.findChild<QLabel *>("StatusOutcome")->text().toStdString(); }

} // namespace

class WindowTls : public TWindowFixture
{
protected:
    bool Usable(const std::string &Kind)
    {
        if (!TTestCerts::Available() || SelfSignedPem().empty()) {
            Why = "the openssl command is missing or failed";
            return false;
        }
        if (!Kind.empty() && !TServer::Available(Kind)) {
            Why = TServer::Missing(Kind);
            return false;
        }
        // Trust decisions go to this test's own folder.
        ::setenv("XDG_DATA_HOME", Data.Path().c_str(), 1);
        return true;
    }
    void Settings(uint16_t Port, const std::string &User, const std::string &Password, const char *Encryption)
    {
        WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Port) + "\nUsername=" + User +
                      "\nPassword=" + Password + "\nDefault=/\nEncryption=" + Encryption + "\n");
    }
    bool LoggedIn() const { return Window->IpFtpClient()->LoggedIn() && Window->IpFtpClient()->FtpState() == stReady; }
    void Click(const char *Name) { QTest::mouseClick(Find<QPushButton>(Name), Qt::LeftButton); }
    std::string StorePath() const { return TCertificateStore::PathFor(Data.Path(), ""); }

    TTempDir Data{"tolvane-trust"};
    std::string Why;
};

class WindowTlsServers : public WindowTls, public ::testing::WithParamInterface<std::string>
{
};

TEST_P(WindowTlsServers, OnceAlwaysCancelAndTheChangedCertificate)
{
    if (!Usable(GetParam()))
        GTEST_SKIP() << Why;
    TServer Server(GetParam(), TPyFtpdOptions{}, SelfSignedPem());
    ASSERT_TRUE(Server.Start());
    const std::string Sha = OpensslFingerprint(SelfSignedPem());
    Settings(Server.Port(), Server.User(), Server.Password(), "require");
    StartWindow();
    EXPECT_EQ(Find<QComboBox>("cbxEncryption")->currentText().toStdString(), "Require explicit FTP over TLS");
    std::string LogDuringQuestion;
    Dialogs.DuringTrust = [&] { LogDuringQuestion = Server.Log(); };
    Dialogs.TrustAnswers = {taOnce};
    ShowWindow();
    ASSERT_EVENTUALLY(LoggedIn(), 20000) << Outcome(*Window) << "\n" << Server.Log();
    ASSERT_EQ(Dialogs.Trusts.size(), 1u);
    const auto &[Info, Old] = Dialogs.Trusts[0];
    EXPECT_EQ(Info.Sha256, Sha);
    EXPECT_EQ(Info.Port, Server.Port());
    EXPECT_EQ(Old, "");
    EXPECT_NE(Info.Reason, "");
    EXPECT_EQ(LogDuringQuestion.find("USER"), std::string::npos) << "USER went out before the answer";
    EXPECT_EQ(Security(*Window).rfind("Encrypted (TLS 1.", 0), 0u) << Security(*Window);
    EXPECT_NE(Security(*Window).find("certificate trusted by you"), std::string::npos) << Security(*Window);
    EXPECT_FALSE(FileExists(StorePath())) << "\"this time\" stores nothing";

    const auto Reconnect = [&](TTrustAnswer Answer) {
        Click("ConnectBtn");
        ASSERT_EVENTUALLY(Window->IpFtpClient()->FtpState() == stClosed, 10000);
        Dialogs.TrustAnswers = {Answer};
        Click("ConnectBtn");
    };
    Reconnect(taAlways);
    ASSERT_EVENTUALLY(LoggedIn(), 20000) << Outcome(*Window);
    EXPECT_EQ(Dialogs.Trusts.size(), 2u) << "asked again after \"this time\"";
    struct stat St = {};
    ASSERT_EQ(::stat(StorePath().c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 07777, 0600u);

    Reconnect(taCancel);
    ASSERT_EVENTUALLY(LoggedIn(), 20000) << Outcome(*Window);
    EXPECT_EQ(Dialogs.Trusts.size(), 2u) << "a certificate trusted always is not asked about";
    EXPECT_NE(Security(*Window).find("trusted by you"), std::string::npos) << Security(*Window);

    // Another certificate was trusted for this host and port before: the
    // server's is a change, shown with both fingerprints.
    const std::string OtherSha = OpensslFingerprint(TTestCerts::Get().ExpiredPem);
    ASSERT_TRUE(TCertificateStore(StorePath())
                    .Trust("127.0.0.1", Server.Port(), OtherSha, ReadFile(TTestCerts::Get().ExpiredPem)));
    Reconnect(taCancel);
    ASSERT_EVENTUALLY(Dialogs.Trusts.size() == 3u && Window->IpFtpClient()->FtpState() == stClosed, 20000);
    EXPECT_EQ(Dialogs.Trusts[2].second, OtherSha);
    EXPECT_EQ(Dialogs.Trusts[2].first.Sha256, Sha);
    EXPECT_NE(Outcome(*Window).find("not trusted"), std::string::npos) << Outcome(*Window);
    EXPECT_EQ(TCertificateStore(StorePath()).Find("127.0.0.1", Server.Port())->Sha256, OtherSha);
    EXPECT_EQ(Text("ConnectBtn"), "Connect");
}

INSTANTIATE_TEST_SUITE_P(Servers, WindowTlsServers, ::testing::Values("pyftpd", "vsftpd"),
                         [](const auto &Info) { return Info.param; });

// The login time-out is 1 s and the question stays open for 2.5 s: the
// upload still happens. Refused, it does not, and the message says why.
TEST_F(WindowTls, TheUnattendedUploadWaitsForTheQuestionAndARefusalSaysWhy)
{
    if (!Usable("pyftpd"))
        GTEST_SKIP() << Why;
    TServer Server("pyftpd", TPyFtpdOptions{}, SelfSignedPem());
    ASSERT_TRUE(Server.Start());
    Settings(Server.Port(), Server.User(), Server.Password(), "require");
    for (const TTrustAnswer Answer : {taOnce, taCancel}) {
        SCOPED_TRACE(Answer == taOnce ? "once" : "cancel");
        const std::string Name = Answer == taOnce ? "kept.txt" : "refused.txt";
        ASSERT_TRUE(WriteFile(Dir.File(Name), "unattended"));
        Dialogs.Messages.clear();
        Dialogs.TrustAnswers = {Answer};
        Dialogs.DuringTrust = [] { RunFor(2500); };
        StartWindow({QString::fromStdString(Dir.File(Name))});
        Find<QLineEdit>("LoginTimeoutEdit")->setText(QStringLiteral("1"));
        ShowWindow();
        if (Answer == taOnce) {
            ASSERT_EVENTUALLY(ReadFile(Server.Path(Name)) == "unattended", 30000) << Outcome(*Window);
            EXPECT_TRUE(Dialogs.Messages.empty()) << Dialogs.Messages[0];
        } else {
            ASSERT_EVENTUALLY(!Dialogs.Messages.empty(), 30000) << Outcome(*Window);
            EXPECT_NE(Dialogs.Messages[0].find("certificate was not trusted"), std::string::npos) << Dialogs.Messages[0];
            EXPECT_FALSE(FileExists(Server.Path(Name)));
        }
        TearDown();
    }
}

// What the client sends in the clear, as the server's socket receives it.
TEST_F(WindowTls, RequiredTlsSendsNothingButAuthTlsInTheClear)
{
    if (!Usable(""))
        GTEST_SKIP() << Why;
    const TTestCerts &Certs = TTestCerts::Get();
    ASSERT_EQ(Certs.Error, "");
    struct TCase
    {
        const char *Name;
        const char *Encryption;
        std::string Pem; // empty: the server refuses AUTH TLS
    };
    const TCase Cases[] = {{"refused AUTH", "require", ""},
                           {"self-signed", "require", SelfSignedPem()},
                           {"expired", "require", Certs.ExpiredPem},
                           {"wrong name", "auto", Certs.WrongNamePem},
                           {"fallback", "auto", ""}};
    for (const TCase &C : Cases) {
        SCOPED_TRACE(C.Name);
        const bool Fallback = std::string(C.Encryption) == "auto" && C.Pem.empty();
        TScriptedPeer Peer;
        Peer.Send("220 hi").Expect("AUTH TLS");
        if (C.Pem.empty())
            Peer.Send("504 not here");
        else
            Peer.Send("234 go").StartTls(C.Pem);
        if (Fallback)
            Peer.Expect("USER bob").Send("331 pw").Expect("PASS s3cret").Send("230 in").NoFeatures();
        else
            Peer.ExpectClosed();
        Dialogs.Trusts.clear();
        Dialogs.TrustAnswers = {taCancel};
        Settings(Peer.Port(), "bob", "s3cret", C.Encryption);
        StartWindow();
        ShowWindow();
        ASSERT_TRUE(Peer.WaitDone(15000));
        EXPECT_EQ(Dialogs.Trusts.size(), C.Pem.empty() ? 0u : 1u);
        if (Fallback) {
            ASSERT_EVENTUALLY(Window->IpFtpClient()->LoggedIn(), 5000);
            EXPECT_NE(Security(*Window).find("Not encrypted"), std::string::npos) << Security(*Window);
            EXPECT_TRUE(Find<QPlainTextEdit>("ReplyMemo")->toPlainText().contains(QString::fromStdString(Security(*Window))));
        } else {
            const std::string Wire = Peer.ReceivedBytes();
            EXPECT_EQ(Wire.rfind("AUTH TLS\r\n", 0), 0u) << Wire;
            EXPECT_TRUE(Wire.find("USER") == std::string::npos && Wire.find("s3cret") == std::string::npos) << Wire;
            ASSERT_EVENTUALLY(Window->IpFtpClient()->FtpState() == stClosed, 5000);
            EXPECT_EQ(Text("ConnectBtn"), "Connect");
            EXPECT_NE(Outcome(*Window), "") << "says why";
        }
        TearDown();
    }
}
