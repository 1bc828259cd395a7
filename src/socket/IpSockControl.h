#pragma once
// The component that owns socket objects and connects them to the outside
// world: its window receives the readiness notifications of all its
// sockets, a 500 ms tick drives progress reports and idle time-outs, and what
// the sockets report becomes the control's events. Finding, creating and
// releasing socket objects is left to descendants (the multi-socket control).

#include <any>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/IpStreams.h"
#include "platform/IpPlatform.h"
#include "socket/IpSock.h"

// Users of DebugLog() and EventLog() include base/IpDebugLog.h and
// base/IpEventLog.h; the logs are created and destroyed in one place.
class TIpDebugLog;
class TIpEventLog;
struct TIpDebugLogDeleter
{
    void operator()(TIpDebugLog *Log) const;
};
struct TIpEventLogDeleter
{
    void operator()(TIpEventLog *Log) const;
};

class TIpSockControl : public TIpBaseComponent
{
public:
    explicit TIpSockControl(TComponent *AOwner = nullptr);
    ~TIpSockControl() override;

    // Turns the data entry kinds of the socket layer into text (header
    // line and hex dump); other kinds give no text.
    static void FormatLogEntry(uint32_t Value, uint32_t Kind, uintptr_t Data, int32_t Len, std::string &Text);
    TIpLogFormatter LogFormatter() const override { return &TIpSockControl::FormatLogEntry; }

    // --- virtual operations
    virtual TSocket CreateSocket() = 0;
    virtual void ReleaseSocket(TSocket Handle) = 0;
    virtual bool IsActive();
    virtual void SetProtocol(uint8_t Value);
    virtual void DoError(TSocket Handle, int Code, const std::string &Text);
    virtual void DoIdleTimeout(TSocket Handle, bool &Reset);
    virtual void DoSendComplete(TSocket Handle, int32_t Id, int32_t Remaining);
    // Posts the line (message 4756): it reaches OnReadLine later, from the
    // event loop, in cutting order and without any socket lock held. A line
    // that came through HandOverLine is moved into the message, not copied:
    // an override that calls this must not use Text afterwards.
    virtual void DoLineReceived(TSocket Handle, const std::string &Text);
    // How a socket hands a line it has cut to DoLineReceived: the text is
    // given up, so that the base DoLineReceived can move it.
    void HandOverLine(TSocket Handle, std::string &&Text);
    virtual void DoStatus(TSocket Handle, TIpStatusKind Kind, const TIpConnRec &Conn);
    // TLS started on a connected socket has finished its handshake (and the
    // certificate passed); failures come through DoError.
    virtual void DoTlsReady(TSocket Handle) {}
    // A connect has failed with Error: true when the control deals with it
    // itself (by trying another address), false for the usual error event.
    virtual bool ConnectFailed(TSocket, int) { return false; }
    virtual void SocketAccept(TSocket Handle);
    virtual void SocketClose(TSocket Handle);
    virtual void SocketConnect(TSocket Handle);
    virtual void SocketOutOfBand(TSocket Handle);
    virtual void SocketRead(TSocket Handle);
    virtual void TimerTick();
    virtual void TimerElapsed(uint32_t Ms);
    virtual void SocketWrite(TSocket Handle);
    // The socket object of Handle; none here. With MustExist a missing
    // socket raises EIpNoSocketError "Socket not assigned".
    virtual TIpBaseSocket *FindSocket(TSocket Handle, bool MustExist);
    virtual void WndProc(TIpMessage &Msg);
    virtual void AddNotifyWindow(TIpWnd Wnd);
    virtual void RemoveNotifyWindow(TIpWnd Wnd);

    // FindSocket narrowed to data sockets: a handle of another kind of
    // socket counts as missing.
    TIpDataSocket *FindDataSocket(TSocket Handle, bool MustExist);

    // Socket objects may be freed only when no socket operation is running
    // below on the stack: a handler that closes a socket from inside that
    // socket's own callback must not free it under its feet. Everything that
    // calls into socket objects (notifications, ticks, sends, closes) runs
    // inside a dispatch; DispatchFinished runs when the outermost one ends.
    class TDispatchGuard
    {
    public:
        explicit TDispatchGuard(TIpSockControl &Control);
        ~TDispatchGuard();
        TDispatchGuard(const TDispatchGuard &) = delete;
        TDispatchGuard &operator=(const TDispatchGuard &) = delete;

    private:
        TIpSockControl &FControl;
    };
    int DispatchDepth() const { return FDispatchDepth; }

