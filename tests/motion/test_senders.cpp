// Step and curve senders streaming through the real link managers: over a
// pseudo-terminal to the simulated driver's serial side (device 1, 100 Hz) and over
// the emulated gs_usb adapter to its CAN side (device 2, 1000 Hz).
#include <QDir>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "can_codec.h"
#include "can_driver_on_adapter.h"
#include "can_manager.h"
#include "console_capture.h"
#include "curve_sender.h"
#include "emulated_usb_backend.h"
#include "sender_test_util.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "step_sender.h"
#include "wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;
using Target = std::array<float, 5>;

constexpr uint8_t kSerialMotionCmd = 16;
constexpr Target kZero{0.0f, 0.0f, 0.0f, 0.0f, 0.0f};

int thread_count() {
    return static_cast<int>(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Both managers exist in every test; exactly one link is opened, with the simulated
// driver on its far end.
class LinkFixture : public ::testing::TestWithParam<uint8_t> {
protected:
    void SetUp() override {
        backend_ = EmulatedUsbBackend::install();
        if (device() == 2) {
            adapter_ = backend_->add_adapter();
            can_peer_ = start_can_driver_on(adapter_, 0);
        } else {
            serial_peer_ = std::make_unique<SerialDriverPeer>();
            ASSERT_TRUE(serial_peer_->start());
        }
        serial_manager_ = std::make_shared<SerialManager>("en");
        can_manager_ = std::make_shared<CanManager>("en");
        if (device() == 2) {
            // The adapter is listed only after the scanner's first look.
            bool listed = false;
            QObject::connect(can_manager_->device_scanner(), &DeviceScanner::number_changed_signal,
                             can_manager_.get(), [&listed](std::vector<std::string>&) { listed = true; });
            ASSERT_TRUE(wait_until([&] { return listed; }, 3000));
            can_manager_->device_open_close_slot("0");
            ASSERT_TRUE(adapter_->is_open());
        } else {
            serial_manager_->device_open_close_slot(QString::fromStdString(serial_peer_->slave_path()));
            ASSERT_TRUE(serial_manager_->serial_interface()->is_open());
        }
    }

    void TearDown() override {
        serial_manager_.reset();
        can_manager_.reset();
        if (adapter_) adapter_->set_bus_listener(nullptr);
        can_peer_.reset();
        serial_peer_.reset();
        adapter_.reset();
        EmulatedUsbBackend::uninstall();
        backend_.reset();
    }

    uint8_t device() const { return GetParam(); }
    uint32_t rate() const { return device() == 2 ? 1000u : 100u; }

    int received_count() {
        return device() == 2 ? can_peer_->request_count(CanCommand::kMotionControl)
                             : serial_peer_->request_count(kSerialMotionCmd);
    }

    bool wait_received(int count, int timeout_ms) {
        return device() == 2 ? can_peer_->wait_for_requests(CanCommand::kMotionControl, count, timeout_ms)
                             : serial_peer_->wait_for_requests(kSerialMotionCmd, count, timeout_ms);
    }

    // True when received target `i` is exactly what the link makes of `expected`.
    ::testing::AssertionResult received_is(int i, const Target& expected) {
        bool same = false;
        if (device() == 2) {
            const auto frames = can_peer_->requests(CanCommand::kMotionControl);
            if (i >= static_cast<int>(frames.size())) return ::testing::AssertionFailure() << "no frame " << i;
            uint8_t packed[8] = {};
            pack_motion_command(packed, expected.data());
            same = frames[i].frame.dlc == 8 && std::memcmp(packed, frames[i].frame.data, 8) == 0;
        } else {
            const auto requests = serial_peer_->requests(kSerialMotionCmd);
            if (i >= static_cast<int>(requests.size())) return ::testing::AssertionFailure() << "no frame " << i;
            const auto& v = requests[i].values;
            same = v.size() == 5 && std::memcmp(v.data(), expected.data(), 5 * sizeof(float)) == 0;
        }
        if (same) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "target " << i << " differs from " << expected[0] << ", "
                                             << expected[1] << ", " << expected[2] << ", " << expected[3] << ", "
                                             << expected[4];
    }

    // Streams until the driver has `points` targets (and, after `midway`, `points`
    // more), stops, and checks that nothing arrives after stop returned.
    template <typename Sender>
    QVector<StampedMoitonState> stream_and_stop(Sender& sender, int points,
                                                const std::function<void()>& midway = {}) {
        QVector<StampedMoitonState> published;
        QObject::connect(&sender, &Sender::target_motion_state_signal, &sender,
                         [&](QVector<StampedMoitonState> batch) {
                             EXPECT_FALSE(batch.isEmpty());
                             published += batch;
                         });
        sender.start();
        EXPECT_TRUE(wait_received(points, 5000));
        if (midway) {
            midway();
            EXPECT_TRUE(wait_received(received_count() + points, 5000));
        }
        sender.stop();
        QTest::qWait(100);  // the zero crosses the link; a few publication ticks pass
        const int settled = received_count();
        QTest::qWait(60);
        EXPECT_EQ(received_count(), settled) << "targets still arriving after stop returned";
        QObject::disconnect(&sender, &Sender::target_motion_state_signal, &sender, nullptr);
        return published;
    }

    // Published points equal the received targets one by one, in time order; then exactly one zero.
    void expect_published_then_one_zero(const QVector<StampedMoitonState>& published, float kp, float kd) {
        ASSERT_FALSE(published.isEmpty());
        ASSERT_EQ(received_count(), published.size() + 1) << "every sent point published once, plus the zero";
        for (int i = 0; i < published.size(); ++i) {
            const auto& p = published[i];
            ASSERT_TRUE(received_is(i, {p.position, p.velocity, p.torque, kp, kd}));
            if (i > 0) {
                ASSERT_LE(published[i - 1].time, p.time) << "point " << i;
            }
        }
        EXPECT_TRUE(received_is(published.size(), kZero));
    }

    // Exactly one target, all zero, reaches the driver.
    void expect_only_one_zero() {
        ASSERT_TRUE(wait_received(1, 2000));
        QTest::qWait(50);
        EXPECT_EQ(received_count(), 1);
        EXPECT_TRUE(received_is(0, kZero));
    }

    std::shared_ptr<EmulatedUsbBackend> backend_;
    std::shared_ptr<EmulatedGsUsbAdapter> adapter_;
    std::unique_ptr<CanDriverPeer> can_peer_;
    std::unique_ptr<SerialDriverPeer> serial_peer_;
    std::shared_ptr<SerialManager> serial_manager_;
    std::shared_ptr<CanManager> can_manager_;
};

std::string link_name(const ::testing::TestParamInfo<uint8_t>& info) {
    return info.param == 2 ? "Can" : "Serial";
}

using StepSenderLink = LinkFixture;
using CurveSenderLink = LinkFixture;

TEST_P(StepSenderLink, StreamsTheTargetFollowsAChangeAndStopEndsWithOneZero) {
    StepSender sender(serial_manager_, can_manager_);
    {
        ConsoleCapture console;
        sender.set_param(device(), rate());
        EXPECT_EQ(sender_lines(console),
                  (std::vector<std::string>{"[INFO] Send_hz: " + std::to_string(rate()),
                                            "[INFO] Send_interval_ns_: " + std::to_string(1000000000u / rate()),
                                            "[INFO] Sleep_interval_us_: " + std::string(device() == 2 ? "200" : "2000")}));
    }
    const Target first{0.75f, -1.5f, 2.25f, 12.0f, 0.5f};
    const Target second{-2.0f, 0.5f, 0.0f, 12.0f, 0.5f};
    sender.set_target(first.data());
    const auto start = Clock::now();
    sender.set_start_time(start);
    int switched_after = 0;
    const auto published = stream_and_stop(sender, 10, [&] {
        sender.set_target(second.data());
        switched_after = received_count();
    });
    const float elapsed = std::chrono::duration<float>(Clock::now() - start).count();

    expect_published_then_one_zero(published, 12.0f, 0.5f);
    int i = 0;
    while (i < published.size() && published[i].position == first[0]) ++i;
    EXPECT_GE(i, 10);
    EXPECT_LE(i, switched_after + 1);  // at most the point in flight keeps the old target
    for (int k = 0; k < published.size(); ++k) {
        const Target& t = k < i ? first : second;
        const auto& p = published[k];
        ASSERT_TRUE(p.position == t[0] && p.velocity == t[1] && p.torque == t[2]) << "point " << k;
        EXPECT_GT(p.time, 0.0f);
        EXPECT_LT(p.time, elapsed);
    }
}

TEST_P(StepSenderLink, StopSendsOneZeroOnlyToAConfiguredLink) {
    StepSender sender(serial_manager_, can_manager_);
    sender.stop();  // no link chosen yet
    {
        ConsoleCapture console;
        sender.set_param(device(), 0);
        const auto lines = sender_lines(console);
        ASSERT_EQ(lines.size(), 1u) << console.text();
        EXPECT_EQ(lines[0].rfind("[ERROR] ", 0), 0u) << console.text();
    }
    sender.stop();  // the refused call chose no link either
    QTest::qWait(50);
    EXPECT_EQ(received_count(), 0);

    sender.set_param(device(), rate());
    {
        ConsoleCapture console;
        sender.set_param(device(), 7);  // same link: nothing changes, nothing logged
        EXPECT_TRUE(sender_lines(console).empty()) << console.text();
    }
    sender.stop();
    expect_only_one_zero();
}

TEST_P(StepSenderLink, SecondStartKeepsOneThread) {
    StepSender sender(serial_manager_, can_manager_);
    sender.set_param(device(), rate());
    const float target[5] = {0.1f, 0.2f, 0.3f, 1.0f, 0.1f};
    sender.set_target(target);
    const int threads_before = thread_count();
    sender.start();
    sender.start();
    EXPECT_EQ(thread_count(), threads_before + 1);
    const auto published = stream_and_stop(sender, 10);  // starts a third time
    EXPECT_EQ(thread_count(), threads_before);
    expect_published_then_one_zero(published, target[3], target[4]);
    // No start time was set: the samples count from the steady clock's zero.
    const float since_clock_zero = std::chrono::duration<float>(Clock::now().time_since_epoch()).count();
    for (const auto& p : published) EXPECT_NEAR(p.time, since_clock_zero, 2.0f);
}

TEST_P(StepSenderLink, PublicationHoldsTheStreamBackWhileItsSlotRuns) {
    StepSender sender(serial_manager_, can_manager_);
    sender.set_param(device(), rate());
    const float target[5] = {0.4f, 0.0f, 0.0f, 2.0f, 0.2f};
    sender.set_target(target);
    const auto t0 = Clock::now();
    sender.set_start_time(t0);
    auto since_t0 = [t0] { return std::chrono::duration<float>(Clock::now() - t0).count(); };
    QVector<StampedMoitonState> published;
    float entered = -1.0f;
    float left = -1.0f;
    QObject::connect(&sender, &StepSender::target_motion_state_signal, &sender,
                     [&](QVector<StampedMoitonState> batch) {
                         published += batch;
                         if (entered >= 0.0f) return;
                         entered = since_t0();
                         std::this_thread::sleep_for(std::chrono::milliseconds(60));
                         left = since_t0();
                     });
    sender.start();
    ASSERT_TRUE(wait_until([&] { return left >= 0.0f && !published.isEmpty() && published.back().time > left + 0.03f; },
                           3000));
    sender.stop();
    // The sender waits on its lock while the slot runs, so no point is stamped inside it.
    for (const auto& p : published) {
        EXPECT_FALSE(p.time > entered + 0.001f && p.time < left - 0.001f)
            << "point at " << p.time << " s while the slot ran from " << entered << " to " << left;
    }
}

TEST_P(CurveSenderLink, TorqueFollowSendsTheSineTorqueAndZeroRateKeepsTheOldRate) {
    CurveSender sender(serial_manager_, can_manager_);
    const Target params{2.5f, 2.0f, 0.0f, 0.0f, 0.0f};
    sender.set_param(0, params.data(), Clock::now(), device(), rate());
    {
        ConsoleCapture console;
        sender.set_param(0, params.data(), Clock::now(), device(), 0);
        EXPECT_EQ(sender_lines(console),
                  (std::vector<std::string>{"[ERROR] Send rate of 0 Hz refused, keeping Send_interval_ns_: " +
                                            std::to_string(1000000000u / rate())}));
    }
    const auto published = stream_and_stop(sender, device() == 2 ? 300 : 30);

    expect_published_then_one_zero(published, 0.0f, 0.0f);
    for (const auto& p : published) {
        ASSERT_EQ(p.position, 0.0f);
        ASSERT_EQ(p.velocity, 0.0f);
        ASSERT_EQ(p.torque, curve_target(0, p.time, params)[2]) << "t=" << p.time;
    }
}

TEST_P(CurveSenderLink, PositionFollowAtStartAndQuarterPeriod) {
    CurveSender sender(serial_manager_, can_manager_);
    const Target params{1.0f, 1.0f, 0.5f, 20.0f, 0.8f};
    sender.set_param(1, params.data(), Clock::now(), device(), rate());
    const auto published = stream_and_stop(sender, device() == 2 ? 300 : 30);  // until t passes 0.3 s

    expect_published_then_one_zero(published, 20.0f, 0.8f);
    for (const auto& p : published) {
        const Target expected = curve_target(1, p.time, params);
        ASSERT_EQ(p.position, expected[0]) << "t=" << p.time;
        ASSERT_EQ(p.velocity, expected[1]) << "t=" << p.time;
        ASSERT_EQ(p.torque, 0.0f);
    }
    // First point, a little after t = 0: position 0.5, velocity 2*pi.
    const auto& first = published.front();
    ASSERT_LT(first.time, 0.05f);
    EXPECT_NEAR(first.position, 0.5f, 6.3f * first.time + 1e-6f);
    EXPECT_NEAR(first.velocity, 6.283185f, 40.0f * first.time + 1e-5f);
    // The point nearest t = 0.25 s: position 1.5, velocity about 0.
    const StampedMoitonState* quarter = &published.front();
    for (const auto& p : published)
        if (std::fabs(p.time - 0.25f) < std::fabs(quarter->time - 0.25f)) quarter = &p;
    const float dt = std::fabs(quarter->time - 0.25f);
    ASSERT_LT(dt, 0.02f);
    EXPECT_NEAR(quarter->position, 1.5f, 20.0f * dt * dt + 1e-6f);
    EXPECT_NEAR(quarter->velocity, 0.0f, 6.3f * 6.3f * dt + 1e-5f);
}

TEST_P(CurveSenderLink, UnknownCurveTypeSendsNothingButTheStopZero) {
    CurveSender sender(serial_manager_, can_manager_);
    const float params[5] = {1.0f, 1.0f, 0.5f, 20.0f, 0.8f};
    {
        ConsoleCapture console;
        sender.set_param(2, params, Clock::now(), device(), rate());
        EXPECT_EQ(console.lines_starting("[WARN] Unknown curve").size(), 1u) << console.text();
    }
    int publications = 0;
    QObject::connect(&sender, &CurveSender::target_motion_state_signal, &sender,
                     [&](QVector<StampedMoitonState>) { ++publications; });
    sender.start();
    QTest::qWait(100);
    EXPECT_EQ(received_count(), 0);
    sender.stop();
    expect_only_one_zero();
    EXPECT_EQ(publications, 0);
}

TEST_P(CurveSenderLink, DestructionStopsAndSendsTheZero) {
    {
        ConsoleCapture console;
        auto sender = std::make_unique<CurveSender>(serial_manager_, can_manager_);
        const float params[5] = {1.0f, 1.0f, 0.0f, 0.0f, 0.0f};
        sender->set_param(0, params, Clock::now(), device(), rate());
        sender->start();
        ASSERT_TRUE(wait_received(3, 3000));
        sender.reset();
        EXPECT_TRUE(console.contains("[INFO] Destruct CurveSender\n")) << console.text();
    }
    QTest::qWait(100);
    const int at_end = received_count();
    QTest::qWait(60);
    ASSERT_EQ(received_count(), at_end);
    EXPECT_TRUE(received_is(at_end - 1, kZero));
    EXPECT_FALSE(received_is(at_end - 2, kZero));
}

INSTANTIATE_TEST_SUITE_P(Links, StepSenderLink, ::testing::Values(uint8_t{1}, uint8_t{2}), link_name);
INSTANTIATE_TEST_SUITE_P(Links, CurveSenderLink, ::testing::Values(uint8_t{1}, uint8_t{2}), link_name);

}  // namespace
