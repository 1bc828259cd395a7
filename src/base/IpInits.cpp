#include "base/IpInits.h"

void TIpSocksServerInfo::Assign(const TPersistent *Source)
{
    const auto *Other = dynamic_cast<const TIpSocksServerInfo *>(Source);
    if (!Other) {
        TIpBasePersistent::Assign(Source);
        return;
    }
    if (Other == this)
        return;
    // Only the destination is locked: a source locked by another thread
    // while it copies from us would otherwise deadlock.
    TIpLockGuard<TIpSocksServerInfo> Guard(*this);
    FAddress = Other->FAddress;
    FPassword = Other->FPassword;
    FPort = Other->FPort;
    FSocksVersion = Other->FSocksVersion;
    FUserCode = Other->FUserCode;
    FRemoteLookup = Other->FRemoteLookup;
}
