#include "base/IpWinSock.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "base/IpConst.h"

namespace {

thread_local int LastError = 0;
thread_local int LastErrno = 0;

struct TErrnoMap
{
    int Errno;
    int Code;
};

// errno -> socket code. The first row for a code is also the errno it maps
// back to when its text is wanted.
const TErrnoMap ErrnoMap[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {ENOTSUP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    // Linux reports a send on a connection the peer has reset (or closed
    // while data was unread) as EPIPE, where Windows reports the reset.
    {EPIPE, WSAECONNRESET},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENOTEMPTY, WSAENOTEMPTY},
    {EUSERS, WSAEUSERS},
    {EDQUOT, WSAEDQUOT},
    {ESTALE, WSAESTALE},
    {EREMOTE, WSAEREMOTE},
    {ECANCELED, WSAECANCELLED},
};

struct TErrorText
{
    int Code;
    const char *Text;
};

const TErrorText ErrorTexts[] = {
    {10004, "Interrupted function call"},
    {10009, "Bad file descriptor"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Resource temporarily unavailable"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on nonsocket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Cannot assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Cannot send after socket shutdown"},
    {10059, "Too many references; cannot splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disk quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "WinSock DLL version not supported"},
    {10093, "Successful WSAStartup not yet performed"},
    {10101, "Graceful shutdown in progress"},
    {10102, "No more data available"},
    {10103, "Cancelled"},
    {10104, "Invalid procedure table from service provider"},
    {10105, "Invalid service provider version number"},
    {10106, "Unable to initialize a service provider"},
    {10107, "System call failure"},
    {10108, "Service not found"},
    {10109, "Type not found"},
    {10110, "No more data available"},
    {10111, "Lookup cancelled"},
    {10112, "Refused"},
    {11001, "Host not found"},
    {11002, "Nonauthoritative host not found"},
    {11003, "This is a nonrecoverable error"},
    {11004, "Valid name, no data record of requested type"},
    {11005, "At least one Reserve has arrived"},
    {11006, "At least one Path has arrived"},
    {11007, "There are no senders"},
    {11008, "There are no receivers"},
    {11009, "Reserve has been confirmed"},
    {11010, "Error due to lack of resources"},
    {11011, "Rejected for administrative reasons - bad credentials"},
    {11012, "Unknown or conflicting style"},
    {11013, "Problem filterspec or providerspecific buffer"},
    {11014, "Problem with some part of the flowspec"},
    {11015, "General error"},
};

std::string SysText(int Err)
{
    char Buf[256];
    const char *T = strerror_r(Err, Buf, sizeof(Buf));
    return T ? std::string(T) : std::string();
}

// Records the calling thread's error from errno; returns SOCKET_ERROR.
int Fail()
{
    LastErrno = errno;
    LastError = WinSockErrorFromErrno(LastErrno);
    return SOCKET_ERROR;
}

// A failure found before any system call; errno is set to match so that a
// caller reading errno sees the same story.
int FailWith(int Code)
{
    const int Errno = ErrnoFromWinSockError(Code);
    LastErrno = Errno;
    if (Errno)
        errno = Errno;
    LastError = Code;
    return SOCKET_ERROR;
}

// A handle the POSIX calls can take: descriptor numbers fit an int.
bool ValidHandle(TSocket s)
{
    return s != INVALID_SOCKET && s <= static_cast<TSocket>(INT_MAX);
}

bool ValidLength(const int *Len)
{
    return Len && *Len >= 0;
}

// Per-thread host entry handed out by gethostbyname.
struct THostEntryBuf
{
    hostent Entry{};
    std::string Name;
    in_addr Addr{};
    char *AddrList[2] = {nullptr, nullptr};
    char *Aliases[1] = {nullptr};
};

thread_local THostEntryBuf HostEntry;

} // namespace

// ---------------------------------------------------------------------------

int WinSockErrorFromErrno(int Errno)
{
    if (Errno == 0)
        return 0;
    for (const TErrnoMap &M : ErrnoMap)
        if (M.Errno == Errno)
            return M.Code;
    // No counterpart: keep the errno itself, which lies below the socket
    // range and so is shown with the system's own text.
    return Errno;
}

int WinSockErrorFromResolver(int GaiError, int SysErrno)
{
    switch (GaiError) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SYSTEM: return SysErrno ? WinSockErrorFromErrno(SysErrno) : WSANO_RECOVERY;
    default: return WSANO_RECOVERY;
    }
}

