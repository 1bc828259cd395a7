// Smoke tests of the test infrastructure itself: the event-loop runner, the
// temporary-folder and file helpers, the scripted peers driven by plain
// blocking clients, and every real server and proxy the end-to-end suites
// start. If one of these fails, the suites built on it cannot be trusted.

#include "support/BlockingSocket.h"
#include "support/EventLoop.h"
#include "support/RealPeers.h"
#include "support/ScriptedFtpServer.h"
#include "support/ScriptedSocksPeer.h"
#include "support/TestPaths.h"

#include <QObject>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// Logs in with plain blocking calls; returns the reply code of PASS.
int PlainLogin(TBlockingSocket &s, uint16_t port, const std::string &user, const std::string &pw)
{
    if (!s.Connect(port))
        return -1;
    if (ReadFtpReply(s).Code != 220)
        return -2;
    s.SendLine("USER " + user);
    if (ReadFtpReply(s).Code != 331)
        return -3;
    s.SendLine("PASS " + pw);
    return ReadFtpReply(s, 8000).Code;
}

// "227 Entering Passive Mode (127,0,0,1,p1,p2)." -> port, 0 when malformed.
uint16_t PasvPort(const std::string &reply)
{
    unsigned h[6];
    size_t open = reply.find('(');
    if (open == std::string::npos ||
        std::sscanf(reply.c_str() + open + 1, "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5]) != 6)
        return 0;
    return static_cast<uint16_t>(h[4] << 8 | h[5]);
}

// PASV + LIST on a logged-in control connection; returns the raw listing.
std::string PlainList(TBlockingSocket &ctrl, int *finalCode = nullptr)
{
    ctrl.SendLine("PASV");
    TFtpReply pasv = ReadFtpReply(ctrl);
    TBlockingSocket data;
    if (pasv.Code != 227 || !data.Connect(PasvPort(pasv.Text)))
        return "PASV failed: " + pasv.Text;
    ctrl.SendLine("LIST");
    TFtpReply start = ReadFtpReply(ctrl);
    bool closed = false;
    std::string listing = data.ReadUntilClose(5000, &closed);
    TFtpReply done = ReadFtpReply(ctrl);
    if (finalCode)
        *finalCode = (start.Code == 150 || start.Code == 125) && closed ? done.Code : -1;
    return listing;
}

// SOCKS 5 CONNECT to 127.0.0.1:port through a proxy; returns the reply bytes
// (10 for an IPv4 bound address) or what arrived before the failure.
std::string Socks5Connect(TBlockingSocket &s, uint16_t proxyPort, uint16_t port, const std::string &user = {},
                          const std::string &pw = {}, std::string *authReply = nullptr)
{
    if (!s.Connect(proxyPort))
        return "no connect";
    s.SendAll(user.empty() ? Hex("05 01 00") : Hex("05 01 02"));
    auto method = s.ReadExact(2);
    if (!method)
        return "no method reply";
    if (!user.empty()) {
        if (*method != Hex("05 02"))
            return *method;
        std::string auth = Hex("01") + char(user.size()) + user + char(pw.size()) + pw;
        s.SendAll(auth);
        auto ar = s.ReadExact(2);
        if (authReply)
            *authReply = ar.value_or("");
        if (!ar || *ar != Hex("01 00"))
            return ar.value_or("no auth reply");
    } else if (*method != Hex("05 00")) {
        return *method;
    }
    s.SendAll(Hex("05 01 00 01 7f 00 00 01") + PortBytes(port));
    return s.ReadExact(10).value_or("no connect reply");
}

bool ProcessGone(pid_t pid)
{
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t rp = stat.rfind(')');
    return stat.empty() || (rp != std::string::npos && rp + 2 < stat.size() && stat[rp + 2] == 'Z');
}

} // namespace

// ------------------------------------------------------------ event loop

TEST(EventLoopSupport, RunUntilSeesTimersAndStopsAtTheLimit)
{
    bool fired = false;
    QTimer::singleShot(30, [&] { fired = true; });
    EXPECT_TRUE(RunUntil([&] { return fired; }, 2000));

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(RunUntil([] { return false; }, 150));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 140);
    EXPECT_LT(ms, 2000);
}

