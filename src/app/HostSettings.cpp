#include "app/HostSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Values are kept as the bytes the file holds (UTF-8 in practice).
#define SI_NO_CONVERSION
#include <SimpleIni.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *const Section = "TolvaneFtp";
const char *const Keys[] = {"Host", "Username", "Password", "Default", "Passive", "Encryption", "RememberPassword"};
constexpr int KeyCount = 7;

// A settings file is a few hundred bytes; anything far beyond that is not
// ours to interpret, and reading it whole must not cost the program its memory.
constexpr off_t MaxReadSize = 1024 * 1024;

enum TLoad { ldOk, ldAbsent, ldUnreadable, ldRefused };

// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer,
// and the program would never start.
TLoad LoadWhole(const std::string &Path, std::string &Text, off_t Limit, std::string *Problem)
{
    const int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (Fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return ldAbsent;
        if (Problem)
            *Problem = Path + " cannot be read: " + std::strerror(errno);
        return ldUnreadable;
    }
    struct stat St = {};
    if (::fstat(Fd, &St) != 0 || !S_ISREG(St.st_mode) || St.st_size > Limit) {
        ::close(Fd);
        if (Problem)
            *Problem = Path + (S_ISREG(St.st_mode) ? " is larger than 1 MiB" : " is not a regular file") +
                       "; it is not a settings file and was not read";
        return ldRefused;
    }
    Text.clear();
    char Buffer[16384];
    for (;;) {
        const ssize_t N = ::read(Fd, Buffer, sizeof Buffer);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            break;
        Text.append(Buffer, static_cast<size_t>(N));
        if (static_cast<off_t>(Text.size()) > Limit)
            break;
    }
    ::close(Fd);
    if (static_cast<off_t>(Text.size()) > Limit) {
        if (Problem)
            *Problem = Path + " is larger than 1 MiB; it is not a settings file and was not read";
        return ldRefused;
    }
    return ldOk;
}

std::string ParentOf(const std::string &Path)
{
    const size_t Slash = Path.find_last_of('/');
    if (Slash == std::string::npos)
        return ".";
    return Slash == 0 ? "/" : Path.substr(0, Slash);
}

std::string ExecutableDir()
{
    char Buffer[4096];
    const ssize_t N = ::readlink("/proc/self/exe", Buffer, sizeof Buffer - 1);
    if (N <= 0)
        return std::string();
    return ParentOf(std::string(Buffer, static_cast<size_t>(N)));
}

bool DirectoryWritable(const std::string &Dir)
{
    return !Dir.empty() && ::access(Dir.c_str(), W_OK | X_OK) == 0;
}

