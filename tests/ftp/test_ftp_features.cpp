// A server's features: FEAT and OPTS after the login, MLSD with LIST as the
// fall-back for the session, SIZE/MDTM around a download.

#include <sys/stat.h>

#include "ftp/test_ftp_fixture.h"

namespace {

const char *const FullFeatures = "211-Features:\r\n MLST type*;size*;modify*;unique*;unix.mode;\r\n UTF8\r\n"
                                 " SIZE\r\n MDTM\r\n211 End\r\n";

// The login with a FEAT reply, and the OPTS MLST line the client must send (none: empty).
TScriptedPeer &FeatureLogin(TScriptedPeer &Peer, const std::string &Features, const std::string &OptsMlst = "")
{
    Peer.Send("220 ready").Expect("USER bob").Send("331 pw").Expect("PASS pw").Send("230 in").Expect("FEAT")
        .SendRaw(Features);
    if (Features.find("UTF8") != std::string::npos)
        Peer.Expect("OPTS UTF8 ON").Send("501 Invalid argument.");
    if (!OptsMlst.empty())
        Peer.Expect(OptsMlst).Send("200 MLST OPTS ok");
    return Peer;
}

} // namespace

TEST_F(TTransferTest, RefusedMlsdFallsBackToListForTheRestOfTheSession)
{
    FeatureLogin(Peer, FullFeatures, "OPTS MLST type;size;modify;unix.mode;")
        .Expect("TYPE A").Send("200 ok").ExpectPasv().Expect("MLSD").Send("500 MLSD not understood")
        .Expect("TYPE A").Send("200 ok").ExpectPasv().Expect("LIST").Send("150 here").AcceptData()
        .SendData("-rw-r--r-- 1 a b 3 Jan 1 2020  x \r\n").CloseData().Send("226 done")
        .Expect("TYPE A").Send("200 ok").ExpectPasv().Expect("LIST").Send("150 here").AcceptData().CloseData()
        .Send("226 done");
    ASSERT_TRUE(LoginTo(R, Peer));
    // A tree bound after the login (no SYST/PWD) lets the client choose only with dsAuto.
    TRecordingTree Tree;
    R.Client.SetDirectoryTree(&Tree);
    Tree.SetFtpClient(&R.Client);
    EXPECT_TRUE(R.Client.Features().Utf8() && !R.Client.UseMlsd());
    Tree.Style = dsAuto;
    EXPECT_TRUE(R.Client.UseMlsd());
    R.Client.ListDir("", true);
    ASSERT_EVENTUALLY(R.Has("fscDirList") && R.Client.FtpState() == stReady, 5000) << R.Joined();
    EXPECT_FALSE(R.Has("error 500") || R.Client.ListedWithMlsd() || R.Client.UseMlsd()) << R.Joined();
    ASSERT_EQ(Tree.Listings, std::vector<std::string>{"-rw-r--r-- 1 a b 3 Jan 1 2020  x \r\n"});
    EXPECT_EQ(Tree.ListingStyle(Tree.Listings[0]), dsUnix);
    EXPECT_EQ(Tree.ListingStyle("type=dir; d\r\n"), dsMlsd); // a listing may say what it is
    R.Events.clear();
    R.Client.ListDir("", true);
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscDirList"), 5000) << R.Joined();
    R.Client.SetDirectoryTree(nullptr);
}

TEST_F(TTransferTest, DownloadsAreCheckedAgainstSizeAndKeepTheServersTime)
{
    FeatureLogin(Peer, "211-Features:\r\n SIZE\r\n MDTM\r\n211 End\r\n")
        // Cut short: SIZE says 10, the 150 names no size, 5 bytes arrive.
        .Expect("TYPE I").Send("200 ok").Expect("SIZE f").Send("213 10").Expect("MDTM f")
        .Send("213 20010909014640").ExpectPasv().Expect("RETR f").Send("150 go").AcceptData().SendData("12345")
        .CloseData().Send("226 done")
        // Whole: the local file takes the server's time.
        .Expect("TYPE I").Send("200 ok").Expect("SIZE f").Send("213 5").Expect("MDTM f")
        .Send("213 20010909014640.5").ExpectPasv().Expect("RETR f").Send("150 go").AcceptData().SendData("12345")
        .CloseData().Send("226 done")
        // Refused queries cost the download nothing.
        .Expect("TYPE I").Send("200 ok").Expect("SIZE g").Send("550 no").Expect("MDTM g").Send("500 what")
        .ExpectPasv().Expect("RETR g").Send("150 go").AcceptData().SendData("1").CloseData().Send("226 done");
    ASSERT_TRUE(LoginTo(R, Peer));
    const char *const Outcomes[] = {"sockerror 8102", "fscTransferOK", "fscTransferOK"};
    for (int I = 0; I < 3; ++I) {
        R.Events.clear();
        ASSERT_TRUE(R.Client.Retrieve(I < 2 ? "f" : "g", Dir.File("f"), rmReplace, 0));
        ASSERT_EVENTUALLY(R.Has(Outcomes[I]) && R.Client.FtpState() == stReady, 5000) << R.Joined();
        EXPECT_FALSE(R.Has(I ? "sockerror 8102" : "fscTransferOK") || R.Has("error 550") || R.Has("error 500"));
        struct stat St;
        EXPECT_TRUE(I != 1 || (::stat(Dir.File("f").c_str(), &St) == 0 && St.st_mtime == 1000000000));
    }
    EXPECT_EQ(ReadFile(Dir.File("f")), "1");
    ASSERT_TRUE(Peer.WaitDone());
}
