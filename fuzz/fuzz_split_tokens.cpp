// The token splitter of listing lines and replies (SplitTokens) and the
// blank-token list the listing parsers walk (TIpTokenList).
//
// Input: delimiter length (0..3) and bytes, From index, StopAt choice, text.
// Checks: the pieces are exactly those of a plain reference splitter (the
// documented rules, written the slow obvious way), no piece keeps a blank or
// control byte at either end, and the token list agrees with
// SplitTokens(Line, " ") for Count, indexing (also past the kept tokens)
// and Join with and without a stop token.

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ftp/IpFtpList.h"

namespace {

std::string Trim(std::string_view S)
{
    size_t B = 0, E = S.size();
    while (B < E && static_cast<unsigned char>(S[B]) <= 32)
        ++B;
    while (E > B && static_cast<unsigned char>(S[E - 1]) <= 32)
        --E;
    return std::string(S.substr(B, E - B));
}

// Pieces between delimiter matches; a match at I ends the piece there and
// the next piece starts at I + 1; pieces empty before trimming are skipped.
std::vector<std::string> Reference(std::string_view Text, std::string_view Delim)
{
    std::vector<std::string> Out;
    size_t Start = 0;
    if (!Delim.empty()) {
        for (size_t I = 0; I + Delim.size() <= Text.size(); ++I) {
            if (Text.compare(I, Delim.size(), Delim) != 0 || I < Start)
                continue;
            if (I > Start)
                Out.push_back(Trim(Text.substr(Start, I - Start)));
            Start = I + 1;
        }
    }
    if (Start < Text.size())
        Out.push_back(Trim(Text.substr(Start)));
    return Out;
}

std::string Joined(const std::vector<std::string> &T, size_t From, const std::string &StopAt)
{
    std::string Out;
    bool First = true;
    for (size_t I = From; I < T.size(); ++I) {
        if (!StopAt.empty() && T[I] == StopAt)
            break;
        if (!First)
            Out += ' ';
        Out += T[I];
        First = false;
    }
    return Out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    TFuzzReader In(Data, Size);
    const std::string Delim(In.Bytes(In.Byte() % 4));
    const size_t From = In.Byte() % 16;
    const uint8_t StopChoice = In.Byte();
    const std::string Text(In.Rest());

    const std::vector<std::string> Pieces = SplitTokens(Text, Delim);
    const std::vector<std::string> Expected = Reference(Text, Delim);
    FUZZ_CHECK(Pieces == Expected, "SplitTokens gave %zu pieces, the rules %zu (delimiter length %zu)",
               Pieces.size(), Expected.size(), Delim.size());
    for (const std::string &P : Pieces)
        FUZZ_CHECK(P.empty() || (static_cast<unsigned char>(P.front()) > 32 &&
                                 static_cast<unsigned char>(P.back()) > 32),
                   "untrimmed piece");

    // The token list of the same text as a listing line.
    const std::vector<std::string> Blank = Reference(Text, " ");
    TIpTokenList Tokens(Text);
    FUZZ_CHECK(Tokens.Count() == Blank.size(), "token count %zu, expected %zu", Tokens.Count(), Blank.size());
    for (size_t I = 0; I <= Blank.size(); ++I) {
        const std::string_view T = Tokens[I];
        FUZZ_CHECK(I == Blank.size() ? T.empty() : T == Blank[I], "token %zu differs", I);
    }
    std::string StopAt;
    if (StopChoice & 0x80)
        StopAt = Blank.empty() ? std::string("x") : Blank[StopChoice % Blank.size()];
    std::string Out = "stale";
    Tokens.Join(From, Out, StopAt);
    FUZZ_CHECK(Out == Joined(Blank, From, StopAt), "Join(%zu) gave '%s'", From, Out.c_str());

    // Reassigning the list forgets the earlier line completely.
    TIpTokenList Again(Text + " tail");
    Again.Assign(Text);
    FUZZ_CHECK(Again.Count() == Tokens.Count(), "reassigned list keeps old tokens");
    return 0;
}
