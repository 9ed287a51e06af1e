#include "emulated_gs_usb_adapter.h"

#include <algorithm>
#include <cstring>

using hv::usb::UsbStatus;

namespace {

constexpr uint8_t kToDevice = 0x41;
constexpr uint8_t kFromDevice = 0xC1;
constexpr uint32_t kEchoFromBus = 0xFFFFFFFFu;
constexpr uint32_t kFlagHardwareTimestamp = 0x10;

void put_u32(std::vector<uint8_t>& out, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

// The host's handle on the adapter; every call names its session, so a
// connection closed or overtaken by a newer one is refused.
class EmulatedGsUsbConnection : public hv::usb::UsbConnection {
public:
    EmulatedGsUsbConnection(std::shared_ptr<EmulatedGsUsbAdapter> adapter, uint64_t session)
        : adapter_(std::move(adapter)), session_(session) {}
    ~EmulatedGsUsbConnection() override { close(); }

    hv::usb::InterfaceInfo interface_info() override { return adapter_->interface_info(); }

    UsbStatus control_transfer(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                               uint8_t* data, uint16_t length, std::size_t& transferred,
                               unsigned timeout_ms) override {
        (void)timeout_ms;
        return adapter_->control(session_, request_type, request, value, index, data, length, transferred);
    }

    UsbStatus bulk_write(uint8_t endpoint, const uint8_t* data, std::size_t length,
                         std::size_t& transferred, unsigned timeout_ms) override {
        (void)timeout_ms;
        return adapter_->bulk_write(session_, endpoint, data, length, transferred);
    }

    UsbStatus submit_read(uint8_t endpoint, uint8_t* buffer, std::size_t length,
                          hv::usb::ReadDone done) override {
        return adapter_->submit_read(session_, endpoint, buffer, length, std::move(done));
    }

    void cancel_reads() override { adapter_->cancel_reads(session_); }

    void close() override {
        if (closed_.exchange(true)) return;
        adapter_->cancel_reads(session_);
        adapter_->release(session_);
    }

private:
    const std::shared_ptr<EmulatedGsUsbAdapter> adapter_;
    const uint64_t session_;
    std::atomic<bool> closed_{false};
};

EmulatedGsUsbAdapter::EmulatedGsUsbAdapter(Options options)
    : options_(std::move(options)), path_(options_.path) {
    bit_timings_.resize(std::max<uint8_t>(options_.channel_count, 1));
    bus_thread_ = std::thread([this] { run(); });
}

EmulatedGsUsbAdapter::~EmulatedGsUsbAdapter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (bus_thread_.get_id() == std::this_thread::get_id())
        bus_thread_.detach();
    else
        bus_thread_.join();
}

// ---- bus hook ---------------------------------------------------------------

void EmulatedGsUsbAdapter::set_bus_listener(BusListener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = listener ? std::make_shared<BusListener>(std::move(listener)) : nullptr;
}

bool EmulatedGsUsbAdapter::deliver(const CanFrame& frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!present_ || !opened_ || !started_) {
            ++dropped_;
            return false;
        }
        in_queue_.push_back(encode_locked(kEchoFromBus, frame, 0, 0));
    }
    wake_.notify_all();
    return true;
}

void EmulatedGsUsbAdapter::deliver_raw(std::vector<uint8_t> transfer) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        in_queue_.push_back(std::move(transfer));
    }
    wake_.notify_all();
}

std::vector<uint8_t> EmulatedGsUsbAdapter::encode_locked(uint32_t echo_id, const CanFrame& frame,
                                                         uint8_t channel, uint8_t flags) const {
    std::size_t size = transfer_size_;
    if (size == 0) size = (mode_flags_ & kFlagHardwareTimestamp) ? 24 : 20;
    std::vector<uint8_t> out(std::max<std::size_t>(size, 24), 0);
    put_u32(out, 0, echo_id);
    put_u32(out, 4, frame.id);
    out[8] = frame.dlc;
    out[9] = channel;
    out[10] = flags;
    out[11] = 0;
    std::memcpy(&out[12], frame.data, 8);
    put_u32(out, 20, device_time_us());
    out.resize(size);
    return out;
}

uint32_t EmulatedGsUsbAdapter::device_time_us() const {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - created_)
                                     .count());
}

