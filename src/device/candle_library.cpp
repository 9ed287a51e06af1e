#include "candle_library.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "setup_api.h"
#include "usb_backend.h"
#include "win_api.h"
#include "win_usb.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the records are copied to and from the USB as they lie in memory");

using namespace hv::win;

namespace {

constexpr const WCHAR* kInterfaceGuidText = u"{c15b4308-04d3-11e6-b3ea-6057189e6443}";

constexpr uint8_t kToDevice = 0x41;    // host to device, vendor, interface
constexpr uint8_t kFromDevice = 0xC1;  // device to host, vendor, interface

enum Request : uint8_t {
    kRequestHostFormat = 0,
    kRequestBitTiming = 1,
    kRequestMode = 2,
    kRequestTimingLimits = 4,
    kRequestDeviceConfig = 5,
    kRequestTimestamp = 6,
};

constexpr uint32_t kModeReset = 0;
constexpr uint32_t kModeStart = 1;
constexpr uint32_t kFlagHardwareTimestamp = 0x10;
constexpr uint32_t kHostFormat = 0x0000BEEF;
constexpr uint32_t kEchoFromBus = 0xFFFFFFFFu;
constexpr uint32_t kMinTransfer = 20;
constexpr uint32_t kRequiredClock = 48000000;

struct ModePayload {
    uint32_t mode;
    uint32_t flags;
};

// A read and a send may run at once on one record (the link serialises only
// sends, opens and closes), and both leave their code here: store it atomically.
void set_error(candle_device* device, uint32_t code) {
    __atomic_store_n(&device->last_error, code, __ATOMIC_RELAXED);
}

bool fail(candle_device* device, uint32_t code) {
    set_error(device, code);
    return false;
}

bool succeed(candle_device* device) {
    set_error(device, kCandleErrNone);
    return true;
}

// One synchronous vendor request; the whole length must move. Replies land in
// `data` only when complete.
bool control(candle_device* device, uint8_t request_type, uint8_t request, uint16_t value,
             uint16_t index, void* data, uint16_t length) {
    if (device->winusb == nullptr) return false;
    uint8_t buffer[64] = {};
    if (length > sizeof(buffer)) return false;
    if (request_type == kToDevice) std::memcpy(buffer, data, length);
    WINUSB_SETUP_PACKET setup{request_type, request, value, index, length};
    uint32_t transferred = 0;
    if (!WinUsb_ControlTransfer(device->winusb, setup, buffer, length, &transferred, nullptr))
        return false;
    if (transferred != length) return false;
    if (request_type == kFromDevice) std::memcpy(data, buffer, length);
    return true;
}

// Releases WinUSB and the file of a failed open.
bool fail_open(candle_device* device, uint32_t code) {
    if (device->winusb != nullptr) WinUsb_Free(device->winusb);
    if (device->file != nullptr) CloseHandle(device->file);
    device->winusb = nullptr;
    device->file = nullptr;
    return fail(device, code);
}

const WCHAR* detail_path(const SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail) {
    return reinterpret_cast<const WCHAR*>(reinterpret_cast<const unsigned char*>(detail) +
                                          offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath));
}

bool is_signalled(HANDLE event) { return WaitForMultipleObjects(1, &event, false, 0) == WAIT_OBJECT_0; }

}  // namespace

// ---- list operations --------------------------------------------------------