TEST(EventLoopSupport, RunForDeliversPostedWorkAndDeferredDeletes)
{
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    bool destroyed = false;
    auto *obj = new QObject;
    QObject::connect(obj, &QObject::destroyed, [&] { destroyed = true; });
    obj->deleteLater();
    RunFor(120);
    EXPECT_GE(ticks, 3);
    EXPECT_TRUE(destroyed) << "deleteLater() was not processed by the test loop";
}

// ------------------------------------------------------------ paths, files

TEST(TestPathsSupport, TempDirIsReachableByOtherUsersAndRemovedWithItsContent)
{
    std::string path;
    {
        TTempDir dir;
        path = dir.Path();
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0755u);
        std::string sub = dir.MakeDir("a/b");
        ASSERT_TRUE(WriteFile(sub + "/f.bin", std::string("x\0y", 3)));
        EXPECT_EQ(ReadFile(dir.File("a/b/f.bin")), std::string("x\0y", 3));
        ASSERT_EQ(::stat(dir.File("a").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0755u);
    }
    EXPECT_FALSE(FileExists(path));
}

TEST(TestPathsSupport, RandomFileChecksumMatchesItsContent)
{
    TTempDir dir;
    const uint64_t size = 3 * 1024 * 1024 + 5; // crosses the writer's chunks
    uint64_t sum = MakeRandomFile(dir.File("r.bin"), size, 42);
    EXPECT_EQ(FileSize(dir.File("r.bin")), static_cast<int64_t>(size));
    std::string content = ReadFile(dir.File("r.bin"));
    EXPECT_EQ(sum, Fnv1a64(content));
    EXPECT_EQ(sum, FileChecksum(dir.File("r.bin")));
    EXPECT_EQ(content, RandomBytes(size, 42));
    EXPECT_NE(RandomBytes(64, 42), RandomBytes(64, 43));
    // One flipped byte changes the checksum.
    content[size / 2] ^= 1;
    EXPECT_NE(sum, Fnv1a64(content));
    EXPECT_EQ(FileChecksum(dir.File("missing")), 0u);
    EXPECT_EQ(FileSize(dir.File("missing")), -1);
}

TEST(TestPathsSupport, FreePortsAreBindableAndFdCountFollowsOpenFiles)
{
    uint16_t first = FreeTcpPortRange(4);
    for (int i = 0; i < 4; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(first + i));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << "port " << first + i;
        ::close(fd);
    }
    int before = CountOpenFds();
    int fd = ::open("/dev/null", O_RDONLY);
    EXPECT_EQ(CountOpenFds(), before + 1);
    ::close(fd);
    EXPECT_EQ(CountOpenFds(), before);
}

// ------------------------------------------------------------ scripted FTP server

TEST(ScriptedFtpServerSupport, FollowsALoginScriptAndRecordsEveryLine)
{
    TScriptedFtpServer srv;
    srv.Send("220-first\r\n220 second").Login("bob", "x", "220 again").Reply("QUIT", "221 bye").ExpectClosed();
    TBlockingSocket c;
    ASSERT_TRUE(c.Connect(srv.Port()));
    TFtpReply r = ReadFtpReply(c);
    EXPECT_EQ(r.Code, 220);
    EXPECT_EQ(r.Text, "220-first\n220 second");
    EXPECT_EQ(ReadFtpReply(c).Code, 220);
    c.SendLine("USER bob");
    EXPECT_EQ(ReadFtpReply(c).Text, "331 Password required for bob.");
    c.SendAll("PASS x\r\nQUIT\r\n"); // two commands in one write
    EXPECT_EQ(ReadFtpReply(c).Code, 230);
    EXPECT_EQ(ReadFtpReply(c).Code, 221);
    c.Close();
    ASSERT_TRUE(srv.WaitDone(5000));
    EXPECT_EQ(srv.Received(), (std::vector<std::string>{"USER bob", "PASS x", "QUIT"}));
    EXPECT_TRUE(srv.ClientClosed());
}

