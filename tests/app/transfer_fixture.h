#pragma once
// The window logged in to a scripted server whose every line the test
// checks: shared by the transfer tests.

#include <gtest/gtest.h>

#include <QAction>
#include <QListView>
#include <QTimer>

#include "app/FileListModel.h"
#include "app_fixture.h"
#include "ftp/test_ftp_fixture.h"

namespace {

const char *const RootListing = "drwxr-xr-x 2 o g 0 Jan 01 12:00 pub\r\n"
                                "-rw-r--r-- 1 o g 5 Jan 01 12:00 a.txt\r\n"
                                "-rw-r--r-- 1 o g 9 Jan 01 12:00 x/../../escape.txt\r\n"
                                "-rwxr-x--- 1 o g 7 Jan 01 12:00 run.sh\r\n";

inline bool Contains(const std::vector<std::string> &Lines, const std::string &Prefix)
{
    for (const std::string &L : Lines)
        if (L.rfind(Prefix, 0) == 0)
            return true;
    return false;
}

} // namespace

class TransferFlow : public TWindowFixture
{
protected:
    // The window logged in to the scripted server, showing the root folder,
    // idle and switched to passive mode.
    void LogIn()
    {
        ScriptLogin(Peer, "bob", "pw")
            .Reply("SYST", "215 UNIX Type: L8")
            .Reply("PWD", "257 \"/\" is current")
            .ExpectPort()
            .Send("200 PORT ok")
            .Reply("TYPE A", "200 ok")
            .Expect("LIST")
            .ConnectData()
            .Send("150 here")
            .SendData(RootListing)
            .CloseData()
            .Send("226 done");
        WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Peer.Port()) +
                      "\nUsername=bob\nPassword=pw\nDefault=/pub\nPassive=0\n");
        StartWindow();
        Find<QTimer>("Timer2")->stop(); // its refresh would interleave with the script
        ShowWindow();
        ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
        ASSERT_EVENTUALLY(Idle() && Window->FileListModel()->Count() == 3, 10000) << Peer.Describe();
        Window->IpFtpClient()->SetPassiveMode(true);
    }
    bool Idle() const
    {
        return Window->IpFtpClient()->FtpState() == stReady && !Window->IpFtpClient()->TransferStream();
    }
    void Select(const std::string &Name)
    {
        for (int I = 0; I < Window->FileListModel()->Count(); ++I)
            if (Window->FileListModel()->Entry(I)->FileName == Name) {
                List()->setCurrentIndex(Window->FileListModel()->index(I));
                return;
            }
        FAIL() << "no entry " << Name;
    }
    QListView *List() const { return Window->findChild<QListView *>(QStringLiteral("lbxFiles")); }
    void Trigger(const char *Action) { Find<QAction>(Action)->trigger(); }
    // A passive upload of Name as the server sees it, then the refresh
    // the window asks for once the server confirmed it.
    void ScriptUpload(const std::string &Lines, const std::string &Name)
    {
        Peer.Reply("TYPE I", "200 ok").ExpectPasv();
        size_t Start = 0;
        while (Start < Lines.size()) {
            const size_t End = Lines.find('\n', Start);
            Peer.Expect(Lines.substr(Start, End - Start)).Send("350 ok");
            Start = End == std::string::npos ? Lines.size() : End + 1;
        }
        Peer.Expect("STOR " + Name).Send("150 go").AcceptData().ReceiveData().Send("226 stored");
        Peer.Expect("CWD /").Send("250 ok").Reply("PWD", "257 \"/\"").Reply("TYPE A", "200 ok").ExpectPasv()
            .Expect("LIST").Send("150 here").AcceptData().SendData(RootListing).CloseData().Send("226 done");
    }

    TScriptedPeer Peer;
};

