#pragma once

#include <functional>

// Drives the Qt event loop of the test thread so that socket notifiers,
// posted events and timers of the code under test fire while a test waits.

// Runs the event loop until cond() holds (true) or timeoutMs passes (false).
// cond is checked before the first wait, so an already-true condition returns
// at once without running the loop.
bool RunUntil(const std::function<bool()> &cond, int timeoutMs = 10000);

// Runs the event loop for ms milliseconds, whatever happens meanwhile.
void RunFor(int ms);

// Fails the current test (fatally) when cond does not hold within timeoutMs:
//   ASSERT_EVENTUALLY(client.State() == stReady, 5000) << "still " << client.State();
#define ASSERT_EVENTUALLY(cond, timeoutMs)                                          \
    ASSERT_TRUE(::RunUntil([&]() -> bool { return static_cast<bool>(cond); }, (timeoutMs))) \
        << "timed out after " << (timeoutMs) << " ms waiting for: " #cond " "
#define EXPECT_EVENTUALLY(cond, timeoutMs)                                          \
    EXPECT_TRUE(::RunUntil([&]() -> bool { return static_cast<bool>(cond); }, (timeoutMs))) \
        << "timed out after " << (timeoutMs) << " ms waiting for: " #cond " "
