#include "sl_can_qt.h"

#include <QSerialPortInfo>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <poll.h>
#include <unistd.h>

#include "console_log.h"

namespace {

constexpr int kWriteWaitMs = 300;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

char hex_digit(unsigned v) { return "0123456789ABCDEF"[v & 0xF]; }

}  // namespace

SlCanQt::SlCanQt() = default;

SlCanQt::~SlCanQt() {
    hv::log_info("Destruct SlCanQt");
    std::lock_guard<std::mutex> lock(port_mutex_);
    write_fd_ = -1;
    port_.reset();
}

void SlCanQt::scan_devices(std::vector<std::string>& devices) {
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : ports) {
        if (!info.hasVendorIdentifier() || !info.hasProductIdentifier()) continue;
        if (info.vendorIdentifier() == 0xAD50 && info.productIdentifier() == 0x60C4) {
            hv::log_plain("CANable 1.0 or similar ST USB CDC device detected");
            hv::log_plain(info.portName().toStdString());
            {
                std::lock_guard<std::mutex> lock(port_mutex_);
                port_name_ = info.portName();
            }
            devices.push_back(info.portName().toUtf8().toStdString());
        } else if (info.vendorIdentifier() == 0x16D0 && info.productIdentifier() == 0x117E) {
            hv::log_plain("CANable 2.0 detected");
        }
    }
}

int SlCanQt::open(const std::string& device_name) {
    bool opened = false;
    {
        std::lock_guard<std::mutex> lock(port_mutex_);
        if (!device_name.empty()) port_name_ = QString::fromUtf8(device_name.c_str());
        write_fd_ = -1;
        port_ = std::make_shared<QSerialPort>();
        QSerialPort* port = port_.get();
        port->setPortName(port_name_);
        port->setBaudRate(1000000, QSerialPort::AllDirections);
        port->setDataBits(QSerialPort::Data8);
        port->setParity(QSerialPort::NoParity);
        port->setStopBits(QSerialPort::OneStop);
        port->setFlowControl(QSerialPort::NoFlowControl);
        port->setReadBufferSize(2048);
        // Both handlers run in this (the port's) thread, queued so they never
        // run inside a call that already holds the port mutex.
        QObject::connect(port, &QSerialPort::readyRead, port,
                         [this, port] { take_port_bytes(port); }, Qt::QueuedConnection);
        QObject::connect(port, &QSerialPort::errorOccurred, port,
                         [this, port](QSerialPort::SerialPortError e) {
                             if (e == QSerialPort::ResourceError || e == QSerialPort::ReadError)
                                 port_lost(port);
                         },
                         Qt::QueuedConnection);
        if (port->open(QIODevice::ReadWrite)) {
            hv::log_plain("Serport connected!");
            write_fd_ = static_cast<int>(port->handle());
            port->clear(QSerialPort::AllDirections);
            // Commands end at CR only. The channel may still be open from an earlier
            // run, and an open adapter ignores a new bit rate: close it first.
            write_line_locked("C\r", 2);
            write_line_locked("S8\r", 3);
            write_line_locked("O\r", 2);
            opened = true;
        } else {
            hv::log_plain("Serport connect failed!");
        }
    }
    std::lock_guard<std::mutex> lock(device_mutex_);
    opened_ = opened;
    return opened ? 0 : -1;
}

int SlCanQt::close() {
    {
        std::lock_guard<std::mutex> lock(port_mutex_);
        if (port_ && port_->isOpen()) {
            write_line_locked("C\r", 2);
            // Only the input side is cleared: clearing the output could drop the
            // "C" before it reaches the adapter.
            port_->clear(QSerialPort::Input);
            port_->close();
        }
        write_fd_ = -1;
    }
    std::lock_guard<std::mutex> lock(device_mutex_);
    opened_ = false;
    return 1;
}

bool SlCanQt::is_open() {
    std::lock_guard<std::mutex> lock(device_mutex_);
    return opened_;
}

int SlCanQt::send(CanFrame& frame) {
    const uint8_t dlc = frame.get_dlc();
    if (dlc > 8) return -1;
    char line[6 + 2 * 8];
    int n = 0;
    line[n++] = 't';
    line[n++] = hex_digit(frame.get_id() >> 8);
    line[n++] = hex_digit(frame.get_id() >> 4);
    line[n++] = hex_digit(frame.get_id());
    line[n++] = static_cast<char>('0' + dlc);
    for (uint8_t i = 0; i < dlc; ++i) {
        line[n++] = hex_digit(frame.get_data_at(i) >> 4);
        line[n++] = hex_digit(frame.get_data_at(i));
    }
    line[n++] = '\r';
    std::lock_guard<std::mutex> lock(port_mutex_);
    return write_line_locked(line, n) ? 0 : -1;
}

