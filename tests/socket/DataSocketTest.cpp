// Data sockets over real loopback connections: line assembly, receive
// modes, the send queue, closing, idle time-outs and errors.
#include "SocketTestKit.h"

#include "base/IpStreams.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// A client connected to a plain peer socket.
struct TConnected
{
    TRecordingClient Client;
    TTestListener Listener;
    TBlockingSocket Peer;
    TSocket Handle = INVALID_SOCKET;

    explicit TConnected(std::function<void(TRecordingClient &)> Setup = nullptr)
    {
        Client.SetTimerInterval(50);
        if (Setup)
            Setup(Client);
        Handle = Client.ConnectSocket(Listener.Address());
        Peer = Listener.Accept();
    }
    TIpDataSocket *Socket() { return Client.FindDataSocket(Handle, false); }
    bool Writable() { return Socket() && Socket()->Writable(); }
};

#define CONNECTED(C)                                                  \
    ASSERT_TRUE((C).Peer.IsOpen());                                   \
    ASSERT_EVENTUALLY((C).Client.Connects == 1 && (C).Writable(), 5000)

} // namespace

TEST(DataSocketConnect, RefusedConnectGivesExactlyOneErrorNamingFdConnectAndNoConnectStatus)
{
    TRecordingClient Client;
    const TSocket H = Client.ConnectSocket("127.0.0.1:" + std::to_string(ClosedPort()));
    ASSERT_NE(H, INVALID_SOCKET);
    ASSERT_EVENTUALLY(!Client.Errors.empty(), 5000);
    RunFor(300);
    ASSERT_EQ(Client.Errors.size(), 1u);
    EXPECT_EQ(Client.Errors[0].Socket, H);
    EXPECT_EQ(Client.Errors[0].Code, 10061);
    EXPECT_EQ(Client.Errors[0].Text, "WinSock Error (10061): Connection refused, on API 'Fd_Connect'");
    EXPECT_EQ(Client.Connects, 0);
}

TEST(DataSocketConnect, ConnectReportsBothEndsAndTheStatusEventCarriesThem)
{
    TRecordingClient Client;
    TIpConnRec Seen;
    int Statuses = 0;
    Client.OnStatus = [&](TObject *, TSocket, TIpStatusKind Kind, const TIpConnRec &Conn, const TIpSockStatRec &) {
        if (Kind == skConnect) {
            Seen = Conn;
            ++Statuses;
        }
    };
    TTestListener L;
    const TSocket H = Client.ConnectSocket(L.Address());
    TBlockingSocket Peer = L.Accept();
    ASSERT_EVENTUALLY(Statuses == 1, 5000);
    EXPECT_EQ(IpAddrV4(Seen.RemAddr), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(Seen.RemPort, L.Port());
    EXPECT_EQ(IpAddrV4(Seen.LocAddr), htonl(INADDR_LOOPBACK));
    EXPECT_NE(Seen.LocPort, 0);
    EXPECT_TRUE(Client.IsSocketConnected(H));
    EXPECT_EQ(Client.FindSocket(H, true)->GetRemoteHost(), L.Address());
}

TEST(DataSocketLines, LinesCutAcrossReadsSeveralInOneReadAndCrLfSplitBetweenReads)
{
    TConnected C;
    CONNECTED(C);
    C.Peer.SendAll("one\r\ntw");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 1, 5000);
    C.Peer.SendAll("o\r\nthree\r\nfour\r\n");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 4, 5000);
    C.Peer.SendAll("abc\r");
    RunFor(100);
    EXPECT_EQ(C.Client.Lines.size(), 4u) << "a CR alone does not end a line";
    C.Peer.SendAll("\nlone\nLF\r\n");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 6, 5000);
    const std::vector<std::string> Want{"one\r\n", "two\r\n", "three\r\n", "four\r\n", "abc\r\n", "lone\nLF\r\n"};
    EXPECT_EQ(C.Client.Lines, Want);
    ASSERT_EVENTUALLY(C.Client.ReadLines.size() == 6, 5000);
    EXPECT_EQ(C.Client.ReadLines, Want) << "posted delivery keeps the cutting order";
}

