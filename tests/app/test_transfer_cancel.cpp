// Disconnect, closing the window and SIGTERM during a transfer: the user is
// asked (a signal asks nobody), the server hears ABOR while the data
// connection is open, and nothing half-done is left behind.

#include <gtest/gtest.h>

#include <signal.h>

#include <QDir>
#include <QLabel>
#include <QTest>

#include "app/CircularProgress.h"
#include "app/QuitSignals.h"
#include "transfer_fixture.h"

class TransferCancel : public TransferFlow
{
protected:
    // The server takes part of the transfer, then waits for ABOR and QUIT.
    void ScriptAbort(const std::string &Command, bool Upload)
    {
        Peer.Reply("TYPE I", "200 ok").ExpectPasv().Expect(Command).Send("150 go").AcceptData();
        if (Upload)
            Peer.ReceiveDataBytes(65536);
        else
            Peer.SendData(std::string(100000, 'x'));
        Peer.Mark("mid")
            .Expect("ABOR")
            .Send("426 Connection closed; transfer aborted.")
            .Send("226 ABOR command successful.")
            .Expect("QUIT")
            .Send("221 Goodbye.");
    }
    std::string Outcome() const { return Find<QLabel>("StatusOutcome")->text().toStdString(); }
    QStringList FilesIn(const TTempDir &Folder) const
    {
        return QDir(QString::fromStdString(Folder.Path())).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }
};

TEST_F(TransferCancel, DisconnectDuringAnUploadAsksThenAbortsBeforeTheQuit)
{
    LogIn();
    const std::string Local = Dir.File("big.bin");
    ASSERT_TRUE(WriteFile(Local, std::string(8 << 20, 'u')));
    Dialogs.Files.push_back(Local);
    QTest::mouseClick(Find<QPushButton>("sButton2"), Qt::LeftButton);
    ScriptAbort("STOR big.bin", true);
    QTest::mouseClick(Find<QPushButton>("sBitBtn1"), Qt::LeftButton);
    ASSERT_EVENTUALLY(Peer.Reached("mid"), 10000) << Peer.Describe();

    // "Keep going" changes nothing.
    Dialogs.CancelAnswers.push_back(false);
    QTest::mouseClick(Find<QPushButton>("ConnectBtn"), Qt::LeftButton);
    ASSERT_EQ(Dialogs.CancelQuestions.size(), 1u);
    EXPECT_EQ(Text("ConnectBtn"), "Disconnect");
    EXPECT_TRUE(Window->TransferRunning());
    RunFor(300);
    EXPECT_FALSE(Contains(Peer.Received(), "ABOR"));

    Dialogs.CancelAnswers.push_back(true);
    QTest::mouseClick(Find<QPushButton>("ConnectBtn"), Qt::LeftButton);
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(!Window->TransferRunning(), 5000);
    EXPECT_NE(Outcome().find("Upload of big.bin cancelled."), std::string::npos) << Outcome();
    EXPECT_FALSE(Find<TCircularProgress>("Progress1")->isVisible()) << "the ring goes with the transfer";
    EXPECT_EQ(Text("ConnectBtn"), "Connect");
    EXPECT_TRUE(Dialogs.Messages.empty()) << "a cancel is no failure";
}

TEST_F(TransferCancel, ASignalDuringADownloadCancelsItClosesAndLeavesNoPartialFile)
{
    LogIn();
    TTempDir Target;
    Dialogs.Folders.push_back(Target.Path());
    ScriptAbort("RETR a.txt", false);
    TQuitSignals Signals;
    QObject::connect(&Signals, &TQuitSignals::Requested, Window.get(), [this] { Window->EndForSignal(); });
    Select("a.txt");
    Trigger("Downloadfile1");
    ASSERT_EVENTUALLY(Peer.Reached("mid") && !FilesIn(Target).isEmpty(), 10000) << Peer.Describe();
    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(!Window->isVisible(), 5000) << "the window closes once the cancel is done";
    EXPECT_TRUE(FilesIn(Target).isEmpty()) << FilesIn(Target).join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(Dialogs.CancelQuestions.empty()) << "a signal asks nobody";
    EXPECT_EQ(Signals.LastSignal(), SIGTERM);
}

// Every byte sent is not every byte stored: the ring shows 100 % only with
// the server's final reply, and then goes.
TEST_F(TransferCancel, TheRingIsFullOnlyWithTheFinalReply)
{
    LogIn();
    const std::string Local = Dir.File("whole.bin");
    ASSERT_TRUE(WriteFile(Local, std::string(32 << 20, 'w')));
    Dialogs.Files.push_back(Local);
    QTest::mouseClick(Find<QPushButton>("sButton2"), Qt::LeftButton);
    // The server stalls a while in the middle, so that progress is shown.
    Peer.Reply("TYPE I", "200 ok").ExpectPasv().Expect("STOR whole.bin").Send("150 go").AcceptData()
        .ReceiveDataBytes(1 << 20).Pause(1200).ReceiveData().Mark("received").Pause(1500).Send("226 stored");
    QTest::mouseClick(Find<QPushButton>("sBitBtn1"), Qt::LeftButton);
    auto *Ring = Find<TCircularProgress>("Progress1");
    ASSERT_EVENTUALLY(Ring->isVisible(), 5000) << Title() << " " << Window->IpFtpClient()->BytesTransferred() << " " << int(Window->IpFtpClient()->FtpState());
    ASSERT_EVENTUALLY(Peer.Reached("received") && Window->IpFtpClient()->BytesTransferred() == (32 << 20), 10000);
    RunFor(700); // progress ticks come every 500 ms
    EXPECT_TRUE(Ring->isVisible());
    EXPECT_LT(Ring->Position(), Ring->Maximum()) << "all sent, nothing confirmed";
    EXPECT_NE(Find<QLabel>("StatusTransfer")->text().indexOf(QStringLiteral("of 32.0 MiB")), -1)
        << Find<QLabel>("StatusTransfer")->text().toStdString();
    ASSERT_TRUE(Peer.WaitDone(10000)) << Peer.Describe();
    ASSERT_EVENTUALLY(!Ring->isVisible(), 5000);
    EXPECT_EQ(Find<QLabel>("StatusOutcome")->text().toStdString(), "Uploaded whole.bin (33554432 bytes).");
}
