#pragma once
// Types shared by the socket objects, the socket control and the layers
// above them: connection records, byte statistics, status kinds, events and
// the message numbers of the control's window.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "base/IpConst.h"
#include "base/IpInits.h"
#include "base/IpUtils.h"
#include "base/IpWinSock.h"

class TIpBaseSocket;
class TIpDataSocket;
class TIpListenSocket;
class TIpSockControl;

// Addresses of both ends of a connection, passed with every status event.
// Naturally aligned rather than packed: the record never leaves the process,
// and references to packed members are misaligned.
struct TIpConnRec
{
    TSockAddrIn RemAddr{};  // either family; an IPv4-mapped address is stored as IPv4
    uint16_t RemPort = 0;   // host byte order
    TSockAddrIn LocAddr{};
    uint16_t LocPort = 0;   // host byte order
};

// Byte counters of a data socket; 64-bit so that transfers beyond 4 GiB
// count correctly. Counters 4..7 are a second copy of 0..3.
enum TIpSockStatIndex : uint8_t {
    ssReceived = 0,     // received bytes delivered (after the receive filters)
    ssSent = 1,         // payload bytes sent (before escaping, internal traffic excluded)
    ssRawReceived = 2,  // bytes as returned by recv
    ssRawSent = 3       // bytes as accepted by send (internal traffic included)
};

struct TIpSockStatRec
{
    uint64_t Counters[8] = {};
    uint64_t Received() const { return Counters[ssReceived]; }
    uint64_t Sent() const { return Counters[ssSent]; }
    uint64_t RawReceived() const { return Counters[ssRawReceived]; }
    uint64_t RawSent() const { return Counters[ssRawSent]; }
    void Add(TIpSockStatIndex Index, uint64_t N)
    {
        Counters[Index] += N;
        Counters[Index + 4] += N;
    }
};

enum TIpStatusKind : uint8_t { skConnect = 0, skClose = 1, skProgress = 2 };
using TIpStatusKindSet = TIpSet<TIpStatusKind, uint8_t>;

// Events of the socket control (Sender first).
using TIpErrorEvent = std::function<void(TObject *Sender, TSocket Socket, int ErrCode, const std::string &ErrStr)>;
using TIpIdleTimeoutEvent = std::function<void(TObject *Sender, TSocket Socket, bool &Reset)>;
using TIpSendCompleteEvent = std::function<void(TObject *Sender, TSocket Socket, int32_t Id, int32_t Remaining)>;
using TIpReadLineEvent = std::function<void(TObject *Sender, TSocket Socket, const std::string &Line)>;
using TIpStatusEvent = std::function<void(TObject *Sender, TSocket Socket, TIpStatusKind Kind,
                                          const TIpConnRec &Conn, const TIpSockStatRec &Stats)>;

// Messages of the socket control's window (CM_IPASYNCSELECT = 4753 comes
// with the socket access declarations).
inline constexpr uint32_t CM_IPSOCKETSTATUS = 4754;  // connect/close notice to notify windows
inline constexpr uint32_t CM_IPFREESOCKET = 4755;    // release a socket after a close-after send
inline constexpr uint32_t CM_IPLINEMESSAGE = 4756;   // a received line (payload: std::string)

// Debug-log entry kinds of the socket layer (bit 31: the entry has a payload).
inline constexpr uint32_t IpLogRead = 0x80000001u;
inline constexpr uint32_t IpLogWrite = 0x80000002u;
inline constexpr uint32_t IpLogRecvApi = 0x80000003u;
inline constexpr uint32_t IpLogSendApi = 0x80000004u;

// Notification masks registered by the socket classes.
inline constexpr uint32_t IpBaseSocketEvents = FD_CONNECT | FD_CLOSE;                        // 48
inline constexpr uint32_t IpDataSocketEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;   // 51
inline constexpr uint32_t IpListenSocketEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;  // 43

// Receive buffer of a data socket and the longest line it assembles.
inline constexpr uint32_t IpReceiveBufferSize = 8192;
inline constexpr size_t IpMaxLineBuf = 1048576;
// Chunk in which a queued stream is read and handed to send; only this one
// chunk of a stream is held in memory. The kernel cuts segments itself, so
// the bytes on the wire and the events do not depend on it. 64 KiB is what
// measured best for 1 GiB uploads to a server on the same machine: 32 KiB
// and 256 KiB chunks were both slower, sendfile slower still (see
// IpDataSocketCopy.cpp).
inline constexpr int32_t IpStreamSendChunk = 64 * 1024;
// What the kernel may hold of a stream beyond what is in flight
// (TCP_NOTSENT_LOWAT; see TIpDataSocket::LimitUnsentBytes). 64 to 256 KiB
// measured alike, all about a tenth faster than no limit; 512 KiB lost it.
inline constexpr int32_t IpStreamUnsentLimit = 128 * 1024;
// A stream-mode socket whose bytes pass unchanged (see
// TIpDataSocket::BytesPassUnchanged) receives straight into its stream in
// pieces of this size instead of through the 8 KiB line buffer: a
// download then costs one recv and one write per piece instead of 32 of
// each.
inline constexpr uint32_t IpStreamReceivePiece = 256 * 1024;
// With telnet every chunk is escaped (and may double), so it stays small.
inline constexpr int32_t IpTelnetStreamChunk = 1024;

// Work one readiness notification may do before it hands the event loop
// back: a peer that sends (or reads) as fast as we can keep up would
// otherwise hold the loop for as long as it likes. Reading stops after this
// many recv calls (at most 64 KiB with the 8 KiB buffer); the read
// notification comes again while data waits.
inline constexpr int IpReadsPerNotification = 8;
// A stream-mode socket posts no message per line, so it may read more at a
// time (256 KiB): each notification costs a trip through the event loop.
inline constexpr int IpStreamReadsPerNotification = 32;
// The same bound for the large pieces: a few milliseconds of copying, so
// the window still repaints many times a second during a long download.
inline constexpr int64_t IpStreamReceiveBytesPerNotification = 1024 * 1024;
// Sending stops after this many bytes or send attempts, whichever comes
// first, and asks for another write notification for the rest.
inline constexpr int64_t IpSendBytesPerNotification = 1024 * 1024;
inline constexpr int IpSendsPerNotification = 64;

// The runtime's out-of-resources error ("Not enough system timers available").
class EOutOfResources : public std::runtime_error
{
public:
    explicit EOutOfResources(const std::string &Msg) : std::runtime_error(Msg) {}
};

// The "any" local address (AF_INET, port 0, 0.0.0.0): do not bind. Any
// unspecified address with port 0 counts as it, of either family.
TSockAddrIn IpAnyAddress();
bool IpIsAnyAddress(const TSockAddrIn &Addr);
// Addr as the socket layer keeps it: an IPv4-mapped IPv6 address (what a
// dual-stack socket reports for an IPv4 peer) becomes the IPv4 address.
TSockAddrIn IpUnmappedAddress(const TSockAddrIn &Addr);
// Addr in the family of a socket of Family: an IPv4 address becomes
// IPv4-mapped for an IPv6 socket.
TSockAddrIn IpAddressForFamily(const TSockAddrIn &Addr, int Family);
// The family new stream sockets are made in: IPv6 (dual-stack, so that they
// reach IPv4 hosts as well) where the system has it, IPv4 otherwise.
int IpSocketFamily();
// An IPv4 socket address from a network-order address and a host-order port.
TSockAddrIn IpMakeSockAddr(uint32_t NetAddr, uint16_t Port);
