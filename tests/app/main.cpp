#include <QApplication>
#include <gtest/gtest.h>

// The window suite needs a full QApplication (widgets, fonts, styles), so it
// brings its own entry point instead of the shared QCoreApplication one. It
// runs without a display unless a platform is asked for explicitly.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    return RUN_ALL_TESTS();
}
