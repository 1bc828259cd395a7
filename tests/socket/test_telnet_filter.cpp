// The telnet receive filter and option negotiation on their own: a small
// stand-in for the data socket holds the pending bytes and option sets,
// answers through the same functions the socket uses and records what it
// would send.
#include "socket/IpTelnet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr char IAC = char(0xFF);
constexpr char DONT = char(0xFE);
constexpr char DO = char(0xFD);
constexpr char WONT = char(0xFC);
constexpr char WILL = char(0xFB);
constexpr char SB = char(0xFA);
constexpr char SE = char(0xF0);

std::string B(std::initializer_list<char> Chars)
{
    return std::string(Chars);
}

struct TTelnetSide
{
    TIpTelnetOptionSet LocalWilling, LocalEnabled, RemoteWilling, RemoteEnabled;
    std::string Pending;
    std::string Sent;  // replies, concatenated
    std::vector<std::string> Subs;
    bool TelnetOn = true;
    bool WindowSizeRequested = false;

    TTelnetSide() { IpTelnetSetDefaults(Sets()); }
    TIpTelnetSets Sets() { return {LocalWilling, LocalEnabled, RemoteWilling, RemoteEnabled}; }

    // One read: the bytes arrive in a buffer of exactly their size, so the
    // sanitizer build catches any write past them.
    std::string Read(const std::string &In)
    {
        std::unique_ptr<uint8_t[]> Buf(new uint8_t[std::max<size_t>(In.size(), 1)]);
        std::memcpy(Buf.get(), In.data(), In.size());
        const int32_t N = IpTelnetFilter(
            Pending, Buf.get(), int32_t(In.size()),
            [this](uint8_t Cmd, uint8_t Opt) {
                const TIpTelnetAnswer A = IpTelnetAnswerOption(Sets(), Cmd, Opt);
                if (A.SendWindowSize)
                    WindowSizeRequested = true;
                if (A.Reply)
                    Sent += IpTelnetCommand(A.ReplyCommand, Opt);
                return A.Handled;
            },
            [this](const std::string &Text) {
                Subs.push_back(Text);
                Sent += IpTelnetSubReply(Sets(), Text, TelnetOn, IpTelnetDefaultTerminal);
            });
        EXPECT_GE(N, 0);
        EXPECT_LE(size_t(N), In.size());
        return std::string(reinterpret_cast<const char *>(Buf.get()), size_t(std::max(N, 0)));
    }
    std::string TakeSent()
    {
        std::string S;
        S.swap(Sent);
        return S;
    }
};

} // namespace

TEST(TelnetFilter, DataWithoutIacPassesUntouchedIncludingCrNulAndCrLf)
{
    TTelnetSide T;
    const std::string In = std::string("line\r\nnext\r\0x\rY", 15);
    EXPECT_EQ(T.Read(In), In);
    EXPECT_EQ(T.Read(""), "");
    EXPECT_TRUE(T.Pending.empty());
    EXPECT_TRUE(T.Sent.empty());
}

TEST(TelnetFilter, DoubledIacBecomesOneByteAndCrIsKeptOnTheSlowPathToo)
{
    TTelnetSide T;
    EXPECT_EQ(T.Read(B({'A', IAC, IAC, 'B'})), B({'A', IAC, 'B'}));
    // The same CR sequences as above, now on a read that needs the command walk.
    const std::string Text = std::string("a\r\nb\r\0c\rd", 10);
    EXPECT_EQ(T.Read(Text + B({IAC, IAC}) + Text), Text + B({IAC}) + Text);
    // A doubled IAC split across two reads.
    EXPECT_EQ(T.Read(B({'x', IAC})), "x");
    EXPECT_EQ(T.Read(B({IAC, 'y'})), B({IAC, 'y'}));
    EXPECT_TRUE(T.Pending.empty());
}