TEST(ScriptedFtpServerSupport, AMismatchIsAFailureAndClosesInsteadOfHanging)
{
    TScriptedFtpServer srv;
    srv.Send("220 hi").Expect("USER bob").Send("331 never sent");
    TBlockingSocket c;
    ASSERT_TRUE(c.Connect(srv.Port()));
    EXPECT_EQ(ReadFtpReply(c).Code, 220);
    c.SendLine(std::string("USER b\xff\0b", 9));
    bool closed = false;
    c.ReadUntilClose(3000, &closed);
    EXPECT_TRUE(closed) << "the failed script must close the connection";
    testing::AssertionResult done = srv.WaitDone(3000);
    EXPECT_FALSE(done);
    ASSERT_EQ(srv.Failures().size(), 1u);
    EXPECT_NE(srv.Failures()[0].find("expected \"USER bob\" but received \"USER b\\xff\\x00b\""), std::string::npos)
        << srv.Failures()[0];
}

TEST(ScriptedFtpServerSupport, StepTimeOutsEndAScriptWhoseClientNeverComes)
{
    TScriptedFtpServer srv;
    srv.SetStepTimeout(200).Send("220 hi");
    testing::AssertionResult r = srv.WaitDone(3000);
    EXPECT_FALSE(r);
    ASSERT_EQ(srv.Failures().size(), 1u);
    EXPECT_NE(srv.Failures()[0].find("no control connection within 200 ms"), std::string::npos);

    TScriptedFtpServer slow;
    slow.Send("220 hi").Pause(2000);
    EXPECT_FALSE(slow.WaitDone(100)) << "a running script must not count as done";
}

TEST(ScriptedFtpServerSupport, PassiveDownloadAndUpload)
{
    TScriptedFtpServer srv;
    std::string payload = RandomBytes(300000, 7);
    srv.Login("u", "p")
        .ExpectPasv()
        .Reply("RETR f", "150 go")
        .AcceptData()
        .SendData(payload)
        .CloseData()
        .Send("226 done")
        .ExpectPasv("227 Entering Passive Mode {addr}")
        .Reply("STOR g", "150 go")
        .AcceptData()
        .ReceiveData()
        .Send("226 stored");
    TBlockingSocket c;
    ASSERT_EQ(PlainLogin(c, srv.Port(), "u", "p"), 230);

    c.SendLine("PASV");
    TFtpReply pasv = ReadFtpReply(c);
    EXPECT_EQ(pasv.Text, "227 Entering Passive Mode (127,0,0,1," + std::to_string(srv.DataPort() >> 8) + "," +
                             std::to_string(srv.DataPort() & 0xff) + ").");
    TBlockingSocket d;
    ASSERT_TRUE(d.Connect(PasvPort(pasv.Text)));
    c.SendLine("RETR f");
    EXPECT_EQ(ReadFtpReply(c).Code, 150);
    bool closed = false;
    EXPECT_EQ(d.ReadUntilClose(5000, &closed), payload);
    EXPECT_TRUE(closed);
    EXPECT_EQ(ReadFtpReply(c).Code, 226);

    c.SendLine("PASV");
    pasv = ReadFtpReply(c);
    EXPECT_EQ(pasv.Text.find('('), std::string::npos) << pasv.Text;
    unsigned h[6];
    ASSERT_EQ(std::sscanf(pasv.Text.c_str(), "227 Entering Passive Mode %u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3],
                          &h[4], &h[5]),
              6);
    TBlockingSocket up;
    ASSERT_TRUE(up.Connect(static_cast<uint16_t>(h[4] << 8 | h[5])));
    c.SendLine("STOR g");
    EXPECT_EQ(ReadFtpReply(c).Code, 150);
    ASSERT_TRUE(up.SendAll(payload));
    up.Close();
    EXPECT_EQ(ReadFtpReply(c).Code, 226);
    ASSERT_TRUE(srv.WaitDone(5000));
    ASSERT_EQ(srv.DataReceived().size(), 1u);
    EXPECT_EQ(srv.DataReceived()[0], payload);
}

TEST(ScriptedFtpServerSupport, ActiveModeConnectsToThePortAddress)
{
    TScriptedFtpServer srv;
    srv.Login("u", "p").ExpectPort().Send("200 PORT ok").Reply("LIST", "150 here").ConnectData().SendData("a\r\nb\r\n").CloseData().Send("226 ok");
    TBlockingSocket c;
    ASSERT_EQ(PlainLogin(c, srv.Port(), "u", "p"), 230);

    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ::listen(lfd, 1);
    ::getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len);
    uint16_t port = ntohs(a.sin_port);
    c.SendLine("PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff));
    EXPECT_EQ(ReadFtpReply(c).Code, 200);
    c.SendLine("LIST");
    EXPECT_EQ(ReadFtpReply(c).Code, 150);
    TBlockingSocket d(::accept(lfd, nullptr, nullptr));
    ::close(lfd);
    EXPECT_EQ(d.ReadUntilClose(), "a\r\nb\r\n");
    EXPECT_EQ(ReadFtpReply(c).Code, 226);
    ASSERT_TRUE(srv.WaitDone(5000));
    EXPECT_EQ(srv.DataPort(), port);
}

