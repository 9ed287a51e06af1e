#pragma once
#include <QObject>
#include <atomic>
#include <cstdint>
#include <memory>

#include "can_codec.h"
#include "can_interface.h"
#include "log_limiter.h"
#include "motor_types.h"

// Turns every CAN request of the tool into one frame on the shared link.
class CanSender : public QObject {
    Q_OBJECT
public:
    explicit CanSender(std::shared_ptr<CanInterface> link);
    ~CanSender() override;

    // Hands the frame to the link; a failure is logged (at most once a second, so a
    // stream to a silent bus does not flood the console) and the frame dropped.
    // A write that found the bus silent is tried once more: the link has reset the
    // adapter by then, so the frame gets in and reaches the motor when the bus
    // answers again. Only for what is harmless whenever it arrives: non-zero
    // motion targets never come here.
    bool write(CanFrame& frame);

    void disable_motor();
    void enable_motor();
    void calibrate_motor();
    // Streaming path: no allocation, no log (except for a refused NaN target).
    // While the bus is silent only the all-zero target goes out (it is harmless
    // whenever it arrives); other targets would reach the motor late and are
    // skipped, with a rate-limited line. A target whose write found the bus
    // silent is dropped, not tried again.
    void send_motion_command(const float targets[5]);
    void reset_motor();
    void save_zero_point();
    void set_gear_ratio(float gear_ratio);
    void set_id(uint8_t id);
    void set_can_timeout(uint8_t timeout);
    void set_bandwidth(uint16_t bandwidth);
    void set_limit_current(float current);
    void save_config();
    void clear_error();
    void write_app_back_start();
    // False when the chunk did not go out. It goes out only while the bus answers:
    // one waiting in the adapter would be discarded by the reset of a silent bus.
    bool write_app_back(const uint8_t bytes[8]);
    void check_app_back(uint32_t size, uint32_t crc32);
    // False when the frame did not reach the link.
    bool dfu_start();
    void get_fw_version();
    void get_firmware_version();
    void get_status_word();
    void get_config();

    // Five writes with pauses, then a configuration request; blocks about 1.8 s.
    // Each frame goes out through `step`, which waits its pause first; false when
    // `step` ended the write before its last frame.
    bool write_firmware_param(const FirmwareParams& p, const ParamWriteStep& step = param_write_sleep_step);

    // Debug dump, not used on any path.
    void log_send_data(const CanFrame& frame);

    uint8_t can_id() const { return can_id_.load(); }

public slots:
    void set_can_id_slot(uint8_t can_id) { can_id_.store(can_id); }

private:
    // A frame with no payload.
    bool send_empty(uint8_t cmd);
    void send_u16(uint8_t cmd, uint16_t value);
    void report_failed_write(int result);

    std::shared_ptr<CanInterface> link_;
    std::atomic<uint8_t> can_id_{0};
    hv::LogLimiter write_failure_log_{std::chrono::seconds(1)};
    hv::LogLimiter skipped_motion_log_{std::chrono::seconds(1)};
};
