#pragma once
// The CAN side of a simulated driver. Frames the tool puts on the bus go to
// on_host_frame(), which drives the shared SimulatedDriver core with them and hands
// the driver's replies to `deliver` (e.g. an emulated adapter's delivery) before it
// returns, so each request's replies follow it. Besides the core it keeps the
// firmware image transfer (start, 8-byte chunks, size and CRC check, DFU start),
// checked against what it got.
#include <QByteArray>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "can_frame.h"
#include "simulated_driver.h"

class CanDriverPeer {
public:
    struct Request {
        CanFrame frame;
        uint8_t cmd = 0, motor_id = 0;
    };
    // How the driver answers a firmware-transfer step.
    enum class Answer { Ack, Reject, Silent };

    explicit CanDriverPeer(std::function<void(const CanFrame&)> deliver) : deliver_(std::move(deliver)) {}
    // Only a started driver answers; frames are recorded either way. stop() waits
    // for an answer under way.
    void start() { started_ = true; }
    void stop() { std::lock_guard<std::mutex> lock(mutex_); started_ = false; }
    void on_host_frame(const CanFrame& frame);  // any thread

    SimulatedDriver& driver() { return driver_; }
    void set_motor_id(uint8_t id) { motor_id_ = id; }  // other ids are recorded, not answered
    void set_answers(Answer start, Answer check, Answer dfu) { answers_[0] = start, answers_[1] = check, answers_[2] = dfu; }

    std::vector<Request> requests(int cmd = -1);  // in arrival order; -1: all
    int request_count(uint8_t cmd) { return static_cast<int>(requests(cmd).size()); }
    void clear_requests() { std::lock_guard<std::mutex> lock(mutex_); requests_.clear(); }
    // Runs the Qt event loop until `count` requests of `cmd` arrived.
    bool wait_for_requests(uint8_t cmd, int count, int timeout_ms);
    QByteArray image() { std::lock_guard<std::mutex> lock(mutex_); return image_; }  // since the last write-app-back start

private:
    void handle(const Request& request, std::vector<CanFrame>& out);
    bool encode(const SimulatedDriver::Reply& reply, CanFrame& out) const;
    CanFrame reply(uint8_t cmd, uint8_t dlc, const std::vector<uint8_t>& bytes = {}) const;

    std::function<void(const CanFrame&)> deliver_;
    SimulatedDriver driver_;
    std::atomic<bool> started_{false};
    std::atomic<uint8_t> motor_id_{1};
    std::atomic<Answer> answers_[3] = {Answer::Ack, Answer::Ack, Answer::Ack};
    std::mutex mutex_;
    std::vector<Request> requests_;
    QByteArray image_;
};
