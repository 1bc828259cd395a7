#include "socket/IpSockControl.h"

#include "platform/IpAsyncSelect.h"
#include "socket/IpDataSocket.h"
#include "socket/IpSockLogs.h"

#include <algorithm>
#include <cctype>
#include <cstring>

TIpSockControl::TIpSockControl(TComponent *AOwner) : TIpBaseComponent(AOwner)
{
    // Notification errors in the same numbering as every other socket error.
    IpSelectSetErrorTranslator(&WinSockErrorFromErrno);
    FWindow = std::make_unique<TIpMessageWindow>([this](TIpMessage &Msg) { WndProc(Msg); });
    FDebugLog.reset(IpCreateDebugLog(this));
    FEventLog.reset(IpCreateEventLog(this));
    FDataInits = std::make_unique<TIpDataInits>();
    FDefaultLocalAddr = IpAnyAddress();
    SetTimerInterval(500);
    FStatusFilter = TIpStatusKindSet{skConnect, skClose, skProgress};
    SetProtocol(0);
}

TIpSockControl::~TIpSockControl()
{
    SetTimerInterval(0);
    // Nothing may reach WndProc of a half-destroyed control.
    FWindow.reset();
    try {
        IpWriteDebugLogIfAny(FDebugLog.get());
    } catch (...) {
        IpHandleApplicationException(std::current_exception());
    }
}

TIpWnd TIpSockControl::WindowHandle() const
{
    return FWindow ? FWindow->Handle() : 0;
}

void TIpSockControl::PostMessage(uint32_t Msg, uintptr_t WParam, intptr_t LParam, std::any Payload)
{
    if (FWindow)
        FWindow->PostMessage(Msg, WParam, LParam, std::move(Payload));
}

void TIpSockControl::AddLogEntry(uint32_t Value, uint32_t Kind, const void *Data, int32_t Len)
{
    // The control formats the traffic kinds; the log formats its own (text,
    // telnet), so those carry no formatter.
    const bool Traffic = Kind >= IpLogRead && Kind <= IpLogSendApi;
    IpDebugLogAdd(FDebugLog.get(), Traffic ? LogFormatter() : nullptr, Value, Kind, Data, Len);
}

void TIpSockControl::WriteEventLog(const std::string &Text)
{
    IpEventLogWrite(FEventLog.get(), Text);
}

// ---------------------------------------------------------------------------
// Log entry text

void TIpSockControl::FormatLogEntry(uint32_t Value, uint32_t Kind, uintptr_t Data, int32_t Len, std::string &Text)
{
    const char *Unit = Len == 1 ? "byte" : "bytes";
    const int Socket = int(int32_t(Value));
    switch (Kind) {
    case IpLogRead: Text = Format("Read - %d %s read from socket %d\r\n", Len, Unit, Socket); break;
    case IpLogWrite: Text = Format("Write - %d %s written to socket %d\r\n", Len, Unit, Socket); break;
    case IpLogRecvApi: Text = Format("[%d] Recv API: %d %s read\r\n", Socket, Len, Unit); break;
    case IpLogSendApi: Text = Format("[%d] Send API: %d %s written\r\n", Socket, Len, Unit); break;
    default: Text.clear(); return;
    }
    static const char Hex[] = "0123456789ABCDEF";
    const uint8_t *Bytes = reinterpret_cast<const uint8_t *>(Data);
    for (int32_t Row = 0; Len > 0 && Row * 16 < Len; ++Row) {
        std::string Line = Format("  %6.6X: 00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00 : 0000000000000000\r\n",
                                  unsigned(Row * 16));
        for (int I = 0; I < 16; ++I) {
            const size_t HexPos = I < 8 ? size_t(10 + 3 * I) : size_t(35 + 3 * (I - 8));
            const size_t CharPos = I < 8 ? size_t(61 + I) : size_t(69 + (I - 8));
            const int32_t Index = Row * 16 + I;
            if (Index < Len && Bytes) {
                const uint8_t B = Bytes[Index];
                Line[HexPos] = Hex[B >> 4];
                Line[HexPos + 1] = Hex[B & 15];
                Line[CharPos] = (B < 32 || B > 126) ? '.' : char(B);
            } else {
                Line[HexPos] = ' ';
                Line[HexPos + 1] = ' ';
                Line[CharPos] = ' ';
            }
        }
        Text += Line;
    }
}

// ---------------------------------------------------------------------------
// Settings

bool TIpSockControl::IsActive()
{
    return false;
}

void TIpSockControl::SetProtocol(uint8_t Value)
{
    if (IsActive())
        throw EIpActiveError();
    FProtocol = Value;
    if (Value == 0) {
        FProtocolName = "tcp";
        FSocketType = SOCK_STREAM;
    } else if (Value == 1) {
        FProtocolName = "udp";
        FSocketType = SOCK_DGRAM;
    }
}

