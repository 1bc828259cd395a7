// How the client comes to accept the server's certificate: verified,
// pinned by fingerprint, or trusted by the user after a question.

#include "ftp/IpFtpClient.h"

void TIpCustomFtpClient::SetTlsFingerprint(const std::string &Sha256)
{
    FTlsFingerprint = Sha256;
}

void TIpCustomFtpClient::AnswerCertificate(bool Trust)
{
    (void)Trust;
    if (!FCertificatePending)
        return;
    FCertificatePending = false;
}

std::string TIpCustomFtpClient::TlsVersion() const
{
    return std::string();
}

void TIpCustomFtpClient::DoFtpCertificate(const TIpFtpCertificateInfo &Info)
{
    if (OnFtpCertificate)
        OnFtpCertificate(this, Info);
}
