#include "support/RealPeers.h"

#include "support/BlockingSocket.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

constexpr int kStartTimeoutMs = 10000;

bool IsExecutable(const char *path)
{
    return ::access(path, X_OK) == 0;
}

// Quoting for the small JSON config handed to the pyftpdlib script.
std::string JsonString(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool FileHasLine(const char *path, const std::string &line)
{
    std::ifstream f(path);
    std::string l;
    while (std::getline(f, l))
        if (l == line)
            return true;
    return false;
}

int RunShell(const std::string &cmd)
{
    int rc = std::system(cmd.c_str());
    return rc;
}

} // namespace

// ---------------------------------------------------------------- account

const char *TTestAccount::Name()
{
    return "tolvanetest";
}

const char *TTestAccount::Password()
{
    return "Tolvane-Test-7";
}

bool TTestAccount::Ensure(std::string *error)
{
    static std::mutex mutex;
    static bool done = false;
    std::lock_guard<std::mutex> guard(mutex);
    if (done)
        return true;
    auto fail = [&](const std::string &text) {
        if (error)
            *error = text;
        return false;
    };
    if (::geteuid() != 0)
        return fail("the test account needs root (running as uid " + std::to_string(::geteuid()) + ")");
    // Several test processes may start at once: serialise account changes.
    int lockFd = ::open("/tmp/tolvane-test-account.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0)
        return fail("cannot open the account lock file");
    ::flock(lockFd, LOCK_EX);
    std::string problem;
    if (!::getpwnam(Name())) {
        if (RunShell(std::string("useradd -M -d / -s /bin/bash ") + Name() + " >/dev/null 2>&1") != 0 &&
            !::getpwnam(Name()))
            problem = "useradd failed";
    }
    if (problem.empty()) {
        // Always set the password: an account left by another run may have another one.
        if (FILE *p = ::popen("chpasswd 2>&1", "w")) {
            std::fprintf(p, "%s:%s\n", Name(), Password());
            if (::pclose(p) != 0)
                problem = "chpasswd failed";
        } else {
            problem = "cannot run chpasswd";
        }
    }
    if (problem.empty()) {
        passwd *pw = ::getpwnam(Name());
        std::string shell = pw && pw->pw_shell ? pw->pw_shell : "";
        if (!shell.empty() && !FileHasLine("/etc/shells", shell)) {
            std::ofstream sh("/etc/shells", std::ios::app);
            sh << shell << "\n";
        }
        if (FileHasLine("/etc/ftpusers", Name()))
            problem = std::string(Name()) + " is listed in /etc/ftpusers (vsftpd's PAM refuses it)";
    }
    ::flock(lockFd, LOCK_UN);
    ::close(lockFd);
    if (!problem.empty())
        return fail(problem);
    done = true;
    return true;
}

uid_t TTestAccount::Uid()
{
    passwd *pw = ::getpwnam(Name());
    return pw ? pw->pw_uid : static_cast<uid_t>(-1);
}

gid_t TTestAccount::Gid()
{
    passwd *pw = ::getpwnam(Name());
    return pw ? pw->pw_gid : static_cast<gid_t>(-1);
}

// ---------------------------------------------------------------- base

TRealPeer::TRealPeer(const std::string &name) : FName(name), FDir("tolvane-" + name)
{
}

TRealPeer::~TRealPeer()
{
    Stop();
}

void TRealPeer::Stop()
{
    FProcess.Stop();
}

bool TRealPeer::Running()
{
    return FProcess.Running();
}

std::string TRealPeer::Log() const
{
    std::string out = ReadFile(FDir.File("console.log"));
    std::string extra = ExtraLog();
    if (!extra.empty())
        out += (out.empty() ? "" : "\n") + extra;
    return out;
}

testing::AssertionResult TRealPeer::Start()
{
    Stop();
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {
        FPort = FreeTcpPort();
        std::vector<std::string> argv;
        uid_t uid = static_cast<uid_t>(-1);
        gid_t gid = static_cast<gid_t>(-1);
        testing::AssertionResult prepared = Prepare(argv, uid, gid);
        if (!prepared)
            return prepared;
        std::string err;
        if (!FProcess.Launch(argv, FDir.File("console.log"), uid, gid, &err))
            return testing::AssertionFailure() << FName << ": cannot start " << argv[0] << ": " << err;
        int64_t deadline = NowMs() + kStartTimeoutMs;
        bool up = false;
        while (NowMs() < deadline && FProcess.Running()) {
            TBlockingSocket probe;
            if (probe.Connect(FPort, 500, ListenHost())) {
                up = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // A port taken by someone else meanwhile would accept our probe while
        // our server died on bind: check that it is still alive.
        if (up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            if (FProcess.Running())
                return testing::AssertionSuccess();
        }
        bool exited = !FProcess.Running();
        why = exited ? "exited (" + FProcess.ExitText() + ")"
                     : "did not accept connections within " + std::to_string(kStartTimeoutMs) + " ms";
        std::string log = Log();
        FProcess.Stop();
        if (!(exited && log.find("in use") != std::string::npos))
            break; // only a lost port race is worth another try
    }
    return testing::AssertionFailure() << FName << " on 127.0.0.1:" << FPort << " " << why << "\n--- server log ("
                                       << WorkDir() << ") ---\n"
                                       << Log();
}

// ---------------------------------------------------------------- pyftpdlib

namespace {

const char *kPyFtpdScript = R"PY(
import json, logging, os, stat, sys, time
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
Base = FTPHandler
from pyftpdlib.servers import FTPServer

cfg = json.load(open(sys.argv[1]))
if cfg["tls_pem"]:
    from pyftpdlib.handlers import TLS_FTPHandler
    Base = TLS_FTPHandler
    Base.certfile = cfg["tls_pem"]
    Base.tls_control_required = True
    Base.tls_data_required = True
logging.basicConfig(filename=cfg["log"], level=logging.DEBUG,
                    format="%(asctime)s %(message)s")

auth = DummyAuthorizer()
auth.add_user(cfg["user"], cfg["password"], cfg["root"], perm=cfg["perm"])
if cfg["anonymous"]:
    auth.add_anonymous(cfg["root"], perm="elr")


class WindowsFS(AbstractedFS):
    # IIS-style lines: "12-09-26  05:16AM       <DIR>          name"
    def format_list(self, basedir, listing, ignore_err=True):
        for name in listing:
            try:
                st = self.lstat(os.path.join(basedir, name))
            except (OSError, Exception):
                if ignore_err:
                    continue
                raise
            stamp = time.strftime("%m-%d-%y  %I:%M%p", time.localtime(st.st_mtime))
            if stat.S_ISDIR(st.st_mode):
                line = "%s       <DIR>          %s\r\n" % (stamp, name)
            else:
                line = "%s %20d %s\r\n" % (stamp, st.st_size, name)
            yield line.encode("utf8", self.cmd_channel.unicode_errors)


class Handler(Base):
    def handle(self):
        if cfg["implicit"]:
            self.secure_connection(self.ssl_context)
        Base.handle(self)
    def ftp_SYST(self, line):
        if cfg["windows"]:
            self.respond("215 Windows_NT")
        else:
            Base.ftp_SYST(self, line)


Handler.authorizer = auth
Handler.passive_ports = range(cfg["pasv_min"], cfg["pasv_max"] + 1)
Handler.permit_foreign_addresses = False
Handler.auth_failed_timeout = cfg["auth_delay"]
# Names that are not UTF-8 keep their bytes on the wire.
Handler.unicode_errors = "surrogateescape"
if cfg["windows"]:
    Handler.abstracted_fs = WindowsFS
server = FTPServer((cfg["host"], cfg["port"]), Handler)
server.max_cons = 64
server.serve_forever()
)PY";

} // namespace

TPyFtpdServer::TPyFtpdServer(TPyFtpdOptions options) : TRealPeer("pyftpd"), FOptions(std::move(options))
{
    FRoot = FDir.MakeDir("root");
}

bool TPyFtpdServer::Available()
{
    static const bool available = IsExecutable("/usr/bin/python3") &&
                                  std::system("/usr/bin/python3 -c 'import pyftpdlib' >/dev/null 2>&1") == 0;
    return available;
}

std::string TPyFtpdServer::Missing()
{
    return "pyftpdlib for /usr/bin/python3 is not installed (Debian package python3-pyftpdlib)";
}

testing::AssertionResult TPyFtpdServer::Prepare(std::vector<std::string> &argv, uid_t &uid, gid_t &gid)
{
    FPasvMin = FreeTcpPortRange(FOptions.PassivePorts);
    if (FOptions.RunAsTestAccount) {
        std::string err;
        if (!TTestAccount::Ensure(&err))
            return testing::AssertionFailure() << "pyftpd: test account: " << err;
        uid = TTestAccount::Uid();
        gid = TTestAccount::Gid();
        // The server writes its log and the served files as that user.
        ChownTree(WorkDir(), uid, gid);
    }
    std::ostringstream cfg;
    cfg << "{\"log\": " << JsonString(LogPath()) << ", \"user\": " << JsonString(FOptions.User)
        << ", \"password\": " << JsonString(FOptions.Password) << ", \"root\": " << JsonString(FRoot)
        << ", \"perm\": " << JsonString(FOptions.Perm) << ", \"anonymous\": " << (FOptions.Anonymous ? "true" : "false")
        << ", \"windows\": " << (FOptions.WindowsStyle ? "true" : "false") << ", \"port\": " << FPort
        << ", \"pasv_min\": " << FPasvMin << ", \"pasv_max\": " << PassiveMax()
        << ", \"auth_delay\": " << FOptions.AuthFailedDelayMs / 1000.0
        << ", \"tls_pem\": " << JsonString(FOptions.TlsPem)
        << ", \"implicit\": " << (FOptions.ImplicitTls ? "true" : "false")
        << ", \"host\": " << JsonString(ListenHost()) << "}\n";
    if (!WriteFile(FDir.File("config.json"), cfg.str()) || !WriteFile(FDir.File("server.py"), kPyFtpdScript))
        return testing::AssertionFailure() << "pyftpd: cannot write its config into " << WorkDir();
    if (FOptions.RunAsTestAccount) {
        ::chown(FDir.File("config.json").c_str(), uid, gid);
        ::chown(FDir.File("server.py").c_str(), uid, gid);
    }
    argv = {"/usr/bin/python3", "-u", FDir.File("server.py"), FDir.File("config.json")};
    return testing::AssertionSuccess();
}

std::string TPyFtpdServer::ExtraLog() const
{
    return ReadFile(LogPath());
}

// ---------------------------------------------------------------- vsftpd

TVsftpdServer::TVsftpdServer(TVsftpdOptions options) : TRealPeer("vsftpd"), FOptions(options)
{
    FRoot = FDir.MakeDir("root");
    FDir.MakeDir("empty");
}

bool TVsftpdServer::Available()
{
    return IsExecutable("/usr/sbin/vsftpd") && ::geteuid() == 0;
}

std::string TVsftpdServer::Missing()
{
    if (!IsExecutable("/usr/sbin/vsftpd"))
        return "vsftpd is not installed (/usr/sbin/vsftpd missing)";
    return "vsftpd tests need root (to create the test account and run the server)";
}

bool TVsftpdServer::GiveToServer(const std::string &path) const
{
    return ChownTree(path, TTestAccount::Uid(), TTestAccount::Gid());
}

std::string TVsftpdServer::WireLog() const
{
    return ReadFile(LogPath());
}

std::string TVsftpdServer::ExtraLog() const
{
    return ReadFile(LogPath());
}

testing::AssertionResult TVsftpdServer::Prepare(std::vector<std::string> &argv, uid_t &, gid_t &)
{
    std::string err;
    if (!TTestAccount::Ensure(&err))
        return testing::AssertionFailure() << "vsftpd: test account: " << err;
    if (!GiveToServer(FRoot))
        return testing::AssertionFailure() << "vsftpd: cannot chown " << FRoot;
    FPasvMin = FreeTcpPortRange(FOptions.PassivePorts);
    std::ostringstream c;
    c << (FOptions.Ipv6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n" : "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n")
      << "listen_port=" << FPort << "\nbackground=NO\n"
      << "anonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\nlocal_umask=022\nchmod_enable=YES\n"
      << "local_root=" << FRoot << "\nchroot_local_user=YES\nallow_writeable_chroot=YES\n"
      << "secure_chroot_dir=" << FDir.File("empty") << "\n"
      << "pam_service_name=vsftpd\nuserlist_enable=NO\ntcp_wrappers=NO\n"
      << "pasv_enable=YES\npasv_min_port=" << FPasvMin << "\npasv_max_port=" << PassiveMax() << "\n"
      << "port_enable=YES\nconnect_from_port_20=NO\n"
      // Names beginning with "." in LIST, as most servers show them.
      << "force_dot_files=YES\n"
      << "isolate=NO\nisolate_network=NO\nseccomp_sandbox=NO\n"
      << "xferlog_enable=YES\nvsftpd_log_file=" << LogPath() << "\nlog_ftp_protocol=YES\nsyslog_enable=NO\n";
    if (!FOptions.TlsPem.empty())
        c << "ssl_enable=YES\nrsa_cert_file=" << FOptions.TlsPem << "\nrsa_private_key_file=" << FOptions.TlsPem
          << "\nforce_local_logins_ssl=YES\nforce_local_data_ssl=YES\nssl_tlsv1=YES\nssl_sslv2=NO\nssl_sslv3=NO\n"
          << (FOptions.ImplicitTls ? "implicit_ssl=YES\n" : "");
    std::string conf = FDir.File("vsftpd.conf");
    if (!WriteFile(conf, c.str()))
        return testing::AssertionFailure() << "vsftpd: cannot write " << conf;
    argv = {"/usr/sbin/vsftpd", conf};
    return testing::AssertionSuccess();
}

// ---------------------------------------------------------------- microsocks

TMicrosocksProxy::TMicrosocksProxy(std::string user, std::string password)
    : TRealPeer("microsocks"), FUser(std::move(user)), FPassword(std::move(password))
{
}

bool TMicrosocksProxy::Available()
{
    return IsExecutable("/usr/bin/microsocks");
}

std::string TMicrosocksProxy::Missing()
{
    return "microsocks is not installed (/usr/bin/microsocks missing)";
}

testing::AssertionResult TMicrosocksProxy::Prepare(std::vector<std::string> &argv, uid_t &uid, gid_t &gid)
{
    argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(FPort), "-b", "127.0.0.1"};
    if (!FUser.empty() || !FPassword.empty()) {
        argv.insert(argv.end(), {"-u", FUser, "-P", FPassword});
    }
    if (::geteuid() == 0) {
        // No reason to proxy as root.
        if (passwd *pw = ::getpwnam("nobody")) {
            uid = pw->pw_uid;
            gid = pw->pw_gid;
        }
    }
    return testing::AssertionSuccess();
}

// ---------------------------------------------------------------- dante

TDanteProxy::TDanteProxy(TDanteOptions options) : TRealPeer("danted"), FOptions(options)
{
}

bool TDanteProxy::Available()
{
    return IsExecutable("/usr/sbin/danted") && ::geteuid() == 0;
}

std::string TDanteProxy::Missing()
{
    if (!IsExecutable("/usr/sbin/danted"))
        return "dante is not installed (/usr/sbin/danted missing, Debian package dante-server)";
    return "dante tests need root (privileged user for the username method)";
}

std::string TDanteProxy::ExtraLog() const
{
    return ReadFile(LogPath());
}

testing::AssertionResult TDanteProxy::Prepare(std::vector<std::string> &argv, uid_t &, gid_t &)
{
    std::string methods;
    if (FOptions.Username) {
        std::string err;
        if (!TTestAccount::Ensure(&err))
            return testing::AssertionFailure() << "danted: test account: " << err;
        methods = FOptions.AllowNone ? "username none" : "username";
    } else {
        methods = "none";
    }
    std::ostringstream c;
    c << "logoutput: " << LogPath() << "\n"
      << "internal: 127.0.0.1 port = " << FPort << "\n"
      << "external: 127.0.0.1\n"
      << "clientmethod: none\n"
      << "socksmethod: " << methods << "\n"
      << "user.privileged: root\n"
      << "user.unprivileged: nobody\n"
      << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: error connect disconnect }\n"
      << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 socksmethod: " << methods << "\n"
      << "  command: connect bind bindreply udpassociate udpreply\n"
      << "  log: error connect disconnect }\n";
    std::string conf = FDir.File("danted.conf");
    if (!WriteFile(conf, c.str()))
        return testing::AssertionFailure() << "danted: cannot write " << conf;
    argv = {"/usr/sbin/danted", "-f", conf, "-p", FDir.File("danted.pid")};
    return testing::AssertionSuccess();
}