TEST(ScriptedFtpServerSupport, PortToAnotherHostIsRefusedAndRefusedPassivePortRejectsConnects)
{
    TScriptedFtpServer srv;
    srv.Login("u", "p").RefusePassive().Mark("refusing").ExpectPort();
    TBlockingSocket c;
    ASSERT_EQ(PlainLogin(c, srv.Port(), "u", "p"), 230);
    uint16_t port = PasvPort(ReadFtpReply(c).Text);
    ASSERT_NE(port, 0);
    ASSERT_TRUE(RunUntil([&] { return srv.Reached("refusing"); }, 2000));
    TBlockingSocket d;
    EXPECT_FALSE(d.Connect(port, 1000));
    EXPECT_NE(d.LastError().find("refused"), std::string::npos) << d.LastError();
    c.SendLine("PORT 10,0,0,1,4,1");
    EXPECT_FALSE(srv.WaitDone(3000));
    ASSERT_FALSE(srv.Failures().empty());
    EXPECT_NE(srv.Failures()[0].find("non-loopback"), std::string::npos) << srv.Failures()[0];
}

TEST(ScriptedFtpServerSupport, HostileBytesArriveExactlyAndHoldWaitsForTheTest)
{
    TScriptedFtpServer srv;
    std::string garbage("\0\xff\xfe\r\r\n", 6);
    srv.SendRaw("no number at all\r\n")
        .Send(std::string(100000, 'x'))
        .SendRaw(garbage)
        .Hold()
        .Send("220 released")
        .Reset();
    TBlockingSocket c;
    ASSERT_TRUE(c.Connect(srv.Port()));
    EXPECT_EQ(c.ReadLine(), "no number at all");
    EXPECT_EQ(c.ReadLine(), std::string(100000, 'x'));
    EXPECT_EQ(c.ReadExact(garbage.size()), garbage);
    EXPECT_EQ(c.ReadSome(200), "") << "Hold() must keep the script waiting";
    srv.Release();
    EXPECT_EQ(c.ReadLine(), "220 released");
    bool closed = false;
    c.ReadUntilClose(3000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_NE(c.LastError().find("reset"), std::string::npos) << c.LastError();
    EXPECT_TRUE(srv.WaitDone(3000));
}

TEST(ScriptedFtpServerSupport, AcceptTakesASecondControlConnection)
{
    TScriptedFtpServer srv;
    srv.Send("220 one").Close().Accept().Send("220 two").Expect("NOOP");
    TBlockingSocket c1, c2;
    ASSERT_TRUE(c1.Connect(srv.Port()));
    EXPECT_EQ(ReadFtpReply(c1).Text, "220 one");
    bool closed = false;
    c1.ReadUntilClose(2000, &closed);
    EXPECT_TRUE(closed);
    ASSERT_TRUE(c2.Connect(srv.Port()));
    EXPECT_EQ(ReadFtpReply(c2).Text, "220 two");
    c2.SendLine("NOOP");
    ASSERT_TRUE(srv.WaitDone(3000));
    EXPECT_EQ(srv.Connections(), 2);
    // After the script the peer keeps recording what the client sends.
    c2.SendLine("QUIT");
    EXPECT_TRUE(RunUntil([&] { return srv.Received().size() == 2; }, 2000));
    EXPECT_EQ(srv.Received().back(), "QUIT");
}

// ------------------------------------------------------------ scripted SOCKS peer

TEST(ScriptedSocksPeerSupport, ExactBytesSplitRepliesAndDestinationBytesInOneWrite)
{
    TScriptedSocksPeer proxy;
    proxy.ExpectBytes(Hex("05 01 00"))
        .SendBytesSplit(Hex("05 00"), {1}, 100)
        .ExpectBytes(Hex("05 01 00 01 7f 00 00 01") + PortBytes(2121))
        .SendBytes(Hex("05 00 00 01 7f 00 00 01 08 49") + "220 via proxy\r\n")
        .Expect("USER a");
    TBlockingSocket c;
    ASSERT_TRUE(c.Connect(proxy.Port()));
    c.SendAll(Hex("05 01 00"));
    EXPECT_EQ(c.ReadSome(2000), Hex("05")) << "the method reply must come in two writes";
    EXPECT_EQ(c.ReadExact(1), Hex("00"));
    c.SendAll(Hex("05 01 00 01 7f 00 00 01 08 49"));
    EXPECT_EQ(c.ReadExact(10), Hex("05 00 00 01 7f 00 00 01 08 49"));
    EXPECT_EQ(c.ReadLine(), "220 via proxy");
    c.SendLine("USER a");
    ASSERT_TRUE(proxy.WaitDone(3000));
    EXPECT_EQ(HexDump(proxy.ReceivedBytes()), "05 01 00 05 01 00 01 7f 00 00 01 08 49 55 53 45 52 20 61 0d 0a");
}

TEST(ScriptedSocksPeerSupport, WrongBytesAreReportedInHex)
{
    TScriptedSocksPeer proxy;
    proxy.ExpectBytes(Hex("05 01 00"));
    TBlockingSocket c;
    ASSERT_TRUE(c.Connect(proxy.Port()));
    c.SendAll(Hex("04 01 00"));
    EXPECT_FALSE(proxy.WaitDone(3000));
    ASSERT_EQ(proxy.Failures().size(), 1u);
    EXPECT_NE(proxy.Failures()[0].find("expected [05 01 00] but received [04 01 00]"), std::string::npos)
        << proxy.Failures()[0];
}

// ------------------------------------------------------------ pyftpdlib

TEST(RealPeerPyFtpd, LogsInListsAndQuits)
{
    if (!TPyFtpdServer::Available())
        GTEST_SKIP() << TPyFtpdServer::Missing();
    TPyFtpdServer srv;
    ASSERT_TRUE(WriteFile(srv.Root() + "/small.txt", "hello world\n"));
    ASSERT_TRUE(srv.Start());
    TBlockingSocket c;
    ASSERT_EQ(PlainLogin(c, srv.Port(), srv.Options().User, srv.Options().Password), 230);
    c.SendLine("SYST");
    EXPECT_EQ(ReadFtpReply(c).Text, "215 UNIX Type: L8");
    int code = 0;
    std::string listing = PlainList(c, &code);
    EXPECT_EQ(code, 226);
    EXPECT_NE(listing.find(" small.txt\r\n"), std::string::npos) << listing;
    c.SendLine("QUIT");
    EXPECT_EQ(ReadFtpReply(c).Text, "221 Goodbye.");
    EXPECT_NE(srv.Log().find("USER 'tolvane' logged in."), std::string::npos) << srv.Log();
}

TEST(RealPeerPyFtpd, WindowsStyleAnswersLikeIis)
{
    if (!TPyFtpdServer::Available())
        GTEST_SKIP() << TPyFtpdServer::Missing();
    TPyFtpdServer srv({.User = "w", .Password = "pw", .WindowsStyle = true, .AuthFailedDelayMs = 100});
    ASSERT_TRUE(WriteFile(srv.Root() + "/old file.bin", std::string(2048, 'z')));
    ASSERT_EQ(::mkdir((srv.Root() + "/My Folder").c_str(), 0755), 0);
    ASSERT_TRUE(srv.Start());
    TBlockingSocket bad;
    EXPECT_EQ(PlainLogin(bad, srv.Port(), "w", "wrong"), 530);
    TBlockingSocket c;
    ASSERT_EQ(PlainLogin(c, srv.Port(), "w", "pw"), 230);
    c.SendLine("SYST");
    EXPECT_EQ(ReadFtpReply(c).Text, "215 Windows_NT");
    std::string listing = PlainList(c);
    EXPECT_NE(listing.find("       <DIR>          My Folder\r\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("                 2048 old file.bin\r\n"), std::string::npos) << listing;
}

TEST(RealPeerPyFtpd, RunsAsTheTestAccountSoUploadsBelongToIt)
{
    if (!TPyFtpdServer::Available())
        GTEST_SKIP() << TPyFtpdServer::Missing();
    if (::geteuid() != 0)
        GTEST_SKIP() << "running a server as the test account needs root";
    TPyFtpdServer srv({.RunAsTestAccount = true});
    ASSERT_TRUE(srv.Start());
    TBlockingSocket c;
    ASSERT_EQ(PlainLogin(c, srv.Port(), srv.Options().User, srv.Options().Password), 230);
    c.SendLine("TYPE I"); // ASCII, the default, would turn the CR LF pairs into LF
    EXPECT_EQ(ReadFtpReply(c).Code, 200);
    c.SendLine("PASV");
    TFtpReply pasv = ReadFtpReply(c);
    EXPECT_GE(PasvPort(pasv.Text), srv.PassiveMin());
    EXPECT_LE(PasvPort(pasv.Text), srv.PassiveMax());
    TBlockingSocket d;
    ASSERT_TRUE(d.Connect(PasvPort(pasv.Text)));
    c.SendLine("STOR up.bin");
    TFtpReply start = ReadFtpReply(c);
    EXPECT_TRUE(start.Code == 150 || start.Code == 125) << start.Text;
    std::string payload = RandomBytes(100000, 3);
    ASSERT_TRUE(d.SendAll(payload));
    d.Close();
    EXPECT_EQ(ReadFtpReply(c).Code, 226);
    EXPECT_EQ(FileSize(srv.Root() + "/up.bin"), static_cast<int64_t>(payload.size()));
    EXPECT_EQ(FileChecksum(srv.Root() + "/up.bin"), Fnv1a64(payload));
    struct stat st;
    ASSERT_EQ(::stat((srv.Root() + "/up.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, TTestAccount::Uid());
}

// ------------------------------------------------------------ vsftpd

TEST(RealPeerVsftpd, LogsInTheTestAccountListsAndKeepsAWireLog)
{
    if (!TVsftpdServer::Available())
        GTEST_SKIP() << TVsftpdServer::Missing();
    TVsftpdServer srv;
    ASSERT_TRUE(WriteFile(srv.Root() + "/small.txt", "hello\n"));
    ASSERT_TRUE(srv.GiveToServer(srv.Root() + "/small.txt"));
    ASSERT_TRUE(srv.Start());
    TBlockingSocket c;
    ASSERT_TRUE(c.Connect(srv.Port()));
    EXPECT_EQ(ReadFtpReply(c).Text, "220 (vsFTPd 3.0.3)");
    c.Close();
    ASSERT_EQ(PlainLogin(c, srv.Port(), TVsftpdServer::User(), TVsftpdServer::Password()), 230);
    int code = 0;
    std::string listing = PlainList(c, &code);
    EXPECT_EQ(code, 226);
    EXPECT_NE(listing.find(" small.txt\r\n"), std::string::npos) << listing;
    c.SendLine("SITE CHMOD 600 small.txt");
    EXPECT_EQ(ReadFtpReply(c).Text, "200 SITE CHMOD command ok.");
    c.SendLine("QUIT");
    EXPECT_EQ(ReadFtpReply(c).Text, "221 Goodbye.");
    EXPECT_NE(srv.WireLog().find("\"SITE CHMOD 600 small.txt\""), std::string::npos) << srv.WireLog();
}

TEST(RealPeerVsftpd, StopEndsLoggedInSessionsToo)
{
    if (!TVsftpdServer::Available())
        GTEST_SKIP() << TVsftpdServer::Missing();
    TBlockingSocket c;
    std::vector<pid_t> tree;
    uint16_t port;
    {
        TVsftpdServer srv;
        ASSERT_TRUE(srv.Start());
        port = srv.Port();
        ASSERT_EQ(PlainLogin(c, port, TVsftpdServer::User(), TVsftpdServer::Password()), 230);
        tree = DescendantsOf(srv.Pid());
        tree.push_back(srv.Pid());
        EXPECT_GE(tree.size(), 3u) << "listener and a session's processes";
    }
    bool closed = false;
    c.ReadUntilClose(3000, &closed);
    EXPECT_TRUE(closed) << "the session survived the server";
    for (pid_t p : tree)
        EXPECT_TRUE(ProcessGone(p)) << "pid " << p << " still alive";
    TBlockingSocket again;
    EXPECT_FALSE(again.Connect(port, 500));
}

// ------------------------------------------------------------ proxies

TEST(RealPeerMicrosocks, Socks5WithAndWithoutPasswordReachesTheDestination)
{
    if (!TMicrosocksProxy::Available())
        GTEST_SKIP() << TMicrosocksProxy::Missing();
    TScriptedFtpServer dest;
    dest.Send("220 behind the proxy").Expect("QUIT");
    TMicrosocksProxy open;
    ASSERT_TRUE(open.Start());
    TBlockingSocket c;
    EXPECT_EQ(HexDump(Socks5Connect(c, open.Port(), dest.Port())), "05 00 00 01 00 00 00 00 00 00");
    EXPECT_EQ(ReadFtpReply(c).Text, "220 behind the proxy");
    c.SendLine("QUIT");
    EXPECT_TRUE(dest.WaitDone(3000));

    TMicrosocksProxy locked("alice", "s3cret");
    ASSERT_TRUE(locked.Start());
    TBlockingSocket bad;
    std::string authReply;
    Socks5Connect(bad, locked.Port(), dest.Port(), "alice", "wrong", &authReply);
    EXPECT_EQ(HexDump(authReply), "01 02");
    TScriptedFtpServer dest2;
    dest2.Send("220 authenticated");
    TBlockingSocket good;
    EXPECT_EQ(HexDump(Socks5Connect(good, locked.Port(), dest2.Port(), "alice", "s3cret", &authReply)),
              "05 00 00 01 00 00 00 00 00 00");
    EXPECT_EQ(HexDump(authReply), "01 00");
    EXPECT_EQ(ReadFtpReply(good).Text, "220 authenticated");
}

TEST(RealPeerDante, Socks4AndSocks5ReachTheDestination)
{
    if (!TDanteProxy::Available())
        GTEST_SKIP() << TDanteProxy::Missing();
    TScriptedFtpServer dest;
    dest.Send("220 one").Accept().Send("220 two");
    TDanteProxy proxy;
    ASSERT_TRUE(proxy.Start());

    TBlockingSocket v4;
    ASSERT_TRUE(v4.Connect(proxy.Port()));
    v4.SendAll(Hex("04 01") + PortBytes(dest.Port()) + Hex("7f 00 00 01") + "user" + std::string(1, '\0'));
    // The grant carries the proxy's own outgoing address and port.
    std::string grant = v4.ReadExact(8).value_or("");
    EXPECT_EQ(HexDump(grant.substr(0, 2)), "00 5a");
    EXPECT_EQ(HexDump(grant.substr(4)), "7f 00 00 01");
    EXPECT_EQ(ReadFtpReply(v4).Text, "220 one");

    TBlockingSocket v5;
    EXPECT_EQ(HexDump(Socks5Connect(v5, proxy.Port(), dest.Port())).substr(0, 23), "05 00 00 01 7f 00 00 01");
    EXPECT_EQ(ReadFtpReply(v5).Text, "220 two");
    EXPECT_TRUE(dest.WaitDone(3000));
}

TEST(RealPeerDante, UsernameMethodChecksTheSystemAccount)
{
    if (!TDanteProxy::Available())
        GTEST_SKIP() << TDanteProxy::Missing();
    TScriptedFtpServer dest;
    dest.Send("220 authenticated");
    TDanteProxy proxy({.Username = true, .AllowNone = false});
    ASSERT_TRUE(proxy.Start());
    std::string authReply;
    TBlockingSocket bad;
    Socks5Connect(bad, proxy.Port(), dest.Port(), TTestAccount::Name(), "wrong", &authReply);
    EXPECT_EQ(HexDump(authReply), "01 01");
    TBlockingSocket good;
    EXPECT_EQ(HexDump(Socks5Connect(good, proxy.Port(), dest.Port(), TTestAccount::Name(), TTestAccount::Password(),
                                    &authReply))
                  .substr(0, 5),
              "05 00");
    EXPECT_EQ(ReadFtpReply(good).Text, "220 authenticated");
    // SOCKS 4 carries no password: refused when only username is allowed.
    TBlockingSocket v4;
    ASSERT_TRUE(v4.Connect(proxy.Port()));
    v4.SendAll(Hex("04 01") + PortBytes(dest.Port()) + Hex("7f 00 00 01") + std::string(1, '\0'));
    EXPECT_EQ(HexDump(v4.ReadExact(2).value_or("")), "00 5b");
}
