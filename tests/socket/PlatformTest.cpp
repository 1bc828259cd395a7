// The platform stand-ins: posted messages, timers, the tick counter, the
// exception hook and the readiness notifications with the Windows rules.
#include "SocketTestKit.h"

#include "platform/IpAsyncSelect.h"
#include "platform/IpPlatform.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint32_t kNotify = 4753;

struct TNote
{
    uint32_t Event;
    uint32_t Error;
    uintptr_t Fd;
};

// A window that records the readiness notifications it is given.
class TNoteWindow
{
public:
    TNoteWindow()
        : Window([this](TIpMessage &M) {
              if (M.Msg == kNotify)
                  Notes.push_back({IpLoWord(M.LParam), IpHiWord(M.LParam), M.WParam});
          })
    {
    }
    int Count(uint32_t Event) const
    {
        int N = 0;
        for (const auto &Note : Notes)
            N += Note.Event == Event;
        return N;
    }
    std::vector<TNote> Notes;
    TIpMessageWindow Window;
};

int NewSocket()
{
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

int ConnectNonBlocking(int Fd, uint16_t Port)
{
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(Port);
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int Rc = ::connect(Fd, reinterpret_cast<sockaddr *>(&A), sizeof(A));
    IpSelectNote(Fd, scConnect, Rc, Rc == 0 ? 0 : errno);
    return Rc;
}

void SetSendBuffer(int Fd, int Size)
{
    ::setsockopt(Fd, SOL_SOCKET, SO_SNDBUF, &Size, sizeof(Size));
}

} // namespace

TEST(PlatformWindow, DeliversPostedMessagesLaterInPostingOrderWithTheirPayload)
{
    std::vector<std::string> Got;
    TIpMessageWindow W([&](TIpMessage &M) {
        Got.push_back(std::to_string(M.Msg) + ":" + std::to_string(M.WParam) + ":" +
                      std::any_cast<std::string>(M.Payload));
    });
    for (int I = 0; I < 50; ++I)
        W.PostMessage(4756, uintptr_t(I), 0, std::string("line ") + std::to_string(I));
    EXPECT_TRUE(Got.empty()) << "posting must not deliver at once";
    EXPECT_EQ(W.PendingMessages(), 50u);
    ASSERT_EVENTUALLY(Got.size() == 50, 5000);
    for (int I = 0; I < 50; ++I)
        EXPECT_EQ(Got[size_t(I)], "4756:" + std::to_string(I) + ":line " + std::to_string(I));
    EXPECT_EQ(W.PendingMessages(), 0u);
}

TEST(PlatformWindow, UndeliveredPayloadsAreFreedWithTheWindowAndPostsByHandleStopThen)
{
    auto Payload = std::make_shared<int>(7);
    TIpWnd Handle = 0;
    {
        TIpMessageWindow W([](TIpMessage &) { FAIL() << "nothing may be delivered"; });
        Handle = W.Handle();
        W.PostMessage(1, 0, 0, Payload);
        EXPECT_TRUE(IpPostMessage(Handle, 2, 0, 0, Payload));
        EXPECT_EQ(Payload.use_count(), 3);
    }
    EXPECT_EQ(Payload.use_count(), 1) << "payloads of dropped messages must be released";
    EXPECT_FALSE(IpIsWindow(Handle));
    EXPECT_FALSE(IpPostMessage(Handle, 3, 0, 0, Payload));
    EXPECT_EQ(Payload.use_count(), 1);
    RunFor(20);
}

TEST(PlatformWindow, AWindowDestroyedInsideItsOwnProcedureIsSafeAndExceptionsGoToTheHandler)
{
    std::vector<std::string> Reported;
    IpSetApplicationExceptionHandler([&](std::exception_ptr E) { Reported.push_back(IpExceptionMessage(E)); });
    std::unique_ptr<TIpMessageWindow> W;
    int Calls = 0;
    W = std::make_unique<TIpMessageWindow>([&](TIpMessage &M) {
        ++Calls;
        if (M.Msg == 1)
            throw std::runtime_error("handler failed");
        if (M.Msg == 2)
            W.reset();
    });
    W->PostMessage(1, 0, 0);
    W->PostMessage(2, 0, 0);
    W->PostMessage(3, 0, 0);  // dropped: the window is gone by then
    ASSERT_EVENTUALLY(!W, 5000);
    RunFor(30);
    IpSetApplicationExceptionHandler(nullptr);
    EXPECT_EQ(Calls, 2);
    ASSERT_EQ(Reported.size(), 1u);
    EXPECT_EQ(Reported[0], "handler failed");
}

