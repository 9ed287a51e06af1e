#pragma once
// The CAN link over one gs_usb adapter: lists the free adapters, opens one at
// 1 Mbit/s on channel 0 (whatever its CAN clock), exchanges single classic
// frames and closes it again. Error frames and bus-state changes go to the
// console, rate-limited, and never reach the caller as frames.
//
// A silent bus (echoes of sent frames overdue, or a no-ACK error frame) resets the
// channel, so nothing queued in the adapter reaches the motor late, and marks the
// bus silent until a frame comes that the bus carried after that reset (the
// adapter's timestamps tell; one sent before and read only now says nothing of the
// bus today). A write that timed out is no such sign by itself: a busy host times
// out too, with room in the adapter. It is tried again while the bus shows no
// silence; on a bus known silent it resets the channel, so a full adapter empties.
//
// Adapter records: every scan takes fresh copies of the available adapters and
// drops those of the previous scan. Each copy is held by a shared pointer that
// frees it with candle_free_device, so the open adapter, which shares its copy
// with the list it came from, stays valid across later scans until it is
// closed, and every other copy is freed as soon as no list holds it.
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
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
    // 1 when the frame went to the adapter, -1 when not. Blocks for at most
    // kWriteTries write time-outs.
    int send(CanFrame& frame) override;
    // 0 when the bus is silent: checked under the lock that serialises the
    // channel reset, so no frame that checked before a reset gets in after it.
    int send_while_bus_answers(CanFrame& frame) override;
    // 1 when a frame was read within 1 ms, 0 otherwise. Echoes of sent frames
    // are delivered too. An adapter none of whose reads can be queued any more
    // closes the link (logged), so it never stays open and deaf.
    int receive(CanFrame& frame) override;
    bool bus_silent() override { return silent_; }
    AdapterProblem open_problem() override;
    std::vector<AdapterProblem> unusable_adapters() override;

    // Runs once each time the bus is found silent, on the thread that found it,
    // with no lock of the link held.
    void set_bus_silent_handler(std::function<void()> handler);
    // Runs when a scan finds a different set of unusable adapters than the scan
    // before, on the scanning thread, with no lock of the link held.
    void set_unusable_handler(std::function<void()> handler);
    // Reports of frames the adapter lost (host too slow) since the link opened.
    uint64_t overflow_reports() const { return overflow_reports_; }

    static constexpr uint8_t kChannel = 0;
    static constexpr uint32_t kReadTimeoutMs = 1;
    static constexpr uint32_t kBitrate = 1000000;
    // An adapter echoes a frame within a millisecond unless nothing acknowledges.
    // Counted in time the reads waited on an empty adapter, not in wall time: a
    // host that did not run (or did not read) for a while has not seen silence.
    static constexpr std::chrono::milliseconds kEchoTimeout{50};
    // Tries of a write that times out while the bus shows no silence: enough write
    // time-outs (10 ms) for the echoes of a full adapter to become overdue.
    static constexpr int kWriteTries = 12;

private:
    using AdapterRecord = std::shared_ptr<candle_device>;

    int send_frame(CanFrame& frame, bool while_bus_answers);
    // Stops the channel and releases the open adapter; caller holds the read and USB locks.
    bool close_adapter_locked();
    // Channel reset on a silent bus; caller holds the USB lock. True when the bus
    // was not known silent before.
    bool reset_silent_channel_locked(const char* cause);
    // Resets from the receive thread, unless the bus is known silent already; true
    // when the bus was newly found silent (the caller then notifies, lock-free).
    bool reset_unless_silent(const AdapterRecord& adapter, const char* cause);
    // receive() under the read lock.
    int receive_locked(CanFrame& frame, bool& newly_silent);
    void notify_silent();
    // A frame from the bus, stamped by the adapter at `timestamp_us`.
    void bus_answers(uint32_t timestamp_us);
    // Counts a read's wait on an empty adapter; true when an echo is overdue.
    bool echoes_overdue(std::chrono::steady_clock::duration empty_wait);
    // A write the adapter did not take in time; caller holds the USB lock. True
    // when the bus is silent (the channel was reset), false when it is worth another try.
    bool write_timed_out_locked(bool& newly_silent);
    void report_unplugged();
    void report_error_frame(const candle_host_frame& frame);
    void flush_bus_state();
    AdapterProblem problem_of(const candle_device* device, uint32_t system_error);
    void report_unusable(const candle_device* device, const AdapterProblem& problem, const std::string& name);
    // Keeps why the open failed; returns open's result for it.
    int open_failed(AdapterProblem problem);

    AdapterRecord adapter_;                // the open adapter, null while closed
    std::vector<AdapterRecord> adapters_;  // available adapters of the last scan
    std::mutex list_mutex_;                // guards adapters_, unusable_ and open_problem_
    std::vector<AdapterProblem> unusable_;  // of the last scan
    AdapterProblem open_problem_;
    // Held by a read for its whole wait, so close never pulls the adapter out
    // from under a read that is in progress. Taken before the device lock.
    std::mutex read_mutex_;
    // Serialises the library calls other than reads (open, close, send), which
    // may wait on the USB; the device lock only guards the opened flag and the
    // record, so is_open() never waits on the adapter. Order: read, USB, device.
    // adapter_ and opened_ change only under both the USB and the device lock.
    std::mutex usb_mutex_;
    // Open and scan both open adapters (a scan only to look); never at once.
    std::mutex scan_mutex_;
    candle_bit_timing timing_{};  // of the open adapter

    std::atomic<bool> silent_{false};  // set and cleared under usb_mutex_
    // Adapter time of the last reset, taken while the channel was stopped; under usb_mutex_.
    uint32_t reset_at_us_ = 0;
    bool reset_stamped_ = false;
    std::mutex echo_mutex_;
    // Time the reads have waited on an empty adapter since the link opened.
    std::chrono::steady_clock::duration empty_read_time_{};
    // Sends whose echo has not come, each with empty_read_time_ as it was then.
    std::deque<std::chrono::steady_clock::duration> unechoed_;
    std::mutex handler_mutex_;
    std::function<void()> silent_handler_;
    std::function<void()> unusable_handler_;
    std::atomic<bool> unplugged_reported_{false};
    std::atomic<uint64_t> overflow_reports_{0};
    std::set<std::string> reported_unusable_;  // adapter paths; under list_mutex_

    hv::LogLimiter error_frame_log_{std::chrono::seconds(1)};
    hv::LogLimiter bus_state_log_{std::chrono::milliseconds(50)};
    // Receive thread only: the state line printed last and the newest one not yet printed.
    const char* shown_bus_state_ = nullptr;
    const char* pending_bus_state_ = nullptr;
    uint8_t pending_tx_errors_ = 0, pending_rx_errors_ = 0;
    hv::LogLimiter lost_read_log_{std::chrono::seconds(1)};
    hv::LogLimiter overflow_log_{std::chrono::seconds(1)};
    hv::LogLimiter write_retry_log_{std::chrono::seconds(1)};
};
