#pragma once
// An emulated gs_usb (candleLight-type) USB-CAN adapter, plugged in under the
// platform's USB layer by EmulatedUsbBackend. The library above talks to it
// exactly as to a real adapter: vendor control requests (host format, bit
// timing, mode, timing limits with a 48 MHz clock, device config, timestamp),
// 24-byte host frames on bulk OUT, and frames from a simulated CAN bus on bulk
// IN as 24-byte transfers (20-byte ones while hardware timestamps are off).
//
// CAN bus hook, for simulated nodes on the bus (a motor driver, a traffic source):
//
//   adapter->set_bus_listener([&](const CanFrame& frame) { node.on_host_frame(frame); });
//       The listener is called for every frame the host sends on the bus while
//       the channel is started, in send order, on the adapter's own bus thread,
//       after the frame's echo has been queued toward the host. It may call
//       deliver() (a reply then reaches the host after the echo). Frame ids
//       carry the gs_usb flag bits (31 extended, 30 remote, 29 error) as sent.
//
//   adapter->deliver(frame);   // any thread
//       Puts a frame on the bus toward the host (echo_id 0xFFFFFFFF). Frames
//       reach the host in the order delivered, interleaved with the echoes in
//       bus order. Returns false, and counts the frame as dropped, while the
//       adapter is not open with channel 0 started, or after unplug().
//
// Every step can be made to fail (set_open_failure, fail_request,
// set_bulk_write_failure, fail_next_reads, deliver_raw for short transfers,
// unplug for removal while open); calls of the Windows-style layer itself fail
// through EmulatedUsbBackend::fail_call.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "can_frame.h"
#include "usb_backend.h"

class EmulatedGsUsbAdapter : public std::enable_shared_from_this<EmulatedGsUsbAdapter> {
public:
    struct Options {
        uint16_t vendor_id = 0x1d50;
        uint16_t product_id = 0x606f;
        std::string path;  // empty: the backend makes one
        uint8_t interface_number = 0;
        uint8_t interface_class = 0xFF;
        // Bulk IN 0x81 and bulk OUT 0x02, 64-byte packets, as on candleLight.
        std::vector<hv::usb::EndpointInfo> endpoints = {{0x81, 0x02, 64, 0}, {0x02, 0x02, 64, 0}};
        uint32_t can_clock_hz = 48000000;
        uint8_t channel_count = 1;
    };

    struct BitTiming {
        uint32_t prop_seg = 0, phase_seg1 = 0, phase_seg2 = 0, sjw = 0, brp = 0;
    };

    struct ControlRecord {
        uint8_t request_type = 0;
        uint8_t request = 0;
        uint16_t value = 0;
        uint16_t index = 0;
        std::vector<uint8_t> data;  // sent by the host, or answered by the adapter
        bool failed = false;
    };

    // A 24-byte host frame as written to bulk OUT.
    struct HostFrame {
        uint32_t echo_id = 0;
        CanFrame frame;  // id with the flag bits, dlc, data
        uint8_t channel = 0;
        uint8_t flags = 0;
        uint8_t reserved = 0;
    };

    enum class OpenFailure { none, not_found, in_use };

    using BusListener = std::function<void(const CanFrame&)>;

    explicit EmulatedGsUsbAdapter(Options options);
    ~EmulatedGsUsbAdapter();
    EmulatedGsUsbAdapter(const EmulatedGsUsbAdapter&) = delete;
    EmulatedGsUsbAdapter& operator=(const EmulatedGsUsbAdapter&) = delete;

    // ---- CAN bus hook (see above) ----
    void set_bus_listener(BusListener listener);
    bool deliver(const CanFrame& frame);
    // One raw IN transfer of any length (a 19-byte one is too short for the host).
    void deliver_raw(std::vector<uint8_t> transfer);

