#pragma once
#include <QTest>
#include <chrono>
#include <functional>

// Runs the Qt event loop until `done` holds or `timeout_ms` passed.
inline bool wait_until(const std::function<bool()>& done, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QTest::qWait(2);
    }
    return true;
}
