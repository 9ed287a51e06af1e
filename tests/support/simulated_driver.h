#pragma once
// A motor driver as the tool sees it, independent of the link that carries it.
//
// The core knows requests and replies by meaning, not by wire code: a front end
// (serial: SerialDriverPeer; a CAN front end can be added the same way) decodes a
// request from its link, calls the matching request operation below, and then
// regularly calls poll() to collect the replies that are due and encodes them for
// its link. Replies are queued with a due time, so immediate answers and timed
// sequences (calibration, parameter check, streams) come out of one ordered queue.
//
// Thread safety: every public operation takes the core's lock, so a test may change
// the state (error bits, version, scripts) while a front end thread drives it.
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

class SimulatedDriver {
public:
    using Clock = std::chrono::steady_clock;

    // What the driver sends back, by meaning.
    enum class ReplyKind {
        EnableAck,          // serial 1
        DisableAck,         // serial 7
        ResetAck,           // serial 18
        ZeroPointAck,       // serial 8
        ErrorResetAck,      // serial 32
        SetParamAck,        // serial 34
        MotionParamAck,     // serial 21 (only when ack_motion_targets is on)
        CalibrationStart,   // serial 5
        CalibrationSuccess, // serial 6
        PhaseSequence,      // serial 9, values[0]
        CoggingMapValue,    // serial 16, values[0]
        CompensationValue,  // serial 17, values[0]
        CheckValue,         // serial 37 + index, values[0]; index 0..11 in CheckData order
        CheckStep,          // serial 36, word = step
        MotionState,        // serial 2, values[0..2] = position, velocity, torque
        CommonState,        // serial 4, values[0..2] = voltage, motor temp, driver temp
        FirmwareParams,     // serial 3, values[0..4] = gear, can id, bandwidth, timeout, limit
        Version,            // serial 19, values[0..1] = prefix, suffix
        StatusWord,         // serial 33, word = error bits
    };

    struct Reply {
        ReplyKind kind = ReplyKind::EnableAck;
        std::array<float, 5> values{};
        int index = 0;
        uint32_t word = 0;
    };

    // Five values in wire order: gear ratio, CAN id, current bandwidth, CAN timeout, current limit.
    using Params = std::array<float, 5>;

    // What a calibration produces after the start report. Delays are between replies.
    struct CalibrationScript {
        bool silent = false;                         // send nothing at all (start never confirmed)
        std::chrono::milliseconds start_delay{20};   // request -> start report
        std::chrono::milliseconds step_delay{1};     // between the following replies
        float phase_sequence = 1.0f;
        std::vector<float> cogging_map{0.1f, 0.2f, 0.3f};
        std::vector<float> compensation{1.5f, -1.5f};
        std::array<float, 12> check_values{0.01f, 0.02f, 35.0f, 40.0f, 0.5f, 0.0002f,
                                           0.3f,  0.05f, 0.1f,  0.9f,  0.02f, 0.0001f};
        uint32_t check_step = 0;                     // 0 = pass
        bool send_success = true;
    };

    SimulatedDriver();

    // ---- Requests (called by a front end) --------------------------------------
    void enable();
    void disable();
    void reset();
    void set_zero_point();
    void clear_error();
    void request_status();
    void request_params();
    // Stores the parameters, acknowledges, then reports the parameters now in force.
    void write_params(const Params& params);
    // Stores the applied parameters "in flash"; the driver does not answer.
    void flash_params();
    void request_version();
    void start_calibration();
    // Answers with one motion state (and a MotionParamAck first if enabled).
    void motion_target(float position, float velocity, float torque, float kp, float kd);

    // Moves every reply due at `now` into `out`, in due order.
    void poll(Clock::time_point now, std::vector<Reply>& out);
    // Earliest due time of a queued reply or a periodic output; max() when none.
    Clock::time_point next_due();

    // ---- State the test controls ------------------------------------------------
    void set_error_bits(uint16_t bits);
    uint16_t error_bits();
    void set_version(float prefix, float suffix);
    void set_params(const Params& params);
    Params params();
    Params flashed_params();
    bool enabled();
    void set_calibration_script(const CalibrationScript& script);
    // Sends the twelve check values and the step of `script` without a calibration.
    void start_param_check();
    // Unsolicited common-state reports every `interval` (0 = never, the default).
    void set_common_state(float voltage, float motor_temp, float driver_temp);
    void set_common_state_interval(std::chrono::microseconds interval);
    // Unsolicited motion states at `rate_hz` (0 = off). Position carries the running
    // sample number (0, 1, 2, ...) so a test can check order and completeness;
    // velocity and torque carry the current model state. Late polls catch up, so the
    // number sent is exact for the time elapsed.
    void set_motion_stream(double rate_hz, uint64_t max_samples = UINT64_MAX);
    uint64_t motion_stream_sent();
    // Acknowledge each motion target with MotionParamAck before its state (default off).
    void set_ack_motion_targets(bool on);
    // Queues any reply now (for tests that need a specific one).
    void queue_reply(const Reply& reply);

    // Motion model: while enabled the joint follows each target at once; disabled it
    // holds its position with zero velocity and torque.
    std::array<float, 3> motion_state();

    // Counts of the requests seen, by kind of request.
    int enable_count();
    int calibration_count();
    int motion_target_count();

private:
    void queue_locked(const Reply& reply, Clock::time_point due);
    void queue_check_locked(Clock::time_point& t);
    Reply params_reply_locked() const;

    std::mutex mutex_;
    std::multimap<Clock::time_point, Reply> queue_;
    bool enabled_ = false;
    uint16_t error_bits_ = 0;
    float version_prefix_ = 2.0f;
    float version_suffix_ = 3.0f;
    Params params_{8.0f, 1.0f, 1000.0f, 0.0f, 10.0f};
    Params flashed_{8.0f, 1.0f, 1000.0f, 0.0f, 10.0f};
    CalibrationScript script_;
    std::array<float, 3> common_{24.0f, 35.0f, 40.0f};
    std::chrono::microseconds common_interval_{0};
    Clock::time_point next_common_{};
    double stream_rate_ = 0.0;
    uint64_t stream_max_ = 0;
    uint64_t stream_sent_ = 0;
    Clock::time_point stream_start_{};
    bool ack_motion_ = false;
    float position_ = 0.0f;
    float velocity_ = 0.0f;
    float torque_ = 0.0f;
    int enable_count_ = 0;
    int calibration_count_ = 0;
    int motion_target_count_ = 0;
};
