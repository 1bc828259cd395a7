// The SOCKS negotiation on its own: the exact request bytes of each version
// and the reading of the proxy's replies, state by state. The replies used
// are the ones real proxies (dante, microsocks) were seen to send.
#include "socket/IpSocks.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <string>

namespace {

std::string Bytes(std::initializer_list<int> Values)
{
    std::string S;
    for (int V : Values)
        S.push_back(char(uint8_t(V)));
    return S;
}

std::string Hex(const std::string &S)
{
    static const char Digits[] = "0123456789abcdef";
    std::string Out;
    for (unsigned char C : S) {
        if (!Out.empty())
            Out.push_back(' ');
        Out.push_back(Digits[C >> 4]);
        Out.push_back(Digits[C & 15]);
    }
    return Out;
}

TSockAddrIn Dest(const char *Addr, uint16_t Port)
{
    TSockAddrIn A{};
    EXPECT_TRUE(IpParseNumericHost(Addr, A));
    IpSetAddrPort(A, Port);
    return A;
}

std::unique_ptr<TIpSocksServerInfo> NewProxy(TIpSocksVersion Version, const std::string &User = {},
                                             const std::string &Password = {})
{
    auto I = std::make_unique<TIpSocksServerInfo>();
    I->SetAddress("127.0.0.1");
    I->SetSocksVersion(Version);
    I->SetUserCode(User);
    I->SetPassword(Password);
    return I;
}


TIpSocksStep Reply(uint8_t &State, const TIpSocksServerInfo &Info, const TSockAddrIn &D, const std::string &Read)
{
    return IpSocksReply(State, Info, D, reinterpret_cast<const uint8_t *>(Read.data()), int32_t(Read.size()));
}

} // namespace

TEST(SocksRequests, Version4And4aSendTheSameConnectRequestWithTheUserCodeNulTerminated)
{
    const TSockAddrIn D = Dest("127.0.0.1", 21);
    const std::string Empty = IpSocksFirstRequest(*NewProxy(svSocks4), D);
    EXPECT_EQ(Hex(Empty), "04 01 00 15 7f 00 00 01 00");
    EXPECT_EQ(IpSocksFirstRequest(*NewProxy(svSocks4a), D), Empty);

    const TSockAddrIn D2 = Dest("10.1.2.3", 0xABCD);
    EXPECT_EQ(Hex(IpSocksFirstRequest(*NewProxy(svSocks4a, "bob"), D2)), "04 01 ab cd 0a 01 02 03 62 6f 62 00");

    // Version 4 has no length byte, so a long user code goes out whole.
    const std::string Long(300, 'u');
    const std::string R = IpSocksFirstRequest(*NewProxy(svSocks4, Long), D);
    ASSERT_EQ(R.size(), 9u + 300u);
    EXPECT_EQ(R.substr(8, 300), Long);
    EXPECT_EQ(R.back(), '\0');
}

TEST(SocksRequests, Version5OffersNoAuthenticationAndUserPasswordAndConnectsByIpv4)
{
    const TSockAddrIn D = Dest("192.168.7.9", 2121);
    EXPECT_EQ(Hex(IpSocksFirstRequest(*NewProxy(svSocks5, "u", "p"), D)), "05 02 00 02");
    EXPECT_EQ(Hex(IpSocks5ConnectRequestTo(D)), "05 01 00 01 c0 a8 07 09 08 49");
    EXPECT_EQ(Hex(IpSocks5ConnectRequestTo(Dest("2001:db8::1", 21))),
              "05 01 00 04 20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 01 00 15")
        << "an IPv6 destination goes as one";
}

