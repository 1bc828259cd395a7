#pragma once
// The remote file list: one row per listing entry, each row carrying its
// entry (owned by the folder tree's file list), and the delegate that draws
// a row as a 16-pixel icon and the name. A listing of 100,000 entries is
// loaded and filtered with one model reset each.

#include <QAbstractListModel>
#include <QStyledItemDelegate>

#include <vector>

#include "ftp/IpFtpList.h"

class TFileListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    // The entry of a row, for code outside the model.
    static constexpr int EntryRole = Qt::UserRole + 1;

    explicit TFileListModel(QObject *Parent = nullptr);

    int rowCount(const QModelIndex &Parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &Index, int Role = Qt::DisplayRole) const override;

    // Every entry of a listing, in listing order; names beginning with "."
    // only when ShowHidden is on.
    void SetEntries(const TIpFtpFileList &List);
    bool ShowHidden() const { return FShowHidden; }
    // Shows or hides the names beginning with "." of the current listing at
    // once (folders stay out when they were removed).
    void SetShowHidden(bool Value);
    // Orders the rows by a column of TFileColumnsModel (name, size,
    // modified, permissions, owner, group), folders first; later listings
    // keep the order. A column below 0 keeps the listing's order.
    void Sort(int Column, bool Descending);
    int SortColumn() const { return FSortColumn; }
    // Removes every row; must run before the entries are freed.
    void Clear();
    // Removes the rows whose entry is a folder, in one pass.
    void RemoveFolders();

    const TIpFtpFileInfo *Entry(int Row) const;
    int Count() const { return static_cast<int>(FEntries.size()); }

private:
    void Fill();
    void SortEntries();

    std::vector<const TIpFtpFileInfo *> FEntries;
    const TIpFtpFileList *FList = nullptr; // the listing shown (owned by the tree)
    bool FShowHidden = false;
    bool FFoldersRemoved = false;
    int FSortColumn = -1;
    bool FSortDescending = false;
};

// Rows 20 pixels high; the icon at (4, 4), the name 24 pixels from the left,
// centred vertically.
class TFileListDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    static constexpr int IconSize = 16;
    static constexpr int RowHeight = IconSize + 4;

    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *Painter, const QStyleOptionViewItem &Option, const QModelIndex &Index) const override;
    QSize sizeHint(const QStyleOptionViewItem &Option, const QModelIndex &Index) const override;
};
