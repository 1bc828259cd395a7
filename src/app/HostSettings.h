#pragma once
// The settings file "host.ini": the last connection's host, user name,
// password and default upload folder in section "TolvaneFtp". Other sections
// and keys of the file are kept when it is written.

#include <stdexcept>
#include <string>

struct THostSettings
{
    std::string Host;
    std::string Username;
    std::string Password;
    std::string Default;
    // Passive data connections; a file without the key means passive, which
    // is what works behind the routers most users sit behind.
    bool Passive = true;
    // "require", "auto", "implicit" or "plain" (absent: "auto"); what the
    // window makes of it is in Encryption.h.
    std::string Encryption = "auto";
    // Whether the password is kept at all; absent: on. PasswordInFile false
    // leaves it out of the file (it is kept in the keyring instead).
    bool RememberPassword = true;
    bool PasswordInFile = true;
};

// Raised when the settings cannot be written; the message is
// "Unable to write to <full path>".
class EHostSettingsError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Where "host.ini" lives: beside the executable when that folder is
// writable, otherwise $XDG_CONFIG_HOME/tolvane-ftp/ (default
// ~/.config/tolvane-ftp/), which is what an installed program uses.
std::string HostIniPath();
// The same rule for a given executable folder and environment values.
std::string HostIniPathFor(const std::string &ExeDir, const std::string &XdgConfigHome,
                           const std::string &Home);

// Reads the keys; an absent file, section or key reads as empty (Passive as
// on). Something that is not a settings file (not a regular file, such as a
// FIFO, which is never opened for a blocking read, or over 1 MiB) reads as
// empty and *Problem says why; an absent file is no problem.
THostSettings ReadHostSettings(const std::string &Path, std::string *Problem = nullptr);

// A value as it goes into the file: one with blanks at either end, or one
// that is quoted already, is put in double quotes, because the file's reader
// trims values; UnquoteValue undoes it, and leaves every other value alone.
std::string QuoteValue(const std::string &Value);
std::string UnquoteValue(const std::string &Value);

// Writes the keys in the order Host, Username, Password, Default, Passive,
// Encryption, RememberPassword (Password only when PasswordInFile). The
// file is replaced as a whole and readable by its owner only (it holds a
// password); a missing configuration folder is created. Throws
// EHostSettingsError when the file cannot be written, and when the path
// holds something that is not a settings file (it is never replaced).
void WriteHostSettings(const std::string &Path, const THostSettings &Settings);

// One on/off key of the section besides the four ("ShowHidden=0|1"): read
// as Default when the file or the key is absent or the value is neither 0
// nor 1; written like the four keys (the rest of the file kept, readable by
// its owner only). Throws EHostSettingsError when it cannot be written.
bool ReadHostFlag(const std::string &Path, const char *Key, bool Default);
void WriteHostFlag(const std::string &Path, const char *Key, bool Value);

// The program's small private files (host.ini, the trusted certificates).
// ReadPrivateFile: false for an absent file, and for one that cannot be
// read or is no such file (not a regular file, over 1 MiB), which *Problem
// then names. ReplacePrivateFile: the file replaced as a whole (written
// beside it, then renamed over it), readable by its owner only, missing
// folders created; false when that failed, and the old file is untouched.
bool ReadPrivateFile(const std::string &Path, std::string &Text, std::string *Problem = nullptr);
bool ReplacePrivateFile(const std::string &Path, const std::string &Data);
