#pragma once
// Command line of tolvane-cli: what to connect to, how, and which single
// operation to run. Parsing never touches the network or the file system.

#include <cstdint>
#include <string>
#include <vector>

#include "base/IpInits.h"

enum TCliOperation : uint8_t {
    coNone, coList, coNameList, coGet, coPut, coDelete, coRename, coChmod, coQuote, coMakeDir, coRemoveDir
};

// FTP over TLS: off, when the server offers it (--ssl), required (--ssl-reqd),
// implicit from the first byte (--ftps). Given together, the later in this
// order wins.
enum TCliTls : uint8_t { ctNone, ctTry, ctRequired, ctImplicit };

enum TCliMode : uint8_t { cmAppend, cmReplace, cmUnique, cmRestart };

struct TCliOptions
{
    std::string Host;        // without the port
    uint16_t Port = 21;
    std::string User;        // empty: the client logs in on the greeting
    std::string Password;
    bool Passive = true;
    bool Ascii = false;      // file transfers in type A instead of I
    bool ForceList = false;  // ls with LIST even when MLSD is offered
    TCliMode Mode = cmReplace;
    bool ModeGiven = false;
    int64_t RestartAt = -1;  // -1: not given
    uint32_t TimeoutMs = 0;  // 0: none
    bool Recursive = false;  // get -r, put -r: a whole folder
    bool Verbose = false;
    bool Help = false;

    TCliTls Tls = ctNone;
    std::string CaCert;      // empty: the system trust store
    bool Insecure = false;   // no certificate verification
    std::string Fingerprint; // accept only this SHA-256 certificate (64 hex digits), no CA

    bool UseSocks = false;
    TIpSocksVersion SocksVersion = svSocks5;
    bool SocksRemoteLookup = false; // --socks5-hostname: the proxy looks the server's name up
    std::string SocksHost;
    uint16_t SocksPort = 1080;
    std::string SocksUser;
    std::string SocksPassword;

    TCliOperation Operation = coNone;
    std::vector<std::string> Args; // the operation's arguments, as given
};

// Parses argv (without argv[0]). EnvPassword is the value of
// TOLVANE_PASSWORD (null when unset); it is used when -u names no password.
// On a usage error returns false with a one-line reason in Error.
bool ParseCliArguments(const std::vector<std::string> &Argv, const char *EnvPassword, TCliOptions &Options,
                       std::string &Error);

// The text of --help.
std::string CliUsageText();

// "HOST[:PORT]" into its parts (port Default when none is given). False for
// an empty host or a port that is not a number in 1..65535.
bool SplitHostPort(const std::string &Text, uint16_t Default, std::string &Host, uint16_t &Port);
