#include "qt_serial.h"

#include <QSerialPortInfo>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "console_log.h"

namespace {
// A write that makes no progress for this long fails (line stuck or device gone).
constexpr int kWriteStallMs = 500;
constexpr int kWritePollStepMs = 5;

bool device_gone(int err) { return err == EIO || err == ENXIO || err == ENODEV; }
}  // namespace

QtSerial::QtSerial() {
    // Runs in the port's thread, possibly while the device lock is held (Qt reports
    // errors from inside open/close), so the reaction is queued.
    connect(&port_, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        // On a hung-up tty the port reports ReadError (read gives 0) or ResourceError,
        // again on every turn of the event loop; both mean the device is gone.
        if (e == QSerialPort::ResourceError || e == QSerialPort::ReadError)
            schedule_close_after_loss(open_generation_.load());
    });
}

QtSerial::~QtSerial() { hv::log_info("Destruct QtSerial"); }

void QtSerial::scan_devices(std::vector<std::string>& devices) {
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : ports) devices.push_back(info.portName().toUtf8().toStdString());
}

int QtSerial::open(const std::string& device_name) {
    bool opened;
    {
        std::lock_guard<std::mutex> lock(device_mutex_);
        port_.setPortName(QString::fromUtf8(device_name.c_str()));
        port_.setBaudRate(256000, QSerialPort::AllDirections);
        port_.setDataBits(QSerialPort::Data8);
        port_.setStopBits(QSerialPort::OneStop);
        port_.setParity(QSerialPort::NoParity);
        port_.setFlowControl(QSerialPort::NoFlowControl);
        port_.open(QIODevice::ReadWrite);
        opened = port_.isOpen();
        // Bytes that waited in the port, and a frame begun before a close, answer
        // nothing of this session.
        if (opened) port_.clear(QSerialPort::Input);
        frames_.clear();
        write_fd_ = opened ? static_cast<int>(port_.handle()) : -1;
        ++open_generation_;
        open_error_ = opened ? std::string() : port_.errorString().toStdString();
        // The port's own lock and a busy device are permission errors to Qt too;
        // only the system's refusal is a matter of the user's groups.
        open_denied_ = !opened && port_.error() == QSerialPort::PermissionError &&
                       (port_.errorString() == qt_error_string(EACCES) ||
                        port_.errorString() == qt_error_string(EPERM));
    }
    if (opened) {
        hv::log_info("Serial opened!");
        return 0;
    }
    hv::log_error("Serial open failed!");
    hv::log_error("Cannot open ", device_name, ": ", open_error_);
    return 1;
}

int QtSerial::close() {
    std::lock_guard<std::mutex> lock(device_mutex_);
    port_.close();
    write_fd_ = -1;
    return port_.isOpen() ? 0 : 1;
}

bool QtSerial::is_open() {
    std::lock_guard<std::mutex> lock(device_mutex_);
    opened_ = port_.isOpen();
    return opened_;
}

int QtSerial::write(const char* data, qint64 length) {
    bool ok = length >= 0;
    bool gone = false;
    unsigned generation;
    {
        std::lock_guard<std::mutex> lock(device_mutex_);
        generation = open_generation_.load();
        if (write_fd_ < 0) ok = false;
        qint64 done = 0;
        auto last_progress = std::chrono::steady_clock::now();
        while (ok && done < length) {
            const ssize_t n = ::write(write_fd_, data + done, static_cast<size_t>(length - done));
            if (n > 0) {
                done += n;
                last_progress = std::chrono::steady_clock::now();
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // The port is non-blocking: wait for room in short steps (a tty can
                // miss a wake-up) until no byte has been taken for too long.
                if (std::chrono::steady_clock::now() - last_progress >
                    std::chrono::milliseconds(kWriteStallMs)) {
                    ok = false;
                    break;
                }
                pollfd pfd{write_fd_, POLLOUT, 0};
                const int r = ::poll(&pfd, 1, kWritePollStepMs);
                if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
                    gone = true;
                    ok = false;
                }
                continue;
            }
            gone = n < 0 && device_gone(errno);
            ok = false;
        }
    }
    if (gone) schedule_close_after_loss(generation);
    if (ok) return 0;
    hv::log_error("Write error");
    return -1;
}

int QtSerial::pending_output() {
    std::lock_guard<std::mutex> lock(device_mutex_);
    int queued = 0;
    if (write_fd_ < 0 || ::ioctl(write_fd_, TIOCOUTQ, &queued) != 0) return 0;
    return queued;
}

int QtSerial::read() {
    std::lock_guard<std::mutex> lock(device_mutex_);
    if (port_.bytesAvailable() <= 0) return 0;
    QByteArray bytes = port_.readAll();
    frames_.append(bytes);
    emit serial_data_read_signal(bytes);
    return bytes.size();
}

void QtSerial::schedule_close_after_loss(unsigned generation) {
    // Once per opening; queued to the port's thread, which may be inside a locked
    // operation right now.
    if (loss_scheduled_for_.exchange(generation) == generation) return;
    QMetaObject::invokeMethod(this, [this, generation] { close_after_loss(generation); },
                              Qt::QueuedConnection);
}

void QtSerial::close_after_loss(unsigned generation) {
    bool closed = false;
    {
        std::lock_guard<std::mutex> lock(device_mutex_);
        // A port opened again since the loss was seen is left alone.
        if (generation != open_generation_.load()) return;
        if (port_.isOpen()) {
            port_.close();
            closed = true;
        }
        write_fd_ = -1;
    }
    if (closed) hv::log_error("Serial device lost, port closed");
}
