#include "candle_can.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ios>

#include "console_log.h"

namespace {

constexpr uint32_t kStartFlags = 0;

// Error-class bits of an error frame's identifier and the controller states of data[1].
constexpr uint32_t kErrorControllerState = 0x04;
constexpr uint32_t kErrorNoAck = 0x20;
constexpr uint32_t kErrorBusOff = 0x40;
constexpr uint32_t kErrorRestarted = 0x100;

const char* controller_state(uint8_t bits) {
    if (bits & 0x30) return "error-passive";
    if (bits & 0x0C) return "error-warning";
    if (bits & 0x40) return "error-active";
    return nullptr;
}

}  // namespace

CandleCan::CandleCan() = default;

CandleCan::~CandleCan() {
    hv::log_info("Destruct CandleCan");
    // Freeing the record of an adapter that is still open would leave its
    // reads pending into freed memory, so it is released here.
    std::lock_guard<std::mutex> read_lock(read_mutex_);
    std::lock_guard<std::mutex> usb_lock(usb_mutex_);
    if (opened_) close_adapter_locked();
}

void CandleCan::scan_devices(std::vector<std::string>& devices) {
    std::vector<AdapterRecord> available;
    candle_list* list = nullptr;
    uint8_t count = 0;
    if (candle_scan_devices(&list) && candle_device_list_length(list, &count)) {
        for (uint8_t i = 0; i < count; ++i) {
            candle_device* copy = nullptr;
            if (!candle_get_device(list, i, &copy)) continue;
            AdapterRecord record(copy, candle_free_device);
            uint32_t state = kCandleDeviceInUse;
            if (candle_device_state(copy, &state) && state == kCandleDeviceAvailable) {
                devices.push_back(std::to_string(available.size()));
                available.push_back(std::move(record));
            }
        }
    }
    candle_free_device_list(list);
    std::lock_guard<std::mutex> lock(list_mutex_);
    adapters_.swap(available);
}

int CandleCan::open(const std::string& device_name) {
    // A decimal position: leading blanks and a sign allowed, trailing text ignored.
    const char* text = device_name.c_str();
    char* end = nullptr;
    errno = 0;
    const long long position = std::strtoll(text, &end, 10);
    AdapterRecord record;
    if (end != text && errno == 0 && position >= 0) {
        std::lock_guard<std::mutex> lock(list_mutex_);
        if (static_cast<unsigned long long>(position) < adapters_.size()) record = adapters_[position];
    }
    if (!record) {
        hv::log_warn("No CAN adapter \"", device_name, "\" in the list of available adapters");
        return 1;
    }

    std::lock_guard<std::mutex> read_lock(read_mutex_);
    std::lock_guard<std::mutex> usb_lock(usb_mutex_);
    if (opened_) {
        // Taking another record now would lose the open one's handles.
        hv::log_warn("CAN adapter already open; close it before opening \"", device_name, "\"");
        return 1;
    }
    candle_device* device = record.get();
    if (!candle_open_device(device)) {
        hv::log_error("CAN adapter ", device_name, " not opened (error ",
                      candle_device_last_error(device), ")");
        return 1;
    }
    // The adapter takes any timing without complaint and runs the bus at what
    // its clock makes of it, so the timing must fit the clock it reports.
    candle_timing_limits limits{};
    candle_bit_timing timing{};
    if (!candle_channel_capabilities(device, kChannel, &limits) ||
        !candle_timing_for_bitrate(&limits, kBitrate, &timing)) {
        candle_close_device(device);
        hv::log_error("CAN adapter ", device_name, " not opened: its CAN clock of ", limits.fclk_can,
                      " Hz allows no exact 1 Mbit/s bit timing");
        return 1;
    }
    uint32_t timestamp_us = 0;
    const char* failed = nullptr;
    if (!candle_set_channel_timing(device, kChannel, &timing))
        failed = "bit timing";
    else if (!candle_device_timestamp(device, &timestamp_us))
        failed = "timestamp";
    else if (!candle_start_channel(device, kChannel, kStartFlags))
        failed = "channel start";
    if (failed != nullptr) {
        const uint32_t error = candle_device_last_error(device);
        candle_close_device(device);
        hv::log_error("CAN adapter ", device_name, " not opened: ", failed, " failed (error ", error, ")");
        return 1;
    }
    std::lock_guard<std::mutex> lock(device_mutex_);
    adapter_ = std::move(record);
    opened_ = true;
    refuse_sends_until_ns_ = 0;
    return 0;
}

