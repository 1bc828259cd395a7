// Folder commands and the transfer queue against the scripted server.

#include "test_ftp_fixture.h"

#include "ftp/IpFtpQueue.h"
#include "ftp/IpFtpTreeRemove.h"

namespace {

// Every state change of the queue's items, as "id:state".
struct TQueueLog
{
    explicit TQueueLog(TIpFtpQueue &Q)
    {
        Q.OnItemState = [this](TIpFtpQueue &, const TIpFtpQueueItem &I) {
            States.push_back(std::to_string(I.Id) + ":" + IpFtpQueueStateName(I.State));
        };
        Q.OnFinished = [this](TIpFtpQueue &) { ++Finished; };
    }
    std::vector<std::string> States;
    int Finished = 0;
};

using States = std::vector<std::string>;

} // namespace

TEST_F(TTransferTest, FolderCommandsReportTheirOutcomeWithoutMovingTheTree)
{
    TRecordingTree Tree;
    Tree.Style = dsUnix;
    ScriptLogin(Peer).Reply("MKD new dir", "257 \"/home/new dir\" created").Reply("RMD gone", "250 Removed")
        .Reply("MKD taken", "550 Exists").Reply("CDUP", "200 ok").Reply("PWD", "257 \"/home\"")
        .Expect("TYPE A").Send("200 ok").ExpectPasv().Expect("LIST").Send("150 go").AcceptData().CloseData()
        .Send("226 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Client.SetDirectoryTree(&Tree);
    ASSERT_TRUE(R.Client.MakeDir("new dir"));
    ASSERT_TRUE(R.WaitReady());
    ASSERT_EQ(R.Events.back(), "reply 257");
    EXPECT_EQ(R.Infos.back(), "/home/new dir");
    ASSERT_TRUE(R.Client.RemoveDir("gone"));
    ASSERT_EVENTUALLY(R.Events.back() == "reply 250", 5000) << R.Joined();
    EXPECT_TRUE(R.Client.MakeDir("taken"));
    ASSERT_EVENTUALLY(R.Has("error 550") && R.Client.FtpState() == stReady, 5000) << R.Joined();
    EXPECT_TRUE(Tree.Calls.empty()) << "MKD's 257 is not the current folder";
    ASSERT_TRUE(R.Client.ChangeDirUp());
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(!Tree.Calls.empty() && Tree.Calls.back() == "LoadListing", 5000) << R.Joined();
    EXPECT_EQ(Tree.Calls.front(), "SetCurrentPath \\home");
    EXPECT_FALSE(R.Client.MakeDir("a\r\nDELE x"));
    R.Client.SetDirectoryTree(nullptr); // the tree dies first
}

TEST_F(TTransferTest, AQueueSendsTypeOnceAndGoesOnAfterAFailedItem)
{
    for (const char *Name : {"a.bin", "b.bin", "c.bin"})
        ASSERT_TRUE(WriteFile(Dir.File(Name), std::string(3000, Name[0])));
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("STOR a.bin").Send("150 go").AcceptData()
        .ReceiveData().Send("226 ok").ExpectPasv().Expect("STOR b.bin").Send("553 Not allowed")
        .Reply("MKD sub", "257 \"/sub\" created").ExpectPasv().Expect("STOR sub/c.bin").Send("150 go")
        .AcceptData().ReceiveData().Send("226 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    TIpFtpQueue Q(R.Client);
    TQueueLog Log(Q);
    Q.AddUpload(Dir.File("a.bin"), "a.bin", 3000);
    Q.AddUpload(Dir.File("b.bin"), "b.bin", 3000);
    Q.AddFolder(qdUpload, Dir.Path(), "sub");
    Q.AddUpload(Dir.File("c.bin"), "sub/c.bin", 3000);
    Q.AddSkipped(qdUpload, Dir.File("fifo"), "fifo", "not a regular file");
    ASSERT_TRUE(Q.Start());
    EXPECT_FALSE(Q.Start());
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(Log.Finished == 1, 5000) << R.Joined();
    EXPECT_EQ(Log.States, (States{"1:running", "1:done", "2:running", "2:failed", "3:running", "3:done",
                                  "4:running", "4:done"}));
    EXPECT_EQ(Q.Find(2)->Error, "553 Not allowed");
    EXPECT_EQ(Q.Count(qsDone), 3);
    EXPECT_EQ(Q.BytesDone(), 6000);
    EXPECT_EQ(Peer.DataReceived(), (States{std::string(3000, 'a'), std::string(3000, 'c')}));
    EXPECT_FALSE(R.Client.TypeOnce()) << "given back as it was";
    EXPECT_TRUE(Q.StopReason().empty());
}

TEST_F(TTransferTest, CancellingTheRunningItemSendsAborAndTheQueueGoesOn)
{
    ASSERT_NE(MakeRandomFile(Dir.File("big.bin"), 8 * 1024 * 1024, 2), 0u);
    ASSERT_TRUE(WriteFile(Dir.File("small.bin"), "small"));
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("STOR big.bin").Send("150 go")
        .AcceptData().ReceiveDataBytes(65536).Mark("flowing").Expect("ABOR").ReceiveDataUntilReset()
        .Send("426 Aborted").Send("226 ABOR ok").ExpectPasv().Expect("STOR small.bin").Send("150 go")
        .AcceptData().ReceiveData().Send("226 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    TIpFtpQueue Q(R.Client);
    TQueueLog Log(Q);
    const uint32_t Big = Q.AddUpload(Dir.File("big.bin"), "big.bin", 8 * 1024 * 1024);
    const uint32_t Small = Q.AddUpload(Dir.File("small.bin"), "small.bin", 5);
    ASSERT_TRUE(Q.Start());
    ASSERT_EVENTUALLY(Peer.Reached("flowing"), 5000) << R.Joined();
    EXPECT_FALSE(Q.Cancel(99));
    ASSERT_TRUE(Q.Cancel(Big));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(Log.Finished == 1, 8000) << R.Joined();
    EXPECT_EQ(Q.Find(Big)->State, qsCancelled);
    EXPECT_EQ(Q.Find(Small)->State, qsDone);
    EXPECT_EQ(Peer.DataReceived().back(), "small");
}

TEST_F(TTransferTest, ALostConnectionLeavesTheRestQueuedAndRetryResumesWithRest)
{
    const std::string Part = RandomBytes(5000, 7);
    const std::string Rest = RandomBytes(3000, 8);
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR d1.bin").Send("150 go")
        .AcceptData().SendData(Part).Pause(200).Close();
    ASSERT_TRUE(LoginTo(R, Peer));
    TIpFtpQueue Q(R.Client);
    TQueueLog Log(Q);
    const uint32_t D1 = Q.AddDownload("d1.bin", Dir.File("d1.bin"), 8000, 1700000000);
    const uint32_t D2 = Q.AddDownload("d2.bin", Dir.File("d2.bin"), 2, 1700000000);
    ASSERT_TRUE(Q.Start());
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(Log.Finished == 1, 5000) << R.Joined();
    EXPECT_EQ(Q.Find(D1)->State, qsFailed);
    EXPECT_EQ(Q.Find(D1)->Error.compare(0, 17, "Connection closed"), 0) << Q.Find(D1)->Error;
    EXPECT_EQ(Q.Find(D2)->State, qsQueued);
    EXPECT_EQ(Q.StopReason(), "Connection closed");
    EXPECT_EQ(ReadFile(Dir.File("d1.bin")), Part) << "kept to resume from";

    // The facts the listing gave are not asked again: no SIZE, no MDTM.
    Peer.Accept().Send("220 again").Expect("USER bob").Send("331 pw").Expect("PASS pw").Send("230 ok")
        .Expect("FEAT").Send("211-Features:").Send(" REST STREAM").Send(" SIZE").Send(" MDTM").Send("211 End")
        .Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("REST 5000").Send("350 ok").Expect("RETR d1.bin")
        .Send("150 go").AcceptData().SendData(Rest).CloseData().Send("226 ok").ExpectPasv().Expect("RETR d2.bin")
        .Send("150 go").AcceptData().SendData("xy").CloseData().Send("226 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    EXPECT_EQ(Q.RetryFailed(), 1);
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(Log.Finished == 2, 5000) << R.Joined();
    EXPECT_EQ(Q.Count(qsDone), 2) << R.Joined();
    EXPECT_EQ(ReadFile(Dir.File("d1.bin")), Part + Rest);
    EXPECT_EQ(ReadFile(Dir.File("d2.bin")), "xy");
}

TEST_F(TTransferTest, ARemoteWalkListsEachFolderOnceAndKeepsHostileNamesOut)
{
    ScriptLogin(Peer).Reply("PWD", "257 \"/home\"").Reply("CWD /home/site", "250 ok").Expect("TYPE A").Send("200 ok").ExpectPasv()
        .Expect("LIST").Send("150 go").AcceptData()
        .SendData("drwxr-xr-x 2 u g 0 Jan 1 2024 sub\r\n-rw-r--r-- 1 u g 3 Jan 1 2024 a b.txt\r\n"
                  "lrwxrwxrwx 1 u g 5 Jan 1 2024 ln -> a b.txt\r\n-rw-r--r-- 1 u g 1 Jan 1 2024 ../../evil\r\n")
        .CloseData().Send("226 ok").Reply("CWD /home/site/sub", "250 ok").ExpectPasv().Expect("LIST")
        .Send("150 go").AcceptData().SendData("-rw-r--r-- 1 u g 9 Jan 1 2024 c\r\n").CloseData().Send("226 ok")
        .Reply("CWD /gone", "550 No such folder");
    ASSERT_TRUE(LoginTo(R, Peer));
    TIpFtpRemoteWalk Walk(R.Client);
    int Finished = 0;
    Walk.OnFinished = [&](TIpFtpRemoteWalk &) { ++Finished; };
    ASSERT_TRUE(Walk.Start("site/"));
    EXPECT_FALSE(Walk.Start("again"));
    ASSERT_EVENTUALLY(Finished == 1, 5000) << R.Joined() << Peer.Describe();
    const TIpFtpTreeWalk &W = Walk.Result();
    EXPECT_TRUE(W.RootFound) << Walk.Error() << "; " << Peer.Describe();
    ASSERT_EQ(W.Entries.size(), 3u);
    EXPECT_EQ(W.Entries[0].Path, "sub");
    EXPECT_TRUE(W.Entries[0].Folder);
    EXPECT_EQ(W.Entries[1].Path, "a b.txt");
    EXPECT_EQ(W.Entries[1].Size, 3);
    EXPECT_EQ(W.Entries[2].Path, "sub/c");
    ASSERT_EQ(W.Skipped.size(), 2u);
    EXPECT_EQ(W.Skipped[0].Path, "ln");
    EXPECT_EQ(W.Skipped[1].Reason, "unusable name");
    EXPECT_TRUE(Walk.Error().empty());
    EXPECT_FALSE(R.Client.TypeOnce());

    ASSERT_TRUE(Walk.Start("/gone"));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(Finished == 2, 5000) << R.Joined();
    EXPECT_FALSE(Walk.Result().RootFound);
    EXPECT_EQ(Walk.Result().RootError, "550 No such folder");
}

TEST_F(TTransferTest, ATreeRemovalDeletesFilesThenFoldersDeepestFirstAndGoesOnPastRefusals)
{
    TIpFtpTreeWalk W;
    W.RootFound = true;
    W.Entries = {{"sub", true}, {"a b.txt", false, 3}, {"sub/deeper", true}, {"sub/c", false, 9}};
    W.Skipped = {{"ln", "link (not followed)", true}, {"../evil", "unusable name"}};
    const TIpFtpRemovalCount Count = IpFtpCountRemoval(W);
    EXPECT_EQ(Count.Files, 3u);
    EXPECT_EQ(Count.Folders, 2u);
    ScriptLogin(Peer).Reply("CWD /", "550 No").Reply("DELE /s/a b.txt", "250 Deleted").Reply("DELE /s/sub/c", "550 Permission denied")
        .Reply("DELE /s/ln", "200 Deleted").Reply("RMD /s/sub/deeper", "250 Removed")
        .Reply("RMD /s/sub", "550 Not empty").Reply("RMD /s", "550 Not empty").Reply("CWD /", "250 ok").Expect("DELE /s/a b.txt").Reset();
    ASSERT_TRUE(LoginTo(R, Peer));
    TIpFtpTreeRemove Remove(R.Client);
    int Finished = 0;
    std::vector<std::string> Steps;
    Remove.OnStep = [&](TIpFtpTreeRemove &, const std::string &Path) { Steps.push_back(Path); };
    Remove.OnFinished = [&](TIpFtpTreeRemove &) { ++Finished; };
    TIpFtpTreeWalk NotRead;
    EXPECT_FALSE(Remove.Start("/s", NotRead)) << "a folder that was not read is not removed";
    EXPECT_FALSE(Remove.Start("/", W));
    ASSERT_TRUE(Remove.Start("/s", W));
    ASSERT_EVENTUALLY(Finished == 1, 5000) << R.Joined() << Peer.Describe();
    EXPECT_EQ(Steps, (std::vector<std::string>{"/s/a b.txt", "/s/sub/c", "/s/ln", "/s/sub/deeper", "/s/sub", "/s"}));
    EXPECT_EQ(Remove.FilesRemoved(), 2u);
    EXPECT_EQ(Remove.FoldersRemoved(), 1u);
    ASSERT_EQ(Remove.Failed().size(), 3u);
    EXPECT_EQ(Remove.Failed()[0].Path, "/s/sub/c");
    EXPECT_EQ(Remove.Failed()[0].Reason, "550 Permission denied");
    EXPECT_FALSE(Remove.RootRemoved());
    EXPECT_TRUE(Remove.Error().empty());
    EXPECT_EQ(R.Client.FtpState(), stReady);

    // The connection lost under way ends the removal with the reason, once.
    ASSERT_TRUE(Remove.Start("/s", W));
    ASSERT_EVENTUALLY(Finished == 2, 5000) << R.Joined() << Peer.Describe();
    EXPECT_EQ(Remove.Error(), "Connection closed");
    EXPECT_EQ(Remove.FilesRemoved(), 0u);
}
