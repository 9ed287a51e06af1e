#pragma once
// An emulated gs_usb (candleLight-type) USB-CAN adapter under the platform's USB
// layer (plugged in by EmulatedUsbBackend), behaving as adapters in the field do:
// - vendor requests: host format (0) and device config (5) ignore wValue; every
//   other request takes wValue as the channel and stalls EP0 for a channel the
//   adapter lacks (old firmware answers the timestamp request whatever wValue),
//   as it stalls unknown requests and short wLengths;
// - a bit timing outside the reported limits is ACKed and silently ignored; the
//   bus runs at fclk / (brp * (1 + prop_seg + phase_seg1 + phase_seg2));
// - a sent frame's echo is queued when it enters one of 3 transmit mailboxes;
//   while nothing acknowledges (set_acknowledged(false), or a bus not at
//   1 Mbit/s where the motor sits) 3 frames sit in the mailboxes, 64 more are
//   held, and bulk OUT then NAKs until the host's time-out; the controller then
//   reports error-warning and error-passive (error frames, TX count in data[6]),
//   and error-active once a frame is acknowledged again; held frames go out in
//   order when the bus answers;
// - mode 0 (reset) discards every frame held or in a mailbox; the firmware keeps
//   running when the host closes the interface without it (a killed tool), and
//   strict firmware (Options::strict_timing) stalls a bit timing while started;
// - frames from the bus beyond Options::in_capacity waiting for the host are
//   dropped, and the next frame handed over carries the overflow flag (flags 1);
// - unplug(): every transfer fails with "no device"; Options::no_permission: the
//   open is refused for lack of access; Options::kernel_interface: the kernel's
//   CAN interface of the adapter, down until set_kernel_interface_up(true);
// - hang_control_transfers(true): control requests go unanswered until the
//   host's time-out; set_control_latency(t): each one takes t (a real adapter
//   takes 0.25 to 1 ms), during which the other pipes run on;
// - frames toward the host carry the adapter's microsecond clock from when the
//   frame entered the adapter (the timestamp request reads the same clock);
// - hold_transfers_to_host(true): nothing reaches the host's queued reads until
//   released, as when the host's own USB completion path has not run yet;
//   stall_host_writes(t, n): the host does not run for t while its next n bulk OUT
//   transfers are under way, so each ends timed out after t although the adapter
//   had room, and the adapter never sees its frame (with `taken`, the adapter took
//   the whole frame before the host's time-out ran out: it goes on the bus);
// - set_clock_us(v): the adapter's clock reads v now and runs on from there;
// - like the hardware, it does not wait for a thread of the test's process (which
//   a busy machine may hold back): on a bus that acknowledges at 1 Mbit/s a frame
//   goes out and its echo is queued as the host writes it, and what waits for the
//   host is handed to its queued reads by whichever call queued the last of the
//   two; only the listener runs on the adapter's own thread;
// - with a kernel driver (Options::kernel_driver) a probing open is refused and
//   an open takes the adapter from the kernel until it is closed;
// - it is its own connection, so it is open to one user at a time.
//
// set_bus_listener(f): f sees every frame that goes out on the bus, on the
// adapter's thread, after its echo; it may call deliver(). deliver(frame) puts a
// frame (error frames: id bit 29) on the bus toward the host.
//
// Faults: unplug(), unplug_after_next_read() (pulled as it hands over its next
// transfer, before the host can queue that read again), fail_request(request),
// set_open_failure(status), fail_next_reads(n), deliver_raw(transfer) for short
// ones; the layer's own calls fail through EmulatedUsbBackend::fail_call.
// controls() and host_writes() record what the host sent.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "can_frame.h"
#include "usb_backend.h"

class EmulatedGsUsbAdapter : public hv::usb::UsbConnection, public std::enable_shared_from_this<EmulatedGsUsbAdapter> {
    template <class F>
    auto locked(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }

public:
    struct Options {
        uint32_t can_clock_hz = 48000000;
        uint8_t channel_count = 1;
        bool old_firmware = false;
        bool kernel_driver = false;
        bool strict_timing = false;
        std::size_t in_capacity = 0;  // 0: unbounded
        bool no_permission = false;
        std::string kernel_interface;  // e.g. "can0"; empty: none
        uint8_t interface_number = 0;
        std::vector<hv::usb::EndpointInfo> endpoints = {{0x81, 0x02, 64, 0}, {0x02, 0x02, 64, 0}};
    };
    struct Control {  // one vendor request as the host made it
        uint8_t type, request;
        uint16_t value, index;
        std::vector<uint8_t> data;  // sent, or answered
    };
    using BusListener = std::function<void(const CanFrame&)>;

