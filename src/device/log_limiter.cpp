#include "log_limiter.h"

namespace hv {

bool LogLimiter::allow(uint64_t& held_back) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (any_ && now - last_ < interval_) {
        ++held_back_;
        return false;
    }
    any_ = true;
    last_ = now;
    held_back = held_back_;
    held_back_ = 0;
    return true;
}

}  // namespace hv
