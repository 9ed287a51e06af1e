#pragma once
// The CAN link over one gs_usb adapter: lists the free adapters, opens one at
// 1 Mbit/s on channel 0 (whatever its CAN clock), exchanges single classic
// frames and closes it again. Error frames and bus-state changes go to the
// console, rate-limited, and never reach the caller as frames.
//
// Adapter records: every scan takes fresh copies of the available adapters and
// drops those of the previous scan. Each copy is held by a shared pointer that
// frees it with candle_free_device, so the open adapter, which shares its copy
// with the list it came from, stays valid across later scans until it is
// closed, and every other copy is freed as soon as no list holds it.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "can_interface.h"
#include "candle_library.h"
#include "log_limiter.h"

class CandleCan : public CanInterface {
public:
    CandleCan();
    ~CandleCan() override;

    // Names are positions in the list of available adapters: "0", "1", ...
    void scan_devices(std::vector<std::string>& devices) override;
    // 0 when the adapter is open and started, 1 otherwise.
    int open(const std::string& device_name) override;
    // 1 when an open adapter was stopped and closed, 0 otherwise.
    int close() override;
    bool is_open() override;
    // 1 when the frame went to the adapter, -1 when not.
    int send(CanFrame& frame) override;
    // 1 when a frame was read within 1 ms, 0 otherwise. Echoes of sent frames
    // are delivered too. An adapter none of whose reads can be queued any more
    // closes the link (logged), so it never stays open and deaf.
    int receive(CanFrame& frame) override;

    static constexpr uint8_t kChannel = 0;
    static constexpr uint32_t kReadTimeoutMs = 1;
    static constexpr uint32_t kBitrate = 1000000;

private:
    using AdapterRecord = std::shared_ptr<candle_device>;

    // Stops the channel and releases the open adapter; caller holds the read and USB locks.
    bool close_adapter_locked();
    void report_error_frame(const candle_host_frame& frame);

    AdapterRecord adapter_;                // the open adapter, null while closed
    std::vector<AdapterRecord> adapters_;  // available adapters of the last scan
    std::mutex list_mutex_;                // guards adapters_
    // Held by a read for its whole wait, so close never pulls the adapter out
    // from under a read that is in progress. Taken before the device lock.
    std::mutex read_mutex_;
    // Serialises the library calls other than reads (open, close, send), which
    // may wait on the USB; the device lock only guards the opened flag and the
    // record, so is_open() never waits on the adapter. Order: read, USB, device.
    // adapter_ and opened_ change only under both the USB and the device lock.
    std::mutex usb_mutex_;
    static constexpr std::chrono::milliseconds kRefuseAfterFailedWrite{100};
    std::atomic<int64_t> refuse_sends_until_ns_{0};

    hv::LogLimiter unacknowledged_log_{std::chrono::seconds(2)};
    hv::LogLimiter error_frame_log_{std::chrono::seconds(1)};
    hv::LogLimiter bus_state_log_{std::chrono::milliseconds(50)};
    const char* last_bus_state_ = nullptr;  // receive thread only
    hv::LogLimiter lost_read_log_{std::chrono::seconds(1)};
};
