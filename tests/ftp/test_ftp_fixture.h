#pragma once
// Shared by the FTP client tests: a client whose events are recorded as
// short texts in arrival order, a recording folder tree, and script
// shorthands for the scripted peer.

#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "ftp/IpFtpClient.h"
#include "support/EventLoop.h"
#include "support/ScriptedPeer.h"
#include "support/TestPaths.h"

inline const char *StatusName(TIpFtpStatusCode Code)
{
    static const char *Names[] = {"fscClose",    "fscOpen",     "fscLogin",    "fscLogout",
                                  "fscComplete", "fscCurrentDir", "fscSystem", "fscDirList",
                                  "fscInfo",     "fscProgress", "fscTransferOK", "fscTimeout"};
    return Code <= fscTimeout ? Names[Code] : "fsc?";
}

// A folder tree that only records what the client asks of it.
class TRecordingTree : public TIpFtpDirTree
{
public:
    void ClearAll() override { Calls.push_back("ClearAll"); }
    void SetCurrentPath(const std::string &Path) override { Calls.push_back("SetCurrentPath " + Path); }
    void LoadListing(const std::string &Listing) override
    {
        Calls.push_back("LoadListing");
        Listings.push_back(Listing);
    }
    TIpFtpDirStyle DirectoryStyle() const override { return Style; }
    void SetDirectoryStyle(TIpFtpDirStyle Value) override { Style = Value; }

    TIpFtpDirStyle Style = dsNone;
    std::vector<std::string> Calls;
    std::vector<std::string> Listings;
};

// A client with every event recorded. Replies are recorded with their code
// and first line; statuses with their name (and Info when asked).
class TRecordedClient
{
public:
    TRecordedClient()
    {
        Client.OnFtpReply = [this](TObject *Sender, int Code, const std::string &Text) {
            EXPECT_EQ(Sender, &Client);
            Events.push_back("reply " + std::to_string(Code));
            Replies.push_back(Text);
        };
        Client.OnFtpStatus = [this](TObject *, TIpFtpStatusCode Code, const std::string &Info) {
            if (Code == fscProgress) {
                ++Progress;
                if (!RecordProgress)
                    return;
            }
            Events.push_back(StatusName(Code));
            Infos.push_back(Info);
        };
        Client.OnFtpError = [this](TObject *, int Code, const std::string &Text) {
            Events.push_back("error " + std::to_string(Code));
            Errors.push_back(Text);
        };
        Client.OnFtpLoginError = [this](TObject *, int Code, const std::string &Text) {
            Events.push_back("loginerror " + std::to_string(Code));
            Errors.push_back(Text);
        };
        Client.OnFtpConnected = [this](TObject *) { Events.push_back("connected"); };
        Client.OnFtpDisconnected = [this](TObject *) { Events.push_back("disconnected"); };
        Client.OnError = [this](TObject *, TSocket, int Code, const std::string &Text) {
            Events.push_back("sockerror " + std::to_string(Code));
            Errors.push_back(Text);
        };
    }

    bool Has(const std::string &Event) const
    {
        for (const auto &e : Events)
            if (e == Event)
                return true;
        return false;
    }
    int IndexOf(const std::string &Event) const
    {
        for (size_t i = 0; i < Events.size(); ++i)
            if (Events[i] == Event)
                return static_cast<int>(i);
        return -1;
    }
    std::string Joined() const
    {
        std::string s;
        for (const auto &e : Events)
            s += (s.empty() ? "" : ", ") + e;
        return s;
    }
    // Runs the loop until the client is idle (stReady) with nothing stacked
    // or the time is up.
    bool WaitReady(int ms = 5000)
    {
        return RunUntil([&] { return Client.FtpState() == stReady; }, ms);
    }

    TIpFtpClient Client;
    std::vector<std::string> Events;
    std::vector<std::string> Replies;
    std::vector<std::string> Infos;
    std::vector<std::string> Errors;
    int Progress = 0;
    bool RecordProgress = false;
};

// Greeting, USER, PASS, 230, and no features.
inline TScriptedPeer &ScriptLogin(TScriptedPeer &Peer, const std::string &User = "bob",
                                  const std::string &Pass = "pw")
{
    return Peer.Send("220 Scripted FTP ready")
        .Expect("USER " + User)
        .Send("331 Password required")
        .Expect("PASS " + Pass)
        .Send("230 Logged in")
        .NoFeatures();
}

inline std::string LocalAddress(uint16_t Port) { return "127.0.0.1:" + std::to_string(Port); }

// Logs the recorded client in against Peer (which must run ScriptLogin).
inline ::testing::AssertionResult LoginTo(TRecordedClient &R, TScriptedPeer &Peer,
                                          const std::string &User = "bob", const std::string &Pass = "pw")
{
    if (!R.Client.Login(LocalAddress(Peer.Port()), User, Pass))
        return ::testing::AssertionFailure() << "Login refused";
    if (!RunUntil([&] { return R.Client.FtpState() == stReady && R.Client.LoggedIn(); }, 5000))
        return ::testing::AssertionFailure() << "not logged in; events: " << R.Joined() << "; peer: "
                                             << Peer.Describe();
    return ::testing::AssertionSuccess();
}

// After a transfer that ended on the client's side: the next command gets
// its own answer, never a reply the server still owed the transfer.
inline ::testing::AssertionResult NextCommandGetsItsOwnAnswer(TRecordedClient &R, TScriptedPeer &Peer)
{
    // A server one reply short holds the command back for IpFtpOwedReplyWaitMs.
    Peer.SetStepTimeout(int(IpFtpOwedReplyWaitMs) + 3000).Expect("NOOP").SetStepTimeout(5000).Send("200 NOOP ok");
    const size_t Before = R.Replies.size();
    if (!R.WaitReady() || !R.Client.SendFtpCommand("NOOP"))
        return ::testing::AssertionFailure() << "client not ready; events: " << R.Joined();
    if (!RunUntil([&] { return R.Replies.size() > Before && R.Client.FtpState() == stReady; }, 8000))
        return ::testing::AssertionFailure() << "no answer; events: " << R.Joined() << "; peer: " << Peer.Describe();
    if (R.Replies.size() != Before + 1 || R.Replies[Before].compare(0, 4, "200 ") != 0)
        return ::testing::AssertionFailure() << "answered by \"" << R.Replies[Before] << "\"; events: " << R.Joined();
    return ::testing::AssertionSuccess();
}

// Names in Dir (without "." and "..").
inline std::vector<std::string> DirEntries(const std::string &Dir)
{
    std::vector<std::string> Names;
    if (DIR *D = opendir(Dir.c_str())) {
        while (dirent *E = readdir(D))
            if (std::string(E->d_name) != "." && std::string(E->d_name) != "..")
                Names.push_back(E->d_name);
        closedir(D);
    }
    return Names;
}

// Transfers against a scripted server: binary type, passive mode, a
// temporary folder for the local files.
struct TTransferTest : ::testing::Test
{
    void SetUp() override
    {
        R.Client.SetFileType(ftBinary);
        R.Client.SetPassiveMode(true);
    }
    TTempDir Dir;
    TScriptedPeer Peer;
    TRecordedClient R;
};

