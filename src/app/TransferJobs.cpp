#include "app/TransferJobs.h"

#include <QTimer>
#include <QWidget>

#include <map>
#include <utility>

#include "app/AppRules.h"
#include "app/OverwriteQuestion.h"

namespace {

constexpr size_t ReasonsShown = 3;

// Below RemoteDir, a file name Taken does not hold yet.
std::string FreeName(const std::string &Name, const std::function<bool(const std::string &)> &Taken)
{
    return NumberedName(Name, Taken);
}

// The part of a relative path before its last "/" (with the "/"), and after it.
std::pair<std::string, std::string> SplitRelative(const std::string &Path)
{
    const size_t Slash = Path.find_last_of('/');
    if (Slash == std::string::npos)
        return {std::string(), Path};
    return {Path.substr(0, Slash + 1), Path.substr(Slash + 1)};
}

} // namespace

TListedEntry ListedEntryOf(const TIpFtpFileInfo &Info)
{
    return {Info.FileName, Info.FileKind == fkDirectory, Info.Size, Info.ModifyTime};
}

QString JobOutcomeText(const TJobOutcome &O, bool Details)
{
    QString Text;
    if (!O.Problem.empty()) {
        Text = QObject::tr("Transfers stopped: %1").arg(DisplayName(O.Problem));
    } else {
        QStringList Parts;
        Parts << QObject::tr("%1 done").arg(O.Done);
        if (O.Failed)
            Parts << QObject::tr("%1 failed").arg(O.Failed);
        if (O.Skipped)
            Parts << QObject::tr("%1 skipped").arg(O.Skipped);
        if (O.Cancelled)
            Parts << QObject::tr("%1 cancelled").arg(O.Cancelled);
        if (O.NotRun)
            Parts << QObject::tr("%1 not transferred").arg(O.NotRun);
        Text = (O.CancelledByUser ? QObject::tr("Transfers cancelled: %1") : QObject::tr("Transfers finished: %1"))
                   .arg(Parts.join(QStringLiteral(", ")));
        if (!O.StopReason.empty())
            Text += QStringLiteral(" (") + DisplayName(O.StopReason) + QStringLiteral(")");
        Text += QLatin1Char('.');
    }
    if (Details)
        for (const std::string &R : O.Reasons)
            Text += QLatin1Char('\n') + DisplayName(R);
    return Text;
}

TTransferJobs::TTransferJobs(TIpCustomFtpClient &Client, QWidget *Parent)
    : FClient(Client), FParent(Parent), FQueue(std::make_unique<TIpFtpQueue>(Client))
{
    FQueue->OnItemAdded = [this](TIpFtpQueue &, const TIpFtpQueueItem &Item) {
        if (FActive)
            FMine.insert(Item.Id);
        if (OnItem)
            OnItem(Item, true);
    };
    FQueue->OnItemState = [this](TIpFtpQueue &, const TIpFtpQueueItem &Item) {
        if (FActive)
            FMine.insert(Item.Id);
        if (OnItem)
            OnItem(Item, false);
    };
    FQueue->OnItemProgress = [this](TIpFtpQueue &, const TIpFtpQueueItem &Item) {
        if (OnItem)
            OnItem(Item, false);
    };
    FQueue->OnFinished = [this](TIpFtpQueue &) { QueueFinished(); };
}

TTransferJobs::~TTransferJobs()
{
    // Each lets go of the client's events as it goes, the walk first: only
    // one of them holds them at a time.
    FWalk.reset();
    FQueue->OnItemAdded = nullptr;
    FQueue->OnItemState = nullptr;
    FQueue->OnItemProgress = nullptr;
    FQueue->OnFinished = nullptr;
    FQueue.reset();
}

void TTransferJobs::SetActive(bool Active)
{
    if (FActive == Active)
        return;
    FActive = Active;
    if (OnBusyChanged)
        OnBusyChanged();
}

void TTransferJobs::BeginJob(const QString &Where)
{
    FMine.clear();
    FSteps.clear();
    FCancelled = false;
    FPlanning = true;
    FBatch = std::make_unique<TOverwriteBatch>(FParent, Where);
    SetActive(true);
}

