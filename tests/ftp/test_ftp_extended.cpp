// Passive and active data connections with EPSV and EPRT: the fall back to
// PASV and PORT for a server that does not know them, remembered for the
// session, and the IPv6 connection, where only the extended commands work.

#include "test_ftp_fixture.h"

#include "ftp/IpFtpProtocol.h"

#include <netinet/tcp.h>

namespace {

// Downloads Name and waits for its completion.
::testing::AssertionResult Download(TRecordedClient &R, TScriptedPeer &Peer, TTempDir &Dir, const std::string &Name)
{
    const size_t Before = R.Events.size();
    if (!R.Client.Retrieve(Name, Dir.File(Name), rmReplace, 0))
        return ::testing::AssertionFailure() << "Retrieve refused";
    auto Done = [&] {
        for (size_t I = Before; I < R.Events.size(); ++I)
            if (R.Events[I] == "fscTransferOK")
                return true;
        return false;
    };
    if (!RunUntil([&] { return Done() && R.Client.FtpState() == stReady; }, 5000))
        return ::testing::AssertionFailure() << "no completion; events: " << R.Joined() << "; peer: " << Peer.Describe();
    if (ReadFile(Dir.File(Name)) != Name + " bytes")
        return ::testing::AssertionFailure() << "wrong content in " << Name;
    return ::testing::AssertionSuccess();
}

TScriptedPeer &ServeFile(TScriptedPeer &Peer, const std::string &Name)
{
    return Peer.Expect("RETR " + Name).Send("150 Opening").AcceptData().SendData(Name + " bytes").CloseData().Send(
        "226 Done");
}

TScriptedPeer &ServeFileActive(TScriptedPeer &Peer, const std::string &Name)
{
    return Peer.Expect("RETR " + Name).Send("150 Opening").ConnectData().SendData(Name + " bytes").CloseData().Send(
        "226 Done");
}

::testing::AssertionResult LoginV6(TRecordedClient &R, TScriptedPeer &Peer)
{
    if (!R.Client.Login("[::1]:" + std::to_string(Peer.Port()), "bob", "pw"))
        return ::testing::AssertionFailure() << "Login refused";
    if (!RunUntil([&] { return R.Client.FtpState() == stReady && R.Client.LoggedIn(); }, 5000))
        return ::testing::AssertionFailure() << "not logged in; events: " << R.Joined() << "; peer: " << Peer.Describe();
    return ::testing::AssertionSuccess();
}

long Count(const std::vector<std::string> &Lines, const std::string &Prefix)
{
    return std::count_if(Lines.begin(), Lines.end(), [&](const std::string &L) { return L.rfind(Prefix, 0) == 0; });
}

class TExtendedRefusal : public TTransferTest, public ::testing::WithParamInterface<const char *>
{
};

} // namespace

TEST_P(TExtendedRefusal, PassiveFallsBackToPasvForTheSession)
{
    Peer.ExtendedCommands();
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").Expect("EPSV").Send(GetParam()).ExpectPasv();
    ServeFile(Peer, "a");
    ServeFile(Peer.Expect("TYPE I").Send("200 ok").ExpectPasv(), "b");
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(Download(R, Peer, Dir, "a"));
    ASSERT_TRUE(Download(R, Peer, Dir, "b"));
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(Count(Peer.Received(), "EPSV"), 1) << "the refusal is remembered";
}

TEST_P(TExtendedRefusal, ActiveFallsBackToPortForTheSession)
{
    R.Client.SetPassiveMode(false);
    Peer.ExtendedCommands();
    ScriptLogin(Peer).ExpectPrefix("EPRT |1|127.0.0.1|").Send(GetParam()).ExpectPort().Send("200 PORT ok");
    ServeFileActive(Peer.Expect("TYPE I").Send("200 ok"), "a");
    ServeFileActive(Peer.ExpectPort().Send("200 PORT ok").Expect("TYPE I").Send("200 ok"), "b");
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(Download(R, Peer, Dir, "a"));
    ASSERT_TRUE(Download(R, Peer, Dir, "b"));
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(Count(Peer.Received(), "EPRT "), 1) << "the refusal is remembered";
}

// Unknown (500), not taken (501), not implemented (502), another family
// (522); for EPSV also a 229 whose port cannot be read.
INSTANTIATE_TEST_SUITE_P(Refusals, TExtendedRefusal,
                         ::testing::Values("500 Unknown command", "501 Syntax error", "502 Not implemented",
                                           "522 Network protocol not supported, use (1)"));

