// Findings of the fuzz targets on the socket layer, replayed as ordinary
// tests (the inputs are kept in fuzz/regressions/). Each drives a data
// socket over one end of a socket pair, the way the fuzz target does, so
// the bytes and read boundaries are exactly those of the finding.
#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "base/IpStreams.h"
#include "ftp/IpMultiClient.h"
#include "platform/IpAsyncSelect.h"

namespace {

class TLineRecorder : public TIpMultiSockControl
{
public:
    void DoLineReceived(TSocket, const std::string &Text) override { Lines.push_back(Text); }
    void DoError(TSocket, int Code, const std::string &) override { Errors.push_back(Code); }
    std::vector<std::string> Lines;
    std::vector<int> Errors;
};

// A data socket on one end of a pair; the test writes the other end and
// plays the read notifications itself.
struct TPairSocket
{
    TLineRecorder Control;
    int Peer = -1;
    TSocket Handle = INVALID_SOCKET;

    TPairSocket()
    {
        int Pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, Pair) != 0)
            return;
        auto *S = new TIpDataSocket(&Control, TSocket(Pair[0]), IpAnyAddress(), nullptr, nullptr);
        Control.AddSocket(S);
        IpSelectCancel(Pair[0]);
        Handle = S->Handle();
        Peer = Pair[1];
        Control.SocketConnect(Handle);
    }
    ~TPairSocket()
    {
        if (Peer >= 0)
            ::close(Peer);
    }
    TIpDataSocket *Socket() { return Control.FindDataSocket(Handle, false); }
    void Send(const std::string &Bytes)
    {
        ASSERT_EQ(::send(Peer, Bytes.data(), Bytes.size(), MSG_NOSIGNAL), ssize_t(Bytes.size()));
        Control.SocketRead(Handle);
    }
    void PeerCloses()
    {
        ::shutdown(Peer, SHUT_WR);
        Control.SocketClose(Handle);
    }
};

} // namespace

// Finding of fuzz_data_lines (fuzz/regressions/data_lines/
// partial-line-stranded-by-stream-mode): 12,492 bytes without a line end
// arrive in line mode, so the head of that line moves into PartialLine; the
// application switches to stream mode, one more byte arrives and the peer
// closes. Stream mode writes only the buffered bytes to the stream, and the
// closing ExtractLine(true) does nothing once the buffer is empty, so the
// 8,190 bytes in PartialLine never reached anyone. A pending partial line
// now goes to the stream ahead of the newer bytes.
TEST(FuzzRegressionsSocket, PartialLineIsNotLostWhenTheModeTurnsToStream)
{
    TStringStream Stream; // outlives the socket, which may drain into it
    TPairSocket P;
    ASSERT_NE(P.Socket(), nullptr);
    P.Socket()->SetReceiveMode(rmLine);
    P.Socket()->SetLineTerminator(ltCRLF);
    std::string Sent;
    for (int I = 0; I < 3123; ++I)
        Sent += std::string("\0CT ", 4);
    P.Send(Sent);
    ASSERT_FALSE(P.Socket()->PartialLine().empty());
    P.Socket()->SetReceiveStream(&Stream);
    P.Socket()->SetReceiveMode(rmStream);
    P.Send("\xC3");
    Sent += "\xC3";
    P.PeerCloses();
    std::string Received = Stream.DataString();
    for (const std::string &L : P.Control.Lines)
        Received += L;
    ASSERT_EQ(Received.size(), Sent.size()) << "bytes lost";
    EXPECT_TRUE(P.Control.Lines.empty());
    EXPECT_TRUE(Stream.DataString() == Sent) << "same length, other bytes or order";
}
