// Data transfers against a scripted server: exact command sequences in
// passive and active mode, restart offsets, progress, time-out, refused and
// stalled data connections, and what happens to local files on failure.

#include "test_ftp_fixture.h"

#include <algorithm>

#include "base/IpEventLog.h"
#include "base/IpStreams.h"
#include "support/TestPaths.h"


TEST_F(TTransferTest, PassiveBinaryDownloadSendsRetrRightAfter229)
{
    const std::string Data = RandomBytes(300 * 1024, 3);
    ScriptLogin(Peer.ExtendedCommands()).Expect("TYPE I").Send("200 Type set to I").ExpectEpsv().Expect("RETR dir/f.bin")
        .Send("150 Opening BINARY connection").AcceptData().SendData(Data).CloseData().Send("226 Done");
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    const std::string Local = Dir.File("f.bin");
    ASSERT_TRUE(R.Client.Retrieve("dir/f.bin", Local, rmReplace, 0));
    EXPECT_EQ(R.Client.FtpState(), stRetrieve);
    EXPECT_EQ(R.Client.RemoteFileName(), "dir/f.bin");
    EXPECT_FALSE(R.Client.Retrieve("x", Dir.File("x"), rmReplace, 0));
    // A listing cannot cut into the running download.
    EXPECT_THROW(R.Client.ListDir("", true), EIpBaseException);
    EXPECT_EQ(R.Client.FtpState(), stRetrieve);
    EXPECT_NE(R.Client.TransferStream(), nullptr);
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscTransferOK"), 5000) << R.Joined();
    ASSERT_EVENTUALLY(R.Has("reply 226"), 5000);
    EXPECT_EQ(R.Client.FtpState(), stReady);
    EXPECT_EQ(R.Client.BytesTransferred(), static_cast<int64_t>(Data.size()));
    EXPECT_EQ(ReadFile(Local), Data);
    EXPECT_EQ(R.Client.TransferStream(), nullptr);
    EXPECT_EQ(R.Client.DataSocket(), INVALID_SOCKET);
    EXPECT_EQ(DirEntries(Dir.Path()), std::vector<std::string>{"f.bin"});
    EXPECT_EQ(Peer.Received(),
              (std::vector<std::string>{"USER bob", "PASS pw", "FEAT", "TYPE I", "EPSV", "RETR dir/f.bin"}));
}

TEST_F(TTransferTest, ActiveListingSendsPortFirstAndRaisesNoProgress)
{
    R.Client.SetPassiveMode(false);
    TRecordingTree Tree;
    Tree.Style = dsUnix;
    R.Client.SetDirectoryTree(&Tree);
    std::string Listing;
    for (int i = 0; i < 3000; ++i)
        Listing += "-rw-r--r--   1 bob  users   " + std::to_string(i) + " Jan 15 10:30 file" + std::to_string(i) + "\r\n";
    const std::string Half1 = Listing.substr(0, Listing.size() / 2), Half2 = Listing.substr(Listing.size() / 2);
    ScriptLogin(Peer).Expect("SYST").Send("215 UNIX Type: L8").Expect("PWD").Send("257 \"/pub\" is current")
        .ExpectPort().Send("200 PORT ok").Expect("TYPE A").Send("200 Type A").Expect("LIST").Send("150 Here it comes")
        .ConnectData().SendData(Half1).Pause(1200).SendData(Half2).CloseData().Send("226 Listing done");
    ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "pw"));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscDirList"), 5000) << R.Joined();
    // The server reached the data connection at the port the PORT line named.
    const uint16_t ListenPort = Peer.DataPort();
    const auto Got = Peer.Received();
    ASSERT_EQ(Got.size(), 9u);
    EXPECT_EQ(Got[5].rfind("EPRT |1|127.0.0.1|", 0), 0u) << Got[5];
    EXPECT_EQ(Got[6], "PORT 127,0,0,1," + std::to_string(ListenPort / 256) + "," + std::to_string(ListenPort % 256));
    EXPECT_EQ(Got[7], "TYPE A");
    EXPECT_EQ(Got[8], "LIST");
    EXPECT_EQ(R.Progress, 0);
    EXPECT_EQ(R.Infos.back(), Listing);
    ASSERT_EQ(Tree.Listings.size(), 1u);
    EXPECT_EQ(Tree.Listings[0], Listing);
    EXPECT_EQ(Tree.Calls, (std::vector<std::string>{"SetCurrentPath \\pub", "LoadListing"}));
    // The tree hears of the listing before the status event.
    EXPECT_EQ(R.Client.FtpState(), stReady);
    EXPECT_EQ(R.Client.ListenSocket(), nullptr);
    EXPECT_EQ(R.Client.ListenHandle(), INVALID_SOCKET);
    R.Client.SetDirectoryTree(nullptr);
}

