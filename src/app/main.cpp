// Tolvane FTP Uploader: the desktop program.

#include <QStringList>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/About.h"
#include "app/FileIcons.h"
#include "app/FilePermission.h"
#include "app/HostSettings.h"
#include "app/QuitSignals.h"
#include "app/TolvaneApplication.h"
#include "app/TolvaneFtp.h"

namespace {

const char Usage[] =
    "Usage: tolvane-ftp [FILE]\n"
    "\n"
    "The desktop FTP uploader with a small remote file manager.\n"
    "With FILE and a saved host, user name and password it logs in by itself\n"
    "and uploads FILE into the default upload folder.\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this text\n"
    "\n"
    "Settings: host.ini beside the program, or $XDG_CONFIG_HOME/tolvane-ftp/host.ini\n"
    "when that folder is not writable. tolvane-cli is the headless client.\n";

} // namespace

int main(int argc, char **argv)
{
    // Answered before the display check, so that it works in any terminal.
    if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0))
        return std::fputs(Usage, stdout) < 0 || std::fflush(stdout) != 0 ? 2 : 0;

    std::string Why;
    if (!DisplayAvailable(Why)) {
        std::fprintf(stderr, "tolvane-ftp: %s; the window needs a graphical session (tolvane-cli is the headless client)\n",
                     Why.c_str());
        return 2;
    }
    TTolvaneApplication App(argc, argv);
    App.setWindowIcon(ProgramIcon());

    QStringList Arguments = App.arguments();
    if (!Arguments.isEmpty())
        Arguments.removeFirst();

    auto Main = std::make_unique<TTolvaneFtp>(HostIniPath(), Arguments);
    auto Permission = std::make_unique<TFilePermission>(Main.get());
    FilePermission = Permission.get();
    FilePermission->SetHost(Main.get());
    auto AboutBox = std::make_unique<TAbout>(Main.get());
    About = AboutBox.get();

    // A signal ends the program as a close with "cancel" would.
    TQuitSignals Signals;
    QObject::connect(&Signals, &TQuitSignals::Requested, Main.get(), [&Main] { Main->EndForSignal(); });

    Main->show();
    const int Result = App.exec();

    About = nullptr;
    FilePermission = nullptr;
    AboutBox.reset();
    Permission.reset();
    Main.reset();
    return Result;
}
