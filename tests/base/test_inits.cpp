// Settings records: defaults sockets rely on, and copying SOCKS settings.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/IpInits.h"

TEST(SettingsRecords, DataInitsStartWithTheDocumentedDefaults)
{
    TIpDataInits D;
    EXPECT_TRUE(D.SocketOptions().Empty());
    EXPECT_EQ(D.FixedLineLength(), 80u);
    EXPECT_EQ(D.IdleTimeout(), 0u);
    EXPECT_EQ(D.LineTermChar(), '\x0A');
    EXPECT_EQ(D.LineTerminator(), ltCRLF);
    EXPECT_EQ(static_cast<int>(D.LineTerminator()), 3);
    EXPECT_EQ(D.LogOptions().Value(), 5);
    EXPECT_TRUE(D.LogOptions().Contains(loHighData));
    EXPECT_FALSE(D.LogOptions().Contains(loLowData));
    EXPECT_TRUE(D.LogOptions().Contains(loTelnet));
    EXPECT_EQ(D.ReceiveBufferSize(), 4096);
    EXPECT_EQ(D.ReceiveMode(), rmLine);
    EXPECT_EQ(D.SendBufferSize(), 4096);
    EXPECT_FALSE(D.StripLineTerminator());

    TIpBaseInits B;
    EXPECT_TRUE(B.SocketOptions().Empty());
}

TEST(SettingsRecords, OptionSetsUseOneBitPerValue)
{
    TIpSockOptionSet S{soKeepAlive, soTelnet};
    EXPECT_EQ(S.Value(), (1u << 6) | (1u << 10));
    S.Include(soNoDelay).Exclude(soKeepAlive);
    EXPECT_TRUE(S.Contains(soNoDelay));
    EXPECT_FALSE(S.Contains(soKeepAlive));
    EXPECT_TRUE(S.Contains(soTelnet));
    EXPECT_EQ(sizeof(TIpSockOptionSet), 2u);
    EXPECT_EQ(sizeof(TIpLogOptionSet), 1u);
    TIpDataInits D;
    D.SetSocketOptions(S);
    EXPECT_EQ(D.SocketOptions(), S);
}

TEST(SettingsRecords, SocksServerInfoDefaultsAndAssign)
{
    TIpSocksServerInfo Fresh;
    EXPECT_EQ(Fresh.Port(), 1080);
    EXPECT_EQ(Fresh.SocksVersion(), svSocks4);
    EXPECT_EQ(Fresh.Address(), "");
    EXPECT_EQ(Fresh.Password(), "");
    EXPECT_EQ(Fresh.UserCode(), "");

    TIpSocksServerInfo Src;
    Src.SetAddress("127.0.0.1");
    Src.SetPassword("pw\xFF");
    Src.SetPort(1081);
    Src.SetSocksVersion(svSocks5);
    Src.SetUserCode("joe");
    TIpSocksServerInfo Dst;
    Dst.Assign(&Src);
    EXPECT_EQ(Dst.Address(), "127.0.0.1");
    EXPECT_EQ(Dst.Password(), "pw\xFF");
    EXPECT_EQ(Dst.Port(), 1081);
    EXPECT_EQ(Dst.SocksVersion(), svSocks5);
    EXPECT_EQ(Dst.UserCode(), "joe");

    // A copy, not a view: later changes to the source stay out.
    Src.SetAddress("127.0.0.2");
    Src.SetPort(9);
    EXPECT_EQ(Dst.Address(), "127.0.0.1");
    EXPECT_EQ(Dst.Port(), 1081);

    Dst.Assign(&Dst); // self-assignment keeps everything
    EXPECT_EQ(Dst.UserCode(), "joe");

    // While the caller holds the destination's lock it may still assign.
    Dst.Lock();
    Dst.Assign(&Fresh);
    Dst.Unlock();
    EXPECT_EQ(Dst.Port(), 1080);
    EXPECT_EQ(Dst.Address(), "");
}

TEST(SettingsRecords, AssignFromAnotherKindIsRefusedAndChangesNothing)
{
    TIpSocksServerInfo Dst;
    Dst.SetAddress("127.0.0.1");
    TIpDataInits Data;
    EXPECT_THROW(Dst.Assign(&Data), EAssignError);
    EXPECT_THROW(Dst.Assign(nullptr), EAssignError);
    EXPECT_EQ(Dst.Address(), "127.0.0.1");
    EXPECT_EQ(Dst.Port(), 1080);
    try {
        Dst.Assign(&Data);
    } catch (const EAssignError &E) {
        EXPECT_STREQ(E.what(), "Cannot assign a TIpDataInits to a TIpSocksServerInfo");
    }
    // The inits records have no copy operation of their own.
    TIpDataInits Other;
    EXPECT_THROW(Other.Assign(&Data), EAssignError);
    EXPECT_THROW(Data.Assign(&Dst), EAssignError);
    // The lock is released after a refusal: another thread can take it.
    std::atomic<bool> Took{false};
    std::thread T([&] {
        Dst.Lock();
        Took = true;
        Dst.Unlock();
    });
    T.join();
    EXPECT_TRUE(Took);
}
