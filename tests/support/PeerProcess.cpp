#include "support/PeerProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace {

// Parent PID and state letter from /proc/<pid>/stat (the command name may
// contain spaces and parentheses, so parse after the last ')').
bool ReadStat(pid_t pid, pid_t &ppid, char &state)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s;
    if (!std::getline(f, s))
        return false;
    size_t rp = s.rfind(')');
    if (rp == std::string::npos)
        return false;
    std::istringstream rest(s.substr(rp + 1));
    rest >> state >> ppid;
    return static_cast<bool>(rest);
}

} // namespace

std::vector<pid_t> DescendantsOf(pid_t root)
{
    std::multimap<pid_t, pid_t> children;
    if (DIR *d = ::opendir("/proc")) {
        while (dirent *e = ::readdir(d)) {
            char *end = nullptr;
            long pid = std::strtol(e->d_name, &end, 10);
            if (!end || *end || pid <= 0)
                continue;
            pid_t ppid;
            char state;
            if (ReadStat(static_cast<pid_t>(pid), ppid, state) && state != 'Z')
                children.emplace(ppid, static_cast<pid_t>(pid));
        }
        ::closedir(d);
    }
    std::vector<pid_t> out;
    std::vector<pid_t> todo{root};
    while (!todo.empty()) {
        pid_t p = todo.back();
        todo.pop_back();
        auto [b, e] = children.equal_range(p);
        for (auto it = b; it != e; ++it) {
            out.push_back(it->second);
            todo.push_back(it->second);
        }
    }
    return out;
}

bool WaitGoneOrZombie(pid_t pid, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pid_t ppid;
        char state;
        if (!ReadStat(pid, ppid, state) || state == 'Z' || state == 'X')
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TPeerProcess::~TPeerProcess()
{
    Stop();
}

bool TPeerProcess::Launch(const std::vector<std::string> &argv, const std::string &logPath, uid_t uid, gid_t gid,
                          std::string *error)
{
    Stop();
    FExitText.clear();
    // Everything the child needs is prepared before fork(): after it, only
    // async-signal-safe calls are allowed (the test process has threads).
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0) {
        if (error)
            *error = "cannot open " + logPath + ": " + std::strerror(errno);
        return false;
    }
    if (uid != static_cast<uid_t>(-1))
        (void)::fchown(logFd, uid, gid);
    int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        if (error)
            *error = std::string("fork: ") + std::strerror(errno);
        ::close(logFd);
        ::close(nullFd);
        return false;
    }
    if (pid == 0) {
        ::setsid();
        // The test process may block or ignore signals; a server must not inherit that.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s = 1; s < NSIG; ++s)
            if (s != SIGKILL && s != SIGSTOP)
                ::signal(s, SIG_DFL);
        ::dup2(nullFd, 0);
        ::dup2(logFd, 1);
        ::dup2(logFd, 2);
        if (gid != static_cast<gid_t>(-1)) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0)
                ::_exit(126);
        }
        if (uid != static_cast<uid_t>(-1) && ::setuid(uid) != 0)
            ::_exit(126);
        // A test run that is killed must not leave servers behind on a shared
        // machine (set after setuid, which would clear it).
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(125);
        ::execv(args[0], args.data());
        static const char msg[] = "exec failed\n";
        (void)!::write(2, msg, sizeof msg - 1);
        ::_exit(127);
    }
    ::close(logFd);
    ::close(nullFd);
    FPid = pid;
    return true;
}

bool TPeerProcess::Running()
{
    if (FPid <= 0)
        return false;
    int status = 0;
    pid_t r = ::waitpid(FPid, &status, WNOHANG);
    if (r == 0)
        return true;
    if (r == FPid) {
        if (WIFEXITED(status))
            FExitText = "exit code " + std::to_string(WEXITSTATUS(status));
        else if (WIFSIGNALED(status))
            FExitText = "signal " + std::to_string(WTERMSIG(status));
    }
    FPid = -1;
    return false;
}

void TPeerProcess::Stop()
{
    if (FPid <= 0)
        return;
    // Freeze the tree first so that nobody forks or gets re-parented while
    // it is being collected, then kill every member by PID.
    std::set<pid_t> all{FPid};
    ::kill(FPid, SIGSTOP);
    for (int round = 0; round < 20; ++round) {
        bool grew = false;
        for (pid_t p : DescendantsOf(FPid))
            if (all.insert(p).second) {
                ::kill(p, SIGSTOP);
                grew = true;
            }
        if (!grew)
            break;
    }
    for (pid_t p : all)
        ::kill(p, SIGKILL);
    int status = 0;
    while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
    if (FExitText.empty())
        FExitText = "stopped";
    for (pid_t p : all)
        if (p != FPid)
            WaitGoneOrZombie(p, 3000);
    FPid = -1;
}
