// Passive and active data connections with EPSV and EPRT: the fall back to
// PASV and PORT for a server that does not know them, remembered for the
// session, the IPv6 connection, where only the extended commands work, and
// the keep-alive of the control connection.

#include "test_ftp_fixture.h"

#include "ftp/IpFtpProtocol.h"

#include <netinet/tcp.h>

namespace {

// Serves Name (passive: the peer accepts; active: it connects) and waits for
// the client's download of it.
::testing::AssertionResult Download(TRecordedClient &R, TScriptedPeer &Peer, TTempDir &Dir, const std::string &Name)
{
    Peer.Expect("RETR " + Name).Send("150 Opening");
    (R.Client.PassiveMode() ? Peer.AcceptData() : Peer.ConnectData()).SendData(Name).CloseData().Send("226 Done");
    const size_t Before = R.Events.size();
    if (!R.Client.Retrieve(Name, Dir.File(Name), rmReplace, 0))
        return ::testing::AssertionFailure() << "Retrieve refused";
    if (!RunUntil([&] { return R.Events.size() > Before && R.Has("fscTransferOK") && R.Client.FtpState() == stReady; },
                  5000) ||
        ReadFile(Dir.File(Name)) != Name)
        return ::testing::AssertionFailure() << "no download; events: " << R.Joined() << "; peer: " << Peer.Describe();
    R.Events.clear();
    return ::testing::AssertionSuccess();
}

long Count(const std::vector<std::string> &Lines, const std::string &Prefix)
{
    return std::count_if(Lines.begin(), Lines.end(), [&](const std::string &L) { return L.rfind(Prefix, 0) == 0; });
}

struct TRefusal
{
    bool Passive;
    const char *Reply;
};

class TExtendedRefusal : public TTransferTest, public ::testing::WithParamInterface<TRefusal>
{
};

} // namespace

TEST_P(TExtendedRefusal, FallsBackToPasvOrPortForTheSession)
{
    const TRefusal &P = GetParam();
    R.Client.SetPassiveMode(P.Passive);
    ScriptLogin(Peer.ExtendedCommands());
    ASSERT_TRUE(LoginTo(R, Peer));
    for (const char *Name : {"a", "b"}) {
        const bool First = *Name == 'a';
        if (P.Passive) {
            Peer.Expect("TYPE I").Send("200 ok");
            if (First)
                Peer.Expect("EPSV").Send(P.Reply);
            Peer.ExpectPasv();
        } else {
            if (First)
                Peer.ExpectPrefix("EPRT |1|127.0.0.1|").Send(P.Reply);
            Peer.ExpectPort().Send("200 PORT ok").Expect("TYPE I").Send("200 ok");
        }
        ASSERT_TRUE(Download(R, Peer, Dir, Name));
    }
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(Count(Peer.Received(), P.Passive ? "EPSV" : "EPRT"), 1) << "the refusal is remembered";
}

// Unknown (500), not taken (501), not implemented (502), another family
// (522); for EPSV also a 229 whose port cannot be read.
INSTANTIATE_TEST_SUITE_P(Refusals, TExtendedRefusal,
                         ::testing::Values(TRefusal{true, "500 Unknown command"}, TRefusal{true, "501 Syntax error"},
                                           TRefusal{true, "502 Not implemented"},
                                           TRefusal{true, "522 Network protocol not supported, use (1)"},
                                           TRefusal{true, "229 Entering Extended Passive Mode (|||0|)"},
                                           TRefusal{false, "500 Unknown command"}, TRefusal{false, "502 No"},
                                           TRefusal{false, "522 Network protocol not supported, use (1)"}));

TEST(FtpIpv6, PassiveAndActiveTransfersUseTheExtendedCommandsOnly)
{
    TTempDir Dir;
    TScriptedPeer Peer(true);
    TRecordedClient R;
    R.Client.SetFileType(ftBinary);
    R.Client.SetPassiveMode(true);
    ScriptLogin(Peer.ExtendedCommands()).Expect("TYPE I").Send("200 ok").ExpectEpsv();
    ASSERT_TRUE(R.Client.Login("[::1]:" + std::to_string(Peer.Port()), "bob", "pw"));
    ASSERT_EVENTUALLY(R.Client.FtpState() == stReady && R.Client.LoggedIn(), 5000) << R.Joined();
    ASSERT_TRUE(Download(R, Peer, Dir, "a"));
    // Active: the listener is on the control connection's own address, ::1.
    R.Client.SetPassiveMode(false);
    Peer.ExpectEprt().Send("200 EPRT ok").Expect("TYPE I").Send("200 ok");
    ASSERT_TRUE(Download(R, Peer, Dir, "b"));
    // A refusal ends the transfer: PASV cannot name an IPv6 address.
    R.Client.SetPassiveMode(true);
    Peer.Expect("TYPE I").Send("200 ok").Expect("EPSV").Send("500 Unknown command").Expect("NOOP").Send("200 ok");
    ASSERT_TRUE(R.Client.Retrieve("c", Dir.File("c"), rmReplace, 0));
    ASSERT_EVENTUALLY(R.Has("error 500") && R.Client.FtpState() == stReady, 5000) << R.Joined();
    ASSERT_TRUE(R.Client.SendFtpCommand("NOOP"));
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(Count(Peer.Received(), "PASV") + Count(Peer.Received(), "PORT"), 0);
}

TEST(FtpProtocol, The229ReplyGivesItsPortOnly)
{
    const std::pair<const char *, int> Cases[] = {
        {"229 Entering Extended Passive Mode (|||6446|)", 6446}, {"229 ok (!!!65535!)", 65535},
        {"229 (|||65536|)", -1}, {"229 (|||0|)", -1}, {"229 (||||)", -1}, {"229 (|||12a|)", -1},
        {"229 (|1|2|3|)", -1}, {"229 (|||21|", -1}, {"229 |||21|", -1},
        {"229 (1112111)", -1}, // a digit is no delimiter
        {"229 (|||21!)", -1},
    };
    for (const auto &[Reply, Want] : Cases) {
        uint16_t Port = 7;
        EXPECT_EQ(FtpEpsvPort(Reply, Port), Want >= 0) << Reply;
        EXPECT_EQ(Port, Want >= 0 ? Want : 0) << Reply;
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
