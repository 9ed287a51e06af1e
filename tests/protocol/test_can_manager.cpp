// The CAN link manager over the emulated adapter: open and close through its dialog,
// the receive thread, the status poll, clear error and the calibration verdict.
#include <QMetaObject>
#include <QTest>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <thread>

#include "can_frame_maker.h"
#include "can_manager_fixture.h"
#include "receiver_signals.h"

namespace {

using std::chrono::milliseconds;

CanFrame from_driver(uint8_t cmd, std::vector<uint8_t> bytes) { return make_can_frame(uint32_t{cmd} << 5 | 0x10 | 3, 8, bytes); }

void poll_status(CanManager* manager) { QMetaObject::invokeMethod(manager, "motor_status_checker_slot"); }

// Every request carries the typed motor id; replies come back until the link is
// closed; a reopen starts a new receive thread; destroying the manager closes it.
TEST_F(CanManagerTest, OpenCloseReopenAndDestroy) {
    ReceiverSignals<CanReceiver> log(manager->can_receiver(), Qt::QueuedConnection);
    std::vector<float> positions;
    QObject::connect(manager->can_receiver(), &DeviceReceiver::motor_motion_state_signal, manager.get(),
                     [&](QVector<StampedMoitonState>& buffer) {
                         for (const auto& s : buffer) positions.push_back(s.position);
                         buffer.clear();
                     }, Qt::DirectConnection);
    ASSERT_TRUE(toggle_link(true));
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
    manager->get_fw_version();
    manager->enable_motor();
    const float target[5] = {1.5f, 0, 0, 10, 1};
    manager->send_motion_command(target);
    manager->set_zero_point();
    manager->get_config();
    // The driver's 35 °C motor temperature and parameters {8, 1, 1000, 0, 10} on their wire steps.
    const std::vector<std::string> want = {"version(2,3)", "enable_sucess", "common(-100,33.7008,-100)", "zero_point",
                                           "firm(7.99954,1,1000,0,9.99954)"};
    auto replies = [&] {
        std::vector<std::string> names;
        for (const auto& n : log.names())
            if (n.rfind("error_frame", 0) != 0) names.push_back(n);  // the status poll's
        return names;
    };
    EXPECT_TRUE(wait_until([&] { return replies().size() >= want.size() && !positions.empty(); }, 3000));
    EXPECT_EQ(replies(), want);
    ASSERT_EQ(positions.size(), 1u);
    EXPECT_NEAR(positions[0], 1.5f, 0.01f);
    const auto requests = peer->requests();
    ASSERT_GE(requests.size(), 5u);
    for (const auto& r : requests) EXPECT_EQ(r.frame.id & 0x1F, 3u) << int(r.cmd);

    ASSERT_TRUE(toggle_link(false));
    EXPECT_FALSE(manager->can_receiver()->has_receive_thread());
    ASSERT_TRUE(toggle_link(true));
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
    log.clear();
    manager->enable_motor();
    EXPECT_TRUE(wait_until([&] { return replies() == std::vector<std::string>{"enable_sucess"}; }, 3000));
    manager.reset();
    EXPECT_FALSE(adapter->is_open());
}

// The receive thread starts even when the open fails, and only once.
TEST_F(CanManagerTest, FailedOpenStillStartsOneReceiveThread) {
    manager->device_open_close_slot("7");
    EXPECT_FALSE(adapter->is_open());
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
    manager->device_open_close_slot("");
    EXPECT_FALSE(adapter->is_open());
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
}

// The status word is asked for once a second while open, never while closed; clear
// error asks for it and then clears.
TEST_F(CanManagerTest, StatusPollAndClearError) {
    std::vector<uint16_t> errors;
    QObject::connect(manager->can_receiver(), &CanReceiver::error_frame_signal, manager.get(),
                     [&](uint16_t e) { errors.push_back(e); });
    int resets = 0;
    QObject::connect(manager->can_receiver(), &CanReceiver::error_reset_signal, manager.get(), [&] { ++resets; });
    poll_status(manager.get());
    peer->driver().set_error_bits(0x0104);
    ASSERT_TRUE(toggle_link(true));
    const auto opened = std::chrono::steady_clock::now();
    EXPECT_EQ(peer->request_count(CanCommand::kGetStatusWord), 0);
    ASSERT_TRUE(peer->wait_for_requests(CanCommand::kGetStatusWord, 2, 3000));
    // Once a second: in 2 s at most one poll per tick of the second (a late tick
    // brings the next one closer, never an extra one).
    ASSERT_TRUE(wait_until([&] { return std::chrono::steady_clock::now() - opened > milliseconds(2000); }, 3000));
    const auto polls = peer->requests(CanCommand::kGetStatusWord);
    EXPECT_LE(std::count_if(polls.begin(), polls.end(), [&](const auto& r) { return r.at - opened <= milliseconds(2000); }), 4);
    ASSERT_TRUE(wait_until([&] { return !errors.empty(); }, 1000));
    EXPECT_EQ(errors.back(), 0x0104);

    peer->clear_requests();
    manager->clear_error();
    ASSERT_TRUE(peer->wait_for_requests(CanCommand::kErrorReset, 1, 2000));
    const auto requests = peer->requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].cmd, CanCommand::kGetStatusWord);
    EXPECT_EQ(requests[1].cmd, CanCommand::kErrorReset);
    EXPECT_TRUE(wait_until([&] { return resets == 1; }, 2000));
    EXPECT_EQ(peer->driver().error_bits(), 0);

    ASSERT_TRUE(toggle_link(false));
    peer->clear_requests();
    poll_status(manager.get());
    QTest::qWait(20);
    EXPECT_EQ(peer->request_count(CanCommand::kGetStatusWord), 0);
    // A closed adapter takes no frame: a poll would fail with an error line.
    EXPECT_TRUE(console.lines_starting("[ERROR] CAN write failed").empty());
}

