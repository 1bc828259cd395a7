// The control connection of the FTP client against a scripted server: exact
// command lines, event order, the reply state machine and the command stack.

#include "test_ftp_fixture.h"

#include "base/IpComponent.h"
#if __has_include("base/IpDebugLog.h")
#include "base/IpDebugLog.h"
#endif
#include "support/TestPaths.h"

namespace {

// A name whose 70-byte label the resolver rejects locally, without asking
// any name server.
const std::string UnresolvableHost = std::string(70, 'a') + ".example";

} // namespace

TEST(FtpControl, LoginSendsUserAndPasswordAndReportsLoginBeforeItsReply)
{
    TScriptedPeer Peer;
    ScriptLogin(Peer, "bob", "pw");
    TRecordedClient R;
    ASSERT_TRUE(LoginTo(R, Peer, "bob", "pw"));
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(Peer.Received(), (std::vector<std::string>{"USER bob", "PASS pw", "FEAT"}));
    EXPECT_EQ(R.Events, (std::vector<std::string>{"connected", "reply 220", "reply 331", "reply 230", "fscLogin",
                                                  "reply 211"}));
    EXPECT_EQ(R.Replies[2], "230 Logged in\r\n");
    EXPECT_TRUE(R.Client.Connected());
    EXPECT_EQ(R.Client.Host(), LocalAddress(Peer.Port()));
    EXPECT_EQ(R.Client.UserName(), "bob");
    // No tree: nothing further is sent after the login.
    RunFor(200);
    EXPECT_EQ(Peer.Received().size(), 3u);

    // A second Login while connected is refused and sends nothing.
    EXPECT_FALSE(R.Client.Login(LocalAddress(Peer.Port()), "x", "y"));

    Peer.Expect("QUIT").Send("221 Bye");
    ASSERT_TRUE(R.Client.Logout());
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscClose"), 5000);
    // The disconnect event comes from the close itself, the fscClose status
    // later from the event loop, after the reply event.
    EXPECT_LT(R.IndexOf("disconnected"), R.IndexOf("reply 221"));
    EXPECT_LT(R.IndexOf("reply 221"), R.IndexOf("fscClose"));
    EXPECT_EQ(R.Client.FtpState(), stClosed);
    EXPECT_FALSE(R.Client.LoggedIn());
    EXPECT_FALSE(R.Client.Connected());
    EXPECT_FALSE(R.Client.Logout());
}

TEST(FtpControl, LoginWithoutUserNameLogsInOnTheGreetingAndAccountIsSentOn332)
{
    {
        TScriptedPeer Peer;
        Peer.Send("220 hi").NoFeatures().Expect("NOOP").Send("200 ok");
        TRecordedClient R;
        ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "", ""));
        ASSERT_EVENTUALLY(R.Client.LoggedIn(), 5000);
        EXPECT_EQ(R.Events, (std::vector<std::string>{"connected", "reply 220", "fscLogin", "reply 211"}));
        ASSERT_TRUE(R.Client.SendFtpCommand("NOOP"));
        ASSERT_TRUE(Peer.WaitDone());
        EXPECT_EQ(Peer.Received(), (std::vector<std::string>{"FEAT", "NOOP"}));
    }
    {
        TScriptedPeer Peer;
        Peer.Send("220 hi").Expect("USER u").Send("331 pw").Expect("PASS p").Send("332 account?")
            .Expect("ACCT acc").Send("230 in").NoFeatures();
        TRecordedClient R;
        ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "u", "p", "acc"));
        ASSERT_TRUE(Peer.WaitDone());
        ASSERT_EVENTUALLY(R.Client.LoggedIn(), 5000);
        EXPECT_EQ(R.Client.FtpState(), stReady);
    }
}