    // ---- what the host did ----
    std::vector<ControlRecord> control_log();
    void clear_control_log();
    uint32_t host_format();
    BitTiming bit_timing(uint8_t channel = 0);
    bool channel_started();
    uint32_t mode();
    uint32_t mode_flags();
    std::vector<HostFrame> host_frames();
    std::size_t host_frame_count();
    // Forgets the frames recorded so far, so long runs keep the record bounded.
    void clear_host_frames();
    bool wait_for_host_frames(std::size_t count, int timeout_ms);
    // Reads the host has queued on bulk IN and not yet been given.
    int pending_reads();
    bool wait_for_pending_reads(int count, int timeout_ms);
    // Transfers waiting for a host read.
    std::size_t queued_transfers();
    uint64_t dropped_frames();
    bool is_open();
    bool present();
    const std::string& path() const { return path_; }
    const Options& options() const { return options_; }

    // ---- faults ----
    void set_open_failure(OpenFailure failure);
    void fail_request(uint8_t request, bool fail = true);
    void set_bulk_write_failure(bool fail);
    // The next `count` reads of the host complete with an I/O error.
    void fail_next_reads(int count);
    // 0: 24 bytes with hardware timestamps on, 20 without; else this size.
    void set_transfer_size(std::size_t size);
    // Removal: queued reads end with "no device", every later call fails, and
    // the adapter disappears from the enumeration.
    void unplug();

    // ---- used by EmulatedUsbBackend ----
    void set_path(std::string path) { path_ = std::move(path); }
    hv::usb::InterfaceInfo interface_info() const;
    std::shared_ptr<hv::usb::UsbConnection> open(hv::usb::UsbStatus& status);

private:
    friend class EmulatedGsUsbConnection;

    struct PendingRead {
        uint8_t* buffer;
        std::size_t length;
        hv::usb::ReadDone done;
    };

    // Connection side; `session` tells a stale connection from the current one.
    hv::usb::UsbStatus control(uint64_t session, uint8_t request_type, uint8_t request, uint16_t value,
                               uint16_t index, uint8_t* data, uint16_t length, std::size_t& transferred);
    hv::usb::UsbStatus bulk_write(uint64_t session, uint8_t endpoint, const uint8_t* data,
                                  std::size_t length, std::size_t& transferred);
    hv::usb::UsbStatus submit_read(uint64_t session, uint8_t endpoint, uint8_t* buffer,
                                   std::size_t length, hv::usb::ReadDone done);
    void cancel_reads(uint64_t session);
    void release(uint64_t session);

    bool session_ok_locked(uint64_t session) const { return opened_ && session == session_; }
    // Ends reads with `status` outside the lock; holds completing_ across.
    void complete_all(std::unique_lock<std::mutex>& lock, hv::usb::UsbStatus status);
    std::vector<uint8_t> encode_locked(uint32_t echo_id, const CanFrame& frame, uint8_t channel,
                                       uint8_t flags) const;
    uint32_t device_time_us() const;
    void run();

    Options options_;
    std::string path_;
    const std::chrono::steady_clock::time_point created_ = std::chrono::steady_clock::now();

    std::mutex mutex_;
    std::condition_variable wake_;   // the bus thread
    std::condition_variable idle_;   // waiters for completions, host frames, reads
    bool stop_ = false;
    bool present_ = true;
    bool opened_ = false;
    uint64_t session_ = 0;
    OpenFailure open_failure_ = OpenFailure::none;
    std::map<uint8_t, bool> failing_requests_;
    bool bulk_write_fails_ = false;
    int failing_reads_ = 0;
    std::size_t transfer_size_ = 0;

    uint32_t host_format_ = 0;
    std::vector<BitTiming> bit_timings_;
    uint32_t mode_ = 0;
    uint32_t mode_flags_ = 0;
    bool started_ = false;

    std::vector<ControlRecord> control_log_;
    std::vector<HostFrame> host_frames_;
    std::deque<HostFrame> out_queue_;            // written by the host, not yet on the bus
    std::deque<std::vector<uint8_t>> in_queue_;  // toward the host
    std::deque<PendingRead> pending_;
    int completing_ = 0;
    uint64_t dropped_ = 0;
    std::shared_ptr<BusListener> listener_;

    std::thread bus_thread_;
};
