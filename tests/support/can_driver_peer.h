#pragma once
// The CAN side of a simulated driver. Frames the tool puts on the bus go to
// on_host_frame(), which drives the shared SimulatedDriver core with them and hands
// the driver's replies to `deliver` (e.g. an emulated adapter's delivery) before it
// returns, so each request's replies follow it; while started, a peer thread puts
// the core's timed replies (the calibration reports) on the bus when they are due.
// Besides the core it keeps the firmware image transfer (start, 8-byte chunks, size
// and CRC check, DFU start), checked against what it got with its own CRC.
#include <QByteArray>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "can_frame.h"
#include "simulated_driver.h"

class CanDriverPeer {
public:
    using Clock = std::chrono::steady_clock;
    struct Request {
        CanFrame frame;
        uint8_t cmd = 0, motor_id = 0;
        Clock::time_point at;
    };
    // How the driver answers a firmware-transfer step.
    enum class Answer { Ack, Reject, Silent };

    explicit CanDriverPeer(std::function<void(const CanFrame&)> deliver) : deliver_(std::move(deliver)) {}
    ~CanDriverPeer() { stop(); }
    // Only a started driver answers; frames are recorded either way. stop() waits
    // for an answer under way.
    void start();
    void stop();
    void on_host_frame(const CanFrame& frame);  // any thread

    SimulatedDriver& driver() { return driver_; }
    void set_motor_id(uint8_t id) { motor_id_ = id; }  // other ids are recorded, not answered
    void set_answers(Answer start, Answer check, Answer dfu) { answers_[0] = start, answers_[1] = check, answers_[2] = dfu; }
    // Silent: a calibration request gets neither its status nor the reports.
    void set_calibration_answer(Answer a) { calibration_answer_ = a; }

    std::vector<Request> requests(int cmd = -1);  // in arrival order; -1: all
    int request_count(uint8_t cmd) { return static_cast<int>(requests(cmd).size()); }
    void clear_requests() { std::lock_guard<std::mutex> lock(mutex_); requests_.clear(); }
    // Runs the Qt event loop until `count` requests of `cmd` arrived.
    bool wait_for_requests(uint8_t cmd, int count, int timeout_ms);
    QByteArray image() { std::lock_guard<std::mutex> lock(mutex_); return image_; }  // since the last write-app-back start
    // A frame toward the tool, in order with the peer's own replies.
    void send_frame(const CanFrame& frame) { std::lock_guard<std::mutex> lock(mutex_); deliver_(frame); }

    // The image check's CRC bit by bit, independent of the tool's table.
    static uint32_t reference_crc32(const QByteArray& bytes);

private:
    void run();
    void deliver_due_locked();
    void handle(const Request& request, std::vector<CanFrame>& out);
    bool encode(const SimulatedDriver::Reply& reply, CanFrame& out) const;
    CanFrame reply(uint8_t cmd, uint8_t dlc, const std::vector<uint8_t>& bytes = {}) const;

    std::function<void(const CanFrame&)> deliver_;
    SimulatedDriver driver_;
    std::atomic<bool> started_{false};
    std::atomic<uint8_t> motor_id_{1};
    std::atomic<Answer> answers_[3] = {Answer::Ack, Answer::Ack, Answer::Ack};
    std::atomic<Answer> calibration_answer_{Answer::Ack};
    std::mutex mutex_;
    std::vector<Request> requests_;
    QByteArray image_;
    std::thread thread_;
};