    EmulatedGsUsbAdapter(Options options, std::string path);
    ~EmulatedGsUsbAdapter() override;

    void set_bus_listener(BusListener f) {
        locked([&] { listener_ = f ? std::make_shared<BusListener>(std::move(f)) : nullptr; });
    }
    void deliver(const CanFrame& frame);
    void set_acknowledged(bool acknowledged) { locked([&] { acknowledged_ = acknowledged; }), wake_.notify_all(); }

    uint32_t bus_bitrate() { return locked([&] { return bitrate_locked(); }); }  // of channel 0; 0: no timing yet
    uint32_t sample_point_permille() {  // of channel 0
        std::lock_guard<std::mutex> lock(mutex_);
        return 1000 * (1 + timing_[0] + timing_[1]) / (1 + timing_[0] + timing_[1] + timing_[2]);
    }
    int most_writes_at_once() { return locked([&] { return most_writing_; }); }  // the host must serialise
    int timed_out_writes() { return locked([&] { return timed_out_; }); }  // NAKed until the host gave up
    bool is_open() { return locked([&] { return opened_; }); }
    bool kernel_driver_attached() { return locked([&] { return kernel_attached_; }); }
    // The kernel's CAN interface of this adapter when it is up, else empty.
    std::string kernel_interface_up() {
        return locked([&] { return kernel_attached_ && kernel_up_ ? options_.kernel_interface : std::string(); });
    }
    void set_kernel_interface_up(bool up) { locked([&] { kernel_up_ = up; }); }
    void hang_control_transfers(bool hang) { locked([&] { hung_ = hang; }), wake_.notify_all(); }
    void set_control_latency(std::chrono::microseconds latency) { locked([&] { latency_ = latency; }); }
    void hold_transfers_to_host(bool hold);
    void stall_host_writes(std::chrono::milliseconds stall, int writes = 1, bool taken = false) {
        locked([&] { host_stall_ = stall, stalled_writes_ = writes, stalled_taken_ = taken; });
    }
    uint32_t clock() { return locked([&] { return clock_us(); }); }
    void set_clock_us(uint32_t now_us) {
        locked([&] { clock_offset_us_ = now_us - (clock_us() - clock_offset_us_); });
    }
    int hung_requests() { return locked([&] { return hung_waiting_; }); }  // waiting unanswered now
    std::vector<std::thread::id> hung_callers() { return locked([&] { return hung_callers_; }); }  // every one so far
    // Channel-0 requests in order: "reset", "timing", "start" (timing: also when refused).
    std::vector<std::string> channel_requests() { return locked([&] { return channel_requests_; }); }
    std::size_t waiting_for_host() { return locked([&] { return in_queue_.size(); }); }
    // When writes timed out and when channel 0 was reset (mode 0), for benchmarks.
    using Times = std::vector<std::chrono::steady_clock::time_point>;
    Times write_timeouts() { return locked([&] { return timeout_times_; }); }
    Times resets() { return locked([&] { return reset_times_; }); }
    const std::string path;

    // Pulled out: what it held is lost, queued reads end with no_device, every
    // later call (an open too) fails so, and the backend lists it no more.
    void unplug();
    void unplug_after_next_read() { locked([&] { unplug_after_read_ = true; }); }
    bool plugged() { return locked([&] { return !unplugged_; }); }
    void fail_request(uint8_t request, bool fail = true) {  // stalls it
        locked([&] { fail ? void(failing_requests_.insert(request)) : void(failing_requests_.erase(request)); });
    }
    void set_open_failure(hv::usb::UsbStatus status) { locked([&] { open_failure_ = status; }); }  // ok: none
    void fail_next_reads(int count);  // of the reads queued now, with an I/O error
    void deliver_raw(std::vector<uint8_t> transfer) {  // one IN transfer of any length
        locked([&] { in_queue_.push_back(std::move(transfer)); }), wake_.notify_all();
    }
    std::vector<Control> controls() { return locked([&] { return controls_; }); }
    void clear_controls() { locked([&] { controls_.clear(); }); }
    std::vector<std::vector<uint8_t>> host_writes() { return locked([&] { return writes_; }); }
    // The identifier of each of host_writes() and when it was taken: the host's own
    // timing, whenever this emulation's thread gets to put the frame on the bus.
    struct Write {
        uint32_t can_id;
        std::chrono::steady_clock::time_point at;
    };
    std::vector<Write> host_write_times() { return locked([&] { return write_times_; }); }
    int pending_reads() { return locked([&] { return static_cast<int>(reads_.size()); }); }
    bool started() { return locked([&] { return started_; }); }

