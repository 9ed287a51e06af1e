#include "can_link_fixture.h"

namespace {

TEST_F(CanManagerTest, OpenViaDialogCarriesMotorIdInEveryIdentifierAndCloses) {
    std::vector<std::string> acks;
    auto* rx = manager->can_receiver();
    QObject::connect(rx, &CanReceiver::enable_sucess_signal, manager.get(), [&] { acks.push_back("enable"); });
    QObject::connect(rx, &CanReceiver::zero_point_signal, manager.get(), [&] { acks.push_back("zero"); });
    QObject::connect(rx, &CanReceiver::motor_firm_state_signal, manager.get(),
                     [&](FirmwareState s) { acks.push_back("config " + std::to_string(int(s.current_bandwidth))); });
    QObject::connect(rx, &CanReceiver::driver_version_signal, manager.get(),
                     [&](DriverVersion v) { acks.push_back("version " + std::to_string(int(v.prefix))); });
    std::vector<float> positions;
    QObject::connect(rx, &DeviceReceiver::motor_motion_state_signal, manager.get(),
                     [&](QVector<StampedMoitonState>& buf) {
                         for (const auto& s : buf) positions.push_back(s.position);
                         buf.clear();
                     },
                     Qt::DirectConnection);

    ASSERT_TRUE(toggle_via_dialog("3", true));
    EXPECT_TRUE(adapter->is_open());
    EXPECT_TRUE(adapter->channel_started());
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
    EXPECT_TRUE(console.contains("[INFO] can_id_: 3"));

    manager->get_fw_version();
    manager->enable_motor();
    const float target[5] = {1.5f, 0.0f, 0.0f, 10.0f, 1.0f};
    manager->send_motion_command(target);
    manager->set_zero_point();
    manager->get_config();
    QTRY_COMPARE_WITH_TIMEOUT(acks.size(), size_t(4), 3000);
    EXPECT_EQ(acks, (std::vector<std::string>{"version 2", "enable", "zero", "config 1000"}));
    QTRY_COMPARE_WITH_TIMEOUT(positions.size(), size_t(1), 2000);
    EXPECT_NEAR(positions[0], 1.5f, 0.01f);

    const auto requests = peer->requests();
    ASSERT_GE(requests.size(), 5u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.frame.id & 0x0F, 3u) << "cmd " << int(r.cmd);
        EXPECT_EQ(r.frame.id & 0x10, 0u);
    }

    ASSERT_TRUE(toggle_via_dialog("3", false));
    EXPECT_FALSE(manager->can_receiver()->has_receive_thread());
    EXPECT_FALSE(adapter->is_open());
    // Open again: a new receive thread.
    ASSERT_TRUE(toggle_via_dialog("3", true));
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
    acks.clear();
    manager->enable_motor();
    QTRY_COMPARE_WITH_TIMEOUT(acks.size(), size_t(1), 3000);

    // Destroyed with the link open: the thread stops and the adapter is closed.
    console.clear();
    manager.reset();
    ASSERT_FALSE(console.lines().empty());
    EXPECT_EQ(console.lines().front(), "[INFO] Destruct CanManager");
    EXPECT_FALSE(adapter->is_open());
}

TEST_F(CanManagerTest, RefusedIdOpensNothingAndAFailedOpenStillStartsOneThread) {
    // An id of 16 would land in the command bits of the identifier.
    EXPECT_FALSE(toggle_via_dialog("16", true));
    EXPECT_TRUE(id_refused);
    EXPECT_FALSE(adapter->is_open());
    EXPECT_FALSE(manager->can_receiver()->has_receive_thread());

    manager->device_open_close_slot("7");
    EXPECT_FALSE(adapter->is_open());
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
    manager->device_open_close_slot("");
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
}

TEST_F(CanManagerTest, StatusPollOncePerSecondOnlyWhileOpenAndClearError) {
    QTest::qWait(1300);
    EXPECT_EQ(peer->request_count(23), 0);

    std::vector<uint16_t> errors;
    QObject::connect(manager->can_receiver(), &CanReceiver::error_frame_signal, manager.get(),
                     [&](uint16_t e) { errors.push_back(e); });
    peer->driver().set_error_bits(0x0104);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    const int before = peer->request_count(23);
    QTest::qWait(3300);
    const auto polls = peer->requests(23);
    const int n = static_cast<int>(polls.size()) - before;
    EXPECT_GE(n, 3);
    EXPECT_LE(n, 4);
    for (size_t i = before + 1; i < polls.size(); ++i) {
        const auto gap = std::chrono::duration_cast<milliseconds>(polls[i].at - polls[i - 1].at).count();
        EXPECT_GT(gap, 850);
        EXPECT_LT(gap, 1300);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!errors.empty(), 1000);
    EXPECT_EQ(errors.back(), 0x0104);

    // Clearing asks for the status word first; both go out back to back from the GUI thread.
    int resets = 0;
    QObject::connect(manager->can_receiver(), &CanReceiver::error_reset_signal, manager.get(), [&] { ++resets; });
    peer->clear_requests();
    manager->clear_error();
    ASSERT_TRUE(peer->wait_for_requests(17, 1, 2000));
    const auto requests = peer->requests();
    size_t clear = 0;
    while (clear < requests.size() && requests[clear].cmd != 17) ++clear;
    ASSERT_GE(clear, 1u);
    EXPECT_EQ(requests[clear - 1].cmd, 23);
    QTRY_COMPARE_WITH_TIMEOUT(resets, 1, 2000);
    EXPECT_EQ(peer->driver().error_bits(), 0);

    ASSERT_TRUE(toggle_via_dialog("3", false));
    QTest::qWait(200);
    const int after_close = peer->request_count(23);
    QTest::qWait(1300);
    EXPECT_EQ(peer->request_count(23), after_close);
}

TEST_F(CanManagerTest, CalibrationJudgedStartedThenFailedWhenTheDriverStaysSilent) {
    ASSERT_TRUE(toggle_via_dialog("3", true));
    const auto t0 = Clock::now();
    manager->calibrate_motor();
    const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(waited, 6900);
    EXPECT_LT(waited, 8500);
    EXPECT_EQ(peer->request_count(3), 1);
    EXPECT_TRUE(console.contains("[INFO] Calibration started"));
    EXPECT_FALSE(console.contains("Calibration start failed"));
    QTest::qWait(50);
    EXPECT_TRUE(events.empty());

    // The judgement cleared the flag: without a new start report the next one fails.
    SimulatedDriver::CalibrationScript script;
    script.silent = true;
    peer->driver().set_calibration_script(script);
    manager->calibrate_motor();
    EXPECT_TRUE(console.contains("[ERROR] Calibration start failed"));
    QTest::qWait(50);
    EXPECT_EQ(events, std::vector<std::string>{"calibrate_failed"});
}

}  // namespace