int ErrnoFromWinSockError(int Code)
{
    for (const TErrnoMap &M : ErrnoMap)
        if (M.Code == Code)
            return M.Errno;
    return 0;
}

std::string WinSockErrorText(int Code)
{
    for (const TErrorText &T : ErrorTexts)
        if (T.Code == Code)
            return T.Text;
    // Outside the table: the system's text. A socket-range code with an
    // errno counterpart gets that errno's text; anything else is passed to
    // the system as it is (glibc then says "Unknown error <n>").
    const int Errno = ErrnoFromWinSockError(Code);
    return SysText(Errno ? Errno : Code);
}

std::string SocketEventName(int Event)
{
    switch (Event) {
    case FD_READ: return "Fd_Read";
    case FD_WRITE: return "Fd_Write";
    case FD_OOB: return "Fd_Oob";
    case FD_ACCEPT: return "Fd_Accept";
    case FD_CONNECT: return "Fd_Connect";
    case FD_CLOSE: return "Fd_Close";
    default: return std::string();
    }
}

// ---------------------------------------------------------------------------

TIpWinSockAccess::TIpWinSockAccess()
{
    const int Res = WSAStartup(0x0202, &FWSAData);
    if (Res != 0)
        throw EIpWinSockError(Res, sApiWSAStartup);
}

TIpWinSockAccess::~TIpWinSockAccess()
{
    if (FStarted)
        WSACleanup();
}

TSocket TIpWinSockAccess::socket(int af, int type, int protocol)
{
    // Every socket is non-blocking from birth: the engine never waits in a
    // socket call. Close-on-exec keeps them out of child processes.
    const int Fd = ::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (Fd < 0) {
        Fail();
        return INVALID_SOCKET;
    }
    return static_cast<TSocket>(Fd);
}

int TIpWinSockAccess::bind(TSocket s, const TSockAddr *name, int namelen)
{
    if (!ValidHandle(s))
        return FailWith(WSAENOTSOCK);
    if (!name || namelen < 0)
        return FailWith(WSAEFAULT);
    if (::bind(static_cast<int>(s), name, static_cast<socklen_t>(namelen)) != 0)
        return Fail();
    return 0;
}

int TIpWinSockAccess::listen(TSocket s, int backlog)
{
    if (!ValidHandle(s))
        return FailWith(WSAENOTSOCK);
    if (::listen(static_cast<int>(s), backlog) != 0)
        return Fail();
    return 0;
}

