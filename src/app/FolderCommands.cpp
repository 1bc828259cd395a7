#include "app/FolderCommands.h"

#include <QAction>
#include <QApplication>
#include <QStyle>
#include <QWidget>

#include "app/AppRules.h"
#include "app/DialogProvider.h"
#include "ftp/IpFtpClient.h"
#include "ftp/IpFtpTreeRemove.h"
#include "ftp/IpFtpWalk.h"

namespace {

QAction *MakeAction(QWidget *Parent, const char *Name, const QString &Text, const QKeySequence &Key,
                    const QString &Tip, const char *Theme, QStyle::StandardPixmap Fallback)
{
    auto *A = new QAction(QIcon::fromTheme(QLatin1String(Theme), QApplication::style()->standardIcon(Fallback)), Text,
                          Parent);
    A->setObjectName(QLatin1String(Name));
    A->setShortcut(Key);
    A->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    A->setStatusTip(Tip);
    A->setToolTip(Tip);
    return A;
}

QString Count(size_t N, const char *One, const char *Many)
{
    return N == 1 ? QString::fromLatin1(One) : QString::fromLatin1(Many).arg(N);
}

} // namespace

std::string ParentFolderOf(const std::string &Path)
{
    const size_t Slash = Path.find_last_of('/');
    return Slash == std::string::npos || Slash == 0 ? std::string("/") : Path.substr(0, Slash);
}

QString FolderNameProblem(const std::string &Name)
{
    if (Name.empty() || Name == "." || Name == "..")
        return QObject::tr("a folder needs a name other than \".\" or \"..\"");
    if (Name.find_first_of("/\r\n") != std::string::npos || Name.find('\0') != std::string::npos)
        return QObject::tr("a folder name cannot hold \"/\" or a line break");
    return QString();
}

TFolderCommands::TFolderCommands(TIpCustomFtpClient &Client, THost Host, QWidget *Parent)
    : QObject(Parent), FClient(Client), FHost(std::move(Host)), FParent(Parent),
      FMkdHook(std::make_unique<TIpFtpClientHook>(Client)), FWalk(std::make_unique<TIpFtpRemoteWalk>(Client)),
      FRemove(std::make_unique<TIpFtpTreeRemove>(Client))
{
    FNewFolder = MakeAction(Parent, "NewFolder", tr("New folder"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N),
                            tr("Create a folder in the current remote folder"), "folder-new",
                            QStyle::SP_FileDialogNewFolder);
    FDeleteFolder = MakeAction(Parent, "DeleteFolder", tr("Delete folder"), QKeySequence(Qt::SHIFT | Qt::Key_Delete),
                               tr("Delete the current remote folder and everything in it"), "edit-delete",
                               QStyle::SP_TrashIcon);
    FDownloadFolder = MakeAction(Parent, "DownloadFolder1", tr("Download folder"), QKeySequence(),
                                 tr("Download the current remote folder with everything in it"), "folder-download",
                                 QStyle::SP_ArrowDown);
    connect(FNewFolder, &QAction::triggered, this, &TFolderCommands::NewFolder);
    connect(FDownloadFolder, &QAction::triggered, this, &TFolderCommands::DownloadFolder);
    connect(FDeleteFolder, &QAction::triggered, this, &TFolderCommands::DeleteFolder);
    FMkdHook->OnReply = [this](int Code, const std::string &Text) { MadeFolder(Code, Text); };
    FMkdHook->OnDisconnected = [this] { MadeFolder(421, "Connection closed"); };
    FWalk->OnFinished = [this](TIpFtpRemoteWalk &) { Walked(); };
    FRemove->OnFinished = [this](TIpFtpTreeRemove &) { Removed(); };
}

TFolderCommands::~TFolderCommands()
{
    // Hooks are let go in the reverse order of taking; at most one is held.
    if (FMkdHook->Attached())
        FMkdHook->Detach();
}

bool TFolderCommands::Running() const { return FMaking || FWalk->Running() || FRemove->Running(); }

QString TFolderCommands::Shown(const std::string &Path) const { return DisplayName(Path); }

void TFolderCommands::NewFolder()
{
    if (Running() || !FHost.CanRunNow(tr("Creating a folder")))
        return;
    QString Typed;
    if (!Dialogs().InputText(FParent, tr("New folder"), tr("Name of the new folder:"), Typed))
        return;
    const std::string Name = Typed.toStdString();
    if (const QString Problem = FolderNameProblem(Name); !Problem.isEmpty()) {
        FHost.Report(tr("No folder was created: %1.").arg(Problem), true);
        return;
    }
    // Asked again: the question may have been open while something started.
    if (Running() || !FHost.CanRunNow(tr("Creating a folder")))
        return;
    FTarget = IpFtpJoinPath(FHost.CurrentFolder(), Name);
    FMkdHook->Attach();
    FMaking = true;
    if (!FClient.MakeDir(FTarget)) {
        FMaking = false;
        FMkdHook->Detach();
        FHost.Report(tr("The folder %1 was not created: the client is busy.").arg(Shown(FTarget)), true);
    }
}

