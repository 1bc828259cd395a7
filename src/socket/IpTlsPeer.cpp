// What the TLS engine tells about the peer's certificate: a verification
// the owner decides on after the handshake (a person may trust what the CA
// chain does not), a certificate pinned by its SHA-256 fingerprint, and the
// details a person needs to judge a certificate.

#include "socket/IpTls.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <vector>

namespace {

std::string FromBio(BIO *Bio)
{
    char *Data = nullptr;
    const long N = BIO_get_mem_data(Bio, &Data);
    std::string Out = N > 0 && Data ? std::string(Data, size_t(N)) : std::string();
    BIO_free(Bio);
    return Out;
}

std::string OneLineName(const X509_NAME *Name)
{
    BIO *Bio = BIO_new(BIO_s_mem());
    if (!Bio || !Name)
        return std::string();
    // Most specific part first, "CN=a, O=b"; strings converted to UTF-8 and
    // control characters escaped, so a hostile name cannot break a line.
    X509_NAME_print_ex(Bio, Name, 0,
                       XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN | ASN1_STRFLGS_UTF8_CONVERT |
                           ASN1_STRFLGS_ESC_CTRL | ASN1_STRFLGS_ESC_2253);
    return FromBio(Bio);
}

std::string ShowTime(const ASN1_TIME *Time)
{
    std::tm Tm{};
    if (!Time || ASN1_TIME_to_tm(Time, &Tm) != 1)
        return std::string();
    char Buf[32];
    return std::strftime(Buf, sizeof Buf, "%Y-%m-%d %H:%M:%S UTC", &Tm) ? std::string(Buf) : std::string();
}

std::string Sha256Of(X509 *Cert)
{
    unsigned char Md[EVP_MAX_MD_SIZE];
    unsigned int Len = 0;
    if (!Cert || X509_digest(Cert, EVP_sha256(), Md, &Len) != 1)
        return std::string();
    static const char Hex[] = "0123456789ABCDEF";
    std::string Out;
    for (unsigned int I = 0; I < Len; ++I) {
        Out += Hex[Md[I] >> 4];
        Out += Hex[Md[I] & 15];
    }
    return Out;
}

} // namespace

bool IpTlsParseFingerprint(const std::string &Text, std::string &Hex)
{
    std::string Out;
    for (const char C : Text) {
        const unsigned char U = static_cast<unsigned char>(C);
        if (C == ':' || C == ' ' || C == '\t')
            continue;
        if (!std::isxdigit(U))
            return false;
        Out += static_cast<char>(std::toupper(U));
    }
    if (Out.size() != 64)
        return false;
    Hex = Out;
    return true;
}

std::string IpTlsShowFingerprint(const std::string &Hex)
{
    std::string Out;
    for (size_t I = 0; I < Hex.size(); I += 2) {
        if (I)
            Out += ':';
        Out += Hex.substr(I, 2);
    }
    return Out;
}

void TIpTls::DeferVerify()
{
    SSL_set_verify(FSsl, SSL_VERIFY_NONE, nullptr);
}

void TIpTls::RequirePeer(const std::string &Sha256Hex, const std::string &Refusal)
{
    // The fingerprint replaces the CA and the name: a pinned self-signed
    // certificate must not fail on its chain.
    SSL_set_verify(FSsl, SSL_VERIFY_NONE, nullptr);
    FRequiredPeer = Sha256Hex;
    FPeerRefusal = Refusal;
}

void TIpTls::CheckRequiredPeer()
{
    if (FRequiredPeer.empty())
        return;
    const std::string Got = PeerSha256();
    if (Got == FRequiredPeer)
        return;
    // Nothing of the application has gone out yet: failing here sends none.
    FState = tlsFailed;
    FError = FPeerRefusal + ": the server presented " +
             (Got.empty() ? std::string("no certificate") : "SHA-256 " + IpTlsShowFingerprint(Got)) +
             ", expected " + IpTlsShowFingerprint(FRequiredPeer);
}

std::string TIpTls::PeerSha256() const
{
    return Sha256Of(SSL_get0_peer_certificate(FSsl));
}

std::string TIpTls::VerifyFailure() const
{
    X509 *Cert = SSL_get0_peer_certificate(FSsl);
    if (!Cert)
        return "the server presented no certificate";
    const std::string NoName = "the certificate does not name " + FHostName;
    std::vector<std::string> Found;
    auto Add = [&](long Code) {
        const std::string Text = Code == X509_V_ERR_HOSTNAME_MISMATCH || Code == X509_V_ERR_IP_ADDRESS_MISMATCH
                                     ? NoName
                                     : std::string(X509_verify_cert_error_string(Code));
        if (std::find(Found.begin(), Found.end(), Text) == Found.end())
            Found.push_back(Text);
    };
    if (const long Code = SSL_get_verify_result(FSsl); Code != X509_V_OK)
        Add(Code);
    // The chain check stops at its first finding; a person deciding on the
    // certificate should hear about the dates and the name as well.
    if (X509_cmp_current_time(X509_get0_notAfter(Cert)) < 0)
        Add(X509_V_ERR_CERT_HAS_EXPIRED);
    if (X509_cmp_current_time(X509_get0_notBefore(Cert)) > 0)
        Add(X509_V_ERR_CERT_NOT_YET_VALID);
    if (!FHostName.empty()) {
        const unsigned Flags = X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT;
        const bool Named = IpTlsIsAddress(FHostName) ? X509_check_ip_asc(Cert, FHostName.c_str(), 0) == 1
                                                     : X509_check_host(Cert, FHostName.c_str(), 0, Flags, nullptr) == 1;
        if (!Named)
            Add(X509_V_ERR_HOSTNAME_MISMATCH);
    }
    std::string Out;
    for (const std::string &Text : Found)
        Out += (Out.empty() ? "" : "; ") + Text;
    return Out;
}

TIpTls::TCertificate TIpTls::PeerCertificate() const
{
    TCertificate C;
    X509 *Cert = SSL_get0_peer_certificate(FSsl);
    if (!Cert)
        return C;
    C.Subject = OneLineName(X509_get_subject_name(Cert));
    C.Issuer = OneLineName(X509_get_issuer_name(Cert));
    C.NotBefore = ShowTime(X509_get0_notBefore(Cert));
    C.NotAfter = ShowTime(X509_get0_notAfter(Cert));
    C.Sha256 = IpTlsShowFingerprint(Sha256Of(Cert));
    if (BIO *Bio = BIO_new(BIO_s_mem())) {
        PEM_write_bio_X509(Bio, Cert);
        C.Pem = FromBio(Bio);
    }
    return C;
}
