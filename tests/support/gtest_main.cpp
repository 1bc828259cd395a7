#include <QCoreApplication>
#include <gtest/gtest.h>

// Every suite runs inside one QCoreApplication so that socket notifiers,
// posted messages and timers work exactly as they do in the program.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
