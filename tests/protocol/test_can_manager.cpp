// The CAN link manager: open and close through the dialog, status poll, clear error, calibration.
#include "can_link_fixture.h"

#include <atomic>

#include "can_frame_maker.h"

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
}

TEST_F(CanManagerTest, RefusedIdOpensNothing) {
    bool refused = false;
    auto stop = std::make_shared<bool>(false);
    int phase = 0;
    poll_gui(
        [&] {
            SetCan* d = find_set_can();
            if (!d || !d->isVisible()) return false;
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                refused = true;
                box->done(QMessageBox::Ok);
                return false;
            }
            if (phase == 0 && d->findChild<QComboBox*>("device_select_comboBox")->count() > 0) {
                d->findChild<QLineEdit*>("can_id_lineEdit")->setText("16");
                phase = 1;
                d->findChild<QPushButton*>("open_close_pushButton")->click();
                return false;
            }
            if (phase == 1 && refused) {
                d->close();
                return true;
            }
            return false;
        },
        stop);
    manager->show_set_can_dialog();
    *stop = true;
    EXPECT_TRUE(refused);
    EXPECT_FALSE(adapter->is_open());
    EXPECT_FALSE(manager->can_receiver()->has_receive_thread());
}

TEST_F(CanManagerTest, FailedOpenStillStartsOneReceiveThread) {
    manager->device_open_close_slot("7");
    EXPECT_FALSE(adapter->is_open());
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
    manager->device_open_close_slot("");
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
}

TEST_F(CanManagerTest, StatusPollOncePerSecondOnlyWhileOpen) {
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

    ASSERT_TRUE(toggle_via_dialog("3", false));
    QTest::qWait(200);
    const int after_close = peer->request_count(23);
    QTest::qWait(1300);
    EXPECT_EQ(peer->request_count(23), after_close);
}

TEST_F(CanManagerTest, ClearErrorAsksStatusThenClears) {
    int resets = 0;
    QObject::connect(manager->can_receiver(), &CanReceiver::error_reset_signal, manager.get(),
                     [&] { ++resets; });
    peer->driver().set_error_bits(0x0002);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    peer->clear_requests();
    manager->clear_error();
    ASSERT_TRUE(peer->wait_for_requests(17, 1, 2000));
    // Both go out back to back from the GUI thread, so nothing comes between them.
    const auto requests = peer->requests();
    size_t clear = 0;
    while (clear < requests.size() && requests[clear].cmd != 17) ++clear;
    ASSERT_GE(clear, 1u);
    EXPECT_EQ(requests[clear - 1].cmd, 23);
    QTRY_COMPARE_WITH_TIMEOUT(resets, 1, 2000);
    EXPECT_EQ(peer->driver().error_bits(), 0);
}

TEST_F(CanManagerTest, CalibrationJudgedStarted) {
    ASSERT_TRUE(toggle_via_dialog("3", true));
    const auto t0 = Clock::now();
    manager->calibrate_motor();
    const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(waited, 6900);
    EXPECT_LT(waited, 8500);
    EXPECT_EQ(peer->request_count(3), 1);
    EXPECT_TRUE(console.contains("[INFO] Calibration started"));
    EXPECT_FALSE(console.contains("Calibration start failed"));
    EXPECT_TRUE(events.empty());
}

TEST_F(CanManagerTest, CalibrationJudgedFailedWithoutStartReport) {
    SimulatedDriver::CalibrationScript script;
    script.silent = true;
    peer->driver().set_calibration_script(script);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    manager->calibrate_motor();
    EXPECT_TRUE(console.contains("[ERROR] Calibration start failed"));
    QTest::qWait(50);
    EXPECT_EQ(events, std::vector<std::string>{"calibrate_failed"});
}

TEST_F(CanManagerTest, StartReportAfterTheJudgementCountsForTheNextCalibration) {
    SimulatedDriver::CalibrationScript script;
    script.silent = true;
    peer->driver().set_calibration_script(script);
    std::atomic<int> reports{0};
    const auto counter = QObject::connect(manager->can_receiver(), &CanReceiver::calibration_start_signal,
                                          manager.get(), [&] { ++reports; }, Qt::DirectConnection);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    // A start report with no calibration running, as one that came in after its judgement.
    peer->send_frame(make_can_frame((31u << 5) | 0x10u | 3u, 8, {0, 0}));
    QTRY_COMPARE_WITH_TIMEOUT(reports.load(), 1, 2000);

    manager->calibrate_motor();  // the driver stays silent
    EXPECT_EQ(peer->request_count(3), 1);
    EXPECT_EQ(reports.load(), 1);
    EXPECT_TRUE(console.contains("[INFO] Calibration started"));
    EXPECT_FALSE(console.contains("Calibration start failed"));
    QTest::qWait(50);
    EXPECT_TRUE(events.empty());

    // The judgement cleared the flag: the next one fails without a new report.
    manager->calibrate_start_timer_slot();
    EXPECT_TRUE(console.contains("[ERROR] Calibration start failed"));
    QTest::qWait(50);
    EXPECT_EQ(events, std::vector<std::string>{"calibrate_failed"});
    QObject::disconnect(counter);
}

TEST_F(CanManagerTest, DestroyingWithLinkOpenStopsThreadAndClosesAdapter) {
    ASSERT_TRUE(toggle_via_dialog("3", true));
    console.clear();
    manager.reset();
    const auto lines = console.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "[INFO] Destruct CanManager");
    EXPECT_FALSE(adapter->is_open());
}

}  // namespace
