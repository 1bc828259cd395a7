#pragma once
// Home routers and firewalls forget a control connection that has been
// quiet for some minutes, and the next command then hangs. A session that
// has sent nothing for a minute sends NOOP, when it is idle; the user sees
// it on the Log page only.

#include <QObject>

#include <functional>

class QTimer;

class TKeepAlive : public QObject
{
    Q_OBJECT

public:
    static constexpr int QuietMs = 60000;

    // LoggedIn: there is a session to keep. Idle: nothing runs on it.
    // Send: sends NOOP.
    TKeepAlive(std::function<bool()> LoggedIn, std::function<bool()> Idle, std::function<void()> Send,
               QObject *Parent);

    // A command went to the server: the quiet minute starts again.
    void Touch();
    QTimer *Timer() const { return FTimer; }

private:
    void Quiet();

    std::function<bool()> FLoggedIn;
    std::function<bool()> FIdle;
    std::function<void()> FSend;
    QTimer *FTimer;
};
