#pragma once
// Shared by the end-to-end FTP tests: a real server of either kind, a client
// session with recorded events, and a recording folder tree.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "ftp/IpFtpClient.h"
#include "ftp/IpFtpList.h"
#include "ftp/test_ftp_fixture.h" // StatusName, TRecordingTree
#include "support/EventLoop.h"
#include "support/RealPeers.h"
#include "support/TestPaths.h"


// One real server of either kind.
class TServer
{
public:
    // TlsPem (key and certificate) makes it an FTP-over-TLS server.
    // Ipv6 makes it listen on ::1.
    explicit TServer(const std::string &Kind, TPyFtpdOptions Options = {}, const std::string &TlsPem = {},
                     bool ImplicitTls = false, bool Ipv6 = false)
        : FKind(Kind)
    {
        if (Kind == "pyftpd") {
            Options.TlsPem = TlsPem;
            Options.ImplicitTls = ImplicitTls;
            Options.Ipv6 = Ipv6;
            FPy = std::make_unique<TPyFtpdServer>(Options);
        } else {
            TVsftpdOptions Vs;
            Vs.TlsPem = TlsPem;
            Vs.ImplicitTls = ImplicitTls;
            Vs.Ipv6 = Ipv6;
            FVs = std::make_unique<TVsftpdServer>(Vs);
        }
    }
    static bool Available(const std::string &Kind)
    {
        return Kind == "pyftpd" ? TPyFtpdServer::Available() : TVsftpdServer::Available();
    }
    static std::string Missing(const std::string &Kind)
    {
        return Kind == "pyftpd" ? TPyFtpdServer::Missing() : TVsftpdServer::Missing();
    }
    testing::AssertionResult Start() { return FPy ? FPy->Start() : FVs->Start(); }
    uint16_t Port() const { return FPy ? FPy->Port() : FVs->Port(); }
    std::string User() const { return FPy ? FPy->Options().User : TVsftpdServer::User(); }
    std::string Password() const { return FPy ? FPy->Options().Password : TVsftpdServer::Password(); }
    const std::string &Root() const { return FPy ? FPy->Root() : FVs->Root(); }
    std::string Path(const std::string &Name) const { return Root() + "/" + Name; }
    // Puts a file (or folder) into the served tree, owned by the server's user.
    void Put(const std::string &Name, const std::string &Data) const
    {
        ASSERT_TRUE(WriteFile(Path(Name), Data));
        if (FVs) {
            ASSERT_TRUE(FVs->GiveToServer(Path(Name)));
        }
    }
    void MakeDir(const std::string &Name) const
    {
        ASSERT_EQ(::mkdir(Path(Name).c_str(), 0755), 0);
        if (FVs) {
            ASSERT_TRUE(FVs->GiveToServer(Path(Name)));
        }
    }
    std::string Log() const { return FPy ? FPy->Log() : FVs->Log(); }

private:
    std::string FKind;
    std::unique_ptr<TPyFtpdServer> FPy;
    std::unique_ptr<TVsftpdServer> FVs;
};

// A client with its events recorded and helpers that wait for an operation.
class TSession
{
public:
    TSession()
    {
        Client.OnFtpReply = [this](TObject *, int Code, const std::string &Text) {
            Events.push_back("reply " + std::to_string(Code));
            LastReply = Text;
        };
        Client.OnFtpStatus = [this](TObject *, TIpFtpStatusCode Code, const std::string &Info) {
            if (Code == fscProgress)
                return;
            Events.push_back(StatusName(Code));
            if (Code == fscDirList)
                LastListing = Info;
        };
        Client.OnFtpError = [this](TObject *, int Code, const std::string &Text) {
            Events.push_back("error " + std::to_string(Code));
            LastError = Text;
        };
        Client.OnFtpLoginError = [this](TObject *, int Code, const std::string &Text) {
            Events.push_back("loginerror " + std::to_string(Code));
            LastError = Text;
        };
        Client.OnError = [this](TObject *, TSocket, int Code, const std::string &Text) {
            Events.push_back("sockerror " + std::to_string(Code));
            LastError = Text;
        };
        Client.OnFtpDisconnected = [this](TObject *) { Events.push_back("disconnected"); };
    }
    bool Has(const std::string &E) const
    {
        for (const auto &e : Events)
            if (e == E)
                return true;
        return false;
    }
    std::string Joined() const
    {
        std::string s;
        for (const auto &e : Events)
            s += (s.empty() ? "" : ", ") + e;
        return s;
    }
    testing::AssertionResult LoginTo(const TServer &Server, const std::string &Host = "127.0.0.1")
    {
        Events.clear();
        if (!Client.Login(IpHostPortText(Host, Server.Port()), Server.User(), Server.Password()))
            return testing::AssertionFailure() << "Login refused";
        return WaitFor("fscLogin", 10000);
    }
    // Waits for the event and then for the client to be idle.
    testing::AssertionResult WaitFor(const std::string &Event, int Ms = 60000)
    {
        if (!RunUntil([&] { return Has(Event) && Client.FtpState() == stReady; }, Ms))
            return testing::AssertionFailure() << "no " << Event << " in ready state; events: " << Joined()
                                               << "; last error: " << LastError;
        return testing::AssertionSuccess();
    }
    // A file transfer is over when the data connection closed and the server
    // confirmed it.
    testing::AssertionResult WaitTransfer(int Ms = 120000)
    {
        if (!RunUntil([&] { return Has("fscTransferOK") && (Has("reply 226") || Has("reply 250")) &&
                                   Client.FtpState() == stReady; },
                      Ms))
            return testing::AssertionFailure() << "transfer did not finish; events: " << Joined()
                                               << "; last error: " << LastError;
        if (Has("fscTimeout") || Has("sockerror 10054"))
            return testing::AssertionFailure() << "transfer failed: " << Joined();
        return testing::AssertionSuccess();
    }
    testing::AssertionResult Command(const std::string &Line, const std::string &Expect)
    {
        Events.clear();
        if (!Client.SendFtpCommand(Line))
            return testing::AssertionFailure() << "refused: " << Line;
        return WaitFor(Expect, 10000);
    }
    // The parsed entries of a listing of Path.
    testing::AssertionResult List(const std::string &Path, TIpFtpFileList &Into)
    {
        Events.clear();
        Client.ListDir(Path, true);
        auto R = WaitFor("fscDirList", 20000);
        if (!R)
            return R;
        RunUntil([&] { return Has("reply 226"); }, 2000);
        Into.ParseListing(LastListing, Client.ListedWithMlsd() ? dsMlsd : dsUnix);
        return testing::AssertionSuccess();
    }

    TIpFtpClient Client;
    std::vector<std::string> Events;
    std::string LastReply, LastError, LastListing;
};

inline const TIpFtpFileInfo *Find(const TIpFtpFileList &List, const std::string &Name)
{
    for (std::size_t i = 0; i < List.Count(); ++i)
        if (List[i]->FileName == Name)
            return List[i];
    return nullptr;
}
