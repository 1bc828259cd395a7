#include "ftp/IpFtpFeatures.h"

#include "ftp/IpFtpProtocol.h"

namespace {

bool IsBlank(char C)
{
    return C == ' ' || C == '\t';
}

bool IsDigit(char C)
{
    return C >= '0' && C <= '9';
}

} // namespace

void TIpFtpFeatures::Clear()
{
    FKnown = false;
    FNames.clear();
    FParams.clear();
}

void TIpFtpFeatures::Parse(int Code, std::string_view Reply)
{
    Clear();
    if (Code != 211)
        return;
    FKnown = true;
    std::size_t Pos = 0;
    bool First = true;
    while (Pos < Reply.size() && FNames.size() < MaxFeatures) {
        std::size_t End = Reply.find('\n', Pos);
        if (End == std::string_view::npos)
            End = Reply.size();
        std::string_view Line = Reply.substr(Pos, End - Pos);
        Pos = End + 1;
        // The opening line ("211-Features:") names no feature.
        if (First) {
            First = false;
            continue;
        }
        if (!Line.empty() && Line.back() == '\r')
            Line.remove_suffix(1);
        // Some servers repeat the code on every line ("211-MDTM").
        if (Line.size() >= 4 && IsDigit(Line[0]) && IsDigit(Line[1]) && IsDigit(Line[2]) &&
            (Line[3] == '-' || Line[3] == ' '))
            Line.remove_prefix(4);
        while (!Line.empty() && IsBlank(Line.front()))
            Line.remove_prefix(1);
        while (!Line.empty() && IsBlank(Line.back()))
            Line.remove_suffix(1);
        if (Line.empty() || Line.size() > MaxLineLength)
            continue;
        std::size_t Blank = 0;
        while (Blank < Line.size() && !IsBlank(Line[Blank]))
            ++Blank;
        std::string Name(Line.substr(0, Blank));
        for (char &C : Name)
            C = AsciiUpper(C);
        std::string_view Rest = Line.substr(Blank);
        while (!Rest.empty() && IsBlank(Rest.front()))
            Rest.remove_prefix(1);
        FNames.push_back(std::move(Name));
        FParams.emplace_back(Rest);
    }
}

bool TIpFtpFeatures::Has(std::string_view Name) const
{
    for (const std::string &N : FNames)
        if (EqualsNoCase(N, Name))
            return true;
    return false;
}

std::string TIpFtpFeatures::Parameters(std::string_view Name) const
{
    for (std::size_t I = 0; I < FNames.size(); ++I)
        if (EqualsNoCase(FNames[I], Name))
            return FParams[I];
    return std::string();
}

std::vector<std::string> TIpFtpFeatures::MlstFacts() const
{
    std::vector<std::string> Facts;
    const std::string Params = Parameters("MLST");
    std::size_t Pos = 0;
    while (Pos < Params.size()) {
        std::size_t End = Params.find(';', Pos);
        if (End == std::string::npos)
            End = Params.size();
        std::string Fact = Params.substr(Pos, End - Pos);
        Pos = End + 1;
        if (!Fact.empty() && Fact.back() == '*')
            Fact.pop_back();
        for (char &C : Fact)
            C = AsciiLower(C);
        if (!Fact.empty())
            Facts.push_back(std::move(Fact));
    }
    return Facts;
}
