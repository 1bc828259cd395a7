#include "app/FileListModel.h"

#include <QApplication>
#include <QPainter>

#include <algorithm>
#include <cctype>

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
    FList = &List;
    FFoldersRemoved = false;
    Fill();
    endResetModel();
}

void TFileListModel::Fill()
{
    FEntries.clear();
    if (!FList)
        return;
    FEntries.reserve(FList->Count());
    for (size_t I = 0; I < FList->Count(); ++I) {
        const TIpFtpFileInfo *Info = FList->Items(I);
        // Names beginning with "." are hidden unless asked for.
        if (!FShowHidden && !Info->FileName.empty() && Info->FileName[0] == '.')
            continue;
        if (FFoldersRemoved && Info->FileKind == fkDirectory)
            continue;
        FEntries.push_back(Info);
    }
    SortEntries();
}

void TFileListModel::SetShowHidden(bool Value)
{
    if (Value == FShowHidden)
        return;
    FShowHidden = Value;
    if (!FList)
        return;
    beginResetModel();
    Fill();
    endResetModel();
}

void TFileListModel::Sort(int Column, bool Descending)
{
    FSortColumn = Column;
    FSortDescending = Descending;
    beginResetModel();
    if (Column < 0)
        Fill(); // back to the listing's order
    else
        SortEntries();
    endResetModel();
}

namespace {

// Case folded for ASCII only: names are bytes, and a locale-aware compare
// of 100,000 names would cost more than the whole listing.
int CompareNames(const std::string &A, const std::string &B)
{
    const size_t N = std::min(A.size(), B.size());
    for (size_t I = 0; I < N; ++I) {
        const unsigned char X = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(A[I])));
        const unsigned char Y = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(B[I])));
        if (X != Y)
            return X < Y ? -1 : 1;
    }
    if (A.size() != B.size())
        return A.size() < B.size() ? -1 : 1;
    return A.compare(B) < 0 ? -1 : A.compare(B) > 0 ? 1 : 0;
}

int Mode(const TIpFtpFileInfo &E)
{
    return E.UnixMode >= 0 ? E.UnixMode
                           : PermissionsOctalDigit(E.OwnerPerms) * 64 + PermissionsOctalDigit(E.GroupPerms) * 8 +
                                 PermissionsOctalDigit(E.OtherPerms);
}

template <typename T> int Three(const T &A, const T &B)
{
    return A < B ? -1 : B < A ? 1 : 0;
}

} // namespace

void TFileListModel::SortEntries()
{
    if (FSortColumn < 0)
        return;
    const int Column = FSortColumn;
    const bool Descending = FSortDescending;
    std::stable_sort(FEntries.begin(), FEntries.end(), [Column, Descending](const TIpFtpFileInfo *A,
                                                                            const TIpFtpFileInfo *B) {
        const bool FolderA = A->FileKind == fkDirectory, FolderB = B->FileKind == fkDirectory;
        if (FolderA != FolderB)
            return FolderA;
        int C = 0;
        switch (Column) {
        case 1:
            C = Three(A->Size, B->Size);
            break;
        case 2:
            C = A->ModifyTime >= 0 && B->ModifyTime >= 0 ? Three(A->ModifyTime, B->ModifyTime)
                                                         : CompareNames(A->TimeStamp, B->TimeStamp);
            break;
        case 3:
            C = Three(Mode(*A), Mode(*B));
            break;
        case 4:
            C = CompareNames(A->Owner, B->Owner);
            break;
        case 5:
            C = CompareNames(A->Group, B->Group);
            break;
        default:
            break;
        }
        if (C == 0)
            C = CompareNames(A->FileName, B->FileName);
        return Descending ? C > 0 : C < 0;
    });
}

void TFileListModel::Clear()
{
    FList = nullptr;
    if (FEntries.empty())
        return;
    beginResetModel();
    FEntries.clear();
    FEntries.shrink_to_fit();
    endResetModel();
}

void TFileListModel::RemoveFolders()
{
    FFoldersRemoved = true;
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
