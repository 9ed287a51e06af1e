#include "candle_can.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ios>

#include "console_log.h"
#include "usb_backend.h"
#include "win_api.h"

namespace {

constexpr uint32_t kStartFlags = 0;

// Error-class bits of an error frame's identifier and the controller states of data[1].
constexpr uint32_t kErrorControllerState = 0x04;
constexpr uint32_t kErrorNoAck = 0x20;
constexpr uint32_t kErrorBusOff = 0x40;
constexpr uint32_t kErrorRestarted = 0x100;

constexpr uint8_t kFlagOverflow = 0x01;  // host frame flags: frames were lost before this one

using Clock = std::chrono::steady_clock;

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

void CandleCan::set_bus_silent_handler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(handler_mutex_);
    silent_handler_ = std::move(handler);
}

void CandleCan::set_unusable_handler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(handler_mutex_);
    unusable_handler_ = std::move(handler);
}

void CandleCan::scan_devices(std::vector<std::string>& devices) {
    std::vector<AdapterRecord> available;
    std::vector<AdapterProblem> unusable;
    candle_list* list = nullptr;
    uint8_t count = 0;
    std::unique_lock<std::mutex> scan_lock(scan_mutex_);
    if (candle_scan_devices(&list) && candle_device_list_length(list, &count)) {
        for (uint8_t i = 0; i < count; ++i) {
            candle_device* copy = nullptr;
            if (!candle_get_device(list, i, &copy)) continue;
            AdapterRecord record(copy, candle_free_device);
            uint32_t state = kCandleDeviceInUse;
            if (candle_device_state(copy, &state) && state == kCandleDeviceAvailable) {
                devices.push_back(std::to_string(available.size()));
                available.push_back(std::move(record));
            } else if (AdapterProblem problem = problem_of(copy, copy->probe_error);
                       problem.kind != AdapterProblem::Kind::kNone) {
                report_unusable(copy, problem, "");
                unusable.push_back(std::move(problem));
            }
        }
    }
    candle_free_device_list(list);
    scan_lock.unlock();
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(list_mutex_);
        adapters_.swap(available);
        changed = unusable != unusable_;
        unusable_.swap(unusable);
    }
    if (!changed) return;
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> lock(handler_mutex_);
        handler = unusable_handler_;
    }
    if (handler) handler();
}

std::vector<AdapterProblem> CandleCan::unusable_adapters() {
    std::lock_guard<std::mutex> lock(list_mutex_);
    return unusable_;
}

AdapterProblem CandleCan::open_problem() {
    std::lock_guard<std::mutex> lock(list_mutex_);
    return open_problem_;
}

// A cause of a failed open that the user can mend.
AdapterProblem CandleCan::problem_of(const candle_device* device, uint32_t system_error) {
    if (system_error == hv::win::ERROR_ACCESS_DENIED) return {AdapterProblem::Kind::kNoPermission, ""};
    if (system_error == hv::win::ERROR_BUSY) {
        std::string interface = hv::usb::usb_backend()->kernel_can_interface_up(hv::win::to_utf8(device->path));
        if (!interface.empty()) return {AdapterProblem::Kind::kKernelInterfaceUp, std::move(interface)};
    }
    return {};
}

// Once per adapter from the scan, every time from an open (`name` set).
void CandleCan::report_unusable(const candle_device* device, const AdapterProblem& problem, const std::string& name) {
    const std::string path = hv::win::to_utf8(device->path);
    if (name.empty()) {
        std::lock_guard<std::mutex> lock(list_mutex_);
        if (!reported_unusable_.insert(path).second) return;
    }
    const std::string adapter = name.empty() ? "CAN adapter " + path : "CAN adapter " + name + " not opened";
    if (problem.kind == AdapterProblem::Kind::kKernelInterfaceUp)
        hv::log_error(adapter, ": the kernel's CAN interface ", problem.detail,
                      " uses it (the interface is up); take it down first (ip link set ", problem.detail, " down)");
    else
        hv::log_error(adapter, ": no permission to open it; install the udev rule given in the README, "
                               "then plug the adapter in again");
}

