#pragma once
// The multi-socket base of the FTP client: a list of sockets with a hash
// index by handle, a socket control that owns any number of sockets in such
// a list, and a client-side control that makes outgoing sockets (through an
// optional SOCKS proxy) and connects them.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "socket/IpBaseSocket.h"
#include "socket/IpDataSocket.h"
#include "socket/IpListenSocket.h"
#include "socket/IpResolver.h"
#include "socket/IpSockControl.h"

class TIpSocketList : public TObject
{
public:
    static constexpr uint32_t BucketCount = 127;

    TIpSocketList();
    ~TIpSocketList() override;

    // Links Socket at the head of its bucket's chain, then appends it. The
    // list owns it from here on.
    void Add(TIpBaseSocket *Socket);
    // Closes (reporting skClose to the owner) and frees every socket, from
    // the last added to the first.
    void Clear();
    // HandleTimer(Ms) of every socket in list order; stops quietly when
    // sockets disappear under it.
    void TickSockets(uint32_t Ms);
    void Delete(int Index);
    void Unhash(int Index);
    int IndexOfHandle(TSocket Handle);
    TIpBaseSocket *FindSocket(TSocket Handle);
    void Remove(TSocket Handle);
    static uint32_t HashOf(TSocket Handle) { return uint32_t(Handle) % BucketCount; }
    int Count();
    TIpBaseSocket *Items(int Index);
    int IndexOf(TIpBaseSocket *Socket);

    // Asked with every socket leaving the list (unhashed and removed
    // already): true when the hook has taken the socket over and will free
    // it later, false to have it freed at once.
    using TFreeHook = std::function<bool(TIpBaseSocket *Socket)>;
    void SetFreeHook(TFreeHook Hook) { FFreeHook = std::move(Hook); }

    void Lock() { FLock.lock(); }
    void Unlock() { FLock.unlock(); }

private:
    std::vector<TIpBaseSocket *> FList;
    TIpBaseSocket *FBuckets[BucketCount] = {};
    std::recursive_mutex FLock;
    TFreeHook FFreeHook;
};

class TIpMultiSockControl : public TIpSockControl
{
public:
    explicit TIpMultiSockControl(TComponent *AOwner = nullptr);
    ~TIpMultiSockControl() override;

    TSocket CreateSocket() override;
    void ReleaseSocket(TSocket Handle) override;
    bool IsActive() override;
    void DoStatus(TSocket Handle, TIpStatusKind Kind, const TIpConnRec &Conn) override;
    void TimerElapsed(uint32_t Ms) override;
    TIpBaseSocket *FindSocket(TSocket Handle, bool MustExist) override;

    virtual void CloseAllSockets();
    virtual void CloseSocket(TSocket Handle);

    void AddSocket(TIpBaseSocket *Socket);
    bool IsSocketConnected(TSocket Handle);
    uint32_t GetSocketIdleTimeout(TSocket Handle);
    void SetSocketIdleTimeout(TSocket Handle, uint32_t Ms);
    void SetSocketReceiveMode(TSocket Handle, TIpReceiveMode Mode);
    void SetSocketReceiveStream(TSocket Handle, TStream *Stream);

    TIpSocketList *SocketList() const { return FSocketList.get(); }
    // Sockets released during a dispatch, freed when it ends.
    size_t PendingFreeCount() const { return FPendingFree.size(); }

protected:
    void DispatchFinished() override;
    void FreePending();

    std::unique_ptr<TIpSocketList> FSocketList;
    std::vector<TIpBaseSocket *> FPendingFree;
};

class TIpCustomMultiClient : public TIpMultiSockControl
{
public:
    explicit TIpCustomMultiClient(TComponent *AOwner = nullptr);
    ~TIpCustomMultiClient() override;

    // A new data socket with SocksServer, the data-socket settings and
    // DefaultLocalAddr, added to the socket list.
    TSocket CreateSocket() override;
    // CreateSocket, then connect it to Address (DefaultPort when it names
    // no port). Used for passive data connections.
    virtual TSocket ConnectSocket(const std::string &Address);
    // Connects an existing socket (the control connection). A numeric host
    // is connected at once; a name is looked up by the resolver, off the
    // event loop, and its addresses are tried in the resolver's order, each
    // for at most ConnectTimeout(). A name that does not resolve, and the
    // last address's failure, are reported through DoError with
    // "Fd_Connect" (the latter saying how many addresses were tried).
    // Closing the socket meanwhile drops the lookup's result.
    void ConnectHandle(TSocket Handle, const std::string &Address);

    uint16_t DefaultPort() const { return FDefaultPort; }
    void SetDefaultPort(uint16_t Value) { FDefaultPort = Value; }
    TIpSocksServerInfo *SocksServer() const { return FSocksServer.get(); }
    void SetResolver(std::shared_ptr<TIpResolver> Value) { FResolver = std::move(Value); }
    uint32_t ConnectTimeout() const { return FConnectTimeout; }
    void SetConnectTimeout(uint32_t Ms) { FConnectTimeout = Ms; }
    // A lookup has been started and its result has not come.
    bool LookupPending() const { return !FLookups.empty(); }

    void WndProc(TIpMessage &Msg) override;
    void TimerElapsed(uint32_t Ms) override;
    bool ConnectFailed(TSocket Handle, int Error) override;

protected:
    // A connect to Addr is about to start on Handle.
    virtual void DoConnecting(TSocket, const TSockAddrIn &) {}

    uint16_t FDefaultPort = 0;
    std::unique_ptr<TIpSocksServerInfo> FSocksServer;

private:
    struct TLookup
    {
        TSocket Handle = INVALID_SOCKET;
        uint64_t Serial = 0;
        uint16_t Port = 0;
        std::string HostText;
    };
    struct TAttempts
    {
        uint64_t Serial = 0;
        std::vector<TSockAddrIn> Addrs;
        size_t Next = 0;
        std::string HostText;
        uint32_t Elapsed = 0;
        int LastError = 0;
        std::string LastText;
    };
    void Resolved(uint64_t Id, int Error, std::vector<TSockAddrIn> *Addrs);
    // Connects to the next address left; when none is, reports the last
    // failure.
    void ConnectNext(TSocket Handle);
    // The attempts of Handle, when they are still those of its socket.
    TAttempts *AttemptsOf(TSocket Handle);

    std::shared_ptr<TIpResolver> FResolver = IpDefaultResolver();
    uint32_t FConnectTimeout = 15000;
    uint64_t FNextLookup = 1;
    std::map<uint64_t, TLookup> FLookups;
    std::map<TSocket, TAttempts> FAttempts;
};
