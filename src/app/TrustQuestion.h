#pragma once
// The question when a server's certificate could not be verified: who the
// certificate names, who issued it, when it is valid, why verification
// failed and its SHA-256 fingerprint (selectable text, so it can be
// compared with what the server's administrator says). The user trusts it
// always (it is remembered for that host and port), this time only, or not
// at all. When a certificate trusted always before has been replaced, the
// same dialog warns that it changed, shows both fingerprints, and Cancel is
// the default.

#include <QDialog>

#include <cstdint>
#include <string>

struct TCertificateDetails;
class QPushButton;

enum TTrustAnswer : uint8_t { taCancel, taOnce, taAlways };

class TTrustQuestion : public QDialog
{
    Q_OBJECT

public:
    // OldSha256 empty: the certificate is unknown; else the fingerprint of
    // the one trusted before.
    TTrustQuestion(const TCertificateDetails &Info, const std::string &OldSha256, QWidget *Parent = nullptr);

    TTrustAnswer Answer() const { return FAnswer; }

private:
    TTrustAnswer FAnswer = taCancel;
};

// "ftp.example.com:21", "[::1]:990": the host and port as the question names them.
QString TrustPlace(const std::string &Host, unsigned Port);
