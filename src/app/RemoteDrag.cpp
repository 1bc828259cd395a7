#include "app/RemoteDrag.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QDrag>
#include <QEventLoop>
#include <QFile>
#include <QItemSelectionModel>
#include <QMouseEvent>

#include <cstdlib>
#include <memory>

#include "app/AppRules.h"
#include "ftp/IpFtpQueue.h"
#include "ftp/IpFtpWalk.h"

namespace {

const QString UriList = QStringLiteral("text/uri-list");

// A new folder of our own below the temporary folder; empty on failure.
std::string MakeDeliveryFolder()
{
    std::string Template = QFile::encodeName(QDir::tempPath()).toStdString() + "/tolvane-ftp-drag-XXXXXX";
    if (!::mkdtemp(Template.data()))
        return std::string();
    return Template;
}

QUrl LocalUrl(const std::string &Path) { return QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(Path))); }

} // namespace

TRemoteDragSource::TRemoteDragSource(TIpCustomFtpClient &Client, THost Host, QAbstractItemView *View)
    : QObject(View), FClient(Client), FHost(std::move(Host)), FView(View), FViewport(View->viewport())
{
    FViewport->installEventFilter(this);
}

TRemoteDragSource::~TRemoteDragSource()
{
    for (const QString &Folder : FMadeFolders)
        QDir(Folder).removeRecursively();
}

bool TRemoteDragSource::eventFilter(QObject *Watched, QEvent *Event)
{
    // Only mouse events touch the view: the viewport also passes the events
    // of its own destruction here, when the view is half gone.
    const QEvent::Type Type = Event->type();
    if ((Type != QEvent::MouseButtonPress && Type != QEvent::MouseMove && Type != QEvent::MouseButtonRelease) ||
        Watched != FViewport)
        return false;
    switch (Type) {
    case QEvent::MouseButtonPress: {
        auto *E = static_cast<QMouseEvent *>(Event);
        const QModelIndex At = FView->indexAt(E->position().toPoint());
        FPressed = E->button() == Qt::LeftButton && At.isValid() &&
                   FView->selectionModel()->isRowSelected(At.row(), At.parent());
        FPressAt = E->position().toPoint();
        break;
    }
    case QEvent::MouseMove: {
        auto *E = static_cast<QMouseEvent *>(Event);
        if (FPressed && (E->buttons() & Qt::LeftButton) &&
            (E->position().toPoint() - FPressAt).manhattanLength() >= QApplication::startDragDistance()) {
            FPressed = false;
            StartDrag();
            return true;
        }
        break;
    }
    case QEvent::MouseButtonRelease:
        FPressed = false;
        break;
    default:
        break;
    }
    return false;
}

void TRemoteDragSource::StartDrag()
{
    const std::vector<TListedEntry> Entries = FHost.Selected();
    if (Entries.empty())
        return;
    auto *Drag = new QDrag(FView);
    Drag->setMimeData(MakeMimeData(Entries, FHost.CurrentFolder()));
    Drag->exec(Qt::CopyAction, Qt::CopyAction);
}

QMimeData *TRemoteDragSource::MakeMimeData(const std::vector<TListedEntry> &Entries, const std::string &Folder)
{
    return new TRemoteDragData(this, Entries, Folder);
}

QList<QUrl> TRemoteDragSource::Deliver(const std::vector<TListedEntry> &Entries, const std::string &Folder)
{
    if (FRunning || Entries.empty() || !FHost.CanRunNow(tr("Dragging files out")))
        return {};
    const std::string Target = MakeDeliveryFolder();
    if (Target.empty()) {
        FHost.Report(tr("Nothing was downloaded: no folder could be made in %1.").arg(QDir::tempPath()), true);
        return {};
    }
    FLastFolder = QFile::decodeName(QByteArray::fromStdString(Target));
    FMadeFolders.push_back(FLastFolder);
    FRunning = true;
    TIpFtpQueue Queue(FClient);
    QEventLoop Loop;
    // Top-level entries, with the queue items that make each one.
    struct TDelivered
    {
        std::string Local;
        uint32_t First = 0;
        uint32_t Last = 0;
    };
    std::vector<TDelivered> Delivered;
    int Refused = 0;
    for (const TListedEntry &E : Entries) {
        if (!IsSafeLocalName(E.Name)) {
            ++Refused; // a hostile listing must not choose where a file lands
            continue;
        }
        const std::string Remote = IpFtpJoinPath(Folder, E.Name);
        const std::string Local = JoinLocalPath(Target, E.Name);
        if (!E.Folder) {
            const uint32_t Id = Queue.AddDownload(Remote, Local, E.Size, E.ModifyTime, rmReplace);
            Delivered.push_back({Local, Id, Id});
            continue;
        }
        TIpFtpRemoteWalk Walk(FClient);
        Walk.OnFinished = [&Loop](TIpFtpRemoteWalk &) { Loop.quit(); };
        if (!Walk.Start(Remote))
            break;
        Loop.exec();
        if (!Walk.Result().RootFound)
            continue;
        const size_t Before = Queue.Items().size();
        IpFtpQueueTreeDownload(Queue, Walk.Result(), Remote, Local, rmReplace);
        if (Queue.Items().size() > Before)
            Delivered.push_back({Local, Queue.Items()[Before].Id, Queue.Items().back().Id});
    }
    Queue.OnFinished = [&Loop](TIpFtpQueue &) { Loop.quit(); };
    if (Queue.Start())
        Loop.exec();
    FRunning = false;
    QList<QUrl> Urls;
    int Failed = Refused;
    for (const TDelivered &D : Delivered) {
        bool Whole = true;
        for (const TIpFtpQueueItem &Item : Queue.Items())
            if (Item.Id >= D.First && Item.Id <= D.Last && Item.State != qsDone && Item.State != qsSkipped)
                Whole = false;
        if (Whole)
            Urls.push_back(LocalUrl(D.Local));
        else
            ++Failed;
    }
    if (Failed > 0)
        FHost.Report(tr("%1 of the %2 dragged entries could not be downloaded.").arg(Failed).arg(Entries.size()), true);
    else
        FHost.Report(tr("Downloaded %1 dragged entries.").arg(Urls.size()), false);
    return Urls;
}

TRemoteDragData::TRemoteDragData(TRemoteDragSource *Source, std::vector<TListedEntry> Entries, std::string Folder)
    : FSource(Source), FEntries(std::move(Entries)), FFolder(std::move(Folder))
{
}

QStringList TRemoteDragData::formats() const { return {UriList}; }

bool TRemoteDragData::hasFormat(const QString &MimeType) const { return MimeType == UriList; }

QVariant TRemoteDragData::retrieveData(const QString &MimeType, QMetaType Type) const
{
    if (MimeType != UriList || !FSource)
        return QMimeData::retrieveData(MimeType, Type);
    // Asked once per drop; a second request (or one while the first still
    // downloads) gets what the first delivered.
    if (!FDelivered && !FSource->Running()) {
        FDelivered = true;
        FUrls = FSource->Deliver(FEntries, FFolder);
    }
    QList<QVariant> List;
    for (const QUrl &U : FUrls)
        List.push_back(U);
    return List;
}