TEST(FtpControl, RejectedPasswordKeepsLoginStateUntilTheServerCloses)
{
    TScriptedPeer Peer;
    Peer.Send("220 hi").Expect("USER bob").Send("331 pw").Expect("PASS bad").Send("530 Login incorrect.")
        .Mark("rejected").Pause(300).Close();
    TRecordedClient R;
    ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "bad"));
    ASSERT_EVENTUALLY(R.Has("error 530"), 5000);
    EXPECT_EQ(R.Client.FtpState(), stLogin);
    EXPECT_FALSE(R.Client.LoggedIn());
    EXPECT_FALSE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "good"));
    ASSERT_EVENTUALLY(R.Has("fscClose"), 5000);
    EXPECT_LT(R.IndexOf("disconnected"), R.IndexOf("fscClose"));
    EXPECT_EQ(R.Client.FtpState(), stClosed);
    EXPECT_EQ(R.Client.CommandCount(), 0);

    // Closed again: a new login is accepted.
    TScriptedPeer Peer2;
    ScriptLogin(Peer2);
    ASSERT_TRUE(LoginTo(R, Peer2));
}

TEST(FtpControl, RefusedAndUnresolvableHostsEndInLoginErrorAndClosed)
{
    TRecordedClient R;
    const uint16_t Port = FreeTcpPort();
    ASSERT_TRUE(R.Client.Login(LocalAddress(Port), "bob", "pw"));
    ASSERT_EVENTUALLY(R.Has("loginerror 10061"), 5000);
    EXPECT_EQ(R.Client.FtpState(), stClosed);
    EXPECT_FALSE(R.Has("disconnected"));
    EXPECT_NE(R.Errors.back().find("Fd_Connect"), std::string::npos) << R.Errors.back();
    EXPECT_EQ(R.Client.ControlSocket(), INVALID_SOCKET);

    // Accepted again at once; the name error follows the lookup.
    R.Events.clear();
    ASSERT_TRUE(R.Client.Login(UnresolvableHost, "bob", "pw"));
    ASSERT_EVENTUALLY(!R.Events.empty() && R.Client.FtpState() == stClosed, 10000);
    ASSERT_EQ(R.Events.size(), 1u) << R.Joined();
    EXPECT_EQ(R.Events[0].rfind("loginerror 1100", 0), 0u) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stClosed);

    // No host part: the exception leaves Login, the client stays usable.
    EXPECT_THROW(R.Client.Login(":21", "bob", "pw"), EIpWinSockError);
    EXPECT_EQ(R.Client.FtpState(), stClosed);
    RunFor(100);
    EXPECT_EQ(R.Client.SocketList()->Count(), 0);

    // A dotless name with a port connects to that port.
    TScriptedPeer Peer;
    ScriptLogin(Peer);
    R.Events.clear();
    ASSERT_TRUE(R.Client.Login("localhost:" + std::to_string(Peer.Port()), "bob", "pw"));
    ASSERT_EVENTUALLY(R.Client.LoggedIn(), 5000) << R.Joined();
}

TEST(FtpControl, ChangeDirSendsForwardSlashesAndFailsBackToReady)
{
    TScriptedPeer Peer;
    ScriptLogin(Peer)
        .Expect("CWD /pub/in coming").Send("250 CWD ok").Expect("PWD").Send("257 \"/pub/in coming\" is current")
        .Expect("PWD").Send("257 \"/pub/in coming\"")
        .Expect("CWD /nope").Send("550 No such directory");
    TRecordedClient R;
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    ASSERT_TRUE(R.Client.ChangeDir("/pub/in coming"));
    EXPECT_EQ(R.Client.FtpState(), stDirectory);
    EXPECT_FALSE(R.Client.ChangeDir("/other"));
    ASSERT_EVENTUALLY(R.Has("fscCurrentDir"), 5000);
    EXPECT_EQ(R.Infos.back(), "/pub/in coming");
    ASSERT_TRUE(R.WaitReady());
    ASSERT_TRUE(R.Client.ChangeDir(""));
    ASSERT_EVENTUALLY(R.Events.size() >= 5, 5000);
    ASSERT_TRUE(R.WaitReady());
    ASSERT_TRUE(R.Client.ChangeDir("/nope"));
    ASSERT_EVENTUALLY(R.Has("error 550"), 5000);
    EXPECT_EQ(R.Client.FtpState(), stReady);
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(R.Events, (std::vector<std::string>{"reply 250", "fscCurrentDir", "reply 257", "fscCurrentDir",
                                                  "reply 257", "error 550", "reply 550"}));
}

