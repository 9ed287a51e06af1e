#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>

#include "device_receiver.h"

namespace {

// A receiver whose loop produces samples on request, to exercise the base alone.
class CountingReceiver : public DeviceReceiver {
public:
    ~CountingReceiver() override { stop_receive_thread(); }
    std::atomic<int> loops_started{0};
    std::atomic<int> to_produce{0};
    std::atomic<int> produced{0};

protected:
    void receive_loop() override {
        loops_started++;
        while (!stop_requested()) {
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

TEST(DeviceReceiver, FlushHandsOverEverySampleOnceAndInOrder) {
    CountingReceiver r;
    std::vector<float> seen;
    QObject::connect(&r, &DeviceReceiver::motor_motion_state_signal, &r,
                     [&](QVector<StampedMoitonState>& buf) {
                         for (const auto& s : buf) seen.push_back(s.time);
                         buf.clear();
                     }, Qt::DirectConnection);
    r.start_receive_thread();
    r.to_produce = 5000;
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(seen.size()), 5000, 5000);
    r.stop_receive_thread();
    for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], static_cast<float>(i));
}

TEST(DeviceReceiver, CountsAreTakenAndZeroedEachSecond) {
    CountingReceiver r;
    QSignalSpy spy(&r, &DeviceReceiver::fps_signal);
    r.start_receive_thread();
    r.to_produce = 30;
    QTRY_COMPARE_WITH_TIMEOUT(r.produced.load(), 30, 2000);
    ASSERT_TRUE(spy.wait(1500));
    FrameCount total{};
    for (const auto& args : spy) {
        auto c = args.at(0).value<FrameCount>();
        total.motion_count += c.motion_count;
        total.common_count += c.common_count;
    }
    EXPECT_EQ(total.motion_count, 30u);
    EXPECT_EQ(total.common_count, 0u);
    spy.clear();
    ASSERT_TRUE(spy.wait(1500));
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

TEST(DeviceReceiver, NoEmissionWithoutSamples) {
    CountingReceiver r;
    QSignalSpy spy(&r, &DeviceReceiver::motor_motion_state_signal);
    QTest::qWait(100);
    EXPECT_EQ(spy.count(), 0);
}

}  // namespace
