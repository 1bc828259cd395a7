#include "app/TrustQuestion.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "app/AppRules.h"
#include "app/EngineTls.h"

namespace {

// No accessible name of its own: a screen reader reads the value itself,
// after the row's caption.
QLabel *Value(QWidget *Parent, const QString &Text, bool Fixed = false)
{
    auto *L = new QLabel(Text, Parent);
    L->setTextFormat(Qt::PlainText);
    L->setWordWrap(true);
    L->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    if (Fixed)
        L->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    return L;
}

} // namespace

QString TrustPlace(const std::string &Host, unsigned Port)
{
    QString Name = DisplayName(Host);
    if (Name.contains(QLatin1Char(':')) && !Name.startsWith(QLatin1Char('[')))
        Name = QLatin1Char('[') + Name + QLatin1Char(']');
    return Name + QLatin1Char(':') + QString::number(Port);
}

TTrustQuestion::TTrustQuestion(const TCertificateDetails &Info, const std::string &OldSha256, QWidget *Parent)
    : QDialog(Parent)
{
    const bool Changed = !OldSha256.empty();
    const QString Place = TrustPlace(Info.Host, Info.Port);
    setObjectName(QStringLiteral("TrustQuestion"));
    setWindowTitle(Changed ? tr("The server's certificate has changed") : tr("Unverified server certificate"));
    setModal(true);

    auto *Icon = new QLabel(this);
    Icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
    const QString Lead =
        Changed ? tr("The certificate %1 presents is not the one you trusted for it before. Someone may be "
                     "intercepting the connection, or the server was given a new certificate. Ask its "
                     "administrator before you trust the new one.")
                      .arg(Place)
                : tr("The certificate %1 presents could not be verified. Your user name and password have not "
                     "been sent: compare the fingerprint with the one the server's administrator gives you "
                     "before you trust it.")
                      .arg(Place);
    auto *Text = Value(this, Lead);
    Text->setObjectName(QStringLiteral("TrustLead"));

    auto *Form = new QFormLayout;
    Form->addRow(tr("Server:"), Value(this, Place));
    Form->addRow(tr("Issued to:"), Value(this, DisplayName(Info.Subject)));
    Form->addRow(tr("Issued by:"), Value(this, DisplayName(Info.Issuer)));
    Form->addRow(tr("Valid from:"), Value(this, DisplayName(Info.NotBefore)));
    Form->addRow(tr("Valid until:"), Value(this, DisplayName(Info.NotAfter)));
    Form->addRow(tr("Problem:"), Value(this, DisplayName(Info.Reason)));
    QLabel *Sha = Value(this, DisplayName(Info.Sha256), true);
    Sha->setObjectName(QStringLiteral("TrustFingerprint"));
    Form->addRow(Changed ? tr("New SHA-256:") : tr("SHA-256:"), Sha);
    if (Changed) {
        QLabel *Old = Value(this, DisplayName(OldSha256), true);
        Old->setObjectName(QStringLiteral("TrustOldFingerprint"));
        Form->addRow(tr("Trusted before:"), Old);
    }

    auto *Buttons = new QDialogButtonBox(this);
    QPushButton *Always = Buttons->addButton(Changed ? tr("Trust the new one &always") : tr("Trust &always"),
                                             QDialogButtonBox::AcceptRole);
    QPushButton *Once = Buttons->addButton(tr("Trust this &time"), QDialogButtonBox::AcceptRole);
    QPushButton *Cancel = Buttons->addButton(tr("&Cancel"), QDialogButtonBox::RejectRole);
    Always->setObjectName(QStringLiteral("TrustAlways"));
    Always->setAccessibleName(tr("Trust always"));
    Once->setObjectName(QStringLiteral("TrustOnce"));
    Once->setAccessibleName(tr("Trust this time"));
    Cancel->setObjectName(QStringLiteral("TrustCancel"));
    Cancel->setAccessibleName(tr("Cancel"));
    // Enter must not trust a certificate by accident.
    for (QPushButton *B : {Always, Once})
        B->setAutoDefault(false);
    Cancel->setDefault(true);
    Cancel->setFocus();
    connect(Always, &QPushButton::clicked, this, [this] { FAnswer = taAlways; accept(); });
    connect(Once, &QPushButton::clicked, this, [this] { FAnswer = taOnce; accept(); });
    connect(Cancel, &QPushButton::clicked, this, [this] { FAnswer = taCancel; reject(); });

    auto *Top = new QHBoxLayout;
    Top->addWidget(Icon, 0, Qt::AlignTop);
    Top->addWidget(Text, 1);
    auto *Main = new QVBoxLayout(this);
    Main->addLayout(Top);
    Main->addLayout(Form);
    Main->addWidget(Buttons);
    setMinimumWidth(520);
}
