#include "tools/cli_options.h"

#include "base/IpAddress.h"

#include "socket/IpTls.h"

#include <algorithm>
#include <cstddef>
#include <limits>

namespace {

struct TOperationName
{
    const char *Name;
    TCliOperation Op;
    size_t MinArgs;
    size_t MaxArgs; // SIZE_MAX: any number (joined by blanks)
    const char *Synopsis;
};

const TOperationName Operations[] = {
    {"ls", coList, 0, 1, "ls [DIR]"},
    {"nlst", coNameList, 0, 1, "nlst [DIR]"},
    {"get", coGet, 1, 2, "get REMOTE [LOCAL]"},
    {"put", coPut, 1, 2, "put LOCAL [REMOTE]"},
    {"rm", coDelete, 1, 1, "rm NAME"},
    {"mv", coRename, 2, 2, "mv OLD NEW"},
    {"chmod", coChmod, 2, 2, "chmod MODE NAME"},
    {"quote", coQuote, 1, SIZE_MAX, "quote LINE"},
    {"mkdir", coMakeDir, 1, 1, "mkdir DIR"},
    {"rmdir", coRemoveDir, 1, 1, "rmdir DIR"},
};

bool AllDigits(const std::string &S)
{
    return !S.empty() && std::all_of(S.begin(), S.end(), [](char C) { return C >= '0' && C <= '9'; });
}

// A decimal number no larger than Max; false for anything else.
bool ParseUnsigned(const std::string &S, uint64_t Max, uint64_t &Value)
{
    if (!AllDigits(S) || S.size() > 20)
        return false;
    uint64_t V = 0;
    for (char C : S) {
        const uint64_t D = static_cast<uint64_t>(C - '0');
        if (V > (Max - D) / 10)
            return false;
        V = V * 10 + D;
    }
    Value = V;
    return true;
}

// Line ends inside a name or a command would let one argument smuggle a
// second command onto the control connection.
bool HasLineBreak(const std::string &S)
{
    return S.find_first_of("\r\n") != std::string::npos;
}

} // namespace

bool SplitHostPort(const std::string &Text, uint16_t Default, std::string &Host, uint16_t &Port)
{
    std::string Digits;
    Port = Default;
    if (!IpSplitHostPort(Text, Host, Digits))
        return false;
    if (!Digits.empty()) {
        uint64_t V = 0;
        if (!ParseUnsigned(Digits, 65535, V) || V == 0)
            return false;
        Port = static_cast<uint16_t>(V);
    }
    return true;
}

