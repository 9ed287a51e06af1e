#include "emulated_gs_usb_adapter.h"

#include <algorithm>
#include <chrono>
#include <cstring>

using hv::usb::UsbStatus;

namespace {

constexpr uint32_t kFromBus = 0xFFFFFFFFu;
constexpr std::size_t kMailboxes = 3, kHeld = 64;
// Timing limits reply: features, fclk (filled in), tseg1 1..16, tseg2 1..8, sjw 4, brp 1..1024 step 1.
constexpr uint32_t kLimits[10] = {0, 0, 1, 16, 1, 8, 4, 1, 1024, 1};

void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get_u32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

}  // namespace

EmulatedGsUsbAdapter::EmulatedGsUsbAdapter(Options options, std::string path)
    : path(std::move(path)), options_(options), kernel_attached_(options.kernel_driver) {
    thread_ = std::thread([this] { run(); });
}

EmulatedGsUsbAdapter::~EmulatedGsUsbAdapter() {
    locked([&] { stop_ = true; });
    wake_.notify_all();
    thread_.get_id() == std::this_thread::get_id() ? thread_.detach() : thread_.join();  // last user on its thread
}

void EmulatedGsUsbAdapter::queue_in_locked(uint32_t echo_id, const CanFrame& frame) {
    std::vector<uint8_t> out(24, 0);  // the host asks for hardware timestamps
    put_u32(&out[0], echo_id);
    put_u32(&out[4], frame.id);
    out[8] = frame.dlc;
    out[10] = overflowed_ && echo_id == kFromBus ? 1 : 0;  // frames were lost before this one
    if (out[10]) overflowed_ = false;
    std::memcpy(&out[12], frame.data, 8);
    put_u32(&out[20], clock_us());
    in_queue_.push_back(std::move(out));
}

uint32_t EmulatedGsUsbAdapter::clock_us() const {
    // Never 0 in a test's lifetime unless set_clock_us wraps it: 0 is what a transfer without a timestamp reads as.
    const auto since = std::chrono::steady_clock::now() - powered_;
    return static_cast<uint32_t>(1000000 + std::chrono::duration_cast<std::chrono::microseconds>(since).count()) +
           clock_offset_us_;
}

void EmulatedGsUsbAdapter::queue_state_locked(uint8_t controller, uint8_t tx_errors) {
    CanFrame state;
    state.id = 0x20000004u;  // error frame, controller state
    state.dlc = 8;
    state.data[1] = controller;
    state.data[6] = tx_errors;
    queue_in_locked(kFromBus, state);
}

void EmulatedGsUsbAdapter::fill_mailboxes_locked() {
    // The echo is queued as the frame enters a mailbox, acknowledged or not.
    for (; !held_.empty() && mailboxes_.size() < kMailboxes; held_.pop_front()) {
        queue_in_locked(held_.front().first, held_.front().second);
        mailboxes_.push_back(held_.front());
    }
    idle_.notify_all();
}

void EmulatedGsUsbAdapter::deliver(const CanFrame& frame) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!opened_ || !started_) return;
    if (options_.in_capacity != 0 && in_queue_.size() >= options_.in_capacity)
        overflowed_ = true;
    else
        queue_in_locked(kFromBus, frame);
    hand_over_locked(lock);
    wake_.notify_all();
}

uint32_t EmulatedGsUsbAdapter::bitrate_locked() const {
    const uint32_t quanta = 1 + timing_[0] + timing_[1] + timing_[2];
    return timing_[4] == 0 ? 0 : options_.can_clock_hz / (timing_[4] * quanta);
}

bool EmulatedGsUsbAdapter::sending_locked() const {
    // The motor acknowledges only at exactly 1 Mbit/s.
    return !mailboxes_.empty() && acknowledged_ && bitrate_locked() == 1000000u;
}

void EmulatedGsUsbAdapter::transmit_locked() {
    fill_mailboxes_locked();
    for (; sending_locked(); fill_mailboxes_locked()) {
        if (passive_) passive_ = false, queue_state_locked(0x40, 0);  // error-active again
        on_bus_.push_back(mailboxes_.front().second);
        mailboxes_.pop_front();
    }
}

void EmulatedGsUsbAdapter::hand_over_locked(std::unique_lock<std::mutex>& lock) {
    if (handing_over_) return;  // the thread at it takes what comes meanwhile too, in order
    handing_over_ = true;
    while (!reads_.empty() && !in_queue_.empty() && !holding_in_) {
        Read read = std::move(reads_.front());
        reads_.pop_front();
        const std::vector<uint8_t> transfer = std::move(in_queue_.front());
        in_queue_.pop_front();
        const std::size_t n = std::min(transfer.size(), read.length);
        std::memcpy(read.buffer, transfer.data(), n);
        // Pulled as this transfer completes: the host cannot queue the read again.
        const bool pull = unplug_after_read_;
        if (pull) unplugged_ = true;
        ++completing_;
        lock.unlock();
        read.done(UsbStatus::ok, n);
        lock.lock();
        --completing_;
        idle_.notify_all();
        if (pull) unplug_locked(lock);
    }
    handing_over_ = false;
    wake_.notify_all();  // reads queued meanwhile may wait for the adapter's thread
}

