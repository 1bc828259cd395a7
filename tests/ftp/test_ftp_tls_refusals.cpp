// FTP over TLS against servers that do not play along: "AUTH TLS" refused,
// a 234 followed by plain text, a connection that ends in the middle of the
// handshake, a server that refuses protection of the data connections. The
// scripted server records every line, so a credential that leaked would be
// seen; each case must end in a defined state without a hang.

#include "test_ftp_fixture.h"

#include "socket/IpTls.h"
#include "support/TestCerts.h"

namespace {

// Nothing the client sends may be a credential.
void ExpectNoCredentials(const TScriptedPeer &Peer)
{
    for (const std::string &Line : Peer.Received()) {
        EXPECT_NE(Line.compare(0, 5, "USER "), 0) << Line;
        EXPECT_NE(Line.compare(0, 5, "PASS "), 0) << Line;
    }
    EXPECT_EQ(Peer.ReceivedBytes().find("secret"), std::string::npos);
}

void UseTls(TRecordedClient &R, TIpFtpTlsMode Mode)
{
    R.Client.SetTlsMode(Mode);
    // Nothing here gets as far as a certificate; the system store is enough.
}

} // namespace

TEST(FtpTlsRefusals, AnOptionalTlsGoesOnInTheClearOnlyWhenTheServerRefusesAuthWithA5xx)
{
    TScriptedPeer Busy;
    Busy.Send("220 FTP").Expect("AUTH TLS").Send("431 Try later").ExpectClosed();
    TRecordedClient R;
    UseTls(R, tmExplicit);
    ASSERT_TRUE(R.Client.Login(LocalAddress(Busy.Port()), "bob", "secret"));
    ASSERT_EVENTUALLY(R.Has("loginerror 431"), 5000) << R.Joined();
    EXPECT_EQ(R.Errors.back(), "Server did not accept AUTH TLS: 431 Try later");
    ASSERT_TRUE(Busy.WaitDone());
    ExpectNoCredentials(Busy);
    TScriptedPeer Peer;
    Peer.Send("220 Plain FTP").Expect("AUTH TLS").Send("500 AUTH not understood")
        .Expect("USER bob").Send("331 Password required").Expect("PASS secret").Send("230 Logged in").NoFeatures();
    ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "secret"));
    ASSERT_EVENTUALLY(R.Client.LoggedIn() && R.Client.FtpState() == stReady, 5000) << R.Joined();
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_FALSE(R.Client.TlsActive());
    EXPECT_TRUE(R.Client.TlsFellBack());
    EXPECT_FALSE(R.Has("loginerror 500")) << R.Joined();
}

TEST(FtpTlsRefusals, ARequiredTlsThatTheServerRefusesEndsTheLoginWithNothingMoreSent)
{
    TScriptedPeer Peer;
    Peer.Send("220 Plain FTP").Expect("AUTH TLS").Send("500 AUTH not understood").ExpectClosed();
    TRecordedClient R;
    UseTls(R, tmRequired);
    ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "secret"));
    ASSERT_EVENTUALLY(R.Has("loginerror 500"), 5000) << R.Joined();
    EXPECT_EQ(R.Errors.back(), "Server does not support TLS");
    EXPECT_EQ(R.Client.FtpState(), stClosed);
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(Peer.Received(), (std::vector<std::string>{"AUTH TLS"}));
    ExpectNoCredentials(Peer);
}

TEST(FtpTlsRefusals, AReplyInPlaceOfTheGreetingNeverTakesTheLoginOnWithoutTls)
{
    // "331" would send the password, "230" would log in: both before TLS
    // was even asked for.
    for (TIpFtpTlsMode Mode : {tmExplicit, tmRequired}) {
        for (const char *Greeting : {"331 Password required", "230 Logged in", "332 Need account"}) {
            SCOPED_TRACE(std::string(Greeting) + (Mode == tmRequired ? ", required" : ", if available"));
            TScriptedPeer Peer;
            Peer.Send(Greeting).ExpectClosed();
            TRecordedClient R;
            UseTls(R, Mode);
            ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "secret", "acct"));
            const std::string Code(Greeting, 3);
            ASSERT_EVENTUALLY(R.Has("loginerror " + Code), 5000) << R.Joined();
            EXPECT_EQ(R.Errors.back(), "Server replied before AUTH TLS: " + std::string(Greeting));
            EXPECT_FALSE(R.Client.LoggedIn());
            EXPECT_FALSE(R.Has("fscLogin"));
            EXPECT_EQ(R.Client.FtpState(), stClosed);
            ASSERT_TRUE(Peer.WaitDone());
            EXPECT_TRUE(Peer.Received().empty());
        }
    }
}

