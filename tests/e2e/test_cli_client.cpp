// tolvane-cli as a user runs it: the built binary against real servers
// (pyftpdlib, vsftpd, microsocks) and against a scripted server for the
// failures real servers do not produce on demand. Each run gets a hard time
// limit, so a hanging client fails the test instead of blocking the suite.

#include "e2e/test_cli_fixture.h"
#include "support/TestCerts.h"

#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

// Usage errors never touch the network: exit 2, one line, nothing on stdout.
TEST_F(CliBinary, UsageErrorsExitTwoWithOneLine)
{
    const std::string Closed = Target(FreeTcpPort());
    const std::vector<std::vector<std::string>> Cases = {
        {},
        {Closed},
        {Closed, "fetch", "x"},
        {"--frobnicate", Closed, "ls"},
        {"-u"},
        {"127.0.0.1:0", "ls"},
        {"127.0.0.1:65536", "ls"},
        {"127.0.0.1:21x", "ls"},
        {Closed, "get"},
        {Closed, "ls", "a", "b"},
        {Closed, "mv", "only-one"},
        {Closed, "rm"},
        {Closed, "chmod", "rwx", "f"},
        {Closed, "chmod", "12345", "f"},
        {"--mode", "sideways", Closed, "put", "/etc/hostname"},
        {"--mode", "unique", Closed, "get", "f"},
        {"--mode", "append", "--restart-at", "10", Closed, "get", "f"},
        {"--mode", "restart", Closed, "put", "/etc/hostname"},
        {"--restart-at", "-1", Closed, "get", "f"},
        {"--restart-at", "99999999999999999999", Closed, "get", "f"},
        {"--timeout", "5s", Closed, "ls"},
        {"--timeout", "4294967296", Closed, "ls"},
        {"--passive=yes", Closed, "ls"},
        {"--socks5", "", Closed, "ls"},
        {"--socks5", "proxy:0", Closed, "ls"},
        {"--socks4", "a", "--socks5", "b", Closed, "ls"},
        {"--proxy-user", "u:p", Closed, "ls"},
        {"--cacert", "/etc/hostname", Closed, "ls"}, // certificate options without TLS
        {"-k", Closed, "ls"},
        {"--ssl", "--cacert", "", Closed, "ls"},
        {"--fingerprint", std::string(64, 'A'), Closed, "ls"},
        {"--socks5", "127.0.0.1", "--proxy-user", std::string(256, 'u') + ":p", Closed, "ls"},
        // A line end in anything sent to the server would smuggle in a second command.
        {Closed, "rm", "a\r\nDELE b"},
        {Closed, "quote", "NOOP\nDELE b"},
        {"-u", "bob\r\nDELE x:pw", Closed, "ls"},
        {Closed, "get", "dir/"},
        {"-r", Closed, "rm", "x"},
        {"-r", "--restart-at", "5", Closed, "get", "dir"},
        {Closed, "mkdir"},
    };
    for (const auto &Args : Cases) {
        std::string Shown;
        for (const auto &A : Args)
            Shown += "[" + A + "] ";
        TCliRun R = RunCli(Args, {.TimeoutMs = 5000});
        EXPECT_EQ(R.Status, 2) << Shown << "\n" << Describe(R);
        EXPECT_TRUE(OneLineMessage(R.Err)) << Shown << "\n" << Describe(R);
        EXPECT_EQ(R.Err.rfind("tolvane-cli: ", 0), 0u) << Shown << "\n" << Describe(R);
        EXPECT_TRUE(R.Out.empty()) << Shown << "\n" << Describe(R);
    }

    TCliRun Help = RunCli({"--help"});
    EXPECT_EQ(Help.Status, 0) << Describe(Help);
    EXPECT_EQ(Help.Out.rfind("Usage: tolvane-cli [OPTIONS] HOST[:PORT] OPERATION [ARGS]", 0), 0u);
    for (const char *Word : {"--socks5", "--proxy-user", "--restart-at", "TOLVANE_PASSWORD", "chmod MODE NAME"})
        EXPECT_NE(Help.Out.find(Word), std::string::npos) << Word;
    EXPECT_TRUE(Help.Err.empty());
    TCliRun Short = RunCli({"-h"});
    EXPECT_EQ(Short.Status, 0);
    EXPECT_EQ(Short.Out, Help.Out);
}

// Socket errors say what failed and where in the system's words; the
// engine's own text (with its code) only in the verbose trace.
TEST_F(CliBinary, RefusedConnectionsAndUnknownHostsAreNamed)
{
    const uint16_t Port = FreeTcpPort();
    TCliRun R = RunCli({"-u", "bob:pw", Target(Port), "ls"});
    EXPECT_EQ(R.Status, 3) << Describe(R);
    EXPECT_EQ(R.Err, "tolvane-cli: cannot connect to 127.0.0.1 port " + std::to_string(Port) +
                         ": Connection refused\n")
        << Describe(R);
    EXPECT_TRUE(R.Out.empty());

    TCliRun Verbose = RunCli({"-v", "-u", "bob:pw", Target(Port), "ls"});
    EXPECT_EQ(Verbose.Status, 3) << Describe(Verbose);
    EXPECT_NE(Verbose.Err.find("* WinSock Error (10061): Connection refused"), std::string::npos)
        << Describe(Verbose);
    EXPECT_NE(Verbose.Err.find("tolvane-cli: cannot connect to 127.0.0.1 port"), std::string::npos)
        << Describe(Verbose);

    TCliRun Unknown = RunCli({"-u", "bob:pw", "nonexistent.invalid", "ls"});
    EXPECT_EQ(Unknown.Status, 3) << Describe(Unknown);
    EXPECT_EQ(Unknown.Err, "tolvane-cli: cannot resolve host 'nonexistent.invalid'\n") << Describe(Unknown);

    TCliRun Proxy = RunCli({"--socks5", Target(Port), "-u", "bob:pw", Target(FreeTcpPort()), "ls"});
    EXPECT_EQ(Proxy.Status, 3) << Describe(Proxy);
    EXPECT_EQ(Proxy.Err, "tolvane-cli: cannot connect to proxy 127.0.0.1 port " + std::to_string(Port) +
                             ": Connection refused\n")
        << Describe(Proxy);
}

