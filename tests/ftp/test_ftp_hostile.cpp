// Hostile servers: enormous reply lines, endless continuation lines, binary
// garbage and connections that end in the middle of a reply. The client
// must end in a defined state with bounded memory and no crash or hang.

#include "test_ftp_fixture.h"

#include "support/TestPaths.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/IpEventLog.h"

namespace {

// A TCP socket bound to Host (port 0: any); listening when asked. -1 on failure.
int BoundSocket(const char *Host, uint16_t Port, bool Listen, uint16_t *Bound = nullptr, bool Reusable = false)
{
    int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int On = 1;
    if (Fd >= 0 && Reusable)
        ::setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(Port);
    ::inet_pton(AF_INET, Host, &A.sin_addr);
    socklen_t Len = sizeof A;
    if (Fd < 0 || ::bind(Fd, reinterpret_cast<sockaddr *>(&A), sizeof A) != 0 || (Listen && ::listen(Fd, 4) != 0) ||
        ::getsockname(Fd, reinterpret_cast<sockaddr *>(&A), &Len) != 0) {
        if (Fd >= 0)
            ::close(Fd);
        return -1;
    }
    if (Bound)
        *Bound = ntohs(A.sin_port);
    return Fd;
}

bool Readable(int Fd, int Ms)
{
    pollfd P{Fd, POLLIN, 0};
    return ::poll(&P, 1, Ms) == 1;
}

} // namespace

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
    EXPECT_EQ(R.Events, (std::vector<std::string>{"connected", "reply 220", "reply 331", "reply 230", "fscLogin",
                                                  "reply 211"}));
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

// ---------------------------------------------------------------------------
// Data connections belong to the server: a passive reply naming another
// host, and a stranger calling the active port first.

TEST(FtpHostile, APassiveReplyNamingAnotherHostIsConnectedToTheServerInstead)
{
    TTempDir Dir;
    // Whatever listens on 127.0.0.2 at the announced port must not be
    // reached: it would deliver its own bytes as the file (or take the upload).
    // The scripted server listens on 127.0.0.1 at the same port. Other test
    // processes binding port 0 there could take it first, so it is held by a
    // bound socket that lets the server's listener share it but keeps
    // everybody else's port 0 away.
    uint16_t Port = 0;
    int Trap = -1;
    int Hold = -1;
    for (int Try = 0; Try < 50 && Hold < 0; ++Try) {
        if (Trap >= 0)
            ::close(Trap);
        Trap = BoundSocket("127.0.0.2", 0, true, &Port);
        ASSERT_GE(Trap, 0) << "cannot listen on 127.0.0.2";
        Hold = BoundSocket("127.0.0.1", Port, false, nullptr, true);
    }
    ASSERT_GE(Hold, 0) << "no port free on both 127.0.0.1 and 127.0.0.2";
    const std::string Data = RandomBytes(30000, 51);
    const std::string Up = Dir.File("up.bin");
    ASSERT_TRUE(WriteFile(Up, Data));
    const std::string Reply = "227 Entering Passive Mode (127,0,0,2,{p1},{p2}).";
    TScriptedPeer Peer;
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").Expect("PASV").OpenPassiveAt(Port, Reply).Expect("RETR f")
        .Send("150 go").AcceptData().SendData(Data).CloseData().Send("226 ok")
        .Expect("TYPE I").Send("200 ok").Expect("PASV").OpenPassiveAt(Port, Reply).Expect("STOR up.bin")
        .Send("150 go").AcceptData().ReceiveData().Send("226 ok");
    TRecordedClient R;
    R.Client.SetFileType(ftBinary);
    R.Client.SetPassiveMode(true);
    ASSERT_NE(R.Client.EventLog(), nullptr);
    R.Client.EventLog()->SetFileName(Dir.File("event.log"));
    R.Client.EventLog()->SetEnabled(true);
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.Retrieve("f", Dir.File("f.bin"), rmReplace, 0));
    ASSERT_EVENTUALLY(R.Has("fscTransferOK") && R.Client.FtpState() == stReady, 5000) << R.Joined();
    EXPECT_EQ(ReadFile(Dir.File("f.bin")), Data);
    ASSERT_TRUE(R.Client.Store("up.bin", Up, smReplace, 0));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Client.FtpState() == stReady, 5000) << R.Joined();
    EXPECT_EQ(Peer.DataReceived().at(0), Data);
    EXPECT_FALSE(Readable(Trap, 0)) << "the client connected to 127.0.0.2";
    ::close(Trap);
    ::close(Hold);
    EXPECT_NE(ReadFile(Dir.File("event.log")).find("Passive reply names 127.0.0.2; connecting to 127.0.0.1 instead"),
              std::string::npos);
}

