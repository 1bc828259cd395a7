#pragma once
// Runs the built tolvane-cli as a user runs it, with a hard time limit, and
// reads what it printed; shared by the command-line tool's tests.

#include "support/RealPeers.h"
#include "support/ScriptedFtpServer.h"
#include "support/TestPaths.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;


inline const std::string kCli = TOLVANE_BINARY_DIR "/src/tools/tolvane-cli";

struct TCliRun
{
    int Status = -1; // exit status; -1 when it did not exit normally
    bool TimedOut = false;
    std::string Out;
    std::string Err;
    double Seconds = 0;
};

struct TCliRunOptions
{
    const char *Password = nullptr; // TOLVANE_PASSWORD; unset when null
    bool ErrIsTerminal = false;      // standard error on a pseudo-terminal
    int TimeoutMs = 20000;
    int InterruptAfterMs = -1;       // sends SIGINT after this long when >= 0
};

inline std::string Describe(const TCliRun &R)
{
    std::ostringstream S;
    S << "status " << R.Status << (R.TimedOut ? " (killed after time-out)" : "") << "\n--- stdout\n"
      << R.Out << "--- stderr\n"
      << EscapeBytes(R.Err, 4000);
    return S.str();
}

// Runs tolvane-cli with Args; stdout and stderr are collected in files (or
// stderr from a pseudo-terminal). Only posix_spawn runs in the child, which
// is safe with the scripted peer's thread around.
inline TCliRun RunCli(const std::vector<std::string> &Args, const TCliRunOptions &Opt = {})
{
    TCliRun R;
    TTempDir Dir("tolvane-cli-run");
    const std::string OutPath = Dir.File("out");
    const std::string ErrPath = Dir.File("err");

    std::vector<std::string> Env;
    for (char **E = environ; *E; ++E)
        if (std::strncmp(*E, "TOLVANE_PASSWORD=", 17) != 0)
            Env.emplace_back(*E);
    if (Opt.Password)
        Env.push_back(std::string("TOLVANE_PASSWORD=") + Opt.Password);
    std::vector<char *> EnvP;
    for (auto &E : Env)
        EnvP.push_back(E.data());
    EnvP.push_back(nullptr);

    std::vector<std::string> ArgStore{kCli};
    ArgStore.insert(ArgStore.end(), Args.begin(), Args.end());
    std::vector<char *> ArgV;
    for (auto &A : ArgStore)
        ArgV.push_back(A.data());
    ArgV.push_back(nullptr);

    int Master = -1, Slave = -1;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 1, OutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (Opt.ErrIsTerminal && ::openpty(&Master, &Slave, nullptr, nullptr, nullptr) == 0) {
        ::fcntl(Master, F_SETFD, FD_CLOEXEC);
        posix_spawn_file_actions_adddup2(&Actions, Slave, 2);
        posix_spawn_file_actions_addclose(&Actions, Slave);
    } else {
        posix_spawn_file_actions_addopen(&Actions, 2, ErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }

    const auto Start = std::chrono::steady_clock::now();
    pid_t Pid = -1;
    const int Rc = ::posix_spawn(&Pid, kCli.c_str(), &Actions, nullptr, ArgV.data(), EnvP.data());
    posix_spawn_file_actions_destroy(&Actions);
    if (Slave >= 0)
        ::close(Slave);
    if (Rc != 0) {
        R.Err = "posix_spawn failed: " + std::string(std::strerror(Rc));
        if (Master >= 0)
            ::close(Master);
        return R;
    }

    auto DrainPty = [&](int WaitMs) {
        if (Master < 0)
            return;
        pollfd P{Master, POLLIN, 0};
        char Buf[4096];
        while (::poll(&P, 1, WaitMs) > 0) {
            const ssize_t N = ::read(Master, Buf, sizeof Buf);
            if (N <= 0)
                break;
            R.Err.append(Buf, static_cast<size_t>(N));
        }
    };

    int WStatus = 0;
    bool Interrupted = false;
    for (;;) {
        const pid_t W = ::waitpid(Pid, &WStatus, WNOHANG);
        if (W == Pid)
            break;
        const auto Ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start).count();
        if (Opt.InterruptAfterMs >= 0 && Ms > Opt.InterruptAfterMs && !Interrupted) {
            ::kill(Pid, SIGINT);
            Interrupted = true;
        }
        if (Ms > Opt.TimeoutMs) {
            R.TimedOut = true;
            ::kill(Pid, SIGKILL);
            ::waitpid(Pid, &WStatus, 0);
            break;
        }
        if (Master >= 0)
            DrainPty(10);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    R.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    if (Master >= 0) {
        DrainPty(0);
        ::close(Master);
    } else {
        R.Err = ReadFile(ErrPath);
    }
    R.Out = ReadFile(OutPath);
    if (!R.TimedOut && WIFEXITED(WStatus))
        R.Status = WEXITSTATUS(WStatus);
    return R;
}

inline std::vector<std::string> Lines(const std::string &Text)
{
    std::vector<std::string> Out;
    std::istringstream S(Text);
    for (std::string L; std::getline(S, L);)
        Out.push_back(L);
    return Out;
}

inline std::vector<std::string> Fields(const std::string &Line)
{
    std::vector<std::string> Out;
    size_t Start = 0;
    for (;;) {
        const size_t Tab = Line.find('\t', Start);
        Out.push_back(Line.substr(Start, Tab == std::string::npos ? std::string::npos : Tab - Start));
        if (Tab == std::string::npos)
            return Out;
        Start = Tab + 1;
    }
}

// The "ls" line of Name, split into its five fields; empty when absent.
inline std::vector<std::string> ListedEntry(const std::string &LsOutput, const std::string &Name)
{
    for (const auto &L : Lines(LsOutput)) {
        auto F = Fields(L);
        if (F.size() == 5 && F[4] == Name)
            return F;
    }
    return {};
}

// Failures are reported on exactly one line.
inline bool OneLineMessage(const std::string &Err)
{
    return !Err.empty() && Err.back() == '\n' && Err.find('\n') == Err.size() - 1;
}

class CliBinary : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(::access(kCli.c_str(), X_OK), 0) << kCli << " is missing: build the tolvane-cli target";
    }
};

inline std::string Target(uint16_t Port)
{
    return "127.0.0.1:" + std::to_string(Port);
}
