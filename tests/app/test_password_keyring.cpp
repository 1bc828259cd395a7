// Where the password is kept: the keyring of a real Secret Service
// (gnome-keyring on a session bus of the test's own), host.ini when there is
// no keyring, nowhere when it is not to be remembered.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QTest>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "app/PasswordKeeper.h"
#include "app/PasswordStore.h"
#include "app_fixture.h"

namespace {

std::string Outcome(const TTolvaneFtp &W) { return W.findChild<QLabel *>("StatusOutcome")->text().toStdString(); }

std::string SelfPath()
{
    char Buf[4096];
    const ssize_t N = ::readlink("/proc/self/exe", Buf, sizeof Buf - 1);
    return N > 0 ? std::string(Buf, static_cast<size_t>(N)) : std::string();
}

} // namespace

class PasswordKeyring : public TWindowFixture
{
};

TEST(PasswordAccount, OneEntryPerUserHostAndPort)
{
    const std::tuple<const char *, uint16_t, const char *> Cases[] = {
        {"ftp.Example.org", 21, "ann@ftp.example.org:21"}, {"ftp.example.org:2121", 21, "ann@ftp.example.org:2121"},
        {"ftp.example.org", 990, "ann@ftp.example.org:990"}, {"::1", 21, "ann@[::1]:21"},
        {"[::1]:2121", 21, "ann@[::1]:2121"}};
    for (const auto &[Host, Port, Account] : Cases)
        EXPECT_EQ(TPasswordStore::Account("ann", Host, Port).toStdString(), Account) << Host;
}

TEST_F(PasswordKeyring, WithoutAKeyringTheFileKeepsItAndOffMeansAsked)
{
    WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:1\nUsername=ann\nPassword=pw\nEncryption=plain\n");
    StartWindow();
    EXPECT_TRUE(Find<QCheckBox>("chkRememberPassword")->isChecked()) << "an old file: remembered";
    EXPECT_EQ(Text("edtPassword"), "pw");
    QTest::mouseClick(Find<QPushButton>("sBitBtn5"), Qt::LeftButton);
    ASSERT_EVENTUALLY(Window->PasswordKeeper()->Keyring() == TPasswordKeeper::krMissing, 10000);
    EXPECT_NE(Outcome(*Window).find("kept in host.ini"), std::string::npos) << Outcome(*Window);
    EXPECT_NE(ReadFile(SettingsPath()).find("Password=pw\n"), std::string::npos) << ReadFile(SettingsPath());

    // Not remembered: gone from the file, asked for by Connect.
    Find<QCheckBox>("chkRememberPassword")->setChecked(false);
    QTest::mouseClick(Find<QPushButton>("sBitBtn5"), Qt::LeftButton);
    EXPECT_EQ(ReadFile(SettingsPath()).find("\nPassword="), std::string::npos) << ReadFile(SettingsPath());
    TearDown();
    StartWindow();
    EXPECT_EQ(Text("edtPassword"), "");
    QTest::mouseClick(Find<QPushButton>("ConnectBtn"), Qt::LeftButton);
    ASSERT_EQ(Dialogs.PasswordPrompts.size(), 1u);
    EXPECT_NE(Outcome(*Window).find("no password was given"), std::string::npos) << Outcome(*Window);
    EXPECT_EQ(Text("ConnectBtn"), "Connect");
    TearDown();

    // The unattended upload has no password to log in with.
    ASSERT_TRUE(WriteFile(Dir.File("up.txt"), "x"));
    StartWindow({QString::fromStdString(Dir.File("up.txt"))});
    ShowWindow();
    ASSERT_EVENTUALLY(!Dialogs.Messages.empty(), 10000);
    EXPECT_NE(Dialogs.Messages[0].find("no password is stored"), std::string::npos) << Dialogs.Messages[0];
}

// Runs the next test in a process of its own on a session bus with an
// unlocked gnome-keyring, in a home folder of its own.
TEST(PasswordKeyringService, RoundTripsThroughARealSecretService)
{
    if (::access("/usr/bin/dbus-run-session", X_OK) != 0 || ::access("/usr/bin/gnome-keyring-daemon", X_OK) != 0)
        GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon is missing (Debian packages dbus, gnome-keyring)";
    TTempDir Home("tolvane-keyring");
    Home.MakeDir("run");
    ::chmod(Home.File("run").c_str(), 0700);
    const std::string Cmd = "cd " + Home.Path() + " && env TOLVANE_TEST_OWN_BUS=1 HOME=" + Home.Path() +
                            " XDG_DATA_HOME=" + Home.File("data") + " XDG_RUNTIME_DIR=" + Home.File("run") +
                            " dbus-run-session -- sh -c 'printf secret | gnome-keyring-daemon --daemonize --login "
                            "--components=secrets >/dev/null 2>&1 || exit 77; exec \"$0\" "
                            "--gtest_also_run_disabled_tests --gtest_filter=PasswordKeyring.DISABLED_InChild' " +
                            SelfPath() + " 2>&1";
    std::string Out;
    FILE *P = ::popen(Cmd.c_str(), "r");
    ASSERT_NE(P, nullptr);
    char Buf[4096];
    while (std::fgets(Buf, sizeof Buf, P))
        Out += Buf;
    const int Status = ::pclose(P);
    if (WIFEXITED(Status) && WEXITSTATUS(Status) == 77)
        GTEST_SKIP() << "gnome-keyring-daemon could not start: " << Out;
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Out;
    EXPECT_NE(Out.find("[  PASSED  ] 1 test"), std::string::npos) << Out;
}

TEST_F(PasswordKeyring, DISABLED_InChild)
{
    TPasswordStore Store;
    std::vector<std::string> Seen;
    const auto Record = [&](TPasswordOutcome O, const QString &Password, const QString &Why) {
        Seen.push_back(std::to_string(O) + ":" + Password.toStdString() + (O == poNoKeyring ? Why.toStdString() : ""));
    };
    Store.Write("ann@h:21", "s3 cr\"et", Record);
    ASSERT_EVENTUALLY(Seen.size() == 1, 20000);
    Store.Read("ann@h:21", Record);
    Store.Read("bob@h:21", Record);
    ASSERT_EVENTUALLY(Seen.size() == 3, 20000);
    Store.Remove("ann@h:21", Record);
    Store.Read("ann@h:21", Record);
    ASSERT_EVENTUALLY(Seen.size() == 5, 20000);
    EXPECT_EQ(Seen, (std::vector<std::string>{"0:", "0:s3 cr\"et", "1:", "0:", "1:"}));

    // Saved with a keyring present, the password leaves host.ini; the next
    // start reads it from the keyring.
    WriteSettings("[TolvaneFtp]\nHost=127.0.0.1:1\nUsername=ann\nPassword=pw\nEncryption=plain\n");
    StartWindow();
    QTest::mouseClick(Find<QPushButton>("sBitBtn5"), Qt::LeftButton);
    ASSERT_EVENTUALLY(ReadFile(SettingsPath()).find("\nPassword=") == std::string::npos, 20000) << Outcome(*Window);
    EXPECT_NE(Outcome(*Window).find("kept in the keyring"), std::string::npos) << Outcome(*Window);
    TearDown();
    StartWindow();
    ASSERT_EVENTUALLY(Text("edtPassword") == "pw", 20000) << Outcome(*Window);
}