int CandleCan::open_failed(AdapterProblem problem) {
    std::lock_guard<std::mutex> lock(list_mutex_);
    open_problem_ = std::move(problem);
    return 1;
}

int CandleCan::open(const std::string& device_name) {
    // A decimal position: leading blanks and a sign allowed, trailing text ignored.
    const char* text = device_name.c_str();
    char* end = nullptr;
    errno = 0;
    const long long position = std::strtoll(text, &end, 10);
    AdapterRecord record;
    AdapterProblem missing{AdapterProblem::Kind::kGone, ""};
    {
        std::lock_guard<std::mutex> lock(list_mutex_);
        if (end != text && errno == 0 && position >= 0 && static_cast<unsigned long long>(position) < adapters_.size())
            record = adapters_[position];
        // Nothing listed because the adapters present cannot be used: that is why.
        if (adapters_.empty() && !unusable_.empty()) missing = unusable_.front();
    }
    if (!record) {
        hv::log_warn("No CAN adapter \"", device_name, "\" in the list of available adapters");
        return open_failed(missing);
    }

    std::lock_guard<std::mutex> scan_lock(scan_mutex_);
    std::lock_guard<std::mutex> read_lock(read_mutex_);
    std::lock_guard<std::mutex> usb_lock(usb_mutex_);
    if (opened_) {
        // Taking another record now would lose the open one's handles.
        hv::log_warn("CAN adapter already open; close it before opening \"", device_name, "\"");
        return open_failed({AdapterProblem::Kind::kFailed, "another adapter is open"});
    }
    candle_device* device = record.get();
    if (!candle_open_device(device)) {
        const uint32_t error = candle_device_last_error(device);
        const uint32_t system_error = hv::win::GetLastError();
        AdapterProblem problem;
        if (error == kCandleErrDeviceFile) problem = problem_of(device, system_error);
        if (problem.kind != AdapterProblem::Kind::kNone) {
            report_unusable(device, problem, device_name);
            return open_failed(problem);
        }
        // Pulled out since it was listed: the next scan drops it.
        if (error == kCandleErrDeviceFile &&
            (system_error == hv::win::ERROR_FILE_NOT_FOUND || system_error == hv::win::ERROR_DEVICE_NOT_CONNECTED)) {
            hv::log_warn("CAN adapter ", device_name, " not opened: it is gone");
            return open_failed({AdapterProblem::Kind::kGone, ""});
        }
        const std::string why = error == kCandleErrDeviceFile && system_error == hv::win::ERROR_BUSY
                                    ? "another program uses it"
                                    : "error " + std::to_string(error);
        hv::log_error("CAN adapter ", device_name, " not opened: ", why);
        return open_failed({AdapterProblem::Kind::kFailed, why});
    }
    // The adapter takes any timing without complaint and runs the bus at what
    // its clock makes of it, so the timing must fit the clock it reports.
    candle_timing_limits limits{};
    candle_bit_timing timing{};
    if (!candle_channel_capabilities(device, kChannel, &limits) ||
        !candle_timing_for_bitrate(&limits, kBitrate, &timing)) {
        candle_close_device(device);
        const std::string why =
            "its CAN clock of " + std::to_string(limits.fclk_can) + " Hz allows no exact 1 Mbit/s bit timing";
        hv::log_error("CAN adapter ", device_name, " not opened: ", why);
        return open_failed({AdapterProblem::Kind::kFailed, why});
    }
    uint32_t timestamp_us = 0;
    const char* failed = nullptr;
    // A tool that ended with the link open left the channel started, perhaps with
    // its frames still queued: reset it before anything else (strict firmware
    // also refuses a bit timing while the channel runs).
    if (!candle_stop_channel(device, kChannel))
        failed = "channel reset";
    else if (!candle_set_channel_timing(device, kChannel, &timing))
        failed = "bit timing";
    else if (!candle_device_timestamp(device, &timestamp_us))
        failed = "timestamp";
    else if (!candle_start_channel(device, kChannel, kStartFlags))
        failed = "channel start";
    if (failed != nullptr) {
        const uint32_t error = candle_device_last_error(device);
        candle_close_device(device);
        const std::string why = std::string(failed) + " failed (error " + std::to_string(error) + ")";
        hv::log_error("CAN adapter ", device_name, " not opened: ", why);
        return open_failed({AdapterProblem::Kind::kFailed, why});
    }
    timing_ = timing;
    silent_ = false;
    reset_stamped_ = false;
    unplugged_reported_ = false;
    overflow_reports_ = 0;
    {
        std::lock_guard<std::mutex> lock(echo_mutex_);
        unechoed_.clear();
    }
    {
        std::lock_guard<std::mutex> lock(list_mutex_);
        open_problem_ = {};
    }
    std::lock_guard<std::mutex> lock(device_mutex_);
    adapter_ = std::move(record);
    opened_ = true;
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
    if (!stopped && !unplugged_reported_)
        hv::log_warn("CAN adapter did not stop (error ", error, "); it was released");
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

int CandleCan::send(CanFrame& frame) { return send_frame(frame, false); }

int CandleCan::send_while_bus_answers(CanFrame& frame) { return send_frame(frame, true); }

int CandleCan::send_frame(CanFrame& frame, bool while_bus_answers) {
    candle_host_frame host_frame{};
    host_frame.can_id = frame.get_id();
    host_frame.can_dlc = frame.get_dlc();
    host_frame.channel = kChannel;
    std::memcpy(host_frame.data, frame.get_data(), sizeof(host_frame.data));
    // Every frame is tried: on a silent bus a write the adapter does not take resets
    // the channel, after which it takes frames again, so the next one (a DISABLE) gets in.
    bool newly_silent = false;
    int result = -1;
    for (int tries = 1;; ++tries) {
        // Released between tries, so the receive thread can find the bus silent and
        // reset the channel while this write waits for room.
        std::lock_guard<std::mutex> usb_lock(usb_mutex_);
        if (!opened_) return -1;
        // A reset runs under this lock and marks the bus silent before releasing it.
        if (while_bus_answers && silent_) return 0;
        // Found silent while this frame waited: the reset discarded what was queued before it.
        if (tries > 1 && silent_) return -1;
        {
            // Counted before the write: the receive thread may read the echo
            // before this thread gets past the write.
            std::lock_guard<std::mutex> lock(echo_mutex_);
            unechoed_.push_back(empty_read_time_);
        }
        if (candle_send_frame(adapter_.get(), kChannel, &host_frame)) return 1;
        const uint32_t cause = hv::win::GetLastError();
        {
            std::lock_guard<std::mutex> lock(echo_mutex_);
            if (!unechoed_.empty()) unechoed_.pop_back();
        }
        if (cause == hv::win::ERROR_DEVICE_NOT_CONNECTED) report_unplugged();
        if (cause != hv::win::ERROR_SEM_TIMEOUT) return -1;
        if (write_timed_out_locked(newly_silent)) {
            result = while_bus_answers ? 0 : -1;
            break;
        }
        uint64_t held_back = 0;
        const bool last = tries == kWriteTries;
        if ((last || tries == 1) && write_retry_log_.allow(held_back))
            hv::log_warn("CAN adapter did not take a frame in time although the bus answers (host busy?); ",
                         last ? "frame not sent" : "trying again", "; ", held_back, " more since the last report");
        if (last) return -1;
    }
    if (newly_silent) notify_silent();
    return result;
}

bool CandleCan::write_timed_out_locked(bool& newly_silent) {
    if (!silent_ && !echoes_overdue(Clock::duration::zero())) return false;
    // On a bus known silent the adapter is full: the reset empties it.
    newly_silent = reset_silent_channel_locked("the adapter took no more frames");
    return true;
}

bool CandleCan::reset_silent_channel_locked(const char* cause) {
    candle_device* device = adapter_.get();
    // Mode 0 discards every frame the adapter holds, mailboxes included; the
    // timing and a start bring the channel back.
    bool reset = candle_stop_channel(device, kChannel);
    // Stopped, the channel takes nothing from the bus: a frame stamped before this
    // time was carried before the reset.
    reset_stamped_ = reset && candle_device_timestamp(device, &reset_at_us_);
    reset = reset && candle_set_channel_timing(device, kChannel, &timing_) &&
            candle_start_channel(device, kChannel, kStartFlags);
    if (!reset) hv::log_error("CAN channel reset failed (error ", candle_device_last_error(device), ")");
    {
        std::lock_guard<std::mutex> lock(echo_mutex_);
        unechoed_.clear();
    }
    if (silent_.exchange(true)) return false;
    hv::log_warn("CAN bus does not answer (", cause, "): is the motor powered and connected? "
                 "The channel was reset and the frames waiting in the adapter discarded");
    return true;
}

bool CandleCan::reset_unless_silent(const AdapterRecord& adapter, const char* cause) {
    std::lock_guard<std::mutex> usb_lock(usb_mutex_);
    if (!opened_ || adapter_ != adapter || silent_) return false;
    return reset_silent_channel_locked(cause);
}

void CandleCan::notify_silent() {
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> lock(handler_mutex_);
        handler = silent_handler_;
    }
    if (handler) handler();
}