TEST(PlatformWindow, TimerTicksAsTimerMessagesUntilKilled)
{
    int Ticks = 0;
    TIpMessageWindow W([&](TIpMessage &M) {
        if (M.Msg == IP_WM_TIMER && M.WParam == 1)
            ++Ticks;
    });
    ASSERT_TRUE(W.SetTimer(1, 10));
    EXPECT_TRUE(W.TimerActive(1));
    ASSERT_EVENTUALLY(Ticks >= 3, 5000);
    W.KillTimer(1);
    EXPECT_FALSE(W.TimerActive(1));
    const int After = Ticks;
    RunFor(60);
    EXPECT_EQ(Ticks, After);
    EXPECT_EQ(W.SendMessage(IP_WM_QUERYENDSESSION, 0, 0), 0) << "a plain window answers nothing";
}

TEST(PlatformTickCount, WrapsAt32BitsAndTheControlStillMeasuresShortIntervals)
{
    const uint32_t Now = IpGetTickCount();
    // Put the counter 300 ms before its wrap.
    IpSetTickCountOffset(uint32_t(0xFFFFFFFFu - Now - 300u));
    const uint32_t Before = IpGetTickCount();
    EXPECT_GT(Before, 0xFFFFF000u);

    struct TProbe : TRecordingClient
    {
        std::vector<uint32_t> Elapsed;
        void TimerElapsed(uint32_t Ms) override
        {
            Elapsed.push_back(Ms);
            TRecordingClient::TimerElapsed(Ms);
        }
    } Probe;
    Probe.SetTimerInterval(100);
    ASSERT_EVENTUALLY(IpGetTickCount() < 0x10000000u && Probe.Elapsed.size() >= 6, 10000);
    IpSetTickCountOffset(0);
    for (uint32_t Ms : Probe.Elapsed)
        EXPECT_LT(Ms, 1000u) << "an interval across the wrap must stay short";
}

TEST(PlatformReadiness, RefusedConnectGivesOneConnectNotificationWithTheErrorAndNothingElse)
{
    TNoteWindow N;
    const int Fd = NewSocket();
    ASSERT_EQ(IpAsyncSelect(Fd, N.Window.Handle(), kNotify, fdRead | fdWrite | fdConnect | fdClose), 0);
    ConnectNonBlocking(Fd, ClosedPort());
    ASSERT_EVENTUALLY(!N.Notes.empty(), 5000);
    RunFor(150);
    ASSERT_EQ(N.Notes.size(), 1u);
    EXPECT_EQ(N.Notes[0].Event, uint32_t(fdConnect));
    EXPECT_EQ(N.Notes[0].Error, 10061u);
    EXPECT_EQ(N.Notes[0].Fd, uintptr_t(Fd));
    IpSelectCancel(Fd);
    ::close(Fd);
}

TEST(PlatformReadiness, ConnectThenOneWriteAndWriteAgainOnlyAfterWouldBlock)
{
    TTestListener L;
    TNoteWindow N;
    const int Fd = NewSocket();
    SetSendBuffer(Fd, 4096);
    ASSERT_EQ(IpAsyncSelect(Fd, N.Window.Handle(), kNotify, fdRead | fdWrite | fdConnect | fdClose), 0);
    ConnectNonBlocking(Fd, L.Port());
    TBlockingSocket Peer = L.Accept();
    ASSERT_TRUE(Peer.IsOpen());
    ASSERT_EVENTUALLY(N.Notes.size() >= 2, 5000);
    RunFor(100);
    ASSERT_EQ(N.Notes.size(), 2u);
    EXPECT_EQ(N.Notes[0].Event, uint32_t(fdConnect));
    EXPECT_EQ(N.Notes[0].Error, 0u);
    EXPECT_EQ(N.Notes[1].Event, uint32_t(fdWrite));

    // A send that is taken whole gives no new write notification.
    ASSERT_EQ(::send(Fd, "x", 1, MSG_NOSIGNAL), 1);
    IpSelectNote(Fd, scSend, 1, 0);
    RunFor(100);
    EXPECT_EQ(N.Count(fdWrite), 1);

    // Fill the path until would-block, again and again until even the
    // peer's side is full: every would-block earns exactly one write
    // notification once there is room again, and no more.
    std::string Chunk(65536, 'a');
    int WouldBlocks = 0;
    for (int Round = 0; Round < 2000; ++Round) {
        for (;;) {
            const ssize_t R = ::send(Fd, Chunk.data(), Chunk.size(), MSG_NOSIGNAL);
            IpSelectNote(Fd, scSend, long(R), R < 0 ? errno : 0);
            if (R < 0) {
                ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
                break;
            }
        }
        ++WouldBlocks;
        const int Before = N.Count(fdWrite);
        RunFor(30);
        ASSERT_LE(N.Count(fdWrite), 1 + WouldBlocks);
        if (N.Count(fdWrite) == Before)
            break;
    }
    RunFor(100);
    ASSERT_LE(N.Count(fdWrite), 1 + WouldBlocks);
    Peer.ReadSome(200);
    while (!Peer.ReadSome(50).empty()) {
    }
    ASSERT_EVENTUALLY(N.Count(fdWrite) == 1 + WouldBlocks, 5000);
    RunFor(100);
    EXPECT_EQ(N.Count(fdWrite), 1 + WouldBlocks);
    IpSelectCancel(Fd);
    ::close(Fd);
}

