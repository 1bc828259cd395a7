#include "tools/cli_tree.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "tools/cli_format.h"
#include "tools/cli_session.h"

namespace {

void WriteErr(const std::string &Text)
{
    std::fwrite(Text.data(), 1, Text.size(), stderr);
    std::fflush(stderr);
}

} // namespace

TCliTreeJob::TCliTreeJob(TIpCustomFtpClient &Client, const TCliOptions &Options, bool ProgressTty, TDone Done)
    : FClient(Client), FOptions(Options), FProgressTty(ProgressTty), FDone(std::move(Done))
{
}

void TCliTreeJob::Start()
{
    FStart = std::chrono::steady_clock::now();
    if (FOptions.Operation == coPut)
        StartUpload();
    else
        StartDownload();
}

void TCliTreeJob::StartUpload()
{
    FLocalRoot = IpFtpWithoutTrailingSlashes(FOptions.Args[0]);
    if (FOptions.Args.size() > 1) {
        FRemoteArg = FOptions.Args[1];
    } else {
        // "." or ".." has a name only once resolved.
        std::string Name = IpFtpLastPart(FLocalRoot);
        if (Name == "." || Name == "..") {
            char Buf[PATH_MAX];
            Name = ::realpath(FLocalRoot.c_str(), Buf) ? IpFtpLastPart(Buf) : std::string();
        }
        if (Name.empty() || Name == "/" || Name.find_first_of("\r\n") != std::string::npos) {
            FDone(CliExitUsage, "no remote folder name for '" + EscapeText(FOptions.Args[0]) + "': give REMOTEDIR");
            return;
        }
        FRemoteArg = Name;
    }
    FLocal = IpWalkLocalTree(FLocalRoot);
    if (!FLocal.RootFound) {
        FDone(CliExitLocal, "cannot read folder '" + EscapeText(FLocalRoot) + "': " + FLocal.RootError);
        return;
    }
    for (const TIpFtpWalkProblem &P : FLocal.Failed)
        FWalkFailures.push_back({IpFtpJoinPath(FLocalRoot, P.Path), P.Reason});
    // What is there already decides which folders are made and how the
    // files that exist are treated.
    FWalk = std::make_unique<TIpFtpRemoteWalk>(FClient);
    FWalk->OnFinished = [this](TIpFtpRemoteWalk &) { RemoteWalked(); };
    if (!FWalk->Start(FRemoteArg))
        FDone(CliExitNetwork, "the client is not ready for the operation");
}

void TCliTreeJob::StartDownload()
{
    FRemoteArg = FOptions.Args[0];
    if (FOptions.Args.size() > 1) {
        FLocalRoot = IpFtpWithoutTrailingSlashes(FOptions.Args[1]);
    } else {
        FLocalRoot = IpFtpLastPart(FRemoteArg);
        if (FLocalRoot.empty() || FLocalRoot == "/" || FLocalRoot == "." || FLocalRoot == "..") {
            FDone(CliExitUsage, "no local folder name for '" + EscapeText(FRemoteArg) + "': give LOCALDIR");
            return;
        }
    }
    FWalk = std::make_unique<TIpFtpRemoteWalk>(FClient);
    FWalk->OnFinished = [this](TIpFtpRemoteWalk &) { RemoteWalked(); };
    if (!FWalk->Start(FRemoteArg))
        FDone(CliExitNetwork, "the client is not ready for the operation");
}

void TCliTreeJob::RemoteWalked()
{
    if (FReported)
        return;
    const TIpFtpTreeWalk &Remote = FWalk->Result();
    if (!FWalk->Error().empty()) {
        FDone(FClient.FtpState() == stClosed ? CliExitNetwork : CliExitServer,
              "cannot read the remote folder '" + EscapeText(FRemoteArg) + "': " + OneLine(FWalk->Error()));
        return;
    }
    for (const TIpFtpWalkProblem &P : Remote.Failed)
        FWalkFailures.push_back({IpFtpJoinPath(FWalk->RootPath(), P.Path), P.Reason});
    FQueue = std::make_unique<TIpFtpQueue>(FClient);
    if (FOptions.Operation == coPut) {
        const TIpFtpStoreMode Mode = FOptions.Mode == cmAppend    ? smAppend
                                     : FOptions.Mode == cmUnique  ? smUnique
                                     : FOptions.Mode == cmRestart ? smRestart
                                                                  : smReplace;
        IpFtpQueueTreeUpload(*FQueue, FLocal, FLocalRoot, &Remote, FWalk->RootPath(), Mode);
    } else {
        if (!Remote.RootFound) {
            FDone(CliExitServer, "cannot list '" + EscapeText(FRemoteArg) + "': " + OneLine(Remote.RootError));
            return;
        }
        const TIpFtpRetrieveMode Mode = FOptions.Mode == cmAppend    ? rmAppend
                                        : FOptions.Mode == cmRestart ? rmRestart
                                                                     : rmReplace;
        IpFtpQueueTreeDownload(*FQueue, Remote, FWalk->RootPath(), FLocalRoot, Mode);
    }
    RunQueue();
}

