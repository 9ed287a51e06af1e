#pragma once
#include <QObject>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "device_interface.h"

// Polls one link every 500 ms and reports changes of its open state and device count.
class DeviceScanner : public QObject {
    Q_OBJECT
public:
    explicit DeviceScanner(std::shared_ptr<DeviceInterface> device);
    ~DeviceScanner() override;

signals:
    void number_changed_signal(std::vector<std::string>& devices);
    void state_changed_signal(bool state);

private slots:
    void loop_check_timer_slot();

private:
    std::shared_ptr<DeviceInterface> device_;
    uint8_t last_state_ = 0;
    uint8_t last_count_ = 0;
    QTimer poll_timer_;
};