void CandleCan::bus_answers(uint32_t timestamp_us) {
    if (!silent_) return;
    {
        // Under the reset's lock, so a reset made meanwhile is the one compared with.
        std::lock_guard<std::mutex> usb_lock(usb_mutex_);
        if (!silent_) return;
        // A transfer without a timestamp (0) cannot be ordered and counts as an answer.
        if (reset_stamped_ && timestamp_us != 0 && static_cast<int32_t>(timestamp_us - reset_at_us_) < 0) return;
        silent_ = false;
    }
    // Frames queued while the bus was silent go out now; their echoes come from here on.
    {
        std::lock_guard<std::mutex> lock(echo_mutex_);
        for (auto& sent_at : unechoed_) sent_at = empty_read_time_;
    }
    hv::log_info("CAN bus answers again");
}

bool CandleCan::echoes_overdue(Clock::duration empty_wait) {
    std::lock_guard<std::mutex> lock(echo_mutex_);
    empty_read_time_ += empty_wait;
    if (silent_) return false;  // after the reset the adapter echoes 3 frames and holds the rest
    return !unechoed_.empty() && empty_read_time_ - unechoed_.front() > kEchoTimeout;
}

void CandleCan::report_unplugged() {
    if (!unplugged_reported_.exchange(true)) hv::log_error("CAN adapter unplugged");
}

