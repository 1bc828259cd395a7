#pragma once
// The engine's TLS trust interface as the window uses it: the certificate
// question and its answer, how the session's certificate was accepted, the
// TLS version, a fall back to plain FTP and implicit TLS. Everything the
// window needs of it passes here, so the rest of the window depends on this
// one small surface. While the engine lacks the interface, the calls do
// nothing and a certificate that fails verification ends the login with
// the engine's own error, as before.

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

template <typename C>
concept HasTrust = requires(C &Client, const C &Const) {
    Client.OnFtpCertificate;
    Client.AnswerCertificate(true);
    Const.CertificatePending();
    Const.TlsTrust();
    Const.TlsVersion();
    Const.TlsFellBack();
};

// The engine's error code for a certificate the user refused.
inline constexpr int CertificateRefusedCode = 8104;

template <typename C> void BindCertificateEvent(C &Client, std::function<void(const TCertificateDetails &)> Handler)
{
    if constexpr (HasTrust<C>) {
        if (!Handler) {
            Client.OnFtpCertificate = nullptr;
            return;
        }
        Client.OnFtpCertificate = [Handler](TObject *, const auto &Info) {
            Handler(TCertificateDetails{Info.Host, Info.Port, Info.Subject, Info.Issuer, Info.NotBefore,
                                        Info.NotAfter, Info.Reason, Info.Sha256, Info.Pem});
        };
    }
}

template <typename C> void AnswerCertificate(C &Client, bool Trust)
{
    if constexpr (HasTrust<C>)
        Client.AnswerCertificate(Trust);
}

template <typename C> bool CertificatePending(const C &Client)
{
    if constexpr (HasTrust<C>)
        return Client.CertificatePending();
    return false;
}

template <typename C> TSessionTrust SessionTrust(const C &Client)
{
    if constexpr (HasTrust<C>) {
        // ttNone, ttVerified, ttPinned, ttUserTrusted
        const int Trust = static_cast<int>(Client.TlsTrust());
        return Trust == 1 ? stVerified : Trust >= 2 ? stTrustedByUser : stNoTls;
    }
    return Client.TlsActive() ? stVerified : stNoTls;
}

template <typename C> std::string TlsVersion(const C &Client)
{
    if constexpr (HasTrust<C>)
        return Client.TlsVersion();
    return "TLS";
}

template <typename C> bool FellBack(const C &Client)
{
    if constexpr (HasTrust<C>)
        return Client.TlsFellBack();
    return false;
}

// tmImplicit follows tmRequired in the engine's modes; an engine without
// the trust interface has no implicit mode either, and requires explicit
// TLS instead, which never weakens the connection.
template <typename C> TIpFtpTlsMode ImplicitMode(const C &)
{
    if constexpr (HasTrust<C>)
        return static_cast<TIpFtpTlsMode>(tmRequired + 1);
    return tmRequired;
}

} // namespace EngineTls
