// Telnet on a real data socket (soTelnet): commands taken out of received
// data, answers on the wire, 0xFF doubled on the way out and counted once.
#include "SocketTestKit.h"

#include "base/IpDebugLog.h"
#include "socket/IpTelnet.h"
#include "support/TestPaths.h"

#include <gtest/gtest.h>

namespace {

struct TTelnetConnected
{
    TRecordingClient Client;
    TTestListener Listener;
    TBlockingSocket Peer;
    TSocket Handle = INVALID_SOCKET;

    TTelnetConnected()
    {
        Client.SetTimerInterval(50);
        Client.DataInits()->SetSocketOptions(TIpSockOptionSet{soTelnet});
        Handle = Client.ConnectSocket(Listener.Address());
        Peer = Listener.Accept();
    }
    TIpDataSocket *Socket() { return Client.FindDataSocket(Handle, false); }
    // Everything the socket sent, waiting until Count bytes arrived.
    std::string PeerReads(size_t Count)
    {
        std::string Got;
        RunUntil(
            [&] {
                Got += Peer.ReadSome(0);
                return Got.size() >= Count;
            },
            5000);
        return Got;
    }
};

#define TELNET_CONNECTED(C)        \
    ASSERT_TRUE((C).Peer.IsOpen()); \
    ASSERT_EVENTUALLY((C).Client.Connects == 1 && (C).Socket()->Writable(), 5000)

} // namespace

TEST(TelnetSocket, OptionRequestsAreAnsweredAndCommandsNeverReachTheLines)
{
    TTelnetConnected C;
    TELNET_CONNECTED(C);
    C.Peer.SendAll(Hex("ff fd 03") + "A" + Hex("ff ff") + "B" + Hex("ff fd 01") + "\r\n");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 1, 5000);
    EXPECT_EQ(C.Client.Lines[0], "A\xff" "B\r\n");
    EXPECT_EQ(HexDump(C.PeerReads(6)), HexDump(Hex("ff fb 03 ff fc 01")));

    // A command cut between two reads is answered once it is complete.
    C.Peer.SendAll(Hex("ff fb"));
    RunFor(100);
    C.Peer.SendAll(Hex("01") + "ok\r\n");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 2, 5000);
    EXPECT_EQ(C.Client.Lines[1], "ok\r\n");
    EXPECT_EQ(HexDump(C.PeerReads(3)), HexDump(Hex("ff fd 01")));

    // Answers are protocol traffic: nothing of them counts as payload.
    EXPECT_EQ(C.Socket()->GetStatistics().Sent(), 0u);
    EXPECT_EQ(C.Socket()->GetStatistics().RawSent(), 9u);
}

TEST(TelnetSocket, TerminalTypeRequestIsAnsweredWithDumbAfterDo24)
{
    TTelnetConnected C;
    TELNET_CONNECTED(C);
    C.Peer.SendAll(Hex("ff fa 18 01 ff f0 ff fd 18 ff fa 18 01 ff f0"));
    EXPECT_EQ(HexDump(C.PeerReads(13)), HexDump(Hex("ff fb 18 ff fa 18 00") + "dumb" + Hex("ff f0")));
}

TEST(TelnetSocket, OutgoingIacIsDoubledAndCountedOnceAsPayload)
{
    TTelnetConnected C;
    TELNET_CONNECTED(C);
    const std::string Data = std::string("a\xff" "b\xff", 4);
    C.Client.PutString(C.Handle, Data, false);
    EXPECT_EQ(HexDump(C.PeerReads(6)), HexDump(Hex("61 ff ff 62 ff ff")));
    const TIpSockStatRec S = C.Socket()->GetStatistics();
    EXPECT_EQ(S.Sent(), 4u);
    EXPECT_EQ(S.RawSent(), 6u);
}

TEST(TelnetSocket, OptionCommandsAreTracedInTheDebugLogOnlyWithLoTelnet)
{
    TTempDir Dir;
    for (bool WithTelnetLog : {true, false}) {
        TTelnetConnected C;
        TELNET_CONNECTED(C);
        C.Socket()->SetLogOptions(WithTelnetLog ? TIpLogOptionSet{loTelnet} : TIpLogOptionSet{});
        TIpDebugLog *Log = C.Client.DebugLog();
        ASSERT_NE(Log, nullptr);
        Log->SetFileName(Dir.File(WithTelnetLog ? "on.log" : "off.log"));
        Log->SetEnabled(true);
        // One answered (DO 3 -> WILL 3), one needing no answer (WONT 1).
        C.Peer.SendAll(Hex("ff fd 03 ff fc 01") + "x\r\n");
        ASSERT_EVENTUALLY(C.Client.Lines.size() == 1, 5000);
        Log->WriteToFile();
        const std::string Text = ReadFile(Log->FileName());
        const std::string H = "[" + std::to_string(int32_t(C.Handle)) + "] Telnet ";
        const size_t Received = Text.find(H + "DO suppress go-ahead received.");
        const size_t Sent = Text.find(H + "WILL suppress go-ahead sent.");
        const size_t Wont = Text.find(H + "WON'T echo received.");
        if (WithTelnetLog) {
            ASSERT_NE(Received, std::string::npos) << Text;
            ASSERT_NE(Sent, std::string::npos) << Text;
            ASSERT_NE(Wont, std::string::npos) << Text;
            EXPECT_LT(Received, Sent);
            EXPECT_LT(Sent, Wont);
            EXPECT_EQ(Text.find("DON'T echo sent."), std::string::npos) << Text;
        } else {
            EXPECT_EQ(Text.find("Telnet"), std::string::npos) << Text;
        }
    }
}
