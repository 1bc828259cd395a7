#pragma once

#include "support/BlockingSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

// A scripted peer on 127.0.0.1: it listens at construction and runs its
// steps, in order, on its own thread with blocking sockets, while the code
// under test runs on the test thread's event loop. Steps may be added at any
// time (each call returns *this for chaining) and run as soon as the ones
// before them are done. Every wait has a time-out: a step that fails records
// a failure text, closes every connection (so the client sees a close, not a
// hang) and ends the script. Once the steps run out, the peer keeps its
// connections open and records what the client still sends.
//
// The control connection is accepted on demand by the first step that needs
// it (or explicitly with Accept()).
class TScriptedPeer
{
public:
    // On ::1 instead (control and passive listeners) with ipv6.
    explicit TScriptedPeer(bool ipv6 = false);
    virtual ~TScriptedPeer();
    TScriptedPeer(const TScriptedPeer &) = delete;
    TScriptedPeer &operator=(const TScriptedPeer &) = delete;

    uint16_t Port() const { return FPort; }

    // Time-out of each step queued after this call (default 5000 ms).
    TScriptedPeer &SetStepTimeout(int ms);

    // --- control connection
    TScriptedPeer &Accept();                    // a (new) control connection; the previous one is closed
    TScriptedPeer &Send(const std::string &line); // line + CR LF, one write
    TScriptedPeer &SendRaw(const std::string &bytes); // exactly these bytes, one write
    TScriptedPeer &SendSplit(const std::vector<std::string> &parts, int pauseMs); // one write per part
    TScriptedPeer &SendBytes(const std::string &bytes) { return SendRaw(bytes); }
    // bytes cut into pieces of the given sizes (the rest in a last piece),
    // one write each, pauseMs apart: tests the client's reassembly.
    TScriptedPeer &SendBytesSplit(const std::string &bytes, const std::vector<size_t> &sizes, int pauseMs = 50);
    TScriptedPeer &Expect(const std::string &line);         // next line (CR LF removed) equals line
    TScriptedPeer &ExpectPrefix(const std::string &prefix); // next line starts with prefix
    TScriptedPeer &ReceiveLine();                           // any next line
    TScriptedPeer &ExpectBytes(const std::string &bytes);   // next bytes equal these exactly
    TScriptedPeer &ReceiveBytes(size_t count);              // any next count bytes
    TScriptedPeer &ExpectClosed(); // the client closes the control connection (bytes before it are recorded)
    TScriptedPeer &Close();        // orderly close (FIN)
    TScriptedPeer &Reset();        // abortive close (RST)
    // Does nothing for ms: with a data connection open this stalls it (no
    // reads, no writes), with a command outstanding it delays the reply.
    TScriptedPeer &Pause(int ms);
    TScriptedPeer &Mark(const std::string &label); // Reached(label) turns true here
    TScriptedPeer &Hold();                          // waits until the test calls Release() (up to 60 s)

    // --- FTP shorthands
    // Greeting, "USER user" -> 331, "PASS password" -> 230.
    TScriptedPeer &Login(const std::string &user, const std::string &password,
                         const std::string &greeting = "220 Scripted FTP ready");
    TScriptedPeer &Reply(const std::string &command, const std::string &reply); // Expect + Send
    // "FEAT" -> "211 No features": the client's last login step, on a server
    // that offers nothing beyond the basic commands.
    TScriptedPeer &NoFeatures();

