#include "ftp/IpFtpWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ftp/IpFtpList.h"

namespace {

constexpr uint32_t CM_WALKNEXT = 4801;

constexpr uint32_t CM_WALKDONE = 4802;

std::string SystemText(int Err)
{
    return std::strerror(Err);
}

} // namespace

// The first line of a reply, without its line end.
std::string IpFtpFirstLine(const std::string &Text)
{
    return Text.substr(0, Text.find_first_of("\r\n"));
}

namespace {

} // namespace

bool IpFtpUsableName(const std::string &Name)
{
    return !Name.empty() && Name != "." && Name != ".." && Name.find('/') == std::string::npos &&
           Name.find('\0') == std::string::npos;
}

std::string IpFtpWithoutTrailingSlashes(std::string Path)
{
    while (Path.size() > 1 && Path.back() == '/')
        Path.pop_back();
    return Path;
}

std::string IpFtpLastPart(const std::string &Path)
{
    const std::string P = IpFtpWithoutTrailingSlashes(Path);
    const size_t Slash = P.find_last_of('/');
    return Slash == std::string::npos ? P : P.substr(Slash + 1);
}

std::string IpFtpJoinPath(const std::string &Parent, const std::string &Name)
{
    if (Parent.empty())
        return Name;
    if (Parent.back() == '/')
        return Parent + Name;
    return Parent + "/" + Name;
}

// ---------------------------------------------------------------------------
// Local tree