// put, ls, nlst, get, rm against pyftpdlib in passive mode, comparing the
// file by checksum at every step; stderr stays silent when it is no terminal.
TEST_F(CliBinary, PassiveRoundTripWithPyftpdlib)
{
    if (!TPyFtpdServer::Available())
        GTEST_SKIP() << TPyFtpdServer::Missing();
    TPyFtpdServer Srv;
    ASSERT_TRUE(Srv.Start());
    TTempDir Local("tolvane-cli-local");
    const std::string Source = Local.File("source.bin");
    const uint64_t Sum = MakeRandomFile(Source, 1024 * 1024 + 1, 7);
    ASSERT_NE(Sum, 0u);
    const std::string Host = Target(Srv.Port());
    const std::vector<std::string> User = {"-u", "tolvane:secret"};
    auto Cli = [&](std::vector<std::string> Args) {
        Args.insert(Args.begin(), User.begin(), User.end());
        return RunCli(Args);
    };

    TCliRun Put = Cli({Host, "put", Source, "data.bin"});
    ASSERT_EQ(Put.Status, 0) << Describe(Put);
    EXPECT_TRUE(Put.Err.empty()) << Describe(Put);
    EXPECT_TRUE(Put.Out.empty()) << Describe(Put);
    EXPECT_EQ(FileChecksum(Srv.Root() + "/data.bin"), Sum);

    // Without a remote name the local file's own name is used.
    TCliRun PutDefault = Cli({Host, "--passive", "put", Source});
    ASSERT_EQ(PutDefault.Status, 0) << Describe(PutDefault);
    EXPECT_EQ(FileChecksum(Srv.Root() + "/source.bin"), Sum);

    ASSERT_EQ(::mkdir((Srv.Root() + "/sub").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(Srv.Root() + "/sub/inner.txt", "x\n"));
    TCliRun Ls = Cli({Host, "ls"});
    ASSERT_EQ(Ls.Status, 0) << Describe(Ls);
    auto Entry = ListedEntry(Ls.Out, "data.bin");
    ASSERT_EQ(Entry.size(), 5u) << Ls.Out;
    EXPECT_EQ(Entry[0], "file");
    EXPECT_EQ(Entry[2], "1048577");
    EXPECT_EQ(Entry[1].size(), 9u);
    EXPECT_FALSE(Entry[3].empty());
    auto Dir = ListedEntry(Ls.Out, "sub");
    ASSERT_EQ(Dir.size(), 5u) << Ls.Out;
    EXPECT_EQ(Dir[0], "dir");

    TCliRun LsSub = Cli({Host, "ls", "sub"});
    ASSERT_EQ(LsSub.Status, 0) << Describe(LsSub);
    EXPECT_EQ(ListedEntry(LsSub.Out, "inner.txt").size(), 5u) << LsSub.Out;
    EXPECT_TRUE(ListedEntry(LsSub.Out, "data.bin").empty()) << LsSub.Out;

    TCliRun Nlst = Cli({Host, "nlst"});
    ASSERT_EQ(Nlst.Status, 0) << Describe(Nlst);
    auto Names = Lines(Nlst.Out);
    EXPECT_NE(std::find(Names.begin(), Names.end(), "data.bin"), Names.end()) << Nlst.Out;
    EXPECT_NE(std::find(Names.begin(), Names.end(), "sub"), Names.end()) << Nlst.Out;

    // LOCAL naming a folder downloads into it under the remote name.
    TCliRun Get = Cli({Host, "get", "data.bin", Local.Path()});
    ASSERT_EQ(Get.Status, 0) << Describe(Get);
    EXPECT_TRUE(Get.Err.empty()) << Describe(Get);
    EXPECT_EQ(FileChecksum(Local.File("data.bin")), Sum);

    TCliRun GetNamed = Cli({Host, "get", "data.bin", Local.File("copy.bin")});
    ASSERT_EQ(GetNamed.Status, 0) << Describe(GetNamed);
    EXPECT_EQ(FileChecksum(Local.File("copy.bin")), Sum);

    TCliRun Rm = Cli({Host, "rm", "data.bin"});
    ASSERT_EQ(Rm.Status, 0) << Describe(Rm);
    EXPECT_FALSE(FileExists(Srv.Root() + "/data.bin"));
    TCliRun After = Cli({Host, "ls"});
    ASSERT_EQ(After.Status, 0) << Describe(After);
    EXPECT_TRUE(ListedEntry(After.Out, "data.bin").empty()) << After.Out;
    EXPECT_EQ(ListedEntry(After.Out, "source.bin").size(), 5u) << After.Out;
}

// A server that names itself Windows_NT gets its listing read in the DOS
// style: sizes, folders and names with blanks come out right.
TEST_F(CliBinary, ListingFollowsTheServersSystemType)
{
    if (!TPyFtpdServer::Available())
        GTEST_SKIP() << TPyFtpdServer::Missing();
    TPyFtpdOptions Opt;
    Opt.WindowsStyle = true;
    TPyFtpdServer Srv(Opt);
    ASSERT_EQ(::mkdir((Srv.Root() + "/Reports 2024").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(Srv.Root() + "/two words.txt", std::string(12345, 'x')));
    ASSERT_TRUE(Srv.Start());

    TCliRun Ls = RunCli({"--list", "-v", "-u", "tolvane:secret", Target(Srv.Port()), "ls"});
    ASSERT_EQ(Ls.Status, 0) << Describe(Ls);
    EXPECT_NE(Ls.Err.find("* Listing style: dos"), std::string::npos) << Describe(Ls);
    auto File = ListedEntry(Ls.Out, "two words.txt");
    ASSERT_EQ(File.size(), 5u) << Ls.Out;
    EXPECT_EQ(File[0], "file");
    EXPECT_EQ(File[2], "12345");
    auto Dir = ListedEntry(Ls.Out, "Reports 2024");
    ASSERT_EQ(Dir.size(), 5u) << Ls.Out;
    EXPECT_EQ(Dir[0], "dir");
    // Without --list the server's MLSD says the same, with the time in UTC.
    TCliRun Mlsd = RunCli({"-v", "-u", "tolvane:secret", Target(Srv.Port()), "ls"});
    EXPECT_NE(Mlsd.Err.find("* Listing style: mlsd"), std::string::npos) << Describe(Mlsd);
    EXPECT_EQ(ListedEntry(Mlsd.Out, "two words.txt").at(2), "12345") << Mlsd.Out;
    EXPECT_EQ(ListedEntry(Mlsd.Out, "Reports 2024").at(0), "dir") << Mlsd.Out;
    EXPECT_EQ(ListedEntry(Mlsd.Out, "two words.txt").at(3).back(), 'Z') << Mlsd.Out;
}

// A refused login, a 550 and other error replies end the run with the
// server's own text on one line; a failed download leaves nothing behind.
TEST_F(CliBinary, ServerErrorsAreReportedWithTheReplyText)
{
    if (!TPyFtpdServer::Available())
        GTEST_SKIP() << TPyFtpdServer::Missing();
    TPyFtpdOptions Opt;
    Opt.AuthFailedDelayMs = 0;
    TPyFtpdServer Srv(Opt);
    ASSERT_TRUE(Srv.Start());
    const std::string Host = Target(Srv.Port());

    TCliRun Login = RunCli({"-u", "tolvane:wrong", Host, "ls"});
    EXPECT_EQ(Login.Status, 1) << Describe(Login);
    EXPECT_TRUE(OneLineMessage(Login.Err)) << Describe(Login);
    EXPECT_NE(Login.Err.find("530 Authentication failed."), std::string::npos) << Describe(Login);
    EXPECT_TRUE(Login.Out.empty()) << Describe(Login);

    TTempDir Local("tolvane-cli-local");
    const std::string Target550 = Local.File("missing.bin");
    TCliRun Missing = RunCli({"-u", "tolvane:secret", Host, "get", "missing.bin", Target550});
    EXPECT_EQ(Missing.Status, 1) << Describe(Missing);
    EXPECT_TRUE(OneLineMessage(Missing.Err)) << Describe(Missing);
    EXPECT_NE(Missing.Err.find("550 "), std::string::npos) << Describe(Missing);
    EXPECT_FALSE(FileExists(Target550)) << "a failed download left a local file";

    TCliRun Rm = RunCli({"-u", "tolvane:secret", Host, "rm", "missing.bin"});
    EXPECT_EQ(Rm.Status, 1) << Describe(Rm);
    EXPECT_NE(Rm.Err.find("550 "), std::string::npos) << Describe(Rm);

    TCliRun Mv = RunCli({"-u", "tolvane:secret", Host, "mv", "missing.bin", "other.bin"});
    EXPECT_EQ(Mv.Status, 1) << Describe(Mv);
    EXPECT_NE(Mv.Err.find("550 "), std::string::npos) << Describe(Mv);

    TCliRun Quote = RunCli({"-u", "tolvane:secret", Host, "quote", "XNOSUCH"});
    EXPECT_EQ(Quote.Status, 1) << Describe(Quote);
    EXPECT_NE(Quote.Err.find("500 "), std::string::npos) << Describe(Quote);

    // A download target that cannot be created: a local error, nothing left behind.
    TCliRun NoFolder = RunCli({"-u", "tolvane:secret", Host, "get", "missing.bin", Local.File("no/such/x")});
    EXPECT_EQ(NoFolder.Status, 5) << Describe(NoFolder);
    EXPECT_TRUE(OneLineMessage(NoFolder.Err)) << Describe(NoFolder);
    EXPECT_FALSE(FileExists(Local.File("no")));

    // A local file that cannot be read is refused before any connection.
    TCliRun Put = RunCli({"-u", "tolvane:secret", Host, "put", Local.File("absent")});
    EXPECT_EQ(Put.Status, 5) << Describe(Put);
    EXPECT_TRUE(OneLineMessage(Put.Err)) << Describe(Put);
}

// The verbose trace shows commands and replies in wire order, never the
// password; the password may come from TOLVANE_PASSWORD; quote prints the
// whole reply.
TEST_F(CliBinary, VerboseTraceMasksThePassword)
{
    if (!TPyFtpdServer::Available())
        GTEST_SKIP() << TPyFtpdServer::Missing();
    TPyFtpdOptions Opt;
    Opt.AuthFailedDelayMs = 0;
    TPyFtpdServer Srv(Opt);
    ASSERT_TRUE(Srv.Start());
    const std::string Host = Target(Srv.Port());

    TCliRun R = RunCli({"-v", "-u", "tolvane", Host, "quote", "NOOP"}, {.Password = "secret"});
    ASSERT_EQ(R.Status, 0) << Describe(R);
    EXPECT_EQ(R.Err.find("secret"), std::string::npos) << Describe(R);
    const size_t User = R.Err.find("> USER tolvane\n");
    const size_t Pass = R.Err.find("> PASS ****\n");
    const size_t Ok = R.Err.find("< 230 ");
    const size_t Noop = R.Err.find("> NOOP\n");
    const size_t Quit = R.Err.find("> QUIT\n");
    ASSERT_NE(User, std::string::npos) << Describe(R);
    ASSERT_NE(Pass, std::string::npos) << Describe(R);
    ASSERT_NE(Ok, std::string::npos) << Describe(R);
    ASSERT_NE(Noop, std::string::npos) << Describe(R);
    ASSERT_NE(Quit, std::string::npos) << Describe(R);
    EXPECT_LT(User, Pass);
    EXPECT_LT(Pass, Ok);
    EXPECT_LT(Ok, Noop);
    EXPECT_LT(Noop, Quit);
    EXPECT_EQ(R.Out.rfind("200 ", 0), 0u) << Describe(R);

    // The environment supplies no password when -u carries one.
    TCliRun Explicit = RunCli({"-u", "tolvane:wrong", Host, "quote", "NOOP"}, {.Password = "secret"});
    EXPECT_EQ(Explicit.Status, 1) << Describe(Explicit);

    // QUIT by hand: the server's goodbye is the answer, not a dropped connection.
    TCliRun ByHand = RunCli({"-u", "tolvane:secret", Host, "quote", "QUIT"});
    EXPECT_EQ(ByHand.Status, 0) << Describe(ByHand);
    EXPECT_EQ(ByHand.Out.rfind("221 ", 0), 0u) << Describe(ByHand);

    // A multi-line reply comes out whole, closing line included.
    TCliRun Help = RunCli({"-u", "tolvane:secret", Host, "quote", "HELP"});
    ASSERT_EQ(Help.Status, 0) << Describe(Help);
    auto HelpLines = Lines(Help.Out);
    ASSERT_GE(HelpLines.size(), 3u) << Help.Out;
    EXPECT_EQ(HelpLines.front().substr(0, 4), "214-");
    EXPECT_EQ(HelpLines.back().substr(0, 4), "214 ");
}

// The progress line appears only on a terminal, and ends at 100 %.
TEST_F(CliBinary, ProgressLineOnlyOnATerminal)
{
    if (!TPyFtpdServer::Available())
        GTEST_SKIP() << TPyFtpdServer::Missing();
    TPyFtpdServer Srv;
    ASSERT_TRUE(Srv.Start());
    TTempDir Local("tolvane-cli-local");
    const std::string Source = Local.File("p.bin");
    ASSERT_NE(MakeRandomFile(Source, 3 * 1024 * 1024, 3), 0u);
    const std::string Host = Target(Srv.Port());

    TCliRun Tty = RunCli({"-u", "tolvane:secret", Host, "put", Source}, {.ErrIsTerminal = true});
    ASSERT_EQ(Tty.Status, 0) << Describe(Tty);
    EXPECT_NE(Tty.Err.find("3.0 MiB of 3.0 MiB  100%"), std::string::npos) << Describe(Tty);
    EXPECT_NE(Tty.Err.find("MB/s"), std::string::npos) << Describe(Tty);
    EXPECT_EQ(Tty.Err.front(), '\r') << Describe(Tty);

    TCliRun Pipe = RunCli({"-u", "tolvane:secret", Host, "get", "p.bin", Local.File("back.bin")});
    ASSERT_EQ(Pipe.Status, 0) << Describe(Pipe);
    EXPECT_TRUE(Pipe.Err.empty()) << Describe(Pipe);
    EXPECT_EQ(FileChecksum(Local.File("back.bin")), FileChecksum(Source));
}

// vsftpd in active and in passive mode: the wire log proves which mode ran;
// chmod goes out as SITE CHMOD and reads back from the listing; mv and the
// append and restart modes move the right bytes.
TEST_F(CliBinary, ActiveAndPassiveWithVsftpd)
{
    if (!TVsftpdServer::Available())
        GTEST_SKIP() << TVsftpdServer::Missing();
    TVsftpdServer Srv;
    ASSERT_TRUE(Srv.Start());
    TTempDir Local("tolvane-cli-local");
    const std::string Source = Local.File("v.bin");
    const uint64_t Sum = MakeRandomFile(Source, 1460 * 700 + 3, 11);
    ASSERT_NE(Sum, 0u);
    const std::string Host = Target(Srv.Port());
    const std::string User = std::string(TVsftpdServer::User()) + ":" + TVsftpdServer::Password();
    auto Cli = [&](std::vector<std::string> Args) {
        Args.insert(Args.begin(), {"-u", User});
        return RunCli(Args);
    };

    TCliRun Put = Cli({"--active", Host, "put", Source, "active.bin"});
    ASSERT_EQ(Put.Status, 0) << Describe(Put) << Srv.Log();
    EXPECT_EQ(FileChecksum(Srv.Root() + "/active.bin"), Sum);
    TCliRun Get = Cli({"--active", Host, "get", "active.bin", Local.File("active.back")});
    ASSERT_EQ(Get.Status, 0) << Describe(Get) << Srv.Log();
    EXPECT_EQ(FileChecksum(Local.File("active.back")), Sum);
    TCliRun LsActive = Cli({"--active", Host, "ls"});
    ASSERT_EQ(LsActive.Status, 0) << Describe(LsActive);
    EXPECT_EQ(ListedEntry(LsActive.Out, "active.bin").at(2), std::to_string(1460 * 700 + 3)) << LsActive.Out;
    std::string Wire = Srv.WireLog();
    EXPECT_NE(Wire.find("\"EPRT |1|127.0.0.1|"), std::string::npos) << Wire;
    EXPECT_EQ(Wire.find("\"EPSV\""), std::string::npos) << Wire;

    TCliRun PutPassive = Cli({"--active", "--passive", Host, "put", Source, "passive.bin"});
    ASSERT_EQ(PutPassive.Status, 0) << Describe(PutPassive);
    EXPECT_EQ(FileChecksum(Srv.Root() + "/passive.bin"), Sum);
    EXPECT_NE(Srv.WireLog().find("\"EPSV\""), std::string::npos);

    TCliRun Chmod = Cli({Host, "chmod", "640", "passive.bin"});
    ASSERT_EQ(Chmod.Status, 0) << Describe(Chmod);
    EXPECT_NE(Srv.WireLog().find("\"SITE CHMOD 640 passive.bin\""), std::string::npos);
    TCliRun Ls = Cli({Host, "ls"});
    ASSERT_EQ(Ls.Status, 0) << Describe(Ls);
    auto Entry = ListedEntry(Ls.Out, "passive.bin");
    ASSERT_EQ(Entry.size(), 5u) << Ls.Out;
    EXPECT_EQ(Entry[1], "rw-r-----");

    TCliRun Mv = Cli({Host, "mv", "passive.bin", "renamed.bin"});
    ASSERT_EQ(Mv.Status, 0) << Describe(Mv);
    EXPECT_FALSE(FileExists(Srv.Root() + "/passive.bin"));
    EXPECT_EQ(FileChecksum(Srv.Root() + "/renamed.bin"), Sum);

    // Upload the first part, then the rest with a restart at that offset.
    const std::string Content = ReadFile(Source);
    const size_t Half = Content.size() / 2;
    ASSERT_TRUE(WriteFile(Local.File("half.bin"), Content.substr(0, Half)));
    ASSERT_EQ(Cli({Host, "put", Local.File("half.bin"), "restart.bin"}).Status, 0);
    TCliRun Restart = Cli({Host, "--restart-at", std::to_string(Half), "put", Source, "restart.bin"});
    ASSERT_EQ(Restart.Status, 0) << Describe(Restart);
    EXPECT_EQ(FileChecksum(Srv.Root() + "/restart.bin"), Sum);

    // Download: resume a partial local copy where it ends.
    ASSERT_TRUE(WriteFile(Local.File("resume.bin"), Content.substr(0, Half + 5)));
    TCliRun Resume = Cli({Host, "--mode", "restart", "get", "renamed.bin", Local.File("resume.bin")});
    ASSERT_EQ(Resume.Status, 0) << Describe(Resume);
    EXPECT_EQ(FileChecksum(Local.File("resume.bin")), Sum);
    EXPECT_NE(Srv.WireLog().find("\"REST " + std::to_string(Half + 5) + "\""), std::string::npos);

    // Unique never overwrites: the server picks a new name.
    TCliRun Unique = Cli({Host, "--mode", "unique", "put", Local.File("half.bin"), "renamed.bin"});
    ASSERT_EQ(Unique.Status, 0) << Describe(Unique);
    EXPECT_EQ(FileChecksum(Srv.Root() + "/renamed.bin"), Sum);
    EXPECT_NE(Srv.WireLog().find("\"STOU"), std::string::npos);

    // Append adds the whole file to the remote one.
    TCliRun Append = Cli({Host, "--mode", "append", "put", Local.File("half.bin"), "half-twice.bin"});
    ASSERT_EQ(Append.Status, 0) << Describe(Append);
    ASSERT_EQ(Cli({Host, "--mode", "append", "put", Local.File("half.bin"), "half-twice.bin"}).Status, 0);
    EXPECT_EQ(ReadFile(Srv.Root() + "/half-twice.bin"), Content.substr(0, Half) + Content.substr(0, Half));
}

// Failures a real server does not produce on demand, from a scripted one.
TEST_F(CliBinary, ScriptedStallsDropsAndHostileRepliesEndTheRun)
{
    {
        // The data connection stalls: the transfer time-out ends the run.
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures()
            .Reply("TYPE I", "200 ok")
            .ExpectPasv()
            .Expect("RETR f.bin")
            .Send("150 go")
            .AcceptData()
            .SendData("abc")
            .Pause(2500);
        TTempDir Local("tolvane-cli-local");
        TCliRun R = RunCli({"-u", "bob:pw", "--timeout", "300", Target(Srv.Port()), "get", "f.bin",
                            Local.File("f.bin")});
        EXPECT_EQ(R.Status, 4) << Describe(R);
        EXPECT_EQ(R.Err, "tolvane-cli: Transfer timed out\n") << Describe(R);
        EXPECT_LT(R.Seconds, 5.0) << Describe(R);
    }
    {
        // Ctrl-C in the middle of a download: the existing local file is
        // kept as it was and no partial file is left beside it.
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures()
            .Reply("TYPE I", "200 ok")
            .ExpectPasv()
            .Expect("RETR f.bin")
            .Send("150 go")
            .AcceptData()
            .SendData(std::string(100000, 'n'))
            .Pause(2500);
        TTempDir Local("tolvane-cli-local");
        ASSERT_TRUE(WriteFile(Local.File("f.bin"), "old content"));
        TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "get", "f.bin", Local.File("f.bin")},
                           {.InterruptAfterMs = 700});
        EXPECT_EQ(R.Status, 130) << Describe(R);
        EXPECT_EQ(R.Err, "tolvane-cli: interrupted\n") << Describe(R);
        EXPECT_EQ(ReadFile(Local.File("f.bin")), "old content");
        DIR *D = ::opendir(Local.Path().c_str());
        ASSERT_NE(D, nullptr);
        int Entries = 0;
        while (dirent *E = ::readdir(D))
            Entries += std::strcmp(E->d_name, ".") != 0 && std::strcmp(E->d_name, "..") != 0;
        ::closedir(D);
        EXPECT_EQ(Entries, 1) << "files left beside the download target";
    }
    {
        // No reply at all after the login: the same limit applies.
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures().Expect("PWD").Pause(2500);
        TCliRun R = RunCli({"-u", "bob:pw", "--timeout", "300", Target(Srv.Port()), "quote", "PWD"});
        EXPECT_EQ(R.Status, 4) << Describe(R);
        EXPECT_TRUE(OneLineMessage(R.Err)) << Describe(R);
        EXPECT_LT(R.Seconds, 5.0) << Describe(R);
    }
    {
        // The data arrives whole but the control connection drops before the
        // server confirms it: that is no success.
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures()
            .Reply("TYPE I", "200 ok")
            .ExpectPasv()
            .Expect("RETR f.bin")
            .Send("150 go")
            .AcceptData()
            .SendData("all of it")
            .CloseData()
            .Close();
        TTempDir Local("tolvane-cli-local");
        TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "get", "f.bin", Local.File("f.bin")});
        EXPECT_EQ(R.Status, 3) << Describe(R);
        EXPECT_TRUE(OneLineMessage(R.Err)) << Describe(R);
    }
    {
        // 421 carries no error event; its text still ends the run.
        TScriptedFtpServer Srv;
        Srv.Send("421 Too many users, try later").Close();
        TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "ls"});
        EXPECT_EQ(R.Status, 1) << Describe(R);
        EXPECT_EQ(R.Err, "tolvane-cli: 421 Too many users, try later\n") << Describe(R);
    }
    {
        // Hostile reply text reaches the terminal escaped, on one line.
        TScriptedFtpServer Srv;
        const char Hostile[] = "550 no\x1b[2J\x07 way\0!\xff\r\n";
        Srv.Login("bob", "pw").NoFeatures()
            .Expect("DELE x")
            .SendRaw(std::string(Hostile, sizeof Hostile - 1))
            .Expect("QUIT")
            .Send("221 Bye");
        TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "rm", "x"});
        EXPECT_EQ(R.Status, 1) << Describe(R);
        EXPECT_TRUE(OneLineMessage(R.Err)) << Describe(R);
        EXPECT_EQ(R.Err.find('\x1b'), std::string::npos) << Describe(R);
        EXPECT_NE(R.Err.find("550 no\\x1b[2J\\x07 way"), std::string::npos) << Describe(R);
    }
}

