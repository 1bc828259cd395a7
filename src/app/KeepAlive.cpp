#include "app/KeepAlive.h"

#include <QTimer>

TKeepAlive::TKeepAlive(std::function<bool()> LoggedIn, std::function<bool()> Idle, std::function<void()> Send,
                       QObject *Parent)
    : QObject(Parent), FLoggedIn(std::move(LoggedIn)), FIdle(std::move(Idle)), FSend(std::move(Send)), FTimer(new QTimer(this))
{
    FTimer->setObjectName(QStringLiteral("KeepAliveTimer"));
    FTimer->setSingleShot(true);
    FTimer->setInterval(QuietMs);
    connect(FTimer, &QTimer::timeout, this, &TKeepAlive::Quiet);
}

void TKeepAlive::Touch() { FTimer->start(); }

void TKeepAlive::Quiet()
{
    // Busy with something, the connection is not quiet; the NOOP itself
    // touches the timer again when it is sent. Without a session the next
    // login starts the timer again.
    if (!FLoggedIn())
        return;
    if (FIdle())
        FSend();
    else
        FTimer->start();
}