    // Used by EmulatedUsbBackend and the USB layer.
    std::shared_ptr<hv::usb::UsbConnection> open(hv::usb::UsbStatus& status);
    hv::usb::InterfaceInfo interface_info() override {  // by default one bulk IN and one bulk OUT endpoint
        return {options_.interface_number, 0, 0xFF, 0, 0, options_.endpoints};
    }
    hv::usb::UsbStatus control_transfer(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                                        uint16_t length, std::size_t& transferred, unsigned timeout_ms) override;
    hv::usb::UsbStatus bulk_write(uint8_t, const uint8_t* data, std::size_t length, std::size_t& transferred,
                                  unsigned timeout_ms) override;
    hv::usb::UsbStatus submit_read(uint8_t, uint8_t* buffer, std::size_t length, hv::usb::ReadDone done) override;
    void cancel_reads() override;
    void close() override;  // the kernel driver, if any, takes it back

private:
    struct Read {
        uint8_t* buffer;
        std::size_t length;
        hv::usb::ReadDone done;
    };
    uint32_t bitrate_locked() const;
    void queue_in_locked(uint32_t echo_id, const CanFrame& frame);
    void queue_state_locked(uint8_t controller, uint8_t tx_errors);
    void fill_mailboxes_locked();
    bool sending_locked() const;
    // Frames an acknowledging bus takes go out at once, their echoes queued.
    void transmit_locked();
    // Hands what waits for the host to its queued reads, on the calling thread.
    void hand_over_locked(std::unique_lock<std::mutex>& lock);
    void finish_reads(std::unique_lock<std::mutex>& lock, hv::usb::UsbStatus status);
    void unplug_locked(std::unique_lock<std::mutex>& lock);
    uint32_t clock_us() const;
    void run();

    const Options options_;
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    bool stop_ = false, opened_ = false, started_ = false;
    bool acknowledged_ = true, kernel_attached_, unplugged_ = false, hung_ = false, kernel_up_ = false;
    bool overflowed_ = false, passive_ = false;  // a frame from the bus was dropped; TX error-passive
    bool unplug_after_read_ = false;
    std::chrono::microseconds latency_{0};
    std::chrono::milliseconds host_stall_{0};
    int stalled_writes_ = 0;
    bool stalled_taken_ = false;
    uint32_t clock_offset_us_ = 0;
    const std::chrono::steady_clock::time_point powered_ = std::chrono::steady_clock::now();
    bool holding_in_ = false;
    std::vector<std::string> channel_requests_;
    Times timeout_times_, reset_times_;
    std::vector<std::thread::id> hung_callers_;
    uint32_t timing_[5] = {};  // prop_seg, phase_seg1, phase_seg2, sjw, brp of channel 0
    int completing_ = 0, hung_waiting_ = 0, writing_ = 0, most_writing_ = 0, timed_out_ = 0;
    std::deque<std::pair<uint32_t, CanFrame>> held_, mailboxes_;  // echo id, frame
    std::deque<std::vector<uint8_t>> in_queue_;
    std::deque<CanFrame> on_bus_;  // went out; for the listener, on this adapter's thread
    bool handing_over_ = false;
    std::deque<Read> reads_;
    std::shared_ptr<BusListener> listener_;
    std::thread thread_;
    hv::usb::UsbStatus open_failure_ = hv::usb::UsbStatus::ok;
    std::set<uint8_t> failing_requests_;
    std::vector<Control> controls_;
    std::vector<std::vector<uint8_t>> writes_;
    std::vector<Write> write_times_;
};
