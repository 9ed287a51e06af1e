#pragma once
// The serial side of a simulated driver: a pseudo-terminal whose slave path the
// code under test opens, and a thread on the master side that cuts request frames
// out of the line, hands them to a SimulatedDriver and writes its replies back as
// serial wire frames.
//
//   auto peer = std::make_shared<SerialDriverPeer>();
//   ASSERT_TRUE(peer->start());
//   link->open(peer->slave_path());
//   ...
//   EXPECT_TRUE(peer->wait_for_requests(33, 2, 3000));   // spins the Qt event loop
//
// Every request frame that passes the checksum is recorded with its arrival time;
// every byte read is kept too (raw terminal bytes are no frames).
#include <QByteArray>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty_peer.h"
#include "simulated_driver.h"

class SerialDriverPeer {
public:
    using Clock = std::chrono::steady_clock;

    struct Request {
        QByteArray bytes;  // the whole frame as received
        uint8_t cmd = 0;
        std::vector<float> values;
        Clock::time_point at;
    };

    explicit SerialDriverPeer(std::shared_ptr<SimulatedDriver> driver = std::make_shared<SimulatedDriver>());
    ~SerialDriverPeer();

    // Makes a fresh pty and starts the peer thread; false without a pty.
    // After unplug() it may be called again (the new pty has a new path).
    bool start();
    // Stops the peer thread; the pty stays.
    void stop();
    // Plays an unplugged adapter: stops the thread and closes the master side.
    void unplug();

    std::string slave_path() const;
    SimulatedDriver& driver() { return *driver_; }
    std::shared_ptr<SimulatedDriver> driver_ptr() { return driver_; }

    // Bytes towards the tool, written by the peer thread in call order.
    void send_bytes(const QByteArray& bytes);
    // One reply frame with `values` (0, 1, 3 or 5 of them).
    void send_frame(uint8_t cmd, const std::vector<float>& values = {});

    std::vector<Request> requests();
    std::vector<Request> requests(uint8_t cmd);
    int request_count(uint8_t cmd);
    QByteArray raw_received();
    int bad_frame_count();
    void clear_received();
    uint64_t bytes_sent();

    // Waits (running the Qt event loop) until `count` requests of `cmd` arrived.
    bool wait_for_requests(uint8_t cmd, int count, int timeout_ms);
    // Waits until at least `count` raw bytes arrived.
    bool wait_for_raw(int count, int timeout_ms);

    // The reply frame the peer writes for one driver reply.
    static QByteArray encode_reply(const SimulatedDriver::Reply& reply);

private:
    void run();
    void parse_requests();
    void handle_request(const Request& request);

    std::shared_ptr<SimulatedDriver> driver_;
    std::unique_ptr<PtyPeer> pty_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    QByteArray raw_;
    QByteArray rx_;
    int bad_frames_ = 0;
    std::vector<QByteArray> outgoing_;
    std::atomic<uint64_t> bytes_sent_{0};
    std::string slave_path_;
};
