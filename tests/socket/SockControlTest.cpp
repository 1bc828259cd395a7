// The socket control, the socket list and the client base: dispatch,
// look-ups, addresses, options, listening and the log entry text.
#include "SocketTestKit.h"

#include <gtest/gtest.h>

#include "base/IpDebugLog.h"
#include "base/IpEventLog.h"
#include "platform/IpAsyncSelect.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace {

int IntOption(TSocket S, int Level, int Name)
{
    int V = -7;
    socklen_t L = sizeof(V);
    ::getsockopt(int(S), Level, Name, &V, &L);
    return V;
}

std::string Dump(uint32_t Kind, uint32_t Socket, const std::string &Bytes)
{
    std::string Text;
    TIpSockControl::FormatLogEntry(Socket, Kind, reinterpret_cast<uintptr_t>(Bytes.data()), int32_t(Bytes.size()), Text);
    return Text;
}

} // namespace

TEST(SockControlLogText, HeaderLinesAndHexDumpRows)
{
    EXPECT_EQ(Dump(IpLogRead, 412, "ABC"),
              "Read - 3 bytes read from socket 412\r\n"
              "  000000: 41 42 43                                         : ABC             \r\n");
    EXPECT_EQ(Dump(IpLogWrite, 7, "\x01"),
              "Write - 1 byte written to socket 7\r\n"
              "  000000: 01                                               : .               \r\n");
    const std::string Seventeen = "0123456789abcdef\xff";
    EXPECT_EQ(Dump(IpLogRecvApi, 9, Seventeen),
              "[9] Recv API: 17 bytes read\r\n"
              "  000000: 30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66 : 0123456789abcdef\r\n"
              "  000010: FF                                               : .               \r\n");
    EXPECT_EQ(Dump(IpLogSendApi, 9, ""), "[9] Send API: 0 bytes written\r\n");
    EXPECT_EQ(Dump(0x80000000u, 9, "x"), "") << "other kinds give no text here";
}

TEST(SockControlAddresses, ResolveAddressReadsEveryHostForm)
{
    TRecordingClient C;
    struct TCase
    {
        const char *Text;
        uint16_t Default;
        const char *Address;
        uint16_t Port;
    };
    const TCase Cases[] = {
        {"127.0.0.1", 21, "127.0.0.1", 21},
        {"127.0.0.1:2121", 21, "127.0.0.1", 2121},
        {"localhost:2121", 21, "127.0.0.1", 2121}, // a dotless name with a port is that name
        {"localhost", 990, "127.0.0.1", 990},
        {"255.255.255.255", 1, "255.255.255.255", 1},
        {"::1", 21, "::1", 21},                    // a bare IPv6 literal has no port
        {"[::1]", 21, "::1", 21},
        {"[::1]:2121", 21, "::1", 2121},
        {"[fe80::1:2]:990", 21, "fe80::1:2", 990},
        {"2001:db8::7", 21, "2001:db8::7", 21},
    };
    for (const TCase &T : Cases) {
        SCOPED_TRACE(T.Text);
        TSockAddrIn A{};
        C.ResolveAddress(T.Text, A, T.Default);
        EXPECT_EQ(IpAddrText(A), T.Address);
        EXPECT_EQ(IpAddrPort(A), T.Port);
        EXPECT_EQ(IpEndpointText(A), IpHostPortText(T.Address, T.Port));
    }
    EXPECT_EQ(IpHostPortText("::1", 21), "[::1]:21");
    EXPECT_EQ(IpHostPortText("ftp.example.org", 21), "ftp.example.org:21");
    TSockAddrIn A{};
    try {
        C.ResolveAddress("", A, 21);
        FAIL() << "no host must raise";
    } catch (const EIpWinSockError &E) {
        EXPECT_STREQ(E.what(), "Destination address required");
        EXPECT_EQ(E.ErrorCode(), 0);
    }
    EXPECT_EQ(C.ParseDottedAddress("10.1.2.3"), htonl(0x0A010203u));
    EXPECT_EQ(C.ParseDottedAddress("not an address"), 0xFFFFFFFFu);
    EXPECT_EQ(C.AddressToText(htonl(0x0A010203u)), "10.1.2.3");
    EXPECT_FALSE(C.LookupHost("no-such-host.invalid", A));
    // Text with a NUL or another control byte names no host: "localhost\0x"
    // must not be looked up as "localhost".
    EXPECT_TRUE(C.LookupHost("localhost", A));
    EXPECT_FALSE(C.LookupHost(std::string("localhost\0x", 11), A));
    EXPECT_EQ(WinSockAccess().WSAGetLastError(), WSAHOST_NOT_FOUND);
    EXPECT_FALSE(C.LookupHost("local\thost", A));
    EXPECT_EQ(WinSockAccess().WSAGetLastError(), WSAHOST_NOT_FOUND);
}

