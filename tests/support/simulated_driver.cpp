#include "simulated_driver.h"

#include <cmath>

using Lock = std::lock_guard<std::mutex>;

SimulatedDriver::SimulatedDriver() = default;

namespace {
SimulatedDriver::Reply make_reply(SimulatedDriver::ReplyKind kind) {
    SimulatedDriver::Reply r;
    r.kind = kind;
    return r;
}
}  // namespace

void SimulatedDriver::queue_locked(const Reply& reply, Clock::time_point due) {
    queue_.emplace(due, reply);  // equal due times keep insertion order
}

void SimulatedDriver::queue_reply(const Reply& reply) {
    Lock lock(mutex_);
    queue_locked(reply, Clock::now());
}

void SimulatedDriver::enable() {
    Lock lock(mutex_);
    enabled_ = true;
    ++enable_count_;
    queue_locked(make_reply(ReplyKind::EnableAck), Clock::now());
}

void SimulatedDriver::disable() {
    Lock lock(mutex_);
    enabled_ = false;
    velocity_ = 0.0f;
    torque_ = 0.0f;
    queue_locked(make_reply(ReplyKind::DisableAck), Clock::now());
}

void SimulatedDriver::reset() {
    Lock lock(mutex_);
    enabled_ = false;
    velocity_ = 0.0f;
    torque_ = 0.0f;
    queue_locked(make_reply(ReplyKind::ResetAck), Clock::now());
}

void SimulatedDriver::set_zero_point() {
    Lock lock(mutex_);
    position_ = 0.0f;
    queue_locked(make_reply(ReplyKind::ZeroPointAck), Clock::now());
}

void SimulatedDriver::clear_error() {
    Lock lock(mutex_);
    error_bits_ = 0;
    queue_locked(make_reply(ReplyKind::ErrorResetAck), Clock::now());
}

void SimulatedDriver::request_status() {
    Lock lock(mutex_);
    Reply r = make_reply(ReplyKind::StatusWord);
    r.word = error_bits_;
    queue_locked(r, Clock::now());
}

SimulatedDriver::Reply SimulatedDriver::params_reply_locked() const {
    Reply r = make_reply(ReplyKind::FirmwareParams);
    for (size_t i = 0; i < 5; ++i) r.values[i] = params_[i];
    return r;
}

void SimulatedDriver::request_params() {
    Lock lock(mutex_);
    queue_locked(params_reply_locked(), Clock::now());
}

void SimulatedDriver::write_params(const Params& params) {
    Lock lock(mutex_);
    params_ = params;
    const auto now = Clock::now();
    queue_locked(make_reply(ReplyKind::SetParamAck), now);
    queue_locked(params_reply_locked(), now);
}

void SimulatedDriver::flash_params() {
    Lock lock(mutex_);
    flashed_ = params_;
}

void SimulatedDriver::request_version() {
    Lock lock(mutex_);
    Reply r = make_reply(ReplyKind::Version);
    r.values[0] = version_prefix_;
    r.values[1] = version_suffix_;
    queue_locked(r, Clock::now());
}

void SimulatedDriver::queue_check_locked(Clock::time_point& t) {
    for (int i = 0; i < 12; ++i) {
        Reply r = make_reply(ReplyKind::CheckValue);
        r.index = i;
        r.values[0] = script_.check_values[static_cast<size_t>(i)];
        queue_locked(r, t);
        t += script_.step_delay;
    }
    Reply step = make_reply(ReplyKind::CheckStep);
    step.word = script_.check_step;
    queue_locked(step, t);
    t += script_.step_delay;
}

void SimulatedDriver::start_calibration() {
    Lock lock(mutex_);
    ++calibration_count_;
    if (script_.silent) return;
    auto t = Clock::now() + script_.start_delay;
    queue_locked(make_reply(ReplyKind::CalibrationStart), t);
    t += script_.step_delay;
    Reply phase = make_reply(ReplyKind::PhaseSequence);
    phase.values[0] = script_.phase_sequence;
    queue_locked(phase, t);
    t += script_.step_delay;
    for (float v : script_.cogging_map) {
        Reply r = make_reply(ReplyKind::CoggingMapValue);
        r.values[0] = v;
        queue_locked(r, t);
        t += script_.step_delay;
    }
    for (float v : script_.compensation) {
        Reply r = make_reply(ReplyKind::CompensationValue);
        r.values[0] = v;
        queue_locked(r, t);
        t += script_.step_delay;
    }
    queue_check_locked(t);
    if (script_.send_success) queue_locked(make_reply(ReplyKind::CalibrationSuccess), t);
}