bool CandleCan::close_adapter_locked() {
    candle_device* device = adapter_.get();
    const bool stopped = candle_stop_channel(device, kChannel);
    const uint32_t error = candle_device_last_error(device);
    // Released even when the stop fails: an adapter that was pulled out never
    // answers again, and keeping it would leave the link stuck open.
    candle_close_device(device);
    {
        std::lock_guard<std::mutex> lock(device_mutex_);
        adapter_.reset();
        opened_ = false;
    }
    if (!stopped) hv::log_warn("CAN adapter did not stop (error ", error, "); it was released");
    return stopped;
}

int CandleCan::close() {
    if (!is_open()) return 0;
    std::lock_guard<std::mutex> read_lock(read_mutex_);
    std::lock_guard<std::mutex> usb_lock(usb_mutex_);
    if (!opened_) return 0;
    return close_adapter_locked() ? 1 : 0;
}

bool CandleCan::is_open() {
    std::lock_guard<std::mutex> lock(device_mutex_);
    return opened_;
}

int CandleCan::send(CanFrame& frame) {
    candle_host_frame host_frame{};
    host_frame.can_id = frame.get_id();
    host_frame.can_dlc = frame.get_dlc();
    host_frame.channel = kChannel;
    std::memcpy(host_frame.data, frame.get_data(), sizeof(host_frame.data));
    // After a write the adapter did not take, frames are refused at once for a
    // while: the adapter stays full until the bus acknowledges again, and each
    // further try would only hold the stream and the GUI for the write time-out.
    const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    bool sent = false;
    if (now >= refuse_sends_until_ns_) {
        std::lock_guard<std::mutex> usb_lock(usb_mutex_);
        if (!opened_) return -1;
        sent = candle_send_frame(adapter_.get(), kChannel, &host_frame);
        if (!sent)
            refuse_sends_until_ns_ = std::chrono::steady_clock::now().time_since_epoch().count() +
                                     std::chrono::nanoseconds(kRefuseAfterFailedWrite).count();
    } else if (!is_open()) {
        return -1;
    }
    if (sent) return 1;
    uint64_t held_back = 0;
    if (unacknowledged_log_.allow(held_back))
        hv::log_warn("CAN adapter does not take frames: nothing on the bus acknowledges them "
                     "(is the motor powered and connected?); ", held_back + 1, " frame(s) dropped");
    return -1;
}

void CandleCan::report_error_frame(const candle_host_frame& frame) {
    const uint32_t cls = frame.can_id & 0x1FFFFFFFu;
    uint64_t held_back = 0;
    const char* state = (cls & kErrorControllerState) ? controller_state(frame.data[1]) : nullptr;
    if (cls & kErrorBusOff) state = "bus-off";
    if (cls & kErrorRestarted) state = "restarted";
    if (state != nullptr) {
        // Each change once; a state flapping faster than the limiter is not repeated.
        if (state != last_bus_state_ && bus_state_log_.allow(held_back)) {
            last_bus_state_ = state;
            hv::log_warn("CAN bus state: ", state, " (TX errors ", unsigned{frame.data[6]}, ", RX errors ",
                         unsigned{frame.data[7]}, ")");
        }
        return;
    }
    if (error_frame_log_.allow(held_back))
        hv::log_warn("CAN error frame 0x", std::hex, cls, std::dec,
                     (cls & kErrorNoAck) ? ": no acknowledgement on the bus" : "", "; ", held_back,
                     " more since the last report");
}

int CandleCan::receive(CanFrame& frame) {
    std::lock_guard<std::mutex> read_lock(read_mutex_);
    AdapterRecord adapter;
    {
        std::lock_guard<std::mutex> lock(device_mutex_);
        if (!opened_) return 0;
        adapter = adapter_;
    }
    candle_host_frame host_frame{};
    const bool read = candle_read_frame(adapter.get(), &host_frame, kReadTimeoutMs);
    const int pending = candle_pending_reads(adapter.get());
    if (pending < kCandlePendingReads) {
        uint64_t held_back = 0;
        if (pending == 0) {
            // Nothing queued and nothing to queue with: the adapter is gone or broken.
            std::lock_guard<std::mutex> usb_lock(usb_mutex_);
            if (opened_ && adapter_ == adapter) {
                hv::log_error("CAN adapter takes no reads any more (error ",
                              candle_device_last_error(adapter.get()), "); the link is closed");
                close_adapter_locked();
            }
            return 0;
        }
        if (lost_read_log_.allow(held_back))
            hv::log_warn("CAN adapter: ", kCandlePendingReads - pending,
                         " read(s) could not be queued again; retrying");
    }
    if (!read) return 0;
    if (candle_frame_kind(&host_frame) == kCandleFrameError) {
        report_error_frame(host_frame);
        return 0;
    }
    frame.set_id(host_frame.can_id);
    frame.set_dlc(host_frame.can_dlc);
    frame.set_data(host_frame.data);
    return 1;
}