TEST(SockControlAddresses, ConnectHandleReportsAnUnresolvableNameAndRefusesAConnectedSocket)
{
    TRecordingClient C;
    const TSocket H = C.CreateSocket();
    C.ConnectHandle(H, "no-such-host.invalid");
    ASSERT_EVENTUALLY(!C.Errors.empty(), 10000) << "the lookup's failure arrives as an event";
    ASSERT_EQ(C.Errors.size(), 1u);
    EXPECT_GE(C.Errors[0].Code, 11001);
    EXPECT_LE(C.Errors[0].Code, 11004);
    EXPECT_NE(C.Errors[0].Text.find("on API 'Fd_Connect'"), std::string::npos) << C.Errors[0].Text;

    TTestListener L;
    const TSocket H2 = C.CreateSocket();
    C.ConnectHandle(H2, L.Address());
    TBlockingSocket Peer = L.Accept();
    ASSERT_EVENTUALLY(C.Connects == 1, 5000);
    try {
        C.ConnectHandle(H2, L.Address());
        FAIL() << "a connected socket must be refused";
    } catch (const EIpWinSockError &E) {
        EXPECT_STREQ(E.what(), "Socket is already connected");
    }
}

TEST(SockControlSettings, ProtocolIsRefusedWhileActiveAndLooksUpFollowTheRules)
{
    TRecordingClient C;
    EXPECT_FALSE(C.IsActive());
    C.SetProtocol(1);
    EXPECT_EQ(C.ProtocolName(), "udp");
    EXPECT_EQ(C.SocketType(), 2);
    C.SetProtocol(0);
    EXPECT_EQ(C.ProtocolName(), "tcp");
    EXPECT_EQ(C.TimerInterval(), 500u);
    EXPECT_EQ(C.FindSocket(INVALID_SOCKET, false), nullptr);
    EXPECT_THROW(C.FindSocket(INVALID_SOCKET, true), EIpNoSocketError);
    const TSocket H = C.CreateSocket();
    EXPECT_TRUE(C.IsActive());
    try {
        C.SetProtocol(1);
        FAIL();
    } catch (const EIpActiveError &E) {
        EXPECT_STREQ(E.what(), "Cannot set property on an active socket");
    }
    EXPECT_EQ(C.ProtocolName(), "tcp");
    TIpMultiSockControl Plain;
    EXPECT_EQ(Plain.CreateSocket(), INVALID_SOCKET);
    C.CloseSocket(H);
    EXPECT_FALSE(C.IsActive());
}