bool TTransferJobs::Upload(const std::vector<std::string> &Paths, const std::string &RemoteFolder,
                           const std::vector<TListedEntry> &Listed, TIpFtpStoreMode Mode)
{
    if (FActive)
        return false;
    BeginJob(tr("remote folder"));
    std::map<std::string, int64_t> There; // name: size, -2 for a folder
    for (const TListedEntry &E : Listed)
        There[E.Name] = E.Folder ? -2 : E.Size;
    const TTaken Taken = [There](const std::string &Name) { return There.count(Name) > 0; };
    for (const std::string &Raw : Paths) {
        const std::string Path = IpFtpWithoutTrailingSlashes(Raw);
        const std::string Name = IpFtpLastPart(Path);
        const auto It = There.find(Name);
        if (!IpFtpUsableName(Name) || Name.find_first_of("\r\n") != std::string::npos) {
            // No remote name can be made of it ("/", "..", a line break).
            FQueue->AddSkipped(qdUpload, Path, RemoteFolder, "its name cannot be used on the server");
        } else if (IsLocalFolder(Path)) {
            const bool Exists = It != There.end() && It->second == -2;
            FSteps.push_back([this, Path, Target = RemoteFolder + Name, Exists, Mode] {
                UploadFolder(Path, Target, Exists, Mode);
            });
        } else if (IsRegularFile(Path)) {
            AddUpload(Path, RemoteFolder, Name, LocalFileSize(Path), It == There.end() ? -1 : It->second, Mode, Taken);
        } else {
            FQueue->AddSkipped(qdUpload, Path, RemoteFolder + Name,
                               LocalFileSize(Path) == -1 ? "not found" : "not a regular file");
        }
    }
    Next();
    return true;
}

bool TTransferJobs::Download(const std::vector<TListedEntry> &Entries, const std::string &RemoteFolder,
                             const std::string &LocalFolder, TIpFtpRetrieveMode Mode)
{
    if (FActive)
        return false;
    BeginJob(tr("local folder"));
    for (const TListedEntry &E : Entries) {
        if (!IsSafeLocalName(E.Name)) {
            // A hostile listing must not choose where a file lands.
            FQueue->AddSkipped(qdDownload, std::string(), RemoteFolder + E.Name,
                               "its name cannot be used as a local file name");
        } else if (E.Folder) {
            FSteps.push_back([this, Remote = RemoteFolder + E.Name, Local = JoinLocalPath(LocalFolder, E.Name), Mode] {
                WalkRemote(Remote, [this, Remote, Local, Mode](const TIpFtpRemoteWalk &Walk) {
                    if (!Walk.Result().RootFound)
                        FQueue->AddSkipped(qdDownload, Local, Remote, "cannot list it: " + Walk.Result().RootError);
                    else
                        PlanTreeDownload(Walk.Result(), Walk.RootPath(), Local, Mode);
                });
            });
        } else {
            AddDownload(RemoteFolder, LocalFolder, E, Mode);
        }
    }
    Next();
    return true;
}

void TTransferJobs::UploadFolder(const std::string &Local, const std::string &Target, bool Exists,
                                 TIpFtpStoreMode Mode)
{
    auto Walk = std::make_shared<TIpFtpTreeWalk>(IpWalkLocalTree(Local));
    if (!Walk->RootFound) {
        FQueue->AddSkipped(qdUpload, Local, Target, "cannot read the folder: " + Walk->RootError);
        Next();
        return;
    }
    for (const TIpFtpWalkProblem &P : Walk->Failed)
        FQueue->AddSkipped(qdUpload, IpFtpJoinPath(Local, P.Path), IpFtpJoinPath(Target, P.Path),
                           "cannot read the folder: " + P.Reason);
    if (!Exists) {
        PlanTreeUpload(*Walk, Local, nullptr, Target, Mode);
        Next();
        return;
    }
    // What is there already decides which folders are made and which
    // files are asked about.
    WalkRemote(Target, [this, Walk, Local, Mode](const TIpFtpRemoteWalk &Remote) {
        PlanTreeUpload(*Walk, Local, &Remote.Result(), Remote.RootPath(), Mode);
    });
}

