// The receive-thread base both reply parsers share, and the 500 ms device scanner.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device_receiver.h"
#include "device_scanner.h"
#include "wait_until.h"

namespace {

// A receiver whose loop produces samples on request.
class CountingReceiver : public DeviceReceiver {
public:
    ~CountingReceiver() override { stop_receive_thread(); }
    std::atomic<int> loops{0}, to_produce{0};
    // Whether another thread could take the motion-buffer lock right now.
    bool buffer_lock_free() {
        bool free = false;
        std::thread([&] { if ((free = motion_buffer_mutex_.try_lock())) motion_buffer_mutex_.unlock(); }).join();
        return free;
    }

protected:
    void receive_loop() override {
        for (++loops; !stop_requested(); std::this_thread::sleep_for(std::chrono::microseconds(to_produce ? 0 : 200)))
            if (to_produce > 0) --to_produce, push_motion_state(StampedMoitonState{});
    }
};

// Order, loss and counts of the hand-over are checked through the serial manager.
TEST(DeviceReceiver, HandsOverUnderTheLockStartsOnceAndRestarts) {
    CountingReceiver r;
    int seen = 0;
    bool lock_free_during_hand_over = false;
    QObject::connect(&r, &DeviceReceiver::motor_motion_state_signal, &r, [&](QVector<StampedMoitonState>& buf) {
        lock_free_during_hand_over |= r.buffer_lock_free();
        seen += buf.size();
        buf.clear();
    }, Qt::DirectConnection);
    r.start_receive_thread();
    r.start_receive_thread();  // a second start starts nothing
    r.to_produce = 500;
    ASSERT_TRUE(wait_until([&] { return seen == 500; }, 5000));
    EXPECT_FALSE(lock_free_during_hand_over);
    EXPECT_EQ(r.loops, 1);
    r.stop_receive_thread();
    EXPECT_FALSE(r.has_receive_thread());
    r.start_receive_thread();
    ASSERT_TRUE(wait_until([&] { return r.loops == 2; }, 1000));
}

// A link whose device list and open state the test sets; it counts the scanner's ticks.
class ListedDevice : public DeviceInterface {
public:
    std::vector<std::string> names;
    bool open_state = false;
    int ticks = 0;
    void scan_devices(std::vector<std::string>& devices) override {
        ++ticks;
        devices.insert(devices.end(), names.begin(), names.end());
    }
    int open(const std::string&) override { return 0; }
    int close() override { return 1; }
    bool is_open() override { return open_state; }
};

TEST(DeviceScanner, ReportsCountAndStateChangesOnly) {
    auto dev = std::make_shared<ListedDevice>();
    DeviceScanner scanner(dev);
    std::vector<std::vector<std::string>> lists;
    std::vector<bool> states;
    QObject::connect(&scanner, &DeviceScanner::number_changed_signal, [&](std::vector<std::string>& d) { lists.push_back(d); });
    QObject::connect(&scanner, &DeviceScanner::state_changed_signal, [&](bool s) { states.push_back(s); });
    const std::vector<std::string> three{"ttyUSB0", "ttyUSB1", "ttyUSB2"}, two{"ttyUSB0", "ttyUSB1"};
    using Lists = std::vector<std::vector<std::string>>;
    const struct { std::vector<std::string> names; bool open; Lists lists; std::vector<bool> states; } ticks[] = {
        {{}, false, {}, {}},  // nothing to report at start-up
        {three, false, {three}, {}},
        {three, true, {}, {true}},
        {{"ttyUSB0", "ttyUSB1", "ttyACM0"}, true, {}, {}},  // replaced, same count
        {two, false, {two}, {false}},
    };
    for (const auto& tick : ticks) {
        dev->names = tick.names;
        dev->open_state = tick.open;
        lists.clear(), states.clear();
        const int before = dev->ticks;
        ASSERT_TRUE(wait_until([&] { return dev->ticks > before; }, 1500));
        EXPECT_EQ(lists, tick.lists) << "tick " << dev->ticks;
        EXPECT_EQ(states, tick.states) << "tick " << dev->ticks;
    }
}

}  // namespace