void TIpSockControl::SetTimerInterval(uint32_t Ms)
{
    if (Ms == FTimerInterval)
        return;
    FTimerInterval = Ms;
    if (!FWindow)
        return;
    FWindow->KillTimer(1);
    if (Ms != 0) {
        if (!FWindow->SetTimer(1, Ms))
            throw EOutOfResources(sIpNoTimers);
        FLastTick = IpGetTickCount();
    }
}

// ---------------------------------------------------------------------------
// Events

void TIpSockControl::DoError(TSocket Handle, int Code, const std::string &Text)
{
    if (OnError)
        OnError(this, Handle, Code, Text);
}

void TIpSockControl::DoIdleTimeout(TSocket Handle, bool &Reset)
{
    if (OnIdleTimeout)
        OnIdleTimeout(this, Handle, Reset);
}

void TIpSockControl::DoSendComplete(TSocket Handle, int32_t Id, int32_t Remaining)
{
    if (OnSendComplete)
        OnSendComplete(this, Handle, Id, Remaining);
}

void TIpSockControl::DoLineReceived(TSocket Handle, const std::string &Text)
{
    if (&Text == FHandedLine) {
        // HandOverLine's own string, given up by its caller.
        FHandedLine = nullptr;
        PostMessage(CM_IPLINEMESSAGE, Handle, 0, std::any(std::move(const_cast<std::string &>(Text))));
        return;
    }
    PostMessage(CM_IPLINEMESSAGE, Handle, 0, std::any(Text));
}

void TIpSockControl::HandOverLine(TSocket Handle, std::string &&Text)
{
    std::string Line = std::move(Text);
    // Nested hand-overs (a handler that closes another socket, which drains)
    // each mark their own line.
    const std::string *Outer = FHandedLine;
    FHandedLine = &Line;
    try {
        DoLineReceived(Handle, Line);
    } catch (...) {
        FHandedLine = Outer;
        throw;
    }
    FHandedLine = Outer;
}

TIpSockControl::TDispatchGuard::TDispatchGuard(TIpSockControl &Control) : FControl(Control)
{
    ++FControl.FDispatchDepth;
}

TIpSockControl::TDispatchGuard::~TDispatchGuard()
{
    if (--FControl.FDispatchDepth == 0) {
        try {
            FControl.DispatchFinished();
        } catch (...) {
            IpHandleApplicationException(std::current_exception());
        }
    }
}

void TIpSockControl::DispatchFinished()
{
}

std::string TIpSockControl::EndpointText(TIpSockControl &Control, const TSockAddrIn &Addr, uint16_t Port)
{
    std::string Host = Control.AddressToText(Addr);
    if (Host.empty())
        Host = "0.0.0.0";
    return IpHostPortText(Host, Port);
}

void TIpSockControl::DoStatus(TSocket Handle, TIpStatusKind Kind, const TIpConnRec &Conn)
{
    if (OnStatus && Kind <= 7 && FStatusFilter.Contains(Kind)) {
        TIpBaseSocket *Socket = FindSocket(Handle, true);
        TIpSockStatRec Stats;
        if (auto *Data = dynamic_cast<TIpDataSocket *>(Socket))
            Stats = Data->GetStatistics();
        OnStatus(this, Handle, Kind, Conn, Stats);
    }
    if (Kind == skConnect || Kind == skClose) {
        const std::string Loc = EndpointText(*this, Conn.LocAddr, Conn.LocPort);
        const std::string Rem = EndpointText(*this, Conn.RemAddr, Conn.RemPort);
        WriteEventLog(Format(Kind == skConnect ? sIpConnectLogFmt : sIpCloseLogFmt, Loc.c_str(), Rem.c_str()));
    }
}

void TIpSockControl::SocketAccept(TSocket)
{
}

void TIpSockControl::SocketClose(TSocket Handle)
{
    if (TIpBaseSocket *Socket = FindSocket(Handle, false)) {
        // Released also when the close raised: it must not stay listed.
        try {
            Socket->HandleClose();
        } catch (...) {
            ReleaseSocket(Handle);
            throw;
        }
        ReleaseSocket(Handle);
    }
}

void TIpSockControl::SocketConnect(TSocket Handle)
{
    if (TIpBaseSocket *Socket = FindSocket(Handle, false))
        Socket->HandleConnect();
}

void TIpSockControl::SocketOutOfBand(TSocket Handle)
{
    if (TIpBaseSocket *Socket = FindSocket(Handle, false))
        Socket->HandleOutOfBand();
}

void TIpSockControl::SocketRead(TSocket Handle)
{
    if (TIpBaseSocket *Socket = FindSocket(Handle, false))
        Socket->HandleRead();
}

