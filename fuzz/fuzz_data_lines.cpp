// What a peer sends on a data socket, cut at arbitrary read boundaries,
// through the receive path (ReadSocket, Deliver, ExtractLine) in every
// receive mode and terminator kind, with mode changes on the way and the
// closing drain. The socket is one end of an in-memory socket pair; the
// fuzzer writes the other end and plays the readiness notifications.
//
// Input: settings (mode, terminator, its character, strip, fixed length,
// high-bit strip, telnet filter), then operations: write a chunk, write a pattern
// many times (to fill the buffer and reach the line limit), switch the
// receive mode, and how the connection ends.
// Checks: the partial line and every delivered line stay within their
// limits; buffer positions stay inside the buffer; with terminators kept,
// every line but the last ends at its terminator and holds no earlier one,
// and the delivered lines and stream bytes put together are exactly what
// was sent (after the telnet filter and the high-bit strip when those are
// on; with terminators stripped, what was sent minus them); fixed length
// lines have that length.

#include <QCoreApplication>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "FuzzSupport.h"
#include "ftp/IpMultiClient.h"
#include "platform/IpAsyncSelect.h"
#include "socket/IpTelnet.h"

namespace {

struct TRecord
{
    std::string Delivered;            // lines and stream bytes, in order
    std::vector<std::string> Lines;
    std::vector<bool> LineMode;       // the line came while the socket was in rmLine
    std::vector<int> Errors;
    TIpReceiveMode Mode = rmLine;
};

TRecord *Current = nullptr;

class TRecordStream : public TStream
{
public:
    int64_t Read(void *, int64_t) override { return 0; }
    int64_t Write(const void *Buffer, int64_t Count) override
    {
        Current->Delivered.append(static_cast<const char *>(Buffer), size_t(Count));
        return Count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
};

class TLineControl : public TIpMultiSockControl
{
public:
    // Lines straight into the record: the posting itself is not under test.
    void DoLineReceived(TSocket, const std::string &Text) override
    {
        Current->Delivered += Text;
        Current->Lines.push_back(Text);
        Current->LineMode.push_back(Current->Mode == rmLine);
    }
    void DoError(TSocket, int Code, const std::string &) override { Current->Errors.push_back(Code); }
};

class TLineSocket : public TIpDataSocket
{
public:
    using TIpDataSocket::TIpDataSocket;
    void SetFlags(bool StripHigh, bool Telnet)
    {
        FStripHighBit = StripHigh;
        FTelnet = Telnet;
    }
};

TLineControl *Control = nullptr;
TRecordStream Stream;

constexpr size_t LineLimit = IpMaxLineBuf + 2 * IpReceiveBufferSize;

void CheckState(TLineSocket &S)
{
    FUZZ_CHECK(S.ReadPos() <= S.WritePos() && S.WritePos() <= IpReceiveBufferSize, "buffer positions %u/%u",
               S.ReadPos(), S.WritePos());
    FUZZ_CHECK(S.PartialLine().size() <= IpMaxLineBuf + IpReceiveBufferSize, "partial line of %zu bytes",
               S.PartialLine().size());
}

// Writes Bytes to the peer end, letting the socket read whenever the pair
// is full, and once more at the end: each notification is one read pass.
void Send(int Peer, TSocket Handle, TLineSocket &S, std::string_view Bytes)
{
    size_t Done = 0;
    while (Done < Bytes.size()) {
        const ssize_t W = ::send(Peer, Bytes.data() + Done, Bytes.size() - Done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (W > 0)
            Done += size_t(W);
        else
            FUZZ_CHECK(errno == EAGAIN || errno == EWOULDBLOCK, "send to the pair failed: %d", errno);
        if (Done < Bytes.size()) {
            Control->SocketRead(Handle);
            CheckState(S);
        }
    }
    Control->SocketRead(Handle);
    CheckState(S);
}

char Terminator(TIpLineTerminator T, char Other)
{
    return T == ltCR ? '\r' : T == ltOther ? Other : '\n';
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *Argc, char ***Argv)
{
    static QCoreApplication App(*Argc, *Argv);
    Control = new TLineControl();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    TFuzzReader In(Data, Size);
    TRecord Rec;
    Current = &Rec;

    const uint8_t Settings = In.Byte();
    TIpReceiveMode Mode = TIpReceiveMode(Settings % 3);
    const TIpLineTerminator Term = TIpLineTerminator((Settings / 3) % 5);
    const bool Strip = (Settings & 0x20) != 0;
    const bool StripHigh = (Settings & 0x40) != 0;
    const bool Telnet = (Settings & 0x80) != 0;
    const char TermChar = char(In.Byte());
    const uint32_t Fixed = In.U16() % 20000;

    int Pair[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, Pair) == 0, "socketpair failed");
    auto *S = new TLineSocket(Control, TSocket(Pair[0]), IpAnyAddress(), nullptr, nullptr);
    Control->AddSocket(S);
    const TSocket Handle = S->Handle();
    // The fuzzer plays the readiness source for this socket.
    IpSelectCancel(Pair[0]);
    S->SetReceiveMode(Mode);
    S->SetReceiveStream(&Stream);
    S->SetLineTerminator(Term);
    S->SetLineTermChar(TermChar);
    S->SetStripLineTerminator(Strip);
    S->SetFixedLineLength(Fixed);
    S->SetFlags(StripHigh, Telnet);
    Rec.Mode = Mode;
    Control->SocketConnect(Handle);

    std::string Sent;
    bool ModeChanged = false;
    bool PeerCloses = true;
    while (!In.Empty()) {
        const uint8_t Op = In.Byte();
        switch (Op % 4) {
        case 0:
        case 1: {
            const std::string_view Chunk = In.Bytes(In.Byte());
            Sent += Chunk;
            Send(Pair[1], Handle, *S, Chunk);
            break;
        }
        case 2: {
            const std::string Pattern = In.Short();
            const size_t Count = In.U16() % 8192;
            std::string Chunk;
            for (size_t I = 0; I < Count && !Pattern.empty(); ++I)
                Chunk += Pattern;
            Sent += Chunk;
            Send(Pair[1], Handle, *S, Chunk);
            break;
        }
        default:
            if (Op & 0x80) {
                PeerCloses = (Op & 0x40) != 0;
                In.Rest();
            } else {
                Mode = TIpReceiveMode((Op >> 2) % 3);
                ModeChanged = ModeChanged || Mode != Rec.Mode;
                S->SetReceiveMode(Mode);
                Rec.Mode = Mode;
            }
            break;
        }
    }

    // The end: the peer closes (the socket drains what is left when it
    // hears of it), or this side closes first (same drain).
    if (PeerCloses) {
        ::shutdown(Pair[1], SHUT_WR);
        Control->SocketClose(Handle);
    } else {
        Control->CloseSocket(Handle);
    }
    ::close(Pair[1]);
    QCoreApplication::sendPostedEvents();
    FUZZ_CHECK(Control->FindSocket(Handle, false) == nullptr, "socket still listed after its close");

    std::string Expected = Sent;
    if (Telnet) {
        // The socket's own option handler takes the four option verbs as
        // three-byte commands; the filter gives the same result whatever the
        // read boundaries, so one pass over everything is the reference.
        std::string Pending;
        const int32_t N = IpTelnetFilter(
            Pending, reinterpret_cast<uint8_t *>(Expected.data()), int32_t(Expected.size()),
            [](uint8_t Command, uint8_t) { return Command >= IpTelnetWILL && Command <= IpTelnetDONT; }, nullptr);
        Expected.resize(size_t(N));
    }
    if (StripHigh)
        for (char &C : Expected)
            C = char(C & 0x7F);
    for (const std::string &L : Rec.Lines)
        FUZZ_CHECK(L.size() <= LineLimit, "line of %zu bytes", L.size());
    for (int E : Rec.Errors)
        FUZZ_CHECK(E == IpLineTooLongCode, "error %d", E);
    if (!Rec.Errors.empty()) {
        FUZZ_CHECK(Rec.Delivered.size() <= Expected.size(), "more delivered than sent");
        Current = nullptr;
        return 0;
    }

    if (!Strip) {
        FUZZ_CHECK(Rec.Delivered == Expected, "delivered %zu bytes of %zu sent, or other bytes",
                   Rec.Delivered.size(), Expected.size());
    }
    if (!ModeChanged && Mode == rmLine && !Rec.Lines.empty()) {
        const size_t Last = Rec.Lines.size() - 1;
        if (Term == ltNone) {
            for (size_t I = 0; I < Last; ++I)
                FUZZ_CHECK(Rec.Lines[I].size() == Fixed, "fixed-length line of %zu bytes (length %u)",
                           Rec.Lines[I].size(), Fixed);
        } else {
            const std::string T = Term == ltCRLF ? std::string("\r\n") : std::string(1, Terminator(Term, TermChar));
            std::string Rebuilt;
            for (size_t I = 0; I < Rec.Lines.size(); ++I) {
                const std::string &L = Rec.Lines[I];
                const bool EndsAtTerm = L.size() >= T.size() && L.compare(L.size() - T.size(), T.size(), T) == 0;
                const std::string Body = Strip || !EndsAtTerm ? L : L.substr(0, L.size() - T.size());
                if (I < Last) {
                    FUZZ_CHECK(Strip || EndsAtTerm, "line %zu does not end at its terminator", I);
                    FUZZ_CHECK(Body.find(T) == std::string::npos, "line %zu holds an earlier terminator", I);
                    Rebuilt += Body + T;
                } else {
                    Rebuilt += L;
                }
            }
            if (Strip)
                FUZZ_CHECK(Rebuilt == Expected || Rebuilt + T == Expected,
                           "stripped lines do not rebuild what was sent");
        }
    }
    Current = nullptr;
    return 0;
}
