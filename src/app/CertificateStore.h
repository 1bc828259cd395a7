#pragma once
// The server certificates the user trusts "always", one per host and port,
// in $XDG_DATA_HOME/tolvane-ftp/trusted-certificates.ini (default
// ~/.local/share/tolvane-ftp/). Each entry holds the certificate itself and
// its SHA-256 fingerprint; the file is readable by its owner only and
// replaced as a whole on every change. A file that does not read back as
// such entries is never overwritten: the user's trust decisions are not
// thrown away because the file was damaged.

#include <optional>
#include <string>

struct TTrustedCertificate
{
    std::string Sha256; // "AB:CD:...", 32 upper-case hex pairs
    std::string Pem;
};

// The fingerprint in its one written form ("AB:CD:..."): hex digits of
// any case, with or without colons and blanks. Empty unless it is exactly
// 32 bytes of hex.
std::string NormalFingerprint(const std::string &Text);

// The entry's name: "host:port" with the host in lower case, an IPv6
// address in brackets ("[::1]:990"), whether or not it came with them.
std::string TrustKey(const std::string &Host, unsigned Port);

class TCertificateStore
{
public:
    explicit TCertificateStore(std::string Path);

    // Where the program keeps it: the XDG rule for the given values, and
    // for this process's environment.
    static std::string PathFor(const std::string &XdgDataHome, const std::string &Home);
    static std::string DefaultPath();

    const std::string &Path() const { return FPath; }

    // The certificate trusted for host:port (read from the file now).
    // Nothing when there is none, or when the file is damaged: then
    // Problem() says what is wrong with it.
    std::optional<TTrustedCertificate> Find(const std::string &Host, unsigned Port);

    // Stores the certificate for host:port, replacing an older one. False,
    // with Problem() saying why, when the file cannot be written, when it is
    // damaged (it is left as it is), or when Pem's fingerprint is not Sha256.
    bool Trust(const std::string &Host, unsigned Port, const std::string &Sha256, const std::string &Pem);

    const std::string &Problem() const { return FProblem; }

private:
    // The file's text checked entry by entry; false (and FProblem) when it
    // is damaged. An absent file is an empty store.
    bool Load(std::string &Text);

    std::string FPath;
    std::string FProblem;
};