void TFolderCommands::MadeFolder(int Code, const std::string &Text)
{
    if (!FMaking || Code < 200)
        return;
    FMaking = false;
    FMkdHook->Detach();
    if (Code < 300) {
        FHost.Report(tr("Created the folder %1.").arg(Shown(FTarget)), false);
        FHost.Open(FHost.CurrentFolder());
    } else {
        FHost.Report(tr("The server did not create the folder %1: %2")
                         .arg(Shown(FTarget), ReplyForPeople(IpFtpFirstLine(Text))),
                     true);
    }
}

void TFolderCommands::DeleteFolder()
{
    const std::string Folder = IpFtpWithoutTrailingSlashes(FHost.CurrentFolder());
    if (Folder.empty() || Folder == "/" || Folder[0] != '/') {
        FHost.Report(tr("The top folder of the server cannot be deleted: open the folder to delete first."), false);
        return;
    }
    if (Running() || !FHost.CanRunNow(tr("Deleting a folder")))
        return;
    FTarget = Folder;
    if (!FWalk->Start(Folder)) {
        FHost.Report(tr("The folder %1 was not deleted: the client is busy.").arg(Shown(Folder)), true);
        return;
    }
    FHost.Report(tr("Counting what %1 holds ...").arg(Shown(Folder)), false);
}

void TFolderCommands::DownloadFolder()
{
    const std::string Folder = IpFtpWithoutTrailingSlashes(FHost.CurrentFolder());
    if (Folder.empty() || Folder == "/" || Folder[0] != '/') {
        FHost.Report(tr("The top folder of the server is not downloaded whole: open a folder below it first."), false);
        return;
    }
    FHost.Download(Folder);
}

void TFolderCommands::Walked()
{
    const TIpFtpTreeWalk &Walk = FWalk->Result();
    if (!FWalk->Error().empty() || !Walk.RootFound) {
        const std::string Why = !FWalk->Error().empty() ? FWalk->Error() : Walk.RootError;
        FHost.Report(tr("The folder %1 was not deleted: %2").arg(Shown(FTarget), ReplyForPeople(Why)), true);
        if (FClient.LoggedIn())
            FHost.Open(FTarget);
        return;
    }
    const TIpFtpRemovalCount N = IpFtpCountRemoval(Walk);
    QString Text = tr("Do you want to delete the folder %1 and everything in it: %2 and %3?")
                       .arg(Shown(FTarget), Count(N.Files, "1 file", "%1 files"),
                            Count(N.Folders, "1 folder", "%1 folders"));
    if (!Walk.Failed.empty())
        Text += QLatin1Char('\n') + tr("%1 could not be read; what they hold is not counted.")
                                        .arg(Count(Walk.Failed.size(), "1 folder", "%1 folders"));
    const bool Yes = Dialogs().WarningYesNo(FParent, tr("Warning"), Text) == daYes;
    if (!Yes || !FClient.LoggedIn()) {
        if (FClient.LoggedIn())
            FHost.Open(FTarget);
        return;
    }
    if (!FRemove->Start(FTarget, Walk)) {
        FHost.Report(tr("The folder %1 was not deleted: the client is busy.").arg(Shown(FTarget)), true);
        return;
    }
    FHost.Report(tr("Deleting %1 ...").arg(Shown(FTarget)), false);
}

void TFolderCommands::Removed()
{
    const size_t Files = FRemove->FilesRemoved();
    const size_t Folders = FRemove->FoldersRemoved();
    const std::string Parent = ParentFolderOf(FTarget);
    if (FRemove->RootRemoved()) {
        FHost.Report(tr("Deleted the folder %1 (%2 and %3).")
                         .arg(Shown(FTarget), Count(Files, "1 file", "%1 files"),
                              Count(Folders > 0 ? Folders - 1 : 0, "1 folder", "%1 folders")),
                     false);
        FHost.Open(Parent);
        return;
    }
    QString Why = !FRemove->Error().empty() ? ReplyForPeople(FRemove->Error()) : QString();
    if (!FRemove->Failed().empty()) {
        const TIpFtpWalkProblem &First = FRemove->Failed().front();
        if (!Why.isEmpty())
            Why += QStringLiteral("; ");
        Why += tr("%1 could not be removed, the first: %2 (%3)")
                   .arg(Count(FRemove->Failed().size(), "1 entry", "%1 entries"), Shown(First.Path),
                        ReplyForPeople(First.Reason));
    }
    FHost.Report(tr("The folder %1 was not wholly deleted (%2 and %3 removed): %4")
                     .arg(Shown(FTarget), Count(Files, "1 file", "%1 files"), Count(Folders, "1 folder", "%1 folders"),
                          Why),
                 true);
    if (FClient.LoggedIn())
        FHost.Open(FTarget);
}
