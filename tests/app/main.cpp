#include <gtest/gtest.h>

#include "app/TolvaneApplication.h"
#include "support/TestPaths.h"

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
    // No test may reach the keyring or the trusted certificates of the
    // desktop it runs on: the session bus is one that does not exist (unless
    // a test runs the suite under a bus of its own), the data folder a
    // temporary one.
    if (qEnvironmentVariableIsEmpty("TOLVANE_TEST_OWN_BUS"))
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tolvane-test-bus");
    TTempDir Data("tolvane-app-data");
    qputenv("XDG_DATA_HOME", Data.Path().c_str());
    TTolvaneApplication App(argc, argv);
    return RUN_ALL_TESTS();
}
