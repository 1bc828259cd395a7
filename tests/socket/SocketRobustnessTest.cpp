// The socket layer against peers that never stop, handlers that close the
// very socket they were called for, and closes that fail: bounded work per
// notification, no use of freed sockets, nothing left behind in the list,
// and a stream upload whose bytes and events do not depend on how it is cut.
#include "SocketTestKit.h"

#include "base/IpStreams.h"
#include "platform/IpAsyncSelect.h"
#include "support/TestPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A socket that takes every received byte through the 8 KiB line buffer,
// as stream mode did before it read in large pieces.
class TLineBufferSocket : public TIpDataSocket
{
public:
    using TIpDataSocket::TIpDataSocket;
    bool BytesPassUnchanged() const override { return false; }
};

// Records, besides everything TRecordingClient records, the most work a
// single read or write notification (or a PutStream call) did, and each
// timer tick as a "tick" event.
class TMeasuringClient : public TRecordingClient
{
public:
    uint64_t MaxReadBytes = 0;
    uint64_t MaxStreamReadBytes = 0;
    uint64_t MaxSendBytes = 0;
    TSocket Watched = INVALID_SOCKET;
    TStream *WatchedStream = nullptr;
    bool LineBufferOnly = false;

    TSocket CreateSocket() override
    {
        if (!LineBufferOnly)
            return TRecordingClient::CreateSocket();
        auto *Socket = new TLineBufferSocket(this, INVALID_SOCKET, DefaultLocalAddr(), DataInits(), SocksServer());
        SocketList()->Add(Socket);
        return Socket->Handle();
    }

    uint64_t RawSent()
    {
        TIpDataSocket *S = FindDataSocket(Watched, false);
        return S ? S->GetStatistics().RawSent() : 0;
    }
    void SocketRead(TSocket Handle) override
    {
        const uint64_t Before = BytesCut;
        const int64_t StreamBefore = WatchedStream ? WatchedStream->Size() : 0;
        TRecordingClient::SocketRead(Handle);
        MaxReadBytes = std::max(MaxReadBytes, BytesCut - Before);
        if (WatchedStream)
            MaxStreamReadBytes = std::max(MaxStreamReadBytes, uint64_t(WatchedStream->Size() - StreamBefore));
    }
    void SocketWrite(TSocket Handle) override
    {
        const uint64_t Before = RawSent();
        TRecordingClient::SocketWrite(Handle);
        const uint64_t After = RawSent();
        if (After > Before)
            MaxSendBytes = std::max(MaxSendBytes, After - Before);
    }
    void TimerElapsed(uint32_t Ms) override
    {
        Events.push_back("tick");
        TRecordingClient::TimerElapsed(Ms);
    }
};

struct TConn
{
    TMeasuringClient Client;
    TTestListener Listener;
    TBlockingSocket Peer;
    TSocket Handle = INVALID_SOCKET;
    std::thread PeerWork;  // what the peer does meanwhile; joined first

    explicit TConn(bool LineBufferOnly = false)
    {
        Client.LineBufferOnly = LineBufferOnly;
        Client.SetTimerInterval(50);
        Handle = Client.ConnectSocket(Listener.Address());
        Client.Watched = Handle;
        Peer = Listener.Accept();
    }
    ~TConn()
    {
        if (PeerWork.joinable())
            PeerWork.join();
    }
    TIpDataSocket *Socket() { return Client.FindDataSocket(Handle, false); }
    bool Ready() { return Client.Connects == 1 && Socket() && Socket()->Writable(); }
};

#define READY(C)                      \
    ASSERT_TRUE((C).Peer.IsOpen());   \
    ASSERT_EVENTUALLY((C).Ready(), 5000)

// Collects what is written to it; on every write it can make the peer send
// more, like a peer that never stops while this side is busy.
class TPushingStream : public TStream
{
public:
    std::string Data;
    std::function<void()> OnWrite;
    bool Fail = false;
    int64_t Read(void *, int64_t) override { return 0; }
    int64_t Write(const void *Buffer, int64_t Count) override
    {
        if (Fail)
            throw std::runtime_error("disk full");
        Data.append(static_cast<const char *>(Buffer), size_t(Count));
        if (OnWrite)
            OnWrite();
        return Count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return int64_t(Data.size()); }
    int64_t Size() override { return int64_t(Data.size()); }
};

