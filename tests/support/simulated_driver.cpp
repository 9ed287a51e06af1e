#include "simulated_driver.h"

#include <algorithm>
#include <cmath>

void SimulatedDriver::poll(Clock::time_point now, std::vector<Reply>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Periodic outputs first catch up to `now`, interleaved with queued replies by due time.
    for (; common_interval_.count() > 0 && next_common_ <= now; next_common_ += common_interval_)
        queue_.emplace(next_common_, Reply{K::CommonState, {common_[0], common_[1], common_[2]}});
    if (stream_rate_ > 0.0) {
        const auto elapsed = std::floor(std::chrono::duration<double>(now - stream_start_).count() * stream_rate_);
        for (const uint64_t due = std::min(static_cast<uint64_t>(elapsed) + 1, stream_max_); stream_sent_ < due; ++stream_sent_)
            queue_.emplace(stream_due(stream_sent_), Reply{K::MotionState, {float(stream_sent_), motion_[1], motion_[2]}});
    }
    const auto end = queue_.upper_bound(now);
    for (auto it = queue_.begin(); it != end; ++it) out.push_back(it->second);
    queue_.erase(queue_.begin(), end);
}

SimulatedDriver::Clock::time_point SimulatedDriver::next_due() {
    std::lock_guard<std::mutex> lock(mutex_);
    auto next = queue_.empty() ? Clock::time_point::max() : queue_.begin()->first;
    if (common_interval_.count() > 0) next = std::min(next, next_common_);
    if (stream_rate_ > 0.0 && stream_sent_ < stream_max_) next = std::min(next, stream_due(stream_sent_));
    return next;
}

void SimulatedDriver::start_calibration() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calibration_count_;
    if (script_.silent) return;
    auto t = Clock::now() + script_.start_delay;
    const auto send = [&](K kind, float value = 0.0f, uint32_t word = 0) {
        queue_.emplace(t, Reply{kind, {value}, word});
        t += script_.step_delay;
    };
    send(K::CalibrationStart);
    if (script_.phase_sequence) send(K::PhaseSequence, *script_.phase_sequence);
    for (float v : script_.cogging_map) send(K::CoggingMapValue, v);
    for (float v : script_.compensation) send(K::CompensationValue, v);
    if (script_.check_values) {
        for (uint32_t i = 0; i < 12; ++i) send(K::CheckValue, (*script_.check_values)[i], i);
        send(K::CheckStep, 0.0f, script_.check_step);
    }
    if (script_.send_success) send(K::CalibrationSuccess);
}
