#pragma once
// The socket object of a connected TCP stream (FTP control and data
// connections): a fixed receive buffer with a chain of receive filters,
// delivery as lines, into a stream or as raw blocks, a FIFO send queue that
// survives partial sends and would-block, byte statistics, an idle timer and
// an orderly close that drains what the peer already sent.

#include <bitset>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "base/IpStreams.h"
#include "socket/IpBaseSocket.h"
#include "socket/IpTls.h"

// One queued send.
struct TIpSendEntry
{
    int32_t Id = 0;
    TStream *Stream = nullptr;  // not owned; null once the last chunk is loaded
    std::string Buffer;         // bytes for the wire (after telnet escaping)
    int32_t Size = 0;
    int32_t Sent = 0;
    int32_t PayloadSize = 0;    // caller's bytes that Buffer stands for
    bool CloseAfter = false;
    bool Internal = false;      // protocol traffic: no payload count, no "write" log entry
    bool Seal = false;          // Buffer is plaintext still to be encrypted
    bool Sealed = false;        // Buffer has been encrypted (logged as plaintext before)
    bool Secret = false;        // credentials: never in the traffic log
};

// A send stream that can tell a failed read from its end. An entry whose
// stream failed ends without the close it was queued with: a normal close
// (FIN or close_notify) would tell the peer that it has the whole stream.
class TIpSendSource
{
public:
    virtual ~TIpSendSource() = default;
    virtual bool SourceFailed() const = 0;
};

// How long a TLS connection that has sent its close_notify after its last
// bytes waits for the server's before it closes anyway.
inline constexpr uint32_t IpTlsCloseWaitMs = 5000;

class TIpDataSocket : public TIpBaseSocket
{
public:
    TIpDataSocket(TIpSockControl *Owner, TSocket Handle, const TSockAddrIn &LocalAddr,
                  const TIpDataInits *Inits, const TIpSocksServerInfo *SocksServer);
    ~TIpDataSocket() override;

    // --- overrides
    void StartSocksRequest() override;
    void HandleClose() override;
    void HandleRead() override;
    void HandleTimer(uint32_t ElapsedMs) override;
    void HandleWrite() override;
    void Close() override;
    void Connect(const TSockAddrIn &Addr, const std::string &HostText) override;
    void HandleConnect() override;
    // Ends the connection at once with a reset (SO_LINGER 0): the queue is
    // dropped, nothing is drained or delivered and no close_notify is sent,
    // so the peer cannot take what it received for a complete stream.
    // skClose is reported as by Close.
    void Abort();

    // --- new virtual operations
    virtual void IdleTimeoutExpired();
    // Queues bytes (or, with Stream, the stream from its position on) for
    // sending. Returns 0 when everything went out at once, else the entry's
    // identifier, reported again by DoSendComplete when it has been sent.
    virtual int32_t QueueData(const void *Data, int32_t Len, TStream *Stream, bool CloseAfter,
                              bool Internal, bool Raw);
    virtual void HandleTelnetSub(const std::string &Text);
    virtual bool HandleTelnetOption(uint8_t Command, uint8_t Option);

    // TLS over this connection. On a connected socket the handshake starts
    // at once (the owner hears DoTlsReady when it succeeded); on one that
    // is still connecting it starts when the connection (or the proxy's
    // grant) is there, and the owner hears of the connection only when the
    // handshake has succeeded. A failure is reported through DoError with
    // IpTlsErrorCode and closes the socket. Plaintext left over in the
    // receive buffer is discarded: whatever came before the handshake
    // cannot be trusted after it. Returns the number of bytes discarded.
    // Hold keeps a socket that is still connecting from starting the
    // handshake at the connect: it starts with ReleaseTls (a server may
    // want the data connection to stay quiet until it has answered the
    // transfer command).
    size_t StartTls(std::unique_ptr<TIpTls> Tls, bool Hold = false);
    void ReleaseTls();
    TIpTls *Tls() const { return FTls.get(); }
    // The peer ended the TCP stream without a TLS close_notify: what was
    // received may be cut short (known once the socket has closed).
    bool TlsTruncated() const { return FTls && FTls->Truncated(); }
    // True while a filter changes the bytes between the wire and the
    // caller (a fast path that moves bytes without looking must stay off).
    bool TransformsBytes() const { return FTls != nullptr || FTelnet; }

