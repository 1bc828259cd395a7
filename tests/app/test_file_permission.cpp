#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

#include "app/FilePermission.h"

namespace {

// Stands in for the main window: the selected entry and folder it reports,
// and every call the dialog makes, in order.
class TFakeHost : public TFilePermissionHost
{
public:
    const TIpFtpFileInfo *SelectedEntry() const override { return Entry.get(); }
    std::string RemoteFolderPath() const override { return Folder; }
    void SendFtpCommand(const std::string &Line) override { Calls.push_back("send " + Line); }
    void ChangeDir(const std::string &Path) override { Calls.push_back("cd " + Path); }
    void RepaintNow() override { Calls.push_back("repaint"); }

    void Select(const std::string &UnixLine)
    {
        Entry = std::make_unique<TIpFtpFileInfo>(UnixLine, TIpUserParseStyleEvent(), dsUnix);
    }

    std::unique_ptr<TIpFtpFileInfo> Entry;
    std::string Folder = "/www/";
    std::vector<std::string> Calls;
};

class FilePermissionDialog : public ::testing::Test
{
protected:
    FilePermissionDialog() { Dialog.SetHost(&Host); }

    // Opens the dialog as the main window does and waits until it shows.
    void Open()
    {
        Dialog.open();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dialog));
    }

    std::string Boxes() const
    {
        std::string S;
        for (QCheckBox *Box : {Dialog.Read1, Dialog.Write1, Dialog.Execute1, Dialog.Read2,
                               Dialog.Write2, Dialog.Execute2, Dialog.Read3, Dialog.Write3,
                               Dialog.Execute3})
            S += Box->isChecked() ? 'x' : '-';
        return S;
    }

    TFakeHost Host;
    TFilePermission Dialog;
};

} // namespace

TEST(PermissionModeText, OctalDigitsOfOwnerGroupOthers)
{
    EXPECT_EQ(PermissionModeText({prRead, prWrite}, {prRead}, {prRead}), "0644");
    EXPECT_EQ(PermissionModeText({prRead, prWrite, prExecute}, {prRead, prExecute}, {}), "0750");
    EXPECT_EQ(PermissionModeText({}, {}, {}), "0000");
    EXPECT_EQ(PermissionModeText({prExecute}, {prWrite}, {prRead, prWrite, prExecute}), "0127");
}

TEST(PermissionModeText, OnlyOctalModesPass)
{
    for (const char *Good : {"0644", "755", "7", "0000"})
        EXPECT_TRUE(IsPermissionMode(QString::fromLatin1(Good))) << Good;
    for (const char *Bad : {"", "0648", "07555", "u+x", "644 ", " 644", "64a"})
        EXPECT_FALSE(IsPermissionMode(QString::fromLatin1(Bad))) << Bad;
}

TEST_F(FilePermissionDialog, LooksAsSpecifiedBeforeFirstUse)
{
    EXPECT_EQ(Dialog.windowTitle(), QStringLiteral("Set file permission"));
    EXPECT_EQ(Dialog.size(), QSize(310, 218));
    EXPECT_EQ(Dialog.SelectedFile->text(), QStringLiteral("File.ext"));
    EXPECT_EQ(Dialog.chmod->text(), QStringLiteral("0664"));
    EXPECT_EQ(Boxes(), "---------");
    EXPECT_EQ(Dialog.sButton1->text(), QStringLiteral("Ok"));
    EXPECT_EQ(Dialog.sButton2->text(), QStringLiteral("Cancel"));
    QStringList Titles;
    for (QGroupBox *Group : Dialog.findChildren<QGroupBox *>())
        Titles << Group->title();
    EXPECT_EQ(Titles, QStringList({"Owner:", "Group:", "Public:"}));
    // Each group holds its own three boxes.
    EXPECT_EQ(Dialog.Write2->parentWidget()->property("title").toString(), QStringLiteral("Group:"));
    EXPECT_EQ(Dialog.Execute3->text(), QStringLiteral("Execute"));
    EXPECT_NE(Dialog.findChild<QLineEdit *>(QStringLiteral("chmod")), nullptr);
}

