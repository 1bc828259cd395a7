#pragma once
// The Transfers page's table: one row per item of the transfer queue, in
// the queue's order, with its name, direction, size, progress, rate and
// state. The rows follow the queue's events (an item added, its state or
// bytes changed); items the queue drops are caught up by Reload.

#include <QAbstractTableModel>
#include <QElapsedTimer>

#include <cstdint>

#include "ftp/IpFtpQueue.h"

class TTransferQueueModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum TColumn { colName, colDirection, colSize, colProgress, colRate, colState, colCount };
    // The item's id, for code outside the model.
    static constexpr int IdRole = Qt::UserRole + 1;

    explicit TTransferQueueModel(QObject *Parent = nullptr);

    // The queue shown (not owned); nullptr lets go of it before it dies.
    void SetQueue(const TIpFtpQueue *Queue);
    const TIpFtpQueue *Queue() const { return FQueue; }

    // Called from the queue's events.
    void ItemAdded(const TIpFtpQueueItem &Item);
    void ItemChanged(const TIpFtpQueueItem &Item);
    // After items left the queue without an event.
    void Reload();

    const TIpFtpQueueItem *Item(int Row) const;
    int RowOf(uint32_t Id) const;

    int rowCount(const QModelIndex &Parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &Parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &Index, int Role = Qt::DisplayRole) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role = Qt::DisplayRole) const override;

private:
    QString Text(const TIpFtpQueueItem &Item, int Column) const;
    void InsertNewRows();

    const TIpFtpQueue *FQueue = nullptr;
    int FRows = 0; // the rows the views have been told of
    bool FInsertPending = false;
    // The running item's clock, for its rate.
    uint32_t FTimedId = 0;
    QElapsedTimer FSince;
};

// "42 %": how much of an item's file is there (a resumed one counts what
// was there before); empty for folders and unknown sizes.
QString TransferPercent(const TIpFtpQueueItem &Item);
// "1.5 MiB/s" from Bytes in Ms milliseconds; empty before a tenth of a second.
QString TransferRate(int64_t Bytes, int64_t Ms);
