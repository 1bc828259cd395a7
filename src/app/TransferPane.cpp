#include "app/TransferPane.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/TransferJobs.h"
#include "app/TransferQueueModel.h"

namespace {

QPushButton *Button(QWidget *Parent, const char *Name, const QString &Caption, const QString &Accessible,
                    const QString &Tip)
{
    auto *B = new QPushButton(Caption, Parent);
    B->setObjectName(QLatin1String(Name));
    B->setAccessibleName(Accessible);
    B->setToolTip(Tip);
    B->setEnabled(false);
    return B;
}

} // namespace

TTransferPane::TTransferPane(QWidget *Parent) : QWidget(Parent)
{
    setObjectName(QStringLiteral("TransfersPage"));
    FModel = new TTransferQueueModel(this);
    FView = new QTreeView(this);
    FView->setObjectName(QStringLiteral("lbxTransfers"));
    FView->setAccessibleName(tr("Transfers"));
    FView->setModel(FModel);
    FView->setRootIsDecorated(false);
    FView->setItemsExpandable(false);
    FView->setUniformRowHeights(true);
    FView->setAllColumnsShowFocus(true);
    FView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    FView->setSelectionBehavior(QAbstractItemView::SelectRows);
    FView->setTextElideMode(Qt::ElideMiddle);
    FView->header()->setStretchLastSection(true);
    FView->setColumnWidth(TTransferQueueModel::colName, 180);
    FView->setColumnWidth(TTransferQueueModel::colDirection, 70);
    FView->setColumnWidth(TTransferQueueModel::colSize, 72);
    FView->setColumnWidth(TTransferQueueModel::colProgress, 64);
    FView->setColumnWidth(TTransferQueueModel::colRate, 72);

    FCancel = Button(this, "btnCancelTransfer", tr("&Cancel"), tr("Cancel"), tr("Cancel the selected transfers"));
    FCancelAll = Button(this, "btnCancelAll", tr("Cancel &all"), tr("Cancel all"), tr("Cancel every transfer"));
    FRetry = Button(this, "btnRetryFailed", tr("&Retry failed"), tr("Retry failed"),
                    tr("Run the failed transfers again, and those left waiting"));
    FClear = Button(this, "btnClearFinished", tr("C&lear finished"), tr("Clear finished"),
                    tr("Remove the transfers that are done or skipped from the list"));

    auto *Buttons = new QHBoxLayout;
    for (QPushButton *B : {FCancel, FCancelAll, FRetry, FClear})
        Buttons->addWidget(B);
    Buttons->addStretch(1);
    auto *Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(6, 6, 6, 6);
    Layout->addWidget(FView, 1);
    Layout->addLayout(Buttons);

    connect(FCancel, &QPushButton::clicked, this, [this] { CancelSelectedClick(); });
    connect(FCancelAll, &QPushButton::clicked, this, [this] { CancelAllClick(); });
    connect(FRetry, &QPushButton::clicked, this, [this] { RetryFailedClick(); });
    connect(FClear, &QPushButton::clicked, this, [this] { ClearFinishedClick(); });
    connect(FView->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { UpdateButtons(); });
}

void TTransferPane::Bind(TTransferJobs *Jobs, std::function<bool()> CanStart)
{
    FJobs = Jobs;
    FCanStart = std::move(CanStart);
    FModel->SetQueue(Jobs ? &Jobs->Queue() : nullptr);
    UpdateButtons();
}

void TTransferPane::Release() { Bind(nullptr, nullptr); }

void TTransferPane::ItemChanged(const TIpFtpQueueItem &Item, bool Added)
{
    if (Added)
        FModel->ItemAdded(Item);
    else
        FModel->ItemChanged(Item);
    // Bytes moving change no button. The buttons look at every item, so
    // a queue of many small files updates them a few times a second, not
    // once per file.
    if (!Added && Item.BytesMoved != 0 && Item.State == qsRunning)
        return;
    constexpr qint64 EveryMs = 200;
    if (FButtonsPending)
        return;
    if (!FButtonsShown.isValid() || FButtonsShown.elapsed() >= EveryMs) {
        UpdateButtons();
        return;
    }
    FButtonsPending = true;
    QTimer::singleShot(static_cast<int>(EveryMs - FButtonsShown.elapsed()), this, [this] {
        FButtonsPending = false;
        UpdateButtons();
    });
}

void TTransferPane::ItemsRemoved()
{
    FModel->Reload();
    UpdateButtons();
}

std::vector<uint32_t> TTransferPane::SelectedIds() const
{
    std::vector<uint32_t> Ids;
    for (const QModelIndex &Row : FView->selectionModel()->selectedRows())
        if (const TIpFtpQueueItem *Item = FModel->Item(Row.row()))
            Ids.push_back(Item->Id);
    return Ids;
}

void TTransferPane::UpdateButtons()
{
    FButtonsShown.start();
    if (!FJobs) {
        for (QPushButton *B : {FCancel, FCancelAll, FRetry, FClear})
            B->setEnabled(false);
        return;
    }
    const TIpFtpQueue &Q = FJobs->Queue();
    bool CanCancel = false;
    for (uint32_t Id : SelectedIds())
        if (const TIpFtpQueueItem *Item = Q.Find(Id))
            CanCancel = CanCancel || Item->State == qsQueued || (Item->State == qsRunning && !Item->Folder);
    const int Queued = Q.Count(qsQueued);
    FCancel->setEnabled(CanCancel);
    FCancelAll->setEnabled(FJobs->Busy() || Queued > 0);
    FRetry->setEnabled(!FJobs->Busy() && (Q.Count(qsFailed) > 0 || Queued > 0) && FCanStart && FCanStart());
    FClear->setEnabled(Q.Count(qsDone) + Q.Count(qsSkipped) > 0);
}

void TTransferPane::CancelSelectedClick()
{
    if (FJobs)
        FJobs->Cancel(SelectedIds());
    UpdateButtons();
}

void TTransferPane::CancelAllClick()
{
    if (FJobs)
        FJobs->CancelAll();
    UpdateButtons();
}

void TTransferPane::RetryFailedClick()
{
    if (FJobs && !FJobs->Retry() && OnRetryRefused)
        OnRetryRefused();
    UpdateButtons();
}

void TTransferPane::ClearFinishedClick()
{
    if (FJobs)
        FJobs->ClearFinished();
    UpdateButtons();
}