TEST(FtpControl, RenameSendsTheStackedTargetAfter350AndKeepsItAfterAnError)
{
    TScriptedPeer Peer;
    ScriptLogin(Peer)
        .Expect("RNFR old name").Send("350 Ready for RNTO").Expect("RNTO dir/new").Send("250 Renamed")
        .Expect("RNFR missing").Send("550 No such file")
        .Expect("NOOP").Send("200 NOOP ok").Expect("RNTO other").Send("250 whatever");
    TRecordedClient R;
    ASSERT_TRUE(LoginTo(R, Peer));
    EXPECT_FALSE(R.Client.Rename("", "x"));
    EXPECT_FALSE(R.Client.Rename("x", ""));
    R.Events.clear();
    ASSERT_TRUE(R.Client.Rename("old name", "dir/new"));
    EXPECT_EQ(R.Client.FtpState(), stRename);
    ASSERT_EVENTUALLY(R.Has("fscComplete"), 5000);
    ASSERT_TRUE(R.WaitReady());
    EXPECT_EQ(R.Client.CommandCount(), 0);

    ASSERT_TRUE(R.Client.Rename("missing", "other"));
    ASSERT_EVENTUALLY(R.Has("error 550"), 5000);
    EXPECT_EQ(R.Client.FtpState(), stReady);
    ASSERT_EQ(R.Client.CommandCount(), 1);
    EXPECT_EQ(R.Client.CommandStackLine(0), "RNTO other");
    // Whatever command gets the next 200, the stacked line goes out with it.
    ASSERT_TRUE(R.Client.SendFtpCommand("NOOP"));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("reply 250") && R.Client.FtpState() == stReady, 5000);
    EXPECT_EQ(R.Client.CommandCount(), 0);
}

TEST(FtpControl, DeleteCompletesWith250AndRefusesAnEmptyName)
{
    TScriptedPeer Peer;
    ScriptLogin(Peer).Expect("DELE sub/f.txt").Send("250 Deleted").Expect("DELE gone").Send("550 Not found");
    TRecordedClient R;
    ASSERT_TRUE(LoginTo(R, Peer));
    EXPECT_FALSE(R.Client.Delete(""));
    R.Events.clear();
    ASSERT_TRUE(R.Client.Delete("sub/f.txt"));
    EXPECT_EQ(R.Client.FtpState(), stCommand);
    EXPECT_FALSE(R.Client.Delete("other"));
    ASSERT_EVENTUALLY(R.Has("reply 250"), 5000);
    EXPECT_EQ(R.Client.FtpState(), stReady);
    EXPECT_EQ(R.Client.RemoteFileName(), "sub/f.txt");
    ASSERT_TRUE(R.Client.Delete("gone"));
    ASSERT_EVENTUALLY(R.Has("reply 550"), 5000);
    EXPECT_EQ(R.Events, (std::vector<std::string>{"fscComplete", "reply 250", "error 550", "reply 550"}));
    EXPECT_EQ(R.Client.FtpState(), stReady);
    // Line breaks never reach the control connection.
    EXPECT_FALSE(R.Client.Delete("a\r\nDELE b"));
    EXPECT_FALSE(R.Client.SendFtpCommand("NOOP\r\nQUIT"));
    RunFor(100);
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(Peer.Received().size(), 5u); // USER, PASS, FEAT and the two DELE
}

