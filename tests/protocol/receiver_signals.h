#pragma once
// Records a receiver's signals as short texts ("name" or "name(arg,...)") in emission
// order, and the check records apart. Direct connections record in the receive
// thread; queued ones reach the test's thread the way the main window receives them.
#include <QObject>
#include <array>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "can_receiver.h"
#include "serial_receiver.h"
#include "wait_until.h"

inline std::ostream& operator<<(std::ostream& os, const DriverVersion& v) { return os << v.prefix << ',' << v.suffix; }
inline std::ostream& operator<<(std::ostream& os, const CommonState& s) {
    return os << s.voltage << ',' << s.motor_temp << ',' << s.driver_temp;
}
inline std::ostream& operator<<(std::ostream& os, const FirmwareState& s) {
    return os << s.gear_ratio << ',' << s.can_id << ',' << s.current_bandwidth << ',' << s.can_timeout << ','
              << s.current_limit;
}
inline std::ostream& operator<<(std::ostream& os, const CheckData& d) { return os << d.pass; }

inline std::array<float, 12> check_values(const CheckData& d) {
    return {d.current_sample_error_k, d.current_sample_error_b, d.motor_temp, d.driver_temp, d.phase_R, d.phase_L,
            d.non_load_current_average, d.non_load_current_peak, d.back_EMF, d.torque_k, d.non_load_torque,
            d.moment_of_inertia};
}

template <class Rx>
class ReceiverSignals : public QObject {
public:
    ReceiverSignals(Rx* rx, Qt::ConnectionType type) {
        qRegisterMetaType<uint16_t>("uint16_t");
        qRegisterMetaType<CheckData>("CheckData");
        auto on = [&](auto sig, const char* name) {
            connect(rx, sig, this, [this, name](auto... a) {
                std::ostringstream os;
                os << name;
                if constexpr (sizeof...(a) > 0) ((os << '(') << ... << a) << ')';
                std::lock_guard<std::mutex> lock(mutex_);
                names_.push_back(os.str());
                if constexpr ((std::is_same_v<decltype(a), CheckData> || ...)) checks_.push_back(a...);
            }, type);
        };
        on(&Rx::set_param_success_signal, "set_param_success"), on(&Rx::error_reset_signal, "error_reset");
        on(&Rx::enable_sucess_signal, "enable_sucess"), on(&Rx::disable_sucess_signal, "disable_sucess");
        on(&Rx::calibration_start_signal, "calibration_start"), on(&Rx::calibration_sucess_signal, "calibration_sucess");
        on(&Rx::param_check_signal, "param_check"), on(&Rx::reset_success_signal, "reset_success");
        on(&Rx::motion_param_send_success_signal, "motion_param_send_success"), on(&Rx::zero_point_signal, "zero_point");
        on(&Rx::phase_sequence_signal, "phase_sequence"), on(&Rx::calibrate_compensation_data_signal, "compensation");
        on(&Rx::driver_version_signal, "version"), on(&Rx::calibrate_angle_data_signal, "angle");
        on(&Rx::motor_common_state_signal, "common"), on(&Rx::motor_firm_state_signal, "firm");
        on(&Rx::error_frame_signal, "error_frame"), on(&Rx::update_csv_files_signal, "csv");
        if constexpr (std::is_same_v<Rx, CanReceiver>) {
            on(&Rx::write_app_back_start_signal, "write_app_back_start"), on(&Rx::param_data_signal, "param_data");
            on(&Rx::check_app_back_ok_signal, "check_app_back_ok");
            on(&Rx::check_app_back_failed_signal, "check_app_back_failed");
            on(&Rx::dfu_start_failed_signal, "dfu_start_failed");
        }
    }

    std::vector<std::string> names() { return locked([&] { return names_; }); }
    std::vector<CheckData> checks() { return locked([&] { return checks_; }); }
    void clear() { locked([&] { names_.clear(), checks_.clear(); }); }

private:
    template <class F>
    auto locked(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }
    std::mutex mutex_;
    std::vector<std::string> names_;
    std::vector<CheckData> checks_;
};
