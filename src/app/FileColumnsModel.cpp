#include "app/FileColumnsModel.h"

#include <QDateTime>
#include <QLocale>

#include "app/AppRules.h"
#include "app/FileListModel.h"

namespace {

QString PermissionsText(const TIpFtpFileInfo &Info)
{
    int Mode = Info.UnixMode;
    if (Mode < 0) {
        Mode = PermissionsOctalDigit(Info.OwnerPerms) * 64 + PermissionsOctalDigit(Info.GroupPerms) * 8 +
               PermissionsOctalDigit(Info.OtherPerms);
        // A listing without permissions (DOS) has nothing to show.
        if (Mode == 0 && Info.PermFacts.empty())
            return QString();
    }
    QString Text;
    for (int Shift = 6; Shift >= 0; Shift -= 3) {
        const int Bits = (Mode >> Shift) & 7;
        Text += QLatin1Char(Bits & 4 ? 'r' : '-');
        Text += QLatin1Char(Bits & 2 ? 'w' : '-');
        Text += QLatin1Char(Bits & 1 ? 'x' : '-');
    }
    return Text + QStringLiteral(" (%1)").arg(Mode & 0777, 3, 8, QLatin1Char('0'));
}

QString KnownText(const std::string &Text)
{
    // The parsers' default for a column the listing does not have.
    return Text == "Unknown" ? QString() : DisplayName(Text);
}

} // namespace

QString ReadableSize(qint64 Bytes)
{
    if (Bytes < 1024)
        return QObject::tr("%1 bytes").arg(Bytes);
    static const char *const Units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double Value = static_cast<double>(Bytes) / 1024.0;
    int Unit = 0;
    while (Value >= 1024.0 && Unit < 5) {
        Value /= 1024.0;
        ++Unit;
    }
    return QStringLiteral("%1 %2").arg(Value, 0, 'f', 1).arg(QLatin1String(Units[Unit]));
}

TFileColumnsModel::TFileColumnsModel(TFileListModel *Source, QObject *Parent)
    : QAbstractTableModel(Parent), FSource(Source)
{
    // The list changes only by resets (a listing, a filter, a sort).
    connect(Source, &QAbstractItemModel::modelAboutToBeReset, this, [this] { beginResetModel(); });
    connect(Source, &QAbstractItemModel::modelReset, this, [this] { endResetModel(); });
}

int TFileColumnsModel::rowCount(const QModelIndex &Parent) const
{
    return Parent.isValid() ? 0 : FSource->Count();
}

int TFileColumnsModel::columnCount(const QModelIndex &Parent) const
{
    return Parent.isValid() ? 0 : colCount;
}

QVariant TFileColumnsModel::data(const QModelIndex &Index, int Role) const
{
    const TIpFtpFileInfo *Info = FSource->Entry(Index.row());
    if (!Info || Index.parent().isValid())
        return QVariant();
    if (Index.column() == colName || Role == TFileListModel::EntryRole)
        return FSource->data(FSource->index(Index.row()), Role);
    const bool Folder = Info->FileKind == fkDirectory;
    switch (Role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        switch (Index.column()) {
        case colSize:
            return Folder ? QString() : ReadableSize(Info->Size);
        case colModified:
            // UTC from the server shows as local time; other listings say
            // the time in their own words (and zone).
            if (Info->ModifyTime >= 0)
                return QDateTime::fromSecsSinceEpoch(Info->ModifyTime).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
            return DisplayName(Info->TimeStamp);
        case colPermissions:
            return PermissionsText(*Info);
        case colOwner:
            return KnownText(Info->Owner);
        case colGroup:
            return KnownText(Info->Group);
        default:
            return QVariant();
        }
    case Qt::ToolTipRole:
        if (Index.column() == colSize && !Folder)
            return tr("%1 bytes").arg(QLocale().toString(static_cast<qlonglong>(Info->Size)));
        if (Index.column() == colModified && Info->ModifyTime >= 0)
            return QDateTime::fromSecsSinceEpoch(Info->ModifyTime, Qt::UTC).toString(Qt::ISODate);
        return QVariant();
    case Qt::TextAlignmentRole:
        if (Index.column() == colSize)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant TFileColumnsModel::headerData(int Section, Qt::Orientation Orientation, int Role) const
{
    if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(Section, Orientation, Role);
    switch (Section) {
    case colName:
        return tr("Name");
    case colSize:
        return tr("Size");
    case colModified:
        return tr("Modified");
    case colPermissions:
        return tr("Permissions");
    case colOwner:
        return tr("Owner");
    case colGroup:
        return tr("Group");
    default:
        return QVariant();
    }
}

void TFileColumnsModel::sort(int Column, Qt::SortOrder Order)
{
    FSource->Sort(Column, Order == Qt::DescendingOrder);
}
