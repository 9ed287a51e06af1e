#include "windows_serial.h"

#include <QSerialPortInfo>
#include <iostream>
#include <limits>

#include "console_log.h"

namespace win = hv::win;

namespace {
constexpr uint32_t kReadChunk = 255;
}  // namespace

WindowsSerial::WindowsSerial() = default;

WindowsSerial::~WindowsSerial() {
    hv::log_info("Destruct WindowsSerial");
    // An open port would otherwise stay taken (exclusively) until the process ends.
    std::lock_guard<std::mutex> lock(device_mutex_);
    close_handle_locked();
}

void WindowsSerial::scan_devices(std::vector<std::string>& devices) {
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : ports) devices.push_back(info.portName().toUtf8().toStdString());
}

bool WindowsSerial::close_handle_locked() {
    if (port_ == win::INVALID_HANDLE_VALUE) return false;
    const bool closed = win::CloseHandle(port_);
    // The handle is spent either way; never hand the same value to CloseHandle twice.
    port_ = win::INVALID_HANDLE_VALUE;
    return closed;
}

int WindowsSerial::open(const std::string& device_name) {
    const int needed =
        win::MultiByteToWideChar(win::CP_UTF8, 0, device_name.c_str(), -1, nullptr, 0);
    std::vector<win::WCHAR> wide(static_cast<size_t>(needed > 0 ? needed : 1), 0);
    if (needed > 0)
        win::MultiByteToWideChar(win::CP_UTF8, 0, device_name.c_str(), -1, wide.data(), needed);

    {
        std::lock_guard<std::mutex> lock(device_mutex_);
        // Opening again replaces the port this link holds (ports are not shared).
        close_handle_locked();
        opened_ = false;

        port_ = win::CreateFileW(wide.data(), win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                                 win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
        if (port_ == win::INVALID_HANDLE_VALUE) {
            hv::log_to(std::cerr, "无法打开串口");
            return 1;
        }

        win::DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        if (!win::GetCommState(port_, &dcb)) {
            hv::log_to(std::cerr, "无法获取串口参数");
            close_handle_locked();
            return 1;
        }
        dcb.BaudRate = 256000;
        dcb.ByteSize = 8;
        dcb.Parity = win::NOPARITY;
        dcb.StopBits = win::ONESTOPBIT;
        if (!win::SetCommState(port_, &dcb)) {
            hv::log_to(std::cerr, "无法设置串口参数");
            close_handle_locked();
            return 1;
        }

        win::COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = win::MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = 0;
        if (!win::SetCommTimeouts(port_, &timeouts)) {
            hv::log_to(std::cerr, "无法设置串口超时");
            close_handle_locked();
            return 1;
        }
        opened_ = true;
    }
    hv::log_info("Serial opened!");
    return 0;
}

int WindowsSerial::close() {
    std::lock_guard<std::mutex> lock(device_mutex_);
    if (!close_handle_locked()) return 0;
    opened_ = false;
    return 1;
}

bool WindowsSerial::is_open() {
    std::lock_guard<std::mutex> lock(device_mutex_);
    return opened_;
}

int WindowsSerial::write(const char* data, qint64 length) {
    bool ok = false;
    if (length >= 0 && length <= std::numeric_limits<uint32_t>::max()) {
        std::lock_guard<std::mutex> lock(device_mutex_);
        uint32_t written = 0;
        ok = win::WriteFile(port_, data, static_cast<uint32_t>(length), &written, nullptr);
    }
    if (ok) return 0;
    hv::log_error("Write error");
    return -1;
}

int WindowsSerial::read() {
    char chunk[kReadChunk];
    uint32_t got = 0;
    bool ok;
    bool lost = false;
    {
        std::lock_guard<std::mutex> lock(device_mutex_);
        ok = win::ReadFile(port_, chunk, kReadChunk, &got, nullptr);
        // A port that went away reports closed, so its reader stops polling it;
        // close() still releases the handle.
        if (!ok && win::GetLastError() == win::ERROR_DEVICE_NOT_CONNECTED && opened_) {
            opened_ = false;
            lost = true;
        }
    }
    if (!ok) {
        hv::log_error("Read error");
        if (lost) hv::log_error("Serial device lost");
        return -1;
    }
    QByteArray bytes(chunk, static_cast<int>(got));
    frames_.append(bytes);
    emit serial_data_read_signal(bytes);
    return static_cast<int>(got);
}
