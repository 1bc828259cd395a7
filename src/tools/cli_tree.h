#pragma once
// get -r and put -r of tolvane-cli: walk the source tree (and the target,
// for an upload), queue what is missing, run the queue on the session's
// one connection, and report: one progress line for the whole job, the
// failures at the end.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ftp/IpFtpQueue.h"
#include "ftp/IpFtpWalk.h"
#include "tools/cli_options.h"

class TCliTreeJob
{
public:
    // Done is called once with the exit status and, for a job that could
    // not run at all, the message to show (empty otherwise).
    using TDone = std::function<void(int ExitCode, const std::string &Message)>;

    TCliTreeJob(TIpCustomFtpClient &Client, const TCliOptions &Options, bool ProgressTty, TDone Done);

    // Starts the job on a logged-in, idle client.
    void Start();
    // The control connection has gone: what was done and what not is
    // reported now, while the program is still there to tell it.
    void ConnectionLost();

private:
    void StartUpload();
    void StartDownload();
    void RemoteWalked();
    void RunQueue();
    void QueueFinished();
    void Report(int ExitCode);
    void ShowProgress(bool Final);
    void EndProgressLine();

    TIpCustomFtpClient &FClient;
    TCliOptions FOptions;
    bool FProgressTty;
    TDone FDone;
    bool FReported = false;
    std::string FLocalRoot;
    std::string FRemoteArg;
    TIpFtpTreeWalk FLocal;
    std::vector<TIpFtpWalkProblem> FWalkFailures; // not read, so not copied (paths as shown)
    std::unique_ptr<TIpFtpRemoteWalk> FWalk;
    std::unique_ptr<TIpFtpQueue> FQueue;
    int FFiles = 0;  // files in the queue
    std::chrono::steady_clock::time_point FStart;
    std::chrono::steady_clock::time_point FLastShown;
    bool FProgressShown = false;
};
