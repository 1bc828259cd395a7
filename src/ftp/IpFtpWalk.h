#pragma once
// Walks of a folder tree, remote and local, that say what a recursive copy
// has to move: every folder and file below a root, by its path relative to
// the root. Links are never followed and what is neither a file nor a folder
// is skipped; both are reported, as are folders that could not be read.
//
// The remote walk runs on the client's control connection, one listing per
// folder (MLSD when the client lists with it, else CWD and LIST), driven by
// the client's events from the event loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ftp/IpFtpClient.h"
#include "platform/IpPlatform.h"

struct TIpFtpWalkEntry
{
    std::string Path;        // relative to the root, "/" between the parts
    bool Folder = false;
    int64_t Size = -1;       // files; -1 when unknown
    int64_t ModifyTime = -1; // seconds since 1970 UTC; -1 when unknown
};

struct TIpFtpWalkProblem
{
    std::string Path;        // relative to the root ("" for the root itself)
    std::string Reason;
    // Skipped, but the server can remove it by its name (a link, a special file).
    bool Removable = false;
};

// A name from a listing or a folder that can be a part of a path: not
// empty, not "." or "..", no "/" and no NUL byte.
bool IpFtpUsableName(const std::string &Name);
// Parent + "/" + Name, without doubling a "/" (an empty parent gives Name).
std::string IpFtpJoinPath(const std::string &Parent, const std::string &Name);
// Path without the "/" at its end ("/" itself stays).
std::string IpFtpWithoutTrailingSlashes(std::string Path);
// The part after the last "/", trailing ones ignored ("/a/b/" gives "b",
// "/" gives "").
std::string IpFtpLastPart(const std::string &Path);
// The first line of a reply, without its line end.
std::string IpFtpFirstLine(const std::string &Text);

// Folders deeper than this below the root are reported, not listed: a
// server must not be able to keep a walk going for ever.
inline constexpr int IpFtpMaxWalkDepth = 64;

struct TIpFtpTreeWalk
{
    bool RootFound = false;   // the root could be read (and is a folder)
    std::string RootError;    // why not, when it could not
    std::vector<TIpFtpWalkEntry> Entries; // parents before their children
    std::vector<TIpFtpWalkProblem> Skipped; // links, special files, unusable names
    std::vector<TIpFtpWalkProblem> Failed;  // folders below the root that could not be read
};

// Reads the local tree below Root (a link as the root itself is followed,
// any link below it is not). Never throws.
TIpFtpTreeWalk IpWalkLocalTree(const std::string &Root);

// Hooks the client's events while a walk or a queue runs on it, and hands
// each one on to the handler that was there before (which sees every event
// as it would without the hook). One hook at a time, released in the
// reverse order of taking.
class TIpFtpClientHook
{
public:
    explicit TIpFtpClientHook(TIpCustomFtpClient &Client);
    ~TIpFtpClientHook();
    TIpFtpClientHook(const TIpFtpClientHook &) = delete;
    TIpFtpClientHook &operator=(const TIpFtpClientHook &) = delete;

    void Attach();
    void Detach();
    bool Attached() const { return FAttached; }

    std::function<void(int Code, const std::string &Text)> OnReply;
    std::function<void(TIpFtpStatusCode Code, const std::string &Info)> OnStatus;
    std::function<void(int Code, const std::string &Text)> OnFtpError;
    std::function<void(int Code, const std::string &Text)> OnError;
    std::function<void()> OnDisconnected;

private:
    struct TSaved;
    TIpCustomFtpClient &FClient;
    std::shared_ptr<TSaved> FSaved;
    bool FAttached = false;
};

class TIpFtpRemoteWalk
{
public:
    explicit TIpFtpRemoteWalk(TIpCustomFtpClient &Client);
    ~TIpFtpRemoteWalk();
    TIpFtpRemoteWalk(const TIpFtpRemoteWalk &) = delete;
    TIpFtpRemoteWalk &operator=(const TIpFtpRemoteWalk &) = delete;

    // Starts the walk of Root (relative to the current remote folder, or
    // absolute). False when the client is not logged in and idle. While it
    // runs the bound folder tree is let go, so the walk's listings do not
    // show there; it is bound again at the end.
    bool Start(const std::string &Root);
    bool Running() const { return FRunning; }
    // The root as an absolute path (known once the walk has begun).
    const std::string &RootPath() const { return FRootPath; }
    const TIpFtpTreeWalk &Result() const { return FResult; }
    // Why the walk ended before it was done (the connection lost); empty
    // when it went through every folder it could read.
    const std::string &Error() const { return FError; }

    // From the event loop, once the walk has ended either way.
    std::function<void(TIpFtpRemoteWalk &Walk)> OnFinished;

private:
    enum TStep : uint8_t { wsIdle, wsPwd, wsCwd, wsList };
    struct TFolder
    {
        std::string Path; // relative
        int Depth;
    };
    void Next();
    void ListCurrent();
    void Listed(const std::string &Listing);
    void FolderFailed(const std::string &Reason);
    void StepDone();
    void Finish(const std::string &Error);
    void Post(uint32_t Msg);
    void WndProc(TIpMessage &Msg);

    TIpCustomFtpClient &FClient;
    TIpFtpClientHook FHook;
    TIpMessageWindow FWindow;
    TIpFtpDirTree *FTree = nullptr;
    bool FRunning = false;
    bool FSavedTypeOnce = false;
    TStep FStep = wsIdle;
    bool FStepEnded = false;
    std::string FRootArg;
    std::string FRootPath;
    std::vector<TFolder> FPending; // folders still to list, next at the back
    TFolder FCurrent;
    TIpFtpTreeWalk FResult;
    std::string FError;
    std::string FStepError;
};