bool ParseCliArguments(const std::vector<std::string> &Argv, const char *EnvPassword, TCliOptions &O,
                       std::string &Error)
{
    std::vector<std::string> Positional;
    bool UserGiven = false;
    bool PasswordGiven = false;
    bool ProxyUserGiven = false;
    int ProxyCount = 0;
    bool OptionsEnded = false;

    for (size_t I = 0; I < Argv.size(); ++I) {
        const std::string &A = Argv[I];
        if (OptionsEnded || A.size() < 2 || A[0] != '-') {
            Positional.push_back(A);
            continue;
        }
        if (A == "--") {
            OptionsEnded = true;
            continue;
        }
        // Name and value of an option; "--name=value", "-uvalue" and
        // "--name value" are all accepted.
        std::string Name = A;
        std::string Value;
        bool HasInlineValue = false;
        if (A.compare(0, 2, "--") == 0) {
            const size_t Eq = A.find('=');
            if (Eq != std::string::npos) {
                Name = A.substr(0, Eq);
                Value = A.substr(Eq + 1);
                HasInlineValue = true;
            }
        } else if (A.size() > 2) {
            Name = A.substr(0, 2);
            Value = A.substr(2);
            HasInlineValue = true;
        }
        auto TakeValue = [&](std::string &Out) -> bool {
            if (HasInlineValue) {
                Out = Value;
                return true;
            }
            if (I + 1 >= Argv.size()) {
                Error = "option '" + Name + "' needs a value";
                return false;
            }
            Out = Argv[++I];
            return true;
        };
        auto NoValue = [&]() -> bool {
            if (HasInlineValue) {
                Error = "option '" + Name + "' takes no value";
                return false;
            }
            return true;
        };

        if (Name == "-h" || Name == "--help") {
            if (!NoValue())
                return false;
            O.Help = true;
        } else if (Name == "-v" || Name == "--verbose") {
            if (!NoValue())
                return false;
            O.Verbose = true;
        } else if (Name == "-r" || Name == "--recursive") {
            if (!NoValue())
                return false;
            O.Recursive = true;
        } else if (Name == "--passive") {
            if (!NoValue())
                return false;
            O.Passive = true;
        } else if (Name == "--active") {
            if (!NoValue())
                return false;
            O.Passive = false;
        } else if (Name == "--ascii") {
            if (!NoValue())
                return false;
            O.Ascii = true;
        } else if (Name == "--list") {
            if (!NoValue())
                return false;
            O.ForceList = true;
        } else if (Name == "-u" || Name == "--user") {
            std::string V;
            if (!TakeValue(V))
                return false;
            const size_t Colon = V.find(':');
            O.User = V.substr(0, Colon);
            UserGiven = true;
            PasswordGiven = Colon != std::string::npos;
            O.Password = PasswordGiven ? V.substr(Colon + 1) : std::string();
        } else if (Name == "--mode") {
            std::string V;
            if (!TakeValue(V))
                return false;
            if (V == "append")
                O.Mode = cmAppend;
            else if (V == "replace")
                O.Mode = cmReplace;
            else if (V == "unique")
                O.Mode = cmUnique;
            else if (V == "restart")
                O.Mode = cmRestart;
            else {
                Error = "unknown mode '" + V + "' (expected append, replace, unique or restart)";
                return false;
            }
            O.ModeGiven = true;
        } else if (Name == "--restart-at") {
            std::string V;
            uint64_t N = 0;
            if (!TakeValue(V))
                return false;
            if (!ParseUnsigned(V, static_cast<uint64_t>(std::numeric_limits<int64_t>::max()), N)) {
                Error = "--restart-at needs a byte offset (a number of 0 or more), not '" + V + "'";
                return false;
            }
            O.RestartAt = static_cast<int64_t>(N);
        } else if (Name == "--timeout") {
            std::string V;
            uint64_t N = 0;
            if (!TakeValue(V))
                return false;
            if (!ParseUnsigned(V, std::numeric_limits<uint32_t>::max(), N)) {
                Error = "--timeout needs milliseconds (0 to 4294967295), not '" + V + "'";
                return false;
            }
            O.TimeoutMs = static_cast<uint32_t>(N);
        } else if (Name == "--socks4" || Name == "--socks4a" || Name == "--socks5" || Name == "--socks5-hostname") {
            std::string V;
            if (!TakeValue(V))
                return false;
            if (!SplitHostPort(V, 1080, O.SocksHost, O.SocksPort)) {
                Error = "bad proxy address '" + V + "' (expected HOST, HOST:PORT, [IPV6] or [IPV6]:PORT)";
                return false;
            }
            O.SocksVersion = Name == "--socks4" ? svSocks4 : Name == "--socks4a" ? svSocks4a : svSocks5;
            O.SocksRemoteLookup = Name == "--socks5-hostname";
            O.UseSocks = true;
            ++ProxyCount;
        } else if (Name == "--ssl" || Name == "--ssl-reqd" || Name == "--ftps") {
            if (!NoValue())
                return false;
            // The stricter wins, whatever the order.
            O.Tls = std::max(O.Tls, Name == "--ssl" ? ctTry : Name == "--ssl-reqd" ? ctRequired : ctImplicit);
        } else if (Name == "--fingerprint") {
            std::string V;
            if (!TakeValue(V))
                return false;
            if (!IpTlsParseFingerprint(V, O.Fingerprint)) {
                Error = "--fingerprint needs a SHA-256 fingerprint (64 hex digits, colons optional), not '" + V + "'";
                return false;
            }
        } else if (Name == "--cacert") {
            if (!TakeValue(O.CaCert))
                return false;
            if (O.CaCert.empty()) {
                Error = "--cacert needs a file name";
                return false;
            }
        } else if (Name == "-k" || Name == "--insecure") {
            if (!NoValue())
                return false;
            O.Insecure = true;
        } else if (Name == "--proxy-user") {
            std::string V;
            if (!TakeValue(V))
                return false;
            const size_t Colon = V.find(':');
            O.SocksUser = V.substr(0, Colon);
            O.SocksPassword = Colon == std::string::npos ? std::string() : V.substr(Colon + 1);
            ProxyUserGiven = true;
        } else {
            Error = "unknown option '" + Name + "'";
            return false;
        }
    }

    if (O.Help)
        return true;

    if (ProxyCount > 1) {
        Error = "give only one of --socks4, --socks4a, --socks5 and --socks5-hostname";
        return false;
    }
    if ((!O.CaCert.empty() || O.Insecure || !O.Fingerprint.empty()) && O.Tls == ctNone) {
        Error = "--cacert, --insecure and --fingerprint need --ssl, --ssl-reqd or --ftps";
        return false;
    }
    if (ProxyUserGiven && !O.UseSocks) {
        Error = "--proxy-user needs --socks4, --socks4a, --socks5 or --socks5-hostname";
        return false;
    }
    // The proxy protocols carry one length byte for each.
    if (O.SocksUser.size() > 255 || O.SocksPassword.size() > 255) {
        Error = "proxy user name and password are limited to 255 bytes each";
        return false;
    }
    if (UserGiven && !PasswordGiven && EnvPassword)
        O.Password = EnvPassword;

    if (Positional.size() < 2) {
        Error = Positional.empty() ? "no host given" : "no operation given";
        return false;
    }
    if (!SplitHostPort(Positional[0], O.Tls == ctImplicit ? 990 : 21, O.Host, O.Port)) {
        Error = "bad host '" + Positional[0] + "' (expected HOST, HOST:PORT, [IPV6] or [IPV6]:PORT)";
        return false;
    }

    const std::string &OpName = Positional[1];
    const TOperationName *Op = nullptr;
    for (const auto &Candidate : Operations)
        if (OpName == Candidate.Name)
            Op = &Candidate;
    if (!Op) {
        Error = "unknown operation '" + OpName + "' (expected ls, nlst, get, put, rm, mv, chmod, quote, mkdir or rmdir)";
        return false;
    }
    O.Operation = Op->Op;
    O.Args.assign(Positional.begin() + 2, Positional.end());
    if (O.Args.size() < Op->MinArgs || O.Args.size() > Op->MaxArgs) {
        Error = std::string("wrong number of arguments; usage: ") + Op->Synopsis;
        return false;
    }
    if (O.Operation == coQuote && O.Args.size() > 1) {
        std::string Line;
        for (const auto &Part : O.Args)
            Line += (Line.empty() ? "" : " ") + Part;
        O.Args.assign(1, Line);
    }

    for (const auto &Arg : O.Args) {
        if (Arg.empty()) {
            Error = "empty argument for '" + OpName + "'";
            return false;
        }
    }
    // Local file names may hold anything the file system allows; everything
    // that travels on the control connection may not break a line.
    for (size_t I = 0; I < O.Args.size(); ++I) {
        const bool Local = (O.Operation == coGet && I == 1) || (O.Operation == coPut && I == 0);
        if (!Local && HasLineBreak(O.Args[I])) {
            Error = "arguments sent to the server must not contain CR or LF";
            return false;
        }
    }
    if (HasLineBreak(O.User) || HasLineBreak(O.Password)) {
        Error = "user name and password must not contain CR or LF";
        return false;
    }

    if (O.Operation == coChmod) {
        const std::string &Mode = O.Args[0];
        const bool Octal = Mode.size() <= 4 &&
                           std::all_of(Mode.begin(), Mode.end(), [](char C) { return C >= '0' && C <= '7'; });
        if (!Octal) {
            Error = "chmod needs an octal mode of 1 to 4 digits, not '" + Mode + "'";
            return false;
        }
    }

    if (O.RestartAt >= 0) {
        if (O.ModeGiven && O.Mode != cmRestart) {
            Error = "--restart-at goes with --mode restart";
            return false;
        }
        O.Mode = cmRestart;
    }
    if (O.Operation == coGet && O.Mode == cmUnique) {
        Error = "--mode unique applies to put only";
        return false;
    }
    // Where an upload resumes is a property of the remote file, which this
    // tool does not ask for: the offset must be given.
    if (O.Operation == coPut && O.Mode == cmRestart && O.RestartAt < 0 && !O.Recursive) {
        Error = "put with --mode restart needs --restart-at N";
        return false;
    }
    if (O.Recursive) {
        if (O.Operation != coGet && O.Operation != coPut) {
            Error = "-r goes with get and put only";
            return false;
        }
        // Each file resumes where it stands; one offset cannot fit them all.
        if (O.RestartAt >= 0) {
            Error = "--restart-at does not go with -r (--mode restart resumes each file)";
            return false;
        }
        return true;
    }
    if (O.Operation == coGet && O.Args[0].back() == '/' && O.Args.size() == 1) {
        Error = "get needs a file name, not a folder: '" + O.Args[0] + "'";
        return false;
    }
    return true;
}

