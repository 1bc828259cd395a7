#pragma once
// The main window's status bar: the latest outcome of what the user started
// (or why an action cannot run now) on the left, the running transfer's
// bytes, rate and time left, and the session's encryption on the right.

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <cstdint>
#include <string>

class QLabel;
class QStatusBar;

// "1.5 MiB of 4.0 MiB, 512 KiB/s, 5 s left": what a running transfer has
// moved. Total below 1 means the size is unknown (no share, no time left);
// no rate before a tenth of a second has passed.
std::string TransferSummary(int64_t Bytes, int64_t Total, int64_t ElapsedMs);

// A byte count for people: "512 bytes", "1.5 KiB", "3.2 MiB", "1.0 GiB".
std::string ShortSize(int64_t Bytes);

class TStatusLine : public QObject
{
    Q_OBJECT

public:
    explicit TStatusLine(QStatusBar *Bar);

    // The latest outcome, kept until the next one.
    void ShowOutcome(const QString &Text);
    QString Outcome() const;

    // A transfer of Total bytes (below 1: unknown) starts now.
    void StartTransfer(int64_t Total);
    void ShowProgress(int64_t Bytes);
    void EndTransfer();
    QString TransferText() const;

    // How the session is protected; empty when there is none.
    void ShowSecurity(const QString &Text);
    QString Security() const;

private:
    QLabel *FOutcome;
    QLabel *FTransfer;
    QLabel *FSecurity;
    QElapsedTimer FSince;
    int64_t FTotal = 0;
};