// A long silence: the status poll must not fill the adapter, or the channel reset that
// a full adapter brings would discard a DISABLE given early in the silence.
TEST_F(CanManagerTest, LongSilenceKeepsTheDisableGivenInIt) {
    ASSERT_TRUE(toggle_link(true));
    int silences = 0;
    QObject::connect(manager.get(), &CanManager::bus_silent_signal, manager.get(), [&] { ++silences; });
    adapter->set_acknowledged(false);
    manager->set_status_interval(2);
    ASSERT_TRUE(wait_until([&] { return silences == 1; }, 2000));
    manager->disable_motor();
    // About 250 polls: enough to fill the adapter's pool (3 mailboxes, 64 held) three times.
    QEventLoop silence;
    QTimer::singleShot(500, &silence, &QEventLoop::quit);
    silence.exec();
    manager->set_status_interval(3600 * 1000);
    EXPECT_EQ(adapter->timed_out_writes(), 0);
    adapter->set_acknowledged(true);
    EXPECT_TRUE(peer->wait_for_requests(CanCommand::kDisableMotor, 1, 2000));
}

// Each silence keeps one status request waiting in the adapter, also one that began
// before any poll on a link reopened while silent (which opens not silent): when
// power returns its reply ends the silence, the next target goes out, polls go on.
TEST_F(CanManagerTest, EverySilenceKeepsOneStatusRequestThatEndsIt) {
    ASSERT_TRUE(toggle_link(true));
    manager->set_status_interval(3600 * 1000);  // polled by hand
    int silences = 0;
    QObject::connect(manager.get(), &CanManager::bus_silent_signal, manager.get(), [&] { ++silences; });
    const float step[5] = {2, 0, 0, 20, 1.5f};
    const auto targets_written = [&] {
        const auto writes = adapter->host_writes();
        return std::count_if(writes.begin(), writes.end(), [](const auto& w) { return (w[4] | w[5] << 8) >> 5 == 4; });
    };
    // The adapter echoes the 3 frames in its mailboxes; then the echoes stop.
    const auto stream = [&] {
        for (int i = 0; i < 10; ++i) manager->send_motion_command(step);
    };
    adapter->set_acknowledged(false);
    stream();
    ASSERT_TRUE(wait_until([&] { return silences == 1; }, 2000));
    poll_status(manager.get());
    ASSERT_TRUE(toggle_link(false));
    ASSERT_TRUE(toggle_link(true));
    const auto written = targets_written();
    manager->send_motion_command(step);
    EXPECT_EQ(targets_written(), written + 1) << "the reopened link started silent";
    stream();
    ASSERT_TRUE(wait_until([&] { return silences == 2; }, 2000));
    const int polls = peer->request_count(CanCommand::kGetStatusWord);
    poll_status(manager.get());
    adapter->set_acknowledged(true);
    EXPECT_TRUE(peer->wait_for_requests(CanCommand::kGetStatusWord, polls + 1, 2000)) << "none waited";
    const int targets = peer->request_count(CanCommand::kMotionControl);
    EXPECT_TRUE(wait_until([&] {
        manager->send_motion_command(step);
        return peer->request_count(CanCommand::kMotionControl) > targets;
    }, 2000)) << "the silence did not end";
    poll_status(manager.get());
    EXPECT_TRUE(peer->wait_for_requests(CanCommand::kGetStatusWord, polls + 2, 2000));
}

