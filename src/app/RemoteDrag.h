#pragma once
// Dragging entries out of the file list onto a file manager. The drag
// offers the entries as local files; only when the file manager asks for
// them (on the drop) are they downloaded, into a folder of their own below
// the temporary folder, and the file manager copies them from there. The
// downloads run on the session's connection through a transfer queue while
// the drop waits; meanwhile the source owns the client.

#include <QList>
#include <QMimeData>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <string>
#include <vector>

#include "app/TransferJobs.h"
#include "ftp/IpFtpClient.h"

class QAbstractItemView;

class TRemoteDragSource : public QObject
{
    Q_OBJECT

public:
    struct THost
    {
        // The entries selected in the file list.
        std::function<std::vector<TListedEntry>()> Selected;
        // The folder the list shows, absolute, as the server named it.
        std::function<std::string()> CurrentFolder;
        std::function<bool(const QString &What)> CanRunNow;
        std::function<void(const QString &Text, bool Box)> Report;
    };

    // Watches View's viewport for drags that start on a selected entry.
    TRemoteDragSource(TIpCustomFtpClient &Client, THost Host, QAbstractItemView *View);
    ~TRemoteDragSource() override;

    bool Running() const { return FRunning; }
    // What a drag of Entries (listed in Folder) carries; owned by the caller.
    QMimeData *MakeMimeData(const std::vector<TListedEntry> &Entries, const std::string &Folder);
    // Downloads Entries into a new folder below the temporary folder and
    // returns the local files and folders that arrived whole. Runs the event
    // loop until the downloads have ended; empty when nothing could start.
    QList<QUrl> Deliver(const std::vector<TListedEntry> &Entries, const std::string &Folder);
    // Where the last delivery went; empty before the first.
    const QString &LastFolder() const { return FLastFolder; }

    bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
    void StartDrag();

    TIpCustomFtpClient &FClient;
    THost FHost;
    QAbstractItemView *FView;
    QObject *FViewport; // compared, never used: it may be going
    QPoint FPressAt;
    bool FPressed = false;
    bool FRunning = false;
    QString FLastFolder;
    QStringList FMadeFolders; // removed when the program ends: the drops have copied them
};

// The entries of a drag, fetched from the server when a drop asks for them.
class TRemoteDragData : public QMimeData
{
    Q_OBJECT

public:
    TRemoteDragData(TRemoteDragSource *Source, std::vector<TListedEntry> Entries, std::string Folder);

    QStringList formats() const override;
    bool hasFormat(const QString &MimeType) const override;

protected:
    QVariant retrieveData(const QString &MimeType, QMetaType Type) const override;

private:
    TRemoteDragSource *FSource;
    std::vector<TListedEntry> FEntries;
    std::string FFolder;
    mutable bool FDelivered = false;
    mutable QList<QUrl> FUrls;
};
