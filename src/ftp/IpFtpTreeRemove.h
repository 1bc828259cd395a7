#pragma once
// Removes a remote folder with everything in it: the files a walk of the
// folder found (links and special files too: DELE removes a link, never
// what it points to), then its folders deepest first, the folder itself
// last. One command at a time on the client's control connection, driven by
// the client's events from the event loop.
//
// What cannot be removed is reported and the rest goes on; a folder that
// still holds something then fails too, which is reported as well. A lost
// connection ends the removal with the reason.

#include <cstddef>
#include <string>
#include <vector>

#include "ftp/IpFtpClient.h"
#include "ftp/IpFtpWalk.h"
#include "platform/IpPlatform.h"

// What a removal of a walked folder takes: every file, link and special
// file with a usable name, and every folder below the root.
struct TIpFtpRemovalCount
{
    size_t Files = 0;
    size_t Folders = 0;
};
TIpFtpRemovalCount IpFtpCountRemoval(const TIpFtpTreeWalk &Walk);

class TIpFtpTreeRemove
{
public:
    explicit TIpFtpTreeRemove(TIpCustomFtpClient &Client);
    ~TIpFtpTreeRemove();
    TIpFtpTreeRemove(const TIpFtpTreeRemove &) = delete;
    TIpFtpTreeRemove &operator=(const TIpFtpTreeRemove &) = delete;

    // Removes what Walk found below RootPath (the absolute path the walk
    // read), then RootPath. The server is first sent to the parent folder:
    // some refuse to remove the folder they are in. False when the client
    // is not logged in and idle, the walk did not read the root, RootPath
    // is no absolute path below "/", or a removal runs.
    bool Start(const std::string &RootPath, const TIpFtpTreeWalk &Walk);
    bool Running() const { return FRunning; }
    // No further command is sent; the one under way still ends.
    void Cancel() { FCancelled = true; }

    size_t FilesRemoved() const { return FFilesRemoved; }
    size_t FoldersRemoved() const { return FFoldersRemoved; }
    // Absolute paths that could not be removed, with the server's reason.
    const std::vector<TIpFtpWalkProblem> &Failed() const { return FFailed; }
    // Why the removal ended early (the connection lost, cancelled); empty
    // when every step was tried.
    const std::string &Error() const { return FError; }
    // The removal went through: the root is gone.
    bool RootRemoved() const { return FRootRemoved; }

    // From the event loop: after each step, and once at the end.
    std::function<void(TIpFtpTreeRemove &Remove, const std::string &Path)> OnStep;
    std::function<void(TIpFtpTreeRemove &Remove)> OnFinished;

private:
    enum TStepKind : uint8_t { skLeave, skFile, skFolder };
    struct TStep
    {
        std::string Path;
        TStepKind Kind;
    };
    void Next();
    void StepEnded(bool Ok, const std::string &Reason);
    void Apply();
    void Finish(const std::string &Error);
    void WndProc(TIpMessage &Msg);

    TIpCustomFtpClient &FClient;
    TIpFtpClientHook FHook;
    TIpMessageWindow FWindow;
    std::vector<TStep> FSteps;
    size_t FNext = 0;
    bool FRunning = false;
    bool FStepRunning = false;
    bool FStepEnded = false;
    bool FStepOk = false;
    std::string FStepReason;
    bool FCancelled = false;
    size_t FFilesRemoved = 0;
    size_t FFoldersRemoved = 0;
    bool FRootRemoved = false;
    std::vector<TIpFtpWalkProblem> FFailed;
    std::string FError;
};
