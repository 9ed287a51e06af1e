// Step and curve senders streaming through the real link managers: over a
// pseudo-terminal to the simulated driver's serial side (device 1, 100 Hz) and over
// the emulated gs_usb adapter to its CAN side (device 2, 1000 Hz).
#include <QDir>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
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
constexpr uint8_t kSerialVersionCmd = 25;
constexpr Target kZero{0.0f, 0.0f, 0.0f, 0.0f, 0.0f};

// Seconds from `from` to `to` as the senders stamp their points: whole microseconds, as f32.
float seconds_between(Clock::time_point from, Clock::time_point to) {
    return static_cast<float>(std::chrono::duration_cast<std::chrono::microseconds>(to - from).count()) / 1000000.0f;
}
float seconds_since(Clock::time_point from) { return seconds_between(from, Clock::now()); }

int thread_count() {
    return static_cast<int>(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Both links open, each with the simulated driver on its far end. They are opened
// once for all tests, since the CAN adapter is listed only after the scanner's first
// look; each test starts from an empty request record.
struct OpenLinks {
    std::shared_ptr<EmulatedUsbBackend> backend = EmulatedUsbBackend::install();
    std::shared_ptr<EmulatedGsUsbAdapter> adapter = backend->add_adapter();
    std::unique_ptr<CanDriverPeer> can_peer = start_can_driver_on(adapter, 0);
    SerialDriverPeer serial_peer;
    std::shared_ptr<SerialManager> serial_manager;
    std::shared_ptr<CanManager> can_manager;

    bool open() {
        if (!serial_peer.start()) return false;
        serial_manager = std::make_shared<SerialManager>("en");
        can_manager = std::make_shared<CanManager>("en");
        bool listed = false;
        // Later scans report too: the flag lives only as long as this call.
        const QMetaObject::Connection listing =
            QObject::connect(can_manager->device_scanner(), &DeviceScanner::number_changed_signal, can_manager.get(),
                             [&listed](std::vector<std::string>&) { listed = true; });
        const bool was_listed = wait_until([&] { return listed; }, 3000);
        QObject::disconnect(listing);
        if (!was_listed) return false;
        can_manager->device_open_close_slot("0");
        serial_manager->device_open_close_slot(QString::fromStdString(serial_peer.slave_path()));
        return adapter->is_open() && serial_manager->serial_interface()->is_open();
    }
    // Each link keeps the order of its frames: once a version request written now
    // reached its driver, whatever was written before it has arrived too.
    bool drain() {
        const int serial_versions = serial_peer.request_count(kSerialVersionCmd);
        const int can_versions = can_peer->request_count(CanCommand::kGetFwVersion);
        serial_manager->request_driver_version();
        can_manager->get_fw_version();
        return serial_peer.wait_for_requests(kSerialVersionCmd, serial_versions + 1, 5000) &&
               can_peer->wait_for_requests(CanCommand::kGetFwVersion, can_versions + 1, 5000);
    }
    ~OpenLinks() {
        serial_manager.reset();
        can_manager.reset();
        adapter->set_bus_listener(nullptr);
        can_peer.reset();
        adapter.reset();
        EmulatedUsbBackend::uninstall();
    }
};

std::unique_ptr<OpenLinks>& shared_links() {
    static std::unique_ptr<OpenLinks> links;
    return links;
}

class LinksEnvironment : public ::testing::Environment {
public:
    void TearDown() override { shared_links().reset(); }
};
const auto* const kLinksEnvironment = ::testing::AddGlobalTestEnvironment(new LinksEnvironment);

class LinkFixture : public ::testing::TestWithParam<uint8_t> {
protected:
    void SetUp() override {
        auto& links = shared_links();
        if (!links) {
            links = std::make_unique<OpenLinks>();
            ASSERT_TRUE(links->open());
        }
        ASSERT_TRUE(links->drain());  // the last zero of the previous test's sender arrives
        links->can_peer->clear_requests();
        links->serial_peer.clear_received();
        can_peer_ = links->can_peer.get();
        serial_peer_ = &links->serial_peer;
        serial_manager_ = links->serial_manager;
        can_manager_ = links->can_manager;
    }

    uint8_t device() const { return GetParam(); }
    uint32_t rate() const { return device() == 2 ? 1000u : 100u; }
    int interval_ms() const { return device() == 2 ? 1 : 10; }

    // Every motion target the driver got so far, in arrival order, as raw frames.
    int received_count() {
        return device() == 2 ? can_peer_->request_count(CanCommand::kMotionControl)
                             : serial_peer_->request_count(kSerialMotionCmd);
    }

    bool wait_received(int count, int timeout_ms) {
        return device() == 2 ? can_peer_->wait_for_requests(CanCommand::kMotionControl, count, timeout_ms)
                             : serial_peer_->wait_for_requests(kSerialMotionCmd, count, timeout_ms);
    }

    bool last_is_zero() {
        const int n = received_count();
        return n > 0 && received_is(n - 1, kZero);
    }
    // The stop's zero is written last: once it is in, every target is. The points
    // sent last are published at the sender's next 20 ms tick.
    void wait_stopped(const QVector<StampedMoitonState>& published) {
        wait_until([&] { return last_is_zero() && received_count() == published.size() + 1; }, 5000);
    }

    // True when received target `i` is exactly what the link makes of `expected`.
    ::testing::AssertionResult received_is(int i, const Target& expected) {
        if (device() == 2) {
            auto frames = can_peer_->requests(CanCommand::kMotionControl);
            if (i >= static_cast<int>(frames.size())) return ::testing::AssertionFailure() << "no frame " << i;
            uint8_t packed[8] = {};
            pack_motion_command(packed, expected.data());
            if (std::memcmp(packed, frames[i].frame.data, 8) != 0 || frames[i].frame.dlc != 8)
                return ::testing::AssertionFailure() << "frame " << i << " is" << frames[i].frame.to_hex_string();
            return ::testing::AssertionSuccess();
        }
        auto requests = serial_peer_->requests(kSerialMotionCmd);
        if (i >= static_cast<int>(requests.size())) return ::testing::AssertionFailure() << "no frame " << i;
        const auto& v = requests[i].values;
        if (v.size() != 5) return ::testing::AssertionFailure() << "frame " << i << " has " << v.size() << " values";
        for (int k = 0; k < 5; ++k) {
            if (std::memcmp(&v[k], &expected[k], sizeof(float)) != 0)
                return ::testing::AssertionFailure() << "frame " << i << " value " << k << " is " << v[k]
                                                     << ", expected " << expected[k];
        }
        return ::testing::AssertionSuccess();
    }

    // Streams until the driver has `points` targets, stops, and lets the last
    // publication and the all-zero target arrive. Returns the published points.
    template <typename Sender>
    QVector<StampedMoitonState> stream_and_stop(Sender& sender, int points) {
        QVector<StampedMoitonState> published;
        int publications = 0;
        QObject::connect(&sender, &Sender::target_motion_state_signal, &sender,
                         [&](QVector<StampedMoitonState> batch) {
                             EXPECT_FALSE(batch.isEmpty());
                             published += batch;
                             ++publications;
                         });
        sender.start();
        EXPECT_TRUE(wait_received(points, 5000));
        sender.stop();
        wait_stopped(published);
        const int settled = received_count();
        QTest::qWait(60);
        EXPECT_EQ(received_count(), settled) << "targets still arriving after stop returned";
        QObject::disconnect(&sender, &Sender::target_motion_state_signal, &sender, nullptr);
        EXPECT_GT(publications, 0);
        return published;
    }

    // Published points equal the received targets one by one; then exactly one zero.
    void expect_published_then_one_zero(const QVector<StampedMoitonState>& published, float kp, float kd) {
        ASSERT_EQ(received_count(), published.size() + 1) << "every sent point published once, plus the zero";
        for (int i = 0; i < published.size(); ++i) {
            const auto& p = published[i];
            ASSERT_TRUE(received_is(i, {p.position, p.velocity, p.torque, kp, kd}));
            if (i > 0) ASSERT_LE(published[i - 1].time, p.time) << "point " << i;
        }
        EXPECT_TRUE(received_is(published.size(), kZero));
    }

    CanDriverPeer* can_peer_ = nullptr;
    SerialDriverPeer* serial_peer_ = nullptr;
    std::shared_ptr<SerialManager> serial_manager_;
    std::shared_ptr<CanManager> can_manager_;
};

std::string link_name(const ::testing::TestParamInfo<uint8_t>& info) {
    return info.param == 2 ? "Can" : "Serial";
}

using StepSenderLink = LinkFixture;
using CurveSenderLink = LinkFixture;

TEST_P(StepSenderLink, StreamsTheTargetAndStopEndsWithOneZero) {
    StepSender sender(serial_manager_, can_manager_);
    ConsoleCapture console;
    sender.set_param(device(), rate());
    EXPECT_EQ(sender_lines(console),
              (std::vector<std::string>{"[INFO] Send_hz: " + std::to_string(rate()),
                                        "[INFO] Send_interval_ns_: " + std::to_string(1000000000u / rate()),
                                        "[INFO] Sleep_interval_us_: " + std::string(device() == 2 ? "200" : "2000")}));

    const float target[5] = {0.75f, -1.5f, 2.25f, 12.0f, 0.5f};
    sender.set_target(target);
    const auto start = Clock::now();
    sender.set_start_time(start);
    const auto published = stream_and_stop(sender, 20);
    const float elapsed = std::chrono::duration<float>(Clock::now() - start).count();

    expect_published_then_one_zero(published, target[3], target[4]);
    for (const auto& p : published) {
        EXPECT_EQ(p.position, target[0]);
        EXPECT_EQ(p.velocity, target[1]);
        EXPECT_EQ(p.torque, target[2]);
        EXPECT_GT(p.time, 0.0f);
        EXPECT_LT(p.time, elapsed);
    }
}

TEST_P(StepSenderLink, NewTargetTakesEffectWhileStreaming) {
    StepSender sender(serial_manager_, can_manager_);
    sender.set_param(device(), rate());
    const float first[5] = {1.0f, 0.0f, 0.0f, 5.0f, 1.0f};
    const float second[5] = {-2.0f, 0.5f, 0.0f, 5.0f, 1.0f};
    sender.set_target(first);
    const auto start = Clock::now();
    sender.set_start_time(start);
    QVector<StampedMoitonState> published;
    QObject::connect(&sender, &StepSender::target_motion_state_signal, &sender,
                     [&](QVector<StampedMoitonState> batch) { published += batch; });
    sender.start();
    ASSERT_TRUE(wait_received(5, 5000));
    sender.set_target(second);
    const float switched_at = seconds_since(start);
    const int switched_after = received_count();
    ASSERT_TRUE(wait_received(switched_after + 5, 5000));
    sender.stop();
    wait_stopped(published);

    ASSERT_EQ(received_count(), published.size() + 1);
    int i = 0;
    while (i < published.size() && published[i].position == first[0]) {
        ASSERT_TRUE(received_is(i, {first[0], first[1], first[2], 5.0f, 1.0f}));
        // Only a point sent before the new target was set keeps the old one.
        EXPECT_LE(published[i++].time, switched_at);
    }
    EXPECT_GE(i, 5);
    for (; i < published.size(); ++i) ASSERT_TRUE(received_is(i, {second[0], second[1], second[2], 5.0f, 1.0f}));
    EXPECT_TRUE(received_is(published.size(), kZero));
}

TEST_P(StepSenderLink, SecondStartKeepsOneThread) {
    StepSender sender(serial_manager_, can_manager_);
    sender.set_param(device(), rate());
    const float target[5] = {0.1f, 0.2f, 0.3f, 1.0f, 0.1f};
    sender.set_target(target);
    const int threads_before = thread_count();
    const float started = seconds_since(Clock::time_point{});
    sender.start();
    sender.start();
    EXPECT_EQ(thread_count(), threads_before + 1);
    const auto published = stream_and_stop(sender, 10);  // starts a third time: still one thread
    const float stopped = seconds_since(Clock::time_point{});
    EXPECT_EQ(thread_count(), threads_before);
    // A second loop would have gone on sending after stop; the fixture checked none did.
    expect_published_then_one_zero(published, target[3], target[4]);
    // No start time was set: the samples count from the steady clock's zero.
    for (const auto& p : published) {
        EXPECT_GE(p.time, started);
        EXPECT_LE(p.time, stopped);
    }
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

TEST_P(StepSenderLink, StopWithoutStreamSendsOneZeroOnlyToAConfiguredLink) {
    StepSender idle(serial_manager_, can_manager_);
    idle.stop();  // no link chosen yet
    QTest::qWait(50);
    EXPECT_EQ(received_count(), 0);

    idle.set_param(device(), rate());
    idle.stop();
    ASSERT_TRUE(wait_received(1, 5000));
    QTest::qWait(50);
    EXPECT_EQ(received_count(), 1);
    EXPECT_TRUE(received_is(0, kZero));
}

TEST_P(StepSenderLink, ZeroRateIsRefusedAndSameLinkIgnored) {
    StepSender sender(serial_manager_, can_manager_);
    {
        ConsoleCapture console;
        sender.set_param(device(), 0);
        const auto lines = sender_lines(console);
        ASSERT_EQ(lines.size(), 1u) << console.text();
        EXPECT_EQ(lines[0].rfind("[ERROR] ", 0), 0u) << console.text();
    }
    sender.stop();  // the refused call chose no link
    QTest::qWait(50);
    EXPECT_EQ(received_count(), 0);
    {
        ConsoleCapture console;
        sender.set_param(device(), rate());
        EXPECT_EQ(sender_lines(console).size(), 3u) << console.text();
    }
    {
        ConsoleCapture console;
        sender.set_param(device(), 7);  // same link: nothing changes, nothing logged
        EXPECT_TRUE(sender_lines(console).empty()) << console.text();
    }
    const float target[5] = {0.5f, 0.0f, 0.0f, 1.0f, 0.0f};
    sender.set_target(target);
    const auto published = stream_and_stop(sender, 5);
    expect_published_then_one_zero(published, 1.0f, 0.0f);
}

TEST_P(CurveSenderLink, TorqueFollowSendsTheSineTorqueOnly) {
    CurveSender sender(serial_manager_, can_manager_);
    const float params[5] = {2.5f, 2.0f, 0.0f, 0.0f, 0.0f};
    sender.set_param(0, params, Clock::now(), device(), rate());
    const auto published = stream_and_stop(sender, device() == 2 ? 300 : 30);

    expect_published_then_one_zero(published, 0.0f, 0.0f);
    for (const auto& p : published) {
        const Target expected = curve_target(0, p.time, {2.5f, 2.0f, 0.0f, 0.0f, 0.0f});
        ASSERT_EQ(p.position, 0.0f);
        ASSERT_EQ(p.velocity, 0.0f);
        ASSERT_EQ(p.torque, expected[2]) << "t=" << p.time;
    }
}

TEST_P(CurveSenderLink, PositionFollowAtStartAndQuarterPeriod) {
    CurveSender sender(serial_manager_, can_manager_);
    const float params[5] = {1.0f, 1.0f, 0.5f, 20.0f, 0.8f};
    const auto start = Clock::now();
    sender.set_param(1, params, start, device(), rate());
    // Until t passes 0.3 s.
    const auto published = stream_and_stop(sender, device() == 2 ? 300 : 30);

    expect_published_then_one_zero(published, 20.0f, 0.8f);
    ASSERT_FALSE(published.isEmpty());
    for (const auto& p : published) {
        const Target expected = curve_target(1, p.time, {1.0f, 1.0f, 0.5f, 20.0f, 0.8f});
        ASSERT_EQ(p.position, expected[0]) << "t=" << p.time;
        ASSERT_EQ(p.velocity, expected[1]) << "t=" << p.time;
        ASSERT_EQ(p.torque, 0.0f);
    }
    // First point, a little after t = 0: position 0.5, velocity 2*pi. It is stamped
    // before it is sent, so no later than the driver got it.
    const auto& first = published.front();
    const Clock::time_point first_in = device() == 2 ? can_peer_->requests(CanCommand::kMotionControl).front().at
                                                     : serial_peer_->requests(kSerialMotionCmd).front().at;
    ASSERT_GE(first.time, 0.0f);
    ASSERT_LE(first.time, seconds_between(start, first_in));
    EXPECT_NEAR(first.position, 0.5f, 6.3f * first.time + 1e-6f);
    EXPECT_NEAR(first.velocity, 6.283185f, 40.0f * first.time + 1e-5f);
    // The point nearest t = 0.25 s: position 1.5, velocity about 0. The bounds hold
    // however far from it a busy host put the nearest point.
    const StampedMoitonState* quarter = &published.front();
    for (const auto& p : published)
        if (std::fabs(p.time - 0.25f) < std::fabs(quarter->time - 0.25f)) quarter = &p;
    const float dt = std::fabs(quarter->time - 0.25f);
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
    ASSERT_TRUE(wait_received(1, 5000));
    QTest::qWait(50);
    EXPECT_EQ(received_count(), 1);
    EXPECT_TRUE(received_is(0, kZero));
    EXPECT_EQ(publications, 0);
}

TEST_P(CurveSenderLink, ZeroRateKeepsTheOldRateAndSecondStartKeepsOneThread) {
    CurveSender sender(serial_manager_, can_manager_);
    const float params[5] = {0.5f, 0.5f, 0.0f, 0.0f, 0.0f};
    sender.set_param(0, params, Clock::now(), device(), rate());
    {
        ConsoleCapture console;
        sender.set_param(0, params, Clock::now(), device(), 0);
        EXPECT_EQ(sender_lines(console),
                  (std::vector<std::string>{"[ERROR] Send rate of 0 Hz refused, keeping Send_interval_ns_: " +
                                            std::to_string(1000000000u / rate())}));
    }
    const int threads_before = thread_count();
    sender.start();
    sender.start();
    EXPECT_EQ(thread_count(), threads_before + 1);
    const auto published = stream_and_stop(sender, 10);
    EXPECT_EQ(thread_count(), threads_before);
    expect_published_then_one_zero(published, 0.0f, 0.0f);
}

TEST_P(CurveSenderLink, DestructionStopsAndSendsTheZero) {
    {
        auto sender = std::make_unique<CurveSender>(serial_manager_, can_manager_);
        const float params[5] = {1.0f, 1.0f, 0.0f, 0.0f, 0.0f};
        sender->set_param(0, params, Clock::now(), device(), rate());
        sender->start();
        ASSERT_TRUE(wait_received(3, 5000));
        sender.reset();
    }
    ASSERT_TRUE(wait_until([&] { return last_is_zero(); }, 5000));  // the destructor's zero is written last
    const int at_end = received_count();
    QTest::qWait(60);
    ASSERT_EQ(received_count(), at_end);
    EXPECT_TRUE(received_is(at_end - 1, kZero));
    EXPECT_FALSE(received_is(at_end - 2, kZero));
}

INSTANTIATE_TEST_SUITE_P(Links, StepSenderLink, ::testing::Values(uint8_t{1}, uint8_t{2}), link_name);
INSTANTIATE_TEST_SUITE_P(Links, CurveSenderLink, ::testing::Values(uint8_t{1}, uint8_t{2}), link_name);

// The serial fixture below compares the driver's values as vectors.
using Values = std::vector<float>;
Values as_target(const Target& t) { return Values(t.begin(), t.end()); }

class Senders : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.start());
        serial->device_open_close_slot(QString::fromStdString(peer.slave_path()));
        ASSERT_TRUE(serial->serial_interface()->is_open());
    }
    std::vector<Values> received() {
        QTest::qWait(100);  // a target sent after the last one waited for would arrive here
        std::vector<Values> out;
        for (const auto& r : peer.requests(kSerialMotionCmd)) out.push_back(r.values);
        return out;
    }

    SerialDriverPeer peer;
    std::shared_ptr<SerialManager> serial = std::make_shared<SerialManager>("en");
    std::shared_ptr<CanManager> can = std::make_shared<CanManager>("en");
};

