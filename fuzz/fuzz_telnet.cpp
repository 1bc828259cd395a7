// The telnet receive filter on arbitrary bytes cut into arbitrary reads,
// with the option answers and subnegotiation replies it leads to.
//
// Input: handler byte, then reads (length byte + bytes).
// Checks: the filter never writes past the read (each read is its own heap
// block of exactly its size) and never returns more than it got; what
// waits between reads stays bounded; where the reads are cut changes
// neither the data that comes out nor the option commands and (short)
// subnegotiations seen; text without 0xFF passes unchanged; escaped data
// comes back as it was; the answers to options and subnegotiations are
// well-formed telnet commands.

#include <bitset>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "socket/IpTelnet.h"

namespace {

struct TRun
{
    std::string Output;
    std::vector<int> Options;         // Command * 256 + Option, in order
    std::vector<std::string> Subs;
    size_t MaxPending = 0;
};

struct TSets
{
    TIpTelnetOptionSet LocalWilling, LocalEnabled, RemoteWilling, RemoteEnabled;
    TIpTelnetSets Refs() { return {LocalWilling, LocalEnabled, RemoteWilling, RemoteEnabled}; }
};

// Runs the filter over Reads; option commands go through the option sets
// like a data socket does; Consumes decides which commands count as three
// bytes (the real handler: the four option verbs).
TRun Filter(const std::vector<std::string> &Reads, uint8_t Mode)
{
    TRun R;
    TSets Sets;
    IpTelnetSetDefaults(Sets.Refs());
    std::string Pending;
    auto OnOption = [&](uint8_t Cmd, uint8_t Opt) {
        R.Options.push_back(Cmd * 256 + Opt);
        const TIpTelnetAnswer A = IpTelnetAnswerOption(Sets.Refs(), Cmd, Opt);
        if (A.Reply) {
            const std::string C = IpTelnetCommand(A.ReplyCommand, Opt);
            FUZZ_CHECK(C.size() == 3 && uint8_t(C[0]) == IpTelnetIAC, "bad option answer");
            FUZZ_CHECK(A.ReplyCommand >= IpTelnetWILL && A.ReplyCommand <= IpTelnetDONT, "answer command %d",
                       A.ReplyCommand);
        }
        if (Mode & 1)
            return ((Cmd ^ Opt ^ Mode) & 2) != 0;
        return A.Handled;
    };
    auto OnSub = [&](const std::string &Text) {
        R.Subs.push_back(Text);
        const std::string Reply = IpTelnetSubReply(Sets.Refs(), Text, true, IpTelnetDefaultTerminal);
        if (!Reply.empty())
            FUZZ_CHECK(Reply.size() >= 5 && uint8_t(Reply[0]) == IpTelnetIAC && uint8_t(Reply[1]) == IpTelnetSB &&
                           uint8_t(Reply[Reply.size() - 2]) == IpTelnetIAC && uint8_t(Reply.back()) == IpTelnetSE,
                       "subnegotiation reply is not IAC SB ... IAC SE");
    };
    for (const std::string &Read : Reads) {
        const int32_t N = int32_t(Read.size());
        std::unique_ptr<uint8_t[]> Buf(N ? new uint8_t[size_t(N)] : nullptr);
        if (N)
            std::memcpy(Buf.get(), Read.data(), size_t(N));
        const int32_t Out = IpTelnetFilter(Pending, Buf.get(), N, OnOption, OnSub);
        FUZZ_CHECK(Out >= 0 && Out <= N, "filter returned %d for %d bytes", Out, N);
        R.Output.append(reinterpret_cast<const char *>(Buf.get()), size_t(Out));
        R.MaxPending = std::max(R.MaxPending, Pending.size());
        FUZZ_CHECK(Pending.size() <= IpTelnetMaxSubnegotiation + 2, "%zu bytes pending", Pending.size());
    }
    return R;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    TFuzzReader In(Data, Size);
    const uint8_t Mode = In.Byte();
    std::vector<std::string> Reads;
    std::string All;
    while (!In.Empty()) {
        std::string Read(In.Bytes(In.Byte()));
        // Now and then a long read, to reach the subnegotiation limit.
        if (!Read.empty() && uint8_t(Read[0]) == 0xFA && (Mode & 0x80))
            Read.append(5000, char(Read.back()));
        All += Read;
        Reads.push_back(std::move(Read));
    }

    const TRun Split = Filter(Reads, Mode);
    const TRun Whole = Filter({All}, Mode);
    FUZZ_CHECK(Split.Output == Whole.Output, "read boundaries changed the data (%zu vs %zu bytes)",
               Split.Output.size(), Whole.Output.size());
    FUZZ_CHECK(Split.Options == Whole.Options, "read boundaries changed the option commands");
    bool ShortSubs = true;
    for (const std::string &S : Whole.Subs)
        ShortSubs = ShortSubs && S.size() + 8 < IpTelnetMaxSubnegotiation;
    if (ShortSubs)
        FUZZ_CHECK(Split.Subs == Whole.Subs, "read boundaries changed the subnegotiations");
    if (All.find(char(IpTelnetIAC)) == std::string::npos)
        FUZZ_CHECK(Whole.Output == All, "text without IAC changed");

    // Escaped data filters back to itself.
    const std::string Escaped = IpTelnetEscape(All.data(), All.size());
    FUZZ_CHECK(Escaped.size() == All.size() + size_t(std::count(All.begin(), All.end(), char(IpTelnetIAC))),
               "escape size");
    const TRun Back = Filter({Escaped}, Mode);
    FUZZ_CHECK(Back.Output == All && Back.Options.empty() && Back.Subs.empty(), "escaped data did not come back");
    return 0;
}