int Waiting(TSocket Handle)
{
    int N = 0;
    ::ioctl(int(Handle), FIONREAD, &N);
    return N;
}

} // namespace

TEST(SocketBudget, AFloodOfShortLinesIsReadInBoundedStepsAndNothingIsLost)
{
    TConn C;
    READY(C);
    C.Client.RecordLineText = false;
    const int Big = 1 << 20;
    ::setsockopt(int(C.Handle), SOL_SOCKET, SO_RCVBUF, &Big, sizeof(Big));
    std::string Flood;
    for (int I = 0; I < 2000000; ++I)
        Flood += "1\r\n";
    std::thread Writer([&] { C.Peer.SendAll(Flood, 60000); });
    // Let the peer fill the path before the first read notification runs.
    for (int I = 0; I < 100 && Waiting(C.Handle) < 512 * 1024; ++I)
        ::usleep(10000);
    const bool All = PumpUntil([&] { return C.Client.BytesCut >= Flood.size(); }, 60000);
    Writer.join();
    ASSERT_TRUE(All) << C.Client.BytesCut << " of " << Flood.size();
    EXPECT_EQ(C.Client.BytesCut, Flood.size());
    EXPECT_LE(C.Client.MaxReadBytes, uint64_t(IpReadsPerNotification) * IpReceiveBufferSize)
        << "one read notification took more than its share";
}

struct TStreamRun
{
    bool Equal = false;
    size_t Got = 0;
    std::vector<std::string> Events;  // after the connect
    std::vector<uint64_t> Progress;   // bytes received at each progress report
    uint64_t AtClose = 0;
    uint64_t MaxRead = 0;
};

enum TReceiveWay { rwLineBuffer, rwLargePieces, rwIntoFile };

// The peer sends Data and closes; the socket receives it into a stream
// (a file for rwIntoFile, where the kernel moves the bytes itself).
void ReceiveIntoStream(TReceiveWay Way, const std::string &Data, TStreamRun &Out)
{
    TConn C(Way == rwLineBuffer);
    READY(C);
    TTempDir Dir("tolvane-receive");
    std::unique_ptr<TStream> Owned;
    if (Way == rwIntoFile)
        Owned = std::make_unique<TFileStream>(Dir.File("in.bin"), fmCreate);
    else
        Owned = std::make_unique<TStringStream>();
    TStream &Sink = *Owned;
    C.Client.WatchedStream = &Sink;
    C.Client.OnStatus = [&](TObject *, TSocket, TIpStatusKind K, const TIpConnRec &, const TIpSockStatRec &S) {
        if (K == skProgress)
            Out.Progress.push_back(S.Received());
        if (K == skClose)
            Out.AtClose = S.Received();
    };
    C.Client.SetSocketReceiveStream(C.Handle, &Sink);
    C.Client.SetSocketReceiveMode(C.Handle, rmStream);
    C.PeerWork = std::thread([&] {
        C.Peer.SendAll(Data, 60000);
        C.Peer.Close();
    });
    ASSERT_TRUE(PumpUntil([&] { return C.Client.Closes == 1; }, 60000));
    RunFor(120);
    std::string Got;
    if (Way == rwIntoFile) {
        Owned.reset();
        Got = ReadFile(Dir.File("in.bin"));
    } else {
        Got = static_cast<TStringStream &>(Sink).DataString();
    }
    Out.Equal = Got == Data;
    Out.Got = Got.size();
    for (const std::string &E : C.Client.Events)
        if (E != "status:connect")
            Out.Events.push_back(E);
    Out.MaxRead = C.Client.MaxStreamReadBytes;
}

