#pragma once
// Certificates for the window's TLS tests: the shared test set, a truly
// self-signed one made here, and their fingerprints as openssl reports them.
// The store takes a server's PEM file (key and certificate) as it is.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/CertificateStore.h"
#include "support/TestCerts.h"
#include "support/TestPaths.h"

inline std::string OpensslFingerprint(const std::string &PemFile)
{
    std::string Out;
    if (FILE *P = ::popen(("openssl x509 -noout -fingerprint -sha256 -in " + PemFile + " 2>/dev/null").c_str(), "r")) {
        char Buf[256];
        while (std::fgets(Buf, sizeof Buf, P))
            Out += Buf;
        ::pclose(P);
    }
    const size_t Eq = Out.find('=');
    return Eq == std::string::npos ? std::string() : NormalFingerprint(Out.substr(Eq + 1, Out.find('\n') - Eq - 1));
}

// A self-signed certificate for 127.0.0.1 with its key, made once.
inline const std::string &SelfSignedPem()
{
    static TTempDir Dir("tolvane-selfsigned");
    static const std::string Pem = [] {
        const std::string Key = Dir.File("k.pem"), Crt = Dir.File("c.pem"), Both = Dir.File("both.pem");
        const std::string Cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=127.0.0.1 -addext "
                                "subjectAltName=IP:127.0.0.1 -keyout " + Key + " -out " + Crt + " >/dev/null 2>&1";
        if (std::system(Cmd.c_str()) != 0 || !WriteFile(Both, ReadFile(Key) + ReadFile(Crt)))
            return std::string();
        return Both;
    }();
    return Pem;
}
