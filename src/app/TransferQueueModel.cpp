#include "app/TransferQueueModel.h"

#include <QTimer>

#include <algorithm>

#include "app/AppRules.h"
#include "app/StatusLine.h"

namespace {

std::string LastPart(std::string Path)
{
    while (Path.size() > 1 && Path.back() == '/')
        Path.pop_back();
    const size_t Slash = Path.find_last_of('/');
    return Slash == std::string::npos || Path.size() == 1 ? Path : Path.substr(Slash + 1);
}

} // namespace

QString TransferPercent(const TIpFtpQueueItem &Item)
{
    if (Item.Folder)
        return QString();
    if (Item.State == qsDone)
        return QStringLiteral("100 %");
    if (Item.Size <= 0)
        return QString();
    // Of the whole file: a resumed one starts where the other side ends.
    // Divided first, so that sizes near the 64-bit limit cannot overflow.
    const int64_t Have = Item.RestartAt + Item.BytesMoved;
    const int64_t Percent = std::clamp<int64_t>(Item.Size >= 100 ? Have / (Item.Size / 100) : Have * 100 / Item.Size, 0, 100);
    return QStringLiteral("%1 %").arg(Percent);
}

QString TransferRate(int64_t Bytes, int64_t Ms)
{
    if (Ms < 100 || Bytes < 0)
        return QString();
    return QString::fromStdString(ShortSize(static_cast<int64_t>(static_cast<double>(Bytes) * 1000.0 / Ms))) +
           QStringLiteral("/s");
}

TTransferQueueModel::TTransferQueueModel(QObject *Parent) : QAbstractTableModel(Parent) {}

void TTransferQueueModel::SetQueue(const TIpFtpQueue *Queue)
{
    beginResetModel();
    FQueue = Queue;
    FRows = Queue ? static_cast<int>(Queue->Items().size()) : 0;
    FTimedId = 0;
    endResetModel();
}

void TTransferQueueModel::ItemAdded(const TIpFtpQueueItem &)
{
    // A folder of many files is planned in one go: the views hear of its
    // rows together, not one insertion (and one pass over their rows) each.
    if (!FQueue || FInsertPending)
        return;
    FInsertPending = true;
    QTimer::singleShot(0, this, [this] { InsertNewRows(); });
}

void TTransferQueueModel::InsertNewRows()
{
    FInsertPending = false;
    const int Now = FQueue ? static_cast<int>(FQueue->Items().size()) : 0;
    if (Now <= FRows)
        return;
    beginInsertRows(QModelIndex(), FRows, Now - 1);
    FRows = Now;
    endInsertRows();
}

void TTransferQueueModel::ItemChanged(const TIpFtpQueueItem &Item)
{
    if (Item.State == qsRunning && FTimedId != Item.Id) {
        FTimedId = Item.Id;
        FSince.start();
    }
    const int Row = RowOf(Item.Id);
    if (Row >= 0)
        emit dataChanged(index(Row, 0), index(Row, colCount - 1));
}

void TTransferQueueModel::Reload()
{
    beginResetModel();
    FRows = FQueue ? static_cast<int>(FQueue->Items().size()) : 0;
    endResetModel();
}

const TIpFtpQueueItem *TTransferQueueModel::Item(int Row) const
{
    if (!FQueue || Row < 0 || Row >= FRows || Row >= static_cast<int>(FQueue->Items().size()))
        return nullptr;
    return &FQueue->Items()[static_cast<size_t>(Row)];
}

int TTransferQueueModel::RowOf(uint32_t Id) const
{
    if (!FQueue)
        return -1;
    // Ids grow with every item added and removals keep the order, so the
    // items are sorted by id.
    const auto &Items = FQueue->Items();
    const auto End = Items.begin() + std::min<size_t>(Items.size(), static_cast<size_t>(FRows));
    const auto It = std::lower_bound(Items.begin(), End, Id,
                                     [](const TIpFtpQueueItem &Item, uint32_t Want) { return Item.Id < Want; });
    return It != End && It->Id == Id ? static_cast<int>(It - Items.begin()) : -1;
}

int TTransferQueueModel::rowCount(const QModelIndex &Parent) const { return Parent.isValid() ? 0 : FRows; }

int TTransferQueueModel::columnCount(const QModelIndex &Parent) const { return Parent.isValid() ? 0 : colCount; }

QString TTransferQueueModel::Text(const TIpFtpQueueItem &Item, int Column) const
{
    switch (Column) {
    case colName:
        return DisplayName(LastPart(Item.Direction == qdUpload ? Item.LocalPath : Item.RemotePath));
    case colDirection:
        return Item.Direction == qdUpload ? tr("Upload") : tr("Download");
    case colSize:
        if (Item.Folder)
            return tr("folder");
        return Item.Size < 0 ? QString() : QString::fromStdString(ShortSize(Item.Size));
    case colProgress:
        return TransferPercent(Item);
    case colRate:
        if (Item.State != qsRunning || Item.Id != FTimedId || Item.Folder)
            return QString();
        return TransferRate(Item.BytesMoved, FSince.elapsed());
    case colState: {
        QString State = tr(IpFtpQueueStateName(Item.State));
        if (!Item.Error.empty() && Item.State != qsCancelled)
            State += QStringLiteral(": ") + DisplayName(Item.Error);
        return State;
    }
    default:
        return QString();
    }
}

QVariant TTransferQueueModel::data(const QModelIndex &Index, int Role) const
{
    const TIpFtpQueueItem *It = Item(Index.row());
    if (!It || Index.column() < 0 || Index.column() >= colCount)
        return QVariant();
    switch (Role) {
    case Qt::DisplayRole:
        return Text(*It, Index.column());
    case Qt::ToolTipRole:
        if (Index.column() == colState && !It->Error.empty())
            return DisplayName(It->Error);
        return (It->Direction == qdUpload ? DisplayName(It->LocalPath) + QStringLiteral(" \u2192 ") + DisplayName(It->RemotePath)
                                          : DisplayName(It->RemotePath) + QStringLiteral(" \u2192 ") +
                                                DisplayName(It->LocalPath));
    case Qt::TextAlignmentRole:
        if (Index.column() == colSize || Index.column() == colProgress || Index.column() == colRate)
            return QVariant(Qt::AlignRight | Qt::AlignVCenter);
        return QVariant();
    case IdRole:
        return It->Id;
    default:
        return QVariant();
    }
}

QVariant TTransferQueueModel::headerData(int Section, Qt::Orientation Orientation, int Role) const
{
    if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole)
        return QVariant();
    static const char *Names[] = {"Name", "Direction", "Size", "Progress", "Rate", "State"};
    return Section >= 0 && Section < colCount ? tr(Names[Section]) : QVariant();
}