// What the outcome was decides the exit status, also where the engine
// found the fault itself: a listing past the client's cap is printed up to
// the cap and the run fails with the reason; a download whose server
// announced more than it sent is no success; a local file that cannot be
// written is a local failure.
TEST_F(CliBinary, ListingCutsShortDownloadsAndLocalWriteErrorsAreFailures)
{
    {
        std::string Listing;
        const std::string Line = "-rw-r--r-- 1 bob users 12345 Jan 15 10:30 some-file-name\r\n";
        while (Listing.size() < (100u << 20))
            Listing += Line;
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures().Reply("SYST", "215 UNIX Type: L8").Reply("PWD", "257 \"/\"").Reply("TYPE A", "200 ok")
            .ExpectPasv().Expect("LIST").Send("150 go").AcceptData().SendData(Listing).CloseData()
            .Send("226 ok").Expect("QUIT").Send("221 Bye");
        TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "ls"}, {.TimeoutMs = 60000});
        EXPECT_EQ(R.Status, 1) << Describe(R).substr(0, 2000);
        EXPECT_EQ(R.Err, "tolvane-cli: Listing cut at 64 MiB: the server sent more\n");
        const size_t Whole = (64u << 20) / Line.size();
        const size_t Lines = std::count(R.Out.begin(), R.Out.end(), '\n');
        EXPECT_GE(Lines, Whole);
        EXPECT_LE(Lines, Whole + 1);
        EXPECT_NE(R.Out.find("some-file-name"), std::string::npos);
    }
    {
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures().Reply("TYPE I", "200 ok").ExpectPasv().Expect("RETR f.bin")
            .Send("150 Opening BINARY mode data connection for f.bin (1000 bytes).").AcceptData()
            .SendData("only this").CloseData().Send("226 ok");
        TTempDir Local("tolvane-cli-local");
        ASSERT_TRUE(WriteFile(Local.File("f.bin"), "old content"));
        TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "get", "f.bin", Local.File("f.bin")});
        EXPECT_EQ(R.Status, 3) << Describe(R);
        EXPECT_EQ(R.Err, "tolvane-cli: Download incomplete: 9 of 1000 bytes received\n") << Describe(R);
        EXPECT_EQ(ReadFile(Local.File("f.bin")), "old content");
    }
    {
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures().Reply("TYPE I", "200 ok").ExpectPasv().Expect("RETR f.bin").Send("150 go")
            .AcceptData().SendData(std::string(100000, 'z')).CloseData().Send("226 ok");
        TCliRun R = RunCli({"-u", "bob:pw", "--mode", "append", Target(Srv.Port()), "get", "f.bin", "/dev/full"});
        EXPECT_EQ(R.Status, 5) << Describe(R);
        EXPECT_NE(R.Err.find("No space left on device"), std::string::npos) << Describe(R);
    }
}

