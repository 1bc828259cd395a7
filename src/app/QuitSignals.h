#pragma once
// SIGINT, SIGTERM and SIGHUP end the program the way closing the window
// during a transfer with "cancel" does: the handler only writes a byte into
// a pipe, and the event loop turns it into Requested(), so the transfer is
// cancelled properly (no half-stored upload taken for complete, no
// temporary download file left behind) before the program ends.

#include <QObject>

class QSocketNotifier;

class TQuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit TQuitSignals(QObject *Parent = nullptr);
    ~TQuitSignals() override;

    // The signal's number that arrived last, 0 before any.
    int LastSignal() const { return FLast; }

signals:
    void Requested(int Signal);

private:
    void Drain();

    QSocketNotifier *FNotifier = nullptr;
    int FLast = 0;
};