TEST(FtpHostile, AStrangerCallingTheActivePortFirstIsTurnedAway)
{
    TTempDir Dir;
    const std::string Data = RandomBytes(30000, 52);
    TScriptedPeer Peer;
    ScriptLogin(Peer).ExpectPort().Mark("port").Hold().Send("200 PORT ok").Expect("TYPE I").Send("200 ok")
        .Expect("RETR f").Send("150 go").ConnectData().SendData(Data).CloseData().Send("226 ok");
    TRecordedClient R;
    R.Client.SetFileType(ftBinary);
    R.Client.SetPassiveMode(false);
    R.Client.EventLog()->SetFileName(Dir.File("event.log"));
    R.Client.EventLog()->SetEnabled(true);
    ASSERT_TRUE(LoginTo(R, Peer));
    const std::string Local = Dir.File("f.bin");
    ASSERT_TRUE(R.Client.Retrieve("f", Local, rmReplace, 0));
    ASSERT_EVENTUALLY(Peer.Reached("port"), 5000);
    // Another host's process calls first and sends its own "file".
    const int Stranger = BoundSocket("127.0.0.2", 0, false);
    ASSERT_GE(Stranger, 0);
    sockaddr_in To{};
    To.sin_family = AF_INET;
    To.sin_port = htons(Peer.DataPort());
    To.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(Stranger, reinterpret_cast<sockaddr *>(&To), sizeof To), 0);
    ASSERT_EQ(::send(Stranger, "NOT THE FILE", 12, MSG_NOSIGNAL), 12);
    // It is closed at once, and the client keeps waiting for the server.
    ASSERT_EVENTUALLY(Readable(Stranger, 0), 5000);
    char Byte;
    EXPECT_LE(::recv(Stranger, &Byte, 1, 0), 0);
    ::close(Stranger);
    EXPECT_EQ(R.Client.FtpState(), stRetrieve);
    EXPECT_NE(R.Client.ListenSocket(), nullptr);
    Peer.Release();
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscTransferOK"), 5000) << R.Joined();
    EXPECT_EQ(ReadFile(Local), Data);
    // Once the server's connection is in, nobody else can call.
    EXPECT_EQ(R.Client.ListenSocket(), nullptr);
    EXPECT_NE(ReadFile(Dir.File("event.log")).find("Data connection from 127.0.0.2 refused"), std::string::npos);
}

// ---------------------------------------------------------------------------
// A server that asks for the password (or account) again and again.

TEST(FtpHostile, ARepeatedPasswordOrAccountRequestEndsTheLogin)
{
    struct TCase
    {
        const char *Name;
        std::function<void(TScriptedPeer &)> Script;
        const char *Error;
        size_t Lines;
    };
    const TCase Cases[] = {
        {"331 to PASS",
         [](TScriptedPeer &P) {
             P.Send("220 hi").Expect("USER bob").Send("331 Password required").Expect("PASS pw")
                 .Send("331 Password required");
         },
         "loginerror 331", 2},
        {"332 to ACCT",
         [](TScriptedPeer &P) {
             P.Send("220 hi").Expect("USER bob").Send("331 Password required").Expect("PASS pw")
                 .Send("332 Account required").Expect("ACCT acc").Send("332 Account required");
         },
         "loginerror 332", 3},
    };
    for (const TCase &C : Cases) {
        SCOPED_TRACE(C.Name);
        TScriptedPeer Peer;
        C.Script(Peer);
        Peer.ExpectClosed();
        TRecordedClient R;
        ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "pw", "acc"));
        ASSERT_EVENTUALLY(R.Has(C.Error), 5000) << R.Joined();
        ASSERT_TRUE(Peer.WaitDone());
        EXPECT_EQ(R.Client.FtpState(), stClosed);
        EXPECT_FALSE(R.Client.LoggedIn());
        EXPECT_NE(R.Errors.back().find("required"), std::string::npos);
        EXPECT_EQ(Peer.Received().size(), C.Lines);
        ASSERT_EVENTUALLY(R.Client.SocketList()->Count() == 0, 5000);
    }
}

TEST(FtpHostile, AListingPastTheCapIsReportedAsCutAndDeliversWhatFits)
{
    std::string Listing;
    const std::string Line = "-rw-r--r-- 1 bob users 12345 Jan 15 10:30 a-file-name-of-some-length\r\n";
    Listing.reserve(100u << 20);
    while (Listing.size() < (100u << 20))
        Listing += Line;
    TScriptedPeer Peer;
    ScriptLogin(Peer).Expect("TYPE A").Send("200 ok").ExpectPasv().Expect("LIST").Send("150 go").AcceptData()
        .SendData(Listing).CloseData().Send("226 ok");
    TRecordedClient R;
    R.Client.SetPassiveMode(true);
    ASSERT_TRUE(LoginTo(R, Peer));
    TRecordingTree Tree;
    R.Client.SetDirectoryTree(&Tree);
    R.Events.clear();
    R.Client.ListDir("", true);
    ASSERT_TRUE(Peer.WaitDone(30000));
    ASSERT_EVENTUALLY(R.Has("fscDirList"), 30000) << R.Joined();
    // Never a silent success: the cut is an error first, then the part.
    const int Cut = R.IndexOf("sockerror " + std::to_string(IpFtpListingCutCode));
    ASSERT_NE(Cut, -1) << R.Joined();
    EXPECT_LT(Cut, R.IndexOf("fscDirList"));
    EXPECT_NE(R.Errors.at(0).find("Listing cut at 64 MiB"), std::string::npos) << R.Errors.at(0);
    ASSERT_EQ(Tree.Listings.size(), 1u);
    EXPECT_EQ(Tree.Listings[0].size(), static_cast<size_t>(IpFtpMaxListingSize));
    EXPECT_EQ(Tree.Listings[0], Listing.substr(0, IpFtpMaxListingSize));
    EXPECT_EQ(R.Infos.back().size(), static_cast<size_t>(IpFtpMaxListingSize));
    EXPECT_EQ(R.Client.FtpState(), stReady);
    R.Client.SetDirectoryTree(nullptr);
}
