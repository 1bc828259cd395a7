// FEAT replies (TIpFtpFeatures): the feature set a server's answer gives.
//
// Input: one byte for the reply code (211 or another), then the reply text.
// Checks: only a 211 reply is a known set; the set never exceeds its cap,
// names are upper-case without blanks and each is found by Has() in any
// case; Parameters() and MlstFacts() never hold a line end; facts are
// lower-case and not empty; parsing the same text again gives the same set.

#include <string>

#include "FuzzSupport.h"
#include "ftp/IpFtpFeatures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    TFuzzReader In(Data, Size);
    const int Code = (In.Byte() & 1) ? 211 : 500;
    const std::string Reply(In.Rest());

    TIpFtpFeatures F;
    F.Parse(Code, Reply);
    FUZZ_CHECK(F.Known() == (Code == 211), "known %d for code %d", F.Known(), Code);
    FUZZ_CHECK(F.Count() <= TIpFtpFeatures::MaxFeatures, "%zu features", F.Count());
    if (Code != 211)
        FUZZ_CHECK(F.Count() == 0, "features from a %d reply", Code);
    for (size_t I = 0; I < F.Count(); ++I) {
        const std::string &N = F.Name(I);
        FUZZ_CHECK(!N.empty() && N.size() <= TIpFtpFeatures::MaxLineLength, "name length %zu", N.size());
        for (char C : N) {
            FUZZ_CHECK(C != ' ' && C != '\t' && C != '\n' && !(C >= 'a' && C <= 'z'), "name byte %d", C);
        }
        std::string Lower = N;
        for (char &C : Lower)
            if (C >= 'A' && C <= 'Z')
                C = static_cast<char>(C + 32);
        FUZZ_CHECK(F.Has(Lower), "'%s' not found by its lower-case name", N.c_str());
        FUZZ_CHECK(F.Parameters(N).find('\n') == std::string::npos, "parameters hold a line end");
    }
    for (const std::string &Fact : F.MlstFacts()) {
        FUZZ_CHECK(!Fact.empty(), "empty fact");
        for (char C : Fact)
            FUZZ_CHECK(!(C >= 'A' && C <= 'Z') && C != ';' && C != '\n', "fact byte %d", C);
    }
    TIpFtpFeatures Again;
    Again.Parse(Code, Reply);
    FUZZ_CHECK(Again.Count() == F.Count(), "second parse differs");
    for (size_t I = 0; I < F.Count(); ++I)
        FUZZ_CHECK(Again.Name(I) == F.Name(I), "second parse differs at %zu", I);
    return 0;
}
