#include "app/TolvaneApplication.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QStyleFactory>
#include <QWidget>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/DialogProvider.h"
#include "platform/IpPlatform.h"

void ShowApplicationException(std::exception_ptr Error)
{
    try {
        const QString Text = QString::fromStdString(IpExceptionMessage(Error));
        Dialogs().ShowMessage(QApplication::activeWindow(), Text);
    } catch (...) {
        // Nothing may leave the handler; the message is lost, the program lives.
    }
}

TTolvaneApplication::TTolvaneApplication(int &Argc, char **Argv) : QApplication(Argc, Argv)
{
    setApplicationName(QStringLiteral("tolvane-ftp"));
    setOrganizationName(QStringLiteral("Tolvane"));
    setDesktopFileName(QStringLiteral("tolvane-ftp"));
    // One look everywhere, whatever the desktop's own style plugin is.
    if (QStyle *Fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        setStyle(Fusion);
    IpSetApplicationExceptionHandler(ShowApplicationException);
}

TTolvaneApplication::~TTolvaneApplication() { IpSetApplicationExceptionHandler(nullptr); }

bool TTolvaneApplication::notify(QObject *Receiver, QEvent *Event)
{
    try {
        return QApplication::notify(Receiver, Event);
    } catch (...) {
        ShowApplicationException(std::current_exception());
        return false;
    }
}

namespace {

bool ConnectUnix(const std::string &Path, bool Abstract)
{
    const int Fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Fd < 0)
        return false;
    sockaddr_un Addr{};
    Addr.sun_family = AF_UNIX;
    const size_t Offset = Abstract ? 1 : 0;
    if (Path.size() + Offset >= sizeof Addr.sun_path) {
        ::close(Fd);
        return false;
    }
    std::memcpy(Addr.sun_path + Offset, Path.data(), Path.size());
    const socklen_t Len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + Offset + Path.size());
    const bool Ok = ::connect(Fd, reinterpret_cast<sockaddr *>(&Addr), Len) == 0;
    ::close(Fd);
    return Ok;
}

} // namespace

bool DisplayAvailable(std::string &Why)
{
    const char *Platform = std::getenv("QT_QPA_PLATFORM");
    if (Platform && *Platform)
        return true; // the user chose a platform (offscreen, vnc, ...) and owns the outcome
    const char *Wayland = std::getenv("WAYLAND_DISPLAY");
    if (Wayland && *Wayland)
        return true;
    const char *Display = std::getenv("DISPLAY");
    if (!Display || !*Display) {
        Why = "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";
        return false;
    }
    // ":N", ":N.S" and "unix:N" are local sockets we can probe; remote
    // displays are left to Qt.
    std::string Text = Display;
    if (Text.rfind("unix:", 0) == 0)
        Text = Text.substr(4);
    if (Text.empty() || Text[0] != ':')
        return true;
    const std::string Number = Text.substr(1, Text.find('.') == std::string::npos ? std::string::npos : Text.find('.') - 1);
    const std::string Socket = "/tmp/.X11-unix/X" + Number;
    if (ConnectUnix(Socket, false) || ConnectUnix(Socket, true))
        return true;
    Why = "cannot open display " + std::string(Display);
    return false;
}
