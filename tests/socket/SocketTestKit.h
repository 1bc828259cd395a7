#pragma once
// Helpers for the socket-layer tests: a client that records everything its
// sockets report, a plain listening socket for peers, and a fast event-loop
// pump for tests that need thousands of round trips.

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "ftp/IpMultiClient.h"
#include "support/BlockingSocket.h"
#include "support/EventLoop.h"

// Runs the event loop until Cond holds or TimeoutMs passes; unlike RunUntil
// it reacts to every event at once instead of polling, for long loops.
bool PumpUntil(const std::function<bool()> &Cond, int TimeoutMs = 10000);

// A plain listening socket on 127.0.0.1 with an OS-chosen port.
class TTestListener
{
public:
    TTestListener();
    ~TTestListener();
    uint16_t Port() const { return FPort; }
    int Fd() const { return FFd; }
    // The next connection (blocking, with a time-out); closed socket on failure.
    TBlockingSocket Accept(int TimeoutMs = 5000);
    std::string Address() const { return "127.0.0.1:" + std::to_string(FPort); }

private:
    int FFd = -1;
    uint16_t FPort = 0;
};

// A port on 127.0.0.1 where nothing listens.
uint16_t ClosedPort();
// Number of open descriptors of this process.
int OpenDescriptorCount();
// Deterministic test bytes.
std::string PatternBytes(size_t Size, uint32_t Seed = 1);

struct TRecordedError
{
    TSocket Socket;
    int Code;
    std::string Text;
};

// Records, in order, what the socket layer reports. DoLineReceived is
// recorded synchronously (what an overriding client sees) and OnReadLine
// later (what the posted message delivers).
class TRecordingClient : public TIpCustomMultiClient
{
public:
    TRecordingClient();

    void DoLineReceived(TSocket Handle, const std::string &Text) override;
    void DoStatus(TSocket Handle, TIpStatusKind Kind, const TIpConnRec &Conn) override;
    void DoError(TSocket Handle, int Code, const std::string &Text) override;
    void DoSendComplete(TSocket Handle, int32_t Id, int32_t Remaining) override;
    void DoIdleTimeout(TSocket Handle, bool &Reset) override;

    // Everything in order: "line:<text>", "status:connect", "status:close",
    // "status:progress", "error:<code>", "sent:<id>/<remaining>", "idle".
    std::vector<std::string> Events;
    std::vector<std::string> Lines;       // as cut (DoLineReceived)
    std::vector<std::string> ReadLines;   // as delivered (OnReadLine)
    std::vector<TRecordedError> Errors;
    std::vector<std::tuple<int32_t, int32_t>> SendCompletes;
    int Connects = 0;
    int Closes = 0;
    int IdleTimeouts = 0;
    // Answer given to idle time-outs from this count on (0 = never reset).
    int ResetIdleFrom = 0;
    uint64_t BytesCut = 0;
    bool RecordLineText = true;
    std::function<void(TSocket, TIpStatusKind)> StatusHook;

    int Count(const std::string &Prefix) const;
};
