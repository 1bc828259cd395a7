#include "app/CertificateStore.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <cctype>
#include <cstdlib>
#include <map>

#include "app/HostSettings.h"

namespace {

const char *const FileName = "trusted-certificates.ini";
const char *const PemBegin = "-----BEGIN CERTIFICATE-----";
const char *const PemEnd = "-----END CERTIFICATE-----";

struct TEntry
{
    std::string Sha256;
    std::string Base64; // the certificate's DER bytes, on one line
};

std::string HexPairs(const QByteArray &Bytes)
{
    static const char Digits[] = "0123456789ABCDEF";
    std::string Text;
    for (int I = 0; I < Bytes.size(); ++I) {
        const auto B = static_cast<unsigned char>(Bytes[I]);
        if (I > 0)
            Text += ':';
        Text += Digits[B >> 4];
        Text += Digits[B & 15];
    }
    return Text;
}

// The DER bytes of a certificate in PEM form, as one line of base64; empty
// when Pem holds no certificate block or its body is no base64.
std::string PemBody(const std::string &Pem)
{
    const size_t Begin = Pem.find(PemBegin);
    const size_t End = Pem.find(PemEnd);
    if (Begin == std::string::npos || End == std::string::npos || End < Begin)
        return {};
    std::string Body;
    for (size_t I = Begin + std::char_traits<char>::length(PemBegin); I < End; ++I)
        if (!std::isspace(static_cast<unsigned char>(Pem[I])))
            Body += Pem[I];
    return Body;
}

// The fingerprint of the certificate whose DER bytes Base64 holds; empty
// when it is no valid base64.
std::string FingerprintOfBody(const std::string &Base64)
{
    const auto Decoded = QByteArray::fromBase64Encoding(QByteArray::fromStdString(Base64),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!Decoded || Decoded.decoded.isEmpty())
        return {};
    return HexPairs(QCryptographicHash::hash(Decoded.decoded, QCryptographicHash::Sha256));
}

std::string PemOfBody(const std::string &Base64)
{
    std::string Pem = std::string(PemBegin) + "\n";
    for (size_t I = 0; I < Base64.size(); I += 64)
        Pem += Base64.substr(I, 64) + "\n";
    return Pem + PemEnd + "\n";
}

bool ValidKey(const std::string &Key)
{
    const size_t Colon = Key.rfind(':');
    if (Colon == std::string::npos || Colon == 0 || Colon + 1 == Key.size())
        return false;
    for (size_t I = Colon + 1; I < Key.size(); ++I)
        if (!std::isdigit(static_cast<unsigned char>(Key[I])))
            return false;
    return true;
}

// The file's grammar: blank lines, "#" comments, "[host:port]" and below
// each its "Sha256=" and "Certificate=" lines, nothing else. Whatever does
// not fit is damage, named by its line.
bool Parse(const std::string &Text, std::map<std::string, TEntry> &Entries, std::string &Why)
{
    std::string Section;
    size_t Start = 0;
    int LineNo = 0;
    const auto Complete = [&](const std::string &Name) {
        if (Name.empty())
            return true;
        const TEntry &E = Entries[Name];
        if (E.Sha256.empty() || E.Base64.empty()) {
            Why = "the entry [" + Name + "] lacks its fingerprint or its certificate";
            return false;
        }
        if (FingerprintOfBody(E.Base64) != E.Sha256) {
            Why = "the certificate of [" + Name + "] does not have the fingerprint stored with it";
            return false;
        }
        return true;
    };
    while (Start < Text.size()) {
        size_t End = Text.find('\n', Start);
        if (End == std::string::npos)
            End = Text.size();
        std::string Line = Text.substr(Start, End - Start);
        Start = End + 1;
        ++LineNo;
        if (!Line.empty() && Line.back() == '\r')
            Line.pop_back();
        const std::string Where = "line " + std::to_string(LineNo);
        if (Line.empty() || Line[0] == '#')
            continue;
        if (Line.front() == '[' && Line.back() == ']') {
            if (!Complete(Section))
                return false;
            Section = Line.substr(1, Line.size() - 2);
            if (!ValidKey(Section) || Entries.count(Section)) {
                Why = Where + " names no host and port, or one named before";
                return false;
            }
            Entries[Section];
            continue;
        }
        const size_t Eq = Line.find('=');
        const std::string Key = Eq == std::string::npos ? std::string() : Line.substr(0, Eq);
        const std::string Value = Eq == std::string::npos ? std::string() : Line.substr(Eq + 1);
        if (Section.empty() || (Key != "Sha256" && Key != "Certificate")) {
            Why = Where + " is not part of a trusted certificate entry";
            return false;
        }
        TEntry &E = Entries[Section];
        std::string &Field = Key == "Sha256" ? E.Sha256 : E.Base64;
        if (!Field.empty() || Value.empty() || (Key == "Sha256" && NormalFingerprint(Value) != Value)) {
            Why = Where + " holds a repeated or malformed " + Key;
            return false;
        }
        Field = Value;
    }
    return Complete(Section);
}

} // namespace

