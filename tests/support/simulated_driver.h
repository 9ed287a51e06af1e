#pragma once
// A motor driver as the tool sees it, independent of the link that carries it.
//
// A front end (SerialDriverPeer, CanDriverPeer) decodes a request from its link,
// calls the matching request operation, and regularly calls poll() to collect the
// replies that are due, which it encodes for its link. Replies are queued with a
// due time, so immediate answers and timed sequences (calibration, streams) come
// out of one ordered queue. Every public operation takes the core's lock.
#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

class SimulatedDriver {
    template <class F>
    auto locked(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }

public:
    using Clock = std::chrono::steady_clock;

    // What the driver sends back, by meaning. A front end maps each kind to its
    // link's reply; values[0..2] of MotionState are position, velocity, torque, of
    // CommonState voltage, motor and driver temperature; FirmwareParams carries the
    // five Params, Version prefix and suffix; StatusWord is a `word`. The calibration
    // data kinds carry values[0]; CheckValue's `word` is its index in CheckData
    // order, CheckStep's `word` the step (0 = pass).
    enum class ReplyKind {
        EnableAck, DisableAck, ResetAck, ZeroPointAck, ErrorResetAck, CalibrationStart,
        CalibrationSuccess, MotionState, CommonState, FirmwareParams, Version, StatusWord,
        SetParamAck, PhaseSequence, CoggingMapValue, CompensationValue, CheckValue, CheckStep,
    };
    using K = ReplyKind;

    struct Reply {
        ReplyKind kind = ReplyKind::EnableAck;
        std::array<float, 5> values{};
        uint32_t word = 0;
    };

    // Gear ratio, CAN id, current bandwidth, CAN timeout, current limit.
    using Params = std::array<float, 5>;

    // What a calibration sends after the request; the default confirms the start
    // after 20 ms and the success 1 ms later, with no data in between.
    struct CalibrationScript {
        bool silent = false;  // not even the start is confirmed
        std::chrono::milliseconds start_delay{20}, step_delay{1};
        std::optional<float> phase_sequence;
        std::vector<float> cogging_map, compensation;
        std::optional<std::array<float, 12>> check_values;  // then the check step follows
        uint32_t check_step = 0;
        bool send_success = true;
    };

    // Requests (called by a front end). Disabled, the joint holds still.
    void enable() { locked([&] { enabled_ = true, now(K::EnableAck); }); }
    void disable() { locked([&] { enabled_ = false, motion_[1] = motion_[2] = 0, now(K::DisableAck); }); }
    void reset() { locked([&] { enabled_ = false, motion_[1] = motion_[2] = 0, now(K::ResetAck); }); }
    void set_zero_point() { locked([&] { motion_[0] = 0, now(K::ZeroPointAck); }); }
    void clear_error() { locked([&] { error_bits_ = 0, now(K::ErrorResetAck); }); }
    void request_status() { locked([&] { now(K::StatusWord, {}, error_bits_); }); }
    void request_params() { locked([&] { now(K::FirmwareParams, params_); }); }
    void request_version() { locked([&] { now(K::Version, {2.0f, 3.0f}); }); }
    // Plays the calibration script.
    void start_calibration();
    // Stores the parameters and acknowledges, as the driver does; a driver that
    // takes no writes (set_takes_param_writes(false)) ignores them.
    void write_params(const Params& params) {
        locked([&] {
            if (takes_writes_) params_ = params, now(K::SetParamAck);
        });
    }
    // Keeps the parameters in force "in flash"; the driver does not answer.
    void flash_params() { locked([&] { flashed_ = params_; }); }
    // Answers with one motion state.
    void motion_target(float position, float velocity, float torque, float, float) {
        locked([&] {
            ++motion_target_count_;
            if (enabled_) motion_ = {position, velocity, torque};
            now(K::MotionState, {motion_[0], motion_[1], motion_[2]});
        });
    }

    // Moves every reply due at `now` into `out`, in due order.
    void poll(Clock::time_point now, std::vector<Reply>& out);
    // Earliest due time of a queued reply or a periodic output; max() when none.
    Clock::time_point next_due();

    // State the test controls.
    void set_error_bits(uint16_t bits) { locked([&] { error_bits_ = bits; }); }
    uint16_t error_bits() { return locked([&] { return error_bits_; }); }
    void set_common_state(float voltage, float motor, float driver) { locked([&] { common_ = {voltage, motor, driver}; }); }
    // Unsolicited common-state reports every `interval` (0 = never, the default).
    void set_common_state_interval(std::chrono::microseconds interval) {
        locked([&] { common_interval_ = interval, next_common_ = Clock::now() + interval; });
    }
    // Unsolicited motion states at `rate_hz` (0 = off); position carries the running
    // sample number. Late polls catch up, so the number sent is exact for the time.
    void set_motion_stream(double rate_hz, uint64_t max_samples = UINT64_MAX) {
        locked([&] { stream_rate_ = rate_hz, stream_max_ = max_samples, stream_sent_ = 0, stream_start_ = Clock::now(); });
    }
    uint64_t motion_stream_sent() { return locked([&] { return stream_sent_; }); }
    // Ends the stream where it is; the samples it sent.
    uint64_t stop_motion_stream() { return locked([&] { return stream_max_ = stream_sent_; }); }
    int motion_target_count() { return locked([&] { return motion_target_count_; }); }
    void set_calibration_script(const CalibrationScript& script) { locked([&] { script_ = script; }); }
    void set_takes_param_writes(bool on) { locked([&] { takes_writes_ = on; }); }
    int calibration_count() { return locked([&] { return calibration_count_; }); }
    Params params() { return locked([&] { return params_; }); }
    Params flashed_params() { return locked([&] { return flashed_; }); }

private:
    // Equal due times keep insertion order.
    void now(K kind, Params values = {}, uint32_t word = 0) { queue_.emplace(Clock::now(), Reply{kind, values, word}); }
    Clock::time_point stream_due(uint64_t n) const {
        return stream_start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(n / stream_rate_));
    }

    std::mutex mutex_;
    std::multimap<Clock::time_point, Reply> queue_;
    bool enabled_ = false;
    uint16_t error_bits_ = 0;
    Params params_{8.0f, 1.0f, 1000.0f, 0.0f, 10.0f};
    std::array<float, 3> common_{24.0f, 35.0f, 40.0f}, motion_{};  // motion: position, velocity, torque
    std::chrono::microseconds common_interval_{0};
    Clock::time_point next_common_{}, stream_start_{};
    double stream_rate_ = 0.0;
    uint64_t stream_max_ = 0, stream_sent_ = 0;
    int motion_target_count_ = 0;
    CalibrationScript script_;
    int calibration_count_ = 0;
    Params flashed_ = params_;
    bool takes_writes_ = true;
};
