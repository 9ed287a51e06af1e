#pragma once
#include <QSerialPort>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log_limiter.h"
#include "sl_can.h"

// A CAN link through an SLCAN adapter (USB CDC) at 1000000 baud.
//
// The port object lives in the thread that opened it. Received bytes are moved
// into the ring there, as the port announces them; receive() (receive thread)
// only takes lines out of the ring. send() writes the line straight to the
// port's descriptor under the port mutex, so lines from several threads stay
// whole and in call order and the port object is never used from a foreign thread.
class SlCanQt : public SlCan {
public:
    static constexpr uint32_t kRingSize = 8192;
    static constexpr uint32_t kRingMask = kRingSize - 1;
    static constexpr uint32_t kLineCapacity = 155;
    // An adapter's error reply (Lawicel); OK is a bare CR.
    static constexpr char kBel = 0x07;

    SlCanQt();
    ~SlCanQt() override;

    // Lists the SLCAN adapters found (CANable 1.0 type) and remembers the last.
    void scan_devices(std::vector<std::string>& devices) override;
    // Opens the named port, or the remembered one when the name is empty:
    // 0 on success, -1 on failure.
    int open(const std::string& device_name) override;
    int close() override;
    bool is_open() override;
    // 0 when the line was written, -1 for a DLC above 8 or a failed write.
    int send(CanFrame& frame) override;
    // 1 when a complete line was read into `frame`, 0 otherwise. Takes at most
    // one frame per call; later lines stay buffered for the next call.
    int receive(CanFrame& frame) override;

private:
    // Port thread: moves what the port received into the ring.
    void take_port_bytes(QSerialPort* port);
    void push_to_ring(const QByteArray& bytes);
    // Writes every byte or gives up after 300 ms without progress; port mutex held.
    bool write_line_locked(const char* data, int size);
    // Parses one line ended by CR; false rejects it.
    static bool parse_line(const char* line, uint32_t length, CanFrame& frame);
    void port_lost(QSerialPort* port);
    // Ring mutex held.
    void report_error_reply();

    std::shared_ptr<QSerialPort> port_;
    int write_fd_ = -1;
    std::mutex port_mutex_;
    char line_[kLineCapacity] = {};
    uint32_t line_length_ = 0;
    uint8_t ring_[kRingSize] = {};
    uint32_t ring_head_ = 0;
    uint32_t ring_tail_ = 0;
    // Set by a ring overflow: drop bytes up to the next CR.
    bool resync_ = false;
    hv::LogLimiter error_reply_log_{std::chrono::seconds(1)};
    std::mutex ring_mutex_;
    QString port_name_;
};
