// tolvane-cli [OPTIONS] HOST[:PORT] OPERATION [ARGS]: the FTP engine without
// the window, for scripts and benchmarks. One operation per run; the exit
// status says how it went (see --help).

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <iostream>
#include <string>
#include <vector>

#include "platform/IpPlatform.h"
#include "tools/cli_options.h"
#include "tools/cli_session.h"

namespace {

// Ctrl-C and kill reach the event loop through a pipe, so the run ends
// through the client (which removes an unfinished download's temporary
// file) instead of dying in the middle of it.
int SignalPipe[2] = {-1, -1};

void OnSignal(int Signal)
{
    const unsigned char Byte = static_cast<unsigned char>(Signal);
    const int Saved = errno;
    [[maybe_unused]] const ssize_t N = ::write(SignalPipe[1], &Byte, 1);
    errno = Saved;
}

bool CatchSignals()
{
    if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction Action = {};
    Action.sa_handler = OnSignal;
    sigemptyset(&Action.sa_mask);
    for (int Signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(Signal, &Action, nullptr);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> Args(argv + 1, argv + argc);
    TCliOptions Options;
    std::string Error;
    if (!ParseCliArguments(Args, std::getenv("TOLVANE_PASSWORD"), Options, Error)) {
        std::cerr << "tolvane-cli: " << Error << " (see tolvane-cli --help)\n";
        return CliExitUsage;
    }
    if (Options.Help) {
        std::cout << CliUsageText();
        return std::cout.good() ? CliExitOk : CliExitLocal;
    }

    QCoreApplication App(argc, argv);
    int ExitCode = CliExitNetwork;
    {
        TCliSession Session(Options, [&ExitCode](int Code) {
            ExitCode = Code;
            QCoreApplication::exit(Code);
        });
        // Nothing may cross the event loop; an engine exception ends the run.
        IpSetApplicationExceptionHandler(
            [&Session](std::exception_ptr E) { Session.HandleException(IpExceptionMessage(E)); });
        std::unique_ptr<QSocketNotifier> Signals;
        if (CatchSignals()) {
            Signals = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
            QObject::connect(Signals.get(), &QSocketNotifier::activated, [&Session] {
                unsigned char Byte = 0;
                if (::read(SignalPipe[0], &Byte, 1) == 1)
                    Session.Interrupt(Byte);
            });
        }
        QTimer::singleShot(0, [&Session] { Session.Start(); });
        App.exec();
        IpSetApplicationExceptionHandler({});
    }
    return ExitCode;
}
