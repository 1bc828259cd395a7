// What the user is told when a connection does not come about, and that
// Connect always gets away from a dead session; against scripted servers.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include <tuple>

#include "app_fixture.h"
#include "ftp/test_ftp_fixture.h"

namespace {

QString AccessibleName(QObject *Object)
{
    QAccessibleInterface *Iface = QAccessible::queryAccessibleInterface(Object);
    return Iface ? Iface->text(QAccessible::Name) : QString();
}

} // namespace

class SessionOutcome : public TWindowFixture
{
protected:
    void Start(uint16_t Port, const std::string &Password = "", const QStringList &Arguments = {})
    {
        WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:" + std::to_string(Port) + "\nUsername=bob\nPassword=" + Password +
                      "\nDefault=/\nEncryption=plain\n");
        StartWindow(Arguments);
        Find<QTimer>("Timer2")->stop();
        ShowWindow();
    }
    void Press(const char *Name) { QTest::mouseClick(Find<QPushButton>(Name), Qt::LeftButton); }
    std::string Outcome() const { return Find<QLabel>("StatusOutcome")->text().toStdString(); }
    std::string Log() const { return Find<QPlainTextEdit>("ReplyMemo")->toPlainText().toStdString(); }
};

TEST_F(SessionOutcome, AFailedLoginIsShownAndTheButtonOffersConnectAgain)
{
    // What, the server's script (none: nothing listens), what the user reads.
    const std::tuple<const char *, std::function<void(TScriptedPeer &)>, const char *> Cases[] = {
        {"wrong password",
         [](TScriptedPeer &P) { P.Send("220 hi").Expect("USER bob").Send("331 pw").Expect("PASS pw").Send("530 No."); },
         "refused the login: 530 No."},
        {"refused port", nullptr, "Could not connect to 127.0.0.1:"},
        {"silent server", [](TScriptedPeer &P) { P.Accept().Hold(); }, "did not complete the login within 1 seconds"}};
    for (const auto &[What, Script, Shown] : Cases) {
        SCOPED_TRACE(What);
        auto Peer = std::make_unique<TScriptedPeer>();
        const uint16_t Port = Peer->Port();
        Script ? Script(*Peer) : Peer.reset(); // a closed listener's port refuses connections
        Dialogs.Messages.clear();
        Start(Port);
        Find<QLineEdit>("LoginTimeoutEdit")->setText(QStringLiteral("1"));
        Find<QLineEdit>("edtPassword")->setText(QStringLiteral("pw"));
        Press("ConnectBtn");
        EXPECT_EQ(AccessibleName(Find<QPushButton>("ConnectBtn")), "Disconnect");
        ASSERT_EVENTUALLY(!Dialogs.Messages.empty(), 10000);
        EXPECT_EQ(Dialogs.Messages.size(), 1u);
        EXPECT_NE(Dialogs.Messages[0].find(Shown), std::string::npos) << Dialogs.Messages[0];
        EXPECT_EQ(Outcome(), Dialogs.Messages[0]) << "the status bar keeps the latest outcome";
        EXPECT_NE(Log().find(Dialogs.Messages[0]), std::string::npos) << "and the log records it";
        EXPECT_EQ(Text("ConnectBtn") + "|" + AccessibleName(Find<QPushButton>("ConnectBtn")).toStdString(), "Connect|Connect");
        Peer ? Peer->Release() : void();
        TearDown();
    }
}

TEST_F(SessionOutcome, ConnectLeavesASilentServerForTheHostTypedNow)
{
    TScriptedPeer Silent;
    Silent.Accept().Hold();
    Start(Silent.Port(), "pw");
    ASSERT_EVENTUALLY(Silent.Connections() == 1, 5000);

    TScriptedPeer Good;
    ScriptLogin(Good, "bob", "pw");
    Find<QLineEdit>("edtURL")->setText(QString::fromStdString(LocalAddress(Good.Port())));
    Press("ConnectBtn"); // Disconnect: the attempt ends at once
    EXPECT_EQ(Text("ConnectBtn"), "Connect");
    Press("ConnectBtn");
    ASSERT_EVENTUALLY(Good.Done() && Window->IpFtpClient()->LoggedIn(), 5000) << Good.Describe();
    EXPECT_EQ(Outcome(), "Logged on to " + LocalAddress(Good.Port()) + " as bob.");
    EXPECT_TRUE(Dialogs.Messages.empty());
    Silent.Release();
}

TEST_F(SessionOutcome, TheWindowIsAMainWindowAndHidesWhatNobodySees)
{
    StartWindow();
    ShowWindow();
    QAccessibleInterface *Root = QAccessible::queryAccessibleInterface(Window.get());
    std::function<bool(QAccessibleInterface *)> Exposes = [&](QAccessibleInterface *Node) {
        for (int I = 0; I < Node->childCount(); ++I)
            if (Node->child(I)->text(QAccessible::Name) == QLatin1String("DoUp") || Exposes(Node->child(I)))
                return true;
        return false;
    };
    EXPECT_FALSE(Exposes(Root)) << "the hidden button is not offered";
}

// The unattended upload gives the automatic login 30 seconds.
TEST_F(SessionOutcome, TheUnattendedUploadGivesUpAfterThirtySecondsOfSilence)
{
    TScriptedPeer Silent;
    Silent.Accept().Hold();
    ASSERT_TRUE(WriteFile(Dir.File("nightly.bin"), "x"));
    Start(Silent.Port(), "pw", {QString::fromStdString(Dir.File("nightly.bin"))});
    RunFor(25000);
    EXPECT_TRUE(Dialogs.Messages.empty()) << "still waiting at 25 s";
    ASSERT_EVENTUALLY(!Dialogs.Messages.empty(), 10000);
    RunFor(1500);
    ASSERT_EQ(Dialogs.Messages.size(), 1u) << "said once";
    EXPECT_NE(Dialogs.Messages[0].find("nightly.bin was not uploaded"), std::string::npos) << Dialogs.Messages[0];
    EXPECT_NE(Dialogs.Messages[0].find("30 seconds"), std::string::npos) << Dialogs.Messages[0];
    Silent.Release();
}
