// The host text the user types (or the settings file holds) on its way to
// a socket address: ResolveAddress with ParseAddress, the dotless
// name:port form, the port number and the dotted-address reading. The
// resolver is replaced by a stub in this program, so no lookup leaves the
// process.
//
// Input: default port (2 bytes), then the text.
// Checks: only the documented errors come out (EIpWinSockError for a
// missing host, std::invalid_argument for a port that is no number of
// 0..65535); the address is IPv4; a name reaches the resolver only as
// 1..255 bytes; an address the resolver gave is the one used; the same
// text always gives the same address.

#include <QCoreApplication>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <string>

#include "FuzzSupport.h"
#include "base/IpWinSock.h"
#include "socket/IpSockControl.h"

namespace {

// What the stub resolver saw last.
std::string LastName;
int Lookups = 0;
constexpr uint32_t StubAddress = 0x0A000102u; // 10.0.1.2, host order

// Names ending in ".stub" (and "localhost") resolve; nothing else does.
bool StubResolves(const std::string &Name)
{
    return Name == "localhost" || (Name.size() > 5 && Name.compare(Name.size() - 5, 5, ".stub") == 0);
}

class TFuzzControl : public TIpSockControl
{
public:
    TSocket CreateSocket() override { return INVALID_SOCKET; }
    void ReleaseSocket(TSocket) override {}
};

TFuzzControl *Control = nullptr;

} // namespace

// The resolver stub (the program's definitions win over the C library's).
extern "C" int getaddrinfo(const char *Node, const char *, const struct addrinfo *, struct addrinfo **Res)
{
    FUZZ_CHECK(Node != nullptr, "resolver called without a name");
    LastName = Node;
    ++Lookups;
    FUZZ_CHECK(!LastName.empty() && LastName.size() <= 255, "resolver got a name of %zu bytes", LastName.size());
    if (!StubResolves(LastName))
        return EAI_NONAME;
    auto *A = static_cast<addrinfo *>(std::calloc(1, sizeof(addrinfo) + sizeof(sockaddr_in)));
    auto *Sin = reinterpret_cast<sockaddr_in *>(A + 1);
    Sin->sin_family = AF_INET;
    Sin->sin_addr.s_addr = htonl(StubAddress);
    A->ai_family = AF_INET;
    A->ai_socktype = SOCK_STREAM;
    A->ai_addr = reinterpret_cast<sockaddr *>(Sin);
    A->ai_addrlen = sizeof(sockaddr_in);
    *Res = A;
    return 0;
}

extern "C" void freeaddrinfo(struct addrinfo *Res)
{
    std::free(Res);
}

extern "C" int LLVMFuzzerInitialize(int *Argc, char ***Argv)
{
    static QCoreApplication App(*Argc, *Argv);
    Control = new TFuzzControl();
    return 0;
}

namespace {

// The outcome of one ResolveAddress call: the address, or the error.
struct TOutcome
{
    int Kind = 0; // 0 address, 1 socket error, 2 bad port
    uint32_t Addr = 0;
    uint16_t Port = 0;
    std::string Error;
    bool operator==(const TOutcome &) const = default;
};

TOutcome Resolve(const std::string &Text, uint16_t DefaultPort)
{
    TOutcome R;
    TSockAddrIn Addr{};
    Lookups = 0;
    try {
        Control->ResolveAddress(Text, Addr, DefaultPort);
    } catch (const EIpWinSockError &E) {
        R.Kind = 1;
        R.Error = E.what();
        return R;
    } catch (const std::invalid_argument &E) {
        R.Kind = 2;
        R.Error = E.what();
        FUZZ_CHECK(R.Error.find("is not a valid integer value") != std::string::npos, "unexpected error '%s'",
                   R.Error.c_str());
        return R;
    } catch (const std::exception &E) {
        FUZZ_CHECK(false, "ResolveAddress raised '%s'", E.what());
    }
    FUZZ_CHECK(IpAddrFamily(Addr) == AF_INET || IpAddrFamily(Addr) == AF_INET6, "family %d", IpAddrFamily(Addr));
    R.Addr = IpAddrV4(Addr);
    R.Port = IpAddrPort(Addr);
    if (Lookups > 0) {
        // A looked-up name gives the stub's address or nothing.
        const uint32_t Expect = StubResolves(LastName) ? htonl(StubAddress) : 0;
        FUZZ_CHECK(R.Addr == Expect, "address %08x after looking up '%s'", R.Addr, LastName.c_str());
    }
    return R;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    TFuzzReader In(Data, Size);
    const uint16_t DefaultPort = In.U16();
    const std::string Text(In.Rest());

    const TOutcome First = Resolve(Text, DefaultPort);
    const TOutcome Second = Resolve(Text, DefaultPort);
    FUZZ_CHECK(First == Second, "two resolutions of the same text differ");

    // The pieces on their own: the dotted reading looks at 15 bytes at most
    // and never raises; the lookup never raises either.
    try {
        Control->ParseDottedAddress(Text);
        TSockAddrIn Any{};
        Control->LookupHost(Text, Any);
    } catch (...) {
        FUZZ_CHECK(false, "ParseDottedAddress/LookupHost raised");
    }
    return 0;
}
