// FTP over TLS against a scripted server that speaks TLS itself: data
// connections whose TLS stream ends without close_notify (anyone on the path
// can end the TCP stream), and a server that refuses PBSZ or PROT.

#include "test_ftp_fixture.h"

#include "support/TestCerts.h"

namespace {

// Greeting, AUTH TLS and the handshake, then the login inside TLS.
TScriptedPeer &ScriptTlsLogin(TScriptedPeer &Peer, const std::string &Pbsz = "200 ok",
                              const std::string &Prot = "200 ok")
{
    Peer.Send("220 ready").Expect("AUTH TLS").Send("234 go").StartTls(TTestCerts::Get().ServerPem);
    Peer.Expect("USER bob").Send("331 pw").Expect("PASS pw").Send("230 in").Expect("PBSZ 0").Send(Pbsz);
    return Pbsz[0] == '2' ? Peer.Expect("PROT P").Send(Prot) : Peer;
}

struct FtpTlsData : TTransferTest
{
    void SetUp() override
    {
        TTransferTest::SetUp();
        if (!TTestCerts::Available())
            GTEST_SKIP() << "the openssl command is missing (Debian package openssl)";
        ASSERT_TRUE(TTestCerts::Get().Error.empty()) << TTestCerts::Get().Error;
        R.Client.SetTlsMode(tmRequired);
        R.Client.SetTlsCaFile(TTestCerts::Get().CaFile);
    }
};

} // namespace

TEST_F(FtpTlsData, AStreamEndingWithoutCloseNotifyIsIncompleteUnlessEveryAnnouncedByteCame)
{
    struct TCase
    {
        const char *Name;
        TIpFtpFileType Type;
        bool Listing;
        const char *Announce;
        size_t Sent;
        const char *Error; // empty: accepted
    };
    const TCase Cases[] = {
        {"binary, no size", ftBinary, false, "150 go", 30000, "Download incomplete: the TLS stream ended without close_notify"},
        {"ASCII, size announced", ftAscii, false, "150 go (30000 bytes)", 30000,
         "Download incomplete: the TLS stream ended without close_notify"},
        {"listing", ftAscii, true, "150 here", 3900, "Listing incomplete: the TLS stream ended without close_notify"},
        {"binary, every announced byte", ftBinary, false, "150 go (30000 bytes)", 30000, ""}};
    const std::string Local = Dir.File("keep.bin");
    ScriptTlsLogin(Peer).NoFeatures();
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.TlsActive());
    for (const TCase &C : Cases) {
        SCOPED_TRACE(C.Name);
        ASSERT_TRUE(WriteFile(Local, "old content"));
        R.Client.SetFileType(C.Type);
        R.Events.clear();
        R.Errors.clear();
        const std::string Data(C.Sent, 'x');
        Peer.Expect(C.Type == ftBinary ? "TYPE I" : "TYPE A").Send("200 ok").ExpectPasv()
            .Expect(C.Listing ? "LIST" : "RETR f").Send(C.Announce).AcceptData()
            .StartDataTls(TTestCerts::Get().ServerPem).SendData(Data).CloseData();
        // The server has ended the data connection: nothing is left to abort.
        Peer.Send("226 Transfer complete");
        if (C.Listing)
            R.Client.ListDir("", true);
        else
            ASSERT_TRUE(R.Client.Retrieve("f", Local, rmReplace, 0));
        ASSERT_TRUE(Peer.WaitDone());
        if (*C.Error) {
            ASSERT_EVENTUALLY(R.Has("sockerror " + std::to_string(IpFtpIncompleteCode)), 5000) << R.Joined();
            EXPECT_EQ(R.Errors.back(), C.Error);
            EXPECT_TRUE(NextCommandGetsItsOwnAnswer(R, Peer));
            EXPECT_FALSE(R.Has("fscTransferOK") || R.Has("fscDirList")) << R.Joined();
            EXPECT_EQ(ReadFile(Local), "old content");
        } else {
            ASSERT_EVENTUALLY(R.Has("fscTransferOK"), 5000) << R.Joined();
            EXPECT_EQ(ReadFile(Local), Data);
        }
        EXPECT_EQ(DirEntries(Dir.Path()).size(), 1u);
    }
}

TEST_F(FtpTlsData, ARefusedPbszOrProtEndsTheLoginBeforeAnyFileCanTravelInTheClear)
{
    for (bool RefusePbsz : {true, false}) {
        SCOPED_TRACE(RefusePbsz ? "PBSZ" : "PROT");
        TScriptedPeer P;
        TRecordedClient C;
        C.Client.SetTlsMode(tmRequired);
        C.Client.SetTlsCaFile(TTestCerts::Get().CaFile);
        ScriptTlsLogin(P, RefusePbsz ? "500 PBSZ not understood" : "200 ok", "536 PROT P not supported")
            .ExpectClosed();
        ASSERT_TRUE(C.Client.Login(LocalAddress(P.Port()), "bob", "pw"));
        ASSERT_EVENTUALLY(C.Client.FtpState() == stClosed && !C.Errors.empty(), 5000) << C.Joined();
        EXPECT_EQ(C.Errors.back(), std::string("Server refused protected data connections: ") +
                                       (RefusePbsz ? "500 PBSZ not understood" : "536 PROT P not supported"));
        EXPECT_FALSE(C.Has("fscLogin")) << C.Joined();
        EXPECT_FALSE(C.Client.LoggedIn());
        ASSERT_TRUE(P.WaitDone());
    }
}
