#pragma once
// The one door to the operating system's sockets. The engine was shaped
// around the WinSock calling conventions (handles, -1 failures, a per-thread
// last error in WinSock numbering), so the access object keeps those
// conventions over the POSIX socket calls: sockets are non-blocking and errno is translated into the WinSock codes the engine
// tests by number.

#include <cstdint>
#include <string>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "base/IpAddress.h"
#include "base/IpUtils.h"

// glibc may define these as macros when optimising; the access object has
// member functions of the same names, and the plain functions remain.
#ifdef htons
#undef htons
#endif
#ifdef ntohs
#undef ntohs
#endif

// Socket handle: the descriptor number; all bits set means none.
using TSocket = uint32_t;
inline constexpr TSocket INVALID_SOCKET = 0xFFFFFFFFu;
inline constexpr int SOCKET_ERROR = -1;

using TSockAddr = sockaddr;
using TInAddr = in_addr;

// shutdown directions
inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

// Readiness notification codes (low 16 bits of a notification).
inline constexpr int FD_READ = 1;
inline constexpr int FD_WRITE = 2;
inline constexpr int FD_OOB = 4;
inline constexpr int FD_ACCEPT = 8;
inline constexpr int FD_CONNECT = 16;
inline constexpr int FD_CLOSE = 32;

// Message number of a socket readiness notification.
inline constexpr int CM_IPASYNCSELECT = 4753;

// Socket error codes (WinSock numbering).
inline constexpr int WSABASEERR = 10000;
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETOOMANYREFS = 10059;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAENOTEMPTY = 10066;
inline constexpr int WSAEPROCLIM = 10067;
inline constexpr int WSAEUSERS = 10068;
inline constexpr int WSAEDQUOT = 10069;
inline constexpr int WSAESTALE = 10070;
inline constexpr int WSAEREMOTE = 10071;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAEDISCON = 10101;
inline constexpr int WSAENOMORE = 10102;
inline constexpr int WSAECANCELLED = 10103;
inline constexpr int WSASYSCALLFAILURE = 10107;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// Socket interface information record (filled by WSAStartup).
struct TWSAData
{
    uint16_t wVersion = 0;      // low byte major, high byte minor
    uint16_t wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
    uint16_t iMaxSockets = 0;
    uint16_t iMaxUdpDg = 0;
    char *lpVendorInfo = nullptr;
};

// Error translation (exposed for the socket layer and the tests).
int WinSockErrorFromErrno(int Errno);
// getaddrinfo failure (EAI_*) into 11001..11004 (or a socket code for
// EAI_SYSTEM / EAI_MEMORY). SysErrno is errno at the time of the failure.
int WinSockErrorFromResolver(int GaiError, int SysErrno = 0);
// The errno a socket code stands for; 0 when it has none.
int ErrnoFromWinSockError(int Code);

// The message text for a socket error code.
std::string WinSockErrorText(int Code);
// "Fd_Read", "Fd_Write", "Fd_Oob", "Fd_Accept", "Fd_Connect", "Fd_Close";
// empty for any other value (combinations included).
std::string SocketEventName(int Event);

class TIpWinSockAccess : public TIpBaseAccess
{
public:
    // Starts the interface (version 2.2); a refusal raises EIpWinSockError
    // with "WSAStartup".
    TIpWinSockAccess();
    ~TIpWinSockAccess() override;

    const TWSAData &WSAData() const { return FWSAData; }

    // The socket functions. Failures return SOCKET_ERROR (or INVALID_SOCKET,
    // null) and leave the code in WSAGetLastError() for the calling thread.
    TSocket socket(int af, int type, int protocol);
    int bind(TSocket s, const TSockAddr *name, int namelen);
    int listen(TSocket s, int backlog);
    TSocket accept(TSocket s, TSockAddr *addr, int *addrlen);
    // Non-blocking: SOCKET_ERROR with WSAEWOULDBLOCK while the connection is
    // under way.
    int connect(TSocket s, const TSockAddr *name, int namelen);
    int recv(TSocket s, void *buf, int len, int flags);
    // Never raises SIGPIPE on a closed peer.
    int send(TSocket s, const void *buf, int len, int flags);
    int shutdown(TSocket s, int how);
    int closesocket(TSocket s);
    int getsockname(TSocket s, TSockAddr *name, int *namelen);
    int getpeername(TSocket s, TSockAddr *name, int *namelen);
    int getsockopt(TSocket s, int level, int optname, void *optval, int *optlen);
    int setsockopt(TSocket s, int level, int optname, const void *optval, int optlen);
    // Synchronous IPv4 lookup. The entry (per thread, valid until the next
    // call on that thread) holds the first IPv4 address; null on failure
    // with 11001..11004 as the error.
    const hostent *gethostbyname(const char *name);
    // Network-order address; INADDR_NONE (all ones) for text that is not a
    // dotted address.
    uint32_t inet_addr(const char *cp);
    // Dotted text in a per-thread buffer.
    const char *inet_ntoa(TInAddr in);
    uint16_t htons(uint16_t hostshort);
    uint16_t ntohs(uint16_t netshort);

    int WSAStartup(uint16_t wVersionRequired, TWSAData *lpWSAData);
    int WSACleanup();
    int WSAGetLastError();
    void WSASetLastError(int Error);
    // The errno behind the calling thread's last failure (EINPROGRESS for a
    // connect under way), for the readiness emulation, which works in errno.
    int LastSysError();

    bool Started() const { return FStarted; }

private:
    TWSAData FWSAData;
    bool FStarted = false;
};

// The process-wide access object, created (and started) at first use; it
// lives until the process ends.
TIpWinSockAccess &WinSockAccess();

// A socket call failed. Message "WinSock Error (%d): %s, on API '%s'", or a
// plain text with ErrorCode 0.
class EIpWinSockError : public EIpBaseException
{
public:
    EIpWinSockError(int ErrCode, const std::string &ApiName);
    explicit EIpWinSockError(const std::string &Msg) : EIpBaseException(Msg), FErrorCode(0) {}
    int ErrorCode() const { return FErrorCode; }

    // The report text without raising (for error events).
    static std::string FormatReport(int ErrCode, const std::string &ApiName);

private:
    int FErrorCode;
};

// "Cannot set property on an active socket"
class EIpActiveError : public EIpBaseException
{
public:
    EIpActiveError();
    explicit EIpActiveError(const std::string &Msg) : EIpBaseException(Msg) {}
};

// "Socket not assigned"
class EIpNoSocketError : public EIpBaseException
{
public:
    EIpNoSocketError();
    explicit EIpNoSocketError(const std::string &Msg) : EIpBaseException(Msg) {}
};

// "Stream not assigned"
class EIpProgrammerError : public EIpBaseException
{
public:
    EIpProgrammerError();
    explicit EIpProgrammerError(const std::string &Msg) : EIpBaseException(Msg) {}
};