TEST_F(TTransferTest, RestartDownloadSendsTheRightOffsets)
{
    struct TCase
    {
        const char *Name;
        bool Exists;
        int64_t RestartAt;
        TIpFtpRetrieveMode Mode;
        int64_t Rest;
    };
    const TCase Cases[] = {
        {"valid", true, 4, rmRestart, 4},
        {"too-large", true, 100, rmRestart, 10},
        {"zero", true, 0, rmRestart, 0},
        {"negative", true, -5, rmRestart, 10},
        {"missing", false, 7, rmRestart, 0},
        {"mode3", true, 6, static_cast<TIpFtpRetrieveMode>(3), 6},
    };
    ScriptLogin(Peer);
    ASSERT_TRUE(LoginTo(R, Peer));
    for (const TCase &C : Cases) {
        SCOPED_TRACE(C.Name);
        const std::string Local = Dir.File(std::string("r-") + C.Name);
        const std::string Old = "0123456789";
        if (C.Exists) {
            ASSERT_TRUE(WriteFile(Local, Old));
        }
        const std::string Tail = "TAIL-" + std::string(C.Name);
        Peer.Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("REST " + std::to_string(C.Rest))
            .Send("350 Restarting").Expect("RETR remote").Send("150 go").AcceptData().SendData(Tail).CloseData()
            .Send("226 ok");
        ASSERT_TRUE(R.Client.Retrieve("remote", Local, C.Mode, C.RestartAt));
        ASSERT_TRUE(Peer.WaitDone());
        ASSERT_EVENTUALLY(R.Client.FtpState() == stReady && R.Has("fscTransferOK"), 5000) << R.Joined();
        EXPECT_EQ(ReadFile(Local), (C.Exists ? Old.substr(0, C.Rest) : std::string()) + Tail);
        // Only this connection's bytes, not the offset.
        EXPECT_EQ(R.Client.BytesTransferred(), static_cast<int64_t>(Tail.size()));
        R.Events.clear();
    }
}

TEST_F(TTransferTest, AppendDownloadAddsToTheLocalFile)
{
    const std::string Local = Dir.File("a.txt");
    ASSERT_TRUE(WriteFile(Local, "head-"));
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR a.txt").Send("150 go").AcceptData()
        .SendData("tail").CloseData().Send("226 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.Retrieve("a.txt", Local, rmAppend, 0));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscTransferOK"), 5000) << R.Joined();
    EXPECT_EQ(ReadFile(Local), "head-tail");
}

TEST_F(TTransferTest, UploadsSendTheirCommandAndOnlyTheRestAfterARestart)
{
    const std::string Content = RandomBytes(5000, 9);
    const std::string Local = Dir.File("up.bin");
    ASSERT_TRUE(WriteFile(Local, Content));
    struct TCase
    {
        TIpFtpStoreMode Mode;
        int64_t RestartAt;
        std::vector<std::string> Lines; // after TYPE I, PASV
        std::string Sent;
    };
    const TCase Cases[] = {
        {smReplace, 0, {"STOR up.bin"}, Content},
        {smAppend, 0, {"APPE up.bin"}, Content},
        {smUnique, 0, {"STOU up.bin"}, Content},
        {smRestart, 1460, {"REST 1460", "STOR up.bin"}, Content.substr(1460)},
        {smRestart, 999999, {"REST 0", "STOR up.bin"}, Content},
        {static_cast<TIpFtpStoreMode>(7), 5000, {"REST 5000", "STOR up.bin"}, std::string()},
    };
    ScriptLogin(Peer);
    ASSERT_TRUE(LoginTo(R, Peer));
    int Round = 0;
    for (const TCase &C : Cases) {
        SCOPED_TRACE(C.Lines.front());
        Peer.Expect("TYPE I").Send("200 ok").ExpectPasv();
        if (C.Lines.size() == 2)
            Peer.Expect(C.Lines[0]).Send("350 Restart ok");
        Peer.Expect(C.Lines.back()).Send("150 go").AcceptData().ReceiveData().Send("226 stored");
        ASSERT_TRUE(R.Client.Store("up.bin", Local, C.Mode, C.RestartAt));
        EXPECT_EQ(R.Client.FtpState(), stStore);
        ASSERT_TRUE(Peer.WaitDone());
        ASSERT_EVENTUALLY(R.Client.FtpState() == stReady && R.Has("fscTransferOK"), 5000) << R.Joined();
        ASSERT_EQ(Peer.DataReceived().size(), static_cast<size_t>(Round + 1));
        EXPECT_EQ(Peer.DataReceived().back(), C.Sent);
        EXPECT_EQ(R.Client.BytesTransferred(), static_cast<int64_t>(C.Sent.size()));
        R.Events.clear();
        ++Round;
    }
}

