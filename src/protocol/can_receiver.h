#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "can_codec.h"
#include "can_interface.h"
#include "device_receiver.h"
#include "motor_types.h"

// Turns the driver's CAN replies into records and signals; runs in the receive thread.
class CanReceiver : public DeviceReceiver {
    Q_OBJECT
public:
    explicit CanReceiver(std::shared_ptr<CanInterface> can_interface);
    ~CanReceiver() override;

    void parse_frame(const CanFrame& frame);
    void handle_motion_state(const CanFrame& frame);
    bool log_result(uint8_t status, const std::string& name);
    void set_start_time(const std::chrono::steady_clock::time_point& start);
    // Debug dump, not used on any path.
    void log_receive_data(const CanFrame& frame);

signals:
    void error_reset_signal();
    void set_param_success_signal();
    void write_app_back_start_signal();
    void check_app_back_ok_signal();
    void enable_sucess_signal();
    void disable_sucess_signal();
    void calibration_start_signal();
    void calibration_sucess_signal();
    void param_check_signal(uint16_t param_check_state);
    void param_data_signal();
    void reset_success_signal();
    void motion_param_send_success_signal();
    void zero_point_signal();
    void phase_sequence_signal(int phase_sequence);
    void calibrate_compensation_data_signal(float compensation_data);
    void driver_version_signal(DriverVersion data);
    void calibrate_angle_data_signal(float calibrate_data);
    void motor_common_state_signal(CommonState state);
    void error_frame_signal(uint16_t error_bit_set);
    void motor_firm_state_signal(FirmwareState state);
    void update_csv_files_signal(CheckData check_data);
    // The driver rejected the firmware image (non-zero status to command 20).
    void check_app_back_failed_signal();
    // The driver refused the DFU start (non-zero status to command 21).
    void dfu_start_failed_signal();

protected:
    void receive_loop() override;

private:
    void handle_report(const CanFrame& frame);
    void handle_check_step(uint16_t step);

    std::shared_ptr<CanInterface> can_interface_;
    bool check_pass_ = false;
    std::string check_result_;
    std::array<float, 12> check_values_{};
};
