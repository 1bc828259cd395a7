#pragma once
// The connection bar's choice of encryption, how host.ini names it, what
// the engine makes of it, and how the window tells the session's security
// to the user.

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

#include "ftp/IpFtpClient.h"

class QComboBox;
class QWidget;

// In the order the box lists them.
enum TEncryptionChoice : uint8_t { ecRequire, ecAuto, ecImplicit, ecPlain };

// host.ini's word for a choice ("require", "auto", "implicit", "plain"),
// and back; nothing for a word that names none of them.
const char *EncryptionWord(TEncryptionChoice Choice);
std::optional<TEncryptionChoice> EncryptionOfWord(const std::string &Word);

TIpFtpTlsMode TlsModeOf(TEncryptionChoice Choice);
// The port a host without one is reached on.
uint16_t DefaultPortOf(TEncryptionChoice Choice);

// The box with the four choices, accessible name "Encryption"; its index
// is the choice.
QComboBox *MakeEncryptionBox(QWidget *Parent);

// "Encrypted (TLS 1.3), certificate verified", "... trusted by you", "Not
// encrypted", and what a fall back to plain FTP means: the logged-in
// session's security in words.
QString SecurityText(const TIpFtpClient &Client);