TEST(SocketBudget, AStreamReceiveInLargePiecesKeepsTheBytesAndEventsOfTheLineBuffer)
{
    const std::string Data = PatternBytes(size_t(64) << 20, 13);
    for (const TReceiveWay Way : {rwLineBuffer, rwLargePieces, rwIntoFile}) {
        const bool LineBufferOnly = Way == rwLineBuffer;
        SCOPED_TRACE(LineBufferOnly ? "8 KiB line buffer" : Way == rwLargePieces ? "large pieces" : "into a file");
        TStreamRun R;
        ReceiveIntoStream(Way, Data, R);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_TRUE(R.Equal) << R.Got << " of " << Data.size() << " bytes, or other bytes";
        EXPECT_EQ(R.AtClose, Data.size()) << "byte count at the close";
        // Only ticks, progress and the close: nothing else is reported,
        // progress at most once a tick, the close once and last.
        std::vector<std::string> Other;
        for (const std::string &E : R.Events)
            if (E != "tick" && E != "status:progress")
                Other.push_back(E);
        EXPECT_EQ(Other, std::vector<std::string>{"status:close"});
        const auto Close = std::find(R.Events.begin(), R.Events.end(), "status:close");
        for (auto It = Close; It != R.Events.end(); ++It)
            EXPECT_NE(*It, "status:progress") << "progress after the close";
        for (auto It = R.Events.begin(); It != R.Events.end(); ++It) {
            if (*It == "status:progress") {
                EXPECT_TRUE(It != R.Events.begin() && *(It - 1) == "tick") << "more than one progress in a tick";
            }
        }
        EXPECT_TRUE(std::is_sorted(R.Progress.begin(), R.Progress.end()));
        if (!R.Progress.empty()) {
            EXPECT_LE(R.Progress.back(), Data.size());
        }
        const uint64_t Budget = LineBufferOnly ? uint64_t(IpStreamReadsPerNotification) * IpReceiveBufferSize
                                               : uint64_t(IpStreamReceiveBytesPerNotification);
        EXPECT_LE(R.MaxRead, Budget) << "one read notification took more than its share";
    }
}

