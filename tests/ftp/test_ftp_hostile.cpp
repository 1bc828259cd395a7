// Hostile servers: enormous reply lines, endless continuation lines, binary
// garbage and connections that end in the middle of a reply. The client
// must end in a defined state with bounded memory and no crash or hang.

#include "test_ftp_fixture.h"

#include "support/TestPaths.h"

TEST(FtpHostile, AMegabyteGreetingIsALoginErrorAndTheClientCloses)
{
    TScriptedPeer Peer;
    Peer.SendRaw("220 " + std::string(1536 * 1024, 'x') + "\r\n");
    TRecordedClient R;
    ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "pw"));
    ASSERT_EVENTUALLY(R.Has("loginerror 8001"), 10000) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stClosed);
    EXPECT_FALSE(R.Client.LoggedIn());
    ASSERT_EVENTUALLY(R.Client.SocketList()->Count() == 0, 5000);
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_TRUE(Peer.Received().empty());
}

TEST(FtpHostile, AnOverlongLineWhileReadyIsASocketErrorAndTheConnectionGoesOn)
{
    TScriptedPeer Peer;
    ScriptLogin(Peer).Expect("STAT").SendRaw(std::string(1200 * 1024, 'y') + "\r\n")
        .Expect("NOOP").Send("200 NOOP ok");
    TRecordedClient R;
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    ASSERT_TRUE(R.Client.SendFtpCommand("STAT"));
    ASSERT_EVENTUALLY(R.Has("sockerror 8001"), 10000) << R.Joined();
    // The tail after the dropped part arrives as a reply without a code.
    ASSERT_EVENTUALLY(R.Has("reply 0"), 10000) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stReady);
    EXPECT_TRUE(R.Client.Connected());
    ASSERT_TRUE(R.Client.SendFtpCommand("NOOP"));
    ASSERT_EVENTUALLY(R.Has("reply 200"), 5000);
    ASSERT_TRUE(Peer.WaitDone());
}

TEST(FtpHostile, ThousandsOfContinuationLinesMakeOneBoundedReply)
{
    TScriptedPeer Peer;
    std::string Block = "211-Start of a very long status\r\n";
    const std::string Line = " " + std::string(200, 'z') + "\r\n";
    for (int i = 0; i < 8000; ++i)
        Block += Line;
    Block += "211 End\r\n";
    ScriptLogin(Peer).Expect("STAT").SendRaw(Block).Expect("NOOP").Send("200 ok");
    TRecordedClient R;
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    R.Infos.clear();
    ASSERT_TRUE(R.Client.SendFtpCommand("STAT"));
    ASSERT_EVENTUALLY(R.Has("reply 211"), 20000) << R.Joined();
    EXPECT_EQ(R.Events, (std::vector<std::string>{"fscInfo", "reply 211"}));
    EXPECT_LE(R.Replies.back().size(), TIpFtpReplyAssembler::MaxReplyText);
    EXPECT_GT(R.Replies.back().size(), 512u * 1024);
    EXPECT_EQ(R.Replies.back().compare(0, 9, "211-Start"), 0);
    EXPECT_EQ(R.Client.FtpState(), stReady);
    ASSERT_TRUE(R.Client.SendFtpCommand("NOOP"));
    ASSERT_EVENTUALLY(R.Has("reply 200"), 5000);
    ASSERT_TRUE(Peer.WaitDone());
}

TEST(FtpHostile, BinaryGarbageGivesErrorRepliesAndLeavesTheClientUsable)
{
    std::string Garbage = RandomBytes(64 * 1024, 7);
    // Digits at a line start could open a block that swallows the rest;
    // garbage without them must never do that.
    for (char &c : Garbage)
        if (c >= '0' && c <= '9')
            c = 'x';
    TScriptedPeer Peer;
    ScriptLogin(Peer).Expect("NOOP").SendRaw(Garbage).SendRaw("\r\n").Expect("NOOP").Send("200 fine");
    TRecordedClient R;
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.SendFtpCommand("NOOP"));
    ASSERT_EVENTUALLY(R.Has("error 0"), 5000);
    RunFor(300);
    EXPECT_EQ(R.Client.FtpState(), stReady);
    EXPECT_TRUE(R.Client.Connected());
    for (const auto &e : R.Events)
        EXPECT_TRUE(e == "error 0" || e == "reply 0" || e.rfind("reply 2", 0) == 0 || e == "connected" ||
                    e == "fscLogin" || e == "reply 331")
            << e;
    R.Events.clear();
    ASSERT_TRUE(R.Client.SendFtpCommand("NOOP"));
    ASSERT_EVENTUALLY(R.Has("reply 200"), 5000) << R.Joined();
    ASSERT_TRUE(Peer.WaitDone());
}

TEST(FtpHostile, AConnectionEndingMidReplyClosesAndTheNextLoginStartsClean)
{
    TRecordedClient R;
    {
        TScriptedPeer Peer;
        ScriptLogin(Peer).Expect("STAT").Send("211-Status").Send("half a reply").Pause(100).Close();
        ASSERT_TRUE(LoginTo(R, Peer));
        ASSERT_TRUE(R.Client.SendFtpCommand("STAT"));
        ASSERT_EVENTUALLY(R.Has("fscClose"), 5000) << R.Joined();
        EXPECT_LT(R.IndexOf("disconnected"), R.IndexOf("fscClose"));
        EXPECT_EQ(R.Client.FtpState(), stClosed);
        EXPECT_TRUE(R.Client.MultiLineReply());
    }
    // The open block of the old connection must not swallow the new greeting.
    TScriptedPeer Peer2;
    ScriptLogin(Peer2);
    R.Events.clear();
    ASSERT_TRUE(LoginTo(R, Peer2)) << R.Joined();
    EXPECT_EQ(R.Events, (std::vector<std::string>{"connected", "reply 220", "reply 331", "fscLogin", "reply 230"}));
}

TEST(FtpHostile, AResetMidReplyIsASocketErrorThenAClose)
{
    TScriptedPeer Peer;
    ScriptLogin(Peer).Expect("STAT").Send("211-Status").Reset();
    TRecordedClient R;
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.SendFtpCommand("STAT"));
    ASSERT_EVENTUALLY(R.Has("fscClose"), 5000) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stClosed);
    EXPECT_EQ(R.Client.ControlSocket(), INVALID_SOCKET);
    ASSERT_EVENTUALLY(R.Client.SocketList()->Count() == 0, 5000);
}