TEST(PlatformReadiness, ReadIsReArmedOnlyByRecvAndCloseComesOnceAfterTheData)
{
    TTestListener L;
    TNoteWindow N;
    const int Fd = NewSocket();
    ASSERT_EQ(IpAsyncSelect(Fd, N.Window.Handle(), kNotify, fdRead | fdWrite | fdConnect | fdClose), 0);
    ConnectNonBlocking(Fd, L.Port());
    TBlockingSocket Peer = L.Accept();
    ASSERT_EVENTUALLY(N.Count(fdWrite) == 1, 5000);

    Peer.SendAll("first");
    ASSERT_EVENTUALLY(N.Count(fdRead) == 1, 5000);
    Peer.SendAll("second");
    RunFor(100);
    EXPECT_EQ(N.Count(fdRead), 1) << "no new read notification before a recv";

    char Buf[4];
    ssize_t R = ::recv(Fd, Buf, sizeof(Buf), 0);  // leaves data waiting
    IpSelectNote(Fd, scRecv, long(R), 0);
    ASSERT_EVENTUALLY(N.Count(fdRead) == 2, 5000);

    Peer.Close();
    RunFor(100);
    EXPECT_EQ(N.Count(fdClose), 0) << "the close waits behind unread data";
    char Big[64];
    while ((R = ::recv(Fd, Big, sizeof(Big), 0)) > 0)
        IpSelectNote(Fd, scRecv, long(R), 0);
    IpSelectNote(Fd, scRecv, long(R), R < 0 ? errno : 0);
    ASSERT_EVENTUALLY(N.Count(fdClose) == 1, 5000);
    R = ::recv(Fd, Big, sizeof(Big), 0);
    IpSelectNote(Fd, scRecv, long(R), 0);
    RunFor(100);
    EXPECT_EQ(N.Count(fdClose), 1);
    EXPECT_EQ(N.Notes.back().Error, 0u);
    IpSelectCancel(Fd);
    ::close(Fd);
}

TEST(PlatformReadiness, AResetIsOneCloseNotificationCarryingTheResetCode)
{
    TTestListener L;
    TNoteWindow N;
    const int Fd = NewSocket();
    ASSERT_EQ(IpAsyncSelect(Fd, N.Window.Handle(), kNotify, fdRead | fdWrite | fdConnect | fdClose), 0);
    ConnectNonBlocking(Fd, L.Port());
    TBlockingSocket Peer = L.Accept();
    ASSERT_EVENTUALLY(N.Count(fdWrite) == 1, 5000);
    Peer.Reset();
    ASSERT_EVENTUALLY(N.Count(fdClose) == 1, 5000);
    RunFor(100);
    EXPECT_EQ(N.Count(fdClose), 1);
    EXPECT_EQ(N.Notes.back().Error, 10054u);
    IpSelectCancel(Fd);
    ::close(Fd);
}