TEST_F(TTransferTest, ActiveUploadIsAcceptedOnTheListenSocket)
{
    R.Client.SetPassiveMode(false);
    const std::string Content = RandomBytes(100 * 1024, 5);
    const std::string Local = Dir.File("act.bin");
    ASSERT_TRUE(WriteFile(Local, Content));
    ScriptLogin(Peer).ExpectPort().Send("200 PORT ok").Expect("TYPE I").Send("200 ok").Expect("STOR act.bin")
        .Send("150 go").ConnectData().ReceiveData().Send("226 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.Store("act.bin", Local, smReplace, 0));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscTransferOK"), 5000) << R.Joined();
    ASSERT_EQ(Peer.DataReceived().size(), 1u);
    EXPECT_EQ(Peer.DataReceived()[0], Content);
    EXPECT_EQ(R.Client.ListenSocket(), nullptr);
}

TEST_F(TTransferTest, AnErrorTo_PASV_LeavesTheLaterLinesStacked)
{
    const std::string Local = Dir.File("keep.txt");
    ASSERT_TRUE(WriteFile(Local, "precious"));
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").Expect("PASV").Send("500 PASV not understood");
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.Retrieve("f", Local, rmRestart, 3));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("error 500"), 5000);
    EXPECT_EQ(R.Client.FtpState(), stReady);
    ASSERT_EQ(R.Client.CommandCount(), 2);
    EXPECT_EQ(R.Client.CommandStackLine(0), "RETR f");
    EXPECT_EQ(R.Client.CommandStackLine(1), "REST 3");
}

TEST_F(TTransferTest, AReplaceDownloadThatFailsLeavesTheLocalFileAlone)
{
    const std::string Local = Dir.File("keep.txt");
    ASSERT_TRUE(WriteFile(Local, "precious"));
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR f").Send("150 go").AcceptData()
        .SendData("partial data").Send("426 Connection closed; transfer aborted").Pause(200).CloseData();
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.Retrieve("f", Local, rmReplace, 0));
    // While it runs, the data goes to a file beside the target.
    ASSERT_EVENTUALLY(DirEntries(Dir.Path()).size() == 2, 5000);
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("error 426"), 5000);
    RunFor(300);
    EXPECT_FALSE(R.Has("fscTransferOK")) << R.Joined();
    EXPECT_EQ(ReadFile(Local), "precious");
    EXPECT_EQ(DirEntries(Dir.Path()), std::vector<std::string>{"keep.txt"});
}

TEST_F(TTransferTest, AResetDataConnectionIsNoCompletionEvenWhenTheServerSays226)
{
    // The reset cuts the file short; a server that still confirms the
    // transfer must not get the half file renamed over the original.
    const std::string Local = Dir.File("keep.bin");
    ASSERT_TRUE(WriteFile(Local, "precious"));
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR f").Send("150 go").AcceptData()
        .SendData(RandomBytes(20000, 5)).Pause(100).ResetData().Pause(200).Send("226 Transfer complete");
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    ASSERT_TRUE(R.Client.Retrieve("f", Local, rmReplace, 0));
    ASSERT_TRUE(Peer.WaitDone());
    // The 226 was owed to the broken transfer.
    EXPECT_TRUE(NextCommandGetsItsOwnAnswer(R, Peer));
    EXPECT_NE(R.IndexOf("sockerror 10054"), -1) << R.Joined();
    EXPECT_FALSE(R.Has("fscTransferOK")) << R.Joined();
    EXPECT_EQ(R.Client.TransferStream(), nullptr);
    EXPECT_EQ(ReadFile(Local), "precious");
    EXPECT_EQ(DirEntries(Dir.Path()), std::vector<std::string>{"keep.bin"});
}

