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
        Names.push_back(Name);
        FPending.push_back(std::move(Done));
    }
    void Answer(int Error, std::vector<std::string> Hosts)
    {
        std::vector<TSockAddrIn> Addrs(Hosts.size());
        for (size_t I = 0; I < Hosts.size(); ++I)
            EXPECT_TRUE(IpParseNumericHost(Hosts[I], Addrs[I]));
        std::lock_guard<std::mutex> G(FLock);
        ASSERT_FALSE(FPending.empty());
        std::thread([&, Done = std::move(FPending.front())] { Done(Error, Addrs); }).join();
        FPending.erase(FPending.begin());
    }
    std::vector<std::string> Names;

private:
    std::mutex FLock;
    std::vector<TDone> FPending;
};

struct FtpResolver : ::testing::Test
{
    void SetUp() override { R.Client.SetResolver(Resolver); }
    std::shared_ptr<TLateResolver> Resolver = std::make_shared<TLateResolver>();
    TRecordedClient R;
    TScriptedPeer Peer;
    std::string At(uint16_t Port) { return "ftp.late.test:" + std::to_string(Port); }
};

} // namespace

TEST_F(FtpResolver, TimersKeepFiringWhileTheLookupWaitsAndItsAnswerIsConnected)
{
    ScriptLogin(Peer);
    int Ticks = 0;
    QTimer Timer;
    QObject::connect(&Timer, &QTimer::timeout, [&] { ++Ticks; });
    Timer.start(10);
    ASSERT_TRUE(R.Client.Login(At(Peer.Port()), "bob", "pw"));
    EXPECT_EQ(Resolver->Names, std::vector<std::string>{"ftp.late.test"});
    ASSERT_EVENTUALLY(Ticks >= 3, 5000);
    EXPECT_TRUE(R.Client.LookupPending() && R.Client.FtpState() == stLogin && !R.Has("connected")) << R.Joined();
    Resolver->Answer(0, {"127.0.0.1"});
    ASSERT_EVENTUALLY(R.Client.LoggedIn(), 5000) << R.Joined();
}

TEST_F(FtpResolver, AClosedConnectionDropsTheLateAnswer)
{
    ASSERT_TRUE(R.Client.Login(At(Peer.Port()), "bob", "pw"));
    R.Client.CloseAllSockets();
    Resolver->Answer(0, {"127.0.0.1"});
    ASSERT_EVENTUALLY(!R.Client.LookupPending(), 5000);
    EXPECT_EQ(R.Client.SocketList()->Count(), 0);
    EXPECT_EQ(Peer.Connections(), 0);
}

TEST_F(FtpResolver, EveryAddressIsTriedInTurnAndTheErrorCountsThem)
{
    // Nobody listens on ::1 at the peer's port: the next address is taken.
    ScriptLogin(Peer);
    ASSERT_TRUE(R.Client.Login(At(Peer.Port()), "bob", "pw"));
    Resolver->Answer(0, {"::1", "127.0.0.1"});
    ASSERT_EVENTUALLY(R.Client.LoggedIn(), 5000) << R.Joined();
    ASSERT_TRUE(Peer.WaitDone());

    TRecordedClient Failing;
    Failing.Client.SetResolver(Resolver);
    ASSERT_TRUE(Failing.Client.Login(At(FreeTcpPort()), "bob", "pw"));
    Resolver->Answer(0, {"::1", "127.0.0.1"});
    ASSERT_EVENTUALLY(Failing.Has("loginerror 10061"), 5000) << Failing.Joined();
    EXPECT_NE(Failing.Errors.back().find("(2 addresses tried)"), std::string::npos) << Failing.Errors.back();

    ASSERT_TRUE(Failing.Client.Login("none.test", "bob", "pw"));
    Resolver->Answer(WSAHOST_NOT_FOUND, {});
    ASSERT_EVENTUALLY(Failing.Has("loginerror 11001"), 5000) << Failing.Joined();
}