TEST(SocksRequests, UserPasswordRequestCapsEachFieldAt255Bytes)
{
    EXPECT_EQ(Hex(IpSocks5AuthRequest("ab", "xyz")), "01 02 61 62 03 78 79 7a");
    EXPECT_EQ(Hex(IpSocks5AuthRequest("", "")), "01 00 00");

    std::string User(300, 'a');
    User[254] = 'Z';  // the last byte kept
    User[255] = 'Y';  // the first byte dropped
    const std::string Password(255, 'p');
    const std::string R = IpSocks5AuthRequest(User, Password);
    ASSERT_EQ(R.size(), 255u + 255u + 3u);
    EXPECT_EQ(uint8_t(R[1]), 255);
    EXPECT_EQ(R.substr(2, 255), User.substr(0, 255));
    EXPECT_EQ(uint8_t(R[257]), 255);
    EXPECT_EQ(R.substr(258), Password);

    const std::string LongPassword = std::string(256, 'q') + "tail";
    const std::string R2 = IpSocks5AuthRequest("u", LongPassword);
    ASSERT_EQ(R2.size(), 3u + 1u + 255u);
    EXPECT_EQ(uint8_t(R2[3]), 255);
    EXPECT_EQ(R2.find("tail"), std::string::npos);
}

TEST(SocksReplies, Version4GrantTakesTheProxysAddressAndLeavesFollowingBytesAsData)
{
    const auto InfoPtr = NewProxy(svSocks4);
    const TIpSocksServerInfo &Info = *InfoPtr;
    const TSockAddrIn D = Dest("127.0.0.1", 21);
    uint8_t State = IpSocksFirstSent;

    // Seven bytes are not a reply yet.
    TIpSocksStep S = Reply(State, Info, D, Bytes({0, 0x5a, 0x9c, 0x41, 127, 0, 0}));
    EXPECT_EQ(S.Action, saShort);
    EXPECT_EQ(S.Consumed, 0);
    EXPECT_EQ(State, IpSocksFirstSent);

    S = Reply(State, Info, D, Bytes({0, 0x5a, 0x9c, 0x41, 127, 0, 0, 2}) + "220 hi\r\n");
    EXPECT_EQ(S.Action, saGranted);
    EXPECT_EQ(S.Consumed, 8);
    EXPECT_EQ(State, IpSocksGranted);
    EXPECT_EQ(S.Addr, inet_addr("127.0.0.2"));
    EXPECT_EQ(ntohs(S.Port), 0x9c41);
}

TEST(SocksRequests, ANameForTheProxyToLookUpGoesAsANameIn4aAnd5)
{
    const TSockAddrIn Port21 = IpAddrAny(AF_INET, 21);
    EXPECT_EQ(Hex(IpSocksFirstRequest(*NewProxy(svSocks4a, "u"), Port21, "ftp.lan")),
              "04 01 00 15 00 00 00 01 75 00 66 74 70 2e 6c 61 6e 00");
    const auto Five = NewProxy(svSocks5);
    uint8_t State = IpSocksFirstSent;
    const TIpSocksStep S =
        IpSocksReply(State, *Five, Port21, reinterpret_cast<const uint8_t *>("\x05\x00"), 2, "ftp.lan");
    ASSERT_EQ(S.Action, saSend);
    EXPECT_EQ(Hex(S.Request), "05 01 00 03 07 66 74 70 2e 6c 61 6e 00 15");
    // Who is given names: 4A always, 5 when asked to, 4 never.
    EXPECT_TRUE(NewProxy(svSocks4a)->SendsNames());
    EXPECT_FALSE(NewProxy(svSocks4)->SendsNames());
    EXPECT_FALSE(Five->SendsNames());
    Five->SetRemoteLookup(true);
    EXPECT_TRUE(Five->SendsNames());
    TIpSocksServerInfo Copy;
    Copy.Assign(Five.get());
    EXPECT_TRUE(Copy.SendsNames());
}