TEST_F(FilePermissionDialog, OpensWithTheModeOfTheSelectedFile)
{
    Host.Select("-rwxr-x---   1 web  web   2048 Jan 10 12:00 run.cgi");
    Open();
    EXPECT_EQ(Boxes(), "xxxx-x---");
    EXPECT_EQ(Dialog.chmod->text(), QStringLiteral("0750"));
    EXPECT_EQ(Dialog.SelectedFile->text(), QStringLiteral("run.cgi"));
    EXPECT_TRUE(Dialog.sButton1->isEnabled());
    EXPECT_TRUE(Host.Calls.empty());
}

TEST_F(FilePermissionDialog, BoxesDriveTheFieldOneWay)
{
    Host.Select("-rw-r--r--   1 web  web   2048 Jan 10 12:00 index.html");
    Open();
    ASSERT_EQ(Dialog.chmod->text(), QStringLiteral("0644"));
    QTest::mouseClick(Dialog.Write1, Qt::LeftButton);
    EXPECT_FALSE(Dialog.Write1->isChecked());
    EXPECT_EQ(Dialog.chmod->text(), QStringLiteral("0444"));
    QTest::mouseClick(Dialog.Execute3, Qt::LeftButton);
    EXPECT_EQ(Dialog.chmod->text(), QStringLiteral("0445"));

    // Typing a mode leaves the boxes as they are, and Ok sends what was typed.
    Dialog.chmod->selectAll();
    QTest::keyClicks(Dialog.chmod, QStringLiteral("755"));
    EXPECT_EQ(Dialog.chmod->text(), QStringLiteral("755"));
    EXPECT_EQ(Boxes(), "x--x--x-x");
    QTest::mouseClick(Dialog.sButton1, Qt::LeftButton);
    EXPECT_EQ(Host.Calls, (std::vector<std::string>{"send SITE CHMOD 755 /www/index.html", "repaint",
                                                     "cd /www/"}));
    EXPECT_EQ(Boxes(), "x--x--x-x");
    EXPECT_FALSE(Dialog.isVisible());
    EXPECT_EQ(Dialog.result(), QDialog::Accepted);
}

TEST_F(FilePermissionDialog, CancelSendsNothing)
{
    Host.Select("-rw-r--r--   1 web  web   2048 Jan 10 12:00 index.html");
    Open();
    QTest::mouseClick(Dialog.Write3, Qt::LeftButton);
    QTest::mouseClick(Dialog.sButton2, Qt::LeftButton);
    EXPECT_FALSE(Dialog.isVisible());
    EXPECT_EQ(Dialog.result(), QDialog::Rejected);
    EXPECT_TRUE(Host.Calls.empty());

    // Escape cancels the same way.
    Open();
    QTest::keyClick(&Dialog, Qt::Key_Escape);
    EXPECT_FALSE(Dialog.isVisible());
    EXPECT_TRUE(Host.Calls.empty());
}

TEST_F(FilePermissionDialog, FileInTheRootFolderIsNamedFromTheRoot)
{
    Host.Folder = "/";
    Host.Select("-rw-------   1 web  web   10 Jan 10 12:00 file");
    Open();
    QTest::keyClick(Dialog.chmod, Qt::Key_Return);  // Enter presses Ok
    EXPECT_EQ(Host.Calls, (std::vector<std::string>{"send SITE CHMOD 0600 /file", "repaint", "cd /"}));
}