TEST(SockControlSettings, OptionsAreWrittenAllOnesOrZeroAndOnlyWhereTheyApply)
{
    TRecordingClient C;
    C.DataInits()->SetSocketOptions(TIpSockOptionSet{soNoDelay, soKeepAlive, soReuseAddr, soBroadcast});
    const TSocket H = C.CreateSocket();
    EXPECT_EQ(IntOption(H, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(IntOption(H, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(IntOption(H, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(IntOption(H, SOL_SOCKET, SO_BROADCAST), 0) << "broadcast is for datagram sockets only";
    C.DataInits()->SetSocketOptions(TIpSockOptionSet{soStripHighBit, soDiscardReceived});
    const TSocket H2 = C.CreateSocket();
    EXPECT_EQ(IntOption(H2, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_TRUE(C.FindSocket(H2, true)->StripHighBit());
    EXPECT_TRUE(C.FindSocket(H2, true)->DiscardReceived());
    EXPECT_FALSE(C.FindSocket(H, true)->StripHighBit()) << "later settings do not reach existing sockets";
}

TEST(SockControlSettings, StripHighBitAndDiscardFiltersWorkOnReceivedBytes)
{
    TRecordingClient C;
    C.DataInits()->SetSocketOptions(TIpSockOptionSet{soStripHighBit});
    TTestListener L;
    const TSocket H = C.ConnectSocket(L.Address());
    TBlockingSocket Peer = L.Accept();
    ASSERT_EVENTUALLY(C.Connects == 1, 5000);
    Peer.SendAll(std::string("\xC1\xE2\x80\r\n"));
    ASSERT_EVENTUALLY(C.Lines.size() == 1, 5000);
    EXPECT_EQ(C.Lines[0], std::string("Ab\x00\r\n", 5));
    C.CloseSocket(H);

    C.DataInits()->SetSocketOptions(TIpSockOptionSet{soDiscardReceived});
    const TSocket H2 = C.ConnectSocket(L.Address());
    TBlockingSocket Peer2 = L.Accept();
    ASSERT_EVENTUALLY(C.Connects == 2, 5000);
    Peer2.SendAll("dropped\r\n");
    ASSERT_EVENTUALLY(C.FindDataSocket(H2, true)->GetStatistics().RawReceived() == 9, 5000);
    RunFor(50);
    EXPECT_EQ(C.Lines.size(), 1u);
    EXPECT_EQ(C.FindDataSocket(H2, true)->GetStatistics().Received(), 0u);
}

TEST(SocketList, HandlesSharingABucketAreBothFoundAndRemovingOneKeepsTheOther)
{
    TRecordingClient C;
    // Two sockets whose numbers differ by 127 share a bucket.
    const int A = ::socket(AF_INET, SOCK_STREAM, 0);
    const int B = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::dup2(A, 300), 300);
    ASSERT_EQ(::dup2(B, 427), 427);
    ::close(A);
    ::close(B);
    ASSERT_EQ(TIpSocketList::HashOf(300), TIpSocketList::HashOf(427));
    auto *S1 = new TIpDataSocket(&C, 300, IpAnyAddress(), nullptr, nullptr);
    auto *S2 = new TIpDataSocket(&C, 427, IpAnyAddress(), nullptr, nullptr);
    EXPECT_EQ(S1->SockType(), SOCK_STREAM) << "an adopted socket reads its type";
    C.AddSocket(S1);
    C.AddSocket(S2);
    EXPECT_EQ(C.FindSocket(300, true), S1);
    EXPECT_EQ(C.FindSocket(427, true), S2);
    EXPECT_EQ(C.SocketList()->IndexOfHandle(300), 0);
    EXPECT_EQ(C.SocketList()->IndexOfHandle(427), 1);
    C.SocketList()->Remove(427);
    EXPECT_EQ(C.FindSocket(300, false), S1);
    EXPECT_EQ(C.FindSocket(427, false), nullptr);
    EXPECT_EQ(C.SocketList()->IndexOfHandle(427), -1);
    // Removing freed the socket and its descriptor; take the number again.
    const int B2 = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::dup2(B2, 427), 427);
    ::close(B2);
    C.SocketList()->Add(S2 = new TIpDataSocket(&C, 427, IpAnyAddress(), nullptr, nullptr));
    C.SocketList()->Remove(300);
    EXPECT_EQ(C.FindSocket(427, false), S2);
    C.CloseAllSockets();
    EXPECT_EQ(C.SocketList()->Count(), 0);
}

TEST(SocketList, CloseAllSocketsClosesNewestFirstAndEachCloseIsReportedBeforeTheSocketIsFreed)
{
    TRecordingClient C;
    std::vector<TSocket> Made{C.CreateSocket(), C.CreateSocket(), C.CreateSocket()};
    std::vector<TSocket> Closed;
    C.StatusHook = [&](TSocket H, TIpStatusKind K) {
        if (K == skClose) {
            Closed.push_back(H);
            EXPECT_NE(C.FindSocket(H, false), nullptr) << "reported while still in the list";
        }
    };
    int OnStatusCloses = 0;
    C.OnStatus = [&](TObject *, TSocket, TIpStatusKind K, const TIpConnRec &, const TIpSockStatRec &) {
        OnStatusCloses += K == skClose;
    };
    C.CloseAllSockets();
    EXPECT_EQ(Closed, (std::vector<TSocket>{Made[2], Made[1], Made[0]}));
    EXPECT_EQ(OnStatusCloses, 3) << "a never-connected socket still reports its close";
    EXPECT_EQ(C.SocketList()->Count(), 0);
}

TEST(SocketList, ATimerTickSurvivesSocketsRemovedDuringIt)
{
    TRecordingClient C;
    C.SetTimerInterval(20);
    std::vector<TSocket> Made;
    for (int I = 0; I < 5; ++I) {
        Made.push_back(C.CreateSocket());
        C.SetSocketIdleTimeout(Made.back(), 1);
    }
    int Removed = 0;
    C.OnIdleTimeout = [&](TObject *, TSocket Current, bool &) {
        // Each time-out removes the last socket of the list mid-tick (never
        // the one whose tick is running).
        const int N = C.SocketList()->Count();
        if (N > 1 && C.SocketList()->Items(N - 1)->Handle() != Current) {
            C.SocketList()->Delete(N - 1);
            ++Removed;
        }
    };
    ASSERT_EVENTUALLY(C.SocketList()->Count() == 1, 5000);
    EXPECT_EQ(Removed, 4);
}

TEST(ListenSocket, ListensOnAnOsChosenPortWithBacklogFiveAndAcceptsIntoADataSocket)
{
    struct TServer : TRecordingClient
    {
        TIpListenSocket *Listen = nullptr;
        TSocket Accepted = INVALID_SOCKET;
        int AcceptNotes = 0;
        int EmptyAccepts = 0;
        void SocketAccept(TSocket Handle) override
        {
            ++AcceptNotes;
            auto *L = dynamic_cast<TIpListenSocket *>(FindSocket(Handle, true));
            const TSocket S = L->Accept();
            if (S == INVALID_SOCKET) {
                ++EmptyAccepts;
                return;
            }
            auto *D = new TIpDataSocket(this, S, IpAnyAddress(), DataInits(), nullptr);
            AddSocket(D);
            Accepted = S;
            SocketConnect(S);
        }
    } Server;
    auto *L = new TIpListenSocket(&Server, INVALID_SOCKET, IpMakeSockAddr(htonl(INADDR_LOOPBACK), 0), nullptr, nullptr);
    Server.AddSocket(L);
    sockaddr_in Bound{};
    socklen_t Len = sizeof(Bound);
    ASSERT_EQ(::getsockname(int(L->Handle()), reinterpret_cast<sockaddr *>(&Bound), &Len), 0);
    EXPECT_NE(ntohs(Bound.sin_port), 0) << "port 0 lets the system choose";
    tcp_info Info{};
    socklen_t InfoLen = sizeof(Info);
    ASSERT_EQ(::getsockopt(int(L->Handle()), IPPROTO_TCP, TCP_INFO, &Info, &InfoLen), 0);
    EXPECT_EQ(Info.tcpi_sacked, 5u) << "listen backlog";
    EXPECT_EQ(L->Accept(), INVALID_SOCKET) << "nothing pending is not an error";

    TBlockingSocket Client;
    ASSERT_TRUE(Client.Connect(ntohs(Bound.sin_port)));
    ASSERT_EVENTUALLY(Server.Connects == 1, 5000);
    EXPECT_EQ(Server.AcceptNotes, 1);
    Client.SendAll("hello\r\n");
    ASSERT_EVENTUALLY(Server.Lines.size() == 1, 5000);
    EXPECT_EQ(Server.PutString(Server.Accepted, "back\r\n", false), 0);
    EXPECT_EQ(Client.ReadLine().value_or(""), "back");
    EXPECT_EQ(Server.EmptyAccepts, 0);
}

TEST(SockControlDispatch, ATickThatThrowsStopsTheTimerUntilAnIntervalIsSetAgain)
{
    struct TFailing : TRecordingClient
    {
        int Ticks = 0;
        bool Fail = true;
        void TimerElapsed(uint32_t Ms) override
        {
            ++Ticks;
            if (Fail)
                throw std::runtime_error("tick failed");
            TRecordingClient::TimerElapsed(Ms);
        }
    } C;
    std::vector<std::string> Reported;
    IpSetApplicationExceptionHandler([&](std::exception_ptr E) { Reported.push_back(IpExceptionMessage(E)); });
    C.SetTimerInterval(20);
    ASSERT_EVENTUALLY(C.Ticks == 1, 5000);
    RunFor(120);
    EXPECT_EQ(C.Ticks, 1);
    EXPECT_EQ(C.TimerInterval(), 0u);
    ASSERT_EQ(Reported.size(), 1u);
    EXPECT_EQ(Reported[0], "tick failed");
    C.Fail = false;
    C.SetTimerInterval(20);
    ASSERT_EVENTUALLY(C.Ticks >= 3, 5000);
    IpSetApplicationExceptionHandler(nullptr);
}

TEST(SockControlDispatch, ConnectAndCloseNoticesGoToEveryNotifyWindow)
{
    TRecordingClient C;
    std::vector<std::pair<uintptr_t, intptr_t>> Notices;
    TIpMessageWindow W([&](TIpMessage &M) {
        if (M.Msg == CM_IPSOCKETSTATUS)
            Notices.emplace_back(M.WParam, M.LParam);
    });
    C.AddNotifyWindow(W.Handle());
    TTestListener L;
    const TSocket H = C.ConnectSocket(L.Address());
    TBlockingSocket Peer = L.Accept();
    ASSERT_EVENTUALLY(Notices.size() == 1, 5000);
    C.CloseSocket(H);
    ASSERT_EVENTUALLY(Notices.size() == 2, 5000);
    EXPECT_EQ(Notices[0], std::make_pair(uintptr_t(H), intptr_t(1)));
    EXPECT_EQ(Notices[1], std::make_pair(uintptr_t(H), intptr_t(2)));
    C.RemoveNotifyWindow(W.Handle());
    C.RemoveNotifyWindow(W.Handle());
    EXPECT_TRUE(C.NotifyWindows().empty());
}

TEST(BaseSocket, ClosedSocketKeepsItsNumberUntilDestroyedAndReleasesItOnce)
{
    TRecordingClient C;
    const TSocket H = C.CreateSocket();
    TIpBaseSocket *S = C.FindSocket(H, true);
    S->Close();
    EXPECT_FALSE(S->SocketHeld());
    EXPECT_EQ(C.Closes, 1);
    // The number stays taken while the object answers to it.
    const int Other = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(Other, int(H));
    C.SocketList()->Remove(H);
    // Destruction freed the number, and only that: Other is still open.
    EXPECT_NE(::fcntl(Other, F_GETFD), -1);
    const int Again = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(Again, int(H));
    ::close(Again);
    ::close(Other);
}

TEST(BaseSocket, WithAProxyConfiguredConnectGoesToTheProxyWhileRemoteAddrKeepsTheDestination)
{
    TRecordingClient C;
    TTestListener Proxy;
    C.SocksServer()->SetAddress("127.0.0.1");
    C.SocksServer()->SetPort(Proxy.Port());
    const TSocket H = C.ConnectSocket("127.0.0.1:9");
    TIpBaseSocket *S = C.FindSocket(H, true);
    EXPECT_EQ(S->SocksState(), 1);
    EXPECT_EQ(S->SocksInfo().Address(), "127.0.0.1");
    EXPECT_EQ(IpAddrPort(S->RemoteAddr()), 9);
    TBlockingSocket Peer = Proxy.Accept();
    ASSERT_TRUE(Peer.IsOpen()) << "the connection goes to the proxy";
    ASSERT_EVENTUALLY(S->Connected(), 5000);
    EXPECT_EQ(S->SocksState(), 2) << "negotiation starts once the proxy is reached";
    RunFor(50);
    EXPECT_EQ(C.Connects, 0) << "the owner hears of the connection only when the proxy grants it";
    // Settings changed afterwards do not reach the existing socket.
    C.SocksServer()->SetAddress("");
    EXPECT_EQ(S->SocksInfo().Address(), "127.0.0.1");
    EXPECT_EQ(C.FindSocket(C.CreateSocket(), true)->SocksState(), 0);
}

namespace {

std::string ReadFile(const std::string &Name)
{
    std::string S;
    if (FILE *F = std::fopen(Name.c_str(), "rb")) {
        char Buf[4096];
        size_t N;
        while ((N = std::fread(Buf, 1, sizeof(Buf), F)) > 0)
            S.append(Buf, N);
        std::fclose(F);
    }
    return S;
}

std::string TempName(const char *Stem)
{
    return std::string("/tmp/tolvane-") + Stem + "-" + std::to_string(::getpid()) + ".log";
}

} // namespace

TEST(SockControlLogs, ConnectAndCloseLinesGoToTheEventLogEvenWithProgressFiltered)
{
    const std::string Name = TempName("event");
    ::unlink(Name.c_str());
    std::string Loc, Rem;
    {
        TRecordingClient C;
        C.EventLog()->SetFileName(Name);
        C.EventLog()->SetEnabled(true);
        C.SetStatusFilter(TIpStatusKindSet{skConnect});
        TTestListener L;
        const TSocket H = C.ConnectSocket(L.Address());
        TBlockingSocket Peer = L.Accept();
        ASSERT_EVENTUALLY(C.Connects == 1, 5000);
        const TIpConnRec R = C.FindSocket(H, true)->ConnRec();
        Loc = "127.0.0.1:" + std::to_string(R.LocPort);
        Rem = "127.0.0.1:" + std::to_string(L.Port());
        C.CloseSocket(H);
    }
    const std::string Text = ReadFile(Name);
    EXPECT_NE(Text.find(" Connect: Loc: " + Loc + " Rem: " + Rem + "\r\n"), std::string::npos) << Text;
    EXPECT_NE(Text.find(" Close:   Loc: " + Loc + " Rem: " + Rem + "\r\n"), std::string::npos) << Text;
    ::unlink(Name.c_str());
}

TEST(SockControlLogs, TrafficEntriesAreWrittenWhenTheControlIsDestroyed)
{
    const std::string Name = TempName("debug");
    ::unlink(Name.c_str());
    {
        TRecordingClient C;
        C.DebugLog()->SetFileName(Name);
        C.DebugLog()->SetEnabled(true);
        C.DataInits()->SetLogOptions(TIpLogOptionSet{loHighData, loLowData});
        TTestListener L;
        const TSocket H = C.ConnectSocket(L.Address());
        TBlockingSocket Peer = L.Accept();
        ASSERT_EVENTUALLY(C.Connects == 1, 5000);
        Peer.SendAll("ABC\r\n");
        ASSERT_EVENTUALLY(C.Lines.size() == 1, 5000);
        EXPECT_EQ(C.PutString(H, "xy", false), 0);
        EXPECT_FALSE(C.DebugLog()->IsEmpty());
    }
    const std::string Text = ReadFile(Name);
    EXPECT_NE(Text.find("Read - 5 bytes read from socket "), std::string::npos) << Text;
    EXPECT_NE(Text.find("] Recv API: 5 bytes read\r\n"), std::string::npos) << Text;
    EXPECT_NE(Text.find("Write - 2 bytes written to socket "), std::string::npos) << Text;
    EXPECT_NE(Text.find("] Send API: 2 bytes written\r\n"), std::string::npos) << Text;
    EXPECT_NE(Text.find("  000000: 41 42 43 0D 0A "), std::string::npos) << Text;
    ::unlink(Name.c_str());
}

TEST(DataSocketBuffers, SmallBufferRequestsLeaveTheSystemSizeAndLargerOnesAreMade)
{
    const int Plain = ::socket(AF_INET, SOCK_STREAM, 0);
    const int SystemRcv = IntOption(TSocket(Plain), SOL_SOCKET, SO_RCVBUF);
    const int SystemSnd = IntOption(TSocket(Plain), SOL_SOCKET, SO_SNDBUF);
    ::close(Plain);
    TRecordingClient C;
    const TSocket Default = C.CreateSocket();  // asks for 4096 each
    EXPECT_EQ(IntOption(Default, SOL_SOCKET, SO_RCVBUF), SystemRcv);
    EXPECT_EQ(IntOption(Default, SOL_SOCKET, SO_SNDBUF), SystemSnd);
    C.DataInits()->SetReceiveBufferSize(SystemRcv * 4);
    C.DataInits()->SetSendBufferSize(SystemSnd * 4);
    const TSocket Large = C.CreateSocket();
    EXPECT_GT(IntOption(Large, SOL_SOCKET, SO_RCVBUF), SystemRcv);
    EXPECT_GT(IntOption(Large, SOL_SOCKET, SO_SNDBUF), SystemSnd);
}

TEST(SockControlDispatch, AReleaseMessageOnlyReleasesTheSocketItWasPostedFor)
{
    TRecordingClient C;
    const TSocket H = C.CreateSocket();
    const uint64_t Serial = C.FindSocket(H, true)->Serial();
    // A release meant for an earlier object with the same number leaves this one.
    C.PostMessage(CM_IPFREESOCKET, H, 0, std::any(Serial + 1000));
    RunFor(30);
    EXPECT_NE(C.FindSocket(H, false), nullptr);
    C.PostMessage(CM_IPFREESOCKET, H, 0, std::any(Serial));
    ASSERT_EVENTUALLY(C.FindSocket(H, false) == nullptr, 5000);
}

TEST(SockControlLogs, TextEntriesAddedThroughTheControlKeepTheirText)
{
    const std::string Name = TempName("text");
    ::unlink(Name.c_str());
    {
        TRecordingClient C;
        C.DebugLog()->SetFileName(Name);
        C.DebugLog()->SetEnabled(true);
        const std::string Line = "USER anonymous";
        C.AddLogEntry(0xFFFFFFFFu, 0x80000000u, Line.data(), int32_t(Line.size()));
    }
    EXPECT_NE(ReadFile(Name).find("USER anonymous"), std::string::npos);
    ::unlink(Name.c_str());
}

TEST(SockControlDispatch, NewsPendingForAClosedSocketNeverReachesTheSocketThatTakesItsNumber)
{
    TRecordingClient C;
    const TSocket A = C.CreateSocket();
    // News for A is queued ("connected", "writable")...
    IpSelectNote(int(A), scConnect, 0, 0);
    // ...when A is closed and freed, and the next socket gets its number.
    C.CloseSocket(A);
    const TSocket B = C.CreateSocket();
    ASSERT_EQ(B, A);
    RunFor(100);
    EXPECT_EQ(C.Connects, 0) << "B never connected";
    EXPECT_FALSE(C.FindSocket(B, true)->Connected());
    EXPECT_FALSE(C.FindDataSocket(B, true)->Writable());
}

TEST(SocketList, ClearCopesWithAnOwnerThatDropsOtherSocketsWhileOneCloses)
{
    TRecordingClient C;
    const TSocket First = C.CreateSocket();
    const TSocket Second = C.CreateSocket();
    const TSocket Third = C.CreateSocket();
    std::vector<TSocket> Closed;
    C.StatusHook = [&](TSocket H, TIpStatusKind K) {
        if (K != skClose)
            return;
        Closed.push_back(H);
        // Closing the newest makes the owner drop the oldest as well.
        if (H == Third && C.FindSocket(First, false))
            C.CloseSocket(First);
    };
    C.CloseAllSockets();
    EXPECT_EQ(Closed, (std::vector<TSocket>{Third, First, Second}));
    EXPECT_EQ(C.SocketList()->Count(), 0);
}

// ---------------------------------------------------------------------------
// Faults found at the edges: a reset before adoption, log entries larger
// than the ring, blanks around a host, options the system refuses, a log
// file held by another writer.

TEST(ListenSocket, AConnectionResetBeforeItIsAdoptedStillReportsItsClose)
{
    TRecordingClient Server;
    auto *L = new TIpListenSocket(&Server, INVALID_SOCKET, IpMakeSockAddr(htonl(INADDR_LOOPBACK), 0), nullptr, nullptr);
    Server.AddSocket(L);
    sockaddr_in Bound{};
    socklen_t Len = sizeof(Bound);
    ASSERT_EQ(::getsockname(int(L->Handle()), reinterpret_cast<sockaddr *>(&Bound), &Len), 0);
    // The caller connects and resets (linger 0) before anyone accepts.
    {
        TBlockingSocket Client;
        ASSERT_TRUE(Client.Connect(ntohs(Bound.sin_port)));
        Client.Reset();
    }
    RunFor(100);
    const TSocket S = L->Accept();
    ASSERT_NE(S, INVALID_SOCKET);
    Server.AddSocket(new TIpDataSocket(&Server, S, IpAnyAddress(), Server.DataInits(), nullptr));
    Server.SocketConnect(S);
    ASSERT_EVENTUALLY(Server.Closes == 1, 5000) << ::testing::PrintToString(Server.Events);
    ASSERT_FALSE(Server.Errors.empty());
    EXPECT_EQ(Server.Errors[0].Code, 10054);
}

TEST(SockControlLogs, AnUploadChunkLargerThanTheRingIsLoggedWithItsFullSize)
{
    const std::string Name = TempName("debug-big");
    ::unlink(Name.c_str());
    const std::string Chunk = PatternBytes(64 * 1024, 3);
    {
        TRecordingClient C;
        C.DebugLog()->SetFileName(Name);
        C.DebugLog()->SetEnabled(true);
        C.DataInits()->SetLogOptions(TIpLogOptionSet{loHighData, loLowData});
        TTestListener L;
        const TSocket H = C.ConnectSocket(L.Address());
        TBlockingSocket Peer = L.Accept();
        ASSERT_EVENTUALLY(C.Connects == 1, 5000);
        C.PutString(H, Chunk, false);
        ASSERT_TRUE(Peer.ReadExact(Chunk.size()).has_value());
        RunFor(100);
    }
    const std::string Text = ReadFile(Name);
    // Both entries of the send are there, each with its head and the size.
    const size_t Send = Text.find("] Send API: ");
    const size_t Write = Text.find("Write - ");
    ASSERT_NE(Send, std::string::npos) << Text.substr(0, 800);
    ASSERT_NE(Write, std::string::npos) << Text.substr(0, 800);
    EXPECT_LT(Send, Write);
    EXPECT_NE(Text.find("(65536 bytes in all; the first ", Send), std::string::npos) << Text.substr(0, 800);
    EXPECT_NE(Text.find("(65536 bytes in all; the first ", Write), std::string::npos) << Text.substr(Write, 800);
    ::unlink(Name.c_str());
}

TEST(SockControlAddresses, BlanksAroundAHostAreNoPartOfIt)
{
    TRecordingClient C;
    TSockAddrIn A{};
    for (const char *Text : {"localhost:2121 ", " localhost:2121", "\tlocalhost:2121\t"}) {
        SCOPED_TRACE(Text);
        C.ResolveAddress(Text, A, 21);
        EXPECT_EQ(IpAddrPort(A), 2121);
        EXPECT_EQ(IpAddrV4(A), htonl(INADDR_LOOPBACK));
    }
    C.ResolveAddress(" 127.0.0.1 ", A, 21);
    EXPECT_EQ(IpAddrV4(A), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(IpAddrPort(A), 21);
}

TEST(SockControlLogs, AnOverwrittenLogHeldByAnotherWriterIsLeftAlone)
{
    const std::string Name = TempName("held");
    {
        FILE *F = std::fopen(Name.c_str(), "wb");
        ASSERT_NE(F, nullptr);
        std::fputs("another program's lines\n", F);
        std::fclose(F);
    }
    const int Holder = ::open(Name.c_str(), O_RDWR);
    ASSERT_GE(Holder, 0);
    ASSERT_EQ(::flock(Holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_THROW(IpOpenLogFile(Name, false), EIpFOpenError);
    EXPECT_EQ(ReadFile(Name), "another program's lines\n");
    ::close(Holder);
    // Free again, overwrite mode empties it.
    {
        auto File = IpOpenLogFile(Name, false);
        EXPECT_EQ(File->Size(), 0);
    }
    ::unlink(Name.c_str());
}

TEST(BaseSocket, AnOptionTheSystemRefusesForLackOfPrivilegeIsSkippedAndLogged)
{
    // SO_DEBUG needs a privilege a normal user lacks. A child process gives
    // up root and makes a socket with it asked for.
    const std::string Log = TempName("option-event");
    ::unlink(Log.c_str());
    const pid_t Child = ::fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        int Status = 0;
        if (::getuid() == 0 && ::setuid(65534) != 0)
            ::_exit(10);
        const int Probe = ::socket(AF_INET, SOCK_STREAM, 0);
        const int On = 1;
        if (::setsockopt(Probe, SOL_SOCKET, SO_DEBUG, &On, sizeof On) == 0)
            ::_exit(11); // privileged after all: nothing to show
        ::close(Probe);
        try {
            TRecordingClient C;
            C.EventLog()->SetFileName(Log);
            C.EventLog()->SetEnabled(true);
            TIpSockOptionSet Options = C.DataInits()->SocketOptions();
            Options.Include(soDebug);
            C.DataInits()->SetSocketOptions(Options);
            if (C.CreateSocket() == INVALID_SOCKET)
                Status = 2;
        } catch (...) {
            Status = 3;
        }
        ::_exit(Status);
    }
    int Status = -1;
    ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
    ASSERT_TRUE(WIFEXITED(Status));
    if (WEXITSTATUS(Status) == 10 || WEXITSTATUS(Status) == 11)
        GTEST_SKIP() << "cannot run without the privilege here";
    EXPECT_EQ(WEXITSTATUS(Status), 0) << "the socket was not made";
    EXPECT_NE(ReadFile(Log).find("Socket option SO_DEBUG not set"), std::string::npos) << ReadFile(Log);
    ::unlink(Log.c_str());
}
