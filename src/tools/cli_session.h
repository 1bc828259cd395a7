#pragma once
// One run of tolvane-cli: log in, run one operation, send QUIT, report.
// Everything is driven by the client's events from the event loop; nothing
// here waits or blocks.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ftp/IpFtpClient.h"
#include "tools/cli_options.h"

// The FTP client with two additions for the trace: every line it queues on
// the control connection is handed to OnCommandSent (the password masked),
// and every reply line to OnReplyLine just before the client acts on it, so
// a trace shows commands and replies in their true order.
class TCliFtpClient : public TIpFtpClient
{
public:
    using TIpFtpClient::TIpFtpClient;

    TSocket CreateSocket() override;
    void WndProc(TIpMessage &Msg) override;
    // The end of the data connection starts the wait for the final reply
    // afresh: the time-out measures silence, and until then the data
    // connection was what moved.
    void DoStatus(TSocket Handle, TIpStatusKind Kind, const TIpConnRec &Conn) override;
    // Called with each command line as it is queued (without CR LF).
    std::function<void(const std::string &Line)> OnCommandSent;
    // Called with each reply line (with its CR LF) as it is taken up.
    std::function<void(const std::string &Line)> OnReplyLine;
};

// Exit statuses.
inline constexpr int CliExitOk = 0;
inline constexpr int CliExitServer = 1;   // an error reply
inline constexpr int CliExitUsage = 2;
inline constexpr int CliExitNetwork = 3;  // socket or proxy failure, connection lost
inline constexpr int CliExitTimeout = 4;
inline constexpr int CliExitLocal = 5;    // local file cannot be read or written

class TCliTreeJob;

class TCliSession
{
public:
    // Finish is called once, from the event loop, with the exit status.
    TCliSession(const TCliOptions &Options, std::function<void(int)> Finish);
    ~TCliSession();
    TCliSession(const TCliSession &) = delete;
    TCliSession &operator=(const TCliSession &) = delete;

    // Checks the local side and starts the login. Call from the event loop.
    void Start();
    // An exception that reached the event loop: the run fails with it.
    void HandleException(const std::string &Message);
    // A terminating signal: ends the run at once (exit 128 + Signal).
    void Interrupt(int Signal);

private:
    enum TPhase : uint8_t { phIdle, phLogin, phSystem, phSystemPwd, phChangeDir, phOperation, phJob, phQuit, phDone };

    void BindEvents();
    void Reply(int Code, const std::string &Text);
    void Status(TIpFtpStatusCode Code, const std::string &Info);
    void OperationReply(int Code, const std::string &Text);
    void AfterLogin();
    void StartOperation();
    // Listing: the listing text when it is at hand, else FListing.
    void TransferPartDone(const std::string *Listing = nullptr);
    void PrintListing(const std::string &Listing);
    // The error line for a socket error: what failed and where, in the
    // words of the system; the engine's own text goes to the trace.
    std::string NetworkMessage(TSocket Handle, int Code, const std::string &EngineText);

    // get -r / put -r: the job has ended with Code (Message for a failure).
    void JobDone(int Code, const std::string &Message);
    void Succeed();
    void Fail(int Code, const std::string &Message);
    void Quit();
    // Ends the run if the server neither answers QUIT nor closes.
    void ArmQuitTimer();
    void FinishNow();

    // Runs Action from the event loop once the current event has returned:
    // the client finishes its own handling of a reply before the next
    // operation starts.
    void Later(std::function<void()> Action);

    void Trace(const std::string &Line);
    void ShowProgress(bool Final);
    void EndProgressLine();

    TCliOptions FOptions;
    std::function<void(int)> FFinish;
    TCliFtpClient FClient;
    TPhase FPhase = phIdle;
    int FExitCode = CliExitOk;
    bool FDecided = false;
    bool FFinished = false;
    // A flag the deferred actions check, so none runs after destruction.
    std::shared_ptr<bool> FAlive;

    TIpFtpDirStyle FStyle = dsNone;
    std::string FLocalPath;   // get: the target; put: the source
    std::string FRemotePath;
    int64_t FRestartAt = 0;   // what goes to Retrieve/Store
    int64_t FStartOffset = 0; // where in the file this transfer starts
    int64_t FTotal = -1;      // file size when known
    bool FDataDone = false;
    bool FFinalReply = false;
    std::string FListing;
    std::string FListingCut; // why the listing is incomplete; empty when whole
    std::string FReplyLines; // quote: every line of the reply, closing line included
    bool FReplyCut = false;  // quote: lines were left out at the size limit
    std::string FCutLast;    // quote: the last line that did not fit (the closing one at the end)
    bool FDirChanged = false; // ls/nlst DIR: the CWD has been answered
    bool FControlConnected = false;

    bool FProgressTty = false;
    bool FProgressShown = false;
    std::chrono::steady_clock::time_point FTransferStart;
    std::unique_ptr<TCliTreeJob> FJob;
};