TEST(DataSocketLines, StrippedTerminatorsAndOtherTerminatorKinds)
{
    TConnected C([](TRecordingClient &Cl) {
        Cl.DataInits()->SetStripLineTerminator(true);
        Cl.DataInits()->SetLineTerminator(ltOther);
        Cl.DataInits()->SetLineTermChar(';');
    });
    CONNECTED(C);
    C.Peer.SendAll("a;bb;;c");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 3, 5000);
    EXPECT_EQ(C.Client.Lines, (std::vector<std::string>{"a", "bb", ""}));
    C.Socket()->SetLineTerminator(ltCRLF);
    C.Peer.SendAll("\r\nx\r\n\r\n");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 6, 5000);
    EXPECT_EQ(C.Client.Lines[3], "c");
    EXPECT_EQ(C.Client.Lines[4], "x");
    EXPECT_EQ(C.Client.Lines[5], "") << "CR LF alone is an empty line when stripped";
}

TEST(DataSocketLines, FixedLengthRecordsWithoutTerminator)
{
    TConnected C([](TRecordingClient &Cl) {
        Cl.DataInits()->SetLineTerminator(ltNone);
        Cl.DataInits()->SetFixedLineLength(4);
    });
    CONNECTED(C);
    C.Peer.SendAll("abcdef");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 1, 5000);
    C.Peer.SendAll("gh\r\nij");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 3, 5000);
    EXPECT_EQ(C.Client.Lines, (std::vector<std::string>{"abcd", "efgh", "\r\nij"}));
}

TEST(DataSocketLines, ALineLongerThanTheBufferIsDeliveredWholeAndTheNextLineStaysSeparate)
{
    TConnected C;
    CONNECTED(C);
    std::string Long(20000, 'L');
    for (size_t I = 0; I < Long.size(); I += 97)
        Long[I] = char('a' + I % 26);
    C.Peer.SendAll(Long + "\r\nshort\r\n");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 2, 5000);
    EXPECT_EQ(C.Client.Lines[0], Long + "\r\n");
    EXPECT_EQ(C.Client.Lines[1], "short\r\n");

    // A CR LF that falls right at the overflow point is still recognised.
    C.Peer.SendAll(std::string(8190, 'x') + "\r");
    RunFor(50);
    C.Peer.SendAll("\nend\r\n");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 4, 5000);
    EXPECT_EQ(C.Client.Lines[2], std::string(8190, 'x') + "\r\n");
    EXPECT_EQ(C.Client.Lines[3], "end\r\n");
}

TEST(DataSocketLines, AFullBufferOfCompleteLinesDeliversEveryLineOnItsOwn)
{
    TConnected C;
    CONNECTED(C);
    // Large single writes make reads that fill the 8192-byte buffer with
    // many complete lines and a line head at its end.
    std::vector<std::string> Want;
    std::string Wire;
    for (int I = 0; I < 20000; ++I) {
        std::string Line = "line " + std::to_string(I) + std::string(size_t(I % 37), '.');
        if (I % 1000 == 999)
            Line += std::string(9000, '#');  // some lines longer than the buffer
        Line += "\r\n";
        Want.push_back(Line);
        Wire += Line;
    }
    std::thread Writer([&] { C.Peer.SendAll(Wire, 20000); });
    const bool Done = PumpUntil([&] { return C.Client.Lines.size() >= Want.size(); }, 30000);
    Writer.join();
    ASSERT_TRUE(Done) << C.Client.Lines.size() << " of " << Want.size() << " lines";
    ASSERT_EQ(C.Client.Lines.size(), Want.size());
    for (size_t I = 0; I < Want.size(); ++I)
        ASSERT_EQ(C.Client.Lines[I], Want[I]) << "line " << I;
    EXPECT_TRUE(C.Client.Errors.empty());
}

TEST(DataSocketClose, PeerCloseDeliversTheUnterminatedTailOnceBeforeTheCloseStatus)
{
    TConnected C;
    CONNECTED(C);
    C.Peer.SendAll("first\r\nabc");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 1, 5000);
    C.Peer.Close();
    ASSERT_EVENTUALLY(C.Client.Closes == 1, 5000);
    RunFor(100);
    const std::vector<std::string> Want{"status:connect", "line:first\r\n", "line:abc", "status:close"};
    EXPECT_EQ(C.Client.Events, Want);
    EXPECT_EQ(C.Client.ReadLines, (std::vector<std::string>{"first\r\n", "abc"}));
    EXPECT_EQ(C.Client.SocketList()->Count(), 0) << "a socket closed by its peer is released";
    EXPECT_TRUE(C.Client.Errors.empty());
}