TEST_F(TTransferTest, AStalledTransferTimesOutAndEmptiesTheStack)
{
    const std::string Local = Dir.File("t.bin");
    ASSERT_TRUE(WriteFile(Local, "original"));
    R.Client.SetTransferTimeout(1000);
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR slow").Send("150 go").AcceptData()
        .SendData("some bytes").Hold();
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    R.Client.PushCommand("STALE LINE");
    ASSERT_TRUE(R.Client.Retrieve("slow", Local, rmReplace, 0));
    ASSERT_EVENTUALLY(R.Has("fscTimeout"), 8000) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stReady);
    EXPECT_EQ(R.Client.CommandCount(), 0);
    EXPECT_EQ(R.Client.DataSocket(), INVALID_SOCKET);
    EXPECT_EQ(R.Client.TransferStream(), nullptr);
    EXPECT_FALSE(R.Has("fscTransferOK"));
    EXPECT_EQ(ReadFile(Local), "original");
    EXPECT_EQ(DirEntries(Dir.Path()), std::vector<std::string>{"t.bin"});
    // Only the control connection is left.
    EXPECT_EQ(R.Client.SocketList()->Count(), 1);
    Peer.Release();
}

TEST_F(TTransferTest, ARefusedDataConnectionIsASocketErrorAndTheServersReplyEndsIt)
{
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").Expect("PASV").RefusePassive().Expect("RETR f").Pause(500)
        .Send("425 Can't open data connection");
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    ASSERT_TRUE(R.Client.Retrieve("f", Dir.File("f"), rmReplace, 0));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("error 425"), 5000) << R.Joined();
    EXPECT_NE(R.IndexOf("sockerror 10061"), -1) << R.Joined();
    EXPECT_LT(R.IndexOf("sockerror 10061"), R.IndexOf("error 425")) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stReady);
    RunFor(100);
    EXPECT_EQ(R.Client.SocketList()->Count(), 1);
    EXPECT_TRUE(DirEntries(Dir.Path()).empty());
}

TEST_F(TTransferTest, LosingTheControlConnectionMidTransferIsNoCompletion)
{
    const std::string Local = Dir.File("c.bin");
    ASSERT_TRUE(WriteFile(Local, "original"));
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR f").Send("150 go").AcceptData()
        .SendData(RandomBytes(50000, 2)).Pause(200).Close();
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    ASSERT_TRUE(R.Client.Retrieve("f", Local, rmReplace, 0));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscClose"), 5000) << R.Joined();
    RunFor(200);
    EXPECT_FALSE(R.Has("fscTransferOK")) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stClosed);
    EXPECT_EQ(ReadFile(Local), "original");
    EXPECT_EQ(DirEntries(Dir.Path()), std::vector<std::string>{"c.bin"});
    EXPECT_EQ(R.Client.SocketList()->Count(), 0);
}

