#pragma once
#include <QByteArray>
#include <QObject>
#include <string>

#include "device_interface.h"
#include "serial_frame.h"

// A link that writes bytes, pulls received bytes off the port and cuts frames out of them.
class SerialInterface : public QObject, public DeviceInterface {
    Q_OBJECT
public:
    SerialInterface() : QObject(nullptr) {}
    ~SerialInterface() override = default;

    // 0 when all bytes were accepted, -1 otherwise.
    virtual int write(const char* data, qint64 length) = 0;
    // Moves waiting bytes into the receive buffer; the number moved, -1 on a read failure.
    virtual int read() = 0;
    // True when a complete, checked frame heads the receive buffer.
    virtual bool frame_available() = 0;
    // Takes the head frame; call only after frame_available() returned true.
    virtual void read_frame(SerialFrame& frame) = 0;
    // Bytes written but not yet sent on the line, as far as the system tells.
    virtual int pending_output() { return 0; }
    // Why the last open failed, in the system's words ("" after a successful open),
    // and whether the system refused access to the device.
    virtual std::string open_error() const { return std::string(); }
    virtual bool open_denied() const { return false; }

signals:
    void serial_data_read_signal(QByteArray& received_data);
};