TEST(DataSocketClose, AResetByThePeerIsAnErrorNamingFdCloseThenTheNormalClose)
{
    TConnected C;
    CONNECTED(C);
    C.Peer.Reset();
    ASSERT_EVENTUALLY(C.Client.Closes == 1, 5000);
    ASSERT_EQ(C.Client.Errors.size(), 1u);
    EXPECT_EQ(C.Client.Errors[0].Code, 10054);
    EXPECT_EQ(C.Client.Errors[0].Text, "WinSock Error (10054): Connection reset by peer, on API 'Fd_Close'");
    EXPECT_EQ(C.Client.Events.back(), "status:close");
    EXPECT_EQ(C.Client.SocketList()->Count(), 0);
}

TEST(DataSocketModes, StreamModeWritesEverythingIntoAFileAndDeliversNoLines)
{
    char Name[] = "/tmp/tolvane-sock-XXXXXX";
    const int Fd = ::mkstemp(Name);
    ASSERT_GE(Fd, 0);
    ::close(Fd);
    const std::string Data = PatternBytes(3 * 1024 * 1024 + 17, 5);
    {
        TFileStream File(Name, fmCreate);
        TConnected C;
        CONNECTED(C);
        C.Client.SetSocketReceiveStream(C.Handle, &File);
        C.Client.SetSocketReceiveMode(C.Handle, rmStream);
        std::thread Writer([&] {
            C.Peer.SendAll(Data, 20000);
            C.Peer.Close();
        });
        const bool Closed = PumpUntil([&] { return C.Client.Closes == 1; }, 30000);
        Writer.join();
        ASSERT_TRUE(Closed);
        EXPECT_TRUE(C.Client.Lines.empty());
        EXPECT_EQ(File.Size(), int64_t(Data.size()));
    }
    TFileStream Back(Name, fmOpenRead);
    std::string Read(Data.size(), '\0');
    Back.ReadBuffer(Read.data(), int64_t(Read.size()));
    EXPECT_TRUE(Read == Data) << "file content differs";
    ::unlink(Name);
}

TEST(DataSocketModes, AnyModeDeliversEachReadAsOneBlockAndStreamModeWithoutStreamKeepsTheBytes)
{
    TConnected C([](TRecordingClient &Cl) { Cl.DataInits()->SetReceiveMode(rmAny); });
    CONNECTED(C);
    C.Peer.SendAll("no terminator");
    ASSERT_EVENTUALLY(C.Client.Lines.size() == 1, 5000);
    EXPECT_EQ(C.Client.Lines[0], "no terminator");

    std::vector<std::string> Reported;
    IpSetApplicationExceptionHandler([&](std::exception_ptr E) { Reported.push_back(IpExceptionMessage(E)); });
    C.Client.SetSocketReceiveMode(C.Handle, rmStream);
    C.Peer.SendAll("kept");
    ASSERT_EVENTUALLY(!Reported.empty(), 5000);
    EXPECT_EQ(Reported[0], "Stream not assigned");
    RunFor(100);
    EXPECT_EQ(Reported.size(), 1u) << "the kept bytes must not spin the socket";
    TStringStream S;
    C.Client.SetSocketReceiveStream(C.Handle, &S);
    C.Peer.SendAll("!");
    ASSERT_EVENTUALLY(S.DataString() == "kept!", 5000);
    IpSetApplicationExceptionHandler(nullptr);
}

TEST(DataSocketSend, IdentifiersCountUpWhileQueuedAndCompletionsReportWhatIsLeft)
{
    TConnected C;
    ASSERT_TRUE(C.Peer.IsOpen());
    // Not writable yet: everything waits in the queue.
    EXPECT_EQ(C.Client.PutString(C.Handle, "one\r\n", false), 1);
    EXPECT_EQ(C.Client.PutString(C.Handle, "two\r\n", false), 2);
    EXPECT_EQ(C.Client.PutString(C.Handle, "three\r\n", false), 3);
    ASSERT_EVENTUALLY(C.Client.SendCompletes.size() == 3, 5000);
    EXPECT_EQ(C.Client.SendCompletes,
              (std::vector<std::tuple<int32_t, int32_t>>{{1, 2}, {2, 1}, {3, 0}}));
    EXPECT_EQ(C.Peer.ReadExact(17).value_or(""), "one\r\ntwo\r\nthree\r\n");
    // Writable and idle: taken at once, no identifier, no completion.
    EXPECT_EQ(C.Client.PutString(C.Handle, "four\r\n", false), 0);
    EXPECT_EQ(C.Peer.ReadExact(6).value_or(""), "four\r\n");
    RunFor(100);
    EXPECT_EQ(C.Client.SendCompletes.size(), 3u);
    const TIpSockStatRec S = C.Socket()->GetStatistics();
    EXPECT_EQ(S.Sent(), 23u);
    EXPECT_EQ(S.RawSent(), 23u);
    EXPECT_EQ(S.Counters[5], 23u);
}

