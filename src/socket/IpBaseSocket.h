#pragma once
// A socket object wraps one non-blocking OS socket (dual-stack IPv6 where
// the system has it) owned by a socket
// control. The base creates or adopts the OS socket, applies the socket
// options, registers for readiness notifications, connects (directly or to a
// SOCKS proxy), closes, and reports connect and close to its owner.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "socket/IpSock.h"

class TIpBaseSocket : public TObject
{
public:
    // Handle INVALID_SOCKET creates a new OS socket (bound to LocalAddr
    // unless that is the "any" address); any other value adopts an accepted
    // socket. Inits (may be null) supplies the socket options; SocksServer
    // (may be null) the proxy to connect through.
    TIpBaseSocket(TIpSockControl *Owner, TSocket Handle, const TSockAddrIn &LocalAddr,
                  const TIpBaseInits *Inits, const TIpSocksServerInfo *SocksServer);
    ~TIpBaseSocket() override;

    // --- virtual operations, overridden by the data and listen sockets
    virtual void StartSocksRequest();
    // Registers for the notifications of EventMask() (message 4753 to the
    // owner's window); nothing when the socket has no handle.
    virtual void SelectEvents();
    virtual void HandleClose();
    virtual void HandleConnect();
    virtual void HandleOutOfBand();
    virtual void HandleRead();
    virtual void HandleTimer(uint32_t ElapsedMs);
    virtual void HandleWrite();
    virtual void Close();
    virtual void Connect(const TSockAddrIn &Addr, const std::string &HostText);
    // Through a proxy that looks names up (SocksInfo().SendsNames()): the
    // destination Name and Port go to the proxy as they are.
    void ConnectByName(const std::string &Name, uint16_t Port, const std::string &HostText);
    // The destination name handed to the proxy; empty when it got an address.
    const std::string &DestName() const { return FDestName; }

    // --- other operations
    void ApplyOptions(TIpSockOptionSet Options);
    // TCP keep-alive probes after IdleSeconds without traffic: a connection
    // that is quiet for long (a control connection during a long transfer)
    // keeps its entry in the routers on the way.
    void KeepAlive(int IdleSeconds);
    // A fresh OS socket at the same descriptor number, with the same family,
    // options and notifications, for connecting again after a failed or
    // abandoned attempt (a socket's connect cannot be taken back).
    void Renew();
    std::string GetRemoteHost();
    int LastError() const;
    void Lock() { FLock.lock(); }
    void Unlock() { FLock.unlock(); }

    // --- fields
    bool Connected() const { return FConnected; }
    // Identity of the object in its owner's list and in every event; keeps
    // its value after Close until the object is destroyed.
    TSocket Handle() const { return FHandle; }
    const std::string &RemoteHost() const { return FRemoteHost; }
    const TSockAddrIn &LocalAddr() const { return FLocalAddr; }
    const TSockAddrIn &RemoteAddr() const { return FRemoteAddr; }
    const TIpSocksServerInfo &SocksInfo() const { return *FSocksInfo; }
    uint8_t SocksState() const { return FSocksState; }
    // The proxy has not granted the connection yet: what comes and goes
    // on the socket is the proxy's negotiation, not the destination's bytes.
    bool SocksPending() const { return FSocksState >= 1 && FSocksState <= 4; }
    int32_t SockType() const { return FSockType; }
    // AF_INET6 for a dual-stack socket, AF_INET for an IPv4 one.
    int Family() const { return FFamily; }
    TIpSockControl *Owner() const { return FOwner; }
    uint32_t EventMask() const { return FEventMask; }
    // True while the OS socket is still held (until Close released it).
    bool SocketHeld() const { return FSocketHeld; }
    // True once Close has begun; a later Close does nothing.
    bool Closed() const { return FClosed; }
    // Unique per object over the process's life: tells two objects apart
    // that had the same descriptor number at different times.
    uint64_t Serial() const { return FSerial; }

    bool DiscardReceived() const { return FDiscardReceived; }
    bool EchoReceived() const { return FEchoReceived; }
    bool EchoSent() const { return FEchoSent; }
    bool StripHighBit() const { return FStripHighBit; }
    bool Telnet() const { return FTelnet; }

    // Connection record of both ends (ports in host order).
    TIpConnRec ConnRec() const;

    // Next socket in the same chain of the owning socket list's hash index
    // (maintained by the list only).
    TIpBaseSocket *HashNext() const { return FHashNext; }
    void SetHashNext(TIpBaseSocket *Value) { FHashNext = Value; }

protected:
    // For the data and listen sockets: the same creation with their own
    // notification mask.
    TIpBaseSocket(TIpSockControl *Owner, TSocket Handle, const TSockAddrIn &LocalAddr,
                  const TIpBaseInits *Inits, const TIpSocksServerInfo *SocksServer, uint32_t EventMask);

    // Releases the OS socket once; the descriptor number stays reserved for
    // this object until it is destroyed, so no other socket can take over
    // its identity while messages about it may still be queued.
    void ReleaseOsSocket();
    // Close in two halves for the overrides: BeginClose is false when the
    // socket was already closed (then nothing more happens); FinishClose
    // releases the OS socket and reports skClose.
    bool BeginClose();
    void FinishClose();
    // Raises EIpWinSockError with the last error and ApiName.
    [[noreturn]] void RaiseLastError(const char *ApiName) const;

    void SetConnected(bool Value) { FConnected = Value; }
    void SetSocksState(uint8_t Value) { FSocksState = Value; }
    void SetRemoteAddr(const TSockAddrIn &Value) { FRemoteAddr = Value; }

    bool FConnected = false;
    TSocket FHandle = INVALID_SOCKET;
    std::string FRemoteHost;
    bool FDiscardReceived = false;
    bool FEchoReceived = false;
    bool FEchoSent = false;
    bool FStripHighBit = false;
    bool FTelnet = false;
    TSockAddrIn FLocalAddr{};
    TSockAddrIn FRemoteAddr{};
    std::recursive_mutex FLock;
    std::unique_ptr<TIpSocksServerInfo> FSocksInfo;
    std::string FDestName;
    uint8_t FSocksState = 0;
    int32_t FSockType = SOCK_STREAM;
    int FFamily = AF_INET;
    TIpSockControl *FOwner = nullptr;

private:
    void Create(TSocket Handle, const TSockAddrIn &LocalAddr, const TIpBaseInits *Inits,
                const TIpSocksServerInfo *SocksServer);

    uint32_t FEventMask = IpBaseSocketEvents;
    bool FSocketHeld = false;
    bool FBound = false;
    bool FClosed = false;
    bool FNumberReserved = false;
    uint64_t FSerial = 0;
    TIpBaseSocket *FHashNext = nullptr;
};