TEST(FtpTlsRefusals, RepliesReadAfterTheLoginHasEndedTakeNothingOn)
{
    // A "421" and, in the same packet, what would go on with a plain login.
    for (const char *After : {"220 Hello", "230 Logged in", "331 Password required"}) {
        SCOPED_TRACE(After);
        TScriptedPeer Peer;
        Peer.SendRaw("421 Too many users\r\n" + std::string(After) + "\r\n").Pause(300);
        TRecordedClient R;
        UseTls(R, tmRequired);
        ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "secret"));
        ASSERT_TRUE(Peer.WaitDone());
        RunUntil([] { return false; }, 300);
        EXPECT_FALSE(R.Client.LoggedIn());
        EXPECT_FALSE(R.Has("fscLogin")) << R.Joined();
        EXPECT_EQ(R.Client.FtpState(), stClosed);
        EXPECT_TRUE(Peer.Received().empty());
        ExpectNoCredentials(Peer);
    }
}

TEST(FtpTlsRefusals, PlainTextWhereTheHandshakeShouldBeIsAClearErrorWithoutCredentials)
{
    // A server that answers 234 and then goes on talking FTP in the clear.
    TScriptedPeer Peer;
    Peer.Send("220 Broken FTP").Expect("AUTH TLS").Send("234 Go ahead").Pause(200)
        .Send("331 Password required").Send("230 Logged in");
    TRecordedClient R;
    UseTls(R, tmRequired);
    ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "secret"));
    ASSERT_EVENTUALLY(R.Has("loginerror " + std::to_string(IpTlsErrorCode)), 5000) << R.Joined();
    EXPECT_NE(R.Errors.back().find("TLS handshake failed"), std::string::npos) << R.Errors.back();
    EXPECT_EQ(R.Client.FtpState(), stClosed);
    EXPECT_FALSE(R.Client.LoggedIn());
    ASSERT_TRUE(Peer.WaitDone());
    RunUntil([] { return false; }, 200);
    ExpectNoCredentials(Peer);
    ASSERT_EVENTUALLY(R.Client.SocketList()->Count() == 0, 5000);
}

TEST(FtpTlsRefusals, LinesBehindThe234AreNeverTakenForRepliesAfterTheHandshake)
{
    // Injected into the same packet as the 234, before the handshake: a
    // man in the middle's way to plant replies in the protected session.
    TScriptedPeer Peer;
    Peer.Send("220 FTP").Expect("AUTH TLS").SendRaw("234 Go ahead\r\n230 Logged in\r\n");
    TRecordedClient R;
    UseTls(R, tmRequired);
    ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "secret"));
    ASSERT_EVENTUALLY(R.Has("loginerror " + std::to_string(IpTlsErrorCode)), 5000) << R.Joined();
    EXPECT_EQ(R.Errors.back(), "Server sent plain text after AUTH TLS");
    EXPECT_FALSE(R.Client.LoggedIn());
    EXPECT_FALSE(R.Has("fscLogin"));
    ASSERT_TRUE(Peer.WaitDone());
    RunUntil([] { return false; }, 200);
    ExpectNoCredentials(Peer);
}

TEST(FtpTlsRefusals, AConnectionThatEndsInTheHandshakeIsALoginErrorNotAHang)
{
    for (bool Reset : {false, true}) {
        SCOPED_TRACE(Reset ? "reset" : "close");
        TScriptedPeer Peer;
        Peer.Send("220 FTP").Expect("AUTH TLS").Send("234 Go ahead").ReceiveBytes(5);
        if (Reset)
            Peer.Reset();
        else
            Peer.Close();
        TRecordedClient R;
        UseTls(R, tmExplicit);
        ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "secret"));
        const std::string Expected = "loginerror " + std::to_string(Reset ? 10054 : IpTlsErrorCode);
        ASSERT_EVENTUALLY(R.Has(Expected), 5000) << R.Joined();
        if (!Reset) {
            EXPECT_EQ(R.Errors.back(), "Connection closed during the TLS handshake");
        }
        EXPECT_EQ(R.Client.FtpState(), stClosed);
        EXPECT_FALSE(R.Client.LoggedIn());
        EXPECT_FALSE(R.Has("fscLogin"));
        ASSERT_TRUE(Peer.WaitDone());
        ExpectNoCredentials(Peer);
        // The first bytes the client sent after the 234 were a TLS record.
        ASSERT_GE(Peer.ReceivedBytes().size(), 10u + 5u);
        EXPECT_EQ(Peer.ReceivedBytes().substr(10, 1), "\x16");
    }
}

TEST(FtpTlsRefusals, ACaFileThatCannotBeReadFailsTheLoginCallBeforeAnythingIsSent)
{
    TScriptedPeer Peer;
    TRecordedClient R;
    R.Client.SetTlsMode(tmRequired);
    R.Client.SetTlsCaFile("/nonexistent/ca.pem");
    EXPECT_THROW(R.Client.Login(LocalAddress(Peer.Port()), "bob", "secret"), EIpTlsError);
    EXPECT_EQ(R.Client.FtpState(), stClosed);
    RunUntil([] { return false; }, 200);
    EXPECT_EQ(Peer.Connections(), 0);
}