TEST(DataSocketSend, AQueueThatHitsWouldBlockResumesAtTheExactByteForASlowReader)
{
    TConnected C;
    CONNECTED(C);
    // A small send buffer keeps the path short, so sends hit would-block
    // again and again.
    const int Small = 4096;
    ::setsockopt(int(C.Handle), SOL_SOCKET, SO_SNDBUF, &Small, sizeof(Small));
    const std::string Text = PatternBytes(3 * 1024 * 1024, 9);
    const std::string StreamData = PatternBytes(2 * 1024 * 1024 + 1460 * 3, 11);
    TStringStream Source(StreamData);
    std::string Got;
    std::atomic<bool> ReaderDone{false};
    std::thread Reader([&] {
        // Small reads with pauses keep the path full, so sends hit would-block.
        while (Got.size() < Text.size() + StreamData.size()) {
            std::string Part = C.Peer.ReadSome(2000);
            if (Part.empty())
                break;
            Got += Part;
            if (Got.size() < 512 * 1024)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ReaderDone = true;
    });
    const int32_t Id1 = C.Client.PutString(C.Handle, Text, false);
    const int32_t Id2 = C.Client.PutStream(C.Handle, &Source, false);
    EXPECT_GT(Id1, 0) << "3 MiB cannot go out at once";
    EXPECT_EQ(Id2, Id1 + 1);
    const bool Done = PumpUntil([&] { return ReaderDone.load(); }, 60000);
    Reader.join();
    ASSERT_TRUE(Done);
    ASSERT_EQ(Got.size(), Text.size() + StreamData.size());
    EXPECT_TRUE(Got.compare(0, Text.size(), Text) == 0) << "string bytes differ";
    EXPECT_TRUE(Got.compare(Text.size(), StreamData.size(), StreamData) == 0) << "stream bytes differ";
    ASSERT_EVENTUALLY(C.Client.SendCompletes.size() == 2, 5000);
    EXPECT_EQ(C.Client.SendCompletes[0], std::make_tuple(Id1, 1));
    EXPECT_EQ(C.Client.SendCompletes[1], std::make_tuple(Id2, 0));
    EXPECT_EQ(C.Socket()->GetStatistics().Sent(), uint64_t(Got.size()));
}

TEST(DataSocketSend, OnlyWhatThePeerAcknowledgedCountsAsArrived)
{
    TConnected C;
    CONNECTED(C);
    // The peer reads nothing: its receive queue holds all that arrived.
    TStringStream Source(PatternBytes(16 * 1024 * 1024, 5));
    C.Client.PutStream(C.Handle, &Source, false);
    RunFor(300);
    int Arrived = 0;
    ASSERT_EQ(::ioctl(C.Peer.Fd(), FIONREAD, &Arrived), 0);
    EXPECT_GT(C.Socket()->GetStatistics().Sent(), uint64_t(Arrived)) << "nothing held in the kernel";
    EXPECT_LE(C.Socket()->AcknowledgedBytes(), uint64_t(Arrived));
    EXPECT_GT(C.Socket()->AcknowledgedBytes(), 0u);
}

TEST(DataSocketSend, CloseAfterSendsEverythingThenClosesAndReleasesTheSocket)
{
    TConnected C;
    CONNECTED(C);
    const std::string Data = PatternBytes(1460 * 40, 3);  // a whole number of chunks
    TStringStream Source(Data);
    EXPECT_EQ(C.Client.PutStream(C.Handle, &Source, true), 0) << "fits the path at once";
    bool Closed = false;
    const std::string Got = C.Peer.ReadUntilClose(5000, &Closed);
    EXPECT_TRUE(Closed);
    EXPECT_TRUE(Got == Data);
    ASSERT_EVENTUALLY(C.Client.SocketList()->Count() == 0, 5000);
    EXPECT_EQ(C.Client.Closes, 1);
    EXPECT_EQ(C.Client.FindSocket(C.Handle, false), nullptr);
    EXPECT_THROW(C.Client.FindSocket(C.Handle, true), EIpNoSocketError);
}

TEST(DataSocketSend, CloseAfterOnAQueuedEntryReleasesTheSocketAfterItsCompletion)
{
    TConnected C;
    ASSERT_TRUE(C.Peer.IsOpen());
    EXPECT_EQ(C.Client.PutString(C.Handle, "a\r\n", false), 1);
    EXPECT_EQ(C.Client.PutString(C.Handle, "bye\r\n", true), 2);
    EXPECT_EQ(C.Client.PutString(C.Handle, "never\r\n", false), 3);
    bool Closed = false;
    std::string Got;
    std::thread Reader([&] { Got = C.Peer.ReadUntilClose(5000, &Closed); });
    ASSERT_EVENTUALLY(C.Client.SocketList()->Count() == 0, 5000);
    Reader.join();
    EXPECT_TRUE(Closed);
    EXPECT_EQ(Got, "a\r\nbye\r\n") << "what follows the close-after entry is discarded";
    EXPECT_EQ(C.Client.SendCompletes, (std::vector<std::tuple<int32_t, int32_t>>{{1, 2}, {2, 1}}));
}

TEST(DataSocketIdle, IdleTimeoutRepeatsEveryTickUntilReset)
{
    TConnected C;
    CONNECTED(C);
    C.Client.SetSocketIdleTimeout(C.Handle, 120);
    EXPECT_EQ(C.Client.GetSocketIdleTimeout(C.Handle), 120u);
    C.Client.ResetIdleFrom = 4;
    ASSERT_EVENTUALLY(C.Client.IdleTimeouts >= 4, 5000);
    // Without a reset the event came on consecutive ticks; the fourth
    // answer reset the count, so the next one needs the full time again.
    const auto Start = std::chrono::steady_clock::now();
    ASSERT_EVENTUALLY(C.Client.IdleTimeouts >= 5, 5000);
    const auto Waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start);
    EXPECT_GE(Waited.count(), 90);
    // Activity resets the idle count too: a read restarts the wait.
    C.Client.ResetIdleFrom = 1;
    C.Client.SetSocketIdleTimeout(C.Handle, 400);
    const int Before = C.Client.IdleTimeouts;
    for (int I = 0; I < 6; ++I) {
        C.Peer.SendAll("x\r\n");
        RunFor(40);
    }
    EXPECT_EQ(C.Client.IdleTimeouts, Before) << "a socket that keeps receiving is not idle";
}