TEST(FtpControl, RepliesOfManyCodesTakeTheirRowOfTheTable)
{
    TScriptedPeer Peer;
    ScriptLogin(Peer)
        .Expect("STAT").Send("211-Status follows").Send(" line two").Send("211-still inside").Send("211 End")
        .Expect("XPWD").Send("257 \"/a\"")
        .Expect("BOGUS").Send("500 Unknown command")
        .Expect("X1").Send("no number at all")
        .Expect("X2").Send("299 unknown code")
        .Expect("X3").Send("226 closing in stCommand")
        .Expect("USER raw").Send("331 need password")
        .Expect("X4").Send("")
        .Expect("X5").Send("421 Service closing");
    TRecordedClient R;
    ASSERT_TRUE(LoginTo(R, Peer));

    auto Run = [&](const std::string &Command, size_t Events) {
        R.Events.clear();
        R.Infos.clear();
        EXPECT_TRUE(R.Client.SendFtpCommand(Command)) << Command;
        EXPECT_TRUE(RunUntil([&] { return R.Events.size() >= Events; }, 5000)) << Command << ": " << R.Joined();
        RunFor(30);
    };
    Run("STAT", 2);
    EXPECT_EQ(R.Events, (std::vector<std::string>{"fscInfo", "reply 211"}));
    EXPECT_EQ(R.Infos[0], "-Status follows\r\n line two\r\n211-still inside\r\n");
    EXPECT_EQ(R.Replies.back(), "211-Status follows\r\n line two\r\n211-still inside\r\n");
    EXPECT_EQ(R.Client.FtpState(), stReady);

    Run("XPWD", 2);
    EXPECT_EQ(R.Events, (std::vector<std::string>{"fscCurrentDir", "reply 257"}));
    EXPECT_EQ(R.Infos[0], "/a");

    Run("BOGUS", 2);
    EXPECT_EQ(R.Events, (std::vector<std::string>{"error 500", "reply 500"}));
    Run("X1", 2);
    EXPECT_EQ(R.Events, (std::vector<std::string>{"error 0", "reply 0"}));
    Run("X2", 2);
    EXPECT_EQ(R.Events, (std::vector<std::string>{"error 299", "reply 299"}));
    Run("X3", 1);
    EXPECT_EQ(R.Events, (std::vector<std::string>{"reply 226"}));
    EXPECT_EQ(R.Client.FtpState(), stReady);
    // A raw USER does not make the client send its stored password.
    Run("USER raw", 1);
    EXPECT_EQ(R.Events, (std::vector<std::string>{"reply 331"}));
    // A bare CR LF is a complete reply with code 0.
    Run("X4", 2);
    EXPECT_EQ(R.Events, (std::vector<std::string>{"error 0", "reply 0"}));
    EXPECT_EQ(R.Replies.back(), "\r\n");
    // 421 closes the state silently; the connection stays until the server closes.
    Run("X5", 1);
    EXPECT_EQ(R.Events, (std::vector<std::string>{"reply 421"}));
    EXPECT_EQ(R.Client.FtpState(), stClosed);
    EXPECT_TRUE(R.Client.Connected());
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(Peer.Received().back(), "X5");
    // In stClosed a 226 takes the error path.
    R.Events.clear();
    Peer.Send("226 late confirmation");
    ASSERT_EVENTUALLY(R.Has("reply 226"), 5000);
    EXPECT_EQ(R.Events, (std::vector<std::string>{"error 226", "reply 226"}));
    EXPECT_EQ(R.Client.FtpState(), stClosed);
    Peer.Close();
    ASSERT_EVENTUALLY(R.Has("fscClose"), 5000);
    EXPECT_LT(R.IndexOf("disconnected"), R.IndexOf("fscClose"));
}

TEST(FtpControl, TheCommandStackHolds128LinesAndThe129thPushEmptiesIt)
{
    TIpFtpClient Client;
    for (int i = 0; i < IpFtpCommandStackSize; ++i)
        Client.PushCommand("LINE " + std::to_string(i));
    EXPECT_EQ(Client.CommandCount(), 128);
    try {
        Client.PushCommand("one too many");
        FAIL() << "no exception";
    } catch (const std::exception &E) {
        EXPECT_STREQ(E.what(), "Fatal Error: Command stack full");
    }
    EXPECT_EQ(Client.CommandCount(), 0);
    // Without a control connection a pop takes the line but sends nothing.
    Client.PushCommand("A");
    Client.PushCommand("B");
    EXPECT_EQ(Client.SendNextCommand(), "B");
    EXPECT_EQ(Client.SendNextCommand(), "A");
    EXPECT_EQ(Client.SendNextCommand(), "");
}