// Through microsocks (SOCKS 5 with user name and password): listing and a
// download work; a wrong proxy password and a refused target fail cleanly
// with the proxy's answer instead of hanging.
TEST_F(CliBinary, ThroughSocks5Proxy)
{
    if (!TPyFtpdServer::Available())
        GTEST_SKIP() << TPyFtpdServer::Missing();
    if (!TMicrosocksProxy::Available())
        GTEST_SKIP() << TMicrosocksProxy::Missing();
    TPyFtpdServer Srv;
    ASSERT_TRUE(Srv.Start());
    TMicrosocksProxy Proxy("puser", "ppass");
    ASSERT_TRUE(Proxy.Start());
    const uint64_t Sum = MakeRandomFile(Srv.Root() + "/s.bin", 200000, 5);
    TTempDir Local("tolvane-cli-local");
    const std::vector<std::string> Base = {"-u", "tolvane:secret", "--socks5", Target(Proxy.Port()),
                                           "--proxy-user", "puser:ppass"};
    auto Cli = [&](std::vector<std::string> Args, std::vector<std::string> Head) {
        Head.insert(Head.end(), Args.begin(), Args.end());
        return RunCli(Head, {.TimeoutMs = 10000});
    };

    TCliRun Ls = Cli({Target(Srv.Port()), "ls"}, Base);
    ASSERT_EQ(Ls.Status, 0) << Describe(Ls) << Proxy.Log();
    EXPECT_EQ(ListedEntry(Ls.Out, "s.bin").size(), 5u) << Ls.Out;
    TCliRun Get = Cli({Target(Srv.Port()), "get", "s.bin", Local.File("s.bin")}, Base);
    ASSERT_EQ(Get.Status, 0) << Describe(Get) << Proxy.Log();
    EXPECT_EQ(FileChecksum(Local.File("s.bin")), Sum);

    TCliRun BadPassword = RunCli({"-u", "tolvane:secret", "--socks5", Target(Proxy.Port()), "--proxy-user",
                                  "puser:wrong", Target(Srv.Port()), "ls"},
                                 {.TimeoutMs = 10000});
    EXPECT_FALSE(BadPassword.TimedOut) << Describe(BadPassword);
    EXPECT_EQ(BadPassword.Status, 3) << Describe(BadPassword);
    EXPECT_TRUE(OneLineMessage(BadPassword.Err)) << Describe(BadPassword);

    // The proxy cannot reach the target: its refusal code is shown.
    TCliRun Refused = Cli({Target(FreeTcpPort()), "ls"}, Base);
    EXPECT_EQ(Refused.Status, 3) << Describe(Refused);
    EXPECT_NE(Refused.Err.find("SOCKS request refused - "), std::string::npos) << Describe(Refused);
}

