#pragma once
// Host side of the gs_usb protocol (candleLight-type USB-CAN adapters): free
// functions over plain records. Finds adapters by their device-interface class,
// opens them through WinUSB-style calls (src/platform), configures a channel
// with vendor control requests and exchanges 24-byte host frames over two bulk
// pipes, keeping 30 reads pending on the IN pipe. Every operation returns
// success and leaves an error code in the device record or the list; nothing
// is printed, nothing is thrown, no locks are taken (the caller serialises).
#include <cstdint>

#include "win_types.h"

constexpr uint8_t kCandleMaxDevices = 32;
constexpr int kCandlePendingReads = 30;
constexpr uint32_t kCandleReadSize = 128;
constexpr int kCandlePathLength = 256;  // characters, NUL included

// Error codes left in candle_device::last_error and candle_list::last_error.
enum candle_error_code : uint32_t {
    kCandleErrNone = 0,
    kCandleErrDeviceFile = 1,        // device file not opened
    kCandleErrWinUsbInit = 2,        // WinUSB initialisation failed
    kCandleErrInterfaceQuery = 3,    // interface descriptor query failed
    kCandleErrPipeQuery = 4,         // pipe query failed
    kCandleErrEndpoints = 5,         // not exactly one bulk IN and one bulk OUT endpoint
    kCandleErrHostFormat = 6,        // host format request failed
    kCandleErrDeviceConfig = 7,      // device config request failed
    kCandleErrTimingLimits = 8,      // timing limits request failed
    kCandleErrArmRead = 9,           // a read not left pending
    kCandleErrMode = 10,             // mode request failed
    kCandleErrBitTiming = 11,        // bit timing request failed
    kCandleErrClock = 12,            // no exact timing for the bitrate on this CAN clock
    kCandleErrBitrate = 13,          // bitrate not in the table
    kCandleErrWrite = 14,            // bulk write failed
    kCandleErrReadTimeout = 15,      // read timed out
    kCandleErrReadWait = 16,         // waiting for a read failed
    kCandleErrReadResult = 17,       // result of a completed read not fetched
    kCandleErrReadShort = 18,        // transfer shorter than 20 bytes
    kCandleErrDetailSize = 19,       // size query of the interface detail failed
    kCandleErrDetail = 20,           // interface detail query failed
    kCandleErrNoMemory = 21,         // out of memory
    kCandleErrPathLength = 22,       // device path too long
    kCandleErrGuid = 23,             // interface GUID text not parsed
    kCandleErrDeviceSet = 24,        // device information set not built
    kCandleErrEnumeration = 25,      // interface enumeration failed
    kCandleErrUnused = 26,
    kCandleErrIndex = 27,            // device index 32 or more
    kCandleErrTimestamp = 28,        // timestamp request failed
    kCandleErrPipePolicy = 29,       // pipe policy not set
};

// candle_device::state
enum candle_device_state_code : uint32_t {
    kCandleDeviceAvailable = 0,  // a test open succeeded during the scan
    kCandleDeviceInUse = 1,      // in use or not openable
};

// candle_frame_kind results
enum candle_frame_kind_code : uint8_t {
    kCandleFrameReceived = 1,
    kCandleFrameEcho = 2,   // echo of a frame this host sent
    kCandleFrameError = 3,  // bus error report
};

// Wire records, little-endian on the USB.
struct candle_host_frame {
    uint32_t echo_id;       // 0xFFFFFFFF on frames from the bus; the sent value (0) on echoes
    uint32_t can_id;        // bits 28-0 id, 29 error frame, 30 remote request, 31 extended
    uint8_t can_dlc;
    uint8_t channel;
    uint8_t flags;
    uint8_t reserved;
    uint8_t data[8];
    uint32_t timestamp_us;  // missing (0) in a 20-byte transfer
};
static_assert(sizeof(candle_host_frame) == 24, "host frame is 24 bytes");

struct candle_bit_timing {
    uint32_t prop_seg;
    uint32_t phase_seg1;
    uint32_t phase_seg2;
    uint32_t sjw;
    uint32_t brp;
};
static_assert(sizeof(candle_bit_timing) == 20, "bit timing is 20 bytes");

struct candle_device_config {
    uint8_t reserved1;
    uint8_t reserved2;
    uint8_t reserved3;
    uint8_t icount;  // channels - 1
    uint32_t sw_version;
    uint32_t hw_version;
};
static_assert(sizeof(candle_device_config) == 12, "device config is 12 bytes");

