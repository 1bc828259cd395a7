#include "app/QuitSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cerrno>

namespace {

int Pipe[2] = {-1, -1};
const int Handled[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnQuitSignal(int Signal)
{
    const int Saved = errno;
    const unsigned char Byte = static_cast<unsigned char>(Signal);
    // A full pipe already holds a request; nothing is lost by dropping this one.
    [[maybe_unused]] const ssize_t N = ::write(Pipe[1], &Byte, 1);
    errno = Saved;
}

} // namespace

TQuitSignals::TQuitSignals(QObject *Parent) : QObject(Parent)
{
    if (Pipe[0] < 0 && ::pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    FNotifier = new QSocketNotifier(Pipe[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { Drain(); });
    struct sigaction Action = {};
    Action.sa_handler = OnQuitSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    for (const int Signal : Handled)
        ::sigaction(Signal, &Action, nullptr);
}

TQuitSignals::~TQuitSignals()
{
    struct sigaction Default = {};
    Default.sa_handler = SIG_DFL;
    sigemptyset(&Default.sa_mask);
    for (const int Signal : Handled)
        ::sigaction(Signal, &Default, nullptr);
}

void TQuitSignals::Drain()
{
    unsigned char Byte = 0;
    bool Any = false;
    while (::read(Pipe[0], &Byte, 1) == 1) {
        FLast = Byte;
        Any = true;
    }
    if (Any)
        emit Requested(FLast);
}