// dante speaks SOCKS 4 and 4A as well: the version options reach the wire;
// --socks5-hostname hands it the server's name.
TEST_F(CliBinary, ThroughSocks4AndSocks4aProxy)
{
    if (!TPyFtpdServer::Available())
        GTEST_SKIP() << TPyFtpdServer::Missing();
    if (!TDanteProxy::Available())
        GTEST_SKIP() << TDanteProxy::Missing();
    TPyFtpdServer Srv;
    ASSERT_TRUE(Srv.Start());
    TDanteProxy Proxy;
    ASSERT_TRUE(Proxy.Start());
    ASSERT_TRUE(WriteFile(Srv.Root() + "/four.txt", "via socks 4\n"));
    for (const char *Option : {"--socks4", "--socks4a"}) {
        TCliRun Ls = RunCli({"-u", "tolvane:secret", Option, Target(Proxy.Port()), Target(Srv.Port()), "ls"},
                            {.TimeoutMs = 10000});
        ASSERT_EQ(Ls.Status, 0) << Option << "\n" << Describe(Ls) << Proxy.Log();
        EXPECT_EQ(ListedEntry(Ls.Out, "four.txt").size(), 5u) << Ls.Out;
    }
    // The proxy is handed the name and looks it up itself.
    TCliRun Named = RunCli({"-u", "tolvane:secret", "--socks5-hostname", Target(Proxy.Port()),
                            "localhost:" + std::to_string(Srv.Port()), "ls"},
                           {.TimeoutMs = 10000});
    ASSERT_EQ(Named.Status, 0) << Describe(Named) << Proxy.Log();
    EXPECT_EQ(ListedEntry(Named.Out, "four.txt").size(), 5u) << Named.Out;
    // The option is no decoration: without a proxy at that address there is
    // no connection.
    TCliRun NoProxy = RunCli({"-u", "tolvane:secret", "--socks4", Target(FreeTcpPort()), Target(Srv.Port()), "ls"},
                             {.TimeoutMs = 10000});
    EXPECT_EQ(NoProxy.Status, 3) << Describe(NoProxy);
    // A SOCKS 5 only proxy does not understand version 4.
    if (TMicrosocksProxy::Available()) {
        TMicrosocksProxy Five;
        ASSERT_TRUE(Five.Start());
        TCliRun Wrong = RunCli({"-u", "tolvane:secret", "--socks4", Target(Five.Port()), Target(Srv.Port()), "ls"},
                               {.TimeoutMs = 10000});
        EXPECT_FALSE(Wrong.TimedOut) << Describe(Wrong);
        EXPECT_NE(Wrong.Status, 0) << Describe(Wrong);
    }
}