TEST(TelnetOptions, DoOfAWillingOptionIsAcceptedOnceAndDoOfAnUnwillingOneRefused)
{
    TTelnetSide T;
    EXPECT_EQ(T.Read(B({'a', IAC, DO, 3, 'b'})), "ab");
    EXPECT_EQ(T.TakeSent(), B({IAC, WILL, 3}));
    EXPECT_TRUE(T.LocalEnabled.test(3));
    T.Read(B({IAC, DO, 3}));
    EXPECT_EQ(T.TakeSent(), "");

    T.Read(B({IAC, DO, 1}));
    EXPECT_EQ(T.TakeSent(), B({IAC, WONT, 1}));
    EXPECT_FALSE(T.LocalEnabled.test(1));

    // DONT turns an enabled option off with WONT; a second DONT is silent.
    T.Read(B({IAC, DONT, 3}));
    EXPECT_EQ(T.TakeSent(), B({IAC, WONT, 3}));
    T.Read(B({IAC, DONT, 3}));
    EXPECT_EQ(T.TakeSent(), "");
}

TEST(TelnetOptions, WillOfAWillingOptionThenWontAndWillOfAnUnwillingOne)
{
    TTelnetSide T;
    T.Read(B({IAC, WILL, 1}));
    EXPECT_EQ(T.TakeSent(), B({IAC, DO, 1}));
    T.Read(B({IAC, WILL, 1}));
    EXPECT_EQ(T.TakeSent(), "");
    T.Read(B({IAC, WONT, 1}));
    EXPECT_EQ(T.TakeSent(), B({IAC, DONT, 1}));
    EXPECT_FALSE(T.RemoteEnabled.test(1));
    T.Read(B({IAC, WONT, 1}));
    EXPECT_EQ(T.TakeSent(), "");

    T.Read(B({IAC, WILL, 24}));
    EXPECT_EQ(T.TakeSent(), B({IAC, DONT, 24}));
    EXPECT_FALSE(T.RemoteEnabled.test(24));
}

TEST(TelnetOptions, DefaultsMatchTheWillingSetsAndNothingIsEnabled)
{
    TTelnetSide T;
    for (int Option = 0; Option < 256; ++Option) {
        const bool LocalDefault = Option == 0 || Option == 3 || Option == 5 || Option == 24 || Option == 31;
        const bool RemoteDefault = Option == 0 || Option == 1 || Option == 3;
        EXPECT_EQ(T.LocalWilling.test(size_t(Option)), LocalDefault) << Option;
        EXPECT_EQ(T.RemoteWilling.test(size_t(Option)), RemoteDefault) << Option;
    }
    EXPECT_TRUE(T.LocalEnabled.none());
    EXPECT_TRUE(T.RemoteEnabled.none());
    // Window size accepted: the socket is told to send the size first.
    T.Read(B({IAC, DO, 31}));
    EXPECT_TRUE(T.WindowSizeRequested);
    EXPECT_EQ(T.TakeSent(), B({IAC, WILL, 31}));
}

TEST(TelnetOptions, CommandWithoutItsOptionByteWaitsForTheNextRead)
{
    TTelnetSide T;
    EXPECT_EQ(T.Read(B({'h', 'i', IAC, WILL})), "hi");
    EXPECT_EQ(T.TakeSent(), "");
    EXPECT_EQ(T.Pending, B({IAC, WILL}));
    EXPECT_EQ(T.Read(B({1, '!'})), "!");
    EXPECT_EQ(T.TakeSent(), B({IAC, DO, 1}));
    EXPECT_TRUE(T.Pending.empty());

    // An IAC alone at the end, then its command and option a read later each.
    EXPECT_EQ(T.Read(B({'a', IAC})), "a");
    EXPECT_EQ(T.Read(B({DO})), "");
    EXPECT_EQ(T.Read(B({5, 'b'})), "b");
    EXPECT_EQ(T.TakeSent(), B({IAC, WILL, 5}));
}

TEST(TelnetOptions, TwoByteCommandsAreDroppedAndTheByteAfterThemIsData)
{
    TTelnetSide T;
    const char NOP = char(241), GA = char(249);
    EXPECT_EQ(T.Read(B({'a', IAC, NOP, 'b', IAC, GA, 'c'})), "abc");
    EXPECT_EQ(T.TakeSent(), "");
}

