#pragma once
// The engine's TLS trust interface as the window uses it: the certificate
// question and its answer, how the session's certificate was accepted, the
// TLS version, a fall back to plain FTP and implicit TLS. Everything the
// window needs of it passes here, so the rest of the window depends on this
// one small surface (the question and the store see only the details).

#include <cstdint>
#include <functional>
#include <string>

#include "ftp/IpFtpClient.h"

// What the window shows of a server certificate, copied from the engine's
// certificate event (texts UTF-8).
struct TCertificateDetails
{
    std::string Host; // as typed, without the port
    uint16_t Port = 0;
    std::string Subject, Issuer, NotBefore, NotAfter, Reason;
    std::string Sha256; // "AB:CD:...", 32 hex pairs
    std::string Pem;
};

// How the session's certificate came to be accepted.
enum TSessionTrust : uint8_t { stNoTls, stVerified, stTrustedByUser };

namespace EngineTls {

inline constexpr int CertificateRefusedCode = IpFtpCertificateRefusedCode;

inline void BindCertificateEvent(TIpFtpClient &Client, std::function<void(const TCertificateDetails &)> Handler)
{
    if (!Handler) {
        Client.OnFtpCertificate = nullptr;
        return;
    }
    Client.OnFtpCertificate = [Handler](TObject *, const TIpFtpCertificateInfo &Info) {
        Handler(TCertificateDetails{Info.Host, Info.Port, Info.Subject, Info.Issuer, Info.NotBefore, Info.NotAfter,
                                    Info.Reason, Info.Sha256, Info.Pem});
    };
}

inline void AnswerCertificate(TIpFtpClient &Client, bool Trust) { Client.AnswerCertificate(Trust); }
inline bool CertificatePending(const TIpFtpClient &Client) { return Client.CertificatePending(); }

inline TSessionTrust SessionTrust(const TIpFtpClient &Client)
{
    switch (Client.TlsTrust()) {
    case ttVerified:
        return stVerified;
    case ttPinned:
    case ttUserTrusted:
        return stTrustedByUser;
    default:
        return stNoTls;
    }
}

inline std::string TlsVersion(const TIpFtpClient &Client) { return Client.TlsVersion(); }
inline bool FellBack(const TIpFtpClient &Client) { return Client.TlsFellBack(); }

} // namespace EngineTls
