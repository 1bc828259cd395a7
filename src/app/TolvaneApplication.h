#pragma once
// The application object of the desktop program: no exception may cross the
// Qt event loop, so every one that reaches it, and every one the engine
// hands to the process-wide handler, is shown in a message box.

#include <QApplication>

class TTolvaneApplication : public QApplication
{
    Q_OBJECT

public:
    TTolvaneApplication(int &Argc, char **Argv);
    ~TTolvaneApplication() override;

    bool notify(QObject *Receiver, QEvent *Event) override;
};

// Shows an exception's message in a message box (through the dialog
// provider); never throws.
void ShowApplicationException(std::exception_ptr Error);

// Whether a window can be shown at all: a display server is named and, for
// a local X display, its socket answers. Checked before Qt starts, because
// Qt aborts the process when it finds no display.
bool DisplayAvailable(std::string &Why);
