// What the client does with a server's features: FEAT, OPTS UTF8 ON and
// OPTS MLST at the end of the login, MLSD with LIST as the fall-back for the session,
// and SIZE/MDTM around a download.

#include <sys/stat.h>

#include "ftp/test_ftp_fixture.h"

namespace {

const char *const FullFeatures = "211-Features:\r\n MLST type*;size*;modify*;unique*;unix.mode;\r\n UTF8\r\n"
                                 " SIZE\r\n MDTM\r\n211 End\r\n";

// The login with a FEAT reply; OptsMlst is the line the client must send
// to ask for the facts it reads (none: empty).
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
    EXPECT_TRUE(R.Client.Features().Utf8());
    EXPECT_TRUE(R.Client.UseMlsd());
    R.Events.clear();
    R.Client.ListDir("", true);
    ASSERT_EVENTUALLY(R.Has("fscDirList") && R.Client.FtpState() == stReady, 5000) << R.Joined();
    EXPECT_FALSE(R.Has("error 500")) << R.Joined();
    EXPECT_FALSE(R.Client.ListedWithMlsd());
    EXPECT_EQ(R.Infos.back(), "-rw-r--r-- 1 a b 3 Jan 1 2020  x \r\n");
    EXPECT_FALSE(R.Client.UseMlsd());
    R.Events.clear();
    R.Client.ListDir("", true);
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscDirList"), 5000) << R.Joined();
}

TEST_F(TTransferTest, MlsdIsUsedWhenOfferedUnlessTheTreeChoseAStyle)
{
    const std::string Mlsd = "type=cdir; /\r\ntype=file;size=3;modify=20010909014640; two  blanks\r\n";
    FeatureLogin(Peer, "211-Features:\r\n MLST type*;\r\n211 End\r\n", "OPTS MLST type;")
        .Expect("TYPE A").Send("200 ok").ExpectPasv().Expect("MLSD").Send("150 here").AcceptData().SendData(Mlsd)
        .CloseData().Send("226 done")
        .Expect("TYPE A").Send("200 ok").ExpectPasv().Expect("LIST").Send("150 here").AcceptData().CloseData()
        .Send("226 done");
    ASSERT_TRUE(LoginTo(R, Peer));
    // Bound after the login, so the client runs no SYST/PWD of its own.
    TRecordingTree Tree;
    Tree.Style = dsAuto;
    R.Client.SetDirectoryTree(&Tree);
    Tree.SetFtpClient(&R.Client);
    R.Client.ListDir("", true);
    ASSERT_EVENTUALLY(Tree.Listings.size() == 1 && R.Client.FtpState() == stReady, 5000) << R.Joined();
    EXPECT_EQ(Tree.ListingStyle(Tree.Listings[0]), dsMlsd);
    TIpFtpFileList List;
    ASSERT_TRUE(List.ParseListing(Tree.Listings[0], Tree.ListingStyle(Tree.Listings[0])));
    ASSERT_EQ(List.Count(), 1u);
    EXPECT_EQ(List[0]->FileName, "two  blanks");
    EXPECT_EQ(List[0]->ModifyTime, 1000000000);

    Tree.Style = dsUnix;
    R.Client.ListDir("", true);
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(Tree.Listings.size() == 2, 5000) << R.Joined();
    EXPECT_EQ(Tree.ListingStyle(Tree.Listings[1]), dsUnix);
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
    R.Events.clear();
    ASSERT_TRUE(R.Client.Retrieve("f", Dir.File("f"), rmReplace, 0));
    ASSERT_EVENTUALLY(R.Has("sockerror 8102") && R.Client.FtpState() == stReady, 5000) << R.Joined();
    EXPECT_FALSE(R.Has("fscTransferOK"));

    R.Events.clear();
    ASSERT_TRUE(R.Client.Retrieve("f", Dir.File("f"), rmReplace, 0));
    ASSERT_EVENTUALLY(R.Has("fscTransferOK") && R.Client.FtpState() == stReady, 5000) << R.Joined();
    struct stat St;
    ASSERT_EQ(::stat(Dir.File("f").c_str(), &St), 0);
    EXPECT_EQ(St.st_mtime, 1000000000);
    EXPECT_EQ(R.Client.RemoteSize(), 5);

    R.Events.clear();
    ASSERT_TRUE(R.Client.Retrieve("g", Dir.File("g"), rmReplace, 0));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("fscTransferOK"), 5000) << R.Joined();
    EXPECT_FALSE(R.Has("error 550") || R.Has("error 500")) << R.Joined();
    EXPECT_EQ(ReadFile(Dir.File("g")), "1");
}
