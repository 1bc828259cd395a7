// The file list in columns: each column, sorting with folders first, hidden names (host.ini).

#include <gtest/gtest.h>

#include "app/FileColumnsModel.h"
#include "app/FileListModel.h"
#include "app/HiddenFiles.h"
#include "support/TestPaths.h"

namespace {

using Names = std::vector<std::string>;

Names Rows(const TFileListModel &Model)
{
    Names R;
    for (int I = 0; I < Model.Count(); ++I)
        R.push_back(Model.Entry(I)->FileName);
    return R;
}

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
    ASSERT_TRUE(Columns.rowCount() == 3 && Columns.columnCount() == 6);
    auto Cell = [&](int Row, int Column, int Role = Qt::DisplayRole) {
        return Columns.data(Columns.index(Row, Column), Role).toString();
    };
    EXPECT_EQ((QStringList{Cell(0, 0), Cell(0, 1), Cell(0, 2, Qt::ToolTipRole), Cell(0, 3), Cell(0, 4), Cell(0, 5)}),
              (QStringList{"b.txt", "2.0 KiB", "2001-09-09T01:46:40Z", "rw-r----- (640)", "web", ""}));
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
    EXPECT_TRUE(Rows(Files) == (Names{"b.txt", "a.txt"}) && Columns.rowCount() == 2);
}

TEST(FileColumns, TheHiddenFilesToggleAppliesAtOnceAndIsKeptInHostIni)
{
    TTempDir Dir;
    const std::string Ini = Dir.File("host.ini");
    ASSERT_TRUE(WriteFile(Ini, "[TolvaneFtp]\nHost=h\nShowHidden=x\n"));
    TFileListModel Files;
    int Refreshed = 0;
    QWidget Owner;
    QAction *Toggle = MakeShowHiddenAction(&Owner, &Files, Ini, [&] { ++Refreshed; });
    EXPECT_FALSE(Toggle->isChecked() || Files.ShowHidden()); // not 0|1: the default
    Toggle->setChecked(true);
    EXPECT_TRUE(Files.ShowHidden() && Refreshed == 1);
    EXPECT_EQ(ReadFile(Ini), "[TolvaneFtp]\nHost=h\nShowHidden=1\n");
    TFileListModel Again;
    EXPECT_TRUE(MakeShowHiddenAction(&Owner, &Again, Ini, {})->isChecked() && Again.ShowHidden());
}
