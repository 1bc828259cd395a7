#pragma once
// Certificates for TLS tests, made once per test process with the openssl
// command: a test CA, server certificates signed by it (for localhost and
// 127.0.0.1, an expired one, one for another name) and a second CA that
// signed nothing. Server PEM files hold the key and the certificate, the
// form vsftpd and pyftpdlib take.

#include <string>

struct TTestCerts
{
    std::string CaFile;       // the test CA's certificate
    std::string OtherCaFile;  // a CA that signed none of the servers' certificates
    std::string ServerPem;    // localhost + 127.0.0.1 + ::1, valid
    std::string ExpiredPem;   // localhost + 127.0.0.1, expired in 2021
    std::string WrongNamePem; // only "other.invalid"
    std::string CnOnlyPem;    // CN=localhost and no subjectAltName
    std::string PartialWildcardPem; // only "f*.test.lan"
    std::string OtherServerPem; // like ServerPem, signed by the test CA too, but another certificate
    std::string SelfSignedPem;  // localhost + 127.0.0.1, signed by its own key
    std::string Error;        // why making them failed (then the paths are empty)

    // Made on first use; lives until the process ends.
    static const TTestCerts &Get();
    static bool Available(); // the openssl command exists
    static std::string Sha256(const std::string &Pem); // "AB:CD:...", computed by the openssl command
};
