#pragma once
// Lets a repeated console line through at most once per interval, counting the
// ones held back, so a fault that repeats a thousand times a second (a silent
// bus, a flood of error frames) costs one line now and then.
#include <chrono>
#include <cstdint>
#include <mutex>

namespace hv {

class LogLimiter {
public:
    explicit LogLimiter(std::chrono::milliseconds interval) : interval_(interval) {}

    // True when a line may be written now; `held_back` is then the number of
    // lines refused since the last one let through.
    bool allow(uint64_t& held_back);

private:
    const std::chrono::milliseconds interval_;
    std::mutex mutex_;
    bool any_ = false;
    std::chrono::steady_clock::time_point last_{};
    uint64_t held_back_ = 0;
};

}  // namespace hv