std::string CliUsageText()
{
    return "Usage: tolvane-cli [OPTIONS] HOST[:PORT] OPERATION [ARGS]\n"
           "\n"
           "Runs one FTP operation against HOST (port 21, with --ftps 990, unless given)\nand exits.\n"
           "\n"
           "Operations:\n"
           "  ls [DIR]             parsed listing: kind, permissions, size, time stamp, name\n"
           "  nlst [DIR]           names only, as the server sends them\n"
           "  get REMOTE [LOCAL]   download (LOCAL: a file or folder; default the remote name)\n"
           "  put LOCAL [REMOTE]   upload (REMOTE default: the local file's name)\n"
           "  get -r REMOTEDIR [LOCALDIR]  download a folder tree into LOCALDIR (default\n"
           "                       the remote folder's name; created when missing)\n"
           "  put -r LOCALDIR [REMOTEDIR]  upload a folder tree into REMOTEDIR (default\n"
           "                       the local folder's name; created when missing)\n"
           "  rm NAME              delete a remote file\n"
           "  mv OLD NEW           rename a remote file\n"
           "  chmod MODE NAME      change permissions (sends SITE CHMOD MODE NAME)\n"
           "  quote LINE           send LINE as it is and print the reply\n"
           "  mkdir DIR            create a remote folder\n"
           "  rmdir DIR            remove an empty remote folder\n"
           "\n"
           "Options:\n"
           "  -u, --user USER[:PASSWORD]  log in as USER; without PASSWORD the password\n"
           "                              comes from $TOLVANE_PASSWORD (no user: empty name)\n"
           "  -r, --recursive             get/put: a folder and everything in it; files\n"
           "                              that failed are listed at the end (exit 1)\n"
           "      --passive               passive data connections (default)\n"
           "      --active                active data connections (PORT)\n"
           "      --ascii                 transfer files in ASCII type (default binary)\n"
           "      --list                  ls: list with LIST even when the server offers MLSD\n"
           "      --mode MODE             get/put: append, replace (default), unique (put\n"
           "                              only) or restart\n"
           "      --restart-at N          restart offset in bytes (implies --mode restart;\n"
           "                              get without it resumes at the local file's end)\n"
           "      --timeout MS            give up when no data moves for MS milliseconds\n"
           "                              (also while waiting for a reply; 0: never)\n"
           "      --socks4 HOST[:PORT]    connect through a SOCKS 4 proxy (port 1080)\n"
           "      --socks4a HOST[:PORT]   connect through a SOCKS 4A proxy\n"
           "      --socks5 HOST[:PORT]    connect through a SOCKS 5 proxy\n"
           "      --socks5-hostname HOST[:PORT]  the same, the proxy looking up the server's name\n"
           "      --proxy-user USER:PASSWORD  proxy credentials (SOCKS 4: user code only)\n"
           "      --ssl                   FTP over TLS (AUTH TLS) when the server offers it\n"
           "      --ssl-reqd              FTP over TLS, or no login at all\n"
           "      --ftps                  implicit FTP over TLS: TLS from the first byte\n"
           "                              (port 990 unless given)\n"
           "      --fingerprint SHA256    accept exactly the certificate with this SHA-256\n"
           "                              fingerprint (hex, colons optional), without a CA\n"
           "      --cacert FILE           trust the CA certificates in FILE (PEM) instead of\n"
           "                              the system's\n"
           "  -k, --insecure              do not verify the server's certificate\n"
           "  -v, --verbose               show every command and reply on standard error\n"
           "                              (the password masked)\n"
           "  -h, --help                  show this text\n"
           "\n"
           "Exit status: 0 success; 1 the server refused (its reply is shown); 2 usage\n"
           "error; 3 connection, proxy or TLS failure; 4 time-out; 5 local file error;\n"
           "128+N stopped by signal N (an unfinished download is removed).\n";
}
