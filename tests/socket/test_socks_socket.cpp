// Data sockets connecting through a scripted SOCKS proxy: the exact bytes
// on the wire, when the owner hears of the connection and with which
// address, refusals, and what happens to bytes around the replies.
#include "SocketTestKit.h"

#include "base/IpDebugLog.h"
#include "socket/IpSocks.h"
#include "socket/IpTls.h"
#include "support/ScriptedSocksPeer.h"
#include "support/TestPaths.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace {

// A recording client that goes through the scripted proxy and remembers
// the connection record of its connect status.
struct TProxied
{
    TRecordingClient Client;
    TScriptedSocksPeer Proxy;
    TIpConnRec ConnectRec;
    TSocket Handle = INVALID_SOCKET;

    TProxied(TIpSocksVersion Version, const std::string &User = {}, const std::string &Password = {})
    {
        Client.SetTimerInterval(50);
        TIpSocksServerInfo *S = Client.SocksServer();
        S->SetAddress("127.0.0.1");
        S->SetPort(Proxy.Port());
        S->SetSocksVersion(Version);
        S->SetUserCode(User);
        S->SetPassword(Password);
        Client.OnStatus = [this](TObject *, TSocket, TIpStatusKind Kind, const TIpConnRec &Conn,
                                 const TIpSockStatRec &) {
            if (Kind == skConnect)
                ConnectRec = Conn;
        };
    }
    void Connect(const std::string &Destination) { Handle = Client.ConnectSocket(Destination); }
    TIpDataSocket *Socket() { return Client.FindDataSocket(Handle, false); }
};

} // namespace

TEST(SocksSocket, Version4ConnectsOnlyWhenGrantedAndReportsTheProxysAddress)
{
    TProxied P(svSocks4);
    P.Proxy.ExpectBytes(Hex("04 01 00 15 7f 00 00 01 00"))
        .Mark("request")
        .Hold()
        .SendBytes(Hex("00 5a 12 34 7f 00 00 02"));
    P.Connect("127.0.0.1:21");
    ASSERT_EVENTUALLY(P.Proxy.Reached("request"), 5000);
    RunFor(100);
    // The TCP connection to the proxy is up, the owner has heard nothing.
    ASSERT_NE(P.Socket(), nullptr);
    EXPECT_TRUE(P.Socket()->Connected());
    EXPECT_EQ(P.Socket()->SocksState(), IpSocksFirstSent);
    EXPECT_EQ(P.Client.Connects, 0);
    // The request is protocol traffic: on the wire, but not payload.
    const TIpSockStatRec Before = P.Socket()->GetStatistics();
    EXPECT_EQ(Before.RawSent(), 9u);
    EXPECT_EQ(Before.Sent(), 0u);

    P.Proxy.Release();
    ASSERT_EVENTUALLY(P.Client.Connects == 1, 5000);
    EXPECT_EQ(P.Socket()->SocksState(), IpSocksGranted);
    EXPECT_EQ(IpAddrV4(P.ConnectRec.RemAddr), inet_addr("127.0.0.2"));
    EXPECT_EQ(P.ConnectRec.RemPort, 0x1234);
    EXPECT_EQ(IpAddrV4(P.ConnectRec.LocAddr), inet_addr("127.0.0.1"));
    EXPECT_TRUE(P.Proxy.WaitDone(5000));
    // The reply is not data.
    EXPECT_EQ(P.Socket()->GetStatistics().Received(), 0u);
}

TEST(SocksSocket, Version4aSendsALongUserCodeWholeAndARefusalIsAnErrorWithTheCode)
{
    const std::string User(300, 'k');
    TProxied P(svSocks4a, User);
    P.Proxy.ExpectBytes(Hex("04 01 08 49 7f 00 00 01") + User + std::string(1, '\0'))
        .SendBytes(Hex("00 5b 00 00 00 00 00 00"))
        .Close();
    P.Connect("127.0.0.1:2121");
    ASSERT_EVENTUALLY(P.Client.Closes == 1, 5000);
    EXPECT_TRUE(P.Proxy.WaitDone(5000));
    ASSERT_EQ(P.Client.Errors.size(), 1u);
    EXPECT_EQ(P.Client.Errors[0].Code, 91);
    EXPECT_EQ(P.Client.Errors[0].Text, "SOCKS request refused - 91");
    EXPECT_EQ(P.Client.Errors[0].Socket, P.Handle);
    EXPECT_EQ(P.Client.Connects, 0);
    EXPECT_TRUE(P.Client.Lines.empty());
}

