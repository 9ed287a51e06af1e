// The receive-thread base both reply parsers share.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device_receiver.h"
#include "wait_until.h"

namespace {

// A receiver whose loop produces samples on request.
class CountingReceiver : public DeviceReceiver {
public:
    ~CountingReceiver() override { stop_receive_thread(); }
    std::atomic<int> to_produce{0};
    // Whether another thread could take the motion-buffer lock right now.
    bool buffer_lock_free() {
        bool free = false;
        std::thread([&] { if ((free = motion_buffer_mutex_.try_lock())) motion_buffer_mutex_.unlock(); }).join();
        return free;
    }

protected:
    void receive_loop() override {
        for (; !stop_requested(); std::this_thread::sleep_for(std::chrono::microseconds(to_produce ? 0 : 200)))
            if (to_produce > 0) --to_produce, push_motion_state(StampedMoitonState{seconds_since_start(), 0, 0, 0});
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
    for (int round = 1; round <= 2; ++round) {  // a stopped receiver starts again
        r.start_receive_thread();
        r.start_receive_thread();  // a second thread would replace the running one: terminate
        r.to_produce = 250;
        ASSERT_TRUE(wait_until([&] { return seen == 250 * round; }, 5000)) << round;
        r.stop_receive_thread();
    }
    EXPECT_FALSE(lock_free_during_hand_over);
}

// Samples that arrive before any run start are stamped from the link's start (the
// thread's start), never from the clock's epoch (boot): a fresh start counts anew.
TEST(DeviceReceiver, SamplesCountFromTheThreadsStart) {
    CountingReceiver r;
    std::vector<float> times;
    QObject::connect(&r, &DeviceReceiver::motor_motion_state_signal, &r, [&](QVector<StampedMoitonState>& buf) {
        for (const StampedMoitonState& s : buf) times.push_back(s.time);
        buf.clear();
    }, Qt::DirectConnection);
    for (int round = 1; round <= 2; ++round) {
        r.start_receive_thread();
        r.to_produce = 1;
        ASSERT_TRUE(wait_until([&] { return int(times.size()) == round; }, 2000));
        EXPECT_GE(times.back(), 0.0f) << round;
        EXPECT_LT(times.back(), 0.2f) << round;
        QTest::qWait(300);
        r.stop_receive_thread();
    }
}

}  // namespace
