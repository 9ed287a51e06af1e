#include "device_scanner.h"

#include "console_log.h"

DeviceScanner::DeviceScanner(std::shared_ptr<DeviceInterface> device)
    : QObject(nullptr), device_(std::move(device)) {
    scan_thread_ = std::thread([this] { scan_loop(); });
    connect(&poll_timer_, &QTimer::timeout, this, &DeviceScanner::loop_check_timer_slot);
    poll_timer_.setInterval(500);
    poll_timer_.start();
}

DeviceScanner::~DeviceScanner() {
    hv::log_info("Destruct DeviceScanner");
    {
        std::lock_guard<std::mutex> lock(scan_mutex_);
        stop_ = true;
    }
    scan_wanted_.notify_all();
    scan_thread_.join();  // results still queued for this object are dropped with it
}

void DeviceScanner::check_now() {
    const bool open = device_->is_open();
    if (static_cast<uint8_t>(open) != last_state_) {
        last_state_ = static_cast<uint8_t>(open);
        emit state_changed_signal(open);
    }
}

void DeviceScanner::loop_check_timer_slot() {
    check_now();
    {
        // A scan still running when the next tick comes is not queued twice.
        std::lock_guard<std::mutex> lock(scan_mutex_);
        scan_requested_ = true;
    }
    scan_wanted_.notify_all();
}

void DeviceScanner::scan_loop() {
    std::unique_lock<std::mutex> lock(scan_mutex_);
    for (;;) {
        scan_wanted_.wait(lock, [this] { return stop_ || scan_requested_; });
        if (stop_) return;
        scan_requested_ = false;
        lock.unlock();
        std::vector<std::string> devices;
        device_->scan_devices(devices);
        QMetaObject::invokeMethod(this, [this, devices]() mutable { scanned(std::move(devices)); },
                                  Qt::QueuedConnection);
        lock.lock();
    }
}

void DeviceScanner::scanned(std::vector<std::string> devices) {
    if (devices.size() != last_count_) {
        emit number_changed_signal(devices);
        last_count_ = static_cast<uint8_t>(devices.size());
    }
}
