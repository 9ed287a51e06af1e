// The receive-thread base both reply parsers share.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "device_receiver.h"
#include "wait_until.h"

namespace {

// A receiver whose loop produces samples on request.
class CountingReceiver : public DeviceReceiver {
public:
    ~CountingReceiver() override { stop_receive_thread(); }
    std::atomic<int> to_produce{0};
    std::atomic<int> commons_to_count{0};
    std::atomic<int> loops_started{0};
    std::atomic<int> produced{0};
    std::atomic<bool> stamp_from_start{false};  // else each sample's time is its running number
    void set_start(std::chrono::steady_clock::time_point t) { store_start_time(t); }
    // Keeps the sample times in hand-over order, consumed as the main window does.
    std::vector<float> seen;
    void collect_times() {
        connect(this, &DeviceReceiver::motor_motion_state_signal, this, [this](QVector<StampedMoitonState>& buf) {
            for (const auto& s : buf) seen.push_back(s.time);
            buf.clear();
        }, Qt::DirectConnection);
    }
    // Whether another thread could take the motion-buffer lock right now.
    bool buffer_lock_free() {
        bool free = false;
        std::thread([&] { if ((free = motion_buffer_mutex_.try_lock())) motion_buffer_mutex_.unlock(); }).join();
        return free;
    }

protected:
    // Each sample's time is its running number, or its stamp when asked for.
    void receive_loop() override {
        ++loops_started;
        for (; !stop_requested(); std::this_thread::sleep_for(std::chrono::microseconds(to_produce ? 0 : 200))) {
            if (commons_to_count > 0) --commons_to_count, count_common_state();
            if (to_produce > 0) {
                StampedMoitonState s{};
                s.time = stamp_from_start ? seconds_since_start() : static_cast<float>(produced);
                --to_produce, push_motion_state(s), ++produced;
            }
        }
    }
};

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

// Every sample reaches the slot once and in order.
TEST(DeviceReceiver, HandsOverEverySampleOnceAndInOrder) {
    CountingReceiver r;
    const std::vector<float>& seen = r.seen;
    r.collect_times();
    r.start_receive_thread();
    r.to_produce = 5000;
    ASSERT_TRUE(wait_until([&] { return seen.size() >= 5000; }, 5000));
    r.stop_receive_thread();
    QTest::qWait(40);  // a flush after the last one would bring duplicates
    ASSERT_EQ(seen.size(), 5000u);
    for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], static_cast<float>(i));
}

// Idle: {0, 0} each second and no samples; then a second's counts once, then {0, 0}.
TEST(DeviceReceiver, CountsAreTakenAndZeroedEachSecond) {
    CountingReceiver r;
    std::vector<std::pair<uint32_t, uint32_t>> ticks;
    int sample_signals = 0;
    QObject::connect(&r, &DeviceReceiver::fps_signal, &r, [&](FrameCount c) { ticks.emplace_back(c.common_count, c.motion_count); });
    QObject::connect(&r, &DeviceReceiver::motor_motion_state_signal, &r, [&](QVector<StampedMoitonState>&) { ++sample_signals; },
                     Qt::DirectConnection);
    ASSERT_TRUE(wait_until([&] { return ticks.size() == 1; }, 1500));
    EXPECT_EQ(ticks[0], std::make_pair(0u, 0u));
    EXPECT_EQ(sample_signals, 0);
    QObject::disconnect(&r, &DeviceReceiver::motor_motion_state_signal, nullptr, nullptr);
    QObject::connect(&r, &DeviceReceiver::motor_motion_state_signal, &r, [&](QVector<StampedMoitonState>& b) { b.clear(); },
                     Qt::DirectConnection);
    r.start_receive_thread();
    r.commons_to_count = 1;
    r.to_produce = 30;
    ASSERT_TRUE(wait_until([&] { return r.produced == 30 && r.commons_to_count == 0; }, 1000));
    ASSERT_TRUE(wait_until([&] { return ticks.size() == 2; }, 1500));
    ASSERT_TRUE(wait_until([&] { return ticks.size() == 3; }, 1500));
    EXPECT_EQ(ticks[1], std::make_pair(1u, 30u));
    EXPECT_EQ(ticks[2], std::make_pair(0u, 0u));
}

// Sample times count from the start time in force, to the microsecond.
TEST(DeviceReceiver, SamplesAreStampedInMicrosecondsFromTheStartTime) {
    CountingReceiver r;
    r.stamp_from_start = true;
    const std::vector<float>& seen = r.seen;
    r.collect_times();
    r.start_receive_thread();  // starts the clock; a run's start time then replaces it
    r.set_start(std::chrono::steady_clock::now() - std::chrono::seconds(2));
    for (int i = 0; i < 20; ++i) {  // one at a time, a few ms apart
        r.to_produce = 1;
        ASSERT_TRUE(wait_until([&] { return seen.size() == size_t(i + 1); }, 1000));
    }
    r.stop_receive_thread();
    for (float t : seen) EXPECT_TRUE(t >= 2.0f && t < 3.0f) << t;
    // Whole milliseconds on every one of them would mean a coarser clock.
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](float t) { return t != float(std::round(t * 1000.0) / 1000.0); }));
}

// Start while running starts nothing; stop without a thread only sets the flag;
// a start after it runs a fresh loop.
TEST(DeviceReceiver, StartIsIdempotentAndRestartRunsAFreshLoop) {
    CountingReceiver r;
    r.start_receive_thread();
    r.start_receive_thread();
    EXPECT_TRUE(wait_until([&] { return r.loops_started == 1; }, 1000));
    QTest::qWait(20);
    EXPECT_EQ(r.loops_started, 1);
    r.stop_receive_thread();
    EXPECT_FALSE(r.has_receive_thread());
    r.stop_receive_thread();
    r.start_receive_thread();
    EXPECT_TRUE(wait_until([&] { return r.loops_started == 2; }, 1000));
    EXPECT_TRUE(r.has_receive_thread());
    r.to_produce = 1;  // the fresh loop is not stopped by the flag set before it
    EXPECT_TRUE(wait_until([&] { return r.produced == 1; }, 1000));
}

// Samples that arrive before any run start are stamped from the link's start (the
// thread's start), never from the clock's epoch (boot): a fresh start counts anew.
TEST(DeviceReceiver, SamplesCountFromTheThreadsStart) {
    CountingReceiver r;
    r.stamp_from_start = true;
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