namespace {

void WalkLocalFolder(int DirFd, const std::string &Rel, int Depth, TIpFtpTreeWalk &Out)
{
    DIR *Dir = ::fdopendir(DirFd);
    if (!Dir) {
        Out.Failed.push_back({Rel, SystemText(errno)});
        ::close(DirFd);
        return;
    }
    std::vector<std::string> Names;
    errno = 0;
    while (dirent *E = ::readdir(Dir)) {
        const std::string Name = E->d_name;
        if (Name != "." && Name != "..")
            Names.push_back(Name);
    }
    std::sort(Names.begin(), Names.end());
    std::vector<std::string> Folders;
    for (const std::string &Name : Names) {
        const std::string Path = IpFtpJoinPath(Rel, Name);
        struct stat St;
        if (::fstatat(::dirfd(Dir), Name.c_str(), &St, AT_SYMLINK_NOFOLLOW) != 0) {
            Out.Failed.push_back({Path, SystemText(errno)});
            continue;
        }
        // A name that would break the command line cannot be sent.
        if (Name.find_first_of("\r\n") != std::string::npos) {
            Out.Skipped.push_back({Path, "the name holds a line break"});
            continue;
        }
        if (S_ISLNK(St.st_mode)) {
            Out.Skipped.push_back({Path, "symbolic link (not followed)"});
        } else if (S_ISDIR(St.st_mode)) {
            Out.Entries.push_back({Path, true, -1, static_cast<int64_t>(St.st_mtime)});
            Folders.push_back(Name);
        } else if (S_ISREG(St.st_mode)) {
            Out.Entries.push_back({Path, false, static_cast<int64_t>(St.st_size), static_cast<int64_t>(St.st_mtime)});
        } else {
            Out.Skipped.push_back({Path, "not a regular file"});
        }
    }
    for (const std::string &Name : Folders) {
        const std::string Path = IpFtpJoinPath(Rel, Name);
        if (Depth + 1 > IpFtpMaxWalkDepth) {
            Out.Failed.push_back({Path, "too deep"});
            continue;
        }
        const int Fd = ::openat(::dirfd(Dir), Name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (Fd < 0) {
            Out.Failed.push_back({Path, SystemText(errno)});
            continue;
        }
        WalkLocalFolder(Fd, Path, Depth + 1, Out);
    }
    ::closedir(Dir);
}

} // namespace

TIpFtpTreeWalk IpWalkLocalTree(const std::string &Root)
{
    TIpFtpTreeWalk Out;
    const int Fd = ::open(Root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0) {
        Out.RootError = SystemText(errno);
        return Out;
    }
    Out.RootFound = true;
    WalkLocalFolder(Fd, std::string(), 0, Out);
    return Out;
}

// ---------------------------------------------------------------------------
// Event hook

struct TIpFtpClientHook::TSaved
{
    TIpFtpClientHook *Owner = nullptr;
    TIpFtpReplyEvent Reply;
    TIpFtpStatusEvent Status;
    TIpFtpErrorEvent FtpError;
    TIpErrorEvent Error;
    TNotifyEvent Disconnected;
};

TIpFtpClientHook::TIpFtpClientHook(TIpCustomFtpClient &Client) : FClient(Client) {}

TIpFtpClientHook::~TIpFtpClientHook()
{
    Detach();
}

void TIpFtpClientHook::Attach()
{
    if (FAttached)
        return;
    FAttached = true;
    FSaved = std::make_shared<TSaved>();
    FSaved->Owner = this;
    FSaved->Reply = FClient.OnFtpReply;
    FSaved->Status = FClient.OnFtpStatus;
    FSaved->FtpError = FClient.OnFtpError;
    FSaved->Error = FClient.OnError;
    FSaved->Disconnected = FClient.OnFtpDisconnected;
    // Each handler keeps its own reference: a detach from inside a handler
    // destroys the very function that is running.
    std::shared_ptr<TSaved> S = FSaved;
    FClient.OnFtpReply = [S](TObject *Sender, int Code, const std::string &Text) {
        const std::shared_ptr<TSaved> Keep = S;
        if (Keep->Owner && Keep->Owner->OnReply)
            Keep->Owner->OnReply(Code, Text);
        if (Keep->Reply)
            Keep->Reply(Sender, Code, Text);
    };
    FClient.OnFtpStatus = [S](TObject *Sender, TIpFtpStatusCode Code, const std::string &Info) {
        const std::shared_ptr<TSaved> Keep = S;
        if (Keep->Owner && Keep->Owner->OnStatus)
            Keep->Owner->OnStatus(Code, Info);
        if (Keep->Status)
            Keep->Status(Sender, Code, Info);
    };
    FClient.OnFtpError = [S](TObject *Sender, int Code, const std::string &Text) {
        const std::shared_ptr<TSaved> Keep = S;
        if (Keep->Owner && Keep->Owner->OnFtpError)
            Keep->Owner->OnFtpError(Code, Text);
        if (Keep->FtpError)
            Keep->FtpError(Sender, Code, Text);
    };
    FClient.OnError = [S](TObject *Sender, TSocket Socket, int Code, const std::string &Text) {
        const std::shared_ptr<TSaved> Keep = S;
        if (Keep->Owner && Keep->Owner->OnError)
            Keep->Owner->OnError(Code, Text);
        if (Keep->Error)
            Keep->Error(Sender, Socket, Code, Text);
    };
    FClient.OnFtpDisconnected = [S](TObject *Sender) {
        const std::shared_ptr<TSaved> Keep = S;
        if (Keep->Owner && Keep->Owner->OnDisconnected)
            Keep->Owner->OnDisconnected();
        if (Keep->Disconnected)
            Keep->Disconnected(Sender);
    };
}

void TIpFtpClientHook::Detach()
{
    if (!FAttached)
        return;
    FAttached = false;
    FSaved->Owner = nullptr;
    FClient.OnFtpReply = FSaved->Reply;
    FClient.OnFtpStatus = FSaved->Status;
    FClient.OnFtpError = FSaved->FtpError;
    FClient.OnError = FSaved->Error;
    FClient.OnFtpDisconnected = FSaved->Disconnected;
    FSaved.reset();
}

// ---------------------------------------------------------------------------
// Remote tree

TIpFtpRemoteWalk::TIpFtpRemoteWalk(TIpCustomFtpClient &Client)
    : FClient(Client), FHook(Client), FWindow([this](TIpMessage &Msg) { WndProc(Msg); })
{
    FHook.OnReply = [this](int Code, const std::string &Text) {
        if (!FRunning || FStepEnded || Code < 200)
            return;
        if (FStep == wsPwd) {
            const std::string Path = FtpQuotedPath(Text);
            if (Code != 257 || Path.empty() || Path[0] != '/') {
                FStepError = "the server did not tell its current folder";
                Finish(FStepError);
                return;
            }
            FRootPath = IpFtpJoinPath(Path, FRootArg);
            StepDone();
        } else if (FStep == wsCwd) {
            if (Code >= 300)
                FStepError = IpFtpFirstLine(Text);
            StepDone();
        }
    };
    FHook.OnStatus = [this](TIpFtpStatusCode Code, const std::string &Info) {
        if (!FRunning || FStep != wsList || FStepEnded)
            return;
        if (Code == fscDirList) {
            Listed(Info);
            StepDone();
        } else if (Code == fscTimeout) {
            FStepError = "timed out";
            StepDone();
        }
    };
    FHook.OnFtpError = [this](int, const std::string &Text) {
        if (FRunning && FStep == wsList && !FStepEnded) {
            FStepError = IpFtpFirstLine(Text);
            StepDone();
        }
    };
    FHook.OnError = [this](int Code, const std::string &Text) {
        // A cut listing is still a listing; what else ends it leaves the
        // client idle (a refused data connection waits for the server).
        if (!FRunning || FStep != wsList || FStepEnded || Code == IpFtpListingCutCode ||
            FClient.FtpState() != stReady)
            return;
        FStepError = Text;
        StepDone();
    };
    FHook.OnDisconnected = [this] {
        if (FRunning)
            Finish("Connection closed");
    };
}

TIpFtpRemoteWalk::~TIpFtpRemoteWalk()
{
    if (FTree && !FClient.DirectoryTree())
        FClient.SetDirectoryTree(FTree);
}

bool TIpFtpRemoteWalk::Start(const std::string &Root)
{
    if (FRunning || FClient.FtpState() != stReady || !FClient.LoggedIn() ||
        Root.find_first_of("\r\n") != std::string::npos)
        return false;
    FResult = TIpFtpTreeWalk();
    FError.clear();
    FPending.clear();
    FRootArg = Root;
    while (FRootArg.size() > 1 && FRootArg.back() == '/')
        FRootArg.pop_back();
    FTree = FClient.DirectoryTree();
    FClient.SetDirectoryTree(nullptr);
    FHook.Attach();
    // One TYPE for all the listings.
    FSavedTypeOnce = FClient.TypeOnce();
    FClient.SetTypeOnce(true);
    FRunning = true;
    FPending.push_back({std::string(), 0});
    if (!FRootArg.empty() && FRootArg[0] == '/') {
        FRootPath = FRootArg;
        Post(CM_WALKNEXT);
        return true;
    }
    // Every folder is named by its full path: a CWD into one must not
    // change what the next name means.
    FStep = wsPwd;
    FStepEnded = false;
    if (!FClient.SendFtpCommand("PWD")) {
        Finish("the client is busy");
        return true;
    }
    return true;
}

void TIpFtpRemoteWalk::Post(uint32_t Msg)
{
    FWindow.PostMessage(Msg, 0, 0);
}

void TIpFtpRemoteWalk::StepDone()
{
    FStepEnded = true;
    // The client finishes its handling of this reply before anything new.
    Post(CM_WALKNEXT);
}

void TIpFtpRemoteWalk::WndProc(TIpMessage &Msg)
{
    if (Msg.Msg == CM_WALKDONE) {
        if (OnFinished)
            OnFinished(*this);
        return;
    }
    if (Msg.Msg != CM_WALKNEXT || !FRunning)
        return;
    try {
        Next();
    } catch (...) {
        Finish(IpExceptionMessage(std::current_exception()));
    }
}

void TIpFtpRemoteWalk::Next()
{
    const TStep Step = FStep;
    FStep = wsIdle;
    if (Step == wsCwd) {
        if (!FStepError.empty()) {
            FolderFailed(FStepError);
        } else {
            FStep = wsList;
            FStepEnded = false;
            FStepError.clear();
            FClient.ListDir(std::string(), true);
            return;
        }
    } else if (Step == wsList && !FStepError.empty()) {
        FolderFailed(FStepError);
    }
    FStepError.clear();
    if (FClient.FtpState() != stReady) {
        Finish(FClient.FtpState() == stClosed ? "Connection closed" : "the client is busy");
        return;
    }
    if (FPending.empty()) {
        Finish(std::string());
        return;
    }
    FCurrent = FPending.back();
    FPending.pop_back();
    ListCurrent();
}

void TIpFtpRemoteWalk::ListCurrent()
{
    const std::string Path = FCurrent.Path.empty() ? FRootPath : IpFtpJoinPath(FRootPath, FCurrent.Path);
    FStepEnded = false;
    FStepError.clear();
    if (FClient.UseMlsd()) {
        // MLSD takes a path as it is (RFC 3659): one command per folder.
        FStep = wsList;
        FClient.ListDir(Path, true);
        return;
    }
    // LIST arguments are read as options and patterns by some servers.
    FStep = wsCwd;
    if (!FClient.SendFtpCommand("CWD " + Path))
        Finish("the client is busy");
}

void TIpFtpRemoteWalk::Listed(const std::string &Listing)
{
    if (FCurrent.Path.empty())
        FResult.RootFound = true;
    TIpFtpDirStyle Style = FClient.ListedWithMlsd() ? dsMlsd : FClient.SystemStyle();
    if (Style == dsNone || Style == dsMlsd) {
        if (!FClient.ListedWithMlsd())
            Style = GuessListingStyle(Listing);
    }
    if (Style == dsNone)
        Style = dsUnix;
    TIpFtpFileList List;
    List.ParseListing(Listing, Style);
    std::vector<TFolder> Folders;
    for (size_t I = 0; I < List.Count(); ++I) {
        const TIpFtpFileInfo &E = *List[I];
        const std::string Path = IpFtpJoinPath(FCurrent.Path, E.FileName);
        // A hostile name must not lead the copy out of its target.
        if (!IpFtpUsableName(E.FileName) || E.FileName.find_first_of("\r\n") != std::string::npos) {
            FResult.Skipped.push_back({Path, "unusable name"});
            continue;
        }
        switch (E.FileKind) {
        case fkDirectory:
            FResult.Entries.push_back({Path, true, -1, E.ModifyTime});
            if (FCurrent.Depth + 1 > IpFtpMaxWalkDepth)
                FResult.Failed.push_back({Path, "too deep"});
            else
                Folders.push_back({Path, FCurrent.Depth + 1});
            break;
        case fkFile:
            FResult.Entries.push_back({Path, false, E.Size, E.ModifyTime});
            break;
        case fkLink:
            FResult.Skipped.push_back({Path, "link (not followed)", true});
            break;
        default:
            FResult.Skipped.push_back({Path, "not a file or folder", true});
            break;
        }
    }
    // The stack takes the last first: listed in the listing's order.
    for (auto It = Folders.rbegin(); It != Folders.rend(); ++It)
        FPending.push_back(*It);
}

void TIpFtpRemoteWalk::FolderFailed(const std::string &Reason)
{
    if (FCurrent.Path.empty()) {
        FResult.RootFound = false;
        FResult.RootError = Reason;
        FPending.clear();
    } else {
        FResult.Failed.push_back({FCurrent.Path, Reason});
    }
}

void TIpFtpRemoteWalk::Finish(const std::string &Error)
{
    if (!FRunning)
        return;
    FRunning = false;
    FStep = wsIdle;
    FError = Error;
    FHook.Detach();
    FClient.SetTypeOnce(FSavedTypeOnce);
    if (FTree && !FClient.DirectoryTree())
        FClient.SetDirectoryTree(FTree);
    FTree = nullptr;
    // Told from the event loop: the handler may start the next job at once.
    Post(CM_WALKDONE);
}
