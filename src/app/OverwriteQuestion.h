#pragma once
// The question before a transfer replaces a file that exists (a local file
// on download, a remote file the listing shows on upload): overwrite it,
// resume into it when it is smaller, transfer under another name, or cancel.

#include <QString>

#include <cstdint>
#include <functional>
#include <string>

#include "app/DialogProvider.h"

class QWidget;

// "report (1).txt", "report (2).txt", ...: the first variant of Name for
// which Taken is false; the extension stays last. Names without a dot get
// the number at the end ("notes (1)").
std::string NumberedName(const std::string &Name, const std::function<bool(const std::string &)> &Taken);

struct TOverwriteDecision
{
    bool Go = false;        // false: nothing is transferred
    bool Resume = false;    // continue at RestartAt instead of replacing
    int64_t RestartAt = 0;
    std::string Name;       // the (possibly new) name to transfer to
};

// Asks about Name, which exists on the side named by Where ("local folder",
// "remote folder") with SizeOf(Name) bytes (SizeOf gives -1 for a name that
// does not exist there), while the source has SourceSize (below 0: unknown,
// so no resume). A new name the user gives is asked about again while it
// exists too.
TOverwriteDecision AskOverwrite(QWidget *Parent, const std::string &Name, const QString &Where, int64_t SourceSize,
                                const std::function<int64_t(const std::string &)> &SizeOf);

// The same question for a job of several files: asked once per file that
// exists until the user ticks "Apply to all", whose answer then stands for
// the rest of the job. A cancel skips the file; a new name is chosen
// without asking (the first numbered name that is free).
enum TBatchChoice : uint8_t { bcOverwrite, bcResume, bcRename, bcSkip };

class TOverwriteBatch
{
public:
    TOverwriteBatch(QWidget *Parent, const QString &Where) : FParent(Parent), FWhere(Where) {}

    // Name exists with Existing bytes; the source has SourceSize (below 0:
    // unknown). Resume is only chosen where it can work: a file as large
    // as the source already is skipped, a larger one replaced.
    TBatchChoice Decide(const std::string &Name, int64_t SourceSize, int64_t Existing);
    int Asked() const { return FAsked; }

private:
    QWidget *FParent;
    QString FWhere;
    bool FHaveAll = false;
    TOverwriteAnswer FAll = oaCancel;
    int FAsked = 0;
};