void EmulatedGsUsbAdapter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] {
            return stop_ || !out_queue_.empty() ||
                   (!pending_.empty() && (!in_queue_.empty() || failing_reads_ > 0));
        });
        if (stop_) return;

        if (!out_queue_.empty()) {
            HostFrame sent = out_queue_.front();
            out_queue_.pop_front();
            if (!started_ || !present_) {
                ++dropped_;
                continue;
            }
            // On the bus: the echo goes back to the host, then the nodes see the frame.
            in_queue_.push_back(encode_locked(sent.echo_id, sent.frame, sent.channel, sent.flags));
            std::shared_ptr<BusListener> listener = listener_;
            if (listener) {
                lock.unlock();
                (*listener)(sent.frame);
                lock.lock();
                if (stop_) return;
            }
        }

        while (!pending_.empty() && (failing_reads_ > 0 || !in_queue_.empty())) {
            PendingRead read = std::move(pending_.front());
            pending_.pop_front();
            UsbStatus status = UsbStatus::ok;
            std::size_t n = 0;
            if (failing_reads_ > 0) {
                --failing_reads_;
                status = UsbStatus::io_error;
            } else {
                std::vector<uint8_t> transfer = std::move(in_queue_.front());
                in_queue_.pop_front();
                n = std::min(transfer.size(), read.length);
                std::memcpy(read.buffer, transfer.data(), n);
            }
            ++completing_;
            lock.unlock();
            read.done(status, n);
            lock.lock();
            --completing_;
            idle_.notify_all();
            if (stop_) return;
        }
    }
}

// ---- connection side --------------------------------------------------------

hv::usb::InterfaceInfo EmulatedGsUsbAdapter::interface_info() const {
    hv::usb::InterfaceInfo info;
    info.number = options_.interface_number;
    info.interface_class = options_.interface_class;
    info.endpoints = options_.endpoints;
    return info;
}

std::shared_ptr<hv::usb::UsbConnection> EmulatedGsUsbAdapter::open(UsbStatus& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_ || open_failure_ == OpenFailure::not_found) {
        status = UsbStatus::not_found;
        return nullptr;
    }
    if (opened_ || open_failure_ == OpenFailure::in_use) {
        status = UsbStatus::busy;
        return nullptr;
    }
    opened_ = true;
    ++session_;
    in_queue_.clear();
    status = UsbStatus::ok;
    return std::make_shared<EmulatedGsUsbConnection>(shared_from_this(), session_);
}

UsbStatus EmulatedGsUsbAdapter::control(uint64_t session, uint8_t request_type, uint8_t request,
                                        uint16_t value, uint16_t index, uint8_t* data,
                                        uint16_t length, std::size_t& transferred) {
    transferred = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_) return UsbStatus::no_device;
    if (!session_ok_locked(session)) return UsbStatus::invalid;

    ControlRecord record{request_type, request, value, index, {}, false};
    if (request_type == kToDevice && length > 0) record.data.assign(data, data + length);
    auto refuse = [&] {
        record.failed = true;
        control_log_.push_back(record);
        return UsbStatus::stall;
    };
    if (failing_requests_[request]) return refuse();

    std::vector<uint8_t> reply;
    if (request_type == kToDevice) {
        switch (request) {
            case 0:  // host format
                if (length != 4) return refuse();
                host_format_ = get_u32(data);
                break;
            case 1:  // bit timing
                if (length != 20 || value >= bit_timings_.size()) return refuse();
                bit_timings_[value] = {get_u32(data), get_u32(data + 4), get_u32(data + 8),
                                       get_u32(data + 12), get_u32(data + 16)};
                break;
            case 2:  // mode
                if (length != 8 || value >= bit_timings_.size()) return refuse();
                mode_ = get_u32(data);
                mode_flags_ = get_u32(data + 4);
                if (value == 0) started_ = (mode_ == 1);
                break;
            default:
                return refuse();
        }
        transferred = length;
    } else if (request_type == kFromDevice) {
        switch (request) {
            case 4: {  // timing limits
                if (value >= bit_timings_.size()) return refuse();
                const uint32_t limits[10] = {0x1F, options_.can_clock_hz, 1, 16, 1, 8, 4, 1, 1024, 1};
                reply.assign(40, 0);
                for (int i = 0; i < 10; ++i) put_u32(reply, 4 * i, limits[i]);
                break;
            }
            case 5:  // device config
                reply.assign(12, 0);
                reply[3] = static_cast<uint8_t>(options_.channel_count - 1);
                put_u32(reply, 4, 2);
                put_u32(reply, 8, 1);
                break;
            case 6:  // timestamp
                reply.assign(4, 0);
                put_u32(reply, 0, device_time_us());
                break;
            default:
                return refuse();
        }
        transferred = std::min<std::size_t>(reply.size(), length);
        std::memcpy(data, reply.data(), transferred);
        record.data.assign(reply.begin(), reply.begin() + static_cast<long>(transferred));
    } else {
        return refuse();
    }
    control_log_.push_back(record);
    return UsbStatus::ok;
}

UsbStatus EmulatedGsUsbAdapter::bulk_write(uint64_t session, uint8_t endpoint, const uint8_t* data,
                                           std::size_t length, std::size_t& transferred) {
    transferred = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!present_) return UsbStatus::no_device;
        if (!session_ok_locked(session)) return UsbStatus::invalid;
        if (bulk_write_fails_) return UsbStatus::stall;
        if (endpoint & 0x80) return UsbStatus::invalid;
        transferred = length;
        if (length < 20) return UsbStatus::ok;  // nothing a gs_usb device could read
        HostFrame frame;
        frame.echo_id = get_u32(data);
        frame.frame.id = get_u32(data + 4);
        frame.frame.dlc = data[8];
        frame.channel = data[9];
        frame.flags = data[10];
        frame.reserved = data[11];
        std::memcpy(frame.frame.data, data + 12, 8);
        host_frames_.push_back(frame);
        out_queue_.push_back(frame);
    }
    wake_.notify_all();
    idle_.notify_all();
    return UsbStatus::ok;
}

