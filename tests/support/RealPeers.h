#pragma once

#include "support/PeerProcess.h"
#include "support/TestPaths.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

// Real servers on 127.0.0.1 for end-to-end tests. Each object owns a work
// folder (config, logs, served files) and the server process tree; the
// destructor stops every process it started. Use:
//
//   if (!TPyFtpdServer::Available()) GTEST_SKIP() << TPyFtpdServer::Missing();
//   TPyFtpdServer srv;
//   ASSERT_TRUE(srv.Start());        // failure text includes the server log
//   ... connect to srv.Port() ...

// The system account shared by vsftpd and dante's username method. Created
// (once, under a lock) when missing; needs root.
struct TTestAccount
{
    static const char *Name();     // "tolvanetest"
    static const char *Password(); // fixed, known to tests
    // Creates or repairs the account; false with *error when that is not possible.
    static bool Ensure(std::string *error = nullptr);
    static uid_t Uid();
    static gid_t Gid();
};

// Common part: work folder, process, port, log, start/stop.
class TRealPeer
{
public:
    virtual ~TRealPeer();
    TRealPeer(const TRealPeer &) = delete;
    TRealPeer &operator=(const TRealPeer &) = delete;

    // Writes the config, starts the server and waits (up to 10 s) until its
    // port accepts connections. Retries on a new port when the chosen one
    // was taken meanwhile.
    testing::AssertionResult Start();
    void Stop();
    bool Running();

    uint16_t Port() const { return FPort; }
    pid_t Pid() const { return FProcess.Pid(); } // the server's main process
    const std::string &WorkDir() const { return FDir.Path(); }
    std::string LogPath() const { return FDir.File("server.log"); }
    // The server's own log plus its stdout/stderr.
    std::string Log() const;

protected:
    explicit TRealPeer(const std::string &name);
    // Fills argv/uid/gid for one launch on FPort; config files go into WorkDir().
    virtual testing::AssertionResult Prepare(std::vector<std::string> &argv, uid_t &uid, gid_t &gid) = 0;
    // Extra log files besides the console capture.
    virtual std::string ExtraLog() const { return {}; }
    // The loopback address it listens on.
    virtual std::string ListenHost() const { return "127.0.0.1"; }

    std::string FName;
    TTempDir FDir;
    TPeerProcess FProcess;
    uint16_t FPort = 0;
};

// pyftpdlib through /usr/bin/python3 and a small server script.
struct TPyFtpdOptions
{
    std::string User = "tolvane";
    std::string Password = "secret";
    std::string Perm = "elradfmwMT";
    bool Anonymous = false;          // also allow "anonymous" (read-only "elr")
    bool WindowsStyle = false;       // SYST "215 Windows_NT" and IIS-style LIST lines
    bool RunAsTestAccount = false;   // run as TTestAccount (needs root)
    int PassivePorts = 16;           // size of the passive range
    int AuthFailedDelayMs = 3000;    // pyftpdlib's delay before "530" on a bad password
    std::string TlsPem = {};         // key + certificate: FTP over TLS, required for login and data
    bool ImplicitTls = false;        // with TlsPem: TLS from the first byte
    bool Ipv6 = false;               // listen on ::1 instead of 127.0.0.1
};

class TPyFtpdServer : public TRealPeer
{
public:
    explicit TPyFtpdServer(TPyFtpdOptions options = {});
    static bool Available();
    static std::string Missing(); // skip message
    const TPyFtpdOptions &Options() const { return FOptions; }
    // The served folder (exists from construction; put files there before or after Start()).
    const std::string &Root() const { return FRoot; }
    uint16_t PassiveMin() const { return FPasvMin; }
    uint16_t PassiveMax() const { return static_cast<uint16_t>(FPasvMin + FOptions.PassivePorts - 1); }

protected:
    testing::AssertionResult Prepare(std::vector<std::string> &argv, uid_t &uid, gid_t &gid) override;
    std::string ExtraLog() const override;
    std::string ListenHost() const override { return FOptions.Ipv6 ? "::1" : "127.0.0.1"; }

private:
    TPyFtpdOptions FOptions;
    std::string FRoot;
    uint16_t FPasvMin = 0;
};

// vsftpd in the foreground with its own config; logs in TTestAccount.
struct TVsftpdOptions
{
    int PassivePorts = 16;
    std::string TlsPem = {};  // key + certificate: FTP over TLS, required for login and data
    bool ImplicitTls = false; // with TlsPem: TLS from the first byte
    bool Ipv6 = false;        // listen on ::1 instead of 127.0.0.1
};

class TVsftpdServer : public TRealPeer
{
public:
    explicit TVsftpdServer(TVsftpdOptions options = {});
    static bool Available(); // binary present and running as root
    static std::string Missing();
    static const char *User() { return TTestAccount::Name(); }
    static const char *Password() { return TTestAccount::Password(); }
    // The served folder (owned by the test account). Files the test writes
    // there as root should be handed over with GiveToServer().
    const std::string &Root() const { return FRoot; }
    bool GiveToServer(const std::string &path) const;
    // The FTP wire log (log_ftp_protocol): every command and reply.
    std::string WireLog() const;
    uint16_t PassiveMin() const { return FPasvMin; }
    uint16_t PassiveMax() const { return static_cast<uint16_t>(FPasvMin + FOptions.PassivePorts - 1); }

protected:
    testing::AssertionResult Prepare(std::vector<std::string> &argv, uid_t &uid, gid_t &gid) override;
    std::string ExtraLog() const override;
    std::string ListenHost() const override { return FOptions.Ipv6 ? "::1" : "127.0.0.1"; }

private:
    TVsftpdOptions FOptions;
    std::string FRoot;
    uint16_t FPasvMin = 0;
};

// microsocks: SOCKS 5 only, optionally with user/password (RFC 1929).
class TMicrosocksProxy : public TRealPeer
{
public:
    TMicrosocksProxy(std::string user = {}, std::string password = {});
    static bool Available();
    static std::string Missing();

protected:
    testing::AssertionResult Prepare(std::vector<std::string> &argv, uid_t &uid, gid_t &gid) override;

private:
    std::string FUser, FPassword;
};

// dante: SOCKS 4 and 5. With Username, SOCKS 5 clients must authenticate as
// TTestAccount (checked against the system account); with AllowNone as well,
// both methods are offered (and SOCKS 4 works).
struct TDanteOptions
{
    bool Username = false;
    bool AllowNone = true;
};

class TDanteProxy : public TRealPeer
{
public:
    explicit TDanteProxy(TDanteOptions options = {});
    static bool Available(); // binary present and running as root
    static std::string Missing();

protected:
    testing::AssertionResult Prepare(std::vector<std::string> &argv, uid_t &uid, gid_t &gid) override;
    std::string ExtraLog() const override;

private:
    TDanteOptions FOptions;
};
