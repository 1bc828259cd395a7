#pragma once
// The window's transfers of several files and folders: plans each job (the
// local walks, a remote walk of every folder that is there already, the
// overwrite questions with "Apply to all"), puts it on the transfer queue
// and runs the queue on the window's client, one job at a time. The queue
// keeps its items after a job, so failed ones can be run again.

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ftp/IpFtpQueue.h"
#include "ftp/IpFtpWalk.h"

class QWidget;
class TOverwriteBatch;

// An entry of the folder the window shows.
struct TListedEntry
{
    std::string Name;
    bool Folder = false;
    int64_t Size = -1;
    int64_t ModifyTime = -1;
};
// A listing's entry as a job takes it (a link counts as a file).
TListedEntry ListedEntryOf(const TIpFtpFileInfo &Info);

// How a job (or a retry) ended, counted over its own items.
struct TJobOutcome
{
    int Done = 0;
    int Failed = 0;
    int Skipped = 0;
    int Cancelled = 0;
    int NotRun = 0;                // still queued: the run stopped first
    std::vector<std::string> Reasons; // "name: why" of the first failures
    std::string StopReason;        // why the run stopped early (the connection lost)
    std::string Problem;           // why the job ended before its queue ran
    bool CancelledByUser = false;
};

// The status bar's line for an outcome ("Transfers finished: 3 done, 1
// failed."); with Details the first reasons follow, a line each.
QString JobOutcomeText(const TJobOutcome &Outcome, bool Details);

class TTransferJobs : public QObject
{
    Q_OBJECT

public:
    // Parent: where the questions are asked.
    TTransferJobs(TIpCustomFtpClient &Client, QWidget *Parent);
    ~TTransferJobs() override;

    const TIpFtpQueue &Queue() const { return *FQueue; }
    // A job is being planned or its queue runs.
    bool Busy() const { return FActive; }

    // Copies local files and folders into RemoteFolder (absolute, ending in
    // "/"), whose listing is Listed. False when a job runs already.
    bool Upload(const std::vector<std::string> &Paths, const std::string &RemoteFolder,
                const std::vector<TListedEntry> &Listed, TIpFtpStoreMode Mode);
    // Copies entries of RemoteFolder (folders with everything below them)
    // into LocalFolder.
    bool Download(const std::vector<TListedEntry> &Entries, const std::string &RemoteFolder,
                  const std::string &LocalFolder, TIpFtpRetrieveMode Mode);

    // The queued ones are cancelled, the running one aborted (ABOR).
    bool Cancel(const std::vector<uint32_t> &Ids);
    // Everything: the job being planned stops after its current step.
    void CancelAll();
    // Runs the failed items again, and those a lost connection left queued.
    // False when there is nothing to run or the client cannot start.
    bool Retry();
    void ClearFinished();
    // What the current run has moved so far.
    int64_t RunBytes() const { return FQueue->BytesDone() - FRunBase; }

    std::function<void(const TIpFtpQueueItem &Item, bool Added)> OnItem;
    // Items left the queue without an event of their own.
    std::function<void()> OnItemsRemoved;
    std::function<void()> OnBusyChanged;
    // The queue starts to run, with Total bytes to move (0: not known).
    std::function<void(int64_t Total)> OnRunStarted;
    std::function<void(const TJobOutcome &Outcome)> OnFinished;

private:
    using TTaken = std::function<bool(const std::string &Name)>;
    void BeginJob(const QString &Where);
    void Next();
    void WalkRemote(const std::string &Path, std::function<void(const TIpFtpRemoteWalk &)> Then);
    void UploadFolder(const std::string &Local, const std::string &Target, bool Exists, TIpFtpStoreMode Mode);
    void PlanTreeUpload(const TIpFtpTreeWalk &Local, const std::string &LocalRoot, const TIpFtpTreeWalk *Remote,
                        const std::string &RemoteRoot, TIpFtpStoreMode Mode);
    void PlanTreeDownload(const TIpFtpTreeWalk &Remote, const std::string &RemoteRoot, const std::string &LocalRoot,
                          TIpFtpRetrieveMode Mode);
    // One file, with the question when its target exists (Have bytes).
    void AddUpload(const std::string &Local, const std::string &RemoteDir, const std::string &Name, int64_t Size,
                   int64_t Have, TIpFtpStoreMode Mode, const TTaken &Taken);
    void AddDownload(const std::string &RemoteDir, const std::string &LocalDir, const TListedEntry &Entry,
                     TIpFtpRetrieveMode Mode);
    void StartQueue();
    void EndJob(const std::string &Problem);
    void QueueFinished();
    TJobOutcome Outcome() const;
    void SetActive(bool Active);
    void RunStarted();

    TIpCustomFtpClient &FClient;
    QWidget *FParent;
    std::unique_ptr<TIpFtpQueue> FQueue;
    std::unique_ptr<TIpFtpRemoteWalk> FWalk;
    std::deque<std::function<void()>> FSteps;
    std::unique_ptr<TOverwriteBatch> FBatch;
    std::set<uint32_t> FMine;  // the items the job or retry concerns
    bool FActive = false;
    bool FPlanning = false;
    bool FCancelled = false;
    bool FRan = false; // the queue was started for the job
    int64_t FRunBase = 0; // the queue's bytes when the run started
};