bool candle_scan_devices(candle_list** out) {
    if (out == nullptr) return false;
    auto* list = static_cast<candle_list*>(LocalAlloc(LPTR, sizeof(candle_list)));
    *out = list;
    if (list == nullptr) return false;

    GUID guid{};
    if (CLSIDFromString(kInterfaceGuidText, &guid) != S_OK) {
        list->last_error = kCandleErrGuid;
        return false;
    }
    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        list->last_error = kCandleErrDeviceSet;
        return false;
    }
    auto end_scan = [&](bool result) {
        SetupDiDestroyDeviceInfoList(set);
        return result;
    };
    auto record_error = [&](candle_device* device, uint32_t code) {
        set_error(device, code);
        list->last_error = code;
        return end_scan(false);
    };

    for (uint32_t i = 0; i < kCandleMaxDevices; ++i) {
        candle_device* device = &list->devices[i];
        device->state = kCandleDeviceInUse;

        SP_DEVICE_INTERFACE_DATA interface_data{};
        interface_data.cbSize = sizeof(interface_data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &interface_data)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) {
                list->count = static_cast<uint8_t>(i);
                list->last_error = kCandleErrNone;
                return end_scan(true);
            }
            list->last_error = kCandleErrEnumeration;
            return end_scan(false);
        }

        uint32_t needed = 0;
        if (SetupDiGetDeviceInterfaceDetailW(set, &interface_data, nullptr, 0, &needed, nullptr) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return record_error(device, kCandleErrDetailSize);

        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(LocalAlloc(LPTR, needed));
        if (detail == nullptr) return record_error(device, kCandleErrNoMemory);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &interface_data, detail, needed, nullptr, nullptr)) {
            LocalFree(detail);
            return record_error(device, kCandleErrDetail);
        }

        const WCHAR* path = detail_path(detail);
        const std::size_t room =
            (needed - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
        std::size_t length = 0;
        while (length < room && path[length] != 0) ++length;
        if (length > kCandlePathLength - 1) {
            LocalFree(detail);
            return record_error(device, kCandleErrPathLength);
        }
        std::memcpy(device->path, path, length * sizeof(WCHAR));
        device->path[length] = 0;
        LocalFree(detail);

        // Only a look: an adapter its kernel driver holds stays with the kernel
        // and is listed, to be taken when it is opened.
        hv::usb::ProbeScope probe;
        if (candle_open_interface(device)) {
            device->state = kCandleDeviceAvailable;
            candle_close_device(device);
        } else {
            device->probe_error = GetLastError();
            device->state = (device->last_error == kCandleErrDeviceFile &&
                             device->probe_error == ERROR_SHARING_VIOLATION)
                                ? kCandleDeviceAvailable
                                : kCandleDeviceInUse;
        }
        set_error(device, kCandleErrNone);
    }
    // More interfaces than records: the scan gives up.
    return end_scan(false);
}

bool candle_device_list_length(candle_list* list, uint8_t* count) {
    if (list == nullptr || count == nullptr) return false;
    *count = list->count;
    return true;
}

bool candle_get_device(candle_list* list, uint8_t index, candle_device** out) {
    if (list == nullptr || out == nullptr) return false;
    if (index >= kCandleMaxDevices) {
        list->last_error = kCandleErrIndex;
        return false;
    }
    auto* copy = static_cast<candle_device*>(LocalAlloc(LPTR, sizeof(candle_device)));
    if (copy == nullptr) {
        list->last_error = kCandleErrNoMemory;
        return false;
    }
    std::memcpy(copy, &list->devices[index], sizeof(candle_device));
    set_error(copy, kCandleErrNone);
    list->last_error = kCandleErrNone;
    *out = copy;
    return true;
}

bool candle_free_device_list(candle_list* list) {
    LocalFree(list);
    return true;
}

// ---- device operations ------------------------------------------------------

bool candle_device_state(candle_device* device, uint32_t* state) {
    if (device == nullptr || state == nullptr) return false;
    *state = device->state;
    return true;
}

const WCHAR* candle_device_path(candle_device* device) {
    return device == nullptr ? nullptr : device->path;
}

uint32_t candle_device_last_error(candle_device* device) {
    return device == nullptr ? kCandleErrNone : __atomic_load_n(&device->last_error, __ATOMIC_RELAXED);
}

bool candle_free_device(candle_device* device) {
    if (device == nullptr) return true;
    // A copy freed while open would leave reads pending into freed memory.
    if (device->file != nullptr || device->winusb != nullptr) candle_close_device(device);
    LocalFree(device);
    return true;
}

bool candle_open_interface(candle_device* device) {
    if (device == nullptr) return false;
    std::memset(device->reads, 0, sizeof(device->reads));
    std::memset(device->events, 0, sizeof(device->events));
    device->arm_count = 0;
    device->unarmed = 0;

    device->file = CreateFileW(device->path, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device->file == INVALID_HANDLE_VALUE) {
        device->file = nullptr;
        return fail(device, kCandleErrDeviceFile);
    }
    if (!WinUsb_Initialize(device->file, &device->winusb)) {
        device->winusb = nullptr;
        return fail_open(device, kCandleErrWinUsbInit);
    }

    USB_INTERFACE_DESCRIPTOR descriptor{};
    if (!WinUsb_QueryInterfaceSettings(device->winusb, 0, &descriptor))
        return fail_open(device, kCandleErrInterfaceQuery);
    device->interface_number = descriptor.bInterfaceNumber;
    if (descriptor.bNumEndpoints == 0) return fail_open(device, kCandleErrEndpoints);

    int in_count = 0;
    int out_count = 0;
    for (uint8_t i = 0; i < descriptor.bNumEndpoints; ++i) {
        WINUSB_PIPE_INFORMATION pipe{};
        if (!WinUsb_QueryPipe(device->winusb, 0, i, &pipe)) return fail_open(device, kCandleErrPipeQuery);
        if (pipe.PipeType != UsbdPipeTypeBulk) return fail_open(device, kCandleErrEndpoints);
        if (pipe.PipeId & 0x80) {
            device->in_pipe = pipe.PipeId;
            ++in_count;
        } else {
            device->out_pipe = pipe.PipeId;
            ++out_count;
        }
    }
    // Two endpoints in the same direction would leave a pipe unknown.
    if (descriptor.bNumEndpoints != 2 || in_count != 1 || out_count != 1)
        return fail_open(device, kCandleErrEndpoints);

    uint8_t raw_io = 1;
    if (!WinUsb_SetPipePolicy(device->winusb, device->in_pipe, RAW_IO, sizeof(raw_io), &raw_io))
        return fail_open(device, kCandleErrPipePolicy);

    if (!candle_request_host_format(device)) return fail_open(device, kCandleErrHostFormat);
    if (!candle_request_device_config(device)) return fail_open(device, kCandleErrDeviceConfig);
    if (!candle_request_timing_limits(device, 0, &device->limits))
        return fail_open(device, kCandleErrTimingLimits);
    return succeed(device);
}