void EmulatedGsUsbAdapter::hold_transfers_to_host(bool hold) {
    std::unique_lock<std::mutex> lock(mutex_);
    holding_in_ = hold;
    // Released, what waited reaches the host's queued reads in this call, as the
    // host's completion path would run: not whenever this emulation's thread runs.
    if (!hold) hand_over_locked(lock);
    wake_.notify_all();
}

void EmulatedGsUsbAdapter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    // A frame nobody acknowledges is retransmitted until the TX error count makes
    // the controller error-passive (at 1 Mbit/s within a few milliseconds).
    const auto unanswered = [&] { return !mailboxes_.empty() && !sending_locked() && !passive_ && started_; };
    for (;;) {
        wake_.wait(lock, [&] {
            return stop_ || (!held_.empty() && mailboxes_.size() < kMailboxes) || sending_locked() || unanswered() ||
                   !on_bus_.empty() || (!reads_.empty() && !in_queue_.empty() && !holding_in_ && !handing_over_);
        });
        if (stop_) return;
        transmit_locked();
        if (unanswered()) {
            passive_ = true;
            queue_state_locked(0x08, 96);   // TX error-warning
            queue_state_locked(0x20, 128);  // TX error-passive
        }
        hand_over_locked(lock);
        // What went out reaches the other nodes here, in order, after its echo.
        while (!on_bus_.empty()) {
            const CanFrame sent = on_bus_.front();
            on_bus_.pop_front();
            if (std::shared_ptr<BusListener> listener = listener_) {
                lock.unlock();
                (*listener)(sent);
                lock.lock();
            }
        }
        hand_over_locked(lock);
    }
}

std::shared_ptr<hv::usb::UsbConnection> EmulatedGsUsbAdapter::open(UsbStatus& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool kernel_up = kernel_attached_ && kernel_up_ && !options_.kernel_interface.empty();
    status = unplugged_                                   ? UsbStatus::no_device
             : open_failure_ != UsbStatus::ok             ? open_failure_
             : options_.no_permission                     ? UsbStatus::no_permission
             : opened_                                    ? UsbStatus::busy
             : kernel_up                                  ? UsbStatus::kernel_in_use
             : (kernel_attached_ && hv::usb::probing()) ? UsbStatus::kernel_held
                                                          : UsbStatus::ok;
    if (status != UsbStatus::ok) return nullptr;
    // The firmware runs on as the last session left it: started, frames held.
    if (kernel_attached_) started_ = false, held_.clear(), mailboxes_.clear();
    kernel_attached_ = false;
    opened_ = true;
    return shared_from_this();
}

UsbStatus EmulatedGsUsbAdapter::control_transfer(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                                 uint8_t* data, uint16_t length, std::size_t& transferred,
                                                 unsigned timeout_ms) {
    static const std::size_t sizes[7] = {4, 20, 8, 0, 40, 12, 4};
    transferred = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    if (unplugged_) return UsbStatus::no_device;
    if (!opened_) return UsbStatus::invalid;
    if (latency_.count() > 0) {
        const auto latency = latency_;
        lock.unlock();
        std::this_thread::sleep_for(latency);
        lock.lock();
        if (unplugged_) return UsbStatus::no_device;
    }
    if (hung_) ++hung_waiting_, hung_callers_.push_back(std::this_thread::get_id());
    else ++hung_waiting_;
    const bool answered = wake_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return !hung_ || stop_; });
    --hung_waiting_;
    // Recorded once the lock stays held to the end, so back() below is this one.
    controls_.push_back({type, request, value, index, {data, data + ((type & 0x80) ? 0 : length)}});
    if (!answered) return UsbStatus::timed_out;
    if (failing_requests_.count(request)) return UsbStatus::stall;
    const bool channel_ok = request == 0 || request == 5 || value < options_.channel_count ||
                            (request == 6 && options_.old_firmware);
    if (request > 6 || length < sizes[request] || !channel_ok) return UsbStatus::stall;
    if (value == 0 && (request == 1 || request == 2))
        channel_requests_.push_back(request == 1 ? "timing" : get_u32(data) == 1 ? "start" : "reset");
    if (value == 0 && request == 2 && get_u32(data) == 0) reset_times_.push_back(std::chrono::steady_clock::now());
    if (request == 1 && value == 0 && started_ && options_.strict_timing) return UsbStatus::stall;
    if (request == 1 && value == 0) {
        const uint32_t tseg1 = get_u32(data) + get_u32(data + 4), tseg2 = get_u32(data + 8);
        const uint32_t sjw = get_u32(data + 12), brp = get_u32(data + 16);
        // Out of the limits: taken without complaint and ignored.
        if (tseg1 >= kLimits[2] && tseg1 <= kLimits[3] && tseg2 >= kLimits[4] && tseg2 <= kLimits[5] &&
            sjw >= 1 && sjw <= kLimits[6] && brp >= kLimits[7] && brp <= kLimits[8])
            for (int i = 0; i < 5; ++i) timing_[i] = get_u32(data + 4 * i);
    } else if (request == 2 && value == 0) {
        started_ = get_u32(data) == 1;
        if (!started_) held_.clear(), mailboxes_.clear();
    } else if (request == 4) {
        for (int i = 0; i < 10; ++i) put_u32(data + 4 * i, i == 1 ? options_.can_clock_hz : kLimits[i]);
    } else if (request == 5) {
        std::memset(data, 0, 12);
        data[3] = static_cast<uint8_t>(options_.channel_count - 1);
    } else if (request == 6) {
        put_u32(data, clock_us());
    }
    transferred = sizes[request];
    if (type & 0x80) controls_.back().data.assign(data, data + transferred);
    return UsbStatus::ok;
}

