#include "app/Encryption.h"

#include "app/EngineTls.h"

#include <QComboBox>
#include <QObject>

namespace {

const char *const Words[] = {"require", "auto", "implicit", "plain"};

} // namespace

const char *EncryptionWord(TEncryptionChoice Choice) { return Words[Choice <= ecPlain ? Choice : ecAuto]; }

std::optional<TEncryptionChoice> EncryptionOfWord(const std::string &Word)
{
    for (int I = 0; I <= ecPlain; ++I)
        if (Word == Words[I])
            return static_cast<TEncryptionChoice>(I);
    return std::nullopt;
}

TIpFtpTlsMode TlsModeOf(TEncryptionChoice Choice)
{
    switch (Choice) {
    case ecRequire:
        return tmRequired;
    case ecImplicit:
        return tmImplicit;
    case ecPlain:
        return tmNone;
    default:
        return tmExplicit;
    }
}

uint16_t DefaultPortOf(TEncryptionChoice Choice) { return Choice == ecImplicit ? 990 : 21; }

QComboBox *MakeEncryptionBox(QWidget *Parent)
{
    auto *Box = new QComboBox(Parent);
    Box->setObjectName(QStringLiteral("cbxEncryption"));
    Box->addItems({QObject::tr("Require explicit FTP over TLS"), QObject::tr("Use explicit FTP over TLS if available"),
                   QObject::tr("Require implicit FTP over TLS"), QObject::tr("Only use plain FTP (insecure)")});
    Box->setCurrentIndex(ecAuto);
    Box->setAccessibleName(QObject::tr("Encryption"));
    Box->setToolTip(QObject::tr("How the connection and the password are protected"));
    return Box;
}

QString SecurityText(const TIpFtpClient &Client)
{
    if (EngineTls::FellBack(Client))
        return QObject::tr("Not encrypted: the server does not offer TLS");
    const QString Version = QString::fromStdString(EngineTls::TlsVersion(Client));
    switch (EngineTls::SessionTrust(Client)) {
    case stVerified:
        return QObject::tr("Encrypted (%1), certificate verified").arg(Version);
    case stTrustedByUser:
        return QObject::tr("Encrypted (%1), certificate trusted by you").arg(Version);
    default:
        return QObject::tr("Not encrypted");
    }
}