bool candle_arm_read(candle_device* device, int slot) {
    if (device == nullptr || slot < 0 || slot >= kCandlePendingReads) return false;
    candle_read_slot& read = device->reads[slot];
    read.armed_at = device->arm_count++;
    if (!WinUsb_ReadPipe(device->winusb, device->in_pipe, read.buffer, kCandleReadSize, nullptr,
                         &read.overlapped) &&
        GetLastError() == ERROR_IO_PENDING) {
        device->unarmed &= ~(1u << slot);
        return succeed(device);
    }
    device->unarmed |= 1u << slot;
    // A slot that could not be queued must not look complete: its event would
    // hand out the previous frame again.
    if (read.overlapped.hEvent != nullptr) ResetEvent(read.overlapped.hEvent);
    return fail(device, kCandleErrArmRead);
}

bool candle_open_device(candle_device* device) {
    if (!candle_open_interface(device)) return false;
    for (int i = 0; i < kCandlePendingReads; ++i) {
        HANDLE event = CreateEventW(nullptr, true, false, nullptr);
        if (event != nullptr) {
            device->events[i] = event;
            device->reads[i].overlapped.hEvent = event;
        }
        if (event == nullptr || !candle_arm_read(device, i)) {
            candle_close_device(device);
            return fail(device, kCandleErrArmRead);
        }
    }
    return succeed(device);
}

bool candle_close_device(candle_device* device) {
    if (device == nullptr) return false;
    for (HANDLE& event : device->events) {
        if (event != nullptr) CloseHandle(event);
        event = nullptr;
    }
    for (candle_read_slot& read : device->reads) read.overlapped.hEvent = nullptr;
    // Freeing WinUSB ends the pending reads before the buffers can go away.
    if (device->winusb != nullptr) WinUsb_Free(device->winusb);
    if (device->file != nullptr) CloseHandle(device->file);
    device->winusb = nullptr;
    device->file = nullptr;
    return succeed(device);
}

bool candle_device_timestamp(candle_device* device, uint32_t* timestamp_us) {
    return candle_request_timestamp(device, timestamp_us);
}

bool candle_channel_count(candle_device* device, uint8_t* count) {
    if (device == nullptr || count == nullptr) return false;
    *count = static_cast<uint8_t>(device->config.icount + 1);
    return true;
}

bool candle_channel_capabilities(candle_device* device, uint8_t channel,
                                 candle_timing_limits* limits) {
    (void)channel;  // the limits of channel 0, read at open
    if (device == nullptr || limits == nullptr) return false;
    *limits = device->limits;
    return true;
}

bool candle_set_channel_timing(candle_device* device, uint8_t channel,
                               const candle_bit_timing* timing) {
    return candle_request_bit_timing(device, channel, timing);
}

