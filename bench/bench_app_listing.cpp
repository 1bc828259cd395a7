// How fast the window takes in a huge folder: a generated Unix listing of
// 100,000 entries (every other one a folder) goes through the folder tree's
// LoadListing and the window's changed handler (folders become nodes and
// leave the file list, shown in six columns: name, size, modified,
// permissions, owner, group), first at the root, then three levels down;
// then the list sorted by size and by name. Runs on the offscreen
// platform; prints milliseconds and peak memory.
//
//   bench_app_listing [entries]

#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTreeView>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/FileColumnsModel.h"
#include "app/FileListModel.h"
#include "app/FtpDirectoryTree.h"
#include "app/TolvaneApplication.h"
#include "app/TolvaneFtp.h"

namespace {

std::string MakeListing(int Entries)
{
    std::string Text;
    Text.reserve(static_cast<size_t>(Entries) * 64);
    char Line[160];
    for (int I = 0; I < Entries; ++I) {
        const bool Folder = I % 2 == 0;
        std::snprintf(Line, sizeof Line, "%s   1 owner    group    %10d Jan 01 12:00 %s%06d%s\r\n",
                      Folder ? "drwxr-xr-x" : "-rw-r--r--", Folder ? 4096 : I * 7, Folder ? "folder-" : "file-", I,
                      Folder ? "" : ".txt");
        Text += Line;
    }
    return Text;
}

long PeakKiB()
{
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    return Usage.ru_maxrss;
}

double Load(TTolvaneFtp &Window, const std::string &Listing)
{
    QElapsedTimer Clock;
    Clock.start();
    Window.IpFtpDirectoryTree1()->LoadListing(Listing);
    QApplication::processEvents(); // the views lay out and paint
    return static_cast<double>(Clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const int Entries = argc > 1 ? std::atoi(argv[1]) : 100000;
    TTolvaneApplication App(argc, argv);

    TTolvaneFtp Window("/nonexistent/tolvane-bench/host.ini", QStringList());
    Window.show();
    QApplication::processEvents();
    TIpFtpDirectoryTree *Tree = Window.IpFtpDirectoryTree1();
    Tree->SetDirectoryStyle(dsUnix);

    const std::string Listing = MakeListing(Entries);
    const long Before = PeakKiB();
    std::printf("listing: %d entries, %.1f MiB of text\n", Entries, Listing.size() / 1048576.0);

    Tree->SetCurrentPath("\\");
    const double RootMs = Load(Window, Listing);
    std::printf("root folder:        %8.1f ms  (%d nodes, %d files listed)\n", RootMs, Tree->topLevelItemCount(),
                Window.FileListModel()->Count());

    Tree->SetCurrentPath("\\folder-000000\\a\\b");
    const double DeepMs = Load(Window, Listing);
    const QTreeWidgetItem *Deep = Tree->FindPathNode("\\folder-000000\\a\\b");
    std::printf("three levels down:  %8.1f ms  (%d nodes there, %d files listed)\n", DeepMs,
                Deep ? Deep->childCount() : -1, Window.FileListModel()->Count());

    // Sorting by a column header, as a click on it does.
    auto *Columns = static_cast<TFileColumnsModel *>(Window.findChild<QTreeView *>(QStringLiteral("lbxFiles"))->model());
    for (const int Column : {static_cast<int>(TFileColumnsModel::colSize), static_cast<int>(TFileColumnsModel::colName)}) {
        QElapsedTimer Clock;
        Clock.start();
        Columns->sort(Column, Qt::DescendingOrder);
        QApplication::processEvents();
        std::printf("sort by %-10s  %8.1f ms\n", Column == TFileColumnsModel::colSize ? "size:" : "name:",
                    static_cast<double>(Clock.nsecsElapsed()) / 1e6);
    }

    const long Peak = PeakKiB();
    std::printf("peak memory: %.1f MiB (%.1f MiB before the listings; growth %.1f times the listing text)\n",
                Peak / 1024.0, Before / 1024.0, (Peak - Before) * 1024.0 / static_cast<double>(Listing.size()));
    return 0;
}