TSocket TIpWinSockAccess::accept(TSocket s, TSockAddr *addr, int *addrlen)
{
    if (!ValidHandle(s)) {
        FailWith(WSAENOTSOCK);
        return INVALID_SOCKET;
    }
    if (addr && !ValidLength(addrlen)) {
        FailWith(WSAEFAULT);
        return INVALID_SOCKET;
    }
    socklen_t Len = addrlen ? static_cast<socklen_t>(*addrlen) : 0;
    int Fd;
    do
        Fd = ::accept4(static_cast<int>(s), addr, addr ? &Len : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    while (Fd < 0 && errno == EINTR);
    if (Fd < 0) {
        Fail();
        return INVALID_SOCKET;
    }
    if (addr && addrlen)
        *addrlen = static_cast<int>(Len);
    return static_cast<TSocket>(Fd);
}

int TIpWinSockAccess::connect(TSocket s, const TSockAddr *name, int namelen)
{
    if (!ValidHandle(s))
        return FailWith(WSAENOTSOCK);
    if (!name || namelen < 0)
        return FailWith(WSAEFAULT);
    if (::connect(static_cast<int>(s), name, static_cast<socklen_t>(namelen)) == 0)
        return 0;
    // A non-blocking connect under way is the would-block of WinSock; an
    // interrupted one also goes on in the background.
    if (errno == EINPROGRESS || errno == EINTR) {
        LastErrno = errno = EINPROGRESS;
        LastError = WSAEWOULDBLOCK;
        return SOCKET_ERROR;
    }
    return Fail();
}

int TIpWinSockAccess::recv(TSocket s, void *buf, int len, int flags)
{
    if (!ValidHandle(s))
        return FailWith(WSAENOTSOCK);
    if (len < 0 || (!buf && len > 0))
        return FailWith(WSAEFAULT);
    ssize_t N;
    do
        N = ::recv(static_cast<int>(s), buf, static_cast<size_t>(len), flags | MSG_DONTWAIT);
    while (N < 0 && errno == EINTR);
    if (N < 0)
        return Fail();
    return static_cast<int>(N);
}

int TIpWinSockAccess::send(TSocket s, const void *buf, int len, int flags)
{
    if (!ValidHandle(s))
        return FailWith(WSAENOTSOCK);
    if (len < 0 || (!buf && len > 0))
        return FailWith(WSAEFAULT);
    ssize_t N;
    do
        N = ::send(static_cast<int>(s), buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL | MSG_DONTWAIT);
    while (N < 0 && errno == EINTR);
    if (N < 0)
        return Fail();
    return static_cast<int>(N);
}

int TIpWinSockAccess::shutdown(TSocket s, int how)
{
    if (!ValidHandle(s))
        return FailWith(WSAENOTSOCK);
    if (::shutdown(static_cast<int>(s), how) != 0)
        return Fail();
    return 0;
}

int TIpWinSockAccess::closesocket(TSocket s)
{
    if (!ValidHandle(s))
        return FailWith(WSAENOTSOCK);
    // Linux releases the descriptor even when close reports EINTR; retrying
    // could close a descriptor another thread has just been given.
    if (::close(static_cast<int>(s)) != 0 && errno != EINTR)
        return Fail();
    return 0;
}

int TIpWinSockAccess::getsockname(TSocket s, TSockAddr *name, int *namelen)
{
    if (!ValidHandle(s))
        return FailWith(WSAENOTSOCK);
    if (!name || !ValidLength(namelen))
        return FailWith(WSAEFAULT);
    socklen_t Len = static_cast<socklen_t>(*namelen);
    if (::getsockname(static_cast<int>(s), name, &Len) != 0)
        return Fail();
    *namelen = static_cast<int>(Len);
    return 0;
}

int TIpWinSockAccess::getpeername(TSocket s, TSockAddr *name, int *namelen)
{
    if (!ValidHandle(s))
        return FailWith(WSAENOTSOCK);
    if (!name || !ValidLength(namelen))
        return FailWith(WSAEFAULT);
    socklen_t Len = static_cast<socklen_t>(*namelen);
    if (::getpeername(static_cast<int>(s), name, &Len) != 0)
        return Fail();
    *namelen = static_cast<int>(Len);
    return 0;
}

int TIpWinSockAccess::getsockopt(TSocket s, int level, int optname, void *optval, int *optlen)
{
    if (!ValidHandle(s))
        return FailWith(WSAENOTSOCK);
    if (!optval || !ValidLength(optlen))
        return FailWith(WSAEFAULT);
    socklen_t Len = static_cast<socklen_t>(*optlen);
    if (::getsockopt(static_cast<int>(s), level, optname, optval, &Len) != 0)
        return Fail();
    *optlen = static_cast<int>(Len);
    return 0;
}

int TIpWinSockAccess::setsockopt(TSocket s, int level, int optname, const void *optval, int optlen)
{
    if (!ValidHandle(s))
        return FailWith(WSAENOTSOCK);
    if ((!optval && optlen > 0) || optlen < 0)
        return FailWith(WSAEFAULT);
    if (::setsockopt(static_cast<int>(s), level, optname, optval, static_cast<socklen_t>(optlen)) != 0)
        return Fail();
    return 0;
}

const hostent *TIpWinSockAccess::gethostbyname(const char *name)
{
    if (!name) {
        FailWith(WSAEFAULT);
        return nullptr;
    }
    // Host names are at most 255 bytes; longer text (or text with control
    // bytes, which the resolver would pass on) is not a name.
    const size_t Len = std::strlen(name);
    const bool Control = std::any_of(name, name + Len, [](char C) {
        return static_cast<unsigned char>(C) < 0x20 || static_cast<unsigned char>(C) == 0x7F;
    });
    if (Len == 0 || Len > 255 || Control) {
        FailWith(WSAHOST_NOT_FOUND);
        return nullptr;
    }
    addrinfo Hints{};
    Hints.ai_family = AF_INET;
    Hints.ai_socktype = SOCK_STREAM;
    addrinfo *Res = nullptr;
    const int Rc = ::getaddrinfo(name, nullptr, &Hints, &Res);
    if (Rc != 0) {
        FailWith(WinSockErrorFromResolver(Rc, errno));
        return nullptr;
    }
    const addrinfo *Found = nullptr;
    for (const addrinfo *A = Res; A; A = A->ai_next)
        if (A->ai_family == AF_INET && A->ai_addr && A->ai_addrlen >= sizeof(sockaddr_in)) {
            Found = A;
            break;
        }
    if (!Found) {
        ::freeaddrinfo(Res);
        FailWith(WSANO_DATA);
        return nullptr;
    }
    THostEntryBuf &H = HostEntry;
    H.Addr = reinterpret_cast<const sockaddr_in *>(Found->ai_addr)->sin_addr;
    H.Name = name;
    ::freeaddrinfo(Res);
    H.AddrList[0] = reinterpret_cast<char *>(&H.Addr);
    H.AddrList[1] = nullptr;
    H.Aliases[0] = nullptr;
    H.Entry.h_name = H.Name.data();
    H.Entry.h_aliases = H.Aliases;
    H.Entry.h_addrtype = AF_INET;
    H.Entry.h_length = sizeof(in_addr);
    H.Entry.h_addr_list = H.AddrList;
    return &H.Entry;
}

uint32_t TIpWinSockAccess::inet_addr(const char *cp)
{
    if (!cp)
        return INADDR_NONE;
    return ::inet_addr(cp);
}

const char *TIpWinSockAccess::inet_ntoa(TInAddr in)
{
    return ::inet_ntoa(in); // glibc keeps the text in a per-thread buffer
}

uint16_t TIpWinSockAccess::htons(uint16_t hostshort)
{
    return ::htons(hostshort);
}

uint16_t TIpWinSockAccess::ntohs(uint16_t netshort)
{
    return ::ntohs(netshort);
}

int TIpWinSockAccess::WSAStartup(uint16_t wVersionRequired, TWSAData *lpWSAData)
{
    // Versions are major in the low byte, minor in the high byte; 1.1 and up
    // are all served by the same calls here.
    const unsigned Major = wVersionRequired & 0xFF;
    const unsigned Minor = wVersionRequired >> 8;
    if (Major < 1 || (Major == 1 && Minor < 1))
        return WSAVERNOTSUPPORTED;
    if (!lpWSAData)
        return WSAEFAULT;
    TIpLockGuard<TIpWinSockAccess> Guard(*this);
    TWSAData D;
    D.wHighVersion = 0x0202;
    D.wVersion = (Major > 2 || (Major == 2 && Minor >= 2)) ? uint16_t(0x0202) : wVersionRequired;
    utsname U{};
    std::string Desc = "POSIX sockets (IPv4)";
    if (::uname(&U) == 0)
        Desc += std::string(" on ") + U.sysname + " " + U.release;
    std::strncpy(D.szDescription, Desc.c_str(), sizeof(D.szDescription) - 1);
    std::strncpy(D.szSystemStatus, "Running", sizeof(D.szSystemStatus) - 1);
    rlimit R{};
    rlim_t MaxFiles = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &R) == 0 && R.rlim_cur != RLIM_INFINITY)
        MaxFiles = R.rlim_cur;
    D.iMaxSockets = static_cast<uint16_t>(std::min<rlim_t>(MaxFiles, 0xFFFF));
    D.iMaxUdpDg = 65507;
    D.lpVendorInfo = nullptr;
    *lpWSAData = D;
    FStarted = true;
    return 0;
}

