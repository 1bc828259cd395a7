#include "SocketTestKit.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <chrono>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

bool PumpUntil(const std::function<bool()> &Cond, int TimeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    // Guarantees a wake-up now and then, so the deadline is noticed even
    // when nothing else happens.
    QTimer Wake;
    Wake.start(5);
    while (!Cond()) {
        if (Clock::now() >= Deadline)
            return Cond();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

TTestListener::TTestListener()
{
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int One = 1;
    ::setsockopt(FFd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof(One));
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FFd, reinterpret_cast<sockaddr *>(&A), sizeof(A));
    ::listen(FFd, 512);
    socklen_t Len = sizeof(A);
    ::getsockname(FFd, reinterpret_cast<sockaddr *>(&A), &Len);
    FPort = ntohs(A.sin_port);
}

TTestListener::~TTestListener()
{
    if (FFd >= 0)
        ::close(FFd);
}

TBlockingSocket TTestListener::Accept(int TimeoutMs)
{
    pollfd P{FFd, POLLIN, 0};
    if (::poll(&P, 1, TimeoutMs) <= 0)
        return TBlockingSocket();
    const int S = ::accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC);
    return S >= 0 ? TBlockingSocket(S) : TBlockingSocket();
}

uint16_t ClosedPort()
{
    const int S = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(S, reinterpret_cast<sockaddr *>(&A), sizeof(A));
    socklen_t Len = sizeof(A);
    ::getsockname(S, reinterpret_cast<sockaddr *>(&A), &Len);
    ::close(S);  // bound but never listening: connects are refused
    return ntohs(A.sin_port);
}

int OpenDescriptorCount()
{
    int N = 0;
    if (DIR *D = ::opendir("/proc/self/fd")) {
        while (dirent *E = ::readdir(D))
            if (E->d_name[0] != '.')
                ++N;
        ::closedir(D);
    }
    return N - 1;  // the directory's own descriptor
}

std::string PatternBytes(size_t Size, uint32_t Seed)
{
    std::string S(Size, '\0');
    uint32_t X = Seed * 2654435761u + 12345u;
    for (size_t I = 0; I < Size; ++I) {
        X ^= X << 13;
        X ^= X >> 17;
        X ^= X << 5;
        S[I] = char(X & 0xFF);
    }
    return S;
}

TRecordingClient::TRecordingClient()
{
    OnReadLine = [this](TObject *, TSocket, const std::string &Line) { ReadLines.push_back(Line); };
}

void TRecordingClient::DoLineReceived(TSocket Handle, const std::string &Text)
{
    BytesCut += Text.size();
    if (RecordLineText) {
        Lines.push_back(Text);
        Events.push_back("line:" + Text);
        TIpCustomMultiClient::DoLineReceived(Handle, Text);
    }
}

void TRecordingClient::DoStatus(TSocket Handle, TIpStatusKind Kind, const TIpConnRec &Conn)
{
    if (Kind == skConnect) {
        ++Connects;
        Events.push_back("status:connect");
    } else if (Kind == skClose) {
        ++Closes;
        Events.push_back("status:close");
    } else {
        Events.push_back("status:progress");
    }
    TIpCustomMultiClient::DoStatus(Handle, Kind, Conn);
    if (StatusHook)
        StatusHook(Handle, Kind);
}

void TRecordingClient::DoError(TSocket Handle, int Code, const std::string &Text)
{
    Errors.push_back({Handle, Code, Text});
    Events.push_back("error:" + std::to_string(Code));
    TIpCustomMultiClient::DoError(Handle, Code, Text);
}

void TRecordingClient::DoSendComplete(TSocket Handle, int32_t Id, int32_t Remaining)
{
    SendCompletes.emplace_back(Id, Remaining);
    Events.push_back("sent:" + std::to_string(Id) + "/" + std::to_string(Remaining));
    TIpCustomMultiClient::DoSendComplete(Handle, Id, Remaining);
}

void TRecordingClient::DoIdleTimeout(TSocket Handle, bool &Reset)
{
    ++IdleTimeouts;
    Events.push_back("idle");
    TIpCustomMultiClient::DoIdleTimeout(Handle, Reset);
    if (ResetIdleFrom > 0 && IdleTimeouts >= ResetIdleFrom)
        Reset = true;
}

int TRecordingClient::Count(const std::string &Prefix) const
{
    int N = 0;
    for (const auto &E : Events)
        if (E.compare(0, Prefix.size(), Prefix) == 0)
            ++N;
    return N;
}