TEST(TelnetSubnegotiation, TerminalTypeIsAnsweredOnlyOnceTheOptionIsEnabled)
{
    TTelnetSide T;
    const std::string Ask = B({IAC, SB, 24, 1, IAC, SE});
    EXPECT_EQ(T.Read("x" + Ask + "y"), "xy");
    ASSERT_EQ(T.Subs.size(), 1u);
    EXPECT_EQ(T.Subs[0], B({24, 1}));
    EXPECT_EQ(T.TakeSent(), "");

    T.Read(B({IAC, DO, 24}));
    EXPECT_EQ(T.TakeSent(), B({IAC, WILL, 24}));
    T.Read(Ask);
    EXPECT_EQ(T.TakeSent(), B({IAC, SB, 24, 0}) + "dumb" + B({IAC, SE}));
}

TEST(TelnetSubnegotiation, SplitAcrossReadsIsHeldUntilItsEnd)
{
    TTelnetSide T;
    T.Read(B({IAC, DO, 24}));
    T.TakeSent();
    EXPECT_EQ(T.Read(B({'a', IAC, SB})), "a");
    EXPECT_EQ(T.Read(B({24, 1, IAC})), "");
    EXPECT_TRUE(T.Sent.empty());
    EXPECT_EQ(T.Read(B({SE, 'b'})), "b");
    EXPECT_EQ(T.TakeSent(), B({IAC, SB, 24, 0}) + "dumb" + B({IAC, SE}));
}

TEST(TelnetSubnegotiation, StatusReportListsEnabledOptionsInOrder)
{
    TTelnetSide T;
    const std::string Ask = B({IAC, SB, 5, 1, IAC, SE});
    T.Read(Ask);
    EXPECT_EQ(T.TakeSent(), "") << "status is not enabled yet";

    T.Read(B({IAC, DO, 5, IAC, DO, 3, IAC, WILL, 1, IAC, WILL, 0}));
    T.TakeSent();
    T.Read(Ask);
    EXPECT_EQ(T.TakeSent(), B({IAC, SB, 5, 0, DO, 0, DO, 1, WILL, 3, WILL, 5, IAC, SE}));

    T.TelnetOn = false;
    T.Read(Ask);
    EXPECT_EQ(T.TakeSent(), "");

    // Empty or unknown subnegotiations are ignored.
    T.TelnetOn = true;
    T.Read(B({IAC, SB, IAC, SE, IAC, SB, 5, IAC, SE, IAC, SB, 24, 0, 'v', 't', IAC, SE}));
    EXPECT_EQ(T.TakeSent(), "");
    EXPECT_EQ(T.Subs.size(), 6u);
}

TEST(TelnetSubnegotiation, AnEndlessSubnegotiationKeepsThePendingBufferBounded)
{
    TTelnetSide T;
    T.Read(B({IAC, DO, 24}));
    T.TakeSent();
    EXPECT_EQ(T.Read(B({'a', IAC, SB, 24, 1})), "a");
    const std::string Chunk(8192, 'z');
    for (int I = 0; I < 200; ++I) {
        EXPECT_EQ(T.Read(Chunk), "");
        ASSERT_LE(T.Pending.size(), IpTelnetMaxSubnegotiation + 3);
    }
    // Its end still ends it; its content was dropped, so there is nothing to answer.
    EXPECT_EQ(T.Read(B({IAC, SE, 'b'})), "b");
    EXPECT_EQ(T.TakeSent(), "");
    EXPECT_TRUE(T.Pending.empty());
    // The same request in full is answered again afterwards.
    T.Read(B({IAC, SB, 24, 1, IAC, SE}));
    EXPECT_EQ(T.TakeSent(), B({IAC, SB, 24, 0}) + "dumb" + B({IAC, SE}));
}

