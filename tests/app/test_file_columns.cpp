// The file list in columns: what each column shows, sorting with folders
// first, and showing or hiding names beginning with ".".

#include <gtest/gtest.h>

#include "app/FileColumnsModel.h"
#include "app/FileListModel.h"

namespace {

std::vector<std::string> Rows(const TFileListModel &Model)
{
    std::vector<std::string> Names;
    for (int I = 0; I < Model.Count(); ++I)
        Names.push_back(Model.Entry(I)->FileName);
    return Names;
}

using Names = std::vector<std::string>;

const char *const Listing = "type=file;size=2048;modify=20010909014640;unix.mode=0640;unix.owner=web; b.txt\r\n"
                            "type=dir;modify=20200101000000; Zeta\r\n"
                            "type=file;size=10;unix.mode=0755; a.txt\r\n"
                            "type=file;size=99; .hidden\r\n"
                            "type=dir; .git\r\n";

} // namespace

TEST(FileColumns, ColumnsShowSizeTimeAndPermissionsAndSortWithFoldersFirst)
{
    TIpFtpFileList List;
    ASSERT_TRUE(List.ParseListing(Listing, dsMlsd));
    TFileListModel Files;
    TFileColumnsModel Columns(&Files);
    Files.SetEntries(List);
    EXPECT_EQ(Rows(Files), (Names{"b.txt", "Zeta", "a.txt"}));
    ASSERT_EQ(Columns.rowCount(), 3);
    EXPECT_EQ(Columns.columnCount(), 6);
    auto Cell = [&](int Row, int Column, int Role = Qt::DisplayRole) {
        return Columns.data(Columns.index(Row, Column), Role).toString();
    };
    EXPECT_EQ(Cell(0, TFileColumnsModel::colName), "b.txt");
    EXPECT_EQ(Cell(0, TFileColumnsModel::colSize), "2.0 KiB");
    EXPECT_NE(Cell(0, TFileColumnsModel::colSize, Qt::ToolTipRole).indexOf("2"), -1);
    EXPECT_EQ(Cell(0, TFileColumnsModel::colModified, Qt::ToolTipRole), "2001-09-09T01:46:40Z");
    EXPECT_EQ(Cell(0, TFileColumnsModel::colPermissions), "rw-r----- (640)");
    EXPECT_EQ(Cell(0, TFileColumnsModel::colOwner), "web");
    EXPECT_EQ(Cell(0, TFileColumnsModel::colGroup), "");
    EXPECT_EQ(Cell(1, TFileColumnsModel::colSize), "");
    EXPECT_EQ(Cell(2, TFileColumnsModel::colSize), "10 bytes");
    EXPECT_EQ(Columns.headerData(TFileColumnsModel::colModified, Qt::Horizontal).toString(), "Modified");

    Columns.sort(TFileColumnsModel::colName);
    EXPECT_EQ(Rows(Files), (Names{"Zeta", "a.txt", "b.txt"}));
    Columns.sort(TFileColumnsModel::colSize, Qt::DescendingOrder);
    EXPECT_EQ(Rows(Files), (Names{"Zeta", "b.txt", "a.txt"}));
    Columns.sort(TFileColumnsModel::colPermissions);
    EXPECT_EQ(Rows(Files), (Names{"Zeta", "b.txt", "a.txt"}));

    // Hidden names join at once, in the chosen order; removed folders stay out.
    Files.RemoveFolders();
    Files.SetShowHidden(true);
    EXPECT_EQ(Rows(Files), (Names{".hidden", "b.txt", "a.txt"}));
    Files.SetShowHidden(false);
    EXPECT_EQ(Rows(Files), (Names{"b.txt", "a.txt"}));
    EXPECT_EQ(Columns.rowCount(), 2);
}