// Every published point went out once, in order, as the reference curve; halt
// adds nothing, stop one zero. An unknown type sends only that zero. A rate of
// 0 Hz is refused.
TEST_F(Senders, CurvesFollowTheReference) {
    const Values zero(5, 0.0f);
    size_t left_over = 0;  // what the previous sender sent, with the zero of its destructor
    for (uint8_t type : {0, 1, 2}) {
        SCOPED_TRACE(int(type));
        ASSERT_TRUE(wait_until([&] { return peer.requests(kSerialMotionCmd).size() == left_over; }, 5000))
            << "the previous sender's destructor stops again with one zero";
        peer.clear_received();
        CurveSender sender(serial, can);
        QVector<StampedMoitonState> published;
        QObject::connect(&sender, &CurveSender::target_motion_state_signal, &sender,
                         [&published](QVector<StampedMoitonState> batch) { published += batch; });
        const Values p{1.5f, 2.0f, 0.5f, 20.0f, 0.8f};
        const auto start = Clock::now();
        sender.set_param(type, p.data(), start, 1, 100);
        sender.set_param(type, p.data(), start, 1, 0);
        sender.start();
        sender.start();  // a second thread would replace the running one: terminate
        EXPECT_TRUE(type == 2 || peer.wait_for_requests(kSerialMotionCmd, 25, 5000));
        sender.halt();
        const float halted_at = seconds_since(start);
        // Written after all the sender wrote: once it is in, so is that, and the last
        // points are published at the sender's next 20 ms tick.
        const int versions = peer.request_count(kSerialVersionCmd);
        serial->request_driver_version();
        ASSERT_TRUE(peer.wait_for_requests(kSerialVersionCmd, versions + 1, 5000));
        wait_until([&] { return peer.request_count(kSerialMotionCmd) == published.size(); }, 5000);
        const auto got = received();
        ASSERT_EQ(got.size(), size_t(published.size())) << "halt adds nothing";
        for (int i = 0; i < published.size(); ++i) {
            ASSERT_EQ(got[i], as_target(curve_target(type, published[i].time, {p[0], p[1], p[2], p[3], p[4]}))) << "point " << i;
            ASSERT_EQ(Values({published[i].position, published[i].velocity, published[i].torque, p[3], p[4]}), got[i]);
            ASSERT_LE(published[i].time, halted_at) << "point " << i << " sent after halt";
        }
        sender.stop();
        ASSERT_TRUE(peer.wait_for_last(kSerialMotionCmd, zero, 5000));
        ASSERT_EQ(received().size(), got.size() + 1);
        left_over = got.size() + 2;
    }
}

}  // namespace