int SlCanQt::receive(CanFrame& frame) {
    std::lock_guard<std::mutex> lock(ring_mutex_);
    while (ring_tail_ != ring_head_) {
        const char byte = static_cast<char>(ring_[ring_tail_]);
        ring_tail_ = (ring_tail_ + 1) & kRingMask;
        if (resync_) {
            // Bytes were lost on a ring overflow: the line they belonged to is gone,
            // reading starts again after the next CR.
            line_length_ = 0;
            resync_ = byte != '\r';
            continue;
        }
        if (byte == kBel) {
            // The adapter's answer to a command it refused; it stands alone.
            line_length_ = 0;
            report_error_reply();
            continue;
        }
        if (line_length_ == kLineCapacity) {
            const int err = errno;  // as perror reports it
            hv::log_to(std::cerr, "Linbuf full: ", std::strerror(err));
            line_length_ = 0;
            continue;
        }
        line_[line_length_++] = byte;
        if (byte == '\r') {
            const bool ok = parse_line(line_, line_length_, frame);
            line_length_ = 0;
            // One frame per call, so a burst of lines loses none of them.
            if (ok) return 1;
        }
    }
    return 0;
}

bool SlCanQt::parse_line(const char* line, uint32_t length, CanFrame& frame) {
    // "t" + 3 id digits + DLC digit + 2 digits a byte, then CR. Anything else
    // (a bare CR, other commands, short or garbled lines) carries no frame.
    const uint32_t chars = length - 1;
    if (chars < 5 || line[0] != 't') return false;
    int v[kLineCapacity];
    for (uint32_t i = 1; i < chars; ++i) {
        v[i] = hex_value(line[i]);
        if (v[i] < 0) return false;
    }
    const int dlc = v[4];
    if (dlc > 8 || chars < 5u + 2u * static_cast<uint32_t>(dlc)) return false;
    frame.set_id(static_cast<uint32_t>(v[1] << 8 | v[2] << 4 | v[3]));
    frame.set_dlc(static_cast<uint8_t>(dlc));
    for (int i = 0; i < dlc; ++i)
        frame.set_data_at(static_cast<uint8_t>(i), static_cast<uint8_t>(v[5 + 2 * i] << 4 | v[6 + 2 * i]));
    return true;
}

void SlCanQt::take_port_bytes(QSerialPort* port) {
    QByteArray bytes;
    {
        std::lock_guard<std::mutex> lock(port_mutex_);
        if (port_.get() != port || !port->isOpen()) return;
        bytes = port->readAll();
    }
    push_to_ring(bytes);
}

void SlCanQt::push_to_ring(const QByteArray& bytes) {
    std::lock_guard<std::mutex> lock(ring_mutex_);
    for (const char c : bytes) {
        const uint32_t next = (ring_head_ + 1) & kRingMask;
        if (next == ring_tail_) {
            // Full: everything buffered goes, and this byte with it.
            ring_head_ = ring_tail_ = 0;
            resync_ = true;
            continue;
        }
        ring_[ring_head_] = static_cast<uint8_t>(c);
        ring_head_ = next;
    }
}

bool SlCanQt::write_line_locked(const char* data, int size) {
    if (write_fd_ < 0) return false;
    int done = 0;
    auto last_progress = std::chrono::steady_clock::now();
    while (done < size) {
        const ssize_t n = ::write(write_fd_, data + done, static_cast<size_t>(size - done));
        if (n > 0) {
            done += static_cast<int>(n);
            last_progress = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (std::chrono::steady_clock::now() - last_progress >
                std::chrono::milliseconds(kWriteWaitMs))
                return false;
            pollfd pfd{write_fd_, POLLOUT, 0};
            ::poll(&pfd, 1, 5);
            continue;
        }
        return false;
    }
    return true;
}

void SlCanQt::report_error_reply() {
    // At most one line a second, however often the adapter refuses.
    uint64_t held_back = 0;
    if (error_reply_log_.allow(held_back))
        hv::log_plain("SLCAN adapter refused a command (", held_back + 1, " error replies)");
}

void SlCanQt::port_lost(QSerialPort* port) {
    bool lost = false;
    {
        std::lock_guard<std::mutex> lock(port_mutex_);
        if (port_.get() == port && port->isOpen()) {
            port->close();
            write_fd_ = -1;
            lost = true;
        }
    }
    if (!lost) return;
    hv::log_plain("Serport connection lost!");
    std::lock_guard<std::mutex> lock(device_mutex_);
    opened_ = false;
}
