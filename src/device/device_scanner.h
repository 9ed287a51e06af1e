#pragma once
#include <QObject>
#include <QTimer>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_interface.h"

// Polls one link every 500 ms and reports changes of its open state and device count.
// The device scan runs on a thread of its own: a scan test-opens every adapter, and
// one that hangs would otherwise freeze the window for the length of its time-outs.
class DeviceScanner : public QObject {
    Q_OBJECT
public:
    explicit DeviceScanner(std::shared_ptr<DeviceInterface> device);
    ~DeviceScanner() override;

    // Checks the link's state now, out of turn, so a change is reported before what
    // follows from it; the device list waits for the next poll.
    void check_now();

signals:
    void number_changed_signal(std::vector<std::string>& devices);
    void state_changed_signal(bool state);

private slots:
    void loop_check_timer_slot();

private:
    void scan_loop();
    void scanned(std::vector<std::string> devices);  // GUI thread

    std::shared_ptr<DeviceInterface> device_;
    uint8_t last_state_ = 0;
    uint8_t last_count_ = 0;
    QTimer poll_timer_;
    std::mutex scan_mutex_;
    std::condition_variable scan_wanted_;
    bool scan_requested_ = false;  // under scan_mutex_
    bool stop_ = false;            // under scan_mutex_
    std::thread scan_thread_;
};