void CandleCan::report_error_frame(const candle_host_frame& frame) {
    const uint32_t cls = frame.can_id & 0x1FFFFFFFu;
    uint64_t held_back = 0;
    const char* state = (cls & kErrorControllerState) ? controller_state(frame.data[1]) : nullptr;
    if (cls & kErrorBusOff) state = "bus-off";
    if (cls & kErrorRestarted) state = "restarted";
    if (state != nullptr) {
        // Changes faster than the limiter merge; the newest one is printed as soon as it may be.
        pending_bus_state_ = state;
        pending_tx_errors_ = frame.data[6];
        pending_rx_errors_ = frame.data[7];
        flush_bus_state();
        return;
    }
    if (error_frame_log_.allow(held_back))
        hv::log_warn("CAN error frame 0x", std::hex, cls, std::dec,
                     (cls & kErrorNoAck) ? ": no acknowledgement on the bus" : "", "; ", held_back,
                     " more since the last report");
}

void CandleCan::flush_bus_state() {
    if (pending_bus_state_ == nullptr) return;
    if (pending_bus_state_ == shown_bus_state_) {
        pending_bus_state_ = nullptr;
        return;
    }
    uint64_t held_back = 0;
    if (!bus_state_log_.allow(held_back)) return;
    shown_bus_state_ = pending_bus_state_;
    pending_bus_state_ = nullptr;
    hv::log_warn("CAN bus state: ", shown_bus_state_, " (TX errors ", unsigned{pending_tx_errors_}, ", RX errors ",
                 unsigned{pending_rx_errors_}, ")");
}