// FTP over TLS in curl's manner: --ssl-reqd with --cacert, -k, and a
// certificate that is not trusted (exit 3 with the reason, no login).
TEST_F(CliBinary, FtpOverTlsWithVsftpd)
{
    if (!TVsftpdServer::Available())
        GTEST_SKIP() << TVsftpdServer::Missing();
    const TTestCerts &Certs = TTestCerts::Get();
    ASSERT_TRUE(Certs.Error.empty()) << Certs.Error;
    TVsftpdServer Srv({.TlsPem = Certs.ServerPem});
    ASSERT_TRUE(Srv.Start());
    TTempDir Local("tolvane-cli-local");
    const uint64_t Sum = MakeRandomFile(Local.File("t.bin"), 3 * 65536 + 5, 21);
    const std::string User = std::string(TVsftpdServer::User()) + ":" + TVsftpdServer::Password();
    const std::string Host = Target(Srv.Port());

    TCliRun Put = RunCli({"-v", "--ssl-reqd", "--cacert", Certs.CaFile, "-u", User, Host, "put", Local.File("t.bin")});
    ASSERT_EQ(Put.Status, 0) << Describe(Put) << Srv.Log();
    EXPECT_EQ(FileChecksum(Srv.Root() + "/t.bin"), Sum);
    EXPECT_NE(Put.Err.find("> AUTH TLS"), std::string::npos) << Describe(Put);
    EXPECT_NE(Put.Err.find("* TLS TLSv1."), std::string::npos) << Describe(Put);
    EXPECT_NE(Put.Err.find(", certificate verified"), std::string::npos) << Describe(Put);
    EXPECT_NE(Put.Err.find("> PROT P"), std::string::npos) << Describe(Put);
    TCliRun Get = RunCli({"--ssl", "--cacert", Certs.CaFile, "--active", "-u", User, Host, "get", "t.bin",
                          Local.File("back.bin")});
    ASSERT_EQ(Get.Status, 0) << Describe(Get) << Srv.Log();
    EXPECT_EQ(FileChecksum(Local.File("back.bin")), Sum);

    TCliRun Untrusted = RunCli({"--ssl-reqd", "--cacert", Certs.OtherCaFile, "-u", User, Host, "ls"});
    EXPECT_EQ(Untrusted.Status, 3) << Describe(Untrusted);
    const std::string Presented = TTestCerts::Sha256(Certs.ServerPem);
    EXPECT_EQ(Untrusted.Err, "tolvane-cli: certificate verify failed: unable to get local issuer certificate (the "
                             "server presented SHA-256 " + Presented + ")\n");
    TCliRun Pinned = RunCli({"--ssl-reqd", "--fingerprint", Presented, "-u", User, Host, "ls"});
    EXPECT_EQ(Pinned.Status, 0) << Describe(Pinned);
    TCliRun Refused = RunCli({"--ssl-reqd", "--fingerprint", TTestCerts::Sha256(Certs.ExpiredPem), "-u", User, Host, "ls"});
    EXPECT_EQ(Refused.Status, 3) << Describe(Refused);
    EXPECT_NE(Refused.Err.find("presented SHA-256 " + Presented), std::string::npos) << Describe(Refused);
    // --ftps: TLS from the first byte, no AUTH TLS; --fingerprint: no CA, that certificate only.
    TVsftpdServer Implicit({.TlsPem = Certs.ServerPem, .ImplicitTls = true});
    ASSERT_TRUE(Implicit.Start());
    TCliRun Ftps = RunCli({"-v", "--ftps", "--cacert", Certs.CaFile, "-u", User, Target(Implicit.Port()), "ls"});
    EXPECT_EQ(Ftps.Status, 0) << Describe(Ftps) << Implicit.Log();
    EXPECT_EQ(Ftps.Err.find("> AUTH TLS"), std::string::npos) << Describe(Ftps);
    EXPECT_NE(Ftps.Err.find("> PROT P"), std::string::npos) << Describe(Ftps);
    EXPECT_TRUE(Untrusted.Out.empty());

    TCliRun Insecure = RunCli({"--ssl-reqd", "-k", "-u", User, Host, "ls"});
    EXPECT_EQ(Insecure.Status, 0) << Describe(Insecure);
    EXPECT_NE(Insecure.Err.find("--insecure"), std::string::npos) << Describe(Insecure);
    EXPECT_FALSE(ListedEntry(Insecure.Out, "t.bin").empty()) << Insecure.Out;
}

TEST_F(CliBinary, RequiredTlsAgainstAPlainServerExitsThreeBeforeTheLogin)
{
    TScriptedFtpServer Srv;
    Srv.Send("220 plain").Expect("AUTH TLS").Send("502 Command not implemented").ExpectClosed();
    TCliRun Run = RunCli({"--ssl-reqd", "-u", "bob:secret", Target(Srv.Port()), "ls"}, {.TimeoutMs = 10000});
    EXPECT_EQ(Run.Status, 3) << Describe(Run);
    EXPECT_EQ(Run.Err, "tolvane-cli: Server does not support TLS\n");
    ASSERT_TRUE(Srv.WaitDone());
    EXPECT_EQ(Srv.Received(), (std::vector<std::string>{"AUTH TLS"}));
}
