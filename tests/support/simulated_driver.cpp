#include "simulated_driver.h"

#include <algorithm>
#include <cmath>

using K = SimulatedDriver::ReplyKind;
using Lock = std::lock_guard<std::mutex>;

void SimulatedDriver::queue(ReplyKind kind, Clock::time_point due, std::array<float, 5> values, int index,
                            uint32_t word) {
    queue_.emplace(due, Reply{kind, values, index, word});
}

void SimulatedDriver::queue_params() {
    queue(K::FirmwareParams, Clock::now(), {params_[0], params_[1], params_[2], params_[3], params_[4]});
}

void SimulatedDriver::enable() {
    Lock lock(mutex_);
    enabled_ = true;
    queue(K::EnableAck, Clock::now());
}

void SimulatedDriver::disable() {
    Lock lock(mutex_);
    enabled_ = false;
    motion_[1] = motion_[2] = 0.0f;
    queue(K::DisableAck, Clock::now());
}

void SimulatedDriver::reset() {
    Lock lock(mutex_);
    enabled_ = false;
    motion_[1] = motion_[2] = 0.0f;
    queue(K::ResetAck, Clock::now());
}

void SimulatedDriver::set_zero_point() {
    Lock lock(mutex_);
    motion_[0] = 0.0f;
    queue(K::ZeroPointAck, Clock::now());
}

void SimulatedDriver::clear_error() {
    Lock lock(mutex_);
    error_bits_ = 0;
    queue(K::ErrorResetAck, Clock::now());
}

void SimulatedDriver::request_status() {
    Lock lock(mutex_);
    queue(K::StatusWord, Clock::now(), {}, 0, error_bits_);
}

void SimulatedDriver::request_params() {
    Lock lock(mutex_);
    queue_params();
}

void SimulatedDriver::write_params(const Params& params) {
    Lock lock(mutex_);
    params_ = params;
    queue(K::SetParamAck, Clock::now());
    queue_params();
}

void SimulatedDriver::flash_params() { locked([&] { flashed_ = params_; }); }

void SimulatedDriver::request_version() {
    Lock lock(mutex_);
    queue(K::Version, Clock::now(), {2.0f, 3.0f});
}

void SimulatedDriver::start_calibration() {
    Lock lock(mutex_);
    ++calibration_count_;
    if (script_.silent) return;
    auto t = Clock::now() + script_.start_delay;
    auto next = [&](K kind, float value = 0.0f, int index = 0, uint32_t word = 0) {
        queue(kind, t, {value}, index, word);
        t += script_.step_delay;
    };
    next(K::CalibrationStart);
    next(K::PhaseSequence, script_.phase_sequence);
    for (float v : script_.cogging_map) next(K::CoggingMapValue, v);
    for (float v : script_.compensation) next(K::CompensationValue, v);
    for (int i = 0; i < 12; ++i) next(K::CheckValue, script_.check_values[static_cast<size_t>(i)], i);
    next(K::CheckStep, 0.0f, 0, script_.check_step);
    if (script_.send_success) next(K::CalibrationSuccess);
}

void SimulatedDriver::motion_target(float position, float velocity, float torque, float, float) {
    Lock lock(mutex_);
    ++motion_target_count_;
    if (enabled_) motion_ = {position, velocity, torque};
    queue(K::MotionState, Clock::now(), {motion_[0], motion_[1], motion_[2]});
}

SimulatedDriver::Clock::time_point SimulatedDriver::stream_due(uint64_t n) const {
    return stream_start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(n / stream_rate_));
}

void SimulatedDriver::poll(Clock::time_point now, std::vector<Reply>& out) {
    Lock lock(mutex_);
    // Periodic outputs first catch up to `now`, interleaved with queued replies by due time.
    for (; common_interval_.count() > 0 && next_common_ <= now; next_common_ += common_interval_)
        queue(K::CommonState, next_common_, {common_[0], common_[1], common_[2]});
    if (stream_rate_ > 0.0) {
        const double elapsed = std::chrono::duration<double>(now - stream_start_).count();
        const uint64_t due = std::min<uint64_t>(static_cast<uint64_t>(std::floor(elapsed * stream_rate_)) + 1, stream_max_);
        for (; stream_sent_ < due; ++stream_sent_)
            queue(K::MotionState, stream_due(stream_sent_), {static_cast<float>(stream_sent_), motion_[1], motion_[2]});
    }
    const auto end = queue_.upper_bound(now);
    for (auto it = queue_.begin(); it != end; ++it) out.push_back(it->second);
    queue_.erase(queue_.begin(), end);
}

SimulatedDriver::Clock::time_point SimulatedDriver::next_due() {
    Lock lock(mutex_);
    auto next = queue_.empty() ? Clock::time_point::max() : queue_.begin()->first;
    if (common_interval_.count() > 0) next = std::min(next, next_common_);
    if (stream_rate_ > 0.0 && stream_sent_ < stream_max_) next = std::min(next, stream_due(stream_sent_));
    return next;
}

void SimulatedDriver::set_common_state_interval(std::chrono::microseconds interval) {
    Lock lock(mutex_);
    common_interval_ = interval;
    next_common_ = Clock::now() + interval;
}

void SimulatedDriver::set_motion_stream(double rate_hz, uint64_t max_samples) {
    Lock lock(mutex_);
    stream_rate_ = rate_hz;
    stream_max_ = max_samples;
    stream_sent_ = 0;
    stream_start_ = Clock::now();
}
