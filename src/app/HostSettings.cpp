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

namespace {

const char *const Section = "TolvaneFtp";
const char *const Keys[] = {"Host", "Username", "Password", "Default"};

// A settings file is a few hundred bytes; anything far beyond that is not
// ours to interpret, and reading it whole must not cost the program its memory.
constexpr off_t MaxReadSize = 1024 * 1024;

bool LoadWhole(const std::string &Path, std::string &Text, off_t Limit)
{
    const int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Fd < 0)
        return false;
    struct stat St;
    if (::fstat(Fd, &St) != 0 || !S_ISREG(St.st_mode) || (Limit > 0 && St.st_size > Limit)) {
        ::close(Fd);
        return false;
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
        if (Limit > 0 && static_cast<off_t>(Text.size()) > Limit)
            break;
    }
    ::close(Fd);
    return !(Limit > 0 && static_cast<off_t>(Text.size()) > Limit);
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

THostSettings ReadHostSettings(const std::string &Path)
{
    THostSettings Result;
    std::string Text;
    if (!LoadWhole(Path, Text, MaxReadSize))
        return Result;
    CSimpleIniA Ini;
    if (Ini.LoadData(Text.data(), Text.size()) < 0)
        return Result;
    std::string *Fields[] = {&Result.Host, &Result.Username, &Result.Password, &Result.Default};
    for (int I = 0; I < 4; ++I)
        *Fields[I] = Ini.GetValue(Section, Keys[I], "");
    return Result;
}

void WriteHostSettings(const std::string &Path, const THostSettings &Settings)
{
    const EHostSettingsError Failure("Unable to write to " + Path);

    CSimpleIniA Ini;
    Ini.SetSpaces(false); // "key=value", as the format has always been
    std::string Existing;
    // Whatever else the file holds is kept, but only a file that parses:
    // an unreadable one is replaced by the four keys.
    if (LoadWhole(Path, Existing, 0) && Ini.LoadData(Existing.data(), Existing.size()) < 0)
        Ini.Reset();
    // Removed first, so that they come back in their order after the
    // section's other keys.
    for (const char *Key : Keys)
        Ini.Delete(Section, Key);
    const std::string *Fields[] = {&Settings.Host, &Settings.Username, &Settings.Password,
                                   &Settings.Default};
    for (int I = 0; I < 4; ++I)
        if (Ini.SetValue(Section, Keys[I], OneLine(*Fields[I]).c_str()) < 0)
            throw Failure;

    std::string Data;
    if (Ini.Save(Data) < 0)
        throw Failure;

    const std::string Dir = ParentOf(Path);
    if (!MakeDirs(Dir))
        throw Failure;
    // Written beside the target and renamed over it, so a failed write never
    // leaves half a settings file.
    const std::string Temp = Path + ".new";
    ::unlink(Temp.c_str());
    const int Fd = ::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (Fd < 0)
        throw Failure;
    const bool Written = WriteAll(Fd, Data) && ::fchmod(Fd, 0600) == 0 && ::fsync(Fd) == 0;
    if (::close(Fd) != 0 || !Written || ::rename(Temp.c_str(), Path.c_str()) != 0) {
        ::unlink(Temp.c_str());
        throw Failure;
    }
}

bool ReadHostFlag(const std::string &Path, const char *Key, bool Default)
{
    std::string Text;
    CSimpleIniA Ini;
    if (!LoadWhole(Path, Text, MaxReadSize) || Ini.LoadData(Text.data(), Text.size()) < 0)
        return Default;
    const std::string Value = Ini.GetValue(Section, Key, "");
    return Value == "1" ? true : Value == "0" ? false : Default;
}

void WriteHostFlag(const std::string &Path, const char *Key, bool Value)
{
    const EHostSettingsError Failure("Unable to write to " + Path);
    CSimpleIniA Ini;
    Ini.SetSpaces(false);
    std::string Existing;
    if (LoadWhole(Path, Existing, 0) && Ini.LoadData(Existing.data(), Existing.size()) < 0)
        Ini.Reset();
    std::string Data;
    if (Ini.SetValue(Section, Key, Value ? "1" : "0") < 0 || Ini.Save(Data) < 0 || !MakeDirs(ParentOf(Path)))
        throw Failure;
    // Beside the target and renamed over it, as the four keys are written.
    const std::string Temp = Path + ".new";
    ::unlink(Temp.c_str());
    const int Fd = ::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (Fd < 0)
        throw Failure;
    const bool Written = WriteAll(Fd, Data) && ::fchmod(Fd, 0600) == 0 && ::fsync(Fd) == 0;
    if (::close(Fd) != 0 || !Written || ::rename(Temp.c_str(), Path.c_str()) != 0) {
        ::unlink(Temp.c_str());
        throw Failure;
    }
}
