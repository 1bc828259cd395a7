#include "support/EventLoop.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace {

// The condition is polled on a short timer: the loop sleeps in the
// dispatcher between polls (no busy spin) and still notices a change within
// a couple of milliseconds. A real QEventLoop (rather than processEvents())
// also runs deleteLater() deletions, as the program's own loop does.
constexpr int kPollMs = 2;

} // namespace

bool RunUntil(const std::function<bool()> &cond, int timeoutMs)
{
    if (cond())
        return true;
    QEventLoop loop;
    bool met = false;
    QTimer poll;
    poll.setInterval(kPollMs);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (cond()) {
            met = true;
            loop.quit();
        }
    });
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] { loop.quit(); });
    poll.start();
    limit.start(std::max(timeoutMs, 0));
    loop.exec();
    return met || cond();
}

void RunFor(int ms)
{
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] { loop.quit(); });
    limit.start(std::max(ms, 0));
    loop.exec();
}