UsbStatus EmulatedGsUsbAdapter::bulk_write(uint8_t, const uint8_t* data, std::size_t length, std::size_t& transferred,
                                           unsigned timeout_ms) {
    transferred = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    if (unplugged_) return UsbStatus::no_device;
    if (!opened_) return UsbStatus::invalid;
    std::chrono::milliseconds late{0};  // the host's time-out ran out after the adapter took the frame
    if (stalled_writes_ > 0) {
        --stalled_writes_, ++timed_out_;
        const auto stall = std::max(host_stall_, std::chrono::milliseconds(timeout_ms));
        if (stalled_taken_) {
            late = stall;
        } else {
            lock.unlock();
            std::this_thread::sleep_for(stall);
            return UsbStatus::timed_out;
        }
    }
    // Full mailboxes and a full hold: the endpoint NAKs until the host gives up.
    most_writing_ = std::max(most_writing_, ++writing_);
    const bool taken = idle_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                      [this] { return unplugged_ || held_.size() < kHeld; });
    --writing_;
    if (unplugged_) return UsbStatus::no_device;
    timed_out_ += taken ? 0 : 1;
    if (!taken) timeout_times_.push_back(std::chrono::steady_clock::now());
    if (!taken) return UsbStatus::timed_out;
    writes_.emplace_back(data, data + length);
    write_times_.push_back({get_u32(data + 4), std::chrono::steady_clock::now()});
    CanFrame frame;
    frame.id = get_u32(data + 4);
    frame.dlc = data[8];
    std::memcpy(frame.data, data + 12, 8);
    if (started_) held_.emplace_back(get_u32(data), frame), transmit_locked();
    transferred = length;
    hand_over_locked(lock);
    wake_.notify_all();
    if (late.count() == 0) return UsbStatus::ok;
    if (lock.owns_lock()) lock.unlock();
    std::this_thread::sleep_for(late);
    return UsbStatus::timed_out;
}

UsbStatus EmulatedGsUsbAdapter::submit_read(uint8_t, uint8_t* buffer, std::size_t length, hv::usb::ReadDone done) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (opened_ && !unplugged_) reads_.push_back({buffer, length, std::move(done)});
    const UsbStatus status = unplugged_ ? UsbStatus::no_device : opened_ ? UsbStatus::ok : UsbStatus::invalid;
    hand_over_locked(lock);
    wake_.notify_all();
    return status;
}

void EmulatedGsUsbAdapter::finish_reads(std::unique_lock<std::mutex>& lock, UsbStatus status) {
    std::deque<Read> reads;
    reads.swap(reads_);
    completing_ += static_cast<int>(reads.size());
    lock.unlock();
    for (Read& read : reads) read.done(status, 0);
    lock.lock();
    completing_ -= static_cast<int>(reads.size());
    idle_.wait(lock, [this] { return completing_ == 0; });  // a read handed over right now ends first
}

void EmulatedGsUsbAdapter::cancel_reads() {
    std::unique_lock<std::mutex> lock(mutex_);
    finish_reads(lock, UsbStatus::cancelled);
}

void EmulatedGsUsbAdapter::close() {
    cancel_reads();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!opened_) return;
    opened_ = false;
    kernel_attached_ = options_.kernel_driver;  // the kernel driver takes it back
    in_queue_.clear();  // what the host never read; the channel itself runs on
}

void EmulatedGsUsbAdapter::unplug() {
    std::unique_lock<std::mutex> lock(mutex_);
    unplug_locked(lock);
}

void EmulatedGsUsbAdapter::unplug_locked(std::unique_lock<std::mutex>& lock) {
    unplugged_ = true, unplug_after_read_ = false;
    started_ = false;
    held_.clear(), mailboxes_.clear(), in_queue_.clear();
    finish_reads(lock, UsbStatus::no_device);
    idle_.notify_all();
}

void EmulatedGsUsbAdapter::fail_next_reads(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto first_kept = reads_.begin() + std::min<std::size_t>(static_cast<std::size_t>(count), reads_.size());
    std::deque<Read> kept(first_kept, reads_.end());
    reads_.erase(first_kept, reads_.end());
    finish_reads(lock, UsbStatus::io_error);
    reads_.insert(reads_.begin(), kept.begin(), kept.end());  // still ahead of reads queued meanwhile
    lock.unlock();
    wake_.notify_all();  // frames may have come while no read was queued
}