TEST(TelnetEscaping, OutgoingIacIsDoubledAndRepliesEscapeTheirContent)
{
    const std::string Data = B({'a', IAC, 'b', IAC, IAC});
    EXPECT_EQ(IpTelnetEscape(Data.data(), Data.size()), B({'a', IAC, IAC, 'b', IAC, IAC, IAC, IAC}));
    EXPECT_EQ(IpTelnetEscape(nullptr, 0), "");
    EXPECT_EQ(IpTelnetTerminalTypeReply(B({'x', IAC})), B({IAC, SB, 24, 0, 'x', IAC, IAC, IAC, SE}));
    EXPECT_EQ(IpTelnetWindowSizeReply(B({0, 80, 0, char(255)})), B({IAC, SB, 31, 0, 80, 0, IAC, IAC, IAC, SE}));
}

// Any way of cutting a stream into reads gives the same data and the same
// answers as the stream in one piece.
TEST(TelnetFilterRandom, SplitsDoNotChangeTheResult)
{
    std::mt19937 Rng(20261209);
    const char Alphabet[] = {IAC, IAC, IAC, DO, DONT, WILL, WONT, SB, SE, char(241), 0, 1, 3, 5, 24, 31, '\r', '\n', 'a'};
    for (int Round = 0; Round < 400; ++Round) {
        std::string Stream;
        const size_t Len = Rng() % 300;
        for (size_t I = 0; I < Len; ++I)
            Stream.push_back(Rng() % 3 == 0 ? char(Rng()) : Alphabet[Rng() % sizeof(Alphabet)]);

        TTelnetSide Whole;
        const std::string Expected = Whole.Read(Stream);

        TTelnetSide Cut;
        std::string Got;
        for (size_t Pos = 0; Pos < Stream.size();) {
            const size_t Take = std::min(Stream.size() - Pos, size_t(1 + Rng() % 7));
            Got += Cut.Read(Stream.substr(Pos, Take));
            Pos += Take;
        }
        ASSERT_EQ(Got, Expected) << "round " << Round;
        ASSERT_EQ(Cut.Sent, Whole.Sent) << "round " << Round;
        ASSERT_EQ(Cut.Pending, Whole.Pending) << "round " << Round;
    }
}

// Arbitrary bytes never make the filter write past the read, crash or hold
// more than one unfinished command.
TEST(TelnetFilterRandom, ArbitraryBytesStayWithinTheReadAndThePendingBound)
{
    std::mt19937 Rng(7);
    TTelnetSide T;
    uint64_t In = 0, Out = 0;
    for (int Round = 0; Round < 3000; ++Round) {
        std::string Read(1 + Rng() % 2048, '\0');
        const int Bias = int(Rng() % 4);
        for (char &C : Read)
            C = (Bias > 0 && Rng() % 4 == 0) ? char(0xF0 + Rng() % 16) : char(Rng());
        // Guard bytes right after the read must stay as they were.
        std::vector<uint8_t> Buf(Read.size() + 16, 0xA5);
        std::memcpy(Buf.data(), Read.data(), Read.size());
        const int32_t N = IpTelnetFilter(
            T.Pending, Buf.data(), int32_t(Read.size()),
            [&T](uint8_t Cmd, uint8_t Opt) {
                const TIpTelnetAnswer A = IpTelnetAnswerOption(T.Sets(), Cmd, Opt);
                return A.Handled;
            },
            [&T](const std::string &Text) { T.Sent += IpTelnetSubReply(T.Sets(), Text, true, "dumb"); });
        ASSERT_GE(N, 0);
        ASSERT_LE(size_t(N), Read.size());
        for (size_t I = Read.size(); I < Buf.size(); ++I)
            ASSERT_EQ(Buf[I], 0xA5) << "round " << Round;
        ASSERT_LE(T.Pending.size(), IpTelnetMaxSubnegotiation + 3);
        In += Read.size();
        Out += uint64_t(N);
        T.Sent.clear();
    }
    EXPECT_LT(Out, In);
}