TEST(DataSocketIdle, ProgressIsReportedOncePerTickAfterDataMovedAndTheFilterCanSuppressIt)
{
    TConnected C;
    CONNECTED(C);
    int ProgressEvents = 0;
    C.Client.OnStatus = [&](TObject *, TSocket, TIpStatusKind K, const TIpConnRec &, const TIpSockStatRec &) {
        ProgressEvents += K == skProgress;
    };
    C.Peer.SendAll("a\r\n");
    ASSERT_EVENTUALLY(C.Client.Count("status:progress") == 1, 5000);
    RunFor(200);
    EXPECT_EQ(C.Client.Count("status:progress"), 1) << "no progress without new data";
    EXPECT_EQ(ProgressEvents, 1);
    C.Client.SetStatusFilter(TIpStatusKindSet{skConnect, skClose});
    C.Peer.SendAll("b\r\n");
    ASSERT_EVENTUALLY(C.Client.Count("status:progress") == 2, 5000);
    EXPECT_EQ(ProgressEvents, 1) << "the filter keeps skProgress from OnStatus";
}

TEST(DataSocketClose, ClosingFromThisSideDrainsWhatThePeerSentAndReportsClose)
{
    TConnected C;
    CONNECTED(C);
    C.Peer.SendAll("pending\r\ntail");
    ::usleep(50000);  // the bytes are in this side's buffer, not yet read
    C.Client.CloseSocket(C.Handle);
    EXPECT_EQ(C.Client.Lines, (std::vector<std::string>{"pending\r\n", "tail"}));
    EXPECT_EQ(C.Client.Closes, 1);
    EXPECT_EQ(C.Client.SocketList()->Count(), 0);
    bool Closed = false;
    C.Peer.ReadUntilClose(2000, &Closed);
    EXPECT_TRUE(Closed);
}
