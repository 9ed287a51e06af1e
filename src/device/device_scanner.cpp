#include "device_scanner.h"

#include "console_log.h"

DeviceScanner::DeviceScanner(std::shared_ptr<DeviceInterface> device)
    : QObject(nullptr), device_(std::move(device)) {
    connect(&poll_timer_, &QTimer::timeout, this, &DeviceScanner::loop_check_timer_slot);
    poll_timer_.setInterval(500);
    poll_timer_.start();
}

DeviceScanner::~DeviceScanner() { hv::log_info("Destruct DeviceScanner"); }

void DeviceScanner::loop_check_timer_slot() {
    const bool open = device_->is_open();
    if (static_cast<uint8_t>(open) != last_state_) {
        last_state_ = static_cast<uint8_t>(open);
        emit state_changed_signal(open);
    }
    std::vector<std::string> devices;
    device_->scan_devices(devices);
    if (devices.size() != last_count_) {
        emit number_changed_signal(devices);
        last_count_ = static_cast<uint8_t>(devices.size());
    }
}
