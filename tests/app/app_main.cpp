#include <gtest/gtest.h>

#include "app/TolvaneApplication.h"

// The window suites run inside the program's own application object (so
// exceptions reach its handler as they do in the program), on the offscreen
// platform unless the caller chose another.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TTolvaneApplication App(argc, argv);
    return RUN_ALL_TESTS();
}
