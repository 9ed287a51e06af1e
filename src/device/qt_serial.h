#pragma once
#include <QByteArray>
#include <QSerialPort>
#include <atomic>
#include <string>
#include <vector>

#include "serial_frame_buffer.h"
#include "serial_interface.h"

// The serial link over one QSerialPort.
//
// The port object belongs to the thread that made the link (the GUI thread); it
// opens, closes and reads there. Writes come from the GUI thread and from senders'
// worker threads, so they do not go through QSerialPort's (thread-unsafe) write
// buffer: under the device lock they go straight to the port's file descriptor,
// retrying until every byte is with the driver. The device lock thus keeps each
// frame whole and in the order of the write() calls, and the port object is never
// touched from a foreign thread.
class QtSerial : public SerialInterface {
    Q_OBJECT
public:
    QtSerial();
    ~QtSerial() override;

    int write(const char* data, qint64 length) override;
    int read() override;
    int pending_output() override;
    bool frame_available() override { return frames_.frame_available(); }
    void read_frame(SerialFrame& frame) override { frames_.read_frame(frame); }

    void scan_devices(std::vector<std::string>& devices) override;
    int open(const std::string& device_name) override;
    int close() override;
    bool is_open() override;
    std::string open_error() const override { return open_error_; }
    bool open_denied() const override { return open_denied_; }

    // Unread bytes of the receive buffer.
    int buffered_size() { return frames_.size(); }

private:
    // The device went away: close the port so is_open() reports it.
    void schedule_close_after_loss(unsigned generation);
    void close_after_loss(unsigned generation);

    QSerialPort port_;
    // Descriptor of the open port for writes from any thread; -1 while closed.
    int write_fd_ = -1;
    // Counts opens, so a loss reported for an earlier opening closes nothing.
    std::atomic<unsigned> open_generation_{0};
    std::atomic<unsigned> loss_scheduled_for_{~0u};
    SerialFrameBuffer frames_;
    std::string open_error_;
    bool open_denied_ = false;
};