bool MakeDirs(const std::string &Dir)
{
    struct stat St;
    if (::stat(Dir.c_str(), &St) == 0)
        return S_ISDIR(St.st_mode);
    const std::string Parent = ParentOf(Dir);
    if (Parent != Dir && !MakeDirs(Parent))
        return false;
    return ::mkdir(Dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// Values go on one line of the file: a line break inside one would start a
// new key.
std::string OneLine(const std::string &Value)
{
    std::string Out = Value;
    for (char &C : Out)
        if (C == '\r' || C == '\n')
            C = ' ';
    return Out;
}

bool WriteAll(int Fd, const std::string &Data)
{
    size_t Done = 0;
    while (Done < Data.size()) {
        const ssize_t N = ::write(Fd, Data.data() + Done, Data.size() - Done);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            return false;
        Done += static_cast<size_t>(N);
    }
    return true;
}

} // namespace

std::string HostIniPathFor(const std::string &ExeDir, const std::string &XdgConfigHome,
                           const std::string &Home)
{
    if (DirectoryWritable(ExeDir))
        return ExeDir + "/host.ini";
    std::string Base = XdgConfigHome;
    // Relative values are invalid by the XDG rules and are ignored.
    if (Base.empty() || Base[0] != '/')
        Base = (Home.empty() ? std::string("/tmp") : Home) + "/.config";
    return Base + "/tolvane-ftp/host.ini";
}

std::string HostIniPath()
{
    const char *Xdg = std::getenv("XDG_CONFIG_HOME");
    const char *Home = std::getenv("HOME");
    return HostIniPathFor(ExecutableDir(), Xdg ? Xdg : "", Home ? Home : "");
}

bool ReadPrivateFile(const std::string &Path, std::string &Text, std::string *Problem)
{
    return LoadWhole(Path, Text, MaxReadSize, Problem) == ldOk;
}

// Written beside the target and renamed over it, so a failed write never
// leaves half a file.
bool ReplacePrivateFile(const std::string &Path, const std::string &Data)
{
    if (!MakeDirs(ParentOf(Path)))
        return false;
    const std::string Temp = Path + ".new";
    ::unlink(Temp.c_str());
    const int Fd = ::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (Fd < 0)
        return false;
    const bool Written = WriteAll(Fd, Data) && ::fchmod(Fd, 0600) == 0 && ::fsync(Fd) == 0;
    if (::close(Fd) != 0 || !Written || ::rename(Temp.c_str(), Path.c_str()) != 0) {
        ::unlink(Temp.c_str());
        return false;
    }
    return true;
}

std::string QuoteValue(const std::string &Value)
{
    const auto Blank = [](char C) { return C == ' ' || C == '\t'; };
    const bool Quoted = Value.size() >= 2 && Value.front() == '"' && Value.back() == '"';
    if (Value.empty() || (!Blank(Value.front()) && !Blank(Value.back()) && !Quoted))
        return Value;
    return '"' + Value + '"';
}

std::string UnquoteValue(const std::string &Value)
{
    if (Value.size() >= 2 && Value.front() == '"' && Value.back() == '"')
        return Value.substr(1, Value.size() - 2);
    return Value;
}

THostSettings ReadHostSettings(const std::string &Path, std::string *Problem)
{
    THostSettings Result;
    std::string Text;
    if (LoadWhole(Path, Text, MaxReadSize, Problem) != ldOk)
        return Result;
    CSimpleIniA Ini;
    if (Ini.LoadData(Text.data(), Text.size()) < 0)
        return Result;
    std::string *Fields[] = {&Result.Host, &Result.Username, &Result.Password, &Result.Default};
    for (int I = 0; I < 4; ++I)
        *Fields[I] = UnquoteValue(Ini.GetValue(Section, Keys[I], ""));
    Result.Passive = std::string(Ini.GetValue(Section, "Passive", "1")) != "0";
    Result.Encryption = Ini.GetValue(Section, "Encryption", "auto");
    Result.RememberPassword = std::string(Ini.GetValue(Section, "RememberPassword", "1")) != "0";
    return Result;
}

namespace {

// Whatever else the file holds is kept, but only a file that parses: an
// unreadable one is replaced by our keys. Something that is no settings
// file at all is left alone.
void LoadForUpdate(const std::string &Path, CSimpleIniA &Ini, const EHostSettingsError &Failure)
{
    Ini.SetSpaces(false); // "key=value", as the format has always been
    std::string Existing;
    const TLoad Loaded = LoadWhole(Path, Existing, MaxReadSize, nullptr);
    if (Loaded == ldRefused)
        throw Failure;
    if (Loaded == ldOk && Ini.LoadData(Existing.data(), Existing.size()) < 0)
        Ini.Reset();
}

void SaveReplacing(const std::string &Path, const CSimpleIniA &Ini, const EHostSettingsError &Failure)
{
    std::string Data;
    if (Ini.Save(Data) < 0 || !ReplacePrivateFile(Path, Data))
        throw Failure;
}

} // namespace

void WriteHostSettings(const std::string &Path, const THostSettings &Settings)
{
    const EHostSettingsError Failure("Unable to write to " + Path);
    CSimpleIniA Ini;
    LoadForUpdate(Path, Ini, Failure);
    // Removed first, so that they come back in their order after the
    // section's other keys.
    for (const char *Key : Keys)
        Ini.Delete(Section, Key);
    const std::string Passive = Settings.Passive ? "1" : "0";
    const std::string Remember = Settings.RememberPassword ? "1" : "0";
    const std::string *Fields[] = {&Settings.Host, &Settings.Username, &Settings.Password, &Settings.Default,
                                   &Passive, &Settings.Encryption, &Remember};
    for (int I = 0; I < KeyCount; ++I)
        if ((I != 2 || Settings.PasswordInFile) &&
            Ini.SetValue(Section, Keys[I], QuoteValue(OneLine(*Fields[I])).c_str()) < 0)
            throw Failure;
    SaveReplacing(Path, Ini, Failure);
}

bool ReadHostFlag(const std::string &Path, const char *Key, bool Default)
{
    std::string Text;
    CSimpleIniA Ini;
    if (LoadWhole(Path, Text, MaxReadSize, nullptr) != ldOk || Ini.LoadData(Text.data(), Text.size()) < 0)
        return Default;
    const std::string Value = Ini.GetValue(Section, Key, "");
    return Value == "1" ? true : Value == "0" ? false : Default;
}

void WriteHostFlag(const std::string &Path, const char *Key, bool Value)
{
    const EHostSettingsError Failure("Unable to write to " + Path);
    CSimpleIniA Ini;
    LoadForUpdate(Path, Ini, Failure);
    if (Ini.SetValue(Section, Key, Value ? "1" : "0") < 0)
        throw Failure;
    SaveReplacing(Path, Ini, Failure);
}
