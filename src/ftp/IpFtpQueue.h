#pragma once
// A transfer queue: uploads, downloads and folders to create, run one at a
// time on the client's control connection (one login for the whole job),
// each item with its state, bytes moved and error text, and an event for
// every change, so that a view can show the queue as it runs.
//
// A failed item does not stop the queue; a lost connection fails the running
// item with the reason and leaves the rest queued. RetryFailed queues the
// failed items again; a download that had written part of a file it made
// itself resumes at the local file's size (REST) when the server offers
// restarts.

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "ftp/IpFtpClient.h"
#include "ftp/IpFtpWalk.h"
#include "platform/IpPlatform.h"

enum TIpFtpQueueDirection : uint8_t { qdUpload, qdDownload };
enum TIpFtpQueueState : uint8_t { qsQueued, qsRunning, qsDone, qsFailed, qsSkipped, qsCancelled };

struct TIpFtpQueueItem
{
    uint32_t Id = 0;
    TIpFtpQueueDirection Direction = qdUpload;
    // A folder to create: on the server (upload) or here (download).
    bool Folder = false;
    std::string LocalPath;
    std::string RemotePath;
    int64_t Size = -1;       // -1: unknown
    int64_t ModifyTime = -1; // downloads: the remote time when a listing gave it
    // TIpFtpStoreMode (uploads) or TIpFtpRetrieveMode (downloads).
    uint8_t Mode = 1;
    int64_t RestartAt = 0;
    TIpFtpQueueState State = qsQueued;
    int64_t BytesMoved = 0;  // by the item's last run
    std::string Error;       // why it failed, was skipped or cancelled

    // Internal: the download made its local file and writes into it
    // directly, so what a failure leaves is the start of the remote file.
    bool MadeLocal = false;
    bool Resume = false;     // retried: resume where the local file ends
};

const char *IpFtpQueueStateName(TIpFtpQueueState State);

class TIpFtpQueue
{
public:
    using TItemEvent = std::function<void(TIpFtpQueue &Queue, const TIpFtpQueueItem &Item)>;

    explicit TIpFtpQueue(TIpCustomFtpClient &Client);
    ~TIpFtpQueue();
    TIpFtpQueue(const TIpFtpQueue &) = delete;
    TIpFtpQueue &operator=(const TIpFtpQueue &) = delete;

    // Each returns the new item's id (OnItemAdded has told it).
    uint32_t AddUpload(const std::string &LocalPath, const std::string &RemotePath, int64_t Size,
                       TIpFtpStoreMode Mode = smReplace, int64_t RestartAt = 0);
    uint32_t AddDownload(const std::string &RemotePath, const std::string &LocalPath, int64_t Size,
                         int64_t ModifyTime = -1, TIpFtpRetrieveMode Mode = rmReplace, int64_t RestartAt = 0);
    uint32_t AddFolder(TIpFtpQueueDirection Direction, const std::string &LocalPath, const std::string &RemotePath);
    // An entry that is not moved, with the reason (a link, a special file).
    uint32_t AddSkipped(TIpFtpQueueDirection Direction, const std::string &LocalPath, const std::string &RemotePath,
                        const std::string &Reason);

    // Runs the queued items; false when the client is not logged in and
    // idle, or the queue runs already.
    bool Start();
    bool Running() const { return FRunning; }
    // A queued item is cancelled at once; the running one is aborted (ABOR)
    // and reported cancelled when the server has been told. False when the
    // item is neither queued nor a running transfer.
    bool Cancel(uint32_t Id);
    // Every queued item and the running one; the queue then finishes.
    void CancelAll();
    // Queues the failed items again and starts the queue when the client
    // is ready; returns how many.
    int RetryFailed();
    // Drops the items that are done or skipped (never the running one).
    void ClearFinished();

    const std::deque<TIpFtpQueueItem> &Items() const { return FItems; }
    const TIpFtpQueueItem *Find(uint32_t Id) const;
    int Count(TIpFtpQueueState State) const;
    // Bytes of the items done, plus what the running one has moved.
    int64_t BytesDone() const;
    // Why the last run stopped with items left queued (the connection
    // lost); empty when it ran out of items.
    const std::string &StopReason() const { return FStopReason; }

    TItemEvent OnItemAdded;
    TItemEvent OnItemState;
    TItemEvent OnItemProgress;
    // From the event loop, when a run ends (no item queued any more, or
    // stopped: see StopReason).
    std::function<void(TIpFtpQueue &Queue)> OnFinished;

private:
    TIpFtpQueueItem &NewItem(TIpFtpQueueDirection Direction, const std::string &LocalPath,
                             const std::string &RemotePath);
    TIpFtpQueueItem *Running();
    void RunNext();
    void RunItem(TIpFtpQueueItem &Item);
    void RunDownload(TIpFtpQueueItem &Item);
    // The running item's outcome; the first one counts. Applied from the
    // event loop, once the client has finished with the event.
    void End(TIpFtpQueueState State, const std::string &Error);
    void Apply();
    void Finish(const std::string &Reason);
    void SetState(TIpFtpQueueItem &Item, TIpFtpQueueState State, const std::string &Error);
    void WndProc(TIpMessage &Msg);

    TIpCustomFtpClient &FClient;
    TIpFtpClientHook FHook;
    TIpMessageWindow FWindow;
    std::deque<TIpFtpQueueItem> FItems;
    uint32_t FNextId = 1;
    size_t FCursor = 0;        // no queued item before this index
    bool FRunning = false;
    uint32_t FRunningId = 0;   // 0: none
    bool FEnded = false;
    TIpFtpQueueState FOutcome = qsDone;
    std::string FOutcomeError;
    std::string FNote;         // a socket error seen while the item ran
    bool FStop = false;        // the run ends after the running item
    bool FCancelAll = false;
    bool FSavedTypeOnce = false;
    int64_t FBytesDone = 0;
    std::string FStopReason;
};

// Queues what copies the local tree Local (read from LocalRoot) into
// RemoteRoot: the folders Remote (a walk of RemoteRoot; null or root not
// found: it does not exist) lacks, created first, the root included, then
// every file in the order walked, and the skipped entries as skipped items.
// Files that exist on the server follow Mode; smRestart resumes each at the
// size the walk gave (a file as large already is skipped).
void IpFtpQueueTreeUpload(TIpFtpQueue &Queue, const TIpFtpTreeWalk &Local, const std::string &LocalRoot,
                          const TIpFtpTreeWalk *Remote, const std::string &RemoteRoot, TIpFtpStoreMode Mode);
// Queues what copies the remote tree Remote (read from RemoteRoot) into
// LocalRoot: the local folders that are missing, then every file. Files
// that exist here follow Mode; rmRestart resumes each at the local size.
void IpFtpQueueTreeDownload(TIpFtpQueue &Queue, const TIpFtpTreeWalk &Remote, const std::string &RemoteRoot,
                            const std::string &LocalRoot, TIpFtpRetrieveMode Mode);
