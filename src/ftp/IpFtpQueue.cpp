#include "ftp/IpFtpQueue.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <map>

namespace {

constexpr uint32_t CM_QUEUEAPPLY = 4811;
constexpr uint32_t CM_QUEUENEXT = 4812;
constexpr uint32_t CM_QUEUEFINISHED = 4813;

// -1 when missing; -2 when it is not a regular file.
int64_t LocalFileSize(const std::string &Path)
{
    struct stat St;
    if (::lstat(Path.c_str(), &St) != 0)
        return -1;
    return S_ISREG(St.st_mode) ? static_cast<int64_t>(St.st_size) : -2;
}

bool IsLocalFolder(const std::string &Path)
{
    struct stat St;
    return ::stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

} // namespace

const char *IpFtpQueueStateName(TIpFtpQueueState State)
{
    static const char *Names[] = {"queued", "running", "done", "failed", "skipped", "cancelled"};
    return State <= qsCancelled ? Names[State] : "?";
}

TIpFtpQueue::TIpFtpQueue(TIpCustomFtpClient &Client)
    : FClient(Client), FHook(Client), FWindow([this](TIpMessage &Msg) { WndProc(Msg); })
{
    FHook.OnStatus = [this](TIpFtpStatusCode Code, const std::string &) {
        TIpFtpQueueItem *Item = Running();
        if (!Item || FEnded)
            return;
        switch (Code) {
        case fscProgress:
            Item->BytesMoved = FClient.BytesTransferred();
            if (OnItemProgress)
                OnItemProgress(*this, *Item);
            break;
        case fscTransferOK:
            if (!Item->Folder) {
                Item->BytesMoved = FClient.BytesTransferred();
                End(qsDone, std::string());
            }
            break;
        case fscComplete:
            if (Item->Folder)
                End(qsDone, std::string());
            break;
        case fscTimeout:
            End(qsFailed, "Transfer timed out");
            break;
        default:
            break;
        }
    };
    FHook.OnFtpError = [this](int, const std::string &Text) {
        if (Running() && !FEnded)
            End(qsFailed, IpFtpFirstLine(Text));
    };
    FHook.OnError = [this](int Code, const std::string &Text) {
        if (!Running() || FEnded)
            return;
        if (Code == IpFtpCancelledCode)
            End(qsCancelled, "Cancelled");
        else if (FClient.FtpState() == stReady)
            End(qsFailed, IpFtpFirstLine(Text));
        else
            // A refused data connection: the server's reply ends the item.
            FNote = IpFtpFirstLine(Text);
    };
    FHook.OnDisconnected = [this] {
        if (!FRunning)
            return;
        FStop = true;
        FStopReason = "Connection closed";
        if (Running() && !FEnded)
            End(qsFailed, FNote.empty() ? FStopReason : FStopReason + ": " + FNote);
        else if (!Running())
            Finish(FStopReason);
    };
}

TIpFtpQueue::~TIpFtpQueue()
{
    if (FRunning)
        FClient.SetTypeOnce(FSavedTypeOnce);
}

TIpFtpQueueItem &TIpFtpQueue::NewItem(TIpFtpQueueDirection Direction, const std::string &LocalPath,
                                      const std::string &RemotePath)
{
    TIpFtpQueueItem &Item = FItems.emplace_back();
    Item.Id = FNextId++;
    Item.Direction = Direction;
    Item.LocalPath = LocalPath;
    Item.RemotePath = RemotePath;
    return Item;
}

uint32_t TIpFtpQueue::AddUpload(const std::string &LocalPath, const std::string &RemotePath, int64_t Size,
                                TIpFtpStoreMode Mode, int64_t RestartAt)
{
    TIpFtpQueueItem &Item = NewItem(qdUpload, LocalPath, RemotePath);
    Item.Size = Size;
    Item.Mode = Mode;
    Item.RestartAt = RestartAt;
    if (OnItemAdded)
        OnItemAdded(*this, Item);
    return Item.Id;
}

uint32_t TIpFtpQueue::AddDownload(const std::string &RemotePath, const std::string &LocalPath, int64_t Size,
                                  int64_t ModifyTime, TIpFtpRetrieveMode Mode, int64_t RestartAt)
{
    TIpFtpQueueItem &Item = NewItem(qdDownload, LocalPath, RemotePath);
    Item.Size = Size;
    Item.ModifyTime = ModifyTime;
    Item.Mode = Mode;
    Item.RestartAt = RestartAt;
    if (OnItemAdded)
        OnItemAdded(*this, Item);
    return Item.Id;
}

uint32_t TIpFtpQueue::AddFolder(TIpFtpQueueDirection Direction, const std::string &LocalPath,
                                const std::string &RemotePath)
{
    TIpFtpQueueItem &Item = NewItem(Direction, LocalPath, RemotePath);
    Item.Folder = true;
    if (OnItemAdded)
        OnItemAdded(*this, Item);
    return Item.Id;
}

uint32_t TIpFtpQueue::AddSkipped(TIpFtpQueueDirection Direction, const std::string &LocalPath,
                                 const std::string &RemotePath, const std::string &Reason)
{
    TIpFtpQueueItem &Item = NewItem(Direction, LocalPath, RemotePath);
    Item.State = qsSkipped;
    Item.Error = Reason;
    if (OnItemAdded)
        OnItemAdded(*this, Item);
    return Item.Id;
}

const TIpFtpQueueItem *TIpFtpQueue::Find(uint32_t Id) const
{
    for (const TIpFtpQueueItem &Item : FItems)
        if (Item.Id == Id)
            return &Item;
    return nullptr;
}

TIpFtpQueueItem *TIpFtpQueue::Running()
{
    if (!FRunningId)
        return nullptr;
    // The running item is where the cursor stopped (ClearFinished resets both).
    if (FCursor < FItems.size() && FItems[FCursor].Id == FRunningId)
        return &FItems[FCursor];
    return const_cast<TIpFtpQueueItem *>(Find(FRunningId));
}

int TIpFtpQueue::Count(TIpFtpQueueState State) const
{
    int N = 0;
    for (const TIpFtpQueueItem &Item : FItems)
        N += Item.State == State;
    return N;
}

int64_t TIpFtpQueue::BytesDone() const
{
    const TIpFtpQueueItem *Item = const_cast<TIpFtpQueue *>(this)->Running();
    return FBytesDone + (Item ? Item->BytesMoved : 0);
}

void TIpFtpQueue::SetState(TIpFtpQueueItem &Item, TIpFtpQueueState State, const std::string &Error)
{
    Item.State = State;
    Item.Error = Error;
    if (OnItemState)
        OnItemState(*this, Item);
}

bool TIpFtpQueue::Start()
{
    if (FRunning || FClient.FtpState() != stReady || !FClient.LoggedIn())
        return false;
    FRunning = true;
    FStop = false;
    FCancelAll = false;
    FStopReason.clear();
    FCursor = 0;
    // One TYPE for the whole job, not one per file.
    FSavedTypeOnce = FClient.TypeOnce();
    FClient.SetTypeOnce(true);
    FHook.Attach();
    FWindow.PostMessage(CM_QUEUENEXT, 0, 0);
    return true;
}

bool TIpFtpQueue::Cancel(uint32_t Id)
{
    for (size_t I = 0; I < FItems.size(); ++I) {
        TIpFtpQueueItem &Item = FItems[I];
        if (Item.Id != Id)
            continue;
        if (Item.State == qsQueued) {
            SetState(Item, qsCancelled, "Cancelled");
            return true;
        }
        if (Item.State == qsRunning && Item.Id == FRunningId && !FEnded && !Item.Folder)
            return FClient.AbortTransfer();
        return false;
    }
    return false;
}

void TIpFtpQueue::CancelAll()
{
    FCancelAll = true;
    for (TIpFtpQueueItem &Item : FItems)
        if (Item.State == qsQueued)
            SetState(Item, qsCancelled, "Cancelled");
    if (TIpFtpQueueItem *Item = Running(); Item && !FEnded && !Item->Folder)
        FClient.AbortTransfer();
}

int TIpFtpQueue::RetryFailed()
{
    int N = 0;
    for (TIpFtpQueueItem &Item : FItems) {
        if (Item.State != qsFailed)
            continue;
        Item.Resume = Item.Direction == qdDownload && !Item.Folder && Item.MadeLocal;
        Item.BytesMoved = 0;
        SetState(Item, qsQueued, std::string());
        ++N;
    }
    FCursor = 0;
    if (N > 0 && !FRunning)
        Start();
    return N;
}

void TIpFtpQueue::ClearFinished()
{
    std::deque<TIpFtpQueueItem> Kept;
    for (TIpFtpQueueItem &Item : FItems)
        if (Item.State != qsDone && Item.State != qsSkipped)
            Kept.push_back(std::move(Item));
    FItems.swap(Kept);
    FCursor = 0;
}

void TIpFtpQueue::WndProc(TIpMessage &Msg)
{
    try {
        switch (Msg.Msg) {
        case CM_QUEUEAPPLY:
            Apply();
            break;
        case IP_WM_TIMER:
            FWindow.KillTimer(1);
            RunNext();
            break;
        case CM_QUEUENEXT:
            RunNext();
            break;
        case CM_QUEUEFINISHED:
            if (OnFinished)
                OnFinished(*this);
            break;
        default:
            break;
        }
    } catch (...) {
        IpHandleApplicationException(std::current_exception());
    }
}

void TIpFtpQueue::RunNext()
{
    if (!FRunning || FRunningId)
        return;
    if (FStop || FCancelAll) {
        Finish(FStopReason);
        return;
    }
    while (FCursor < FItems.size() && FItems[FCursor].State != qsQueued)
        ++FCursor;
    if (FCursor >= FItems.size()) {
        Finish(std::string());
        return;
    }
    if (FClient.FtpState() != stReady) {
        if (FClient.FtpState() == stClosed) {
            FStopReason = "Connection closed";
            Finish(FStopReason);
        } else {
            // Something else still busy with the client: a moment later.
            FWindow.SetTimer(1, 50);
        }
        return;
    }
    RunItem(FItems[FCursor]);
}

void TIpFtpQueue::RunItem(TIpFtpQueueItem &Item)
{
    FRunningId = Item.Id;
    FEnded = false;
    FNote.clear();
    Item.BytesMoved = 0;
    SetState(Item, qsRunning, std::string());
    try {
        if (Item.Folder && Item.Direction == qdDownload) {
            if (::mkdir(Item.LocalPath.c_str(), 0777) == 0 || (errno == EEXIST && IsLocalFolder(Item.LocalPath)))
                End(qsDone, std::string());
            else
                End(qsFailed, std::strerror(errno));
        } else if (Item.Folder) {
            if (!FClient.MakeDir(Item.RemotePath))
                End(qsFailed, "the client is not ready");
        } else if (Item.Direction == qdDownload) {
            RunDownload(Item);
        } else if (!FClient.Store(Item.RemotePath, Item.LocalPath, static_cast<TIpFtpStoreMode>(Item.Mode),
                                  Item.RestartAt)) {
            End(qsFailed, LocalFileSize(Item.LocalPath) == -1 ? "Cannot read file: it is gone"
                                                              : "Cannot read file: not a regular file");
        }
    } catch (const std::exception &E) {
        End(qsFailed, E.what());
    }
}

void TIpFtpQueue::RunDownload(TIpFtpQueueItem &Item)
{
    const int64_t Local = LocalFileSize(Item.LocalPath);
    TIpFtpRetrieveMode Mode = static_cast<TIpFtpRetrieveMode>(Item.Mode);
    int64_t RestartAt = Item.RestartAt;
    if (Item.Resume && Local > 0 && FClient.CanRestart()) {
        Mode = rmRestart;
        RestartAt = Local;
    } else if (Item.Resume) {
        Mode = rmReplace;
    }
    if (Mode == rmReplace && Local == -1) {
        // Nothing to keep: written in place, so a cut leaves the start of
        // the file to resume from instead of nothing.
        Mode = rmAppend;
        Item.MadeLocal = true;
    } else if (Local == -1) {
        Item.MadeLocal = true;
    }
    FClient.SetNextDownloadFacts(Item.RemotePath, Item.Size, Item.ModifyTime);
    if (!FClient.Retrieve(Item.RemotePath, Item.LocalPath, Mode, RestartAt))
        End(qsFailed, "the client is not ready");
}

void TIpFtpQueue::End(TIpFtpQueueState State, const std::string &Error)
{
    if (FEnded)
        return;
    FEnded = true;
    FOutcome = State;
    FOutcomeError = Error;
    FWindow.PostMessage(CM_QUEUEAPPLY, 0, 0);
}

void TIpFtpQueue::Apply()
{
    TIpFtpQueueItem *Item = Running();
    FRunningId = 0;
    if (!Item)
        return;
    if (FOutcome == qsDone) {
        FBytesDone += Item->BytesMoved;
    } else if (Item->Direction == qdDownload && !Item->Folder && Item->MadeLocal &&
               LocalFileSize(Item->LocalPath) == 0 && Item->Size != 0) {
        // An empty file the item made holds nothing worth resuming.
        ::unlink(Item->LocalPath.c_str());
    }
    if (FCancelAll && FOutcome == qsFailed && FClient.FtpState() != stClosed)
        FOutcome = qsCancelled;
    SetState(*Item, FOutcome, FOutcomeError);
    if (Item->Folder && FOutcome == qsFailed) {
        // What would go into a folder that is not there fails without a try.
        const bool Up = Item->Direction == qdUpload;
        const std::string Prefix = IpFtpJoinPath(Up ? Item->RemotePath : Item->LocalPath, std::string());
        for (TIpFtpQueueItem &Other : FItems) {
            const std::string &Path = Up ? Other.RemotePath : Other.LocalPath;
            if (Other.State == qsQueued && Other.Direction == Item->Direction &&
                Path.compare(0, Prefix.size(), Prefix) == 0)
                SetState(Other, qsFailed, "its folder could not be created");
        }
    }
    RunNext();
}

void TIpFtpQueue::Finish(const std::string &Reason)
{
    if (!FRunning)
        return;
    FRunning = false;
    FStopReason = Reason;
    FHook.Detach();
    FClient.SetTypeOnce(FSavedTypeOnce);
    FWindow.PostMessage(CM_QUEUEFINISHED, 0, 0);
}

// ---------------------------------------------------------------------------
// Planning a tree copy

void IpFtpQueueTreeUpload(TIpFtpQueue &Queue, const TIpFtpTreeWalk &Local, const std::string &LocalRoot,
                          const TIpFtpTreeWalk *Remote, const std::string &RemoteRoot, TIpFtpStoreMode Mode)
{
    // What is there already, by relative path: folders (-2) and file sizes.
    std::map<std::string, int64_t> There;
    const bool RootThere = Remote && Remote->RootFound;
    if (RootThere)
        for (const TIpFtpWalkEntry &E : Remote->Entries)
            There[E.Path] = E.Folder ? -2 : E.Size;
    if (!RootThere)
        Queue.AddFolder(qdUpload, LocalRoot, RemoteRoot);
    for (const TIpFtpWalkEntry &E : Local.Entries) {
        const std::string From = IpFtpJoinPath(LocalRoot, E.Path);
        const std::string To = IpFtpJoinPath(RemoteRoot, E.Path);
        const auto It = There.find(E.Path);
        if (E.Folder) {
            if (It == There.end() || It->second != -2)
                Queue.AddFolder(qdUpload, From, To);
            continue;
        }
        TIpFtpStoreMode ItemMode = Mode > smUnique ? smRestart : Mode;
        int64_t RestartAt = 0;
        if (ItemMode == smRestart) {
            const int64_t Have = It == There.end() ? -1 : It->second;
            if (Have >= 0 && Have == E.Size) {
                Queue.AddSkipped(qdUpload, From, To, "already there at full size");
                continue;
            }
            if (Have > 0 && Have < E.Size)
                RestartAt = Have;
            else
                ItemMode = smReplace;
        }
        Queue.AddUpload(From, To, E.Size, ItemMode, RestartAt);
    }
    for (const TIpFtpWalkProblem &P : Local.Skipped)
        Queue.AddSkipped(qdUpload, IpFtpJoinPath(LocalRoot, P.Path), IpFtpJoinPath(RemoteRoot, P.Path), P.Reason);
}

void IpFtpQueueTreeDownload(TIpFtpQueue &Queue, const TIpFtpTreeWalk &Remote, const std::string &RemoteRoot,
                            const std::string &LocalRoot, TIpFtpRetrieveMode Mode)
{
    if (!IsLocalFolder(LocalRoot))
        Queue.AddFolder(qdDownload, LocalRoot, RemoteRoot);
    for (const TIpFtpWalkEntry &E : Remote.Entries) {
        const std::string From = IpFtpJoinPath(RemoteRoot, E.Path);
        const std::string To = IpFtpJoinPath(LocalRoot, E.Path);
        if (E.Folder) {
            if (!IsLocalFolder(To))
                Queue.AddFolder(qdDownload, To, From);
            continue;
        }
        TIpFtpRetrieveMode ItemMode = Mode == rmAppend || Mode == rmReplace ? Mode : rmRestart;
        int64_t RestartAt = 0;
        if (ItemMode == rmRestart) {
            const int64_t Have = LocalFileSize(To);
            if (Have >= 0 && Have == E.Size) {
                Queue.AddSkipped(qdDownload, To, From, "already here at full size");
                continue;
            }
            if (Have > 0 && (E.Size < 0 || Have < E.Size))
                RestartAt = Have;
            else
                ItemMode = rmReplace;
        }
        Queue.AddDownload(From, To, E.Size, E.ModifyTime, ItemMode, RestartAt);
    }
    for (const TIpFtpWalkProblem &P : Remote.Skipped)
        Queue.AddSkipped(qdDownload, IpFtpJoinPath(LocalRoot, P.Path), IpFtpJoinPath(RemoteRoot, P.Path), P.Reason);
}