UsbStatus EmulatedGsUsbAdapter::submit_read(uint64_t session, uint8_t endpoint, uint8_t* buffer,
                                            std::size_t length, hv::usb::ReadDone done) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!present_) return UsbStatus::no_device;
        if (!session_ok_locked(session)) return UsbStatus::invalid;
        if (!(endpoint & 0x80)) return UsbStatus::invalid;
        pending_.push_back({buffer, length, std::move(done)});
    }
    wake_.notify_all();
    idle_.notify_all();
    return UsbStatus::ok;
}

void EmulatedGsUsbAdapter::complete_all(std::unique_lock<std::mutex>& lock, UsbStatus status) {
    std::deque<PendingRead> reads;
    reads.swap(pending_);
    completing_ += static_cast<int>(reads.size());
    lock.unlock();
    for (PendingRead& read : reads) read.done(status, 0);
    lock.lock();
    completing_ -= static_cast<int>(reads.size());
    idle_.notify_all();
}

void EmulatedGsUsbAdapter::cancel_reads(uint64_t session) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (session != session_) return;  // reads of an older session are gone already
    complete_all(lock, UsbStatus::cancelled);
    // A read the bus thread is handing over right now must finish first.
    idle_.wait(lock, [this] { return completing_ == 0; });
}

void EmulatedGsUsbAdapter::release(uint64_t session) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok_locked(session)) return;
    opened_ = false;
    in_queue_.clear();
    out_queue_.clear();
}

// ---- inspection -------------------------------------------------------------

std::vector<EmulatedGsUsbAdapter::ControlRecord> EmulatedGsUsbAdapter::control_log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return control_log_;
}

void EmulatedGsUsbAdapter::clear_control_log() {
    std::lock_guard<std::mutex> lock(mutex_);
    control_log_.clear();
}

uint32_t EmulatedGsUsbAdapter::host_format() {
    std::lock_guard<std::mutex> lock(mutex_);
    return host_format_;
}

EmulatedGsUsbAdapter::BitTiming EmulatedGsUsbAdapter::bit_timing(uint8_t channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    return channel < bit_timings_.size() ? bit_timings_[channel] : BitTiming{};
}

bool EmulatedGsUsbAdapter::channel_started() {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
}

uint32_t EmulatedGsUsbAdapter::mode() {
    std::lock_guard<std::mutex> lock(mutex_);
    return mode_;
}

uint32_t EmulatedGsUsbAdapter::mode_flags() {
    std::lock_guard<std::mutex> lock(mutex_);
    return mode_flags_;
}

std::vector<EmulatedGsUsbAdapter::HostFrame> EmulatedGsUsbAdapter::host_frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return host_frames_;
}

std::size_t EmulatedGsUsbAdapter::host_frame_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return host_frames_.size();
}

void EmulatedGsUsbAdapter::clear_host_frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    host_frames_.clear();
}

bool EmulatedGsUsbAdapter::wait_for_host_frames(std::size_t count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return host_frames_.size() >= count; });
}

int EmulatedGsUsbAdapter::pending_reads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(pending_.size());
}

bool EmulatedGsUsbAdapter::wait_for_pending_reads(int count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return static_cast<int>(pending_.size()) == count; });
}

std::size_t EmulatedGsUsbAdapter::queued_transfers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return in_queue_.size();
}

uint64_t EmulatedGsUsbAdapter::dropped_frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

bool EmulatedGsUsbAdapter::is_open() {
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
}

bool EmulatedGsUsbAdapter::present() {
    std::lock_guard<std::mutex> lock(mutex_);
    return present_;
}

// ---- faults -----------------------------------------------------------------

void EmulatedGsUsbAdapter::set_open_failure(OpenFailure failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_failure_ = failure;
}

void EmulatedGsUsbAdapter::fail_request(uint8_t request, bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    failing_requests_[request] = fail;
}

void EmulatedGsUsbAdapter::set_bulk_write_failure(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    bulk_write_fails_ = fail;
}

void EmulatedGsUsbAdapter::fail_next_reads(int count) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failing_reads_ = count;
    }
    wake_.notify_all();
}

void EmulatedGsUsbAdapter::set_transfer_size(std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    transfer_size_ = size;
}

void EmulatedGsUsbAdapter::unplug() {
    std::unique_lock<std::mutex> lock(mutex_);
    present_ = false;
    started_ = false;
    in_queue_.clear();
    out_queue_.clear();
    complete_all(lock, UsbStatus::no_device);
}
