// Peers that misbehave: endless lines, floods, resets at any moment, and a
// long churn of connections that must leave no descriptor behind.
#include "SocketTestKit.h"

#include "base/IpStreams.h"
#include "platform/IpAsyncSelect.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

TEST(HostilePeer, AnEndlessLineIsReportedAndDroppedWithBoundedMemory)
{
    TRecordingClient C;
    TTestListener L;
    const TSocket H = C.ConnectSocket(L.Address());
    TBlockingSocket Peer = L.Accept();
    ASSERT_EVENTUALLY(C.Connects == 1, 5000);
    const size_t Total = 5 * 1024 * 1024;
    std::atomic<bool> Sent{false};
    std::thread Writer([&] {
        const std::string Block(64 * 1024, 'z');
        for (size_t Done = 0; Done < Total; Done += Block.size())
            if (!Peer.SendAll(Block, 20000))
                break;
        Sent = true;
    });
    size_t MaxPartial = 0;
    const bool Ok = PumpUntil(
        [&] {
            if (TIpDataSocket *S = C.FindDataSocket(H, false))
                MaxPartial = std::max(MaxPartial, S->PartialLine().size());
            return Sent && C.FindDataSocket(H, true)->GetStatistics().Received() == Total;
        },
        60000);
    Writer.join();
    ASSERT_TRUE(Ok);
    EXPECT_TRUE(C.Lines.empty());
    ASSERT_GE(C.Errors.size(), 4u);
    for (const auto &E : C.Errors) {
        EXPECT_EQ(E.Code, 8001);
        EXPECT_EQ(E.Text, "Received line too long, exceeds MaxLineBuf");
    }
    EXPECT_LE(MaxPartial, IpMaxLineBuf + IpReceiveBufferSize);
    // The connection still works afterwards: the next terminator ends a line.
    Peer.SendAll("\r\nnext\r\n");
    ASSERT_EVENTUALLY(C.Lines.size() == 2, 5000);
    EXPECT_EQ(C.Lines[1], "next\r\n");
    EXPECT_LT(C.Lines[0].size(), IpMaxLineBuf + IpReceiveBufferSize);
}

TEST(HostilePeer, AFloodOfBinaryBytesIsDeliveredCompletelyInEveryMode)
{
    for (TIpReceiveMode Mode : {rmLine, rmAny, rmStream}) {
        SCOPED_TRACE(int(Mode));
        TRecordingClient C;
        C.RecordLineText = false;
        TNullStream Sink;
        C.DataInits()->SetReceiveMode(Mode);
        TTestListener L;
        const TSocket H = C.ConnectSocket(L.Address());
        C.SetSocketReceiveStream(H, &Sink);
        TBlockingSocket Peer = L.Accept();
        ASSERT_EVENTUALLY(C.Connects == 1, 5000);
        // NUL, 0xFF, lone CRs and LFs and a few real line ends.
        std::string Flood = PatternBytes(8 * 1024 * 1024, 77);
        std::thread Writer([&] {
            Peer.SendAll(Flood, 30000);
            Peer.Close();
        });
        const bool Closed = PumpUntil([&] { return C.Closes == 1; }, 60000);
        Writer.join();
        ASSERT_TRUE(Closed);
        const uint64_t Got = Mode == rmStream ? uint64_t(Sink.Size()) : C.BytesCut;
        EXPECT_EQ(Got, Flood.size()) << "every byte arrives once, tail included";
    }
}

TEST(HostilePeer, ResetsAtRandomMomentsWhileSendingAndReceivingNeverBreakTheClient)
{
    std::mt19937 Rng(1234);
    TRecordingClient C;
    C.RecordLineText = false;
    TTestListener L;
    int FdsBefore = 0;
    for (int Round = 0; Round < 60; ++Round) {
        if (Round == 1)
            FdsBefore = OpenDescriptorCount();
        const TSocket H = C.ConnectSocket(L.Address());
        TBlockingSocket Peer = L.Accept();
        ASSERT_TRUE(Peer.IsOpen());
        const int Closes = C.Closes;
        const size_t SendSize = Rng() % (4 * 1024 * 1024);
        const size_t PeerBytes = Rng() % (512 * 1024);
        const int Delay = int(Rng() % 20);
        TStringStream Source(PatternBytes(SendSize, uint32_t(Round)));
        // Queue a big upload before the connect completes, so it runs
        // into the reset wherever that lands.
        C.PutStream(H, &Source, Round % 2 == 0);
        std::thread PeerThread([&] {
            Peer.SendAll(std::string(PeerBytes, '\n'), 2000);
            std::this_thread::sleep_for(std::chrono::milliseconds(Delay));
            Peer.ReadSome(Delay);
            Peer.Reset();
        });
        const bool Done = PumpUntil([&] { return C.Closes > Closes && C.FindSocket(H, false) == nullptr; }, 20000);
        PeerThread.join();
        ASSERT_TRUE(Done) << "round " << Round;
    }
    for (const auto &E : C.Errors)
        EXPECT_TRUE(E.Code == 10054 || E.Code == 10053 || E.Code == 10058) << E.Code << " " << E.Text;
    RunFor(50);
    EXPECT_EQ(C.SocketList()->Count(), 0);
    EXPECT_EQ(OpenDescriptorCount(), FdsBefore);
}

TEST(HostilePeer, TenThousandConnectionsLeaveNoDescriptorOrRegistrationBehind)
{
    TRecordingClient C;
    C.RecordLineText = true;
    TTestListener L;
    int FdsBefore = 0;
    const size_t RegisteredBefore = IpSelectRegisteredCount();
    for (int I = 0; I < 10000; ++I) {
        // The first round opens what the process keeps for good (the event
        // dispatcher's own descriptors, the placeholder that reserves closed
        // sockets' numbers); count from the second on.
        if (I == 1)
            FdsBefore = OpenDescriptorCount();
        const TSocket H = C.ConnectSocket(L.Address());
        TBlockingSocket Peer = L.Accept();
        ASSERT_TRUE(Peer.IsOpen()) << "connection " << I;
        Peer.SendAll("hi\r\n");
        ASSERT_TRUE(PumpUntil([&] { return !C.Lines.empty(); }, 5000)) << "connection " << I;
        C.Lines.clear();
        C.Events.clear();
        C.ReadLines.clear();
        if (I % 2 == 0) {
            // This side closes.
            C.PutString(H, "bye\r\n", true);
            ASSERT_TRUE(PumpUntil([&] { return C.FindSocket(H, false) == nullptr; }, 5000)) << "connection " << I;
            ASSERT_EQ(Peer.ReadLine(2000).value_or(""), "bye");
        } else {
            // The peer closes.
            Peer.Close();
            ASSERT_TRUE(PumpUntil([&] { return C.FindSocket(H, false) == nullptr; }, 5000)) << "connection " << I;
        }
    }
    RunFor(50);
    EXPECT_EQ(C.Closes, 10000);
    EXPECT_TRUE(C.Errors.empty());
    EXPECT_EQ(C.SocketList()->Count(), 0);
    EXPECT_EQ(IpSelectRegisteredCount(), RegisteredBefore);
    EXPECT_EQ(OpenDescriptorCount(), FdsBefore);
}
