#pragma once
// The CAN side of a simulated driver. Frames the tool sends on the bus are handed to
// on_host_frame(); a peer thread decodes them in arrival order, drives the shared
// SimulatedDriver core, and puts the driver's replies on the bus through the deliver
// function given at construction (for example the emulated adapter's delivery).
//
// Besides the core's requests the peer keeps what only the CAN link has: the
// firmware image transfer (start, 8-byte chunks, size and CRC check, DFU start),
// which it verifies against the bytes it received itself.
#include <QByteArray>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "can_frame.h"
#include "simulated_driver.h"

class CanDriverPeer {
public:
    using Clock = std::chrono::steady_clock;
    using Deliver = std::function<void(const CanFrame&)>;

    struct Request {
        CanFrame frame;
        uint8_t cmd = 0;
        uint8_t motor_id = 0;
        Clock::time_point at;
    };

    // How the driver answers a firmware-transfer step.
    enum class Answer { Ack, Reject, Silent };

    explicit CanDriverPeer(Deliver deliver,
                           std::shared_ptr<SimulatedDriver> driver = std::make_shared<SimulatedDriver>());
    ~CanDriverPeer();

    void start();
    void stop();

    // Called for every frame the tool puts on the bus (any thread).
    void on_host_frame(const CanFrame& frame);

    SimulatedDriver& driver() { return *driver_; }
    // The id this driver answers to; frames for other ids are recorded but ignored.
    void set_motor_id(uint8_t id) { motor_id_ = id; }
    void set_start_answer(Answer a) { start_answer_ = a; }
    void set_check_answer(Answer a) { check_answer_ = a; }
    void set_dfu_answer(Answer a) { dfu_answer_ = a; }

    // Every frame seen, in arrival order.
    std::vector<Request> requests();
    std::vector<Request> requests(uint8_t cmd);
    int request_count(uint8_t cmd);
    void clear_requests();
    // Waits (running the Qt event loop) until `count` requests of `cmd` arrived.
    bool wait_for_requests(uint8_t cmd, int count, int timeout_ms);

    // The image bytes received since the last write-app-back start.
    QByteArray image();
    int dfu_count();

private:
    void run();
    // The CAN frame for one core reply; false for replies CAN lacks.
    bool encode_reply(const SimulatedDriver::Reply& reply, CanFrame& out) const;
    void handle(const Request& request, std::vector<CanFrame>& out);
    CanFrame status_reply(uint8_t cmd, uint8_t status) const;

    Deliver deliver_;
    std::shared_ptr<SimulatedDriver> driver_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint8_t> motor_id_{1};
    std::atomic<Answer> start_answer_{Answer::Ack};
    std::atomic<Answer> check_answer_{Answer::Ack};
    std::atomic<Answer> dfu_answer_{Answer::Ack};

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request> inbox_;
    std::vector<Request> requests_;
    QByteArray image_;
    int dfu_count_ = 0;
};