TEST(SocksSocket, Version5WithoutAuthenticationDeliversBytesAfterTheReplyAfterTheConnect)
{
    TProxied P(svSocks5, "ignored", "ignored");
    P.Proxy.ExpectBytes(Hex("05 02 00 02"))
        .SendBytes(Hex("05 00"))
        .ExpectBytes(Hex("05 01 00 01 7f 00 00 01 00 15"))
        .SendBytes(Hex("05 00 00 01 7f 00 00 01 9c 41") + "220 via proxy\r\n")
        .Expect("USER x");
    P.Connect("127.0.0.1:21");
    ASSERT_EVENTUALLY(P.Client.Lines.size() == 1, 5000);
    std::vector<std::string> Seen;  // connects and lines, in order
    for (const std::string &E : P.Client.Events)
        if (E.rfind("status:", 0) == 0 || E.rfind("line:", 0) == 0)
            Seen.push_back(E);
    ASSERT_EQ(Seen.size(), 2u);
    EXPECT_EQ(Seen[0], "status:connect");
    EXPECT_EQ(Seen[1], "line:220 via proxy\r\n");
    EXPECT_EQ(P.ConnectRec.RemPort, 0x9c41);
    // After the grant the socket is an ordinary connection.
    P.Client.PutString(P.Handle, "USER x\r\n", false);
    EXPECT_TRUE(P.Proxy.WaitDone(5000));
    const TIpSockStatRec S = P.Socket()->GetStatistics();
    EXPECT_EQ(S.Sent(), 8u);
    EXPECT_EQ(S.RawSent(), 4u + 10u + 8u);
    EXPECT_EQ(S.Received(), 15u);
}

TEST(SocksSocket, Version5UserPasswordSuccessAndWrongPassword)
{
    TTempDir Dir;
    {
        TProxied P(svSocks5, "alice", "s3cret");
        P.Client.DataInits()->SetLogOptions(TIpLogOptionSet{loLowData});
        P.Client.DebugLog()->SetFileName(Dir.File("log.txt"));
        P.Client.DebugLog()->SetEnabled(true);
        P.Proxy.ExpectBytes(Hex("05 02 00 02"))
            .SendBytes(Hex("05 02"))
            .ExpectBytes(Hex("01 05") + "alice" + Hex("06") + "s3cret")
            .SendBytes(Hex("01 00"))
            .ExpectBytes(Hex("05 01 00 01 7f 00 00 01 00 15"))
            .SendBytes(Hex("05 00 00 01 00 00 00 00 00 00"));
        P.Connect("127.0.0.1:21");
        ASSERT_EVENTUALLY(P.Client.Connects == 1, 5000);
        EXPECT_TRUE(P.Proxy.WaitDone(5000));
        EXPECT_TRUE(P.Client.Errors.empty());
    }
    // The credentials' request stays out of the traffic entries of the log.
    const std::string Log = ReadFile(Dir.File("log.txt"));
    EXPECT_NE(Log.find("Send API: 4 bytes"), std::string::npos) << Log;
    EXPECT_EQ(Log.find("s3cret"), std::string::npos) << Log;
    {
        TProxied P(svSocks5, "alice", "wrong");
        P.Proxy.ExpectBytes(Hex("05 02 00 02"))
            .SendBytes(Hex("05 02"))
            .ExpectBytes(Hex("01 05") + "alice" + Hex("05") + "wrong")
            .SendBytes(Hex("01 02"))
            .Hold()
            .Close();
        P.Connect("127.0.0.1:21");
        ASSERT_EVENTUALLY(P.Client.Errors.size() == 1, 5000);
        EXPECT_EQ(P.Client.Errors[0].Code, 2);
        EXPECT_EQ(P.Client.Errors[0].Text, "SOCKS request refused - 2");
        ASSERT_NE(P.Socket(), nullptr);
        EXPECT_EQ(P.Socket()->SocksState(), IpSocksAuthSent);
        // The proxy's close then ends the connection that never was.
        P.Proxy.Release();
        ASSERT_EVENTUALLY(P.Client.Closes == 1, 5000);
        EXPECT_EQ(P.Client.Connects, 0);
        EXPECT_EQ(P.Client.Errors.size(), 1u);
    }
}

TEST(SocksSocket, Version5MethodRefusedAndConnectRefused)
{
    {
        TProxied P(svSocks5);
        P.Proxy.ExpectBytes(Hex("05 02 00 02")).SendBytes(Hex("05 ff")).Close();
        P.Connect("127.0.0.1:21");
        ASSERT_EVENTUALLY(P.Client.Closes == 1, 5000);
        ASSERT_EQ(P.Client.Errors.size(), 1u);
        EXPECT_EQ(P.Client.Errors[0].Code, 255);
        EXPECT_EQ(P.Client.Errors[0].Text, "SOCKS request refused - 255");
        EXPECT_EQ(P.Client.Connects, 0);
    }
    {
        TProxied P(svSocks5);
        P.Proxy.ExpectBytes(Hex("05 02 00 02"))
            .SendBytes(Hex("05 00"))
            .ReceiveBytes(10)
            .SendBytes(Hex("05 05 00 01 00 00 00 00 00 00"))
            .Close();
        P.Connect("127.0.0.1:21");
        ASSERT_EVENTUALLY(P.Client.Closes == 1, 5000);
        ASSERT_EQ(P.Client.Errors.size(), 1u);
        EXPECT_EQ(P.Client.Errors[0].Code, 5);
        EXPECT_EQ(P.Client.Connects, 0);
        EXPECT_TRUE(P.Client.Lines.empty());
    }
}