bool candle_timing_for_bitrate(const candle_timing_limits* limits, uint32_t bitrate,
                               candle_bit_timing* timing) {
    if (limits == nullptr || timing == nullptr || bitrate == 0) return false;
    if (limits->fclk_can == kRequiredClock) {
        struct Entry {
            uint32_t bitrate;
            uint32_t brp;
        };
        static const Entry table[] = {
            {10000, 300}, {20000, 150}, {50000, 60},  {83333, 36}, {100000, 30},
            {125000, 24}, {250000, 12}, {500000, 6},  {800000, 4}, {1000000, 3},
        };
        // 16 quanta per bit, sampled at 14; 800 kbit/s needs 15 quanta.
        for (const Entry& entry : table) {
            if (entry.bitrate != bitrate) continue;
            *timing = {1, bitrate == 800000 ? 11u : 12u, 2, 1, entry.brp};
            return true;
        }
        return false;
    }
    // Another clock: every prescaler that divides it into a whole number of
    // quanta per bit; the sample point nearest 87.5 %, then the most quanta.
    const uint32_t step = limits->brp_inc == 0 ? 1 : limits->brp_inc;
    const uint32_t tseg1_min = limits->tseg1_min < 2 ? 2 : limits->tseg1_min;  // prop_seg 1 + phase_seg1
    bool found = false;
    double best_error = 1.0;
    // No prescaler above fclk / bitrate leaves a quantum per bit: that bounds the search
    // whatever limits the adapter reports.
    const uint64_t brp_max = std::min<uint64_t>(limits->brp_max, limits->fclk_can / bitrate);
    for (uint64_t brp = limits->brp_min == 0 ? step : limits->brp_min; brp <= brp_max; brp += step) {
        const uint64_t per_bit = uint64_t{bitrate} * brp;
        if (limits->fclk_can % per_bit != 0) continue;
        const uint64_t quanta = limits->fclk_can / per_bit;
        for (uint64_t tseg2 = limits->tseg2_min; tseg2 <= limits->tseg2_max; ++tseg2) {
            if (quanta < 1 + tseg2 + tseg1_min) break;
            const uint64_t tseg1 = quanta - 1 - tseg2;
            if (tseg1 > limits->tseg1_max) continue;
            const double sample = static_cast<double>(1 + tseg1) / static_cast<double>(quanta);
            const double error = sample > 0.875 ? sample - 0.875 : 0.875 - sample;
            if (error < best_error - 1e-9) {
                best_error = error;
                *timing = {1, static_cast<uint32_t>(tseg1 - 1), static_cast<uint32_t>(tseg2), 1,
                           static_cast<uint32_t>(brp)};
                found = true;
            }
        }
    }
    return found;
}

bool candle_set_bitrate(candle_device* device, uint8_t channel, uint32_t bitrate) {
    if (device == nullptr) return false;
    candle_bit_timing timing{};
    if (!candle_timing_for_bitrate(&device->limits, bitrate, &timing))
        return fail(device, device->limits.fclk_can == kRequiredClock ? kCandleErrBitrate : kCandleErrClock);
    return candle_set_channel_timing(device, channel, &timing);
}

int candle_pending_reads(const candle_device* device) {
    if (device == nullptr || device->winusb == nullptr) return 0;
    int pending = 0;
    for (int i = 0; i < kCandlePendingReads; ++i)
        if (device->events[i] != nullptr && !(device->unarmed & (1u << i))) ++pending;
    return pending;
}

bool candle_start_channel(candle_device* device, uint8_t channel, uint32_t flags) {
    return candle_request_mode(device, channel, kModeStart, flags | kFlagHardwareTimestamp);
}

bool candle_stop_channel(candle_device* device, uint8_t channel) {
    return candle_request_mode(device, channel, kModeReset, 0);
}

bool candle_send_frame(candle_device* device, uint8_t channel, candle_host_frame* frame) {
    if (device == nullptr || frame == nullptr) return false;
    frame->echo_id = 0;
    frame->channel = channel;
    uint32_t written = 0;
    if (device->winusb == nullptr) return fail(device, kCandleErrWrite);
    WinUsb_WritePipe(device->winusb, device->out_pipe, reinterpret_cast<uint8_t*>(frame), sizeof(candle_host_frame),
                     &written, nullptr);
    // A frame the adapter took whole is sent, even when the write's completion came
    // after its time-out (a busy host): written again, it would go on the bus twice.
    if (written != sizeof(candle_host_frame)) return fail(device, kCandleErrWrite);
    return succeed(device);
}