void SimulatedDriver::start_param_check() {
    Lock lock(mutex_);
    auto t = Clock::now();
    queue_check_locked(t);
}

void SimulatedDriver::motion_target(float position, float velocity, float torque, float, float) {
    Lock lock(mutex_);
    ++motion_target_count_;
    if (enabled_) {
        position_ = position;
        velocity_ = velocity;
        torque_ = torque;
    }
    const auto now = Clock::now();
    if (ack_motion_) queue_locked(make_reply(ReplyKind::MotionParamAck), now);
    Reply r = make_reply(ReplyKind::MotionState);
    r.values[0] = position_;
    r.values[1] = velocity_;
    r.values[2] = torque_;
    queue_locked(r, now);
}

void SimulatedDriver::poll(Clock::time_point now, std::vector<Reply>& out) {
    Lock lock(mutex_);
    // Streams first catch up to `now`, interleaved with queued replies by due time.
    if (common_interval_.count() > 0) {
        while (next_common_ <= now) {
            Reply r = make_reply(ReplyKind::CommonState);
            for (size_t i = 0; i < 3; ++i) r.values[i] = common_[i];
            queue_locked(r, next_common_);
            next_common_ += common_interval_;
        }
    }
    if (stream_rate_ > 0.0) {
        const double elapsed = std::chrono::duration<double>(now - stream_start_).count();
        uint64_t due = static_cast<uint64_t>(std::floor(elapsed * stream_rate_)) + 1;
        if (due > stream_max_) due = stream_max_;
        for (; stream_sent_ < due; ++stream_sent_) {
            Reply r = make_reply(ReplyKind::MotionState);
            r.values[0] = static_cast<float>(stream_sent_);
            r.values[1] = velocity_;
            r.values[2] = torque_;
            const auto when = stream_start_ + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(stream_sent_ / stream_rate_));
            queue_locked(r, when);
        }
    }
    auto end = queue_.upper_bound(now);
    for (auto it = queue_.begin(); it != end; ++it) out.push_back(it->second);
    queue_.erase(queue_.begin(), end);
}

SimulatedDriver::Clock::time_point SimulatedDriver::next_due() {
    Lock lock(mutex_);
    auto next = Clock::time_point::max();
    if (!queue_.empty()) next = queue_.begin()->first;
    if (common_interval_.count() > 0 && next_common_ < next) next = next_common_;
    if (stream_rate_ > 0.0 && stream_sent_ < stream_max_) {
        const auto when = stream_start_ + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(stream_sent_ / stream_rate_));
        if (when < next) next = when;
    }
    return next;
}

void SimulatedDriver::set_error_bits(uint16_t bits) {
    Lock lock(mutex_);
    error_bits_ = bits;
}

uint16_t SimulatedDriver::error_bits() {
    Lock lock(mutex_);
    return error_bits_;
}

void SimulatedDriver::set_version(float prefix, float suffix) {
    Lock lock(mutex_);
    version_prefix_ = prefix;
    version_suffix_ = suffix;
}

void SimulatedDriver::set_params(const Params& params) {
    Lock lock(mutex_);
    params_ = params;
}

SimulatedDriver::Params SimulatedDriver::params() {
    Lock lock(mutex_);
    return params_;
}

SimulatedDriver::Params SimulatedDriver::flashed_params() {
    Lock lock(mutex_);
    return flashed_;
}

bool SimulatedDriver::enabled() {
    Lock lock(mutex_);
    return enabled_;
}

void SimulatedDriver::set_calibration_script(const CalibrationScript& script) {
    Lock lock(mutex_);
    script_ = script;
}

void SimulatedDriver::set_common_state(float voltage, float motor_temp, float driver_temp) {
    Lock lock(mutex_);
    common_ = {voltage, motor_temp, driver_temp};
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

uint64_t SimulatedDriver::motion_stream_sent() {
    Lock lock(mutex_);
    return stream_sent_;
}

void SimulatedDriver::set_ack_motion_targets(bool on) {
    Lock lock(mutex_);
    ack_motion_ = on;
}

std::array<float, 3> SimulatedDriver::motion_state() {
    Lock lock(mutex_);
    return {position_, velocity_, torque_};
}

int SimulatedDriver::enable_count() {
    Lock lock(mutex_);
    return enable_count_;
}

int SimulatedDriver::calibration_count() {
    Lock lock(mutex_);
    return calibration_count_;
}

int SimulatedDriver::motion_target_count() {
    Lock lock(mutex_);
    return motion_target_count_;
}