TEST_F(TTransferTest, RemoteNamesGoOutAsGivenAndEveryLineSentIsToldWithThePasswordMasked)
{
    std::vector<std::string> Sent;
    R.Client.OnFtpCommand = [&](TObject *, const std::string &Line) { Sent.push_back(Line); };
    ScriptLogin(Peer).Reply("CWD a\\b", "250 k").Reply("PWD", "257 \"/a\\b\"").Reply("DELE a\\b", "250 k")
        .Reply("RNFR a\\b", "350 k").Reply("RNTO b\\a", "250 k").Reply("TYPE I", "200 k").ExpectPasv()
        .Reply("RETR a\\b", "150 k").AcceptData().SendData("x").CloseData().Send("226 k").Reply("TYPE I", "200 k")
        .ExpectPasv().Reply("STOR a\\b", "150 k").AcceptData().ReceiveData().Send("226 k");
    for (const std::function<bool()> &Start : std::vector<std::function<bool()>>{
             [&] { return R.Client.Login(LocalAddress(Peer.Port()), "bob", "pw"); },
             [&] { return R.Client.ChangeDir("a\\b"); }, [&] { return R.Client.Delete("a\\b"); },
             [&] { return R.Client.Rename("a\\b", "b\\a"); },
             [&] { return R.Client.Retrieve("a\\b", Dir.File("r"), rmReplace, 0); },
             [&] { return R.Client.Store("a\\b", Dir.File("r"), smReplace, 0); }})
        ASSERT_TRUE(Start() && R.WaitReady()) << R.Joined();
    EXPECT_EQ(Sent, [&] { auto Lines = Peer.Received(); Lines.at(1) = "PASS ****"; return Lines; }());
}

#if __has_include("base/IpDebugLog.h")
TEST(FtpControl, PasswordNeverReachesTheDebugLog)
{
    TTempDir Dir;
    TScriptedPeer Peer;
    ScriptLogin(Peer, "bob", "s3cret-word").Expect("pass other-word").Send("230 ok");
    {
        TRecordedClient R;
        if (!R.Client.DebugLog())
            GTEST_SKIP() << "the socket control has no debug log yet";
        R.Client.DebugLog()->SetFileName(Dir.File("ftplog.txt"));
        R.Client.DebugLog()->SetEnabled(true);
        R.Client.DataInits()->SetLogOptions(TIpLogOptionSet{loHighData, loLowData});
        ASSERT_TRUE(LoginTo(R, Peer, "bob", "s3cret-word"));
        // A password sent as a command, in any case.
        ASSERT_TRUE(R.Client.SendFtpCommand("pass other-word"));
        ASSERT_TRUE(Peer.WaitDone());
        ASSERT_TRUE(R.WaitReady());
    } // the log is written when the client goes
    const std::string Log = ReadFile(Dir.File("ftplog.txt"));
    EXPECT_NE(Log.find("USER bob"), std::string::npos) << Log;
    EXPECT_NE(Log.find("PASS ****"), std::string::npos) << Log;
    EXPECT_EQ(Log.find("s3cret-word"), std::string::npos) << Log;
    EXPECT_EQ(Log.find("other-word"), std::string::npos) << Log;
}
#endif

// A tree that takes part in the component model, as the program's widget does.
class TTreeComponent : public TComponent, public TRecordingTree
{
public:
    using TComponent::TComponent;
};

TEST(FtpControl, TreeAndClientBindThemselvesOnlyWhenBothAreFree)
{
    TComponent Owner;
    auto *Client = new TIpFtpClient(&Owner);
    // Inserted once fully made: during TComponent's own constructor the new
    // component is not yet recognisable as a tree.
    auto *Tree = new TTreeComponent(nullptr);
    Owner.InsertComponent(Tree);
    EXPECT_EQ(Client->DirectoryTree(), static_cast<TIpFtpDirTree *>(Tree));
    EXPECT_EQ(Tree->FtpClient(), Client);
    // A second tree finds the client taken.
    auto *Tree2 = new TTreeComponent(nullptr);
    Owner.InsertComponent(Tree2);
    EXPECT_EQ(Client->DirectoryTree(), static_cast<TIpFtpDirTree *>(Tree));
    EXPECT_EQ(Tree2->FtpClient(), nullptr);
    delete Tree;
    EXPECT_EQ(Client->DirectoryTree(), nullptr);

    // Writing the property stores the reference only.
    Client->SetDirectoryTree(Tree2);
    EXPECT_EQ(Tree2->FtpClient(), nullptr);
    Tree2->SetFtpClient(Client);
    // Destroying the client leaves no dangling reference in the tree.
    delete Client;
    EXPECT_EQ(Tree2->FtpClient(), nullptr);
}

