// The extended passive reply (229) and the host text of the host field.
//
// Input: the reply or host text as it stands.
// Checks: a 229 that gives a port gives 1..65535 and holds "(" three equal
// delimiters, that port's digits and the delimiter ")" ; a host text that is
// read gives a host without brackets or blanks and digits only as the port,
// and writing it back with its port reads as the same host and port.

#include <string>

#include "FuzzSupport.h"
#include "base/IpAddress.h"
#include "ftp/IpFtpProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    TFuzzReader In(Data, Size);
    const std::string Text(In.Rest());

    uint16_t Port = 1;
    if (FtpEpsvPort(Text, Port)) {
        FUZZ_CHECK(Port != 0, "port 0 accepted");
        // The first parentheses: delimiter three times, the digits, the delimiter.
        const size_t Open = Text.find('(');
        const size_t Close = Open == std::string::npos ? Open : Text.find(')', Open + 1);
        const std::string Body =
            Close == std::string::npos ? std::string() : Text.substr(Open + 1, Close - Open - 1);
        const char D = Body.empty() ? '\0' : Body[0];
        const bool Found = Body.size() >= 5 && Body.compare(0, 3, std::string(3, D)) == 0 && Body.back() == D &&
                           Body.substr(3, Body.size() - 4).find_first_not_of("0123456789") == std::string::npos &&
                           Body.size() - 4 <= 5 && std::stoul(Body.substr(3, Body.size() - 4)) == Port;
        FUZZ_CHECK(Found, "port %u not found in the reply's parentheses", unsigned(Port));
    } else {
        FUZZ_CHECK(Port == 0, "port %u left after a refused reply", unsigned(Port));
    }

    std::string Host, Digits;
    if (IpSplitHostPort(Text, Host, Digits)) {
        FUZZ_CHECK(!Host.empty(), "empty host");
        FUZZ_CHECK(Host.find_first_of("[] \t\r\n") == std::string::npos, "host '%s'", Host.c_str());
        for (char C : Digits)
            FUZZ_CHECK(C >= '0' && C <= '9', "port text '%s'", Digits.c_str());
        if (!Digits.empty() && Digits.size() <= 5 && std::stoul(Digits) <= 65535) {
            std::string Host2, Digits2;
            const uint16_t P = static_cast<uint16_t>(std::stoul(Digits));
            FUZZ_CHECK(IpSplitHostPort(IpHostPortText(Host, P), Host2, Digits2), "written form not read");
            FUZZ_CHECK(Host2 == Host && std::stoul(Digits2) == P, "written form reads as another host");
        }
    }
    return 0;
}
