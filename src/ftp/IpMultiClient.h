#pragma once
// The multi-socket base of the FTP client: a list of sockets with a hash
// index by handle, a socket control that owns any number of sockets in such
// a list, and a client-side control that makes outgoing sockets (through an
// optional SOCKS proxy) and connects them.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "socket/IpBaseSocket.h"
#include "socket/IpDataSocket.h"
#include "socket/IpListenSocket.h"
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
    // Connects an existing socket (the control connection). A name that
    // does not resolve is reported through DoError with "Fd_Connect".
    void ConnectHandle(TSocket Handle, const std::string &Address);

    uint16_t DefaultPort() const { return FDefaultPort; }
    void SetDefaultPort(uint16_t Value) { FDefaultPort = Value; }
    TIpSocksServerInfo *SocksServer() const { return FSocksServer.get(); }

protected:
    uint16_t FDefaultPort = 0;
    std::unique_ptr<TIpSocksServerInfo> FSocksServer;
};
