// The socket access object over real loopback sockets, the error numbering
// and texts, and the exception family.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <netdb.h>
#include <poll.h>

#include "base/IpConst.h"
#include "base/IpWinSock.h"
#include "support/TestPaths.h"

namespace {

TIpWinSockAccess &WS() { return WinSockAccess(); }

sockaddr_in Loopback(uint16_t Port)
{
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = WS().htons(Port);
    A.sin_addr.s_addr = WS().inet_addr("127.0.0.1");
    return A;
}

// A listening socket on 127.0.0.1 and a connected pair through it.
struct TPair
{
    TSocket Listener = INVALID_SOCKET;
    TSocket Client = INVALID_SOCKET;
    TSocket Server = INVALID_SOCKET;
    uint16_t Port = 0;

    TPair()
    {
        Listener = WS().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in A = Loopback(0);
        EXPECT_EQ(WS().bind(Listener, reinterpret_cast<TSockAddr *>(&A), sizeof(A)), 0);
        EXPECT_EQ(WS().listen(Listener, 5), 0);
        int Len = sizeof(A);
        EXPECT_EQ(WS().getsockname(Listener, reinterpret_cast<TSockAddr *>(&A), &Len), 0);
        EXPECT_EQ(Len, 16);
        Port = WS().ntohs(A.sin_port);
        Client = WS().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        const int R = WS().connect(Client, reinterpret_cast<TSockAddr *>(&A), sizeof(A));
        if (R != 0) {
            EXPECT_EQ(WS().WSAGetLastError(), WSAEWOULDBLOCK);
        }
        WaitFor(Listener, POLLIN);
        Server = WS().accept(Listener, nullptr, nullptr);
        EXPECT_NE(Server, INVALID_SOCKET);
        WaitFor(Client, POLLOUT);
    }
    ~TPair()
    {
        for (TSocket S : {Client, Server, Listener})
            if (S != INVALID_SOCKET)
                WS().closesocket(S);
    }
    static void WaitFor(TSocket S, short Events)
    {
        pollfd P{static_cast<int>(S), Events, 0};
        ASSERT_EQ(::poll(&P, 1, 5000), 1) << "socket never became ready";
    }
};

} // namespace

TEST(SocketErrors, ErrnoBecomesWinSockNumbering)
{
    const struct { int Errno, Code; } Rows[] = {
        {EWOULDBLOCK, 10035}, {EAGAIN, 10035}, {EINPROGRESS, 10036}, {ENOTCONN, 10057},
        {ECONNREFUSED, 10061}, {ECONNRESET, 10054}, {ETIMEDOUT, 10060}, {ENOPROTOOPT, 10042},
        {EINVAL, 10022}, {EINTR, 10004}, {EBADF, 10009}, {EACCES, 10013}, {EFAULT, 10014},
        {EMFILE, 10024}, {EADDRINUSE, 10048}, {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051},
        {ECONNABORTED, 10053}, {ENOBUFS, 10055}, {EISCONN, 10056}, {EHOSTUNREACH, 10065},
        {ENOTSOCK, 10038}, {EAFNOSUPPORT, 10047}, {EMSGSIZE, 10040}, {EOPNOTSUPP, 10045},
        {EPIPE, 10054}, {0, 0},
    };
    for (const auto &R : Rows)
        EXPECT_EQ(WinSockErrorFromErrno(R.Errno), R.Code) << "errno " << R.Errno;
    // No counterpart: the errno stays itself and keeps its system text.
    EXPECT_EQ(WinSockErrorFromErrno(EIO), EIO);
    EXPECT_EQ(WinSockErrorText(EIO), std::strerror(EIO));
}

TEST(SocketErrors, EveryBsdStyleCodeHasAnErrnoThatMapsBack)
{
    // Codes 10004..10071 follow the BSD errno list; each one Linux knows must
    // survive errno -> code -> errno -> code.
    int Mapped = 0;
    for (int Code = 10004; Code <= 10071; ++Code) {
        const int Errno = ErrnoFromWinSockError(Code);
        if (Errno == 0)
            continue;
        ++Mapped;
        EXPECT_EQ(WinSockErrorFromErrno(Errno), Code) << "code " << Code;
    }
    // All table rows in that range except 10067 (no process limit errno).
    EXPECT_EQ(Mapped, 42);
}

