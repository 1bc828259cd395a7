#pragma once
// Name lookup away from the event loop. getaddrinfo blocks for as long as
// the name servers take; on the event loop that would freeze the window and
// every timer. A resolver looks the name up elsewhere and hands the result
// to a callback that may run on any thread; the socket control turns it into
// a posted message, so the outcome arrives like any other event.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/IpAddress.h"

class TIpResolver
{
public:
    // Error 0 and every address in the resolver's order, or the socket
    // error code (11001..11004) and none.
    using TDone = std::function<void(int Error, std::vector<TSockAddrIn> Addrs)>;
    virtual ~TIpResolver() = default;
    // Starts looking Name up; Done runs once, later, on any thread.
    virtual void Lookup(const std::string &Name, TDone Done) = 0;
};

// A thread per lookup: lookups are rare (one per login) and a thread that
// still waits for a slow name server when its result is no longer wanted
// harms nobody; its result is dropped.
class TIpThreadResolver : public TIpResolver
{
public:
    void Lookup(const std::string &Name, TDone Done) override;
};

// The resolver new socket controls use.
std::shared_ptr<TIpResolver> IpDefaultResolver();

// Message of a finished lookup: WParam the lookup's number, LParam the
// error code, payload the addresses (std::vector<TSockAddrIn>).
inline constexpr uint32_t CM_IPRESOLVED = 4757;
