#pragma once
#include <QTimer>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "device_receiver.h"
#include "motor_types.h"
#include "serial_frame.h"
#include "serial_interface.h"

// Decodes the driver's serial replies. The receive thread cuts frames out of the link's
// buffer and dispatches them; a 1 ms timer in the owning thread fills that buffer.
class SerialReceiver : public DeviceReceiver {
    Q_OBJECT
public:
    // Reply command codes.
    static constexpr uint8_t kEnableAck = 1;
    static constexpr uint8_t kMotionState = 2;
    static constexpr uint8_t kFirmwareInfo = 3;
    static constexpr uint8_t kCommonStateReply = 4;
    static constexpr uint8_t kCalibrationStart = 5;
    static constexpr uint8_t kCalibrationSuccess = 6;
    static constexpr uint8_t kDisableAck = 7;
    static constexpr uint8_t kZeroPointAck = 8;
    static constexpr uint8_t kPhaseSequence = 9;
    static constexpr uint8_t kCoggingMap = 16;
    static constexpr uint8_t kCompensationValue = 17;
    static constexpr uint8_t kResetAck = 18;
    static constexpr uint8_t kDriverVersionInfo = 19;
    static constexpr uint8_t kMotionParamAck = 21;
    static constexpr uint8_t kErrorResetAck = 32;
    static constexpr uint8_t kErrorBits = 33;
    static constexpr uint8_t kSetParamAck = 34;
    static constexpr uint8_t kParamCheck = 36;
    static constexpr uint8_t kCurretSampleErrorK = 37;
    static constexpr uint8_t kCurretSampleErrorB = 38;
    static constexpr uint8_t kMotorTemp = 39;
    static constexpr uint8_t kDriverTemp = 40;
    static constexpr uint8_t kPhaseR = 41;
    static constexpr uint8_t kPhaseL = 42;
    static constexpr uint8_t kNonLoadCurrentAverage = 43;
    static constexpr uint8_t kNonLoadCurrentPeak = 44;
    static constexpr uint8_t kBackEMF = 45;
    static constexpr uint8_t kTorqueK = 46;
    static constexpr uint8_t kNonLoadTorque = 47;
    static constexpr uint8_t kMomentOfInertia = 48;

    explicit SerialReceiver(std::shared_ptr<SerialInterface> serial);
    ~SerialReceiver() override;

    // Run start time from which motion samples are stamped.
    void set_start_time(const std::chrono::steady_clock::time_point& t) { store_start_time(t); }

    // Decodes one frame by its length and command.
    void dispatch_frame(const SerialFrame& frame);

signals:
    void set_param_success_signal();
    void error_reset_signal();
    void enable_sucess_signal();
    void disable_sucess_signal();
    void calibration_start_signal();
    void calibration_sucess_signal();
    void param_check_signal(uint16_t param_check_state);
    void reset_success_signal();
    void motion_param_send_success_signal();
    void zero_point_signal();
    void phase_sequence_signal(int phase_sequence);
    void calibrate_compensation_data_signal(float compensation_data);
    void driver_version_signal(DriverVersion data);
    void calibrate_angle_data_signal(float calibrate_data);
    void motor_common_state_signal(CommonState state);
    void motor_firm_state_signal(FirmwareState state);
    void error_frame_signal(uint16_t error_bit_set);
    void update_csv_files_signal(CheckData check_data);

protected:
    void receive_loop() override;

private slots:
    void read_serial_slot();

private:
    void handle_simple_frame(const SerialFrame& frame);
    void handle_complex1_frame(const SerialFrame& frame);
    void handle_complex3_frame(const SerialFrame& frame);
    void handle_complex5_frame(const SerialFrame& frame);
    void handle_param_check(const SerialFrame& frame);

    std::shared_ptr<SerialInterface> serial_;
    QTimer read_timer_;
    bool check_pass_ = false;
    std::string check_result_;
    // Last reported value of each check measurement, in CheckData field order.
    std::array<float, 12> check_values_{};
};
