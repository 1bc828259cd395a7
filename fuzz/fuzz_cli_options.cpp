// The command line of tolvane-cli: arbitrary arguments (and the password
// from the environment) through ParseCliArguments and SplitHostPort.
//
// Input: NUL-separated arguments; the first one is the environment's
// password when it starts with 'P', else the environment has none.
// Checks: nothing raises; a refusal always comes with a reason; an
// accepted command line (other than --help) has ports 1..65535 (the
// defaults 21 and 1080 included), a host without ':' unless it is an IPv6
// literal (never with its brackets), a restart offset of
// -1 or more, proxy credentials of at most 255 bytes, and proxy settings
// only when a proxy was named; a split host and port put back together
// split the same way.

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "base/IpAddress.h"
#include "tools/cli_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    std::vector<std::string> Args;
    std::string Cur;
    for (size_t I = 0; I < Size; ++I) {
        if (Data[I] == 0) {
            Args.push_back(Cur);
            Cur.clear();
        } else {
            Cur += char(Data[I]);
        }
    }
    Args.push_back(Cur);
    std::string Env;
    const char *EnvPassword = nullptr;
    if (!Args.empty() && !Args[0].empty() && Args[0][0] == 'P') {
        Env = Args[0].substr(1);
        EnvPassword = Env.c_str();
        Args.erase(Args.begin());
    }

    TCliOptions O;
    std::string Error;
    bool Ok = false;
    try {
        Ok = ParseCliArguments(Args, EnvPassword, O, Error);
    } catch (const std::exception &E) {
        FUZZ_CHECK(false, "ParseCliArguments raised '%s'", E.what());
    }
    if (!Ok) {
        FUZZ_CHECK(!Error.empty(), "refused without a reason");
    } else if (!O.Help) { // --help ends the checking: nothing else is used then
        FUZZ_CHECK(O.Port >= 1, "port 0 accepted");
        FUZZ_CHECK(O.Host.find_first_of("[]") == std::string::npos &&
                       (O.Host.find(':') == std::string::npos || IpIsNumericHost(O.Host)),
                   "host '%s' holds ':' or brackets", O.Host.c_str());
        FUZZ_CHECK(O.RestartAt >= -1, "restart offset %lld", (long long)O.RestartAt);
        FUZZ_CHECK(O.Operation <= coRemoveDir && O.Mode <= cmRestart && O.SocksVersion <= svSocks5, "enum out of range");
        if (O.UseSocks) {
            FUZZ_CHECK(O.SocksPort >= 1 && !O.SocksHost.empty(), "proxy %s:%u", O.SocksHost.c_str(), O.SocksPort);
            FUZZ_CHECK(O.SocksUser.size() <= 255 && O.SocksPassword.size() <= 255, "proxy credentials too long");
        } else {
            FUZZ_CHECK(O.SocksHost.empty() && O.SocksUser.empty() && O.SocksPassword.empty(),
                       "proxy settings without a proxy");
        }
    }

    // Each argument as a HOST[:PORT] text.
    for (const std::string &A : Args) {
        std::string Host;
        uint16_t Port = 0;
        if (!SplitHostPort(A, 1080, Host, Port))
            continue;
        const bool V6 = Host.find(':') != std::string::npos;
        FUZZ_CHECK(!Host.empty() && Host.find_first_of("[]") == std::string::npos && (!V6 || IpIsNumericHost(Host)) &&
                       Port >= 1,
                   "split '%s' into '%s' %u", A.c_str(), Host.c_str(), Port);
        std::string Host2;
        uint16_t Port2 = 0;
        FUZZ_CHECK(SplitHostPort(IpHostPortText(Host, Port), 21, Host2, Port2) && Host2 == Host && Port2 == Port,
                   "host and port do not split back");
    }
    FUZZ_CHECK(!CliUsageText().empty(), "no usage text");
    return 0;
}
