#pragma once
// The file list in columns: Name, Size, Modified, Permissions, Owner and
// Group, over the rows of a TFileListModel (row N here is row N there, so
// code that works with the list's rows keeps working). Sorting by a column
// sorts the list itself, folders first.

#include <QAbstractTableModel>

class TFileListModel;

class TFileColumnsModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum TColumn : int { colName, colSize, colModified, colPermissions, colOwner, colGroup, colCount };

    explicit TFileColumnsModel(TFileListModel *Source, QObject *Parent = nullptr);

    int rowCount(const QModelIndex &Parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &Parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &Index, int Role = Qt::DisplayRole) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role = Qt::DisplayRole) const override;
    void sort(int Column, Qt::SortOrder Order = Qt::AscendingOrder) override;

    TFileListModel *Source() const { return FSource; }

private:
    TFileListModel *FSource;
};

// "1.5 KiB"; bytes below 1024 as "512 bytes".
QString ReadableSize(qint64 Bytes);
