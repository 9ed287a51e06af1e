#pragma once
// The serial side of a simulated driver: a pseudo-terminal whose slave path the code
// under test opens, and a thread on the master side that cuts request frames out of
// the line, hands them to a SimulatedDriver and writes its replies back as serial
// wire frames. Every request frame is recorded with its arrival time, every byte
// read is kept too (raw terminal bytes are no frames).
//
//   SerialDriverPeer peer;
//   ASSERT_TRUE(peer.start());
//   link->open(peer.slave_path());
//   EXPECT_TRUE(peer.wait_for_requests(33, 2, 3000));   // spins the Qt event loop
#include <QByteArray>
#include <array>
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
    template <class F>
    auto locked(F f) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }

public:
    using Clock = std::chrono::steady_clock;

    struct Request {
        uint8_t cmd = 0;
        std::vector<float> values;
        Clock::time_point at;
    };

    ~SerialDriverPeer() { stop(); }

    // Makes a fresh pty (a new path) and starts the peer thread; false without a pty.
    bool start();
    void stop();  // the pty stays
    // Plays an unplugged adapter: stops the thread and closes the master side.
    void unplug() {
        stop();
        if (pty_) pty_->close_master();
    }

    std::string slave_path() const { return pty_ ? pty_->slave_path() : std::string(); }
    SimulatedDriver& driver() { return driver_; }

    // Reads the line no faster than `bytes_per_second` (0: as fast as it comes), as a
    // real line would carry it; what the line cannot take yet backs up in the pty.
    void set_line_rate(int bytes_per_second) { line_rate_ = bytes_per_second; }

    // Bytes towards the tool, written by the peer thread in call order. Buffers are
    // copied, never shared, across threads: a shared one is reallocated in place
    // on a reference count the other thread dropped without ordering.
    void send_bytes(const QByteArray& bytes) { locked([&] { outgoing_.append(bytes.constData(), bytes.size()); }); }
    // One reply frame with these values, bit for bit.
    void send_frame(uint8_t cmd, std::vector<float> values = {});
    // Requests of `cmd` are still recorded but no longer reach the driver (a driver
    // that stays silent); false hands them on again.
    void set_ignored(uint8_t cmd, bool ignored) { locked([&] { ignored_[cmd] = ignored; }); }

    std::vector<Request> requests(int cmd = -1);  // -1: all
    int request_count(uint8_t cmd) { return static_cast<int>(requests(cmd).size()); }
    QByteArray raw_received() const { return locked([&] { return QByteArray(raw_.constData(), raw_.size()); }); }
    void clear_received() { locked([&] { requests_.clear(), raw_.clear(); }); }

    // Wait (running the Qt event loop) for `count` requests of `cmd` / raw bytes.
    bool wait_for_requests(uint8_t cmd, int count, int timeout_ms);
    bool wait_for_raw(int count, int timeout_ms);
    // Wait (running the Qt event loop) until the last request of `cmd` carries
    // `values`: the line keeps the order, so what was written before it is in too.
    bool wait_for_last(uint8_t cmd, const std::vector<float>& values, int timeout_ms);

private:
    void run();

    SimulatedDriver driver_;
    std::unique_ptr<PtyPeer> pty_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> line_rate_{0};
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    QByteArray raw_, outgoing_;
    std::array<bool, 256> ignored_{};
};