    // --- data connection (one at a time)
    // Opens a passive listener and sends replyTemplate with "{addr}" replaced
    // by "127,0,0,1,p1,p2", "{port}" by the decimal port, "{p1}" and "{p2}"
    // by its two bytes.
    TScriptedPeer &OpenPassive(const std::string &replyTemplate = "227 Entering Passive Mode ({addr}).");
    // The same on a given port (0: any).
    TScriptedPeer &OpenPassiveAt(uint16_t port, const std::string &replyTemplate);
    TScriptedPeer &ExpectPasv(const std::string &replyTemplate = "227 Entering Passive Mode ({addr}).");
    // Like OpenPassive, but the announced port refuses connections.
    TScriptedPeer &RefusePassive(const std::string &replyTemplate = "227 Entering Passive Mode ({addr}).");
    TScriptedPeer &AcceptData();     // accepts on the passive listener
    TScriptedPeer &ExpectPort();     // next line is "PORT h1,h2,h3,h4,p1,p2" (loopback); no reply is sent
    // Unless this is called (before the client connects), EPSV and EPRT are
    // answered "500 Unknown command." by the peer itself and never reach
    // the script, like a server that knows only PASV and PORT.
    TScriptedPeer &ExtendedCommands();
    TScriptedPeer &ExpectEpsv(const std::string &replyTemplate = "229 Entering Extended Passive Mode (|||{port}|)");
    TScriptedPeer &ExpectEprt();     // next line is "EPRT |1|127.0.0.1|port|" (|2|::1| on ::1); no reply is sent
    TScriptedPeer &ConnectData();    // connects to the address of the last PORT
    TScriptedPeer &SendData(const std::string &bytes);
    TScriptedPeer &ReceiveData();    // everything until the client closes the data connection
    TScriptedPeer &ReceiveDataBytes(size_t count); // exactly count data bytes (recorded like ReceiveData)
    TScriptedPeer &ReceiveDataUntilReset(); // like ReceiveData, but the client must end it with a reset
    // TLS as the server (key and certificate in pem) on the control
    // connection (after sending "234") or the data connection; CloseData
    // then ends the data connection without close_notify.
    TScriptedPeer &StartTls(const std::string &pem);
    TScriptedPeer &StartDataTls(const std::string &pem);
    TScriptedPeer &ShutdownData();   // FIN only: the connection stays open and is not read any more
    TScriptedPeer &CloseData();      // FIN
    TScriptedPeer &ResetData();      // RST

    // --- results (safe to call from the test thread at any time)
    bool Done() const; // every queued step ran, or the script failed
    // Runs the Qt event loop until Done(); fails with the failures, the step
    // it was stuck at and the lines received.
    testing::AssertionResult WaitDone(int timeoutMs = 10000);
    std::vector<std::string> Received() const; // complete lines from the control connection(s), CR LF removed
    std::string ReceivedBytes() const;         // every byte from the control connection(s)
    std::vector<std::string> DataReceived() const; // one entry per ReceiveData step
    std::vector<std::string> Failures() const;
    bool Reached(const std::string &label) const;
    void Release();
    uint16_t DataPort() const;  // port of the last passive listener or PORT command
    int Connections() const;    // control connections accepted so far
    bool ClientClosed() const;  // the client closed the current control connection
    std::string Describe() const; // state summary used in failure messages

protected:
    struct TStep
    {
        std::string Desc;
        std::function<bool(TScriptedPeer &, int timeoutMs)> Run;
        int TimeoutMs;
    };
    TScriptedPeer &Add(std::string desc, std::function<bool(TScriptedPeer &, int)> run);
    bool Fail(const std::string &text);
    bool NeedControl(int timeoutMs);
    std::optional<std::string> ReadControlLine(int timeoutMs);

private:
    void ThreadMain();
    void Idle();
    void CloseAll();
    bool AcceptOn(int listenFd, TBlockingSocket &into, int timeoutMs, const char *what);
    void RecordControl(std::string_view bytes);
    void Wake(int fd);

    uint16_t FPort = 0;
    const bool FIpv6 = false;
    std::atomic<bool> FExtended{false};
    int FListenFd = -1;
    int FStopFd = -1;
    int FStepFd = -1;

    // Owned by the peer thread.
    TBlockingSocket FCtrl;
    TBlockingSocket FData;
    int FPasvFd = -1;
    int FRefuseFd = -1;
    std::string FPortHost;
    uint16_t FPortPort = 0;
    std::string FLinePartial;

    mutable std::mutex FMutex;
    std::condition_variable FCond;
    std::deque<TStep> FSteps; // all steps, run or not
    size_t FNext = 0;         // index of the step running or to run
    bool FRunning = false;
    bool FAborted = false;
    bool FStop = false;
    int FStepTimeout = 5000;
    int FReleases = 0;
    int FConnections = 0;
    bool FClientClosed = false;
    uint16_t FDataPort = 0;
    std::vector<std::string> FReceived;
    std::string FReceivedBytes;
    std::vector<std::string> FDataReceived;
    std::vector<std::string> FFailures;
    std::set<std::string> FMarks;

    std::thread FThread;
};

// Printable form of bytes for messages: C escapes for control and high bytes.
std::string EscapeBytes(std::string_view bytes, size_t maxLen = 200);
