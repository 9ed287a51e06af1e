#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device_receiver.h"

namespace {

// A receiver whose loop produces samples and status counts on request.
class CountingReceiver : public DeviceReceiver {
public:
    ~CountingReceiver() override { stop_receive_thread(); }
    std::atomic<int> loops_started{0}, to_produce{0}, produced{0}, commons_to_count{0};

    // Whether another thread could take the motion-buffer lock right now.
    bool buffer_lock_free() {
        bool free = false;
        std::thread probe([&] {
            if (motion_buffer_mutex_.try_lock()) {
                free = true;
                motion_buffer_mutex_.unlock();
            }
        });
        probe.join();
        return free;
    }

protected:
    void receive_loop() override {
        loops_started++;
        while (!stop_requested()) {
            if (commons_to_count.load() > 0) {
                commons_to_count--;
                count_common_state();
            }
            if (to_produce.load() > 0) {
                to_produce--;
                StampedMoitonState s;
                s.time = static_cast<float>(produced.load());
                push_motion_state(s);
                produced++;
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    }
};

TEST(DeviceReceiver, FlushHandsOverEverySampleOnceInOrderUnderTheBufferLock) {
    CountingReceiver r;
    std::vector<float> seen;
    bool free_during_emission = false;
    QObject::connect(&r, &DeviceReceiver::motor_motion_state_signal, &r,
                     [&](QVector<StampedMoitonState>& buf) {
                         free_during_emission = free_during_emission || r.buffer_lock_free();
                         for (const auto& s : buf) seen.push_back(s.time);
                         buf.clear();
                     }, Qt::DirectConnection);
    r.start_receive_thread();
    r.to_produce = 5000;
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(seen.size()), 5000, 5000);
    r.stop_receive_thread();
    for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], static_cast<float>(i));
    EXPECT_FALSE(free_during_emission);
    EXPECT_TRUE(r.buffer_lock_free());
}

TEST(DeviceReceiver, CountsAreReportedAndZeroedEverySecondIdleOrNot) {
    CountingReceiver r;
    QSignalSpy samples(&r, &DeviceReceiver::motor_motion_state_signal);
    QSignalSpy spy(&r, &DeviceReceiver::fps_signal);
    // Without a thread: zero counts, and no empty sample hand-overs.
    ASSERT_TRUE(spy.wait(1500));
    EXPECT_EQ(spy.at(0).at(0).value<FrameCount>().motion_count, 0u);
    EXPECT_EQ(spy.at(0).at(0).value<FrameCount>().common_count, 0u);
    EXPECT_EQ(samples.count(), 0);

    spy.clear();
    r.start_receive_thread();
    r.commons_to_count = 1;
    r.to_produce = 30;
    QTRY_COMPARE_WITH_TIMEOUT(r.produced.load(), 30, 2000);
    QTRY_COMPARE_WITH_TIMEOUT(r.commons_to_count.load(), 0, 2000);
    ASSERT_TRUE(spy.wait(1500));
    FrameCount total{};
    for (const auto& args : spy) {
        auto c = args.at(0).value<FrameCount>();
        total.motion_count += c.motion_count;
        total.common_count += c.common_count;
    }
    EXPECT_EQ(total.motion_count, 30u);
    EXPECT_EQ(total.common_count, 1u);
    spy.clear();
    ASSERT_TRUE(spy.wait(1500));
    EXPECT_EQ(spy.at(0).at(0).value<FrameCount>().common_count, 0u);
    EXPECT_EQ(spy.at(0).at(0).value<FrameCount>().motion_count, 0u);
}

TEST(DeviceReceiver, StartIsIdempotentAndRestartRunsAFreshLoop) {
    CountingReceiver r;
    r.start_receive_thread();
    r.start_receive_thread();
    QTRY_COMPARE_WITH_TIMEOUT(r.loops_started.load(), 1, 1000);
    r.stop_receive_thread();
    EXPECT_FALSE(r.has_receive_thread());
    r.stop_receive_thread();  // no thread: only sets the flag
    r.start_receive_thread();
    QTRY_COMPARE_WITH_TIMEOUT(r.loops_started.load(), 2, 1000);
    EXPECT_TRUE(r.has_receive_thread());
}

}  // namespace
