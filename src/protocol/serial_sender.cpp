#include "serial_sender.h"

#include <algorithm>
#include <chrono>
#include <iomanip>
#include <sstream>
#include <thread>

#include "console_log.h"
#include "serial_frame.h"

namespace {
// Terminal bytes go out in pieces of this size, one device lock each, at three
// quarters of what the line (256000 baud, 10 bits a byte) carries: the rest is
// room for a running stream (100 frames of 31 bytes a second, an eighth of the
// line), so its frames wait behind one piece at most and never behind a backlog.
constexpr int kPieceBytes = 64;
constexpr auto kPiecePause = std::chrono::microseconds(kPieceBytes * 10 * 1000000LL * 4 / 3 / 256000);
// A port that sends nothing for this long is taken as stuck.
constexpr int kDrainWaitMs = 500;
}  // namespace

SerialSender::SerialSender(std::shared_ptr<SerialInterface> serial)
    : QObject(nullptr), serial_(std::move(serial)), raw_jobs_(std::make_unique<JobThread>()) {}

SerialSender::~SerialSender() {
    raw_jobs_.reset();
    serial_.reset();
    hv::log_info("Destruct SerialSender");
}

void SerialSender::send_short(uint8_t cmd) {
    const QByteArray frame = build_serial_frame(cmd);
    uint8_t bytes[kSimpleFrameLength];
    std::copy(frame.constBegin(), frame.constEnd(), reinterpret_cast<char*>(bytes));
    send_bytes(bytes, bytes[5]);
}

void SerialSender::send_long(uint8_t cmd, const float* values) {
    const QByteArray frame = build_serial_frame(cmd, values, 5);
    uint8_t bytes[kComplex5FrameLength];
    std::copy(frame.constBegin(), frame.constEnd(), reinterpret_cast<char*>(bytes));
    send_bytes(bytes, static_cast<uint8_t>(kComplex5FrameLength));
}

void SerialSender::enable_motor() {
    hv::log_info("Enable motor");
    send_short(kEnableMotor);
}

void SerialSender::disable_motor() {
    hv::log_info("Diable motor");
    send_short(kDisableMotor);
}

void SerialSender::reset_motor() {
    hv::log_info("Reset motor");
    send_short(kResetMotor);
}

void SerialSender::start_calibration() {
    hv::log_info("Start calibration");
    send_short(kStartCalibration);
}

void SerialSender::set_zero_point() {
    hv::log_info("Set zero point");
    send_short(kSetZeroPoint);
}

void SerialSender::flash_firmware_param() {
    hv::log_info("Flash firmware param");
    send_short(kFlashFirmwareParam);
}

void SerialSender::request_firmware_param() {
    hv::log_info("Request firmware param");
    send_short(kRequestFirmwareParam);
}

void SerialSender::request_driver_version() {
    hv::log_info("Request driver version");
    send_short(kRequestDriverVersion);
}

void SerialSender::clear_error() {
    hv::log_info("Clear error");
    send_short(kClearError);
}

void SerialSender::request_status() { send_short(kRequestStatus); }

void SerialSender::send_motion_target(const float* target) { send_long(kMotionTarget, target); }

bool SerialSender::write_firmware_param(const FirmwareParams& param, const ParamWriteStep& step) {
    const float values[5] = {param.gear_ratio, param.can_id, param.current_bandwidth,
                             param.can_timeout, param.current_limit};
    hv::log_info("Write firmware param");
    // Give the driver time to apply them before asking what is in force.
    return step(std::chrono::milliseconds(0), [&] { send_long(kWriteFirmwareParam, values); }) &&
           step(std::chrono::seconds(1), [this] { request_firmware_param(); });
}

void SerialSender::send_bytes(const uint8_t* frame, uint8_t length) {
    std::ostringstream line;
    line << std::hex << std::setfill('0');
    for (int i = 0; i < length; ++i) line << "0x" << std::setw(2) << static_cast<unsigned>(frame[i]) << " ";
    hv::log_info("Sending data: ", line.str());
    serial_->write(reinterpret_cast<const char*>(frame), length);
}

void SerialSender::send_raw(QByteArray& data) {
    const QByteArray hex = data.toHex();
    std::string line;
    line.reserve(static_cast<size_t>(hex.size()) * 5 / 2);
    for (int i = 0; i + 1 < hex.size(); i += 2) {
        line += "0x";
        line += hex[i];
        line += hex[i + 1];
        line += ' ';
    }
    hv::log_info("Sending data: ", line);
    if (data.isEmpty()) return;
    raw_jobs_->post([this, data] { write_in_pieces(data); });
}

void SerialSender::cancel_raw() {
    raw_jobs_->cancel();
    // A piece under way ends before the caller closes the port.
    raw_jobs_->drain();
}

void SerialSender::write_in_pieces(const QByteArray& data) {
    for (int done = 0; done < data.size(); done += kPieceBytes) {
        if (done > 0 && !raw_jobs_->pause(kPiecePause)) return;
        for (int waited = 0; serial_->pending_output() > kPieceBytes; ++waited) {
            if (waited >= kDrainWaitMs) {
                hv::log_error("Write error");
                return;
            }
            if (!raw_jobs_->pause(std::chrono::milliseconds(1))) return;
        }
        // A failed write has logged itself; the rest of the text is dropped.
        if (serial_->write(data.constData() + done, std::min(kPieceBytes, data.size() - done)) != 0) return;
    }
}