TEST(PlatformReadiness, AcceptIsReArmedByAccept)
{
    TNoteWindow N;
    const int Fd = NewSocket();
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(Fd, reinterpret_cast<sockaddr *>(&A), sizeof(A)), 0);
    socklen_t Len = sizeof(A);
    ::getsockname(Fd, reinterpret_cast<sockaddr *>(&A), &Len);
    ASSERT_EQ(IpAsyncSelect(Fd, N.Window.Handle(), kNotify, fdRead | fdWrite | fdAccept | fdClose), 0);
    ASSERT_EQ(::listen(Fd, 5), 0);
    IpSelectNote(Fd, scListen, 0, 0);

    TBlockingSocket C1, C2;
    ASSERT_TRUE(C1.Connect(ntohs(A.sin_port)));
    ASSERT_TRUE(C2.Connect(ntohs(A.sin_port)));
    ASSERT_EVENTUALLY(N.Count(fdAccept) == 1, 5000);
    RunFor(100);
    EXPECT_EQ(N.Count(fdAccept), 1) << "two pending connections, but no accept yet";
    const int S1 = ::accept(Fd, nullptr, nullptr);
    IpSelectNote(Fd, scAccept, S1, 0);
    ASSERT_EVENTUALLY(N.Count(fdAccept) == 2, 5000);
    const int S2 = ::accept(Fd, nullptr, nullptr);
    IpSelectNote(Fd, scAccept, S2, 0);
    RunFor(100);
    EXPECT_EQ(N.Count(fdAccept), 2) << "nothing pending any more";
    EXPECT_EQ(N.Count(fdRead), 0) << "a listening socket reports accepts, not reads";
    ::close(S1);
    ::close(S2);
    IpSelectCancel(Fd);
    ::close(Fd);
}

TEST(PlatformReadiness, ANotificationForAClosedSocketNeverReachesTheSocketThatReusesItsNumber)
{
    TTestListener L;
    TNoteWindow N;
    const int Old = NewSocket();
    ASSERT_EQ(IpAsyncSelect(Old, N.Window.Handle(), kNotify, fdRead | fdWrite | fdConnect | fdClose), 0);
    // An immediate connect result posts "connect" and "write" for Old...
    IpSelectNote(Old, scConnect, 0, 0);
    ASSERT_EQ(N.Window.PendingMessages(), 2u);
    const uint64_t OldGeneration = IpSelectGeneration(Old);
    // ...which are still queued when Old is closed and a new socket takes its number.
    IpSelectCancel(Old);
    ::close(Old);
    const int New = NewSocket();
    ASSERT_EQ(New, Old) << "the system hands out the lowest free number";
    ASSERT_EQ(IpAsyncSelect(New, N.Window.Handle(), kNotify, fdRead | fdWrite | fdConnect | fdClose), 0);
    EXPECT_NE(IpSelectGeneration(New), OldGeneration);
    EXPECT_FALSE(IpSelectIsCurrent(New, OldGeneration));
    RunFor(100);
    EXPECT_TRUE(N.Notes.empty()) << "the new, unconnected socket got " << N.Notes.size() << " stale notifications";

    // The new socket still gets its own news.
    ConnectNonBlocking(New, L.Port());
    TBlockingSocket Peer = L.Accept();
    ASSERT_EVENTUALLY(N.Count(fdWrite) == 1, 5000);
    EXPECT_EQ(N.Notes[0].Event, uint32_t(fdConnect));
    IpSelectCancel(New);
    ::close(New);
}

TEST(PlatformReadiness, ReRegisteringDropsTheOldRegistrationsPendingNews)
{
    TNoteWindow N;
    const int Fd = NewSocket();
    ASSERT_EQ(IpAsyncSelect(Fd, N.Window.Handle(), kNotify, fdRead | fdWrite | fdConnect | fdClose), 0);
    IpSelectNote(Fd, scConnect, 0, 0);
    ASSERT_EQ(N.Window.PendingMessages(), 2u);
    ASSERT_EQ(IpAsyncSelect(Fd, N.Window.Handle(), kNotify, fdConnect), 0);
    RunFor(100);
    EXPECT_TRUE(N.Notes.empty());
    const size_t Registered = IpSelectRegisteredCount();
    IpSelectCancel(Fd);
    EXPECT_EQ(IpSelectRegisteredCount(), Registered - 1);
    ::close(Fd);
}

TEST(PlatformReadiness, RegisteringAnInvalidDescriptorFails)
{
    TNoteWindow N;
    EXPECT_EQ(IpAsyncSelect(-1, N.Window.Handle(), kNotify, fdRead), -1);
    EXPECT_EQ(errno, EBADF);
}