void TIpSockControl::SocketWrite(TSocket Handle)
{
    if (TIpBaseSocket *Socket = FindSocket(Handle, false))
        Socket->HandleWrite();
}

void TIpSockControl::TimerTick()
{
    const uint32_t Now = IpGetTickCount();
    const uint32_t Elapsed = Now >= FLastTick ? Now - FLastTick : (0xFFFFFFFFu - FLastTick) + Now;
    FLastTick = Now;
    TimerElapsed(Elapsed);
}

void TIpSockControl::TimerElapsed(uint32_t)
{
}

TIpBaseSocket *TIpSockControl::FindSocket(TSocket, bool MustExist)
{
    if (MustExist)
        throw EIpNoSocketError();
    return nullptr;
}

TIpDataSocket *TIpSockControl::FindDataSocket(TSocket Handle, bool MustExist)
{
    auto *Data = dynamic_cast<TIpDataSocket *>(FindSocket(Handle, MustExist));
    if (!Data && MustExist)
        throw EIpNoSocketError();
    return Data;
}

void TIpSockControl::AddNotifyWindow(TIpWnd Wnd)
{
    FNotifyWindows.push_back(Wnd);
}

void TIpSockControl::RemoveNotifyWindow(TIpWnd Wnd)
{
    auto It = std::find(FNotifyWindows.begin(), FNotifyWindows.end(), Wnd);
    if (It != FNotifyWindows.end())
        FNotifyWindows.erase(It);
}

// ---------------------------------------------------------------------------
// Window procedure

void TIpSockControl::HandleSocketMessage(TSocket Handle, uint32_t Kind, uint32_t Error)
{
    try {
        if (Error != 0) {
            if (Kind == FD_CONNECT && ConnectFailed(Handle, int(Error)))
                return;
            const std::string Text = EIpWinSockError::FormatReport(int(Error), SocketEventName(int(Kind)));
            DoError(Handle, int(Error), Text);
            if (Kind == FD_CLOSE)
                SocketClose(Handle);
            return;
        }
        switch (Kind) {
        case FD_READ: SocketRead(Handle); break;
        case FD_WRITE: SocketWrite(Handle); break;
        case FD_OOB: SocketOutOfBand(Handle); break;
        case FD_ACCEPT: SocketAccept(Handle); break;
        case FD_CONNECT: SocketConnect(Handle); break;
        case FD_CLOSE: SocketClose(Handle); break;
        default: break;
        }
    } catch (const EIpWinSockError &E) {
        try {
            DoError(Handle, E.ErrorCode(), E.what());
        } catch (...) {
            IpHandleApplicationException(std::current_exception());
        }
    } catch (...) {
        IpHandleApplicationException(std::current_exception());
    }
}

