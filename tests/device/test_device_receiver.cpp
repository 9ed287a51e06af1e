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

}  // namespace
