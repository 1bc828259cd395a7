// Readiness notifications with the Windows rules, built on two
// QSocketNotifiers per registered descriptor.
#include "platform/IpAsyncSelect.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>

namespace {

enum TRegState : uint8_t {
    rsIdle,        // created, not yet connecting or listening
    rsConnecting,  // connect in progress: waiting for writability
    rsConnected,
    rsListening,
    rsDead         // connect failed or close reported: nothing more to say
};

struct TRegistration
{
    int Fd = -1;
    uint64_t Generation = 0;
    TIpWnd Wnd = 0;
    uint32_t Msg = 0;
    uint32_t Mask = 0;
    TRegState State = rsIdle;
    bool CloseSent = false;
    QSocketNotifier *Read = nullptr;
    QSocketNotifier *Write = nullptr;

    ~TRegistration()
    {
        DropNotifier(Read);
        DropNotifier(Write);
    }

    // Notifier callbacks only look and post, they never end a
    // registration, so a notifier is never deleted inside its own signal.
    static void DropNotifier(QSocketNotifier *&N)
    {
        delete N;
        N = nullptr;
    }
};

std::recursive_mutex &Lock()
{
    static std::recursive_mutex L;
    return L;
}

std::unordered_map<int, std::unique_ptr<TRegistration>> &Registrations()
{
    static std::unordered_map<int, std::unique_ptr<TRegistration>> Map;
    return Map;
}

std::atomic<uint64_t> NextGeneration{1};
std::atomic<TIpErrnoTranslator> Translator{nullptr};

TRegistration *Find(int Fd)
{
    auto It = Registrations().find(Fd);
    return It == Registrations().end() ? nullptr : It->second.get();
}

int BuiltinTranslate(int E)
{
    switch (E) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EAGAIN: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case EPIPE: return 10054;  // Windows reports a send on a reset connection as a reset
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: return E;
    }
}

void Post(TRegistration &R, uint32_t Event, int Error)
{
    if (!(R.Mask & Event))
        return;
    IpPostMessage(R.Wnd, R.Msg, uintptr_t(uint32_t(R.Fd)), IpMakeLong(Event, uint32_t(Error)), {}, R.Generation);
}

void OnReadReady(int Fd, uint64_t Generation);
void OnWriteReady(int Fd, uint64_t Generation);

void ArmRead(TRegistration &R)
{
    if (!R.Read) {
        R.Read = new QSocketNotifier(qintptr(R.Fd), QSocketNotifier::Read);
        const int Fd = R.Fd;
        const uint64_t Gen = R.Generation;
        QObject::connect(R.Read, &QSocketNotifier::activated, R.Read, [Fd, Gen]() { OnReadReady(Fd, Gen); });
    }
    R.Read->setEnabled(true);
}

void ArmWrite(TRegistration &R)
{
    if (!R.Write) {
        R.Write = new QSocketNotifier(qintptr(R.Fd), QSocketNotifier::Write);
        const int Fd = R.Fd;
        const uint64_t Gen = R.Generation;
        QObject::connect(R.Write, &QSocketNotifier::activated, R.Write, [Fd, Gen]() { OnWriteReady(Fd, Gen); });
    }
    R.Write->setEnabled(true);
}

void Disarm(QSocketNotifier *N)
{
    if (N)
        N->setEnabled(false);
}

void BecomeConnected(TRegistration &R)
{
    R.State = rsConnected;
    if (R.Mask & (fdRead | fdClose))
        ArmRead(R);
}

void ReportClose(TRegistration &R, int Error)
{
    if (R.CloseSent)
        return;
    R.CloseSent = true;
    Disarm(R.Read);
    Post(R, fdClose, Error);
}

