#pragma once
#include <mutex>
#include <string>
#include <vector>

// What every link offers for finding, opening and closing a device.
class DeviceInterface {
public:
    virtual ~DeviceInterface() = default;
    // Appends the names of the devices that can be opened now.
    virtual void scan_devices(std::vector<std::string>& devices) = 0;
    // 0 when the device is open afterwards.
    virtual int open(const std::string& device_name) = 0;
    virtual int close() = 0;
    virtual bool is_open() = 0;

protected:
    // Guards the device and the opened flag.
    std::mutex device_mutex_;
    bool opened_ = false;
};
