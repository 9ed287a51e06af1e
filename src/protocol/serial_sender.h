#pragma once
#include <QByteArray>
#include <QObject>
#include <cstdint>
#include <memory>

#include "job_thread.h"
#include "motor_types.h"
#include "serial_interface.h"

// Builds request frames, dumps them on the console and writes them to the serial link.
// Holds no state between calls; runs in the caller's thread.
class SerialSender : public QObject {
    Q_OBJECT
public:
    // Request command codes.
    static constexpr uint8_t kMotionTarget = 16;
    static constexpr uint8_t kWriteFirmwareParam = 17;
    static constexpr uint8_t kEnableMotor = 18;
    static constexpr uint8_t kDisableMotor = 19;
    static constexpr uint8_t kResetMotor = 20;
    static constexpr uint8_t kStartCalibration = 21;
    static constexpr uint8_t kSetZeroPoint = 22;
    static constexpr uint8_t kFlashFirmwareParam = 23;
    static constexpr uint8_t kRequestFirmwareParam = 24;
    static constexpr uint8_t kRequestDriverVersion = 25;
    static constexpr uint8_t kClearError = 32;
    static constexpr uint8_t kRequestStatus = 33;

    explicit SerialSender(std::shared_ptr<SerialInterface> serial);
    ~SerialSender() override;

    void enable_motor();
    void disable_motor();
    void reset_motor();
    void start_calibration();
    void set_zero_point();
    void flash_firmware_param();
    void request_firmware_param();
    void request_driver_version();
    void clear_error();
    void request_status();

    // position, velocity, torque, Kp, Kd
    void send_motion_target(const float* target);
    // Writes the parameters, waits 1 s in the calling thread, then asks for them back.
    // Both frames go out through `step`, which waits the pause first; false when
    // `step` ended the write before the request.
    bool write_firmware_param(const FirmwareParams& param, const ParamWriteStep& step = param_write_sleep_step);

    // Dumps and writes one built frame.
    void send_bytes(const uint8_t* frame, uint8_t length);
    // Dumps terminal bytes and has them written unchanged, in pieces from a thread of
    // the sender's own, so that a long text neither holds the port against a running
    // stream nor the caller's thread. Sends follow each other in call order.
    void send_raw(QByteArray& data);
    // Drops what the terminal has not written yet and returns once nothing more is
    // written (the link is closing).
    void cancel_raw();
    // No terminal bytes waiting.
    bool raw_idle() { return raw_jobs_->idle(); }

private:
    void send_short(uint8_t cmd);
    void send_long(uint8_t cmd, const float* values);
    void write_in_pieces(const QByteArray& data);

    std::shared_ptr<SerialInterface> serial_;
    std::unique_ptr<JobThread> raw_jobs_;
};
