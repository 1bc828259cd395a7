// Loopback throughput of the data socket against plain blocking sockets.
//
//   bench_socket [MiB] [buffer-bytes]
//
// Streams MiB (default 1024) through a TIpDataSocket in each direction:
//   receive: a plain writing peer thread, the socket in rmStream mode into a
//            null stream;
//   send:    PutStream (IpStreamSendChunk-sized reads) to a plain reading peer thread;
//   send-64k: the same bytes queued as 64 KiB PutString entries, to see what
//            a larger chunk would give;
// and the same copy with a plain blocking loop of 64 KiB reads and writes as
// the reference. buffer-bytes (default 4096, the data-socket default) is the
// OS buffer size the data socket asks for. Each copy runs three times,
// interleaved with the others, and the best time counts: the machine is
// shared, and the best run is the one least disturbed.
#include "ftp/IpMultiClient.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr size_t kBlock = 64 * 1024;

double Seconds(std::chrono::steady_clock::time_point Start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
}

void Pump(const std::function<bool()> &Done)
{
    QTimer Wake;
    Wake.start(50);
    while (!Done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

struct TListener
{
    int Fd = -1;
    uint16_t Port = 0;
    TListener()
    {
        Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in A{};
        A.sin_family = AF_INET;
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(Fd, reinterpret_cast<sockaddr *>(&A), sizeof(A));
        ::listen(Fd, 4);
        socklen_t L = sizeof(A);
        ::getsockname(Fd, reinterpret_cast<sockaddr *>(&A), &L);
        Port = ntohs(A.sin_port);
    }
    ~TListener() { ::close(Fd); }
    int Accept() { return ::accept(Fd, nullptr, nullptr); }
    std::string Address() const { return "127.0.0.1:" + std::to_string(Port); }
};

int PlainConnect(uint16_t Port)
{
    const int S = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(Port);
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(S, reinterpret_cast<sockaddr *>(&A), sizeof(A)) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return S;
}

void WriteAll(int Fd, uint64_t Total)
{
    std::string Buf(kBlock, 'w');
    for (uint64_t Done = 0; Done < Total;) {
        const size_t N = size_t(std::min<uint64_t>(kBlock, Total - Done));
        const ssize_t R = ::send(Fd, Buf.data(), N, MSG_NOSIGNAL);
        if (R <= 0)
            return;
        Done += uint64_t(R);
    }
}

uint64_t ReadAll(int Fd)
{
    std::string Buf(kBlock, '\0');
    uint64_t Got = 0;
    for (;;) {
        const ssize_t R = ::recv(Fd, Buf.data(), Buf.size(), 0);
        if (R <= 0)
            return Got;
        Got += uint64_t(R);
    }
}

// A source of Size bytes that holds no more than one block in memory.
class TPatternStream : public TStream
{
public:
    explicit TPatternStream(int64_t Size) : FSize(Size), FBlock(kBlock, 's') {}
    int64_t Read(void *Buffer, int64_t Count) override
    {
        const int64_t N = std::min(Count, FSize - FPos);
        for (int64_t Done = 0; Done < N;) {
            const int64_t Step = std::min<int64_t>(N - Done, int64_t(kBlock));
            std::memcpy(static_cast<char *>(Buffer) + Done, FBlock.data(), size_t(Step));
            Done += Step;
        }
        FPos += N;
        return N;
    }
    int64_t Write(const void *, int64_t) override { return 0; }
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override
    {
        FPos = Origin == soBeginning ? Offset : Origin == soCurrent ? FPos + Offset : FSize + Offset;
        return FPos;
    }
    int64_t Size() override { return FSize; }

private:
    int64_t FSize;
    int64_t FPos = 0;
    std::string FBlock;
};

struct TBenchClient : TIpCustomMultiClient
{
    bool Connected = false;
    bool Closed = false;
    std::function<void(TSocket, int32_t, int32_t)> SendDone;
    void DoStatus(TSocket Handle, TIpStatusKind Kind, const TIpConnRec &Conn) override
    {
        if (Kind == skConnect)
            Connected = true;
        if (Kind == skClose)
            Closed = true;
    }
    void DoSendComplete(TSocket Handle, int32_t Id, int32_t Remaining) override
    {
        if (SendDone)
            SendDone(Handle, Id, Remaining);
    }
    void DoError(TSocket, int, const std::string &Text) override
    {
        std::fprintf(stderr, "error: %s\n", Text.c_str());
    }
};

double PlainReceive(uint64_t Total)
{
    TListener L;
    std::thread Peer([&] {
        const int S = L.Accept();
        WriteAll(S, Total);
        ::close(S);
    });
    const auto Start = std::chrono::steady_clock::now();
    const int C = PlainConnect(L.Port);
    const uint64_t Got = ReadAll(C);
    const double T = Seconds(Start);
    ::close(C);
    Peer.join();
    if (Got != Total)
        std::fprintf(stderr, "plain receive got %llu\n", (unsigned long long)Got);
    return T;
}

double PlainSend(uint64_t Total)
{
    TListener L;
    uint64_t Got = 0;
    std::thread Peer([&] {
        const int S = L.Accept();
        Got = ReadAll(S);
        ::close(S);
    });
    const auto Start = std::chrono::steady_clock::now();
    const int C = PlainConnect(L.Port);
    WriteAll(C, Total);
    ::close(C);
    Peer.join();
    const double T = Seconds(Start);
    if (Got != Total)
        std::fprintf(stderr, "plain send delivered %llu\n", (unsigned long long)Got);
    return T;
}

double SocketReceive(uint64_t Total, int32_t BufferSize)
{
    TListener L;
    TBenchClient Client;
    Client.DataInits()->SetReceiveBufferSize(BufferSize);
    Client.DataInits()->SetSendBufferSize(BufferSize);
    Client.DataInits()->SetReceiveMode(rmStream);
    Client.DataInits()->SetLogOptions(TIpLogOptionSet{});
    TNullStream Sink;
    std::thread Peer([&] {
        const int S = L.Accept();
        WriteAll(S, Total);
        ::close(S);
    });
    const auto Start = std::chrono::steady_clock::now();
    const TSocket H = Client.ConnectSocket(L.Address());
    Client.SetSocketReceiveStream(H, &Sink);
    Pump([&] { return Client.Closed; });
    const double T = Seconds(Start);
    Peer.join();
    if (uint64_t(Sink.Size()) != Total)
        std::fprintf(stderr, "socket receive got %lld\n", (long long)Sink.Size());
    return T;
}

double SocketSend(uint64_t Total, int32_t BufferSize, bool LargeEntries)
{
    TListener L;
    TBenchClient Client;
    Client.DataInits()->SetReceiveBufferSize(BufferSize);
    Client.DataInits()->SetSendBufferSize(BufferSize);
    Client.DataInits()->SetLogOptions(TIpLogOptionSet{});
    uint64_t Got = 0;
    std::thread Peer([&] {
        const int S = L.Accept();
        Got = ReadAll(S);
        ::close(S);
    });
    TPatternStream Source{int64_t(Total)};
    const std::string Block(kBlock, 'b');
    uint64_t Queued = 0;
    const auto Start = std::chrono::steady_clock::now();
    const TSocket H = Client.ConnectSocket(L.Address());
    // Keeps one 64 KiB entry queued behind what the OS took; the last closes.
    std::function<void()> QueueMore = [&]() {
        while (Queued < Total) {
            const size_t N = size_t(std::min<uint64_t>(kBlock, Total - Queued));
            Queued += N;
            const bool Last = Queued == Total;
            if (Client.PutString(H, Block.substr(0, N), Last) != 0 || Last)
                break;
        }
    };
    if (!LargeEntries) {
        Client.PutStream(H, &Source, true);
    } else {
        Client.SendDone = [&](TSocket, int32_t, int32_t Remaining) {
            if (Remaining == 0 && Queued < Total)
                QueueMore();
        };
        QueueMore();
    }
    Pump([&] { return Client.Closed; });
    Peer.join();
    const double T = Seconds(Start);
    if (Got != Total)
        std::fprintf(stderr, "socket send delivered %llu of %llu\n", (unsigned long long)Got,
                     (unsigned long long)Total);
    return T;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication App(argc, argv);
    const uint64_t MiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int32_t BufferSize = argc > 2 ? int32_t(std::strtol(argv[2], nullptr, 10)) : 4096;
    const uint64_t Total = MiB * 1024 * 1024;
    const double MB = double(Total) / 1e6;

    std::printf("bench_socket: %llu MiB over 127.0.0.1, data-socket OS buffers %d bytes\n",
                (unsigned long long)MiB, BufferSize);
    // Warm-up so that the first measurement does not pay for page faults.
    PlainReceive(std::min<uint64_t>(Total, 64ull << 20));

    double RefRecv = 1e9, SockRecv = 1e9, RefSend = 1e9, SockSend = 1e9, SockSendLarge = 1e9;
    for (int Round = 0; Round < 3; ++Round) {
        RefRecv = std::min(RefRecv, PlainReceive(Total));
        SockRecv = std::min(SockRecv, SocketReceive(Total, BufferSize));
        RefSend = std::min(RefSend, PlainSend(Total));
        SockSend = std::min(SockSend, SocketSend(Total, BufferSize, false));
        SockSendLarge = std::min(SockSendLarge, SocketSend(Total, BufferSize, true));
    }
    std::printf("receive  plain 64 KiB loop : %8.1f MB/s\n", MB / RefRecv);
    std::printf("receive  TIpDataSocket     : %8.1f MB/s   ratio %.2f (target >= 0.70)\n", MB / SockRecv,
                RefRecv / SockRecv);
    std::printf("send     plain 64 KiB loop : %8.1f MB/s\n", MB / RefSend);
    std::printf("send     PutStream (%5u B): %8.1f MB/s   ratio %.2f (target >= 0.50)\n",
                static_cast<unsigned>(IpStreamSendChunk), MB / SockSend, RefSend / SockSend);
    std::printf("send     64 KiB entries    : %8.1f MB/s   ratio %.2f\n", MB / SockSendLarge,
                RefSend / SockSendLarge);
    return 0;
}
