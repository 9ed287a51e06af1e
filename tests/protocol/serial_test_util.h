#pragma once
// Helpers shared by the serial protocol tests.
#include <QObject>
#include <QTest>
#include <chrono>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "serial_receiver.h"
#include "wait_until.h"

// Records the receiver's signals as short texts, in the order they were emitted.
// Connections are made with a main-thread context, so they are queued from the
// receive thread the way the main window receives them.
class ReceiverEvents : public QObject {
public:
    explicit ReceiverEvents(SerialReceiver* rx) {
        // The main window registers these for its queued connections.
        qRegisterMetaType<uint16_t>("uint16_t");
        qRegisterMetaType<CheckData>("CheckData");
        auto add = [this](const std::string& e) { events.push_back(e); };
        connect(rx, &SerialReceiver::set_param_success_signal, this, [=] { add("set_param"); });
        connect(rx, &SerialReceiver::error_reset_signal, this, [=] { add("error_reset"); });
        connect(rx, &SerialReceiver::enable_sucess_signal, this, [=] { add("enable"); });
        connect(rx, &SerialReceiver::disable_sucess_signal, this, [=] { add("disable"); });
        connect(rx, &SerialReceiver::calibration_start_signal, this, [=] { add("calibration_start"); });
        connect(rx, &SerialReceiver::calibration_sucess_signal, this, [=] { add("calibration_success"); });
        connect(rx, &SerialReceiver::param_check_signal, this,
                [=](uint16_t s) { add("param_check " + std::to_string(s)); });
        connect(rx, &SerialReceiver::reset_success_signal, this, [=] { add("reset"); });
        connect(rx, &SerialReceiver::motion_param_send_success_signal, this, [=] { add("motion_param"); });
        connect(rx, &SerialReceiver::zero_point_signal, this, [=] { add("zero_point"); });
        connect(rx, &SerialReceiver::phase_sequence_signal, this,
                [=](int p) { add("phase " + std::to_string(p)); });
        connect(rx, &SerialReceiver::calibrate_compensation_data_signal, this,
                [=](float v) { add("compensation " + num(v)); });
        connect(rx, &SerialReceiver::driver_version_signal, this, [=](DriverVersion v) {
            add("version " + num(v.prefix) + " " + num(v.suffix));
        });
        connect(rx, &SerialReceiver::calibrate_angle_data_signal, this,
                [=](float v) { add("angle " + num(v)); });
        connect(rx, &SerialReceiver::motor_common_state_signal, this, [=](CommonState s) {
            add("common " + num(s.voltage) + " " + num(s.motor_temp) + " " + num(s.driver_temp));
        });
        connect(rx, &SerialReceiver::motor_firm_state_signal, this, [=](FirmwareState s) {
            add("firmware " + num(s.gear_ratio) + " " + num(s.can_id) + " " + num(s.current_bandwidth) + " " +
                num(s.can_timeout) + " " + num(s.current_limit));
        });
        connect(rx, &SerialReceiver::error_frame_signal, this,
                [=](uint16_t bits) { add("error_bits " + std::to_string(bits)); });
        connect(rx, &SerialReceiver::update_csv_files_signal, this, [=](CheckData d) {
            checks.push_back(d);
            add("check");
        });
    }

    static std::string num(float v) {
        std::ostringstream os;
        os << v;
        return os.str();
    }

    bool wait_for_count(size_t n, int timeout_ms = 3000) {
        return wait_until([&] { return events.size() >= n; }, timeout_ms);
    }

    std::vector<std::string> events;
    std::vector<CheckData> checks;
};