void TTransferJobs::WalkRemote(const std::string &Path, std::function<void(const TIpFtpRemoteWalk &)> Then)
{
    FWalk = std::make_unique<TIpFtpRemoteWalk>(FClient);
    FWalk->OnFinished = [this, Then](TIpFtpRemoteWalk &) {
        // The walk is done with its event; it goes once this returns.
        QTimer::singleShot(0, this, [this, Then] {
            if (!FWalk)
                return;
            const std::unique_ptr<TIpFtpRemoteWalk> Walk = std::move(FWalk);
            if (!Walk->Error().empty()) {
                EndJob(Walk->Error());
                return;
            }
            if (!FCancelled)
                Then(*Walk);
            Next();
        });
    };
    if (!FWalk->Start(Path)) {
        FWalk.reset();
        EndJob("the client is not ready");
    }
}

void TTransferJobs::PlanTreeUpload(const TIpFtpTreeWalk &Local, const std::string &LocalRoot,
                                   const TIpFtpTreeWalk *Remote, const std::string &RemoteRoot, TIpFtpStoreMode Mode)
{
    if (Mode != smReplace || !Remote || !Remote->RootFound) {
        IpFtpQueueTreeUpload(*FQueue, Local, LocalRoot, Remote, RemoteRoot, Mode);
        return;
    }
    std::map<std::string, int64_t> There;
    for (const TIpFtpWalkEntry &E : Remote->Entries)
        There[E.Path] = E.Folder ? -2 : E.Size;
    // Files that exist are asked about first; those not simply replaced
    // are queued after the rest, once their folders are planned.
    TIpFtpTreeWalk Plain = Local;
    Plain.Entries.clear();
    Plain.Skipped.clear();
    std::vector<std::pair<TIpFtpWalkEntry, TBatchChoice>> Asked;
    for (const TIpFtpWalkEntry &E : Local.Entries) {
        const auto It = There.find(E.Path);
        if (E.Folder || It == There.end() || It->second < 0) {
            Plain.Entries.push_back(E);
            continue;
        }
        const TBatchChoice Choice = FBatch->Decide(E.Path, E.Size, It->second);
        if (Choice == bcOverwrite)
            Plain.Entries.push_back(E);
        else
            Asked.emplace_back(E, Choice);
    }
    Plain.Skipped = Local.Skipped;
    IpFtpQueueTreeUpload(*FQueue, Plain, LocalRoot, Remote, RemoteRoot, smReplace);
    for (const auto &[E, Choice] : Asked) {
        const std::string From = IpFtpJoinPath(LocalRoot, E.Path);
        const std::string To = IpFtpJoinPath(RemoteRoot, E.Path);
        const auto [Dir, Name] = SplitRelative(E.Path);
        if (Choice == bcResume)
            FQueue->AddUpload(From, To, E.Size, smRestart, There[E.Path]);
        else if (Choice == bcRename)
            FQueue->AddUpload(From,
                              IpFtpJoinPath(RemoteRoot, Dir + FreeName(Name, [&There, D = Dir](const std::string &N) {
                                                return There.count(D + N) > 0;
                                            })),
                              E.Size, smReplace);
        else
            FQueue->AddSkipped(qdUpload, From, To, "exists already; not replaced");
    }
}

