// Transfers that end on the client's side: the user's cancel, a file that
// shrinks while it is uploaded, a time-out, a logout. The server hears ABOR
// while the data connection is open and then sees that connection reset;
// the replies it still owes never answer a later command.

#include "test_ftp_fixture.h"

#include <unistd.h>

namespace {

enum TKind { kDownloadNew, kDownloadReplace, kUpload, kListing };

// The server's side of a transfer that is cut in the middle: after Lead it
// waits for ABOR, sees the reset and sends the owed replies.
void ScriptCut(TScriptedPeer &Peer, TKind Kind)
{
    Peer.Expect(Kind == kListing ? "TYPE A" : "TYPE I").Send("200 ok").ExpectPasv();
    Peer.Expect(Kind == kUpload ? "STOR up.bin" : Kind == kListing ? "LIST" : "RETR f.bin").Send("150 go").AcceptData();
    if (Kind == kUpload)
        Peer.ReceiveDataBytes(65536);
    else
        Peer.SendData(std::string(5000, 'd'));
    Peer.Mark("flowing").Expect("ABOR").ReceiveDataUntilReset().Send("426 Transfer aborted").Send("226 ABOR ok");
}

} // namespace

TEST_F(TTransferTest, ACancelledTransferIsAbortedResetAndLeavesNoPartialFile)
{
    const std::string Big = Dir.File("up.bin");
    ASSERT_NE(MakeRandomFile(Big, 8 * 1024 * 1024, 3), 0u);
    const std::string Old = Dir.File("old.bin");
    ScriptLogin(Peer);
    ASSERT_TRUE(LoginTo(R, Peer));
    EXPECT_FALSE(R.Client.AbortTransfer()) << "nothing runs";
    for (TKind Kind : {kDownloadNew, kDownloadReplace, kUpload, kListing}) {
        SCOPED_TRACE(Kind);
        ASSERT_TRUE(WriteFile(Old, "old content"));
        ScriptCut(Peer, Kind);
        R.Events.clear();
        R.Errors.clear();
        const std::string New = Dir.File("new.bin");
        if (Kind == kUpload)
            ASSERT_TRUE(R.Client.Store("up.bin", Big, smReplace, 0));
        else if (Kind == kListing)
            R.Client.ListDir("", true);
        else
            ASSERT_TRUE(R.Client.Retrieve("f.bin", Kind == kDownloadNew ? New : Old,
                                          Kind == kDownloadNew ? rmAppend : rmReplace, 0));
        ASSERT_EVENTUALLY(Peer.Reached("flowing"), 5000) << R.Joined();
        RunFor(100);
        ASSERT_TRUE(R.Client.AbortTransfer());
        EXPECT_EQ(R.Client.FtpState(), stReady);
        EXPECT_EQ(R.Client.DataSocket(), INVALID_SOCKET);
        EXPECT_FALSE(R.Has("sockerror " + std::to_string(IpFtpCancelledCode))) << "reported from the event loop";
        ASSERT_EVENTUALLY(R.Has("sockerror " + std::to_string(IpFtpCancelledCode)), 5000) << R.Joined();
        EXPECT_EQ(R.Errors.back(), "Transfer cancelled");
        ASSERT_TRUE(Peer.WaitDone());
        EXPECT_TRUE(NextCommandGetsItsOwnAnswer(R, Peer));
        EXPECT_FALSE(R.Has("fscTransferOK") || R.Has("fscDirList")) << R.Joined();
        EXPECT_EQ(ReadFile(Old), "old content");
        EXPECT_FALSE(FileExists(New));
        EXPECT_EQ(DirEntries(Dir.Path()).size(), 2u);
        EXPECT_EQ(R.Client.SocketList()->Count(), 1);
    }
}

TEST_F(TTransferTest, AnUploadWhoseFileShrinksIsAbortedWithTheLocalError)
{
    const std::string Local = Dir.File("up.bin");
    ASSERT_NE(MakeRandomFile(Local, 1000000, 4), 0u);
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("STOR up.bin").Send("150 go").AcceptData()
        .Expect("ABOR").ReceiveDataUntilReset().Send("426 Transfer aborted").Send("226 ABOR ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.Store("up.bin", Local, smReplace, 0));
    ASSERT_EQ(::truncate(Local.c_str(), 100000), 0);
    ASSERT_EVENTUALLY(!R.Errors.empty(), 5000) << R.Joined();
    EXPECT_TRUE(R.Has("sockerror " + std::to_string(EIO))) << R.Joined();
    EXPECT_NE(R.Errors.back().find("became shorter while it was sent (100000 of 1000000 bytes)"), std::string::npos)
        << R.Errors.back();
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_LE(Peer.DataReceived().at(0).size(), 100000u);
    EXPECT_TRUE(NextCommandGetsItsOwnAnswer(R, Peer));
    EXPECT_FALSE(R.Has("fscTransferOK")) << R.Joined();
}

TEST_F(TTransferTest, RepliesOwedAfterATimedOutTransferNeverAnswerTheNextCommand)
{
    // However the server answers the cut transfer and ABOR (RFC 959's 426
    // then 226, a transfer it had finished, a multi-line 552, or one reply
    // short), the next command gets its own answer.
    const std::vector<std::vector<std::string>> Cases = {
        {"426 Connection closed; transfer aborted", "226 ABOR command successful"},
        {"226 Transfer complete", "225 No transfer to abort"},
        {"552-Storage allocation exceeded\r\n552 for this account", "125 still here", "226 Abort done"},
        {"426 Transfer aborted"}};
    R.Client.SetTransferTimeout(300);
    ScriptLogin(Peer);
    ASSERT_TRUE(LoginTo(R, Peer));
    for (const auto &Late : Cases) {
        SCOPED_TRACE(Late.front());
        Peer.Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR f").Send("150 go").AcceptData()
            .SendData("some").Expect("ABOR").ReceiveDataUntilReset();
        for (const std::string &Line : Late)
            Peer.Send(Line);
        R.Events.clear();
        ASSERT_TRUE(R.Client.Retrieve("f", Dir.File("t.bin"), rmReplace, 0));
        ASSERT_EVENTUALLY(R.Has("fscTimeout"), 5000) << R.Joined();
        ASSERT_TRUE(Peer.WaitDone());
        EXPECT_TRUE(NextCommandGetsItsOwnAnswer(R, Peer));
    }
}

TEST_F(TTransferTest, ALogoutInTheMiddleOfATransferAbortsItBeforeQuit)
{
    ScriptLogin(Peer);
    ScriptCut(Peer, kDownloadNew);
    Peer.Expect("QUIT").Send("221 Goodbye");
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.Retrieve("f.bin", Dir.File("new.bin"), rmReplace, 0));
    ASSERT_EVENTUALLY(Peer.Reached("flowing"), 5000) << R.Joined();
    ASSERT_TRUE(R.Client.Logout());
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Client.FtpState() == stClosed, 5000) << R.Joined();
    EXPECT_FALSE(R.Has("fscTransferOK")) << R.Joined();
    EXPECT_TRUE(DirEntries(Dir.Path()).empty());
}