void OnReadReady(int Fd, uint64_t Generation)
{
    std::lock_guard<std::recursive_mutex> G(Lock());
    TRegistration *R = Find(Fd);
    if (!R || R->Generation != Generation)
        return;
    Disarm(R->Read);
    if (R->State == rsListening) {
        // A pending connection; accept re-arms.
        Post(*R, fdAccept, 0);
        return;
    }
    if (R->State != rsConnected || R->CloseSent)
        return;
    char Byte;
    const ssize_t N = ::recv(Fd, &Byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (N > 0) {
        // Data waits: tell once; the next recv re-arms. (Without fdRead in
        // the mask nobody reads, so a close behind the data stays unseen.)
        Post(*R, fdRead, 0);
        return;
    }
    if (N == 0) {
        ReportClose(*R, 0);
        return;
    }
    const int E = errno;
    if (E == EAGAIN || E == EWOULDBLOCK || E == EINTR) {
        ArmRead(*R);
        return;
    }
    ReportClose(*R, IpSelectTranslateErrno(E));
}

void OnWriteReady(int Fd, uint64_t Generation)
{
    std::lock_guard<std::recursive_mutex> G(Lock());
    TRegistration *R = Find(Fd);
    if (!R || R->Generation != Generation)
        return;
    Disarm(R->Write);
    if (R->State == rsConnecting) {
        int Err = 0;
        socklen_t Len = sizeof(Err);
        if (::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Err, &Len) != 0)
            Err = errno;
        if (Err == ECONNRESET || Err == EPIPE) {
            // Connected, then reset before this notice was handled (a refused
            // connect is ECONNREFUSED): Windows reports the connect and then
            // the close carrying the reset. Reporting a failed connect
            // instead would leave a socket that never hears its close.
            R->State = rsConnected;
            Post(*R, fdConnect, 0);
            ReportClose(*R, IpSelectTranslateErrno(Err));
            return;
        }
        if (Err != 0) {
            R->State = rsDead;
            Post(*R, fdConnect, IpSelectTranslateErrno(Err));
            return;
        }
        Post(*R, fdConnect, 0);
        Post(*R, fdWrite, 0);
        BecomeConnected(*R);
        return;
    }
    if (R->State == rsConnected)
        Post(*R, fdWrite, 0);
}

TRegState ProbeState(int Fd)
{
    int Listening = 0;
    socklen_t Len = sizeof(Listening);
    if (::getsockopt(Fd, SOL_SOCKET, SO_ACCEPTCONN, &Listening, &Len) == 0 && Listening)
        return rsListening;
    sockaddr_storage Peer{};
    socklen_t PeerLen = sizeof(Peer);
    if (::getpeername(Fd, reinterpret_cast<sockaddr *>(&Peer), &PeerLen) == 0)
        return rsConnected;
    tcp_info Info{};
    socklen_t InfoLen = sizeof(Info);
    if (::getsockopt(Fd, IPPROTO_TCP, TCP_INFO, &Info, &InfoLen) == 0 && Info.tcpi_state == TCP_SYN_SENT)
        return rsConnecting;
    return rsIdle;
}

} // namespace

int IpAsyncSelect(int Fd, TIpWnd Wnd, uint32_t Msg, uint32_t Mask)
{
    static std::once_flag SigPipeOnce;
    // Windows has no SIGPIPE: a send on a broken connection is an error
    // code, never a signal that ends the process.
    std::call_once(SigPipeOnce, [] { std::signal(SIGPIPE, SIG_IGN); });

    const int Flags = ::fcntl(Fd, F_GETFL);
    if (Flags < 0)
        return -1;
    if (!(Flags & O_NONBLOCK) && ::fcntl(Fd, F_SETFL, Flags | O_NONBLOCK) < 0)
        return -1;

    std::lock_guard<std::recursive_mutex> G(Lock());
    Registrations().erase(Fd);
    if (Mask == 0)
        return 0;
    if (!QCoreApplication::instance()) {
        errno = ENOTSUP;
        return -1;
    }
    auto R = std::make_unique<TRegistration>();
    R->Fd = Fd;
    R->Generation = NextGeneration.fetch_add(1);
    R->Wnd = Wnd;
    R->Msg = Msg;
    R->Mask = Mask;
    R->State = ProbeState(Fd);
    TRegistration &Ref = *R;
    Registrations()[Fd] = std::move(R);
    switch (Ref.State) {
    case rsListening:
        if (Ref.Mask & fdAccept)
            ArmRead(Ref);
        break;
    case rsConnected:
        // Registering a connected socket (an accepted one) makes it
        // writable at once, as on Windows.
        Post(Ref, fdWrite, 0);
        BecomeConnected(Ref);
        break;
    case rsConnecting:
        ArmWrite(Ref);
        break;
    default: {
        // An accepted connection the peer reset before it was registered
        // has no peer any more, but its reset is pending: it is reported
        // as the close it is, or the socket would never hear of its end.
        int Err = 0;
        socklen_t Len = sizeof(Err);
        if ((Ref.Mask & fdClose) && ::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Err, &Len) == 0 &&
            (Err == ECONNRESET || Err == EPIPE || Err == ECONNABORTED)) {
            Ref.State = rsConnected;
            ReportClose(Ref, IpSelectTranslateErrno(Err));
        }
        break;
    }
    }
    return 0;
}

