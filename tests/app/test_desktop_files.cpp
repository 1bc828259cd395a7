#include <gtest/gtest.h>

#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QXmlStreamReader>

#include "app/FileIcons.h"
#include "support/TestPaths.h"

namespace {

const QString SourceDir = QStringLiteral(TOLVANE_SOURCE_DIR);
const QString BinaryDir = QStringLiteral(TOLVANE_BINARY_DIR);

struct TRun
{
    int Code;
    QString Output;
};

TRun RunProgram(const QString &Program, const QStringList &Args)
{
    QProcess P;
    P.setProcessChannelMode(QProcess::MergedChannels);
    P.start(Program, Args);
    if (!P.waitForFinished(60000))
        return {-1, QStringLiteral("did not finish")};
    return {P.exitStatus() == QProcess::NormalExit ? P.exitCode() : -1,
            QString::fromLocal8Bit(P.readAll())};
}

// Installs the desktop part of the build into a fresh prefix.
class DesktopInstall : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        Prefix = new TTempDir("tolvane-install");
        const TRun R = RunProgram(QStringLiteral("cmake"), {QStringLiteral("--install"), BinaryDir,
                                                     QStringLiteral("--prefix"),
                                                     QString::fromStdString(Prefix->Path()),
                                                     QStringLiteral("--component"),
                                                     QStringLiteral("desktop")});
        InstallResult = new TRun(R);
    }
    static void TearDownTestSuite()
    {
        delete Prefix;
        delete InstallResult;
        Prefix = nullptr;
        InstallResult = nullptr;
    }
    void SetUp() override
    {
        ASSERT_EQ(InstallResult->Code, 0) << InstallResult->Output.toStdString();
    }
    static QString Share() { return QString::fromStdString(Prefix->Path()) + QStringLiteral("/share"); }

    static TTempDir *Prefix;
    static TRun *InstallResult;
};

TTempDir *DesktopInstall::Prefix = nullptr;
TRun *DesktopInstall::InstallResult = nullptr;

QImage Argb(const QImage &Image)
{
    return Image.convertToFormat(QImage::Format_ARGB32);
}

} // namespace

TEST(DesktopEntry, IsValidAndStartsTheProgramWithItsIcon)
{
    const QString Entry = SourceDir + QStringLiteral("/data/tolvane-ftp.desktop");
    const QString Validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (Validator.isEmpty())
        GTEST_SKIP() << "desktop-file-validate is not installed (Debian desktop-file-utils)";
    const TRun R = RunProgram(Validator, {Entry});
    EXPECT_EQ(R.Code, 0) << R.Output.toStdString();
    EXPECT_TRUE(R.Output.trimmed().isEmpty()) << "hints: " << R.Output.toStdString();

    const std::string Text = ReadFile(Entry.toStdString());
    EXPECT_NE(Text.find("\nExec=tolvane-ftp %f\n"), std::string::npos);
    EXPECT_NE(Text.find("\nIcon=tolvane-ftp\n"), std::string::npos);
}

TEST_F(DesktopInstall, PlacesEntryAndIconsWhereTheDesktopLooks)
{
    EXPECT_TRUE(QFileInfo::exists(Share() + QStringLiteral("/applications/tolvane-ftp.desktop")));
    for (int Size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString File =
            Share() + QStringLiteral("/icons/hicolor/%1x%1/apps/tolvane-ftp.png").arg(Size);
        const QImage Image(File);
        ASSERT_FALSE(Image.isNull()) << File.toStdString();
        EXPECT_EQ(Image.size(), QSize(Size, Size));
        // The very picture the window and the About box show.
        EXPECT_EQ(Argb(Image), Argb(RenderProgramIcon(Size).toImage())) << Size;
    }
}

TEST_F(DesktopInstall, IconThemeLookupFindsTheProgramIcon)
{
    // The hicolor theme's index lives with the system's icons; the installed
    // prefix only adds its folders, as on a desktop with XDG_DATA_DIRS.
    const QString SystemIcons = QStringLiteral("/usr/share/icons");
    if (!QFileInfo::exists(SystemIcons + QStringLiteral("/hicolor/index.theme")))
        GTEST_SKIP() << "no hicolor theme index (Debian hicolor-icon-theme)";
    const QStringList OldPaths = QIcon::themeSearchPaths();
    const QString OldTheme = QIcon::themeName();
    QIcon::setThemeSearchPaths({Share() + QStringLiteral("/icons"), SystemIcons});
    QIcon::setThemeName(QStringLiteral("hicolor"));
    const QIcon Found = QIcon::fromTheme(QStringLiteral("tolvane-ftp"));
    // Looked at before the paths go back: a theme icon is resolved lazily.
    const bool IsNull = Found.isNull();
    const QImage Image = Found.pixmap(QSize(48, 48), 1.0).toImage();
    QIcon::setThemeSearchPaths(OldPaths);
    QIcon::setThemeName(OldTheme);
    ASSERT_FALSE(IsNull);
    EXPECT_EQ(Argb(Image), Argb(RenderProgramIcon(48).toImage()));
}

TEST_F(DesktopInstall, ScalableIconIsWellFormedSvgOfTheSameShapes)
{
    const std::string Svg =
        ReadFile((Share() + QStringLiteral("/icons/hicolor/scalable/apps/tolvane-ftp.svg")).toStdString());
    ASSERT_FALSE(Svg.empty());
    EXPECT_EQ(QByteArray::fromStdString(Svg), ProgramIconSvg());
    QXmlStreamReader Xml(QByteArray::fromStdString(Svg));
    QStringList Elements;
    QString ViewBox;
    while (!Xml.atEnd()) {
        if (Xml.readNext() == QXmlStreamReader::StartElement) {
            Elements << Xml.name().toString();
            if (Xml.name() == QStringLiteral("svg"))
                ViewBox = Xml.attributes().value(QStringLiteral("viewBox")).toString();
        }
    }
    EXPECT_FALSE(Xml.hasError()) << Xml.errorString().toStdString();
    EXPECT_EQ(ViewBox, QStringLiteral("0 0 16 16"));
    EXPECT_EQ(Elements.count(QStringLiteral("rect")), 2);
    EXPECT_EQ(Elements.count(QStringLiteral("polyline")), 1);
    EXPECT_EQ(Elements.count(QStringLiteral("polygon")), 1);
    EXPECT_NE(Svg.find("points=\"8,2 12.5,7 10,7 10,11 6,11 6,7 3.5,7\""),
              std::string::npos);
}