std::string NormalFingerprint(const std::string &Text)
{
    std::string Hex;
    for (const char C : Text) {
        if (C == ':' || C == ' ' || C == '\t')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(C)))
            return {};
        Hex += static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    }
    if (Hex.size() != 64)
        return {};
    std::string Out;
    for (size_t I = 0; I < Hex.size(); I += 2)
        Out += (I ? ":" : "") + Hex.substr(I, 2);
    return Out;
}

std::string TrustKey(const std::string &Host, unsigned Port)
{
    std::string Name = Host;
    if (Name.size() >= 2 && Name.front() == '[' && Name.back() == ']')
        Name = Name.substr(1, Name.size() - 2);
    for (char &C : Name)
        C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    if (Name.find(':') != std::string::npos)
        Name = "[" + Name + "]";
    return Name + ":" + std::to_string(Port);
}

TCertificateStore::TCertificateStore(std::string Path) : FPath(std::move(Path)) {}

std::string TCertificateStore::PathFor(const std::string &XdgDataHome, const std::string &Home)
{
    std::string Base = XdgDataHome;
    // Relative values are invalid by the XDG rules and are ignored.
    if (Base.empty() || Base[0] != '/')
        Base = (Home.empty() ? std::string("/tmp") : Home) + "/.local/share";
    return Base + "/tolvane-ftp/" + FileName;
}

std::string TCertificateStore::DefaultPath()
{
    const char *Xdg = std::getenv("XDG_DATA_HOME");
    const char *Home = std::getenv("HOME");
    return PathFor(Xdg ? Xdg : "", Home ? Home : "");
}

bool TCertificateStore::Load(std::string &Text)
{
    FProblem.clear();
    Text.clear();
    std::string Why;
    if (!ReadPrivateFile(FPath, Text, &Why) && !Why.empty()) {
        FProblem = Why;
        return false;
    }
    return true;
}

std::optional<TTrustedCertificate> TCertificateStore::Find(const std::string &Host, unsigned Port)
{
    std::string Text, Why;
    std::map<std::string, TEntry> Entries;
    if (!Load(Text))
        return std::nullopt;
    if (!Parse(Text, Entries, Why)) {
        FProblem = FPath + " is damaged (" + Why + "); no certificate in it is trusted";
        return std::nullopt;
    }
    const auto It = Entries.find(TrustKey(Host, Port));
    if (It == Entries.end())
        return std::nullopt;
    return TTrustedCertificate{It->second.Sha256, PemOfBody(It->second.Base64)};
}

bool TCertificateStore::Trust(const std::string &Host, unsigned Port, const std::string &Sha256,
                              const std::string &Pem)
{
    std::string Text, Why;
    std::map<std::string, TEntry> Entries;
    if (!Load(Text))
        return false;
    if (!Parse(Text, Entries, Why)) {
        FProblem = FPath + " is damaged (" + Why + "); it was left as it is and nothing was added. "
                   "Move it away to trust certificates again";
        return false;
    }
    TEntry Entry{NormalFingerprint(Sha256), PemBody(Pem)};
    if (Entry.Sha256.empty() || FingerprintOfBody(Entry.Base64) != Entry.Sha256) {
        FProblem = "the certificate does not match its fingerprint; it was not stored";
        return false;
    }
    Entries[TrustKey(Host, Port)] = Entry;
    std::string Out = "# Server certificates trusted always by Tolvane FTP, one per host and port.\n";
    for (const auto &[Key, E] : Entries)
        Out += "\n[" + Key + "]\nSha256=" + E.Sha256 + "\nCertificate=" + E.Base64 + "\n";
    if (!ReplacePrivateFile(FPath, Out)) {
        FProblem = "Unable to write to " + FPath;
        return false;
    }
    return true;
}