TEST_F(TTransferTest, ABadLocalFileRaisesBeforeAnythingChangesOrIsSent)
{
    ScriptLogin(Peer).Expect("NOOP").Send("200 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    EXPECT_THROW(R.Client.Retrieve("f", Dir.File("no/such/dir/f"), rmReplace, 0), EIpStreamError);
    EXPECT_THROW(R.Client.Retrieve("f", Dir.File("no/such/dir/f"), rmAppend, 0), EIpStreamError);
    EXPECT_THROW(R.Client.Retrieve("f", Dir.MakeDir("adir"), rmReplace, 0), EIpStreamError);
    EXPECT_THROW(R.Client.Retrieve("f", Dir.MakeDir("bdir"), rmRestart, 0), EIpStreamError);
    EXPECT_EQ(R.Client.FtpState(), stReady);
    EXPECT_EQ(R.Client.CommandCount(), 0);
    // A missing or non-regular file to upload is a refused precondition.
    EXPECT_FALSE(R.Client.Store("f", Dir.File("missing"), smReplace, 0));
    EXPECT_FALSE(R.Client.Store("f", Dir.Path(), smReplace, 0));
    EXPECT_FALSE(R.Client.Store("", Dir.File("missing"), smReplace, 0));
    EXPECT_EQ(R.Client.FtpState(), stReady);
    // Nothing reached the server: the next line it sees is this one.
    ASSERT_TRUE(R.Client.SendFtpCommand("NOOP"));
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(Peer.Received().size(), 4u);
    // No file was created, and no temporary file was left behind.
    auto Names = DirEntries(Dir.Path());
    std::sort(Names.begin(), Names.end());
    EXPECT_EQ(Names, (std::vector<std::string>{"adir", "bdir"}));
}

TEST_F(TTransferTest, PassiveModeCannotChangeDuringATransferAndListingsUseTypeA)
{
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR f").Send("150 go").AcceptData()
        .SendData("x").CloseData().Send("226 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.Retrieve("f", Dir.File("f"), rmReplace, 0));
    R.Client.SetPassiveMode(false);
    EXPECT_TRUE(R.Client.PassiveMode());
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Client.FtpState() == stReady && R.Has("fscTransferOK"), 5000);
    R.Client.SetPassiveMode(false);
    EXPECT_FALSE(R.Client.PassiveMode());

    // A listing is always "TYPE A" whatever the file type, and "NLST" for a
    // name listing with a path.
    R.Client.SetPassiveMode(true);
    Peer.Expect("TYPE A").Send("200 ok").ExpectPasv().Expect("NLST sub/dir").Send("150 go").AcceptData()
        .SendData("a\r\nb\r\n").CloseData().Send("226 ok");
    R.Events.clear();
    R.Client.ListDir("sub/dir", false);
    // Called on an idle client, a listing takes the listing state itself.
    EXPECT_EQ(R.Client.FtpState(), stDirectory);
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscDirList"), 5000) << R.Joined();
    EXPECT_EQ(R.Infos.back(), "a\r\nb\r\n");
    EXPECT_EQ(R.Client.FtpState(), stReady);
}

TEST_F(TTransferTest, ProgressIsReportedWhileAFileMoves)
{
    const std::string Part = RandomBytes(64 * 1024, 11);
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR p").Send("150 go").AcceptData()
        .SendData(Part).Pause(700).SendData(Part).Pause(700).SendData(Part).CloseData().Send("226 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    R.RecordProgress = true;
    std::vector<int64_t> Seen;
    R.Client.OnFtpStatus = [&](TObject *, TIpFtpStatusCode Code, const std::string &) {
        if (Code == fscProgress)
            Seen.push_back(R.Client.BytesTransferred());
        R.Events.push_back(StatusName(Code));
    };
    ASSERT_TRUE(R.Client.Retrieve("p", Dir.File("p"), rmReplace, 0));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscTransferOK"), 5000) << R.Joined();
    ASSERT_GE(Seen.size(), 2u);
    for (size_t i = 1; i < Seen.size(); ++i)
        EXPECT_GE(Seen[i], Seen[i - 1]);
    EXPECT_GT(Seen.front(), 0);
    EXPECT_LE(Seen.back(), static_cast<int64_t>(3 * Part.size()));
    EXPECT_EQ(R.Client.BytesTransferred(), static_cast<int64_t>(3 * Part.size()));
}

TEST_F(TTransferTest, AMalformed227EndsTheTransferWithAnError)
{
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").Expect("PASV").Send("227 Entering Passive Mode (evil,host,name,x,1,2)")
        .Expect("NOOP").Send("200 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.Retrieve("f", Dir.File("f"), rmReplace, 0));
    ASSERT_EVENTUALLY(R.Has("error 227"), 5000) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stReady);
    EXPECT_EQ(R.Client.SocketList()->Count(), 1);
    EXPECT_TRUE(DirEntries(Dir.Path()).empty());
    // RETR was not sent; it waits on the stack like after any error.
    EXPECT_EQ(R.Client.CommandCount(), 1);
    R.Client.PushCommand("NOOP");
    R.Client.SendNextCommand();
    ASSERT_TRUE(Peer.WaitDone());
    // (The 200 to NOOP then sends the stacked RETR, as after any error.)
    const auto Got = Peer.Received();
    ASSERT_GE(Got.size(), 7u);
    EXPECT_EQ(Got[4], "EPSV");
    EXPECT_EQ(Got[5], "PASV");
    EXPECT_EQ(Got[6], "NOOP");
}

TEST_F(TTransferTest, FileOperationsWriteTheirEventLogLines)
{
    if (!R.Client.EventLog())
        GTEST_SKIP() << "the socket control has no event log yet";
    R.Client.EventLog()->SetFileName(Dir.File("event.log"));
    R.Client.EventLog()->SetEnabled(true);
    const std::string Up = Dir.File("up.txt");
    ASSERT_TRUE(WriteFile(Up, "0123456789"));
    ScriptLogin(Peer)
        .Expect("DELE gone.txt").Send("250 ok")
        .Expect("RNFR a").Send("350 ok").Expect("RNTO b").Send("250 ok")
        .Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR r1").Send("150 go").AcceptData().SendData("x")
        .CloseData().Send("226 ok")
        .Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("REST 0").Send("350 ok").Expect("RETR r2")
        .Send("150 go").AcceptData().SendData("y").CloseData().Send("226 ok")
        .Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("STOR s1").Send("150 go").AcceptData().ReceiveData()
        .Send("226 ok")
        .Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("REST 4").Send("350 ok").Expect("STOR s2")
        .Send("150 go").AcceptData().ReceiveData().Send("226 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    auto Next = [&](const std::function<bool()> &Start, const char *Done) {
        R.Events.clear();
        ASSERT_TRUE(Start());
        ASSERT_EVENTUALLY(R.Has(Done) && R.Client.FtpState() == stReady, 5000) << R.Joined();
        RunFor(50);
    };
    Next([&] { return R.Client.Delete("gone.txt"); }, "fscComplete");
    Next([&] { return R.Client.Rename("a", "b"); }, "fscComplete");
    Next([&] { return R.Client.Retrieve("r1", Dir.File("r1"), rmReplace, 0); }, "fscTransferOK");
    Next([&] { return R.Client.Retrieve("r2", Dir.File("r2"), rmRestart, 0); }, "fscTransferOK");
    Next([&] { return R.Client.Store("s1", Up, smReplace, 0); }, "fscTransferOK");
    Next([&] { return R.Client.Store("s2", Up, smRestart, 4); }, "fscTransferOK");
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_EQ(Peer.DataReceived().back(), "456789");
    const std::string Log = ReadFile(Dir.File("event.log"));
    size_t At = 0;
    for (const std::string &Line : {std::string("Deleting gone.txt"), std::string("Renaming a"),
                                    std::string("Retrieving r1"), std::string("Attempting to re-start transfer of r2"),
                                    "Storing " + Up, std::string("Attempting to re-start transfer of s2")}) {
        size_t Pos = Log.find(Line, At);
        ASSERT_NE(Pos, std::string::npos) << Line << " missing after offset " << At << " in:\n" << Log;
        At = Pos + Line.size();
    }
}

TEST_F(TTransferTest, AnUploadWaitsForTheServersGoAheadEvenWhenConnectedEarly)
{
    // Like pyftpdlib in active mode: the server connects as soon as it has
    // the PORT line, long before the transfer command.
    R.Client.SetPassiveMode(false);
    const std::string Local = Dir.File("early.bin");
    ASSERT_TRUE(WriteFile(Local, RandomBytes(20000, 4)));
    ScriptLogin(Peer).ExpectPort().ConnectData().Send("200 PORT ok").Expect("TYPE I").Send("200 ok")
        .Expect("STOR early.bin").Mark("stor").Hold().Send("150 go").ReceiveData().Send("226 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.Store("early.bin", Local, smReplace, 0));
    ASSERT_EVENTUALLY(Peer.Reached("stor"), 5000);
    RunFor(300);
    TIpDataSocket *Data = R.Client.FindDataSocket(R.Client.DataSocket(), false);
    ASSERT_NE(Data, nullptr);
    EXPECT_EQ(Data->GetStatistics().Sent(), 0u);
    EXPECT_EQ(Data->SendQueueCount(), 0u);
    Peer.Release();
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscTransferOK"), 5000) << R.Joined();
    EXPECT_EQ(Peer.DataReceived().at(0), ReadFile(Local));
}

TEST_F(TTransferTest, AListingConfirmedWith250DoesNotStartTheSameListingAgain)
{
    TRecordingTree Tree;
    Tree.Style = dsUnix;
    R.Client.SetDirectoryTree(&Tree);
    ScriptLogin(Peer).Expect("SYST").Send("215 UNIX").Expect("PWD").Send("257 \"/\"").Expect("TYPE A")
        .Send("200 ok").ExpectPasv().Expect("LIST").Send("150 go").AcceptData().Send("250 Listing sent")
        .Pause(200).SendData("drwxr-xr-x 2 a b 0 Jan 1 10:00 d\r\n").CloseData().Expect("NOOP").Send("200 ok");
    ASSERT_TRUE(R.Client.Login(LocalAddress(Peer.Port()), "bob", "pw"));
    ASSERT_EVENTUALLY(R.Has("fscDirList"), 5000) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stReady);
    // The next line the server sees is the application's, not a new PWD.
    ASSERT_TRUE(R.Client.SendFtpCommand("NOOP"));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EQ(Tree.Listings.size(), 1u);
    R.Client.SetDirectoryTree(nullptr);
}

// ---------------------------------------------------------------------------
// Completion: the data connection's normal end with every byte AND the
// server's 226/250, in either order. Anything less keeps the old file.

namespace {

struct TEnding
{
    const char *Name;
    std::function<void(TScriptedPeer &)> Script; // after "150", with the data connection accepted
    const char *Expect;                          // an event that must arrive
};

} // namespace

TEST_F(TTransferTest, ADownloadCutShortIsNeverACompletionAndKeepsTheOriginal)
{
    const std::string Part = RandomBytes(30000, 21);
    const TEnding Endings[] = {
        {"data closed, then 426", [&](TScriptedPeer &P) { P.SendData(Part).CloseData().Pause(300).Send("426 Aborted"); },
         "error 426"},
        {"data closed, then 451", [&](TScriptedPeer &P) { P.SendData(Part).CloseData().Pause(300).Send("451 Local error"); },
         "error 451"},
        {"data closed, then the control connection", [&](TScriptedPeer &P) { P.SendData(Part).CloseData().Pause(300).Close(); },
         "fscClose"},
        {"announced 1000 bytes, sent none", [&](TScriptedPeer &P) { P.CloseData().Pause(300).Send("226 Transfer complete"); },
         "sockerror 8102"},
        {"announced 1000 bytes, sent 999", [&](TScriptedPeer &P) { P.SendData(std::string(999, 'x')).CloseData().Send("226 ok"); },
         "sockerror 8102"},
    };
    for (const TEnding &E : Endings) {
        SCOPED_TRACE(E.Name);
        TTempDir Here;
        TScriptedPeer P;
        TRecordedClient C;
        C.Client.SetFileType(ftBinary);
        C.Client.SetPassiveMode(true);
        const std::string Local = Here.File("keep.bin");
        ASSERT_TRUE(WriteFile(Local, "precious"));
        ScriptLogin(P).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR f")
            .Send("150 Opening BINARY mode data connection for f (1000 bytes).").AcceptData();
        E.Script(P);
        ASSERT_TRUE(LoginTo(C, P));
        C.Events.clear();
        ASSERT_TRUE(C.Client.Retrieve("f", Local, rmReplace, 0));
        ASSERT_TRUE(P.WaitDone());
        ASSERT_EVENTUALLY(C.Has(E.Expect), 5000) << C.Joined();
        RunFor(300);
        EXPECT_FALSE(C.Has("fscTransferOK")) << C.Joined();
        EXPECT_NE(C.Client.FtpState(), stRetrieve);
        EXPECT_EQ(C.Client.TransferStream(), nullptr);
        EXPECT_EQ(ReadFile(Local), "precious");
        EXPECT_EQ(DirEntries(Here.Path()), std::vector<std::string>{"keep.bin"});
        if (std::string(E.Expect) == "sockerror 8102") {
            EXPECT_EQ(C.Client.FtpState(), stReady);
            EXPECT_NE(C.Errors.back().find("Download incomplete"), std::string::npos) << C.Errors.back();
            EXPECT_NE(C.Errors.back().find("of 1000 bytes"), std::string::npos) << C.Errors.back();
        }
    }
}

TEST_F(TTransferTest, ASizeAnnouncedAfterTheDataClosedStillCountsAgainstWhatArrived)
{
    // The data connection ends before the 150 that announces the size has
    // been read: the short file must still fail when the 226 completes it.
    const std::string Local = Dir.File("keep.bin");
    ASSERT_TRUE(WriteFile(Local, "precious"));
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR f").AcceptData()
        .SendData(std::string(999, 'x')).CloseData().Pause(300)
        .Send("150 Opening BINARY mode data connection for f (1000 bytes).").Send("226 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    ASSERT_TRUE(R.Client.Retrieve("f", Local, rmReplace, 0));
    ASSERT_EVENTUALLY(R.Has("sockerror 8102"), 5000) << R.Joined();
    RunFor(200);
    EXPECT_FALSE(R.Has("fscTransferOK")) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stReady);
    EXPECT_EQ(ReadFile(Local), "precious");
    EXPECT_EQ(DirEntries(Dir.Path()), std::vector<std::string>{"keep.bin"});
}

TEST_F(TTransferTest, TheFinalReplyAndTheDataCloseCompleteInEitherOrder)
{
    const std::string Data = RandomBytes(40000, 22);
    const std::string Local = Dir.File("f.bin");
    ASSERT_TRUE(WriteFile(Local, "old"));
    // 226 first: nothing is complete until the data connection has ended.
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR f")
        .Send("150 Opening BINARY mode data connection for f (40000 bytes).").AcceptData().Send("226 Done")
        .Mark("replied").Pause(500).SendData(Data).CloseData();
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    ASSERT_TRUE(R.Client.Retrieve("f", Local, rmReplace, 0));
    ASSERT_EVENTUALLY(R.Has("reply 226"), 5000) << R.Joined();
    RunFor(200);
    EXPECT_FALSE(R.Has("fscTransferOK")) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stRetrieve);
    EXPECT_EQ(ReadFile(Local), "old");
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscTransferOK"), 5000) << R.Joined();
    EXPECT_EQ(ReadFile(Local), Data);
    EXPECT_EQ(R.Client.FtpState(), stReady);

    // Data first: the listing waits for the 226 before the tree hears of it.
    TRecordingTree Tree;
    R.Client.SetDirectoryTree(&Tree);
    Peer.Expect("TYPE A").Send("200 ok").ExpectPasv().Expect("LIST").Send("150 go").AcceptData()
        .SendData("-rw-r--r-- 1 a b 5 Jan 1 10:00 x\r\n").CloseData().Mark("closed").Pause(500).Send("226 ok");
    R.Events.clear();
    R.Client.ListDir("", true);
    ASSERT_EVENTUALLY(Peer.Reached("closed"), 5000);
    RunFor(250);
    EXPECT_TRUE(Tree.Listings.empty());
    EXPECT_FALSE(R.Has("fscDirList")) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stDirectory);
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscDirList"), 5000) << R.Joined();
    EXPECT_LT(R.IndexOf("reply 226"), R.IndexOf("fscDirList"));
    ASSERT_EQ(Tree.Listings.size(), 1u);
    R.Client.SetDirectoryTree(nullptr);
}