TEST(SocksReplies, Version5WithoutAuthenticationGoesFromMethodToConnectToGranted)
{
    const auto InfoPtr = NewProxy(svSocks5);
    const TIpSocksServerInfo &Info = *InfoPtr;
    const TSockAddrIn D = Dest("127.0.0.1", 2121);
    uint8_t State = IpSocksFirstSent;

    TIpSocksStep S = Reply(State, Info, D, Bytes({5}));
    EXPECT_EQ(S.Action, saShort);
    EXPECT_EQ(State, IpSocksFirstSent);

    S = Reply(State, Info, D, Bytes({5, 0}));
    ASSERT_EQ(S.Action, saSend);
    EXPECT_EQ(S.Consumed, 2);
    EXPECT_EQ(State, IpSocksConnectSent);
    EXPECT_EQ(Hex(S.Request), "05 01 00 01 7f 00 00 01 08 49");

    // microsocks answers with an all-zero bound address.
    S = Reply(State, Info, D, Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(S.Action, saGranted);
    EXPECT_EQ(S.Consumed, 10);
    EXPECT_EQ(State, IpSocksGranted);
    EXPECT_EQ(S.Addr, 0u);
    EXPECT_EQ(S.Port, 0);

    // Once granted, nothing more is read as a reply.
    S = Reply(State, Info, D, Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(S.Action, saShort);
    EXPECT_EQ(S.Consumed, 0);
}

TEST(SocksReplies, Version5MethodRefusedAndUnknownMethodIgnored)
{
    const auto InfoPtr = NewProxy(svSocks5);
    const TIpSocksServerInfo &Info = *InfoPtr;
    const TSockAddrIn D = Dest("127.0.0.1", 21);

    uint8_t State = IpSocksFirstSent;
    TIpSocksStep S = Reply(State, Info, D, Bytes({5, 255}));
    EXPECT_EQ(S.Action, saRefused);
    EXPECT_EQ(S.Code, 255);
    EXPECT_EQ(State, IpSocksFirstSent);
    EXPECT_EQ(IpSocksRefusedText(S.Code), "SOCKS request refused - 255");

    // A method that was not offered: consumed, nothing else happens.
    S = Reply(State, Info, D, Bytes({5, 1}) + "x");
    EXPECT_EQ(S.Action, saIgnored);
    EXPECT_EQ(S.Consumed, 2);
    EXPECT_EQ(State, IpSocksFirstSent);
}

TEST(SocksReplies, Version5ConnectReplyWithIpv6OrNamedBoundAddressIsConsumedWhole)
{
    const auto InfoPtr = NewProxy(svSocks5);
    const TIpSocksServerInfo &Info = *InfoPtr;
    const TSockAddrIn D = Dest("127.0.0.1", 21);

    std::string V6 = Bytes({5, 0, 0, 4});
    V6.append(16, '\x01');
    V6 += Bytes({0x12, 0x34});
    uint8_t State = IpSocksConnectSent;
    // A part of it is not the reply yet, even though it is longer than 10 bytes.
    TIpSocksStep S = Reply(State, Info, D, V6.substr(0, 15));
    EXPECT_EQ(S.Action, saShort);
    EXPECT_EQ(State, IpSocksConnectSent);
    S = Reply(State, Info, D, V6 + "220 x\r\n");
    EXPECT_EQ(S.Action, saGranted);
    EXPECT_EQ(S.Consumed, 22);
    // No IPv4 bound address: the destination is kept.
    EXPECT_TRUE(S.KeepDest);

    const std::string Named = Bytes({5, 0, 0, 3, 4}) + "host" + Bytes({0, 21});
    State = IpSocksConnectSent;
    S = Reply(State, Info, D, Named + "data");
    EXPECT_EQ(S.Action, saGranted);
    EXPECT_EQ(S.Consumed, int32_t(Named.size()));
}

TEST(SocksReplies, NothingIsReadBeforeTheProxyIsReachedOrWithoutAProxy)
{
    const TSockAddrIn D = Dest("127.0.0.1", 21);
    for (uint8_t Start : {IpSocksNone, IpSocksGranted}) {
        uint8_t State = Start;
        const TIpSocksStep S = Reply(State, *NewProxy(svSocks4), D, Bytes({0, 0x5a, 0, 21, 127, 0, 0, 1}));
        EXPECT_EQ(S.Action, saShort);
        EXPECT_EQ(State, Start);
    }
    uint8_t State = IpSocksConfigured;
    EXPECT_EQ(Reply(State, *NewProxy(svSocks5), D, Bytes({5, 0})).Action, saShort);
    EXPECT_EQ(State, IpSocksConfigured);
}
