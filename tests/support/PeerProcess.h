#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A server process started for a test. It runs in its own session (setsid),
// with stdout and stderr going to a log file. Stop() ends the process and
// every descendant, including those that left the process group (vsftpd
// sessions call setsid() themselves), by PID only.
class TPeerProcess
{
public:
    TPeerProcess() = default;
    ~TPeerProcess();
    TPeerProcess(const TPeerProcess &) = delete;
    TPeerProcess &operator=(const TPeerProcess &) = delete;

    // Starts argv[0] (a full path) with the given arguments. uid/gid other
    // than -1 switch the child to that user before exec (supplementary groups
    // dropped). false with *error set when fork/exec preparation failed.
    bool Launch(const std::vector<std::string> &argv, const std::string &logPath, uid_t uid = static_cast<uid_t>(-1),
                gid_t gid = static_cast<gid_t>(-1), std::string *error = nullptr);
    // True while the started process has not exited (reaps it when it has).
    bool Running();
    // Exit description once it has stopped ("exit code 1", "signal 9").
    const std::string &ExitText() const { return FExitText; }
    pid_t Pid() const { return FPid; }
    void Stop();

private:
    pid_t FPid = -1;
    std::string FExitText;
};

// PIDs of every live descendant of root (children first found, any depth).
std::vector<pid_t> DescendantsOf(pid_t root);
// Waits until pid is gone or a zombie (a zombie cannot hold a port).
bool WaitGoneOrZombie(pid_t pid, int timeoutMs);