void TCliTreeJob::RunQueue()
{
    for (const TIpFtpQueueItem &Item : FQueue->Items())
        FFiles += !Item.Folder && Item.State != qsSkipped;
    FQueue->OnItemState = [this](TIpFtpQueue &, const TIpFtpQueueItem &Item) {
        if (Item.State != qsRunning)
            ShowProgress(false);
    };
    FQueue->OnItemProgress = [this](TIpFtpQueue &, const TIpFtpQueueItem &) { ShowProgress(false); };
    FQueue->OnFinished = [this](TIpFtpQueue &) { QueueFinished(); };
    FStart = std::chrono::steady_clock::now();
    if (!FQueue->Start())
        FDone(CliExitNetwork, "the client is not ready for the operation");
}

void TCliTreeJob::QueueFinished()
{
    ShowProgress(true);
    Report(FQueue->StopReason().empty() ? CliExitOk : CliExitNetwork);
}

void TCliTreeJob::ConnectionLost()
{
    if (FReported)
        return;
    EndProgressLine();
    if (!FQueue) {
        FDone(CliExitNetwork, "Connection closed by the server");
        FReported = true;
        return;
    }
    Report(CliExitNetwork);
}

void TCliTreeJob::Report(int ExitCode)
{
    if (FReported)
        return;
    FReported = true;
    EndProgressLine();
    int Failed = static_cast<int>(FWalkFailures.size());
    int NotRun = 0;
    int Complete = 0; // restart mode: files the other side has whole
    for (const TIpFtpWalkProblem &P : FWalkFailures)
        WriteErr("tolvane-cli: failed: " + EscapeText(P.Path) + ": " + OneLine(P.Reason) + "\n");
    if (FQueue) {
        for (const TIpFtpQueueItem &Item : FQueue->Items()) {
            const std::string &Source = Item.Direction == qdUpload ? Item.LocalPath : Item.RemotePath;
            if (Item.State == qsFailed || Item.State == qsRunning) {
                ++Failed;
                const std::string Why = Item.State == qsRunning ? "Connection closed" : Item.Error;
                WriteErr("tolvane-cli: failed: " + EscapeText(Source) + ": " + OneLine(Why) + "\n");
            } else if (Item.State == qsSkipped && Item.Error.compare(0, 8, "already ") == 0) {
                ++Complete;
            } else if (Item.State == qsSkipped) {
                WriteErr("tolvane-cli: skipped: " + EscapeText(Source) + ": " + OneLine(Item.Error) + "\n");
            } else if (Item.State == qsQueued || Item.State == qsCancelled) {
                ++NotRun;
            }
        }
    }
    if (Complete > 0)
        WriteErr("tolvane-cli: " + std::to_string(Complete) + " files complete already, left as they are\n");
    std::string Message;
    if (Failed > 0 || NotRun > 0) {
        Message = std::to_string(Failed) + " failed";
        if (NotRun > 0)
            Message += ", " + std::to_string(NotRun) + " not transferred";
        if (FQueue && !FQueue->StopReason().empty())
            Message += " (" + FQueue->StopReason() + ")";
        if (ExitCode == CliExitOk)
            ExitCode = CliExitServer;
    }
    FDone(ExitCode, Message);
}

void TCliTreeJob::ShowProgress(bool Final)
{
    if (!FProgressTty || !FQueue)
        return;
    const auto Now = std::chrono::steady_clock::now();
    // A line per small file would cost more than the file.
    if (!Final && FProgressShown && Now - FLastShown < std::chrono::milliseconds(200))
        return;
    FLastShown = Now;
    int Done = 0;
    for (const TIpFtpQueueItem &Item : FQueue->Items())
        Done += !Item.Folder && (Item.State == qsDone || Item.State == qsFailed);
    const double Seconds = std::chrono::duration<double>(Now - FStart).count();
    const uint64_t Bytes = static_cast<uint64_t>(FQueue->BytesDone());
    char Rate[64];
    std::snprintf(Rate, sizeof Rate, "%.1f MB/s", Seconds > 0 ? Bytes / Seconds / 1e6 : 0.0);
    WriteErr("\r" + std::to_string(Done) + " of " + std::to_string(FFiles) + " files  " + SizeText(Bytes) + "  " +
             Rate + "\x1b[K");
    FProgressShown = true;
    if (Final)
        EndProgressLine();
}

void TCliTreeJob::EndProgressLine()
{
    if (!FProgressShown)
        return;
    FProgressShown = false;
    WriteErr("\n");
}