int TIpWinSockAccess::WSACleanup()
{
    TIpLockGuard<TIpWinSockAccess> Guard(*this);
    if (!FStarted)
        return FailWith(WSANOTINITIALISED);
    FStarted = false;
    return 0;
}

int TIpWinSockAccess::WSAGetLastError()
{
    return LastError;
}

void TIpWinSockAccess::WSASetLastError(int Error)
{
    LastError = Error;
}

int TIpWinSockAccess::LastSysError()
{
    return LastErrno;
}

TIpWinSockAccess &WinSockAccess()
{
    // Created on first use and deliberately never destroyed: sockets owned
    // by static objects may still be closed while the process exits, and
    // there is no library to unload here.
    static TIpWinSockAccess *const Access = new TIpWinSockAccess;
    return *Access;
}

// ---------------------------------------------------------------------------

std::string EIpWinSockError::FormatReport(int ErrCode, const std::string &ApiName)
{
    return Format(sIpWinSockErrorFmt, ErrCode, WinSockErrorText(ErrCode).c_str(), ApiName.c_str());
}

EIpWinSockError::EIpWinSockError(int ErrCode, const std::string &ApiName)
    : EIpBaseException(FormatReport(ErrCode, ApiName)), FErrorCode(ErrCode)
{
}

EIpActiveError::EIpActiveError() : EIpBaseException(sIpActiveError) {}
EIpNoSocketError::EIpNoSocketError() : EIpBaseException(sIpNoSocketError) {}
EIpProgrammerError::EIpProgrammerError() : EIpBaseException(sIpProgrammerError) {}