TEST(FtpControl, LoginWithATreeRunsOnToTheFirstListingAndDetectsTheStyle)
{
    struct TCase
    {
        const char *Syst;
        TIpFtpDirStyle Before;
        TIpFtpDirStyle After;
        const char *Listing;
    };
    const TCase Cases[] = {
        {"215 UNIX Type: L8", dsNone, dsUnix, "LIST"},
        {"215 Windows_NT", dsNone, dsDos, "LIST"},
        {"215 VMS V5.5", dsNone, dsVms, "LIST"},
        {"215 MACOS Peter's Server", dsNone, dsNone, "NLST"},
        {"215", dsNone, dsNone, "NLST"},
        {"215 Windows_NT", dsUnix, dsUnix, "LIST"},
        {"215 UNIX", dsMultiNet, dsMultiNet, "LIST"},
    };
    for (const TCase &C : Cases) {
        SCOPED_TRACE(C.Syst);
        TScriptedPeer Peer;
        ScriptLogin(Peer).Expect("SYST").Send(C.Syst).Expect("PWD").Send("257 \"/home/bob\" is cwd")
            .Expect("TYPE A").Send("200 Type set").Expect("PASV");
        TRecordedClient R;
        TRecordingTree Tree;
        Tree.Style = C.Before;
        R.Client.SetDirectoryTree(&Tree);
        R.Client.SetPassiveMode(true);
        ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "pw"));
        ASSERT_TRUE(Peer.WaitDone());
        EXPECT_EQ(Tree.Style, C.After);
        EXPECT_EQ(R.Client.FtpState(), stDirectory);
        ASSERT_EQ(Tree.Calls.size(), 1u);
        EXPECT_EQ(Tree.Calls[0], "SetCurrentPath \\home\\bob");
        ASSERT_EQ(R.Client.CommandCount(), 1);
        EXPECT_EQ(R.Client.CommandStackLine(0), C.Listing);
        // The status carries the path as the server sent it.
        ASSERT_NE(R.IndexOf("fscCurrentDir"), -1);
        Peer.Close();
        ASSERT_EVENTUALLY(R.Has("fscClose"), 5000);
        EXPECT_EQ(Tree.Calls.back(), "ClearAll");
        R.Client.SetDirectoryTree(nullptr);
    }
}

TEST(FtpControl, AMultiLineGreetingIsOneReplyWithoutItsClosingLine)
{
    TScriptedPeer Peer;
    Peer.Send("220-Welcome").Send("more").Send("220-inside too").Send("220 Ready").Expect("USER bob")
        .Send("331 pw").Expect("PASS pw").Send("230 in").NoFeatures();
    TRecordedClient R;
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_GE(R.Replies.size(), 1u);
    EXPECT_EQ(R.Replies[0], "220-Welcome\r\nmore\r\n220-inside too\r\n");
    EXPECT_EQ(R.Events[1], "reply 220");
}

TEST(FtpControl, ATimeOutMessageClosesOrReadiesByState)
{
    TRecordedClient R;
    R.Client.PostMessage(CM_IPFTPTIMEOUT, 0, 0, std::any(std::string("ignored")));
    ASSERT_EVENTUALLY(R.Has("fscTimeout"), 2000);
    EXPECT_EQ(R.Client.FtpState(), stClosed);

    TScriptedPeer Peer;
    ScriptLogin(Peer);
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    R.Client.PostMessage(CM_IPFTPTIMEOUT, 0, 0);
    ASSERT_EVENTUALLY(R.Has("fscTimeout"), 2000);
    EXPECT_EQ(R.Client.FtpState(), stReady);
    EXPECT_TRUE(R.Client.Connected());
}