int CandleCan::receive(CanFrame& frame) {
    bool newly_silent = false;
    int result = 0;
    {
        std::lock_guard<std::mutex> read_lock(read_mutex_);
        result = receive_locked(frame, newly_silent);
    }
    // The handler runs with no lock of the link held.
    if (newly_silent) notify_silent();
    return result;
}

int CandleCan::receive_locked(CanFrame& frame, bool& newly_silent) {
    AdapterRecord adapter;
    {
        std::lock_guard<std::mutex> lock(device_mutex_);
        if (!opened_) return 0;
        adapter = adapter_;
    }
    flush_bus_state();
    candle_host_frame host_frame{};
    // A read that times out leaves the thread's last error alone; one left from a
    // pulled adapter would take the next adapter opened on this thread for pulled too.
    hv::win::SetLastError(hv::win::ERROR_SUCCESS);
    const auto read_started = Clock::now();
    const bool read = candle_read_frame(adapter.get(), &host_frame, kReadTimeoutMs);
    // Beyond its time-out a wait only shows that this thread did not run.
    const Clock::duration empty_wait =
        std::min<Clock::duration>(Clock::now() - read_started, std::chrono::milliseconds(kReadTimeoutMs));
    const uint32_t read_error = candle_device_last_error(adapter.get());
    // Also after a read that completed as the adapter was pulled: its frame is
    // returned, but its slot could not be queued again.
    const bool unplugged = hv::win::GetLastError() == hv::win::ERROR_DEVICE_NOT_CONNECTED;
    const int pending = candle_pending_reads(adapter.get());
    if (pending < kCandlePendingReads || unplugged) {
        uint64_t held_back = 0;
        if (pending == 0 || unplugged) {
            // Nothing queued and nothing to queue with: the adapter is gone or broken.
            std::lock_guard<std::mutex> usb_lock(usb_mutex_);
            if (opened_ && adapter_ == adapter) {
                if (unplugged)
                    report_unplugged();
                else
                    hv::log_error("CAN adapter takes no reads any more (error ",
                                  candle_device_last_error(adapter.get()), "); the link is closed");
                close_adapter_locked();
            }
            if (!read) return 0;
        } else if (lost_read_log_.allow(held_back)) {
            hv::log_warn("CAN adapter: ", kCandlePendingReads - pending,
                         " read(s) could not be queued again; retrying");
        }
    }
    if (!read) {
        // Only an empty adapter counts: echoes still waiting to be read are no silence.
        if (read_error == kCandleErrReadTimeout && echoes_overdue(empty_wait))
            newly_silent = reset_unless_silent(adapter, "no echo of sent frames");
        return 0;
    }
    if (host_frame.flags & kFlagOverflow) {
        const uint64_t reports = ++overflow_reports_;
        uint64_t held_back = 0;
        if (overflow_log_.allow(held_back))
            hv::log_warn("CAN adapter lost frames from the bus (the host read too slowly); ", reports,
                         " loss report(s) since the link opened");
    }
    const uint8_t kind = candle_frame_kind(&host_frame);
    if (kind == kCandleFrameError) {
        report_error_frame(host_frame);
        if (host_frame.can_id & kErrorNoAck)
            newly_silent = reset_unless_silent(adapter, "no acknowledgement on the bus");
        return 0;
    }
    if (kind == kCandleFrameEcho) {
        std::lock_guard<std::mutex> lock(echo_mutex_);
        if (!unechoed_.empty()) unechoed_.pop_front();
    } else {
        bus_answers(candle_frame_timestamp(&host_frame));
    }
    frame.set_id(host_frame.can_id);
    frame.set_dlc(host_frame.can_dlc);
    frame.set_data(host_frame.data);
    return 1;
}