void IpSelectCancel(int Fd)
{
    std::lock_guard<std::recursive_mutex> G(Lock());
    Registrations().erase(Fd);
}

void IpSelectNote(int Fd, TIpSelectCall Call, long Result, int Errno)
{
    std::lock_guard<std::recursive_mutex> G(Lock());
    TRegistration *R = Find(Fd);
    if (!R)
        return;
    switch (Call) {
    case scConnect:
        if (Result == 0) {
            Post(*R, fdConnect, 0);
            Post(*R, fdWrite, 0);
            BecomeConnected(*R);
        } else if (Errno == EINPROGRESS || Errno == EAGAIN || Errno == EWOULDBLOCK) {
            R->State = rsConnecting;
            ArmWrite(*R);
        }
        break;
    case scListen:
        if (Result == 0) {
            R->State = rsListening;
            if (R->Mask & fdAccept)
                ArmRead(*R);
        }
        break;
    case scRecv:
        if (R->State == rsConnected && !R->CloseSent && (R->Mask & (fdRead | fdClose)))
            ArmRead(*R);
        break;
    case scSend:
        if (R->State == rsConnected && Result < 0 && (Errno == EAGAIN || Errno == EWOULDBLOCK))
            ArmWrite(*R);
        break;
    case scAccept:
        if (R->State == rsListening && (R->Mask & fdAccept))
            ArmRead(*R);
        break;
    }
}

void IpSelectNoteCall(int Fd, TIpSelectCall Call, long Result, bool WouldBlock)
{
    IpSelectNote(Fd, Call, Result, Result >= 0 ? 0 : WouldBlock ? (Call == scConnect ? EINPROGRESS : EAGAIN) : EIO);
}

void IpSelectRequestWrite(int Fd)
{
    std::lock_guard<std::recursive_mutex> G(Lock());
    TRegistration *R = Find(Fd);
    if (R && R->State == rsConnected)
        Post(*R, fdWrite, 0);
}

bool IpSelectIsCurrent(int Fd, uint64_t Generation)
{
    std::lock_guard<std::recursive_mutex> G(Lock());
    TRegistration *R = Find(Fd);
    return R && R->Generation == Generation;
}

uint64_t IpSelectGeneration(int Fd)
{
    std::lock_guard<std::recursive_mutex> G(Lock());
    TRegistration *R = Find(Fd);
    return R ? R->Generation : 0;
}

size_t IpSelectRegisteredCount()
{
    std::lock_guard<std::recursive_mutex> G(Lock());
    return Registrations().size();
}

void IpSelectSetErrorTranslator(TIpErrnoTranslator T)
{
    Translator.store(T);
}

int IpSelectTranslateErrno(int Errno)
{
    const TIpErrnoTranslator T = Translator.load();
    return T ? T(Errno) : BuiltinTranslate(Errno);
}

int IpCloseSocketKeepNumber(int Fd)
{
    IpSelectCancel(Fd);
    static const int Placeholder = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    // dup2 would leave the number without close-on-exec, and a program
    // started meanwhile would inherit it.
    if (Placeholder >= 0 && ::dup3(Placeholder, Fd, O_CLOEXEC) == Fd)
        return 0;
    const int E = errno;
    ::close(Fd);
    errno = E;
    return -1;
}

void IpReleaseDescriptorNumber(int Fd)
{
    IpSelectCancel(Fd);
    ::close(Fd);
}
