#pragma once
// The window's side of a server certificate that could not be verified.
// The engine stops the login before the user name goes out and asks; the
// answer comes from the trust store when it knows the certificate, else
// from the user. The question is a modal dialog, so it is opened only
// after the engine's event has returned, and the window's own login clocks
// stand still while it is open.
//
// A certificate trusted "always" is not handed to the engine as a pin: a
// pinned session would refuse any other certificate outright, and the user
// must instead be warned that the certificate changed, with both
// fingerprints in front of them. So a stored certificate is matched here,
// when the engine reports a certificate it could not verify.

#include <QObject>
#include <QString>

#include <functional>
#include <string>

#include "app/CertificateStore.h"
#include "app/EngineTls.h"

class QWidget;

class TCertificateTrust : public QObject
{
    Q_OBJECT

public:
    TCertificateTrust(TIpFtpClient &Client, QWidget *Window, const std::string &StorePath);

    // Bound to the client's OnFtpCertificate.
    void CertificateEvent(const TCertificateDetails &Info);

    bool QuestionOpen() const { return FOpen; }
    // The user refused the last certificate asked about (cleared by the next question).
    bool Refused() const { return FRefused; }
    TCertificateStore &Store() { return FStore; }

    // Open is true while the question is on screen.
    std::function<void(bool Open)> OnQuestion;
    // Something the user should read in the status bar and the log.
    std::function<void(const QString &Text)> OnReport;
    // Something the user must acknowledge (a message box).
    std::function<void(const QString &Text)> OnMessage;

private:
    void Ask(const TCertificateDetails &Info, const std::string &OldSha256, TSocket Session);
    void Report(const QString &Text);

    TIpFtpClient &FClient;
    QWidget *FWindow;
    TCertificateStore FStore;
    bool FOpen = false;
    bool FRefused = false;
};