TEST_F(FilePermissionDialog, WithoutASelectedEntryNothingCanBeSent)
{
    // First a file, then the dialog again with nothing selected: the old
    // file must not be changed by mistake.
    Host.Select("-rwxrwxrwx   1 web  web   10 Jan 10 12:00 old.txt");
    Open();
    Dialog.reject();
    Host.Entry.reset();
    Open();
    EXPECT_FALSE(Dialog.sButton1->isEnabled());
    EXPECT_EQ(Dialog.FileName(), "");
    Dialog.sButton1Click();
    QTest::keyClick(Dialog.chmod, Qt::Key_Return);
    EXPECT_TRUE(Host.Calls.empty());
    EXPECT_TRUE(Dialog.isVisible());
    Dialog.reject();

    TFilePermission NoHost;
    NoHost.open();
    NoHost.sButton1Click();  // no host set: nothing to call, no crash
    EXPECT_TRUE(NoHost.isVisible());
    NoHost.reject();
}

TEST_F(FilePermissionDialog, FieldRefusesWhatIsNotAMode)
{
    Host.Select("-rw-r--r--   1 web  web   2048 Jan 10 12:00 index.html");
    Open();
    Dialog.chmod->selectAll();
    QTest::keyClicks(Dialog.chmod, QStringLiteral("9x 644;DELE a"));
    EXPECT_EQ(Dialog.chmod->text(), QStringLiteral("644"));
    // A pasted line break would end the command early.
    Dialog.chmod->insert(QStringLiteral("\r\nDELE a"));
    EXPECT_EQ(Dialog.chmod->text(), QStringLiteral("644"));
    Dialog.chmod->clear();
    EXPECT_FALSE(Dialog.sButton1->isEnabled());
    Dialog.sButton1Click();
    EXPECT_TRUE(Host.Calls.empty());
    QTest::mouseClick(Dialog.Read1, Qt::LeftButton);  // a box makes a mode again
    EXPECT_TRUE(Dialog.sButton1->isEnabled());
    Dialog.reject();
}

TEST_F(FilePermissionDialog, ShowsHostileNamesEscapedButSendsTheirBytes)
{
    // Invalid UTF-8, an escape sequence and markup in the name.
    const std::string Name = std::string("bad\xff\xfe") + "\x1b[31m<b>x</b>";
    Host.Select("-rw-r--r--   1 web  web   1 Jan 10 12:00 " + Name);
    ASSERT_EQ(Host.Entry->FileName, Name);
    Open();
    EXPECT_EQ(Dialog.SelectedFile->textFormat(), Qt::PlainText);
    EXPECT_EQ(Dialog.SelectedFile->text(),
              QStringLiteral("bad\uFFFD\uFFFD\\x1b[31m<b>x</b>"));
    QTest::mouseClick(Dialog.sButton1, Qt::LeftButton);
    ASSERT_FALSE(Host.Calls.empty());
    EXPECT_EQ(Host.Calls[0], "send SITE CHMOD 0644 /www/" + Name);
}

TEST_F(FilePermissionDialog, KeepsTheNameWhenTheListingChangesUnderneath)
{
    Host.Select("-rw-r--r--   1 web  web   1 Jan 10 12:00 keep.txt");
    Open();
    Host.Select("-rw-r--r--   1 web  web   1 Jan 10 12:00 other.txt");  // old entry freed
    QTest::mouseClick(Dialog.sButton1, Qt::LeftButton);
    ASSERT_FALSE(Host.Calls.empty());
    EXPECT_EQ(Host.Calls[0], "send SITE CHMOD 0644 /www/keep.txt");
}

TEST_F(FilePermissionDialog, LongNameIsShortenedToFit)
{
    Host.Select("-rw-r--r--   1 web  web   1 Jan 10 12:00 " + std::string(4096, 'n') + ".txt");
    Open();
    EXPECT_EQ(Dialog.size(), QSize(310, 218));
    EXPECT_LT(Dialog.SelectedFile->text().size(), 200);
    EXPECT_TRUE(Dialog.SelectedFile->text().endsWith(QStringLiteral(".txt")));
    EXPECT_EQ(Dialog.SelectedFile->accessibleName().size(), 4100);
    Dialog.reject();
}