TEST(SocketErrors, ResolverFailuresUseTheHostCodes)
{
    EXPECT_EQ(WinSockErrorFromResolver(EAI_NONAME), 11001);
    EXPECT_EQ(WinSockErrorFromResolver(EAI_AGAIN), 11002);
    EXPECT_EQ(WinSockErrorFromResolver(EAI_FAIL), 11003);
    EXPECT_EQ(WinSockErrorFromResolver(EAI_NODATA), 11004);
    EXPECT_EQ(WinSockErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
    EXPECT_EQ(WinSockErrorFromResolver(EAI_MEMORY), 10055);
}

TEST(SocketErrors, TextsComeFromTheTableOrFromTheSystem)
{
    EXPECT_EQ(WinSockErrorText(10035), "Resource temporarily unavailable");
    EXPECT_EQ(WinSockErrorText(10102), "No more data available");
    EXPECT_EQ(WinSockErrorText(10110), "No more data available");
    EXPECT_EQ(WinSockErrorText(10061), "Connection refused");
    EXPECT_EQ(WinSockErrorText(10093), "Successful WSAStartup not yet performed");
    EXPECT_EQ(WinSockErrorText(11004), "Valid name, no data record of requested type");
    EXPECT_EQ(WinSockErrorText(11011), "Rejected for administrative reasons - bad credentials");
    EXPECT_EQ(WinSockErrorText(11015), "General error");

    // Holes of the table: the system's text, never a neighbouring row's.
    std::vector<std::string> TableTexts;
    for (int C : {10004, 10022, 10035, 10071, 10091, 11001, 11015})
        TableTexts.push_back(WinSockErrorText(C));
    for (int C : {10005, 10072, 10080, 10090, 10100, 11016, -1}) {
        const std::string T = WinSockErrorText(C);
        EXPECT_FALSE(T.empty()) << C;
        for (const std::string &Row : TableTexts)
            EXPECT_NE(T, Row) << C;
        EXPECT_EQ(T, std::strerror(C)) << C;
    }
}

TEST(SocketErrors, EventNamesOnlyForSingleEvents)
{
    EXPECT_EQ(SocketEventName(1), "Fd_Read");
    EXPECT_EQ(SocketEventName(2), "Fd_Write");
    EXPECT_EQ(SocketEventName(4), "Fd_Oob");
    EXPECT_EQ(SocketEventName(8), "Fd_Accept");
    EXPECT_EQ(SocketEventName(16), "Fd_Connect");
    EXPECT_EQ(SocketEventName(32), "Fd_Close");
    EXPECT_EQ(SocketEventName(3), "");
    EXPECT_EQ(SocketEventName(0), "");
    EXPECT_EQ(SocketEventName(64), "");
    EXPECT_EQ(SocketEventName(-1), "");
}

TEST(SocketErrors, ExceptionMessagesByteForByte)
{
    const EIpWinSockError E(10061, SocketEventName(FD_CONNECT));
    EXPECT_EQ(E.ErrorCode(), 10061);
    EXPECT_STREQ(E.what(), "WinSock Error (10061): Connection refused, on API 'Fd_Connect'");
    EXPECT_EQ(EIpWinSockError::FormatReport(10035, sApiRecv),
              "WinSock Error (10035): Resource temporarily unavailable, on API 'Recv'");
    EXPECT_STREQ(EIpWinSockError(11001, sApiConnect).what(),
                 "WinSock Error (11001): Host not found, on API 'Connect'");

    const EIpWinSockError Plain(sIpDestAddrRequired);
    EXPECT_EQ(Plain.ErrorCode(), 0);
    EXPECT_STREQ(Plain.what(), "Destination address required");
    EXPECT_STREQ(EIpWinSockError(sIpAlreadyConnected).what(), "Socket is already connected");
    EXPECT_STREQ(EIpActiveError().what(), "Cannot set property on an active socket");
    EXPECT_STREQ(EIpNoSocketError().what(), "Socket not assigned");
    EXPECT_STREQ(EIpProgrammerError().what(), "Stream not assigned");
    EXPECT_STREQ(EIpAccessException::ForFunction("accept", "Not found").what(),
                 "Win32 error loading 'accept' pointer: Not found");

    // One catch clause takes the whole family.
    auto Caught = [](auto Thrower) {
        try {
            Thrower();
        } catch (const EIpBaseException &) {
            return true;
        } catch (...) {
        }
        return false;
    };
    EXPECT_TRUE(Caught([] { throw EIpWinSockError(10054, "send"); }));
    EXPECT_TRUE(Caught([] { throw EIpActiveError(); }));
    EXPECT_TRUE(Caught([] { throw EIpNoSocketError(); }));
    EXPECT_TRUE(Caught([] { throw EIpProgrammerError(); }));
    EXPECT_TRUE(Caught([] { throw EIpAccessException("x"); }));
}

TEST(SocketAccess, StartupRecordDescribesTheInterface)
{
    const TWSAData &D = WS().WSAData();
    EXPECT_TRUE(WS().Started());
    EXPECT_EQ(D.wVersion, 0x0202);
    EXPECT_EQ(D.wHighVersion, 0x0202);
    EXPECT_GT(std::strlen(D.szDescription), 0u);
    EXPECT_STREQ(D.szSystemStatus, "Running");
    EXPECT_GT(D.iMaxSockets, 0);

    // The access object refuses an interface version below 1.1.
    TWSAData Other;
    EXPECT_EQ(WS().WSAStartup(0x0001, &Other), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WS().WSAStartup(0x0101, &Other), 0);
    EXPECT_EQ(Other.wVersion, 0x0101);
}

TEST(SocketAccess, RefusedConnectOnLoopbackGives10061)
{
    const uint16_t Port = FreeTcpPort();
    const TSocket S = WS().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(S, INVALID_SOCKET);
    sockaddr_in A = Loopback(Port);
    int Code;
    if (WS().connect(S, reinterpret_cast<TSockAddr *>(&A), sizeof(A)) == SOCKET_ERROR &&
        WS().WSAGetLastError() == WSAEWOULDBLOCK) {
        EXPECT_EQ(WS().LastSysError(), EINPROGRESS);
        // Under way: the outcome is the socket's pending error.
        pollfd P{static_cast<int>(S), POLLOUT, 0};
        ASSERT_EQ(::poll(&P, 1, 5000), 1);
        int Err = 0;
        int Len = sizeof(Err);
        ASSERT_EQ(WS().getsockopt(S, SOL_SOCKET, SO_ERROR, &Err, &Len), 0);
        Code = WinSockErrorFromErrno(Err);
    } else
        Code = WS().WSAGetLastError();
    EXPECT_EQ(Code, 10061);
    EXPECT_EQ(WS().closesocket(S), 0);
}

TEST(SocketAccess, RecvAndSendFollowTheWinSockRules)
{
    TPair P;
    ASSERT_NE(P.Server, INVALID_SOCKET);
    char Buf[64];
    // Nothing there yet: would-block, not a failure of the connection.
    EXPECT_EQ(WS().recv(P.Server, Buf, sizeof(Buf), 0), SOCKET_ERROR);
    EXPECT_EQ(WS().WSAGetLastError(), 10035);

    ASSERT_EQ(WS().send(P.Client, "hello", 5, 0), 5);
    TPair::WaitFor(P.Server, POLLIN);
    // A peek leaves the bytes for the next read.
    EXPECT_EQ(WS().recv(P.Server, Buf, 2, MSG_PEEK), 2);
    EXPECT_EQ(WS().recv(P.Server, Buf, sizeof(Buf), 0), 5);
    EXPECT_EQ(std::string(Buf, 5), "hello");

    // Orderly close: 0.
    WS().shutdown(P.Client, SD_SEND);
    TPair::WaitFor(P.Server, POLLIN);
    EXPECT_EQ(WS().recv(P.Server, Buf, sizeof(Buf), 0), 0);

    // Peer gone: sending fails with a code, the process gets no SIGPIPE.
    WS().closesocket(P.Client);
    P.Client = INVALID_SOCKET;
    int Last = 0;
    for (int I = 0; I < 100 && Last != SOCKET_ERROR; ++I)
        Last = WS().send(P.Server, "x", 1, 0);
    EXPECT_EQ(Last, SOCKET_ERROR);
    const int Code = WS().WSAGetLastError();
    EXPECT_EQ(Code, WSAECONNRESET);
}

TEST(SocketAccess, AddressesOptionsAndFailures)
{
    TPair P;
    sockaddr_in Peer{};
    int Len = sizeof(Peer);
    ASSERT_EQ(WS().getpeername(P.Client, reinterpret_cast<TSockAddr *>(&Peer), &Len), 0);
    EXPECT_EQ(WS().ntohs(Peer.sin_port), P.Port);
    EXPECT_STREQ(WS().inet_ntoa(Peer.sin_addr), "127.0.0.1");

    // Accepted sockets are non-blocking like created ones.
    char B;
    EXPECT_EQ(WS().recv(P.Server, &B, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WS().WSAGetLastError(), WSAEWOULDBLOCK);
    // Nothing pending on the listener: accept says would-block.
    EXPECT_EQ(WS().accept(P.Listener, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_EQ(WS().WSAGetLastError(), WSAEWOULDBLOCK);

    const int On = 1;
    EXPECT_EQ(WS().setsockopt(P.Client, SOL_SOCKET, SO_KEEPALIVE, &On, sizeof(On)), 0);
    EXPECT_EQ(WS().setsockopt(P.Client, SOL_SOCKET, 12345, &On, sizeof(On)), SOCKET_ERROR);
    EXPECT_EQ(WS().WSAGetLastError(), WSAENOPROTOOPT);
    EXPECT_EQ(WS().setsockopt(P.Client, SOL_SOCKET, SO_KEEPALIVE, &On, 1), SOCKET_ERROR);
    EXPECT_EQ(WS().WSAGetLastError(), WSAEINVAL);

    // The port is taken by the listener.
    const TSocket S = WS().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in A = Loopback(P.Port);
    EXPECT_EQ(WS().bind(S, reinterpret_cast<TSockAddr *>(&A), sizeof(A)), SOCKET_ERROR);
    EXPECT_EQ(WS().WSAGetLastError(), WSAEADDRINUSE);
    // Not connected.
    EXPECT_EQ(WS().recv(S, &B, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WS().WSAGetLastError(), WSAENOTCONN);
    WS().closesocket(S);

    // No handle at all.
    EXPECT_EQ(WS().closesocket(INVALID_SOCKET), SOCKET_ERROR);
    EXPECT_EQ(WS().WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(WS().send(INVALID_SOCKET, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WS().WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(WS().recv(P.Server, nullptr, 5, 0), SOCKET_ERROR);
    EXPECT_EQ(WS().WSAGetLastError(), WSAEFAULT);
}

TEST(SocketAccess, LookupsStayIPv4)
{
    EXPECT_EQ(WS().inet_addr("10.1.2.3"), htonl(0x0A010203));
    EXPECT_EQ(WS().inet_addr("not.an.address"), INADDR_NONE);
    EXPECT_EQ(WS().inet_addr(nullptr), INADDR_NONE);
    EXPECT_EQ(WS().htons(0x1234), htons(0x1234));
    EXPECT_EQ(WS().ntohs(WS().htons(2121)), 2121);

    // "localhost" comes from the hosts file; no query leaves the machine.
    for (const char *Name : {"localhost", "127.0.0.1"}) {
        const hostent *H = WS().gethostbyname(Name);
        ASSERT_NE(H, nullptr) << Name;
        EXPECT_EQ(H->h_addrtype, AF_INET);
        EXPECT_EQ(H->h_length, 4);
        ASSERT_NE(H->h_addr_list[0], nullptr);
        in_addr A;
        std::memcpy(&A, H->h_addr_list[0], 4);
        EXPECT_STREQ(WS().inet_ntoa(A), "127.0.0.1") << Name;
        EXPECT_EQ(H->h_addr_list[1], nullptr);
    }
    // Text that cannot be a host name fails without asking anyone.
    EXPECT_EQ(WS().gethostbyname(""), nullptr);
    EXPECT_EQ(WS().WSAGetLastError(), WSAHOST_NOT_FOUND);
    EXPECT_EQ(WS().gethostbyname(std::string(300, 'a').c_str()), nullptr);
    EXPECT_EQ(WS().WSAGetLastError(), WSAHOST_NOT_FOUND);
    EXPECT_EQ(WS().gethostbyname(nullptr), nullptr);
    EXPECT_EQ(WS().WSAGetLastError(), WSAEFAULT);
}

TEST(SocketAccess, LastErrorIsPerThread)
{
    WS().WSASetLastError(10061);
    int InOther = -1;
    std::thread T([&] {
        InOther = WS().WSAGetLastError();
        WS().WSASetLastError(10054);
    });
    T.join();
    EXPECT_EQ(InOther, 0);
    EXPECT_EQ(WS().WSAGetLastError(), 10061);
}