TEST(SocketBudget, ALocalCloseDrainsWhatWaitedButNotWhatAPeerKeepsSending)
{
    TConn C;
    READY(C);
    const std::string First = PatternBytes(100000, 4);
    ASSERT_TRUE(C.Peer.SendAll(First));
    for (int I = 0; I < 200 && Waiting(C.Handle) < int(First.size()); ++I)
        ::usleep(5000);
    ASSERT_EQ(Waiting(C.Handle), int(First.size()));
    TPushingStream Sink;
    int Pushes = 0;
    const std::string More(16384, 'm');
    Sink.OnWrite = [&] {
        if (Pushes++ < 2000)
            ::send(C.Peer.Fd(), More.data(), More.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    };
    C.Client.SetSocketReceiveStream(C.Handle, &Sink);
    C.Client.SetSocketReceiveMode(C.Handle, rmStream);
    C.Client.CloseSocket(C.Handle);
    EXPECT_EQ(C.Client.Closes, 1);
    EXPECT_TRUE(Sink.Data == First) << Sink.Data.size() << " bytes drained, " << First.size() << " waited";
}

// Each case closes the socket from inside a callback of that very socket;
// the socket layer must not touch it afterwards (the sanitizer build
// catches any access) and must free it once the callback has returned.
TEST(SocketDispatch, AHandlerMayCloseTheSocketItIsCalledFor)
{
    struct TCase
    {
        const char *Name;
        std::function<void(TConn &)> Arm;     // installs the closing handler
        std::function<void(TConn &)> Trigger; // makes the callback happen
    };
    const std::vector<TCase> Cases{
        {"idle time-out",
         [](TConn &C) {
             C.Client.OnIdleTimeout = [&C](TObject *, TSocket S, bool &) { C.Client.CloseSocket(S); };
         },
         [](TConn &C) { C.Client.SetSocketIdleTimeout(C.Handle, 60); }},
        {"progress",
         [](TConn &C) {
             C.Client.OnStatus = [&C](TObject *, TSocket S, TIpStatusKind K, const TIpConnRec &, const TIpSockStatRec &) {
                 if (K == skProgress)
                     C.Client.CloseSocket(S);
             };
         },
         [](TConn &C) { C.Peer.SendAll("x\r\n"); }},
        {"send complete",
         [](TConn &C) {
             C.Client.OnSendComplete = [&C](TObject *, TSocket S, int32_t, int32_t) { C.Client.CloseSocket(S); };
         },
         [](TConn &C) {
             // Queued while not writable, so it completes from a write notification.
             // Too much to go at once: it completes from a write notification.
             EXPECT_GT(C.Client.PutString(C.Handle, std::string(4 << 20, 's'), false), 0);
             C.PeerWork = std::thread([&C] { C.Peer.ReadUntilClose(10000); });
         }},
        {"line too long",
         [](TConn &C) {
             C.Client.OnError = [&C](TObject *, TSocket S, int Code, const std::string &) {
                 if (Code == 8001)
                     C.Client.CloseSocket(S);
             };
         },
         [](TConn &C) {
             C.PeerWork = std::thread([&C] { C.Peer.SendAll(std::string(1100000, 'L'), 10000); });
         }},
    };
    for (const TCase &K : Cases) {
        SCOPED_TRACE(K.Name);
        auto C = std::make_unique<TConn>();
        READY(*C);
        K.Arm(*C);
        K.Trigger(*C);
        ASSERT_EVENTUALLY(C->Client.Closes == 1, 10000);
        RunFor(120);
        EXPECT_EQ(C->Client.Closes, 1);
        EXPECT_EQ(C->Client.SocketList()->Count(), 0);
        EXPECT_EQ(C->Client.PendingFreeCount(), 0u) << "freed when the dispatch ended";
    }
}

TEST(SocketDispatch, ACloseIsReportedOnceAndAFailingCloseStillLeavesTheList)
{
    {
        // Closed by its own close-after send, then closed again by the owner
        // before the release message arrived.
        TConn C;
        READY(C);
        EXPECT_EQ(C.Client.PutString(C.Handle, "bye\r\n", true), 0);
        EXPECT_EQ(C.Client.Closes, 1);
        C.Client.CloseAllSockets();
        RunFor(50);
        EXPECT_EQ(C.Client.Closes, 1);
        EXPECT_EQ(C.Client.SocketList()->Count(), 0);
    }
    {
        TRecordingClient Client;
        const TSocket H = Client.CreateSocket();
        Client.CloseSocket(H);
        EXPECT_EQ(Client.Closes, 1) << "a socket that never connected still reports its close";
    }
    {
        // The drain goes into a stream that fails: the close raises, the
        // socket still leaves the list, its close is still reported.
        TConn C;
        READY(C);
        TPushingStream Broken;
        Broken.Fail = true;
        C.Client.SetSocketReceiveStream(C.Handle, &Broken);
        C.Client.SetSocketReceiveMode(C.Handle, rmStream);
        ASSERT_TRUE(C.Peer.SendAll("data"));
        for (int I = 0; I < 200 && Waiting(C.Handle) < 4; ++I)
            ::usleep(5000);
        EXPECT_THROW(C.Client.CloseSocket(C.Handle), std::runtime_error);
        EXPECT_EQ(C.Client.Closes, 1);
        EXPECT_EQ(C.Client.SocketList()->Count(), 0);
    }
    {
        // The same failure in a close-after send: the release still comes.
        TConn C;
        READY(C);
        TPushingStream Broken;
        Broken.Fail = true;
        C.Client.SetSocketReceiveStream(C.Handle, &Broken);
        C.Client.SetSocketReceiveMode(C.Handle, rmStream);
        ASSERT_TRUE(C.Peer.SendAll("data"));
        for (int I = 0; I < 200 && Waiting(C.Handle) < 4; ++I)
            ::usleep(5000);
        EXPECT_THROW(C.Client.PutString(C.Handle, "bye\r\n", true), std::runtime_error);
        ASSERT_EVENTUALLY(C.Client.SocketList()->Count() == 0, 2000);
    }
}

TEST(SocketConnectSafety, FailedConnectsLeaveNoSocketAndZeroAddressesAreRefused)
{
    TRecordingClient Client;
    TTestListener Local;
    const int Fds = OpenDescriptorCount();
    EXPECT_THROW(Client.ConnectSocket(":21"), EIpWinSockError);
    EXPECT_EQ(Client.SocketList()->Count(), 0);
    EXPECT_EQ(OpenDescriptorCount(), Fds) << "descriptor leaked";

    // 0.0.0.0 is this machine on Linux: a hostile passive reply must not
    // reach a local service through it.
    try {
        Client.ConnectSocket("0.0.0.0:" + std::to_string(Local.Port()));
        ADD_FAILURE() << "connect to 0.0.0.0 went ahead";
    } catch (const EIpWinSockError &E) {
        EXPECT_EQ(E.ErrorCode(), 10049);
        EXPECT_NE(std::string(E.what()).find("'Connect'"), std::string::npos) << E.what();
    }
    // Likewise a proxy address that comes out as 0.
    Client.SocksServer()->SetAddress("0.0.0.0");
    Client.SocksServer()->SetPort(Local.Port());
    try {
        Client.ConnectSocket(Local.Address());
        ADD_FAILURE() << "connect to a proxy at 0.0.0.0 went ahead";
    } catch (const EIpWinSockError &E) {
        EXPECT_EQ(E.ErrorCode(), 10049);
        EXPECT_NE(std::string(E.what()).find("'SocksConnect'"), std::string::npos) << E.what();
    }
    EXPECT_FALSE(Local.Accept(200).IsOpen()) << "the local service was reached";
    EXPECT_EQ(Client.SocketList()->Count(), 0);
    EXPECT_EQ(OpenDescriptorCount(), Fds);
}

TEST(SocketConnectSafety, AConnectionResetBeforeItsConnectNoticeIsConnectedThenClosed)
{
    TRecordingClient Client;
    TTestListener L;
    const TSocket H = Client.ConnectSocket(L.Address());
    TBlockingSocket Peer = L.Accept();
    ASSERT_TRUE(Peer.IsOpen());
    Peer.Reset();  // before the event loop has seen the connect complete
    ::usleep(20000);
    ASSERT_EVENTUALLY(Client.Closes == 1 && !Client.FindSocket(H, false), 5000)
        << "a failed connect would leave the socket waiting for ever";
    EXPECT_EQ(Client.Connects, 1);
    ASSERT_EQ(Client.Errors.size(), 1u);
    EXPECT_EQ(Client.Errors[0].Text, "WinSock Error (10054): Connection reset by peer, on API 'Fd_Close'");
}

TEST(SocketConnectSafety, TheNumberOfAClosedSocketKeepsCloseOnExec)
{
    TRecordingClient Client;
    const TSocket H = Client.CreateSocket();
    Client.FindSocket(H, true)->Close();  // closed, number still reserved
    const int Flags = ::fcntl(int(H), F_GETFD);
    ASSERT_GE(Flags, 0);
    EXPECT_TRUE(Flags & FD_CLOEXEC);
}

// A stream that offers the kernel a descriptor that cannot take part (read
// only for a receive) and serves its bytes itself.
class TRefusingKernelStream : public TStringStream
{
public:
    using TStringStream::TStringStream;
    int Fd = -1;
    int KernelFd() override { return Fd; }
};

// When the file's side of a kernel copy fails, the bytes go on through the
// stream's own Write: nothing is lost and no error is made up.
TEST(SocketStreamReceive, AFileThatRefusesAKernelCopyGetsItsBytesThroughTheStream)
{
    const std::string Data = PatternBytes(3 * 1024 * 1024 + 5, 21);
    TTempDir Dir("tolvane-refuse");
    ASSERT_TRUE(WriteFile(Dir.File("ro.bin"), "x"));
    {
        TConn C;
        READY(C);
        TRefusingKernelStream Sink;
        Sink.Fd = ::open(Dir.File("ro.bin").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(Sink.Fd, 0);
        C.Client.SetSocketReceiveStream(C.Handle, &Sink);
        C.Client.SetSocketReceiveMode(C.Handle, rmStream);
        C.PeerWork = std::thread([&] {
            C.Peer.SendAll(Data, 30000);
            C.Peer.Close();
        });
        EXPECT_TRUE(PumpUntil([&] { return C.Client.Closes == 1; }, 30000));
        EXPECT_TRUE(Sink.DataString() == Data) << Sink.DataString().size() << " bytes";
        EXPECT_TRUE(C.Client.Errors.empty());
        EXPECT_EQ(ReadFile(Dir.File("ro.bin")), "x");
        ::close(Sink.Fd);
    }
}

// The chunk a stream is sent in must change nothing anyone can observe:
// the peer gets the same bytes, completions keep their identifiers and
// counts, progress comes at most once per tick after data moved, the close
// comes once and last, and no notification does unbounded work.
TEST(SocketStreamUpload, EverySizeArrivesIntactWithTheSameEvents)
{
    // From memory, and from a file.
    for (const bool FromFile : {false, true})
    for (const size_t Size : {size_t(0), size_t(1), size_t(1460), size_t(1461), size_t(100000),
                              size_t(3 * 1024 * 1024 + 7)}) {
        SCOPED_TRACE("size " + std::to_string(Size) + (FromFile ? " from a file" : " from memory"));
        TConn C;
        READY(C);
        std::vector<uint64_t> SentAtStatus;
        C.Client.OnStatus = [&](TObject *, TSocket, TIpStatusKind K, const TIpConnRec &, const TIpSockStatRec &S) {
            if (K != skConnect)
                SentAtStatus.push_back(S.Sent());
        };
        const std::string Data = PatternBytes(Size, uint32_t(Size + 1));
        TTempDir Dir("tolvane-upload");
        std::unique_ptr<TStream> Owned;
        if (FromFile) {
            ASSERT_TRUE(WriteFile(Dir.File("out.bin"), Data));
            Owned = std::make_unique<TFileStream>(Dir.File("out.bin"), fmOpenRead);
        } else {
            Owned = std::make_unique<TStringStream>(Data);
        }
        TStream &Source = *Owned;
        std::string Got;
        std::atomic<bool> ReaderDone{false};
        std::thread Reader([&] {
            bool Closed = false;
            Got = C.Peer.ReadUntilClose(30000, &Closed);
            ReaderDone = true;
        });
        const uint64_t Before = C.Client.RawSent();
        const int32_t Id = C.Client.PutStream(C.Handle, &Source, true);
        const uint64_t AtOnce = (Id == 0 ? Size : C.Client.RawSent()) - Before;
        const bool Done = PumpUntil([&] { return ReaderDone.load() && C.Client.Closes == 1; }, 30000);
        Reader.join();
        ASSERT_TRUE(Done);
        RunFor(120);  // ticks after the close report nothing more
        EXPECT_TRUE(Got == Data) << Got.size() << " bytes received";
        if (Id == 0) {
            EXPECT_TRUE(C.Client.SendCompletes.empty());
        } else {
            EXPECT_EQ(C.Client.SendCompletes, (std::vector<std::tuple<int32_t, int32_t>>{{Id, 0}}));
        }
        // Everything after the connect: progress only straight after a tick,
        // the close once and last, a completion before it.
        std::vector<std::string> Seen;
        for (const std::string &E : C.Client.Events)
            if (E != "status:connect")
                Seen.push_back(E);
        EXPECT_EQ(std::count(Seen.begin(), Seen.end(), "status:close"), 1);
        const auto Close = std::find(Seen.begin(), Seen.end(), "status:close");
        for (auto It = Close + 1; It != Seen.end(); ++It)
            EXPECT_EQ(*It, "tick") << "after the close";
        for (auto It = Seen.begin(); It != Seen.end(); ++It) {
            if (*It == "status:progress") {
                EXPECT_TRUE(It != Seen.begin() && *(It - 1) == "tick") << "more than one progress in a tick";
            }
        }
        ASSERT_FALSE(SentAtStatus.empty());
        EXPECT_TRUE(std::is_sorted(SentAtStatus.begin(), SentAtStatus.end()));
        EXPECT_EQ(SentAtStatus.back(), uint64_t(Size)) << "byte count at the close";
        const uint64_t Bound = uint64_t(IpSendBytesPerNotification) + 2 * uint64_t(IpStreamSendChunk);
        EXPECT_LE(AtOnce, Bound) << "PutStream sent without end";
        EXPECT_LE(C.Client.MaxSendBytes, Bound) << "one write notification sent without end";
    }
}
