#pragma once
// The passive end point: a bound, listening TCP socket. It never carries
// data; an accepted connection becomes a data socket that adopts the handle.

#include "socket/IpBaseSocket.h"

class TIpListenSocket : public TIpBaseSocket
{
public:
    // Creates a new OS socket bound to LocalAddr (a specific address with
    // port 0 lets the OS pick the port) and listens with a backlog of 5.
    TIpListenSocket(TIpSockControl *Owner, TSocket Handle, const TSockAddrIn &LocalAddr,
                    const TIpBaseInits *Inits, const TIpSocksServerInfo *SocksServer);

    // Takes one pending connection: its handle, or INVALID_SOCKET when none
    // is pending (would-block). Any other failure raises EIpWinSockError
    // with "Accept". Accepting is what lets the next accept notification
    // come, so the owner should accept through here.
    TSocket Accept();

    static constexpr int Backlog = 5;
};
