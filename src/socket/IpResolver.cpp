#include "socket/IpResolver.h"

#include <thread>

void TIpThreadResolver::Lookup(const std::string &Name, TDone Done)
{
    std::thread([Name, Done = std::move(Done)]() {
        std::vector<TSockAddrIn> Addrs;
        const int Error = IpLookupAll(Name, Addrs);
        Done(Error, std::move(Addrs));
    }).detach();
}

std::shared_ptr<TIpResolver> IpDefaultResolver()
{
    static const std::shared_ptr<TIpResolver> Resolver = std::make_shared<TIpThreadResolver>();
    return Resolver;
}