    int32_t PutString(const std::string &Text, bool CloseAfter);
    int32_t PutStream(TStream *Stream, bool CloseAfter);
    TIpSockStatRec GetStatistics();
    // The caller's bytes sent less what the kernel still holds unsent or
    // unacknowledged (SIOCOUTQ): what has reached the peer. Over TLS the
    // queue holds records, so this errs low by their framing.
    uint64_t AcknowledgedBytes();
    // True while nothing between the wire and the caller changes the bytes:
    // no proxy negotiation pending, no filter (TransformsBytes: telnet,
    // TLS), no high-bit stripping, echo or discarding. Only then may bytes bypass the line buffer in large
    // pieces; a filter added to this socket makes it false while it works.
    virtual bool BytesPassUnchanged() const;
    // The descriptor of a receive stream when the kernel may move the bytes
    // from the socket into it itself: bytes pass unchanged, Stream is a file
    // and no debug log wants to see the data. -1 otherwise.
    int KernelCopyFd(TStream *Stream) const;

    // --- settings
    uint32_t FixedLineLength() const { return FFixedLineLength; }
    void SetFixedLineLength(uint32_t Value);
    uint32_t IdleCount() const { return FIdleCount; }
    uint32_t IdleTimeout() const { return FIdleTimeout; }
    void SetIdleTimeout(uint32_t Value);
    // The idle time counts from now (the owner knows of a wait that is no idleness).
    void ResetIdle();
    char LineTermChar() const { return FLineTermChar; }
    void SetLineTermChar(char Value);
    TIpLineTerminator LineTerminator() const { return FLineTerminator; }
    void SetLineTerminator(TIpLineTerminator Value);
    TIpLogOptionSet LogOptions() const { return FLogOptions; }
    void SetLogOptions(TIpLogOptionSet Value);
    TIpReceiveMode ReceiveMode() const { return FReceiveMode; }
    void SetReceiveMode(TIpReceiveMode Value);
    TStream *ReceiveStream() const { return FReceiveStream; }
    void SetReceiveStream(TStream *Value);
    bool StripLineTerminator() const { return FStripLineTerminator; }
    void SetStripLineTerminator(bool Value);
    // OS buffer sizes: tried from Size down by halving while above 1460; a
    // size the system already gives (or more) is not requested at all.
    void SetReceiveBufferSize(int32_t Size);
    void SetSendBufferSize(int32_t Size);

    // --- state
    uint32_t ReadPos() const { return FReadPos; }
    uint32_t WritePos() const { return FWritePos; }
    const std::string &PartialLine() const { return FPartialLine; }
    size_t SendQueueCount() const { return FSendQueue.size(); }
    bool Activity() const { return FActivity; }
    int32_t LastSendId() const { return FLastSendId; }
    bool Writable() const { return FWritable; }

protected:
    // One recv of at most MaxBytes (and the free space of the buffer).
    uint32_t ReadSocket(bool Final, uint32_t MaxBytes = IpReceiveBufferSize);
    // One recv of at most Room bytes to Bytes, through the receive filters,
    // with the statistics and logs; the bytes left after the filters.
    uint32_t RecvInto(uint8_t *Bytes, uint32_t Room, bool Final);
    // One recv from the system: the bytes on the wire (0 when none came,
    // would-block, or Final and an error), logged and counted as raw.
    uint32_t RecvRaw(uint8_t *Bytes, uint32_t Room, bool Final);
    // Stream mode with a stream and unchanged bytes: receive in large pieces.
    bool LargeStreamReceive() const;
    // One recv of at most MaxBytes into the large buffer, written to the
    // receive stream behind what the line buffer still held.
    uint32_t ReadPieceIntoStream(bool Final, uint32_t MaxBytes);
    // The same from the socket into the file FileFd through a pipe (splice).
    uint32_t SplicePieceIntoFile(bool Final, uint32_t MaxBytes, int FileFd);
    bool Deliver();
    bool ExtractLine(bool TakeAll);
    uint32_t FreeSpace() const { return IpReceiveBufferSize - FWritePos; }
    bool SendNext();
    void LimitUnsentBytes();
    bool SendEntry(TIpSendEntry &Entry);
    void RefillFromStream(TIpSendEntry &Entry);
    void ClearSendQueue();
    // Close, then ask the owner to release the socket (also when the close
    // raised).
    void CloseAndRelease();
    // Writes a pending line head to the receive stream (stream mode).
    void FlushPartialLine();
    // TLS gives at most a record's plaintext per read: while a read
    // notification is handled in stream mode, what it delivers is gathered
    // in the large buffer and written in one piece.
    void FlushGathered();
    void ShutdownSend();
    void AddIdleTime(uint32_t Ms);
    std::string EscapeIac(const void *Data, int32_t Len) const;
    // Receive filters of the proxy negotiation and the telnet protocol;
    // each returns the number of bytes left at Bytes.
    virtual int32_t SocksReply(uint8_t *Bytes, int32_t N);
    virtual int32_t TelnetFilter(uint8_t *Bytes, int32_t N);