void TIpSockControl::WndProc(TIpMessage &Msg)
{
    TDispatchGuard Dispatch(*this);
    switch (Msg.Msg) {
    case IP_WM_TIMER:
        if (Msg.WParam != 1)
            break;
        try {
            TimerTick();
        } catch (...) {
            // A failing tick stops the timer until someone sets an interval again.
            try {
                SetTimerInterval(0);
            } catch (...) {
            }
            IpHandleApplicationException(std::current_exception());
        }
        break;
    case IP_WM_QUERYENDSESSION:
        Msg.Result = 1;
        break;
    case CM_IPASYNCSELECT:
        HandleSocketMessage(TSocket(Msg.WParam), IpLoWord(Msg.LParam), IpHiWord(Msg.LParam));
        break;
    case CM_IPFREESOCKET: {
        // The message names the object it was posted for: if that object is
        // gone and another socket answers to the handle now, it stays.
        const TSocket Handle = TSocket(Msg.WParam);
        if (const uint64_t *Serial = std::any_cast<uint64_t>(&Msg.Payload)) {
            TIpBaseSocket *Socket = FindSocket(Handle, false);
            if (!Socket || Socket->Serial() != *Serial)
                break;
        }
        ReleaseSocket(Handle);
        break;
    }
    case CM_IPLINEMESSAGE: {
        std::string Line;
        if (std::string *P = std::any_cast<std::string>(&Msg.Payload))
            Line.swap(*P);
        Msg.Payload.reset();
        if (OnReadLine)
            OnReadLine(this, TSocket(Msg.WParam), Line);
        break;
    }
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Sending and addresses

int32_t TIpSockControl::PutString(TSocket Handle, const std::string &Text, bool CloseAfter)
{
    TDispatchGuard Dispatch(*this);
    return FindDataSocket(Handle, true)->PutString(Text, CloseAfter);
}

int32_t TIpSockControl::PutStream(TSocket Handle, TStream *Stream, bool CloseAfter)
{
    TDispatchGuard Dispatch(*this);
    return FindDataSocket(Handle, true)->PutStream(Stream, CloseAfter);
}

namespace {

bool AllDigits(const std::string &S)
{
    return !S.empty() && std::all_of(S.begin(), S.end(), [](char C) { return C >= '0' && C <= '9'; });
}

uint16_t PortNumber(const std::string &Text)
{
    if (!AllDigits(Text) || Text.size() > 5 || std::stoul(Text) > 65535)
        throw std::invalid_argument(Format("'%s' is not a valid integer value", Text.c_str()));
    return uint16_t(std::stoul(Text));
}

} // namespace

void TIpSockControl::SplitHostText(const std::string &RawText, std::string &Host, std::string &Port)
{
    // Blanks around a typed host are no part of it ("localhost:2121 ").
    const size_t First = RawText.find_first_not_of(" \t");
    const std::string Text =
        First == std::string::npos ? std::string() : RawText.substr(First, RawText.find_last_not_of(" \t") - First + 1);
    if (IpSplitHostPort(Text, Host, Port))
        return;
    // Anything else (a URL, user@host) is read the long way.
    TIpAddrRec Rec;
    ParseAddress(Text, Rec);
    Host = Rec.Host;
    Port = Rec.Port;
}

void TIpSockControl::ResolveAddress(const std::string &RawText, TSockAddrIn &Addr, uint16_t DefaultPort)
{
    std::vector<TSockAddrIn> All;
    ResolveAll(RawText, All, DefaultPort);
    Addr = All.empty() ? IpAddrFromV4(0, IpAddrPort(Addr)) : All.front();
}

uint16_t TIpSockControl::HostAndPort(const std::string &Text, std::string &Host, uint16_t DefaultPort)
{
    std::string Port;
    SplitHostText(Text, Host, Port);
    const uint16_t PortNo = Port.empty() ? DefaultPort : PortNumber(Port);
    if (Host.empty())
        throw EIpWinSockError(std::string(sIpDestAddrRequired));
    return PortNo;
}

uint16_t TIpSockControl::ResolveAll(const std::string &RawText, std::vector<TSockAddrIn> &Addrs, uint16_t DefaultPort)
{
    Addrs.clear();
    std::string Host;
    const uint16_t PortNo = HostAndPort(RawText, Host, DefaultPort);
    TSockAddrIn A = IpAnyAddress();
    if (NumericAddress(Host, A)) {
        IpSetAddrPort(A, PortNo);
        Addrs.push_back(A);
        return PortNo;
    }
    LookupHostAll(Host, Addrs);
    for (TSockAddrIn &Each : Addrs)
        IpSetAddrPort(Each, PortNo);
    // What failed is left as the last error for the caller.
    return PortNo;
}

bool TIpSockControl::NumericAddress(const std::string &Host, TSockAddrIn &Addr)
{
    if (IpParseNumericHost(Host, Addr))
        return true;
    // The older dotted forms ("127.1") the IPv4 parser takes as well.
    const uint32_t A = ParseDottedAddress(Host);
    if (A == INADDR_NONE)
        return false;
    Addr = IpAddrFromV4(A, 0);
    return true;
}

bool TIpSockControl::LookupHost(const std::string &Name, TSockAddrIn &Addr)
{
    if (NumericAddress(Name, Addr))
        return true;
    std::vector<TSockAddrIn> All;
    if (LookupHostAll(Name, All) != 0)
        return false;
    Addr = All.front();
    return true;
}

int TIpSockControl::LookupHostAll(const std::string &Name, std::vector<TSockAddrIn> &Addrs)
{
    Addrs.clear();
    // A NUL inside the text would cut the looked-up name short ("a\0b"
    // would resolve "a"): such text names no host.
    int Code = WSAHOST_NOT_FOUND;
    if (Name.find('\0') == std::string::npos)
        Code = IpLookupAll(Name, Addrs);
    if (Code != 0)
        WinSockAccess().WSASetLastError(Code);
    return Code;
}

uint32_t TIpSockControl::ParseDottedAddress(const std::string &Text)
{
    return WinSockAccess().inet_addr(Text.substr(0, 15).c_str());
}

std::string TIpSockControl::AddressToText(uint32_t NetAddr)
{
    TInAddr In;
    In.s_addr = NetAddr;
    return WinSockAccess().inet_ntoa(In);
}

std::string TIpSockControl::AddressToText(const TSockAddrIn &Addr)
{
    return IpAddrText(Addr);
}

std::string TIpSockControl::WsaDescription() const
{
    return WinSockAccess().WSAData().szDescription;
}

std::string TIpSockControl::WsaSystemStatus() const
{
    return WinSockAccess().WSAData().szSystemStatus;
}

uint16_t TIpSockControl::WsaVersion() const
{
    return WinSockAccess().WSAData().wVersion;
}
