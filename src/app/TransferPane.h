#pragma once
// The Transfers page: the queue's items in a table and the buttons that act
// on them (cancel the selected ones, cancel all, run the failed ones again,
// drop the finished ones), each enabled only when it can act.

#include <QElapsedTimer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class QPushButton;
class QTreeView;
class TTransferJobs;
class TTransferQueueModel;
struct TIpFtpQueueItem;

class TTransferPane : public QWidget
{
    Q_OBJECT

public:
    explicit TTransferPane(QWidget *Parent = nullptr);

    // Shows Jobs' queue and acts on it; CanStart says whether the client
    // could run the queue now (logged in, nothing else busy).
    void Bind(TTransferJobs *Jobs, std::function<bool()> CanStart);
    // Lets go of the jobs before they are destroyed.
    void Release();

    // From the jobs' events.
    void ItemChanged(const TIpFtpQueueItem &Item, bool Added);
    void ItemsRemoved();
    // The client or the jobs changed state: the buttons follow.
    void UpdateButtons();

    TTransferQueueModel *Model() const { return FModel; }
    QTreeView *View() const { return FView; }
    std::vector<uint32_t> SelectedIds() const;

    void CancelSelectedClick();
    void CancelAllClick();
    void RetryFailedClick();
    void ClearFinishedClick();

    // Retry could not start (the client is busy or not logged in).
    std::function<void()> OnRetryRefused;

private:
    TTransferJobs *FJobs = nullptr;
    std::function<bool()> FCanStart;
    bool FButtonsPending = false;
    QElapsedTimer FButtonsShown;
    TTransferQueueModel *FModel = nullptr;
    QTreeView *FView = nullptr;
    QPushButton *FCancel = nullptr;
    QPushButton *FCancelAll = nullptr;
    QPushButton *FRetry = nullptr;
    QPushButton *FClear = nullptr;
};