bool candle_read_frame(candle_device* device, candle_host_frame* frame, uint32_t timeout_ms) {
    if (device == nullptr || frame == nullptr) return false;
    // Slots that could not be queued again after their last read get another try
    // each time, so a passing failure never leaves the adapter unheard.
    for (int i = 0; device->unarmed != 0 && i < kCandlePendingReads; ++i)
        if ((device->unarmed & (1u << i)) && device->events[i] != nullptr) candle_arm_read(device, i);
    if (candle_pending_reads(device) == 0) return fail(device, kCandleErrArmRead);
    const uint32_t result =
        WaitForMultipleObjects(kCandlePendingReads, device->events, false, timeout_ms);
    if (result == WAIT_TIMEOUT) return fail(device, kCandleErrReadTimeout);
    if (result >= static_cast<uint32_t>(kCandlePendingReads)) return fail(device, kCandleErrReadWait);

    // Reads complete in the order they were queued. The wait names the lowest
    // signalled slot, which after re-queueing may hold a later frame than
    // another signalled slot; take the earliest queued one so frames keep their order.
    int slot = static_cast<int>(result);
    for (int i = 0; i < kCandlePendingReads; ++i) {
        if (i != slot && device->reads[i].armed_at < device->reads[slot].armed_at &&
            device->events[i] != nullptr && is_signalled(device->events[i]))
            slot = i;
    }

    candle_read_slot& read = device->reads[slot];
    uint32_t transferred = 0;
    if (!WinUsb_GetOverlappedResult(device->winusb, &read.overlapped, &transferred, false)) {
        candle_arm_read(device, slot);
        return fail(device, kCandleErrReadResult);
    }
    if (transferred < kMinTransfer) {
        candle_arm_read(device, slot);
        return fail(device, kCandleErrReadShort);
    }
    const uint32_t copied = transferred < sizeof(candle_host_frame) ? transferred : sizeof(candle_host_frame);
    std::memcpy(frame, read.buffer, copied);
    if (copied < sizeof(candle_host_frame)) frame->timestamp_us = 0;
    // The frame is the caller's even when the slot cannot be queued again (the
    // adapter went away); the lost slot shows as error 9 in the record.
    candle_arm_read(device, slot);
    return true;
}

// ---- control requests -------------------------------------------------------

bool candle_request_host_format(candle_device* device) {
    if (device == nullptr) return false;
    uint32_t format = kHostFormat;
    if (!control(device, kToDevice, kRequestHostFormat, 1, device->interface_number, &format, sizeof(format)))
        return fail(device, kCandleErrHostFormat);
    return succeed(device);
}

bool candle_request_bit_timing(candle_device* device, uint8_t channel,
                               const candle_bit_timing* timing) {
    if (device == nullptr || timing == nullptr) return false;
    candle_bit_timing payload = *timing;
    if (!control(device, kToDevice, kRequestBitTiming, channel, 0, &payload, sizeof(payload)))
        return fail(device, kCandleErrBitTiming);
    return succeed(device);
}

bool candle_request_mode(candle_device* device, uint8_t channel, uint32_t mode, uint32_t flags) {
    if (device == nullptr) return false;
    ModePayload payload{mode, flags};
    if (!control(device, kToDevice, kRequestMode, channel, device->interface_number, &payload, sizeof(payload)))
        return fail(device, kCandleErrMode);
    return succeed(device);
}

bool candle_request_timing_limits(candle_device* device, uint8_t channel,
                                  candle_timing_limits* limits) {
    if (device == nullptr || limits == nullptr) return false;
    if (!control(device, kFromDevice, kRequestTimingLimits, channel, 0, limits, sizeof(*limits)))
        return fail(device, kCandleErrTimingLimits);
    return succeed(device);
}

bool candle_request_device_config(candle_device* device) {
    if (device == nullptr) return false;
    if (!control(device, kFromDevice, kRequestDeviceConfig, 1, device->interface_number,
                 &device->config, sizeof(device->config)))
        return fail(device, kCandleErrDeviceConfig);
    return succeed(device);
}

bool candle_request_timestamp(candle_device* device, uint32_t* timestamp_us) {
    if (device == nullptr || timestamp_us == nullptr) return false;
    // wValue is the channel: current firmware stalls a channel it does not have.
    if (!control(device, kFromDevice, kRequestTimestamp, 0, device->interface_number, timestamp_us,
                 sizeof(*timestamp_us)))
        return fail(device, kCandleErrTimestamp);
    return succeed(device);
}

// ---- frame accessors --------------------------------------------------------

uint8_t candle_frame_kind(const candle_host_frame* frame) {
    if (frame->echo_id != kEchoFromBus) return kCandleFrameEcho;
    if (frame->can_id & 0x20000000u) return kCandleFrameError;
    return kCandleFrameReceived;
}

uint32_t candle_frame_id(const candle_host_frame* frame) { return frame->can_id & 0x1FFFFFFFu; }
bool candle_frame_is_extended(const candle_host_frame* frame) { return (frame->can_id & 0x80000000u) != 0; }
bool candle_frame_is_rtr(const candle_host_frame* frame) { return (frame->can_id & 0x40000000u) != 0; }
uint8_t candle_frame_dlc(const candle_host_frame* frame) { return frame->can_dlc; }
uint8_t* candle_frame_data(candle_host_frame* frame) { return frame->data; }
uint32_t candle_frame_timestamp(const candle_host_frame* frame) { return frame->timestamp_us; }
