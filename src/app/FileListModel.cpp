#include "app/FileListModel.h"

#include <QApplication>
#include <QPainter>

#include <algorithm>

#include "app/AppRules.h"
#include "app/FileIcons.h"

TFileListModel::TFileListModel(QObject *Parent) : QAbstractListModel(Parent) {}

int TFileListModel::rowCount(const QModelIndex &Parent) const
{
    return Parent.isValid() ? 0 : Count();
}

QVariant TFileListModel::data(const QModelIndex &Index, int Role) const
{
    const TIpFtpFileInfo *Info = Entry(Index.row());
    if (!Info || Index.parent().isValid())
        return QVariant();
    switch (Role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return DisplayName(Info->FileName);
    case Qt::DecorationRole:
        return FileIcon(FileIconIndex(ItemExtension(Info->FileName)));
    case EntryRole:
        return QVariant::fromValue(static_cast<const void *>(Info));
    default:
        return QVariant();
    }
}

void TFileListModel::SetEntries(const TIpFtpFileList &List)
{
    beginResetModel();
    FEntries.clear();
    FEntries.reserve(List.Count());
    for (size_t I = 0; I < List.Count(); ++I)
        FEntries.push_back(List.Items(I));
    endResetModel();
}

void TFileListModel::Clear()
{
    if (FEntries.empty())
        return;
    beginResetModel();
    FEntries.clear();
    FEntries.shrink_to_fit();
    endResetModel();
}

void TFileListModel::RemoveFolders()
{
    const auto IsFolder = [](const TIpFtpFileInfo *Info) { return Info && Info->FileKind == fkDirectory; };
    if (std::none_of(FEntries.begin(), FEntries.end(), IsFolder))
        return;
    beginResetModel();
    FEntries.erase(std::remove_if(FEntries.begin(), FEntries.end(), IsFolder), FEntries.end());
    endResetModel();
}

const TIpFtpFileInfo *TFileListModel::Entry(int Row) const
{
    if (Row < 0 || Row >= Count())
        return nullptr;
    return FEntries[static_cast<size_t>(Row)];
}

void TFileListDelegate::paint(QPainter *Painter, const QStyleOptionViewItem &Option,
                              const QModelIndex &Index) const
{
    QStyleOptionViewItem Opt = Option;
    initStyleOption(&Opt, Index);
    const QWidget *Widget = Option.widget;
    QStyle *Style = Widget ? Widget->style() : QApplication::style();

    // The style fills the row in its selection or normal colour.
    Opt.text.clear();
    Opt.icon = QIcon();
    Opt.features &= ~QStyleOptionViewItem::HasDecoration;
    Style->drawControl(QStyle::CE_ItemViewItem, &Opt, Painter, Widget);

    const QRect R = Option.rect;
    const QIcon Icon = qvariant_cast<QIcon>(Index.data(Qt::DecorationRole));
    const bool Selected = Option.state & QStyle::State_Selected;
    Icon.paint(Painter, QRect(R.left() + 4, R.top() + 4, IconSize, IconSize), Qt::AlignCenter,
               Selected ? QIcon::Selected : QIcon::Normal);

    const QFontMetrics Metrics(Option.font);
    const int Offset = (R.height() - Metrics.height()) / 2;
    const QRect TextRect(R.left() + IconSize + 8, R.top() + Offset, R.width() - IconSize - 10, Metrics.height());
    const QString Text = Metrics.elidedText(Index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, TextRect.width());
    Painter->save();
    Painter->setFont(Option.font);
    Painter->setPen(Option.palette.color(Option.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled,
                                         Selected ? QPalette::HighlightedText : QPalette::Text));
    Painter->drawText(TextRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, Text);
    Painter->restore();
}

QSize TFileListDelegate::sizeHint(const QStyleOptionViewItem &Option, const QModelIndex &Index) const
{
    const QFontMetrics Metrics(Option.font);
    const QString Text = Index.data(Qt::DisplayRole).toString();
    const int Width = IconSize + 8 + std::min(Metrics.horizontalAdvance(Text), 2000) + 4;
    return QSize(Width, std::max(RowHeight, Metrics.height()));
}
