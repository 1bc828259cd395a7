// Names looked up off the event loop: timers run while the lookup waits, a
// closed connection drops its late result, and every address is tried.

#include "test_ftp_fixture.h"

#include "socket/IpResolver.h"

#include <QTimer>

#include <mutex>
#include <thread>

namespace {

// Answers only when the test says so, from a thread of its own.
class TLateResolver : public TIpResolver
{
public:
    void Lookup(const std::string &Name, TDone Done) override
    {
        std::lock_guard<std::mutex> G(FLock);
        FNames.push_back(Name);
        FPending.push_back(std::move(Done));
    }
    std::vector<std::string> Names()
    {
        std::lock_guard<std::mutex> G(FLock);
        return FNames;
    }
    void Answer(int Error, std::vector<TSockAddrIn> Addrs)
    {
        TDone Done;
        {
            std::lock_guard<std::mutex> G(FLock);
            ASSERT_FALSE(FPending.empty());
            Done = std::move(FPending.front());
            FPending.erase(FPending.begin());
        }
        std::thread([&] { Done(Error, Addrs); }).join();
    }

private:
    std::mutex FLock;
    std::vector<std::string> FNames;
    std::vector<TDone> FPending;
};

TSockAddrIn Address(const char *Text)
{
    TSockAddrIn A{};
    EXPECT_TRUE(IpParseNumericHost(Text, A));
    return A;
}

struct FtpResolver : ::testing::Test
{
    void SetUp() override { R.Client.SetResolver(Resolver); }
    std::shared_ptr<TLateResolver> Resolver = std::make_shared<TLateResolver>();
    TRecordedClient R;
};

} // namespace

TEST_F(FtpResolver, TimersKeepFiringWhileTheLookupWaitsAndItsAnswerIsConnected)
{
    TScriptedPeer Peer;
    ScriptLogin(Peer);
    int Ticks = 0;
    QTimer Timer;
    QObject::connect(&Timer, &QTimer::timeout, [&] { ++Ticks; });
    Timer.start(10);
    ASSERT_TRUE(R.Client.Login("ftp.late.test:" + std::to_string(Peer.Port()), "bob", "pw"));
    EXPECT_EQ(Resolver->Names(), std::vector<std::string>{"ftp.late.test"});
    ASSERT_EVENTUALLY(Ticks >= 3, 5000);
    EXPECT_TRUE(R.Client.LookupPending());
    EXPECT_EQ(R.Client.FtpState(), stLogin);
    EXPECT_FALSE(R.Has("connected"));
    Resolver->Answer(0, {Address("127.0.0.1")});
    ASSERT_EVENTUALLY(R.Client.LoggedIn(), 5000) << R.Joined();
    EXPECT_EQ(IpEndpointText(R.Client.FindSocket(R.Client.ControlSocket(), true)->RemoteAddr()),
              "127.0.0.1:" + std::to_string(Peer.Port()));
}

TEST_F(FtpResolver, AClosedConnectionDropsTheLateAnswer)
{
    TScriptedPeer Peer;
    ASSERT_TRUE(R.Client.Login("ftp.late.test:" + std::to_string(Peer.Port()), "bob", "pw"));
    ASSERT_TRUE(R.Client.LookupPending());
    R.Client.CloseAllSockets();
    Resolver->Answer(0, {Address("127.0.0.1")});
    ASSERT_EVENTUALLY(!R.Client.LookupPending(), 5000);
    EXPECT_EQ(R.Client.SocketList()->Count(), 0);
    EXPECT_FALSE(R.Has("connected"));
    EXPECT_EQ(Peer.Connections(), 0);
}

TEST_F(FtpResolver, EveryAddressIsTriedInTurnAndTheErrorCountsThem)
{
    // Nobody listens on ::1 at the peer's port: the next address is taken.
    TScriptedPeer Peer;
    ScriptLogin(Peer);
    ASSERT_TRUE(R.Client.Login("two.test:" + std::to_string(Peer.Port()), "bob", "pw"));
    Resolver->Answer(0, {Address("::1"), Address("127.0.0.1")});
    ASSERT_EVENTUALLY(R.Client.LoggedIn(), 5000) << R.Joined();
    EXPECT_FALSE(R.Has("loginerror 10061"));
    ASSERT_TRUE(Peer.WaitDone());

    TRecordedClient Failing;
    Failing.Client.SetResolver(Resolver);
    ASSERT_TRUE(Failing.Client.Login("two.test:" + std::to_string(FreeTcpPort()), "bob", "pw"));
    Resolver->Answer(0, {Address("::1"), Address("127.0.0.1")});
    ASSERT_EVENTUALLY(Failing.Has("loginerror 10061"), 5000) << Failing.Joined();
    EXPECT_NE(Failing.Errors.back().find("(2 addresses tried)"), std::string::npos) << Failing.Errors.back();
    EXPECT_EQ(Failing.Client.FtpState(), stClosed);
}

TEST_F(FtpResolver, ANameThatDoesNotResolveIsALoginError)
{
    ASSERT_TRUE(R.Client.Login("none.test", "bob", "pw"));
    Resolver->Answer(WSAHOST_NOT_FOUND, {});
    ASSERT_EVENTUALLY(R.Has("loginerror 11001"), 5000) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stClosed);
}
