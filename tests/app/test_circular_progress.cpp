#include <gtest/gtest.h>

#include <QImage>
#include <QTest>

#include <cstdint>
#include <limits>

#include "app/CircularProgress.h"

namespace {
constexpr int64_t GiB = int64_t(1) << 30;
}

TEST(ProgressPercent, ScalesSixtyFourBitSizes)
{
    EXPECT_EQ(ProgressPercent(5 * GiB / 2, 5 * GiB), 50);
    EXPECT_EQ(ProgressPercent(3 * GiB, 4 * GiB), 75);
    // Past the 32-bit range the old 32-bit arithmetic went negative.
    EXPECT_EQ(ProgressPercent(int64_t(2147483648), int64_t(4294967296)), 50);
    const int64_t Max = std::numeric_limits<int64_t>::max();
    EXPECT_EQ(ProgressPercent(Max / 2, Max), 49);  // rounded down, no overflow
    EXPECT_EQ(ProgressPercent(Max - 1, Max), 99);
    EXPECT_EQ(ProgressPercent(Max, Max), 100);
}

TEST(ProgressPercent, ClampsAndHandlesEmptyWholes)
{
    EXPECT_EQ(ProgressPercent(0, 0), 0);
    EXPECT_EQ(ProgressPercent(10, 0), 0);
    EXPECT_EQ(ProgressPercent(10, -5), 0);
    EXPECT_EQ(ProgressPercent(-10, 100), 0);
    EXPECT_EQ(ProgressPercent(150, 100), 100);
    EXPECT_EQ(ProgressPercent(999, 1000), 99);  // not 100 before the end
    EXPECT_EQ(ProgressPercent(1, 3), 33);
}

TEST(CircularProgress, ShowsThePercentageOfAFiveGigabyteFile)
{
    TCircularProgress Progress;
    Progress.SetMaximum(5 * GiB);
    Progress.SetPosition(5 * GiB / 2);
    EXPECT_EQ(Progress.Maximum(), 5 * GiB);
    EXPECT_EQ(Progress.Position(), 5 * GiB / 2);
    EXPECT_EQ(Progress.Percent(), 50);
    EXPECT_EQ(Progress.PercentText(), QStringLiteral("50%"));
    EXPECT_EQ(Progress.accessibleDescription(), QStringLiteral("50%"));
    // Hidden, it shows the position at once.
    EXPECT_DOUBLE_EQ(Progress.ShownDegrees(), 180.0);
    Progress.SetMaximum(-1);
    EXPECT_EQ(Progress.Maximum(), 0);
    EXPECT_EQ(Progress.PercentText(), QStringLiteral("0%"));
    EXPECT_DOUBLE_EQ(Progress.ShownDegrees(), 0.0);
}

TEST(CircularProgress, ArcGlidesToTheNewPositionWhileShown)
{
    TCircularProgress Progress;
    Progress.SetSegmentStep(2);
    Progress.SetAnimationInterval(5);
    Progress.SetMaximum(1000);
    Progress.resize(64, 64);
    Progress.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Progress));
    Progress.SetPosition(1000);
    EXPECT_EQ(Progress.Percent(), 100);
    EXPECT_LT(Progress.ShownDegrees(), 360.0);  // still on its way
    EXPECT_TRUE(QTest::qWaitFor([&] { return Progress.ShownDegrees() == 360.0; }, 5000));
    Progress.SetPosition(0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Progress.ShownDegrees() == 0.0; }, 5000));

    // No animation: every position is drawn at once.
    Progress.SetAnimationInterval(0);
    Progress.SetPosition(250);
    EXPECT_DOUBLE_EQ(Progress.ShownDegrees(), 90.0);
}

TEST(CircularProgress, DrawsTheArcOnlyWhereTheProgressIs)
{
    TCircularProgress Progress;
    Progress.SetAnimationInterval(0);
    Progress.resize(80, 80);
    Progress.SetMaximum(4 * GiB);
    Progress.SetPosition(1 * GiB);  // a quarter: twelve to three o'clock
    const QImage Image = Progress.grab().toImage();
    const QColor Highlight = Progress.palette().color(QPalette::Highlight);
    auto IsArc = [&](int x, int y) {
        const QColor C = Image.pixelColor(x * Image.width() / 80, y * Image.height() / 80);
        return std::abs(C.red() - Highlight.red()) < 30 && std::abs(C.green() - Highlight.green()) < 30 &&
               std::abs(C.blue() - Highlight.blue()) < 30;
    };
    // The ring runs about 5 pixels inside the edge.
    EXPECT_TRUE(IsArc(68, 20));   // upper right: done
    EXPECT_FALSE(IsArc(12, 60));  // lower left: not yet
    EXPECT_FALSE(IsArc(68, 60));  // lower right: not yet
}
