#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>

#include <set>
#include <string>

#include "app/FileIcons.h"

namespace {

QImage IconImage(const QIcon &Icon, int Pixels)
{
    return Icon.pixmap(QSize(Pixels, Pixels), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
}

int OpaquePixels(const QImage &Image)
{
    int Count = 0;
    for (int y = 0; y < Image.height(); ++y)
        for (int x = 0; x < Image.width(); ++x)
            Count += qAlpha(Image.pixel(x, y)) > 128;
    return Count;
}

} // namespace

TEST(FileIconIndex, ExtensionsOfTheListPickTheirIcons)
{
    EXPECT_EQ(FileIconIndex(".jpg"), 19);
    EXPECT_EQ(FileIconIndex(".jpeg"), 19);
    EXPECT_EQ(FileIconIndex(".php"), 38);
    EXPECT_EQ(FileIconIndex(".zip"), 37);
    EXPECT_EQ(FileIconIndex(".7zip"), 0);
    EXPECT_EQ(FileIconIndex(".hlp"), 15);
    EXPECT_EQ(FileIconIndex(".htm"), 16);
    EXPECT_EQ(FileIconIndex(".xhtml"), 16);
    EXPECT_EQ(FileIconIndex(".3gp"), 22);
    EXPECT_EQ(FileIconIndex(".midi"), 23);
    EXPECT_EQ(FileIconIndex(".txt"), 32);
}

TEST(FileIconIndex, ComparisonIsExactAndCaseSensitive)
{
    EXPECT_EQ(FileIconIndex(".TXT"), 9);  // readme.TXT
    EXPECT_EQ(FileIconIndex(".Jpg"), 9);
    EXPECT_EQ(FileIconIndex(".gz"), 9);   // archive.tar.gz
    EXPECT_EQ(FileIconIndex("zip"), 9);   // no dot
    EXPECT_EQ(FileIconIndex(".zip "), 9);
    EXPECT_EQ(FileIconIndex(".zi"), 9);
    EXPECT_EQ(FileIconIndex(std::string(".zip\0x", 6)), 9);
    EXPECT_EQ(FileIconIndex(""), 9);
}

TEST(FileIconIndex, NeverGivesFourteenAndStaysInRange)
{
    // Every extension of the table and a spread of others.
    const char *Samples[] = {".7zip", ".access", ".ace", ".arj", ".bat", ".cab", ".chm", ".css",
                             ".dat", ".default", ".dll", ".excell", ".exe", ".folder", ".hlp",
                             ".html", ".ini", ".jar", ".image", ".png", ".bmp", ".tiff", ".js",
                             ".mov", ".video", ".wmw", ".mpeg", ".mpg", ".mp4", ".mp2", ".mp1",
                             ".aac", ".ogg", ".wma", ".mp3", ".mid", ".pdf", ".powerpoint", ".rar",
                             ".real", ".reg", ".swf", ".sys", ".tar", ".ttf", ".word", ".xml",
                             ".xsl", ".jpg", ".php", ".zip", ".txt", ".lnk", ".shortcut", ".", "..", ".x"};
    std::set<int> Seen;
    for (const char *Ext : Samples) {
        const int Index = FileIconIndex(Ext);
        EXPECT_NE(Index, 14) << Ext;
        EXPECT_GE(Index, 0) << Ext;
        EXPECT_LT(Index, FileIconCount) << Ext;
        Seen.insert(Index);
    }
    // Every index but 14 is reachable.
    EXPECT_EQ(Seen.size(), static_cast<size_t>(FileIconCount - 1));
}

TEST(FileIcons, AllThirtyNineAreDrawnAndTellApartAtSixteenPixels)
{
    std::vector<QImage> Images;
    for (int i = 0; i < FileIconCount; ++i) {
        const QImage Image = IconImage(FileIcon(i), 16);
        ASSERT_EQ(Image.size(), QSize(16, 16)) << i;
        // Something substantial is drawn, not a speck.
        EXPECT_GT(OpaquePixels(Image), 60) << "icon " << i;
        Images.push_back(Image);
    }
    for (int a = 0; a < FileIconCount; ++a)
        for (int b = a + 1; b < FileIconCount; ++b)
            EXPECT_NE(Images[a], Images[b]) << "icons " << a << " and " << b << " look the same";
}

TEST(FileIcons, OutOfRangeIndexGivesTheDefaultPicture)
{
    EXPECT_EQ(IconImage(FileIcon(-1), 16), IconImage(FileIcon(9), 16));
    EXPECT_EQ(IconImage(FileIcon(FileIconCount), 16), IconImage(FileIcon(9), 16));
}

TEST(FileIcons, DrawnForTheAskedResolutionNotScaledUp)
{
    // A 2x screen gets a 32-pixel drawing for a 16-pixel icon, and it is the
    // same picture the icon draws at 32 pixels, not a blown-up 16-pixel one.
    const QPixmap HiDpi = FileIcon(19).pixmap(QSize(16, 16), 2.0);
    EXPECT_EQ(HiDpi.size(), QSize(32, 32));
    EXPECT_DOUBLE_EQ(HiDpi.devicePixelRatio(), 2.0);
    EXPECT_EQ(HiDpi.toImage().convertToFormat(QImage::Format_ARGB32), IconImage(FileIcon(19), 32));
    EXPECT_NE(IconImage(FileIcon(19), 32), IconImage(FileIcon(19), 16).scaled(32, 32));
}

TEST(FileIcons, FoldersAndProgramPicture)
{
    const QImage Closed = IconImage(FolderIcon(false), 16);
    const QImage Open = IconImage(FolderIcon(true), 16);
    EXPECT_GT(OpaquePixels(Closed), 100);
    EXPECT_GT(OpaquePixels(Open), 100);
    EXPECT_NE(Closed, Open);

    const QImage Program = IconImage(ProgramIcon(), 128);
    ASSERT_EQ(Program.size(), QSize(128, 128));
    EXPECT_GT(OpaquePixels(Program), 128 * 128 * 3 / 4);
    EXPECT_EQ(RenderProgramIcon(128).toImage().convertToFormat(QImage::Format_ARGB32), Program);
    for (int i = 0; i < FileIconCount; ++i)
        EXPECT_NE(IconImage(FileIcon(i), 16), IconImage(ProgramIcon(), 16)) << i;
}