TEST_F(TTransferTest, AListingEndedBy426ReachesNeitherTheTreeNorTheApplication)
{
    ScriptLogin(Peer).Expect("TYPE A").Send("200 ok").ExpectPasv().Expect("LIST").Send("150 go").AcceptData()
        .SendData("-rw-r--r-- 1 a b 5 Jan 1 10:00 x\r\n").CloseData().Pause(200).Send("426 Aborted");
    ASSERT_TRUE(LoginTo(R, Peer));
    TRecordingTree Tree;
    R.Client.SetDirectoryTree(&Tree);
    R.Client.ListDir("", true);
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("error 426"), 5000) << R.Joined();
    RunFor(200);
    EXPECT_FALSE(R.Has("fscDirList")) << R.Joined();
    EXPECT_TRUE(Tree.Listings.empty());
    EXPECT_EQ(R.Client.FtpState(), stReady);
    R.Client.SetDirectoryTree(nullptr);
}

TEST_F(TTransferTest, AnUploadTheServerStopsReadingIsNoCompletion)
{
    const std::string Local = Dir.File("big.bin");
    const int64_t Size = 8 * 1024 * 1024;
    ASSERT_NE(MakeRandomFile(Local, Size, 23), 0u);
    struct TCase
    {
        const char *Name;
        const char *Reply;
    };
    const TCase Cases[] = {{"226 after 64 KiB", "226 Transfer complete"}, {"552 after 64 KiB", "552 Quota exceeded"}};
    for (const TCase &C : Cases) {
        SCOPED_TRACE(C.Name);
        TScriptedPeer P;
        TRecordedClient Cl;
        Cl.Client.SetFileType(ftBinary);
        Cl.Client.SetPassiveMode(true);
        // The server takes 64 KiB and ends its side; the client fails the
        // upload before the server answers STOR, so that answer is owed
        // (there is nothing left to abort).
        ScriptLogin(P).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("STOR big.bin").Send("150 go")
            .AcceptData().ReceiveDataBytes(65536).ShutdownData().Pause(300).Send(C.Reply).CloseData();
        ASSERT_TRUE(LoginTo(Cl, P));
        Cl.Events.clear();
        ASSERT_TRUE(Cl.Client.Store("big.bin", Local, smReplace, 0));
        ASSERT_TRUE(P.WaitDone(15000));
        EXPECT_TRUE(NextCommandGetsItsOwnAnswer(Cl, P));
        EXPECT_FALSE(Cl.Has("fscTransferOK")) << Cl.Joined();
        // The error says how much went out, whatever the server claims.
        bool Named = false;
        for (const std::string &E : Cl.Errors)
            Named = Named || (E.find("Upload incomplete:") == 0 && E.find("of 8388608 bytes sent") != std::string::npos);
        EXPECT_TRUE(Named) << Cl.Joined();
        EXPECT_EQ(Cl.Client.TransferStream(), nullptr);
        EXPECT_EQ(Cl.Client.SocketList()->Count(), 1);
    }
}
