#include "support/TestCerts.h"

#include "support/TestPaths.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

bool Run(const std::string &Cmd, std::string &Error)
{
    if (std::system((Cmd + " >/dev/null 2>&1").c_str()) == 0)
        return true;
    Error = "failed: " + Cmd;
    return false;
}

TTestCerts Make()
{
    TTestCerts C;
    static std::unique_ptr<TTempDir> Dir = std::make_unique<TTempDir>("tolvane-certs");
    const std::string D = Dir->Path();
    const std::string Conf = D + "/ca.cnf";
    // "openssl ca" can back-date a certificate, which "openssl x509" of
    // OpenSSL 3.0 cannot: the expired certificate needs it.
    WriteFile(Conf, "[ca]\ndefault_ca = test\n[test]\ndatabase = " + D + "/index.txt\nnew_certs_dir = " + D +
                        "\nserial = " + D + "/serial\ndefault_md = sha256\npolicy = any\ncopy_extensions = copy\n"
                        "unique_subject = no\n[any]\ncommonName = supplied\n");
    WriteFile(D + "/index.txt", "");
    WriteFile(D + "/serial", "1000\n");
    const std::string O = "openssl ";
    auto MakeCa = [&](const std::string &Name) {
        return Run(O + "req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=Tolvane-" + Name + " -keyout " + D +
                       "/" + Name + ".key -out " + D + "/" + Name + ".pem -addext basicConstraints=critical,CA:TRUE",
                   C.Error);
    };
    auto Sign = [&](const std::string &Name, const std::string &San, const std::string &Dates,
                    const std::string &Cn = std::string()) {
        const std::string Csr = D + "/" + Name + ".csr", Crt = D + "/" + Name + ".crt";
        return Run(O + "req -new -key " + D + "/server.key -subj /CN=" + (Cn.empty() ? Name : Cn) +
                       (San.empty() ? "" : " -addext subjectAltName=" + San) + " -out " + Csr,
                   C.Error) &&
               Run(O + "ca -batch -notext -config " + Conf + " -cert " + D + "/ca.pem -keyfile " + D + "/ca.key -in " +
                       Csr + " -out " + Crt + " " + Dates,
                   C.Error) &&
               WriteFile(D + "/" + Name + ".full.pem", ReadFile(D + "/server.key") + ReadFile(Crt));
    };
    const bool Ok = MakeCa("ca") && MakeCa("other") &&
                    Run(O + "genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + D + "/server.key", C.Error) &&
                    Sign("localhost", "DNS:localhost,IP:127.0.0.1,IP:::1", "-days 365") &&
                    Sign("expired", "DNS:localhost,IP:127.0.0.1", "-startdate 20200101000000Z -enddate 20210101000000Z") &&
                    Sign("wrongname", "DNS:other.invalid", "-days 365") &&
                    Sign("cnonly", "", "-days 365", "localhost") && Sign("partial", "DNS:f*.test.lan", "-days 365") &&
                    Sign("second", "DNS:localhost,IP:127.0.0.1", "-days 365", "localhost") &&
                    Run(O + "req -x509 -key " + D + "/server.key -days 365 -subj /O=Tolvane/CN=localhost"
                            " -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -out " + D + "/self.crt",
                        C.Error) &&
                    WriteFile(D + "/self.full.pem", ReadFile(D + "/server.key") + ReadFile(D + "/self.crt"));
    if (!Ok)
        return C;
    C.CaFile = D + "/ca.pem";
    C.OtherCaFile = D + "/other.pem";
    C.ServerPem = D + "/localhost.full.pem";
    C.ExpiredPem = D + "/expired.full.pem";
    C.WrongNamePem = D + "/wrongname.full.pem";
    C.CnOnlyPem = D + "/cnonly.full.pem";
    C.PartialWildcardPem = D + "/partial.full.pem";
    C.OtherServerPem = D + "/second.full.pem";
    C.SelfSignedPem = D + "/self.full.pem";
    return C;
}

} // namespace

const TTestCerts &TTestCerts::Get()
{
    static const TTestCerts Certs = Make();
    return Certs;
}

std::string TTestCerts::Sha256(const std::string &Pem)
{
    // "sha256 Fingerprint=AB:CD:..."
    FILE *P = ::popen(("openssl x509 -noout -fingerprint -sha256 -in " + Pem).c_str(), "r");
    char Buf[256] = {};
    const std::string Out = P && std::fgets(Buf, sizeof Buf, P) ? Buf : "";
    if (P)
        ::pclose(P);
    return Out.substr(Out.find('=') + 1, 95);
}

bool TTestCerts::Available()
{
    return ::access("/usr/bin/openssl", X_OK) == 0;
}
