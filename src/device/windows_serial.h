#pragma once
#include <QByteArray>
#include <string>
#include <vector>

#include "serial_frame_buffer.h"
#include "serial_interface.h"
#include "win_comm.h"

// A serial link over the Win32 communications calls (our platform layer), with
// the same frame extraction as QtSerial. Reads never wait: the port's time-outs
// make ReadFile return at once with what has arrived, at most 255 bytes a call.
class WindowsSerial : public SerialInterface {
    Q_OBJECT
public:
    WindowsSerial();
    ~WindowsSerial() override;

    int write(const char* data, qint64 length) override;
    int read() override;
    bool frame_available() override { return frames_.frame_available(); }
    void read_frame(SerialFrame& frame) override { frames_.read_frame(frame); }

    void scan_devices(std::vector<std::string>& devices) override;
    int open(const std::string& device_name) override;
    int close() override;
    bool is_open() override;

    // Unread bytes of the receive buffer.
    int buffered_size() { return frames_.size(); }

private:
    // Closes the port handle if there is one; call with the device lock held.
    bool close_handle_locked();

    // INVALID_HANDLE_VALUE whenever no port is open, so a close never reaches
    // a handle this link does not own.
    hv::win::HANDLE port_ = hv::win::INVALID_HANDLE_VALUE;
    SerialFrameBuffer frames_;
};
