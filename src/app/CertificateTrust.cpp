#include "app/CertificateTrust.h"

#include <QTimer>

#include "app/DialogProvider.h"
#include "app/TrustQuestion.h"

TCertificateTrust::TCertificateTrust(TIpFtpClient &Client, QWidget *Window, const std::string &StorePath)
    : QObject(Window), FClient(Client), FWindow(Window), FStore(StorePath)
{
}

void TCertificateTrust::Report(const QString &Text)
{
    if (OnReport)
        OnReport(Text);
}

void TCertificateTrust::CertificateEvent(const TCertificateDetails &Info)
{
    FRefused = false;
    const std::optional<TTrustedCertificate> Stored = FStore.Find(Info.Host, Info.Port);
    if (!FStore.Problem().empty())
        Report(QString::fromStdString(FStore.Problem()));
    if (Stored && Stored->Sha256 == NormalFingerprint(Info.Sha256)) {
        EngineTls::AnswerCertificate(FClient, true);
        return;
    }
    // The dialog runs an event loop of its own; inside the engine's event
    // that would let the engine's notifications run into the middle of it.
    const std::string Old = Stored ? Stored->Sha256 : std::string();
    const TSocket Session = FClient.ControlSocket();
    QTimer::singleShot(0, this, [this, Info, Old, Session] { Ask(Info, Old, Session); });
}

void TCertificateTrust::Ask(const TCertificateDetails &Info, const std::string &OldSha256, TSocket Session)
{
    // The session may have been ended (Disconnect, a new Connect) before
    // the question could open.
    const auto Same = [&] { return EngineTls::CertificatePending(FClient) && FClient.ControlSocket() == Session; };
    if (!Same())
        return;
    FOpen = true;
    if (OnQuestion)
        OnQuestion(true);
    const TTrustAnswer Answer = Dialogs().AskTrust(FWindow, Info, OldSha256);
    FOpen = false;
    if (OnQuestion)
        OnQuestion(false);
    if (!Same())
        return;
    if (Answer == taCancel) {
        FRefused = true;
        EngineTls::AnswerCertificate(FClient, false);
        return;
    }
    if (Answer == taAlways && !FStore.Trust(Info.Host, Info.Port, Info.Sha256, Info.Pem)) {
        const QString Why = QString::fromStdString(FStore.Problem());
        Report(Why);
        if (OnMessage)
            OnMessage(tr("The certificate is trusted for this connection only: %1").arg(Why));
    }
    EngineTls::AnswerCertificate(FClient, true);
}