void TTransferJobs::PlanTreeDownload(const TIpFtpTreeWalk &Remote, const std::string &RemoteRoot,
                                     const std::string &LocalRoot, TIpFtpRetrieveMode Mode)
{
    if (Mode != rmReplace) {
        IpFtpQueueTreeDownload(*FQueue, Remote, RemoteRoot, LocalRoot, Mode);
        return;
    }
    TIpFtpTreeWalk Plain = Remote;
    Plain.Entries.clear();
    std::vector<std::pair<TIpFtpWalkEntry, TBatchChoice>> Asked;
    for (const TIpFtpWalkEntry &E : Remote.Entries) {
        const int64_t Have = E.Folder ? -1 : LocalFileSize(JoinLocalPath(LocalRoot, E.Path));
        if (Have < 0) {
            Plain.Entries.push_back(E);
            continue;
        }
        const TBatchChoice Choice = FBatch->Decide(E.Path, E.Size, Have);
        if (Choice == bcOverwrite)
            Plain.Entries.push_back(E);
        else
            Asked.emplace_back(E, Choice);
    }
    IpFtpQueueTreeDownload(*FQueue, Plain, RemoteRoot, LocalRoot, rmReplace);
    for (const auto &[E, Choice] : Asked) {
        const std::string From = IpFtpJoinPath(RemoteRoot, E.Path);
        const std::string To = JoinLocalPath(LocalRoot, E.Path);
        const auto [Dir, Name] = SplitRelative(E.Path);
        if (Choice == bcResume)
            FQueue->AddDownload(From, To, E.Size, E.ModifyTime, rmRestart, LocalFileSize(To));
        else if (Choice == bcRename)
            FQueue->AddDownload(From,
                                JoinLocalPath(LocalRoot, Dir + FreeName(Name, [&](const std::string &N) {
                                                  return LocalFileSize(JoinLocalPath(LocalRoot, Dir + N)) >= 0;
                                              })),
                                E.Size, E.ModifyTime, rmReplace);
        else
            FQueue->AddSkipped(qdDownload, To, From, "exists already; not replaced");
    }
}

void TTransferJobs::AddUpload(const std::string &Local, const std::string &RemoteDir, const std::string &Name,
                              int64_t Size, int64_t Have, TIpFtpStoreMode Mode, const TTaken &Taken)
{
    const std::string To = RemoteDir + Name;
    if (Mode == smRestart) {
        // Each file resumes where the server's copy ends.
        if (Have >= 0 && Have == Size)
            FQueue->AddSkipped(qdUpload, Local, To, "already there at full size");
        else if (Have > 0 && Have < Size)
            FQueue->AddUpload(Local, To, Size, smRestart, Have);
        else
            FQueue->AddUpload(Local, To, Size, smReplace);
        return;
    }
    if (Mode != smReplace || Have < 0) {
        FQueue->AddUpload(Local, To, Size, Mode);
        return;
    }
    switch (FBatch->Decide(Name, Size, Have)) {
    case bcOverwrite:
        FQueue->AddUpload(Local, To, Size, smReplace);
        break;
    case bcResume:
        FQueue->AddUpload(Local, To, Size, smRestart, Have);
        break;
    case bcRename:
        FQueue->AddUpload(Local, RemoteDir + FreeName(Name, Taken), Size, smReplace);
        break;
    case bcSkip:
        FQueue->AddSkipped(qdUpload, Local, To, "exists already; not replaced");
        break;
    }
}

void TTransferJobs::AddDownload(const std::string &RemoteDir, const std::string &LocalDir, const TListedEntry &E,
                                TIpFtpRetrieveMode Mode)
{
    const std::string From = RemoteDir + E.Name;
    const std::string To = JoinLocalPath(LocalDir, E.Name);
    const int64_t Have = LocalFileSize(To);
    TIpFtpRetrieveMode ItemMode = Mode;
    int64_t RestartAt = 0;
    if (Mode == rmRestart) {
        if (Have >= 0 && Have == E.Size) {
            FQueue->AddSkipped(qdDownload, To, From, "already here at full size");
            return;
        }
        ItemMode = Have > 0 && (E.Size < 0 || Have < E.Size) ? rmRestart : rmReplace;
        RestartAt = ItemMode == rmRestart ? Have : 0;
    } else if (Mode == rmReplace && Have >= 0) {
        switch (FBatch->Decide(E.Name, E.Size, Have)) {
        case bcOverwrite:
            break;
        case bcResume:
            ItemMode = rmRestart;
            RestartAt = Have;
            break;
        case bcRename:
            FQueue->AddDownload(From, JoinLocalPath(LocalDir, FreeName(E.Name, [&](const std::string &N) {
                                    return LocalFileSize(JoinLocalPath(LocalDir, N)) >= 0;
                                })),
                                E.Size, E.ModifyTime, rmReplace);
            return;
        case bcSkip:
            FQueue->AddSkipped(qdDownload, To, From, "exists already; not replaced");
            return;
        }
    }
    FQueue->AddDownload(From, To, E.Size, E.ModifyTime, ItemMode, RestartAt);
}

