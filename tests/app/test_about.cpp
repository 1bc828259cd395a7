#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "app/About.h"
#include "app/FileIcons.h"

TEST(AboutBox, ShowsNameVersionAndPicture)
{
    TAbout Box;
    EXPECT_EQ(Box.windowTitle(), QStringLiteral("About"));
    EXPECT_EQ(Box.size(), QSize(368, 176));
    EXPECT_EQ(Box.ProductName->text(), QStringLiteral("Tolvane FTP Upload 2.1"));
    EXPECT_TRUE(Box.ProductName->font().bold());
    EXPECT_EQ(Box.ProductName->font().pointSize(), 16);
    EXPECT_EQ(Box.sButton1->text(), QStringLiteral("Ok"));

    const QPixmap Picture = Box.Picture->pixmap();
    EXPECT_EQ(Picture.deviceIndependentSize().toSize(), QSize(128, 128));
    EXPECT_EQ(Picture.toImage().convertToFormat(QImage::Format_ARGB32),
              RenderProgramIcon(Picture.width()).toImage().convertToFormat(QImage::Format_ARGB32));
}

TEST(AboutBox, OkCloses)
{
    TAbout Box;
    Box.open();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Box));
    // Everything fits: the title and button lie inside the box.
    EXPECT_TRUE(Box.rect().contains(Box.ProductName->geometry()));
    EXPECT_TRUE(Box.rect().contains(Box.sButton1->geometry()));
    QTest::mouseClick(Box.sButton1, Qt::LeftButton);
    EXPECT_FALSE(Box.isVisible());
    EXPECT_EQ(Box.result(), QDialog::Accepted);
}
