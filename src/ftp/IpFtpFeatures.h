#pragma once
// What a server offers beyond the basic command set, as its FEAT reply
// lists it: one feature per line, a name and optional parameters ("MLST
// type*;size*;modify*;", "UTF8", "REST STREAM"). The client asks this set
// before it uses MLSD, SIZE, MDTM or OPTS UTF8.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class TIpFtpFeatures
{
public:
    // A reply text can hold no more than this many features; the rest of a
    // hostile reply is ignored.
    static constexpr std::size_t MaxFeatures = 256;
    static constexpr std::size_t MaxLineLength = 1024;

    // Replaces the set by the features of a FEAT reply (Code and the whole
    // reply text, as assembled). Only a 211 reply lists features; any other
    // code leaves the set empty (the server has none to tell, or no FEAT).
    void Parse(int Code, std::string_view Reply);
    void Clear();

    // The server answered FEAT with a feature list.
    bool Known() const { return FKnown; }
    // Name compared without regard to case; "MLST" matches "mlst size*;".
    bool Has(std::string_view Name) const;
    // The text after the name and its blank; empty when absent.
    std::string Parameters(std::string_view Name) const;
    std::size_t Count() const { return FNames.size(); }
    const std::string &Name(std::size_t Index) const { return FNames[Index]; }

    bool Mlst() const { return Has("MLST"); }
    bool Utf8() const { return Has("UTF8"); }
    bool Size() const { return Has("SIZE"); }
    bool Mdtm() const { return Has("MDTM"); }
    // The facts MLST offers, lower-cased, without the "*" that marks the
    // ones the server sends by default.
    std::vector<std::string> MlstFacts() const;

private:
    bool FKnown = false;
    std::vector<std::string> FNames;  // upper-cased
    std::vector<std::string> FParams; // as sent
};