void TTransferJobs::Next()
{
    if (!FPlanning)
        return;
    if (FCancelled) {
        EndJob(std::string());
        return;
    }
    if (!FSteps.empty()) {
        const std::function<void()> Step = std::move(FSteps.front());
        FSteps.pop_front();
        Step(); // goes on here, or once its walk has ended
        return;
    }
    FPlanning = false;
    FBatch.reset();
    StartQueue();
}

void TTransferJobs::StartQueue()
{
    FRan = FQueue->Count(qsQueued) > 0;
    if (!FRan) {
        // Nothing to move (all skipped): the job is over at once.
        QTimer::singleShot(0, this, [this] { QueueFinished(); });
        return;
    }
    if (!FQueue->Start())
        EndJob("the client is not ready");
    else
        RunStarted();
}

void TTransferJobs::RunStarted()
{
    FRunBase = FQueue->BytesDone();
    int64_t Total = 0;
    for (const TIpFtpQueueItem &Item : FQueue->Items())
        if (Item.State == qsQueued && !Item.Folder && Item.Size > Item.RestartAt)
            Total += Item.Size - Item.RestartAt;
    if (OnRunStarted)
        OnRunStarted(Total);
}

void TTransferJobs::EndJob(const std::string &Problem)
{
    const bool Cancelled = FCancelled;
    FPlanning = false;
    FSteps.clear();
    FBatch.reset();
    if (Cancelled)
        for (const uint32_t Id : std::set<uint32_t>(FMine)) // each cancel reports its item
            FQueue->Cancel(Id);
    TJobOutcome O = Outcome();
    O.Problem = Problem;
    O.CancelledByUser = Cancelled;
    FMine.clear();
    FCancelled = false;
    SetActive(false);
    if (OnFinished)
        OnFinished(O);
}

void TTransferJobs::QueueFinished()
{
    if (!FActive || FPlanning)
        return;
    TJobOutcome O = Outcome();
    if (FRan)
        O.StopReason = FQueue->StopReason();
    O.CancelledByUser = FCancelled;
    FMine.clear();
    FCancelled = false;
    SetActive(false);
    if (OnFinished)
        OnFinished(O);
}

TJobOutcome TTransferJobs::Outcome() const
{
    TJobOutcome O;
    for (const TIpFtpQueueItem &Item : FQueue->Items()) {
        if (!FMine.count(Item.Id))
            continue;
        switch (Item.State) {
        case qsDone:
            ++O.Done;
            break;
        case qsSkipped:
            ++O.Skipped;
            break;
        case qsCancelled:
            ++O.Cancelled;
            break;
        case qsQueued:
            ++O.NotRun;
            break;
        default:
            ++O.Failed;
            if (O.Reasons.size() < ReasonsShown)
                O.Reasons.push_back(IpFtpLastPart(Item.Direction == qdUpload ? Item.LocalPath : Item.RemotePath) + ": " +
                                    (Item.Error.empty() ? std::string("failed") : Item.Error));
            break;
        }
    }
    return O;
}

bool TTransferJobs::Cancel(const std::vector<uint32_t> &Ids)
{
    bool Any = false;
    for (uint32_t Id : Ids)
        Any = FQueue->Cancel(Id) || Any;
    return Any;
}

void TTransferJobs::CancelAll()
{
    if (FActive)
        FCancelled = true;
    FQueue->CancelAll();
}

bool TTransferJobs::Retry()
{
    if (FActive || !FClient.LoggedIn() || FClient.FtpState() != stReady)
        return false;
    FMine.clear();
    for (const TIpFtpQueueItem &Item : FQueue->Items())
        if (Item.State == qsFailed || Item.State == qsQueued)
            FMine.insert(Item.Id);
    if (FMine.empty())
        return false;
    FCancelled = false;
    FRan = true;
    SetActive(true);
    FQueue->RetryFailed();
    if (!std::as_const(*FQueue).Running() && !FQueue->Start()) {
        FMine.clear();
        SetActive(false);
        return false;
    }
    RunStarted();
    return true;
}

void TTransferJobs::ClearFinished()
{
    FQueue->ClearFinished();
    if (OnItemsRemoved)
        OnItemsRemoved();
}
