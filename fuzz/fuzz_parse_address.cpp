// The address parser behind the host field, the command line and the
// settings file (URL, host[:port], user:password@host, local paths).
//
// Input: the text.
// Checks: it never raises, the port is digits only, no field is longer than
// the text (the path may be the default "/"), the query delimiter is one of
// the two that start a query (or the caller's old value), and a second parse
// into a record holding other values gives the same record.

#include <string>

#include "FuzzSupport.h"
#include "base/IpUtils.h"

namespace {

bool SameRecord(const TIpAddrRec &A, const TIpAddrRec &B)
{
    return A.Scheme == B.Scheme && A.UserName == B.UserName && A.Password == B.Password && A.Host == B.Host &&
           A.Port == B.Port && A.Path == B.Path && A.Fragment == B.Fragment && A.Query == B.Query;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    const std::string Text(reinterpret_cast<const char *>(Data), Size);
    TIpAddrRec Rec;
    Rec.QueryDelimiter = 'x';
    bool Ok = false;
    try {
        Ok = ParseAddress(Text, Rec);
    } catch (...) {
        FUZZ_CHECK(false, "ParseAddress raised");
    }
    for (char C : Rec.Port)
        FUZZ_CHECK(C >= '0' && C <= '9', "port text '%s' holds a non-digit", Rec.Port.c_str());
    for (const std::string *F : {&Rec.Scheme, &Rec.UserName, &Rec.Password, &Rec.Host, &Rec.Port, &Rec.Fragment,
                                 &Rec.Query})
        FUZZ_CHECK(F->size() <= Text.size(), "field longer than the text");
    FUZZ_CHECK(Rec.Path.size() <= std::max<size_t>(Text.size(), 1), "path longer than the text");
    FUZZ_CHECK(!Rec.Path.empty(), "empty path (the default is \"/\")");
    FUZZ_CHECK(Rec.QueryDelimiter == 'x' || Rec.QueryDelimiter == '?' || Rec.QueryDelimiter == '&',
               "query delimiter %d", Rec.QueryDelimiter);
    if (Rec.QueryDelimiter == 'x')
        FUZZ_CHECK(Rec.Query.empty(), "a query without a delimiter");

    TIpAddrRec Again;
    Again.Scheme = "old";
    Again.Host = "old.example";
    Again.Port = "21";
    Again.Path = "/old";
    Again.Query = "q";
    const bool Ok2 = ParseAddress(Text, Again);
    FUZZ_CHECK(Ok == Ok2 && SameRecord(Rec, Again), "second parse differs");
    return 0;
}