struct candle_timing_limits {
    uint32_t feature;
    uint32_t fclk_can;
    uint32_t tseg1_min;
    uint32_t tseg1_max;
    uint32_t tseg2_min;
    uint32_t tseg2_max;
    uint32_t sjw_max;
    uint32_t brp_min;
    uint32_t brp_max;
    uint32_t brp_inc;
};
static_assert(sizeof(candle_timing_limits) == 40, "timing limits are 40 bytes");

struct candle_read_slot {
    hv::win::OVERLAPPED overlapped;
    uint8_t buffer[kCandleReadSize];
    uint64_t armed_at;  // order in which the slot was queued; reads complete in that order
};

// One adapter. Records live in a candle_list; candle_get_device hands out copies.
struct candle_device {
    hv::win::WCHAR path[kCandlePathLength];
    uint32_t state;
    uint32_t last_error;
    hv::win::HANDLE file;
    hv::win::WINUSB_INTERFACE_HANDLE winusb;
    uint8_t interface_number;
    uint8_t in_pipe;
    uint8_t out_pipe;
    candle_device_config config;
    candle_timing_limits limits;
    candle_read_slot reads[kCandlePendingReads];
    hv::win::HANDLE events[kCandlePendingReads];
    uint64_t arm_count;
    uint32_t unarmed;  // bit i: slot i could not be queued; tried again at each read
    uint32_t probe_error;  // system error of the scan's failed test open; 0 when it opened
};

struct candle_list {
    uint8_t count;
    uint32_t last_error;
    candle_device devices[kCandleMaxDevices];
};

// List operations (errors go to the list).
bool candle_scan_devices(candle_list** list);
bool candle_device_list_length(candle_list* list, uint8_t* count);
bool candle_get_device(candle_list* list, uint8_t index, candle_device** device);
bool candle_free_device_list(candle_list* list);

// Device operations (errors go to the record).
bool candle_device_state(candle_device* device, uint32_t* state);
const hv::win::WCHAR* candle_device_path(candle_device* device);
uint32_t candle_device_last_error(candle_device* device);
// Releases a copy; an open copy is closed first.
bool candle_free_device(candle_device* device);
bool candle_open_device(candle_device* device);
bool candle_close_device(candle_device* device);
bool candle_device_timestamp(candle_device* device, uint32_t* timestamp_us);
bool candle_channel_count(candle_device* device, uint8_t* count);
bool candle_channel_capabilities(candle_device* device, uint8_t channel,
                                 candle_timing_limits* limits);
bool candle_set_channel_timing(candle_device* device, uint8_t channel,
                               const candle_bit_timing* timing);
// 48 MHz: the fixed table below. Any other clock: a timing derived from the
// limits read at open, sample point as near 87.5 % as the limits allow; error 12
// when no timing gives the bitrate exactly.
bool candle_set_bitrate(candle_device* device, uint8_t channel, uint32_t bitrate);
// The timing candle_set_bitrate sends; false when there is none.
bool candle_timing_for_bitrate(const candle_timing_limits* limits, uint32_t bitrate,
                               candle_bit_timing* timing);
// Reads queued on the IN pipe now.
int candle_pending_reads(const candle_device* device);
bool candle_start_channel(candle_device* device, uint8_t channel, uint32_t flags);
bool candle_stop_channel(candle_device* device, uint8_t channel);
bool candle_send_frame(candle_device* device, uint8_t channel, candle_host_frame* frame);
bool candle_read_frame(candle_device* device, candle_host_frame* frame, uint32_t timeout_ms);

// Steps of opening, also used by the scan's test open.
bool candle_open_interface(candle_device* device);
bool candle_arm_read(candle_device* device, int slot);
bool candle_request_host_format(candle_device* device);
bool candle_request_bit_timing(candle_device* device, uint8_t channel,
                               const candle_bit_timing* timing);
bool candle_request_mode(candle_device* device, uint8_t channel, uint32_t mode, uint32_t flags);
bool candle_request_timing_limits(candle_device* device, uint8_t channel,
                                  candle_timing_limits* limits);
bool candle_request_device_config(candle_device* device);
bool candle_request_timestamp(candle_device* device, uint32_t* timestamp_us);

// Frame accessors.
uint8_t candle_frame_kind(const candle_host_frame* frame);
uint32_t candle_frame_id(const candle_host_frame* frame);
bool candle_frame_is_extended(const candle_host_frame* frame);
bool candle_frame_is_rtr(const candle_host_frame* frame);
uint8_t candle_frame_dlc(const candle_host_frame* frame);
uint8_t* candle_frame_data(candle_host_frame* frame);
uint32_t candle_frame_timestamp(const candle_host_frame* frame);