TEST(SocksSocket, Version5ConnectReplySplitAcrossReadsIsNotRecognised)
{
    TProxied P(svSocks5);
    P.Proxy.ExpectBytes(Hex("05 02 00 02"))
        .SendBytes(Hex("05 00"))
        .ReceiveBytes(10)
        .SendBytesSplit(Hex("05 00 00 01 7f 00 00 01 00 15"), {4}, 200)
        .Mark("sent")
        .Hold()
        .Close();
    P.Connect("127.0.0.1:21");
    ASSERT_EVENTUALLY(P.Proxy.Reached("sent"), 5000);
    RunFor(200);
    EXPECT_EQ(P.Client.Connects, 0);
    EXPECT_EQ(P.Socket()->SocksState(), IpSocksConnectSent);
    // Not a reply, so they are data of the connection.
    EXPECT_EQ(P.Socket()->GetStatistics().Received(), 10u);
    P.Proxy.Release();
    ASSERT_EVENTUALLY(P.Client.Closes == 1, 5000);
    EXPECT_EQ(P.Client.Connects, 0);
}

TEST(SocksSocket, ClosingFromTheConnectEventDropsTheBytesThatCameWithTheReply)
{
    TProxied P(svSocks5);
    P.Proxy.ExpectBytes(Hex("05 02 00 02"))
        .SendBytes(Hex("05 00"))
        .ReceiveBytes(10)
        .SendBytes(Hex("05 00 00 01 7f 00 00 01 00 15") + "220 hello\r\n");
    P.Client.StatusHook = [&P](TSocket H, TIpStatusKind Kind) {
        if (Kind == skConnect)
            P.Client.FindSocket(H, true)->Close();
    };
    P.Connect("127.0.0.1:21");
    ASSERT_EVENTUALLY(P.Client.Closes == 1, 5000);
    RunFor(200);
    EXPECT_EQ(P.Client.Connects, 1);
    EXPECT_TRUE(P.Client.Lines.empty());
}

TEST(SocksSocket, OnATelnetSocketRequestsGoOutUnescapedAndRepliesAreReadBeforeTheTelnetFilter)
{
    TProxied P(svSocks4);
    P.Client.DataInits()->SetSocketOptions(TIpSockOptionSet{soTelnet});
    // Port 255 puts an 0xFF into the request and into the grant.
    P.Proxy.ExpectBytes(Hex("04 01 00 ff 7f 00 00 01 00"))
        .SendBytes(Hex("00 5a 00 ff 7f 00 00 01") + "A" + Hex("ff ff") + "B\r\n");
    P.Connect("127.0.0.1:255");
    ASSERT_EVENTUALLY(P.Client.Lines.size() == 1, 5000);
    EXPECT_TRUE(P.Proxy.WaitDone(5000));
    EXPECT_EQ(P.Client.Connects, 1);
    EXPECT_EQ(P.ConnectRec.RemPort, 255);
    EXPECT_EQ(P.Client.Lines[0], "A\xff" "B\r\n");
}

TEST(SocksSocket, ATlsHandshakeReleasedBeforeTheGrantStartsOnlyWithTheServer)
{
    // A transfer's handshake is held until the server's 150, which may come
    // before the proxy has granted the data connection: nothing of the
    // handshake may reach the proxy, nor the grant the TLS engine.
    TProxied P(svSocks5);
    P.Proxy.ExpectBytes(Hex("05 02 00 02"))
        .SendBytes(Hex("05 00"))
        .ExpectBytes(Hex("05 01 00 01 7f 00 00 01") + PortBytes(21))
        .Mark("request")
        .Hold()
        .SendBytes(Hex("05 00 00 01 7f 00 00 01 00 15"))
        .ExpectBytes(Hex("16 03"))
        .Mark("hello");
    P.Connect("127.0.0.1:21");
    ASSERT_EVENTUALLY(P.Proxy.Reached("request"), 5000) << HexDump(P.Proxy.ReceivedBytes());
    ASSERT_NE(P.Socket(), nullptr);
    P.Socket()->StartTls(std::make_unique<TIpTls>(std::make_shared<TIpTlsContext>(std::string(), false), "localhost",
                                                  nullptr),
                         true);
    P.Socket()->ReleaseTls();
    RunFor(200);
    EXPECT_EQ(P.Proxy.ReceivedBytes().size(), 4u + 10u) << HexDump(P.Proxy.ReceivedBytes());

    P.Proxy.Release();
    ASSERT_EVENTUALLY(P.Proxy.Reached("hello"), 5000) << HexDump(P.Proxy.ReceivedBytes());
    RunFor(100);
    EXPECT_TRUE(P.Client.Errors.empty());
}