    // TLS: reads plaintext into the receive buffer (receiving wire bytes
    // only when AllowRecv and the engine needs them); queues what the engine
    // wants sent; reports the handshake's end.
    uint32_t ReadTls(bool Final, uint32_t MaxBytes, bool AllowRecv);
    // The receive filters after the proxy's reply, the counters and the
    // log, for N bytes received into the line buffer at Bytes (which then
    // holds them); FilterReceived does the same for bytes anywhere.
    uint32_t AcceptReceived(uint8_t *Bytes, int32_t N);
    uint32_t FilterReceived(uint8_t *Bytes, int32_t N);
    void BeginTls();
    void PumpTls();
    void CheckTlsState();
    void SealEntry(TIpSendEntry &Entry);
    bool SendBlocked(const TIpSendEntry &Entry) const;
    void SendCloseNotify();
    // The end of a send-and-close over TLS; false without TLS.
    bool BeginTlsClose();

    void LogData(uint32_t Kind, const void *Data, int32_t Len);
    // Telnet option command received or sent, when loTelnet is set.
    void LogTelnet(uintptr_t Direction, uint8_t Command, uint8_t Option);
    bool TrySetBufferSize(int Option, int32_t Size);

    uint32_t FFixedLineLength = IpDefFixedLineLength;
    uint32_t FIdleCount = 0;
    uint32_t FIdleTimeout = IpDefIdleTimeout;
    char FLineTermChar = IpDefLineTermChar;
    TIpLineTerminator FLineTerminator = IpDefLineTerminator;
    TIpLogOptionSet FLogOptions = IpDefLogOptions;
    TObject *FTerminal = nullptr;  // source of terminal type and window size; none in this program
    TIpReceiveMode FReceiveMode = IpDefReceiveMode;
    TStream *FReceiveStream = nullptr;
    bool FStripLineTerminator = IpDefStripLineTerminator;
    uint8_t FBuffer[IpReceiveBufferSize];
    std::unique_ptr<uint8_t[]> FLargeBuffer;  // IpStreamReceivePiece bytes, made on first use
    int FPipe[2] = {-1, -1};                   // splice's pipe, made on first use
    bool FUnsentLimited = false;               // TCP_NOTSENT_LOWAT is set (a stream was queued)
    bool FSpliceBroken = false;                // splice failed with this socket or file: no more tries
    uint32_t FReadPos = 0;
    uint32_t FWritePos = 0;
    std::string FPartialLine;
    std::deque<std::unique_ptr<TIpSendEntry>> FSendQueue;
    TIpSockStatRec FStats;
    bool FActivity = false;
    std::string FTelnetPending;
    int32_t FLastSendId = 0;
    bool FWritable = false;
    int32_t FLastRecvBytes = 0;  // bytes the last recv returned (before the filters)
    int32_t FLastSendBytes = 0;  // bytes the last send attempt put on the way
    std::bitset<256> FLocalWilling;
    std::bitset<256> FLocalEnabled;
    std::bitset<256> FRemoteWilling;
    std::bitset<256> FRemoteEnabled;
    std::unique_ptr<TIpTls> FTls;
    bool FTlsStarted = false;       // the handshake has begun
    bool FTlsDefersConnect = false; // skConnect waits for the handshake
    bool FTlsHeld = false;          // the handshake waits for ReleaseTls
    bool FTlsClosing = false;       // our close_notify is out; waiting for the server's
    uint32_t FTlsCloseWait = 0;     // milliseconds waited for it
    TIpTlsState FTlsSeen = tlsHandshake; // the engine state last reported
    std::string FTlsWire;           // receive scratch for wire bytes
    bool FSendSecret = false;       // the entry QueueData makes now carries credentials
    bool FGathering = false;        // stream-mode delivery goes to the large buffer first
    uint32_t FGathered = 0;         // bytes gathered there
};
