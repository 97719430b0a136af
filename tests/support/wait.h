// Waiting on a condition with a deadline while the event loop runs: tests
// never sleep a fixed time and hope.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

#include <chrono>

namespace testing_support {

template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

// Runs the event loop for a while, for checks that something does NOT happen.
inline void runEventsFor(std::chrono::milliseconds time)
{
    QTest::qWait(static_cast<int>(time.count()));
}

} // namespace testing_support