    // --- other operations
    void SetTimerInterval(uint32_t Ms);
    int32_t PutString(TSocket Handle, const std::string &Text, bool CloseAfter);
    int32_t PutStream(TSocket Handle, TStream *Stream, bool CloseAfter);
    // Host[:port] text to a socket address (the first of a name's); DefaultPort
    // when the text names none. The host forms are those of IpSplitHostPort
    // (a dotless name followed by ":" and digits is that host and port);
    // other text is read as an address (URL) by ParseAddress. No host
    // raises EIpWinSockError "Destination address required"; a name that
    // does not resolve gives the unspecified address with the error left
    // in WSAGetLastError.
    void ResolveAddress(const std::string &Text, TSockAddrIn &Addr, uint16_t DefaultPort);
    // The same with every address of a name, in the resolver's order (none
    // when it does not resolve); returns the port.
    uint16_t ResolveAll(const std::string &Text, std::vector<TSockAddrIn> &Addrs, uint16_t DefaultPort);
    // Host and port text of a typed host, without looking anything up.
    static void SplitHostText(const std::string &Text, std::string &Host, std::string &Port);
    // The host of Text and its port number (DefaultPort when it names none);
    // raises as ResolveAddress does for no host or a bad port.
    static uint16_t HostAndPort(const std::string &Text, std::string &Host, uint16_t DefaultPort);
    // A numeric host (IPv4 in any dotted form, IPv6 literal) to an address.
    bool NumericAddress(const std::string &Host, TSockAddrIn &Addr);
    // The address of a numeric host or the first of a name; false when it
    // does not resolve (the error in WSAGetLastError).
    bool LookupHost(const std::string &Name, TSockAddrIn &Addr);
    // Every address of Name, both families; 0 or the socket error code.
    virtual int LookupHostAll(const std::string &Name, std::vector<TSockAddrIn> &Addrs);
    // inet_addr of at most the first 15 characters; all ones when invalid.
    uint32_t ParseDottedAddress(const std::string &Text);
    std::string AddressToText(uint32_t NetAddr);
    // "1.2.3.4" or "::1".
    std::string AddressToText(const TSockAddrIn &Addr);
    std::string WsaDescription() const;
    std::string WsaSystemStatus() const;
    uint16_t WsaVersion() const;

    // Posts a message to this control's window (delivered to WndProc later).
    void PostMessage(uint32_t Msg, uintptr_t WParam, intptr_t LParam, std::any Payload = {});
    // Adds an entry to the debug log (no-op while it is disabled). The
    // four traffic kinds are formatted by this class, every other kind by
    // the log itself (text entries, telnet entries).
    void AddLogEntry(uint32_t Value, uint32_t Kind, const void *Data, int32_t Len);
    // Writes a line to the event log (no-op while it is disabled).
    void WriteEventLog(const std::string &Text);

    // --- properties
    TIpDebugLog *DebugLog() const { return FDebugLog.get(); }
    TIpEventLog *EventLog() const { return FEventLog.get(); }
    TIpDataInits *DataInits() const { return FDataInits.get(); }
    TIpWnd WindowHandle() const;
    uint8_t Protocol() const { return FProtocol; }
    TIpStatusKindSet StatusFilter() const { return FStatusFilter; }
    void SetStatusFilter(TIpStatusKindSet Value) { FStatusFilter = Value; }
    uint32_t TimerInterval() const { return FTimerInterval; }
    uint32_t LastTick() const { return FLastTick; }
    const std::string &ProtocolName() const { return FProtocolName; }
    int32_t SocketType() const { return FSocketType; }
    const TSockAddrIn &DefaultLocalAddr() const { return FDefaultLocalAddr; }
    void SetDefaultLocalAddr(const TSockAddrIn &Value) { FDefaultLocalAddr = Value; }
    const std::vector<TIpWnd> &NotifyWindows() const { return FNotifyWindows; }

    // --- events
    TIpErrorEvent OnError;
    TIpIdleTimeoutEvent OnIdleTimeout;
    TIpSendCompleteEvent OnSendComplete;
    TIpReadLineEvent OnReadLine;
    TIpStatusEvent OnStatus;

protected:
    // The outermost dispatch has ended: frees what was released meanwhile.
    virtual void DispatchFinished();
    void HandleSocketMessage(TSocket Handle, uint32_t Kind, uint32_t Error);
    static std::string EndpointText(TIpSockControl &Control, const TSockAddrIn &Addr, uint16_t Port);

    std::unique_ptr<TIpDebugLog, TIpDebugLogDeleter> FDebugLog;
    std::unique_ptr<TIpEventLog, TIpEventLogDeleter> FEventLog;
    std::unique_ptr<TIpMessageWindow> FWindow;
    std::unique_ptr<TIpDataInits> FDataInits;
    uint8_t FProtocol = 0;
    TIpStatusKindSet FStatusFilter{skConnect, skClose, skProgress};
    uint32_t FTimerInterval = 0;
    uint32_t FLastTick = 0;
    std::string FProtocolName = "tcp";
    int32_t FSocketType = SOCK_STREAM;
    std::vector<TIpWnd> FNotifyWindows;
    TSockAddrIn FDefaultLocalAddr{};
    int FDispatchDepth = 0;
    // The line being handed over by HandOverLine (none outside it).
    const std::string *FHandedLine = nullptr;
};
