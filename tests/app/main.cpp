#include <gtest/gtest.h>

#include "app/TolvaneApplication.h"

// The window suite needs a full application object (widgets, fonts, styles),
// so it brings its own entry point instead of the shared QCoreApplication
// one: the program's own, so that exceptions reach its handler as they do
// in the program (and its one style, Fusion). It runs without a display
// unless a platform is asked for explicitly.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TTolvaneApplication App(argc, argv);
    return RUN_ALL_TESTS();
}
