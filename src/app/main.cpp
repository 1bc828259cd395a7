// Tolvane FTP Uploader: the desktop program.

#include <QStringList>

#include <cstdio>
#include <memory>
#include <string>

#include "app/About.h"
#include "app/FileIcons.h"
#include "app/FilePermission.h"
#include "app/HostSettings.h"
#include "app/QuitSignals.h"
#include "app/TolvaneApplication.h"
#include "app/TolvaneFtp.h"

int main(int argc, char **argv)
{
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