TEST(FtpControl, AnOperationThatCannotStartLeavesTheClientIdle)
{
    // A full command stack makes the first push of each operation raise;
    // the client must be idle afterwards, not wedged in the operation's state.
    TTempDir Dir;
    const std::string Up = Dir.File("up.txt");
    ASSERT_TRUE(WriteFile(Up, "data"));
    TScriptedPeer Peer;
    ScriptLogin(Peer).Expect("NOOP").Send("200 ok");
    TRecordedClient R;
    ASSERT_TRUE(LoginTo(R, Peer));
    struct TCase
    {
        const char *Name;
        std::function<void()> Start;
    };
    const TCase Cases[] = {
        {"Store", [&] { R.Client.Store("up.txt", Up, smReplace, 0); }},
        {"Retrieve", [&] { R.Client.Retrieve("down.txt", Dir.File("down.txt"), rmReplace, 0); }},
        {"Rename", [&] { R.Client.Rename("a", "b"); }},
        {"ListDir", [&] { R.Client.ListDir("", true); }},
    };
    for (const TCase &C : Cases) {
        SCOPED_TRACE(C.Name);
        while (R.Client.CommandCount() < IpFtpCommandStackSize)
            R.Client.PushCommand("FILLER");
        EXPECT_THROW(C.Start(), std::exception);
        EXPECT_EQ(R.Client.FtpState(), stReady);
        EXPECT_EQ(R.Client.TransferStream(), nullptr);
        EXPECT_EQ(R.Client.DataSocket(), INVALID_SOCKET);
        EXPECT_EQ(R.Client.ListenSocket(), nullptr);
    }
    // Nothing was sent and nothing was left behind.
    EXPECT_EQ(DirEntries(Dir.Path()), std::vector<std::string>{"up.txt"});
    // (One push too many empties the stack without sending anything.)
    while (R.Client.CommandCount() < IpFtpCommandStackSize)
        R.Client.PushCommand("FILLER");
    EXPECT_THROW(R.Client.PushCommand("FILLER"), std::exception);
    ASSERT_TRUE(R.Client.SendFtpCommand("NOOP"));
    ASSERT_TRUE(Peer.WaitDone());
}

TEST(FtpControl, NothingStartedDuringTheLoginsOwnCommandsIsTornApart)
{
    // With a tree, the login runs on with "SYST", "PWD" and the first
    // listing. Until those are answered the client is not idle: a transfer
    // started then would take their replies (and the listing) for its own.
    TTempDir Dir;
    const std::string Up = Dir.File("up.bin");
    const std::string Content = RandomBytes(20000, 41);
    ASSERT_TRUE(WriteFile(Up, Content));
    TScriptedPeer Peer;
    ScriptLogin(Peer).Expect("SYST").Mark("syst").Hold().Send("215 UNIX Type: L8").Expect("PWD").Mark("pwd").Hold()
        .Send("257 \"/\" is current").Expect("TYPE A").Send("200 ok").ExpectPasv().Expect("LIST").Send("150 go")
        .AcceptData().SendData("-rw-r--r-- 1 a b 5 Jan 1 10:00 x\r\n").CloseData().Send("226 ok")
        .Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("STOR up.bin").Send("150 go").AcceptData()
        .ReceiveData().Send("226 stored");
    TRecordedClient R;
    TRecordingTree Tree;
    R.Client.SetDirectoryTree(&Tree);
    R.Client.SetFileType(ftBinary);
    R.Client.SetPassiveMode(true);
    ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "pw"));
    ASSERT_EVENTUALLY(Peer.Reached("syst") && R.Has("reply 230"), 5000) << R.Joined();
    EXPECT_TRUE(R.Client.LoggedIn());
    EXPECT_NE(R.Client.FtpState(), stReady);
    EXPECT_FALSE(R.Client.Retrieve("f", Dir.File("f"), rmReplace, 0));
    Peer.Release();
    ASSERT_EVENTUALLY(Peer.Reached("pwd") && R.Has("reply 215"), 5000) << R.Joined();
    EXPECT_NE(R.Client.FtpState(), stReady);
    EXPECT_FALSE(R.Client.Store("up.bin", Up, smReplace, 0));
    Peer.Release();
    // The unattended upload's rule - wait until logged in and idle - then
    // starts the upload after the first listing, and it runs intact.
    ASSERT_EVENTUALLY(R.Client.FtpState() == stReady && R.Has("fscDirList"), 5000) << R.Joined();
    ASSERT_EQ(Tree.Listings.size(), 1u);
    ASSERT_TRUE(R.Client.Store("up.bin", Up, smReplace, 0));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscTransferOK"), 5000) << R.Joined();
    EXPECT_EQ(Peer.DataReceived().back(), Content);
    EXPECT_EQ(DirEntries(Dir.Path()), std::vector<std::string>{"up.bin"});
    R.Client.SetDirectoryTree(nullptr);
}
