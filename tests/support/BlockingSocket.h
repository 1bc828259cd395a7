#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;

// A plain blocking TCP socket for test peers and smoke tests. Every wait has
// a time-out, so a misbehaving peer makes a test fail instead of hang.
// Only loopback addresses are accepted by Connect().
class TBlockingSocket
{
public:
    TBlockingSocket() = default;
    explicit TBlockingSocket(int fd) : FFd(fd) {}
    ~TBlockingSocket();
    TBlockingSocket(TBlockingSocket &&other) noexcept;
    TBlockingSocket &operator=(TBlockingSocket &&other) noexcept;
    TBlockingSocket(const TBlockingSocket &) = delete;
    TBlockingSocket &operator=(const TBlockingSocket &) = delete;

    bool Connect(uint16_t port, int timeoutMs = 5000, const std::string &host = "127.0.0.1");
    bool IsOpen() const { return FFd >= 0; }
    int Fd() const { return FFd; }
    // Another descriptor (an eventfd or pipe) whose readability aborts any wait.
    void SetAbortFd(int fd) { FAbortFd = fd; }

    bool SendAll(std::string_view bytes, int timeoutMs = 5000);
    bool SendLine(std::string_view line, int timeoutMs = 5000); // appends CR LF

    // One line up to LF, the LF and one CR before it removed. nullopt on
    // time-out, close before a full line, or a line longer than maxLen.
    std::optional<std::string> ReadLine(int timeoutMs = 5000, size_t maxLen = 1 << 20);
    // Exactly n bytes (nullopt on time-out or close first).
    std::optional<std::string> ReadExact(size_t n, int timeoutMs = 5000);
    // Whatever arrives within timeoutMs (at least one read's worth when any arrives).
    std::string ReadSome(int timeoutMs = 5000);
    // Everything until the peer closes; *closed tells whether it did in time.
    std::string ReadUntilClose(int timeoutMs = 5000, bool *closed = nullptr);

    // Reads what is available within timeoutMs into Pending(); false on
    // close, error or time-out.
    bool ReadMore(int timeoutMs);
    // Called with every chunk as it is read (recording peers).
    std::function<void(std::string_view)> OnReceive;

    // Bytes read from the socket but not handed out yet.
    const std::string &Pending() const { return FBuf; }
    std::string TakePending();

    // What ended the last failed call: "timed out", "closed by peer", "aborted", errno text.
    const std::string &LastError() const { return FError; }
    bool PeerClosed() const { return FEof; }

    // TLS from here on, as the server with the key and certificate in pem
    // (the handshake runs now). Close then ends it without close_notify.
    bool StartTlsServer(const std::string &pem, int timeoutMs = 5000);
    bool SendCloseNotify();

    void Close();
    // Closes with an RST instead of a FIN.
    void Reset();
    // Half-close: sends FIN, keeps reading.
    void ShutdownWrite();

    uint16_t LocalPort() const;

private:
    // Waits for readability (or writability); false on time-out/abort.
    bool Wait(bool forWrite, int64_t deadlineMs);
    // Appends one recv() worth to FBuf; false on close/error/time-out.
    bool Fill(int64_t deadlineMs);

    // One TLS step: >0 done, 0 retry after waiting, <0 failed (FError set).
    int TlsStep(int rc, int64_t deadlineMs);

    int FFd = -1;
    SSL *FSsl = nullptr;
    int FAbortFd = -1;
    bool FEof = false;
    std::string FBuf;
    std::string FError;
};

// One FTP reply as read by a plain client: the code of the final line and
// every line (without CR LF). Code is -1 when no complete reply arrived.
struct TFtpReply
{
    int Code = -1;
    std::string Text; // lines joined with "\n"
};
TFtpReply ReadFtpReply(TBlockingSocket &sock, int timeoutMs = 5000);

// Milliseconds on a monotonic clock.
int64_t NowMs();

// "05 01 00" -> bytes; spaces ignored. For writing exact protocol bytes in tests.
std::string Hex(std::string_view text);
// bytes -> "05 01 00" (for failure messages).
std::string HexDump(std::string_view bytes, size_t maxBytes = 256);