// The verdict at the end of the calibration window: started with the driver's start
// report, failed without; a report after one verdict counts for the next calibration
// on the same link only.
TEST_F(CanManagerTest, CalibrationVerdicts) {
    ASSERT_TRUE(toggle_link(true));
    struct Row {
        CanDriverPeer::Answer answer;
        bool late_report;  // a start report with no calibration running, before this one
        bool reopen;       // the link closed and opened again after that report
        std::vector<std::string> events;
    } rows[] = {
        {CanDriverPeer::Answer::Ack, false, false, {}},
        {CanDriverPeer::Answer::Silent, false, false, {"calibrate_failed"}},
        {CanDriverPeer::Answer::Silent, true, false, {}},
        {CanDriverPeer::Answer::Silent, false, false, {"calibrate_failed"}},  // the late report counted once
        {CanDriverPeer::Answer::Silent, true, true, {"calibrate_failed"}},    // not on a later link
    };
    std::atomic<int> reports{0};
    QObject::connect(manager->can_receiver(), &CanReceiver::calibration_start_signal, manager.get(),
                     [&] { ++reports; }, Qt::DirectConnection);
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        peer->set_calibration_answer(row.answer);
        if (row.late_report) {
            const int before = reports;
            peer->send_frame(from_driver(CanCommand::kStateReport, {0, 0}));
            ASSERT_TRUE(wait_until([&] { return reports == before + 1; }, 5000));
        }
        if (row.reopen) ASSERT_TRUE(toggle_link(false) && toggle_link(true));
        events.clear();
        peer->clear_requests();
        if (row.answer == CanDriverPeer::Answer::Ack) {
            // Holds the GUI thread, inside the calibration's own loop, until the driver's
            // start report is taken: however slow the machine, it comes in time.
            QTimer::singleShot(0, manager.get(), [&, before = reports.load()] {
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (reports == before && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(milliseconds(1));
            });
        }
        const auto t0 = std::chrono::steady_clock::now();
        manager->calibrate_motor();  // returns with the verdict
        EXPECT_GE(std::chrono::steady_clock::now() - t0, milliseconds(kCalibrationMs));
        EXPECT_TRUE(peer->wait_for_requests(CanCommand::kCalibrateMotor, 1, 5000));
        EXPECT_EQ(peer->request_count(CanCommand::kCalibrateMotor), 1);
        QTest::qWait(10);
        EXPECT_EQ(events, row.events);
    }
}

// Only the driver's replies are parsed, in arrival order; 1000 motion replies become
// 1000 samples in order, timed from the start time, and counted as {1000, 1000}.
TEST_F(CanManagerTest, ReceiveThreadKeepsOrderAndCountsMotion) {
    ReceiverSignals<CanReceiver> log(manager->can_receiver(), Qt::DirectConnection);
    std::vector<StampedMoitonState> samples;
    QObject::connect(manager->can_receiver(), &DeviceReceiver::motor_motion_state_signal, manager.get(),
                     [&](QVector<StampedMoitonState>& buffer) {
                         samples.insert(samples.end(), buffer.begin(), buffer.end());
                         buffer.clear();
                     }, Qt::DirectConnection);
    FrameCount total{};
    QObject::connect(manager->can_receiver(), &DeviceReceiver::fps_signal, manager.get(), [&](FrameCount c) {
        total.common_count += c.common_count, total.motion_count += c.motion_count;
    });
    ASSERT_TRUE(toggle_link(true));
    peer->stop();  // the bus is the test's now
    adapter->deliver(make_can_frame(2u << 5 | 3, 0, {}));  // another node's request
    adapter->deliver(from_driver(2, {0}));
    adapter->deliver(make_can_frame(4u << 5 | 3, 8, {1, 2, 3, 4, 5, 6, 7, 8}));
    adapter->deliver(from_driver(23, {0x00, 0x04}));
    adapter->deliver(from_driver(1, {0}));
    adapter->deliver(from_driver(31, {0, 0}));
    EXPECT_TRUE(wait_until([&] { return log.names().size() >= 4; }, 2000));
    EXPECT_EQ(log.names(), (std::vector<std::string>{"enable_sucess", "error_frame(4)", "disable_sucess", "calibration_start"}));
    EXPECT_TRUE(console.lines_starting("[WARN]").empty());

    manager->set_start_time(std::chrono::steady_clock::now() - std::chrono::seconds(2));
    for (uint32_t i = 0; i < 1000; ++i) {
        adapter->deliver(make_motion_reply(3, i * 1000, 0x80000, 0x8000, 0, 0));
        if (i % 100 == 0) adapter->deliver(make_can_frame(4u << 5 | 3, 8, {}));  // not counted
    }
    EXPECT_TRUE(wait_until([&] { return samples.size() >= 1000 && total.motion_count >= 1000; }, 4000));
    EXPECT_EQ(total.motion_count, 1000u);
    EXPECT_EQ(total.common_count, 1000u);
    ASSERT_EQ(samples.size(), 1000u);
    for (size_t i = 0; i < samples.size(); ++i) {
        ASSERT_NEAR(samples[i].position, i * 1000 * 80.0 / 1048575 - 40, 1e-4) << i;
        ASSERT_NEAR(samples[i].velocity, 0.0, 1e-4);
        ASSERT_NEAR(samples[i].torque, 0.0, 2e-3);
        ASSERT_GE(samples[i].time, i ? samples[i - 1].time : 2.0f) << i;
        ASSERT_LT(samples[i].time, 20.0f);
    }
}

}  // namespace