TEST_F(TTransferTest, AnUnreadable229FallsBackToPasv)
{
    Peer.ExtendedCommands();
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").Expect("EPSV").Send("229 Entering Extended Passive Mode (|||0|)")
        .ExpectPasv();
    ServeFile(Peer, "a");
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(Download(R, Peer, Dir, "a"));
    ASSERT_TRUE(Peer.WaitDone());
}

TEST(FtpIpv6, PassiveAndActiveTransfersUseTheExtendedCommandsOnly)
{
    TTempDir Dir;
    TScriptedPeer Peer(true);
    TRecordedClient R;
    R.Client.SetFileType(ftBinary);
    R.Client.SetPassiveMode(true);
    Peer.ExtendedCommands();
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectEpsv();
    ServeFile(Peer, "a");
    // Active: the listener is on the control connection's own address, ::1.
    ServeFileActive(Peer.ExpectEprt().Send("200 EPRT ok").Expect("TYPE I").Send("200 ok"), "b");
    // A refusal on IPv6 ends the transfer: PASV cannot name an IPv6 address.
    Peer.Expect("TYPE I").Send("200 ok").Expect("EPSV").Send("500 Unknown command").Expect("NOOP").Send("200 ok");
    ASSERT_TRUE(LoginV6(R, Peer));
    ASSERT_TRUE(Download(R, Peer, Dir, "a"));
    R.Client.SetPassiveMode(false);
    ASSERT_TRUE(Download(R, Peer, Dir, "b"));
    R.Client.SetPassiveMode(true);
    ASSERT_TRUE(R.Client.Retrieve("c", Dir.File("c"), rmReplace, 0));
    ASSERT_EVENTUALLY(R.Has("error 500"), 5000) << R.Joined();
    ASSERT_TRUE(R.WaitReady());
    ASSERT_TRUE(R.Client.SendFtpCommand("NOOP"));
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(Count(Peer.Received(), "PASV"), 0);
    EXPECT_EQ(Count(Peer.Received(), "PORT"), 0);
}

TEST(FtpProtocol, The229ReplyGivesItsPortOnly)
{
    struct TCase
    {
        const char *Reply;
        int Port; // -1: not readable
    };
    const TCase Cases[] = {
        {"229 Entering Extended Passive Mode (|||6446|)", 6446},
        {"229 ok (!!!1!)", 1},
        {"229 ok (|||65535|)", 65535},
        {"229 (|||65536|)", -1},
        {"229 (|||0|)", -1},
        {"229 (||||)", -1},
        {"229 (|||12a|)", -1},
        {"229 (|1|2|3|)", -1},
        {"229 (|||21|", -1},
        {"229 |||21|", -1},
        {"229 (1112111)", -1},  // a digit is no delimiter
        {"229 (|||21!)", -1},
        {"229 ( ||21 )", -1},
        {"229 (|||0000021|)", -1},
    };
    for (const TCase &C : Cases) {
        SCOPED_TRACE(C.Reply);
        uint16_t Port = 7;
        EXPECT_EQ(FtpEpsvPort(C.Reply, Port), C.Port >= 0);
        EXPECT_EQ(Port, C.Port >= 0 ? C.Port : 0);
    }
    EXPECT_EQ(FtpEprtArgument("127.0.0.1", false, 2121), "|1|127.0.0.1|2121|");
    EXPECT_EQ(FtpEprtArgument("::1", true, 21), "|2|::1|21|");
}

TEST_F(TTransferTest, TheControlConnectionAloneSendsKeepAliveProbesAfterAMinute)
{
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR a").Send("150 Opening").AcceptData();
    ASSERT_TRUE(LoginTo(R, Peer));
    auto Option = [](TSocket S, int Level, int Name) {
        int Value = -1;
        socklen_t Len = sizeof(Value);
        return ::getsockopt(int(S), Level, Name, &Value, &Len) == 0 ? Value : -1;
    };
    EXPECT_EQ(Option(R.Client.ControlSocket(), SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(Option(R.Client.ControlSocket(), IPPROTO_TCP, TCP_KEEPIDLE), IpFtpKeepAliveSeconds);
    ASSERT_TRUE(R.Client.Retrieve("a", Dir.File("a"), rmReplace, 0));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Client.DataSocket() != INVALID_SOCKET, 5000);
    EXPECT_EQ(Option(R.Client.DataSocket(), SOL_SOCKET, SO_KEEPALIVE), 0);
}
