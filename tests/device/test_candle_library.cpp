// The gs_usb host library against emulated adapters, down to the USB transfers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "can_frame_maker.h"
#include "candle_library.h"
#include "emulated_usb_test.h"
#include "wait_until.h"
#include "win_api.h"

using hv::usb::UsbStatus;
using hv::usb::WinCall;
using Adapter = std::shared_ptr<EmulatedGsUsbAdapter>;
using Bytes = std::vector<uint8_t>;

namespace {

struct ListDeleter {
    void operator()(candle_list* list) const { candle_free_device_list(list); }
};
struct DeviceDeleter {
    void operator()(candle_device* device) const { candle_free_device(device); }
};
using ListPtr = std::unique_ptr<candle_list, ListDeleter>;
using DevicePtr = std::unique_ptr<candle_device, DeviceDeleter>;

struct ScanResult {
    bool ok = false;
    ListPtr list;
};

ScanResult scan() {
    candle_list* raw = nullptr;
    ScanResult result;
    result.ok = candle_scan_devices(&raw);
    result.list.reset(raw);
    return result;
}

DevicePtr device_at(candle_list* list, uint8_t index) {
    candle_device* raw = nullptr;
    if (!candle_get_device(list, index, &raw)) return nullptr;
    return DevicePtr(raw);
}

// The first adapter's record, closed.
DevicePtr first_device() {
    ScanResult s = scan();
    if (!s.ok || s.list->count == 0) return nullptr;
    return device_at(s.list.get(), 0);
}

std::string path_of(candle_device* device) { return hv::win::to_utf8(candle_device_path(device)); }

uint32_t u32_at(const Bytes& d, std::size_t at) {
    return uint32_t(d[at]) | uint32_t(d[at + 1]) << 8 | uint32_t(d[at + 2]) << 16 | uint32_t(d[at + 3]) << 24;
}

// The requests of a log without their data: type, request, wValue, wIndex, data length.
std::vector<std::vector<unsigned>> requests_of(const std::vector<EmulatedGsUsbAdapter::Control>& log) {
    std::vector<std::vector<unsigned>> out;
    for (const auto& c : log) out.push_back({c.type, c.request, c.value, c.index, unsigned(c.data.size())});
    return out;
}

void expect_released(candle_device* d) {
    EXPECT_EQ(d->file, nullptr);
    EXPECT_EQ(d->winusb, nullptr);
    for (auto* e : d->events) EXPECT_EQ(e, nullptr);
}

using CandleLibrary = EmulatedUsbTest;

// ---- scan -------------------------------------------------------------------

TEST_F(CandleLibrary, ScanWithoutAdaptersFindsNone) {
    ScanResult s = scan();
    ASSERT_TRUE(s.ok);
    uint8_t count = 99;
    EXPECT_TRUE(candle_device_list_length(s.list.get(), &count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(s.list->last_error, kCandleErrNone);
}

TEST_F(CandleLibrary, ScanListsAnAvailableAdapterAndClosesItsTestOpen) {
    Adapter a = backend_->add_adapter();
    ScanResult s = scan();
    ASSERT_TRUE(s.ok);
    ASSERT_EQ(s.list->count, 1);
    DevicePtr d = device_at(s.list.get(), 0);
    ASSERT_TRUE(d);
    uint32_t state = 99;
    EXPECT_TRUE(candle_device_state(d.get(), &state));
    EXPECT_EQ(state, kCandleDeviceAvailable);
    EXPECT_EQ(path_of(d.get()), a->path);
    EXPECT_EQ(candle_device_last_error(d.get()), kCandleErrNone);
    expect_released(d.get());
    EXPECT_FALSE(a->is_open());
    // The test open set the host format and read the config and the limits.
    std::vector<unsigned> asked;
    for (const auto& c : a->controls()) asked.push_back(c.request);
    EXPECT_EQ(asked, (std::vector<unsigned>{0, 5, 4}));
}

TEST_F(CandleLibrary, AdapterHeldElsewhereIsListedInUse) {
    Adapter busy = backend_->add_adapter();
    Adapter held = backend_->add_adapter();
    busy->set_open_failure(UsbStatus::busy);

    // Held by this process: opened through an earlier scan's copy.
    DevicePtr holder;
    {
        ScanResult s = scan();
        ASSERT_TRUE(s.ok);
        holder = device_at(s.list.get(), 1);
        ASSERT_TRUE(candle_open_device(holder.get()));
    }
    ScanResult s = scan();
    ASSERT_TRUE(s.ok);
    ASSERT_EQ(s.list->count, 2);
    EXPECT_EQ(s.list->devices[0].state, kCandleDeviceInUse);
    EXPECT_EQ(s.list->devices[1].state, kCandleDeviceInUse);
    EXPECT_EQ(s.list->devices[0].last_error, kCandleErrNone);
    EXPECT_TRUE(held->is_open());
    EXPECT_TRUE(candle_close_device(holder.get()));
}

struct ScanFault {
    const char* name;
    WinCall call;
    uint32_t error;
    int skip;  // calls that pass first
    uint32_t list_error;
    bool record_error;  // the code is also left in record 0
};
void PrintTo(const ScanFault& f, std::ostream* os) { *os << f.name; }

class CandleScanFaults : public EmulatedUsbTest, public ::testing::WithParamInterface<ScanFault> {};

TEST_P(CandleScanFaults, EachFailingStepLeavesItsCode) {
    const ScanFault& f = GetParam();
    backend_->add_adapter();
    backend_->fail_call(f.call, f.error, 1, f.skip);
    ScanResult s = scan();
    EXPECT_FALSE(s.ok);
    ASSERT_TRUE(s.list) << "the list is handed out even when the scan fails";
    EXPECT_EQ(s.list->count, 0);
    EXPECT_EQ(s.list->last_error, f.list_error);
    if (f.record_error) {
        EXPECT_EQ(s.list->devices[0].last_error, f.list_error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CandleScanFaults,
    ::testing::Values(
        ScanFault{"guid", WinCall::CLSIDFromString, hv::win::ERROR_GEN_FAILURE, 0, kCandleErrGuid, false},
        ScanFault{"set", WinCall::SetupDiGetClassDevsW, hv::win::ERROR_GEN_FAILURE, 0, kCandleErrDeviceSet, false},
        ScanFault{"enumeration", WinCall::SetupDiEnumDeviceInterfaces, hv::win::ERROR_GEN_FAILURE, 0,
                  kCandleErrEnumeration, false},
        ScanFault{"detail_size", WinCall::SetupDiGetDeviceInterfaceDetailW, hv::win::ERROR_GEN_FAILURE, 0,
                  kCandleErrDetailSize, true},
        ScanFault{"detail", WinCall::SetupDiGetDeviceInterfaceDetailW, hv::win::ERROR_GEN_FAILURE, 1,
                  kCandleErrDetail, true},
        // The first allocation is the list, the second the detail buffer.
        ScanFault{"memory", WinCall::LocalAlloc, hv::win::ERROR_NOT_ENOUGH_MEMORY, 1, kCandleErrNoMemory, true}),
    [](const ::testing::TestParamInfo<ScanFault>& info) { return std::string(info.param.name); });

TEST_F(CandleLibrary, ScanFailsWithoutAList) {
    EXPECT_FALSE(candle_scan_devices(nullptr));
    backend_->fail_call(WinCall::LocalAlloc, hv::win::ERROR_NOT_ENOUGH_MEMORY);
    candle_list* list = reinterpret_cast<candle_list*>(0x1);
    EXPECT_FALSE(candle_scan_devices(&list));
    EXPECT_EQ(list, nullptr);
}

TEST_F(CandleLibrary, OverlongPathEndsTheScan) {
    backend_->add_adapter();
    Adapter too_long = backend_->add_adapter({}, "\\\\?\\usb#" + std::string(248, 'x'));  // 256 characters
    ScanResult s = scan();
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.list->last_error, kCandleErrPathLength);
    EXPECT_EQ(s.list->devices[1].last_error, kCandleErrPathLength);
    EXPECT_EQ(s.list->count, 0);

    // 255 characters still fit.
    too_long->unplug();
    Adapter longest = backend_->add_adapter({}, "\\\\?\\usb#" + std::string(247, 'y'));
    s = scan();
    ASSERT_TRUE(s.ok);
    ASSERT_EQ(s.list->count, 2);
    EXPECT_EQ(path_of(&s.list->devices[1]), longest->path);
}

TEST_F(CandleLibrary, ThirtyOneAdaptersFitThirtyTwoEndTheScan) {
    for (int i = 0; i < 31; ++i) backend_->add_adapter();
    ScanResult s = scan();
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.list->count, 31);
    backend_->add_adapter();
    s = scan();
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.list->count, 0);
}

TEST_F(CandleLibrary, GetDeviceChecksIndexMemoryAndCopies) {
    backend_->add_adapter();
    ScanResult s = scan();
    ASSERT_TRUE(s.ok);
    candle_device* out = nullptr;
    EXPECT_FALSE(candle_get_device(nullptr, 0, &out));
    EXPECT_FALSE(candle_get_device(s.list.get(), 32, &out));
    EXPECT_EQ(s.list->last_error, kCandleErrIndex);
    backend_->fail_call(WinCall::LocalAlloc, hv::win::ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(candle_get_device(s.list.get(), 0, &out));
    EXPECT_EQ(s.list->last_error, kCandleErrNoMemory);

    s.list->devices[0].last_error = 7;
    DevicePtr d = device_at(s.list.get(), 0);
    ASSERT_TRUE(d);
    EXPECT_EQ(s.list->last_error, kCandleErrNone);
    EXPECT_EQ(candle_device_last_error(d.get()), kCandleErrNone);
    EXPECT_NE(d.get(), &s.list->devices[0]);
    EXPECT_EQ(path_of(d.get()), path_of(&s.list->devices[0]));
    // The copy outlives its list.
    s.list.reset();
    EXPECT_TRUE(candle_open_device(d.get()));
    EXPECT_TRUE(candle_close_device(d.get()));

    uint8_t count = 0;
    EXPECT_FALSE(candle_device_list_length(nullptr, &count));
    uint32_t state = 0;
    EXPECT_FALSE(candle_device_state(nullptr, &state));
}

TEST_F(CandleLibrary, RepeatedScansLeaveNothingOpen) {
    Adapter a = backend_->add_adapter();
    Adapter b = backend_->add_adapter();
    for (int i = 0; i < 100; ++i) {
        ScanResult s = scan();
        ASSERT_TRUE(s.ok);
        ASSERT_EQ(s.list->count, 2);
        DevicePtr d0 = device_at(s.list.get(), 0);
        DevicePtr d1 = device_at(s.list.get(), 1);
        ASSERT_TRUE(d0 && d1);
    }
    EXPECT_FALSE(a->is_open());
    EXPECT_FALSE(b->is_open());
}

// ---- open -------------------------------------------------------------------

struct OpenFault {
    const char* name;
    std::vector<hv::usb::EndpointInfo> endpoints;
    UsbStatus open_failure;
    WinCall call;  // fails once (after `skip` calls) unless CLSIDFromString, which open never makes
    int skip;
    int request;  // stalled; -1 none
    uint32_t code;
};
void PrintTo(const OpenFault& f, std::ostream* os) { *os << f.name; }

const hv::usb::EndpointInfo kIn{0x81, 2, 64, 0}, kOut{0x02, 2, 64, 0};
const std::vector<hv::usb::EndpointInfo> kPipes{kIn, kOut};
constexpr WinCall kNoCall = WinCall::CLSIDFromString;

class CandleOpenFaults : public EmulatedUsbTest, public ::testing::WithParamInterface<OpenFault> {};

TEST_P(CandleOpenFaults, FailedOpenLeavesItsCodeAndNothingOpen) {
    const OpenFault& f = GetParam();
    EmulatedGsUsbAdapter::Options options;
    options.endpoints = f.endpoints;
    Adapter a = backend_->add_adapter(options);
    DevicePtr d = first_device();
    ASSERT_TRUE(d);
    a->set_open_failure(f.open_failure);
    if (f.call != kNoCall) backend_->fail_call(f.call, hv::win::ERROR_GEN_FAILURE, 1, f.skip);
    if (f.request >= 0) a->fail_request(static_cast<uint8_t>(f.request));
    EXPECT_FALSE(candle_open_device(d.get()));
    EXPECT_EQ(candle_device_last_error(d.get()), f.code);
    expect_released(d.get());
    EXPECT_FALSE(a->is_open());
    EXPECT_EQ(a->pending_reads(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CandleOpenFaults,
    ::testing::Values(
        OpenFault{"not_found", kPipes, UsbStatus::not_found, kNoCall, 0, -1, kCandleErrDeviceFile},
        OpenFault{"in_use", kPipes, UsbStatus::busy, kNoCall, 0, -1, kCandleErrDeviceFile},
        OpenFault{"initialize", kPipes, UsbStatus::ok, WinCall::WinUsb_Initialize, 0, -1, kCandleErrWinUsbInit},
        OpenFault{"interface_query", kPipes, UsbStatus::ok, WinCall::WinUsb_QueryInterfaceSettings, 0, -1,
                  kCandleErrInterfaceQuery},
        OpenFault{"no_endpoints", {}, UsbStatus::ok, kNoCall, 0, -1, kCandleErrEndpoints},
        OpenFault{"pipe_query", kPipes, UsbStatus::ok, WinCall::WinUsb_QueryPipe, 1, -1, kCandleErrPipeQuery},
        OpenFault{"interrupt_endpoint", {kIn, {0x02, 3, 64, 1}}, UsbStatus::ok, kNoCall, 0, -1, kCandleErrEndpoints},
        OpenFault{"three_endpoints", {kIn, kOut, {0x83, 2, 64, 0}}, UsbStatus::ok, kNoCall, 0, -1,
                  kCandleErrEndpoints},
        OpenFault{"two_in_endpoints", {kIn, {0x82, 2, 64, 0}}, UsbStatus::ok, kNoCall, 0, -1, kCandleErrEndpoints},
        OpenFault{"pipe_policy", kPipes, UsbStatus::ok, WinCall::WinUsb_SetPipePolicy, 0, -1, kCandleErrPipePolicy},
        OpenFault{"host_format", kPipes, UsbStatus::ok, kNoCall, 0, 0, kCandleErrHostFormat},
        OpenFault{"device_config", kPipes, UsbStatus::ok, kNoCall, 0, 5, kCandleErrDeviceConfig},
        OpenFault{"timing_limits", kPipes, UsbStatus::ok, kNoCall, 0, 4, kCandleErrTimingLimits}),
    [](const ::testing::TestParamInfo<OpenFault>& info) { return std::string(info.param.name); });

TEST_F(CandleLibrary, OpenQueuesThirtyReadsAndReadsConfiguration) {
    EmulatedGsUsbAdapter::Options options;
    options.interface_number = 2;
    options.channel_count = 2;
    Adapter a = backend_->add_adapter(options);
    DevicePtr d = first_device();
    ASSERT_TRUE(d);
    a->clear_controls();

    ASSERT_TRUE(candle_open_device(d.get()));
    EXPECT_EQ(candle_device_last_error(d.get()), kCandleErrNone);
    EXPECT_TRUE(a->is_open());
    EXPECT_EQ(a->pending_reads(), 30);
    EXPECT_EQ(d->interface_number, 2);
    EXPECT_EQ(d->in_pipe, 0x81);
    EXPECT_EQ(d->out_pipe, 0x02);

    // Host format (wValue 1, wIndex the interface), device config (the same),
    // timing limits of channel 0 (wIndex 0).
    const auto log = a->controls();
    EXPECT_EQ(requests_of(log), (std::vector<std::vector<unsigned>>{
                                    {0x41, 0, 1, 2, 4}, {0xC1, 5, 1, 2, 12}, {0xC1, 4, 0, 0, 40}}));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].data, (Bytes{0xEF, 0xBE, 0x00, 0x00}));

    uint8_t channels = 0;
    EXPECT_TRUE(candle_channel_count(d.get(), &channels));
    EXPECT_EQ(channels, 2);
    candle_timing_limits limits{};
    EXPECT_TRUE(candle_channel_capabilities(d.get(), 1, &limits));
    EXPECT_EQ(limits.fclk_can, 48000000u);
    EXPECT_EQ(limits.tseg1_max, 16u);
    EXPECT_EQ(limits.brp_max, 1024u);

    EXPECT_TRUE(candle_close_device(d.get()));
    EXPECT_FALSE(a->is_open());
    EXPECT_EQ(a->pending_reads(), 0);
    expect_released(d.get());
    // Closing twice is harmless.
    EXPECT_TRUE(candle_close_device(d.get()));
}

TEST_F(CandleLibrary, ReadThatCannotBeQueuedUndoesTheOpen) {
    struct Row {
        WinCall call;
        uint32_t error;
        int skip;
    } rows[] = {{WinCall::WinUsb_ReadPipe, hv::win::ERROR_GEN_FAILURE, 5},
                {WinCall::CreateEventW, hv::win::ERROR_NOT_ENOUGH_MEMORY, 3}};
    Adapter a = backend_->add_adapter();
    DevicePtr d = first_device();
    ASSERT_TRUE(d);
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.call));
        backend_->fail_call(row.call, row.error, 1, row.skip);
        EXPECT_FALSE(candle_open_device(d.get()));
        EXPECT_EQ(candle_device_last_error(d.get()), kCandleErrArmRead);
        EXPECT_FALSE(a->is_open());
        EXPECT_EQ(a->pending_reads(), 0);
        expect_released(d.get());
    }
    // The same record opens once the faults are gone.
    EXPECT_TRUE(candle_open_device(d.get()));
    EXPECT_TRUE(candle_close_device(d.get()));
}

TEST_F(CandleLibrary, FreeingAnOpenCopyClosesIt) {
    Adapter a = backend_->add_adapter();
    DevicePtr d = first_device();
    ASSERT_TRUE(candle_open_device(d.get()));
    EXPECT_TRUE(candle_free_device(d.release()));
    EXPECT_FALSE(a->is_open());
}

// Another clock than 48 MHz: a derived timing where one fits, error 12 and no
// request where none does.
TEST_F(CandleLibrary, BitrateOnOtherClocks) {
    struct Row {
        uint32_t clock;
        bool fits;
    } rows[] = {{40000000, true}, {12500000, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.clock);
        EmulatedGsUsbAdapter::Options options;
        options.can_clock_hz = row.clock;
        backend_ = EmulatedUsbBackend::install();
        Adapter a = backend_->add_adapter(options);
        DevicePtr d = first_device();
        ASSERT_TRUE(d && candle_open_device(d.get()));
        a->clear_controls();
        EXPECT_EQ(candle_set_bitrate(d.get(), 0, 1000000), row.fits);
        EXPECT_EQ(candle_device_last_error(d.get()), row.fits ? kCandleErrNone : kCandleErrClock);
        EXPECT_EQ(a->controls().size(), row.fits ? 1u : 0u);
        if (row.fits) {
            EXPECT_EQ(a->bus_bitrate(), 1000000u);
        }
        EXPECT_TRUE(candle_close_device(d.get()));
    }
}

// ---- an open device ---------------------------------------------------------

class CandleOpenDevice : public EmulatedUsbTest {
protected:
    void SetUp() override {
        adapter_ = backend_->add_adapter();
        device_ = first_device();
        ASSERT_TRUE(device_);
        ASSERT_TRUE(candle_open_device(device_.get()));
        ASSERT_EQ(adapter_->pending_reads(), 30);
        adapter_->clear_controls();
    }
    void TearDown() override {
        if (device_) candle_close_device(device_.get());
        device_.reset();
        adapter_.reset();
        EmulatedUsbTest::TearDown();
    }
    bool start() { return candle_start_channel(device_.get(), 0, 0); }
    bool read(candle_host_frame* f) { return candle_read_frame(device_.get(), f, 1000); }
    uint32_t error() { return candle_device_last_error(device_.get()); }

    Adapter adapter_;
    DevicePtr device_;
};

TEST_F(CandleOpenDevice, ReadsReceivedEchoAndErrorFrames) {
    ASSERT_TRUE(start());
    adapter_->deliver(make_can_frame(0x123, 3, {1, 2, 3}));
    candle_host_frame f{};
    ASSERT_TRUE(read(&f));
    EXPECT_EQ(candle_frame_kind(&f), kCandleFrameReceived);
    EXPECT_EQ(f.echo_id, 0xFFFFFFFFu);
    EXPECT_EQ(candle_frame_id(&f), 0x123u);
    EXPECT_EQ(candle_frame_dlc(&f), 3);
    EXPECT_EQ(candle_frame_data(&f)[0], 1);
    EXPECT_EQ(candle_frame_data(&f)[2], 3);
    EXPECT_EQ(adapter_->pending_reads(), 30) << "the slot is queued again";

    candle_host_frame out{};
    out.can_id = 0x80000456;
    out.can_dlc = 8;
    for (int i = 0; i < 8; ++i) out.data[i] = static_cast<uint8_t>(0x10 + i);
    ASSERT_TRUE(candle_send_frame(device_.get(), 0, &out));
    ASSERT_TRUE(read(&f));
    EXPECT_EQ(candle_frame_kind(&f), kCandleFrameEcho);
    EXPECT_EQ(f.echo_id, 0u);
    EXPECT_EQ(candle_frame_id(&f), 0x456u);
    EXPECT_TRUE(candle_frame_is_extended(&f));
    EXPECT_EQ(f.data[7], 0x17);

    adapter_->deliver(make_can_frame(0x20000004, 8, {}));
    ASSERT_TRUE(read(&f));
    EXPECT_EQ(candle_frame_kind(&f), kCandleFrameError);
}

TEST_F(CandleOpenDevice, ReadTimesOutWithoutTraffic) {
    candle_host_frame f{};
    const auto start_time = std::chrono::steady_clock::now();
    EXPECT_FALSE(candle_read_frame(device_.get(), &f, 20));
    const auto waited = std::chrono::steady_clock::now() - start_time;
    EXPECT_EQ(error(), kCandleErrReadTimeout);
    EXPECT_GE(waited, std::chrono::milliseconds(15));
    EXPECT_LT(waited, std::chrono::seconds(2));
}

// A failed wait, a read that completed with an error and a result that cannot
// be fetched each leave their code; the slot is queued again and the next frame comes.
TEST_F(CandleOpenDevice, FailedWaitAndFailedResultAreReported) {
    ASSERT_TRUE(start());
    struct Row {
        const char* name;
        WinCall call;     // fails once; CLSIDFromString: none
        int failed_reads;
        bool frame;       // a frame is waiting
        uint32_t code;
    } rows[] = {{"wait", WinCall::WaitForMultipleObjects, 0, false, kCandleErrReadWait},
                {"read error", kNoCall, 1, false, kCandleErrReadResult},
                {"result", WinCall::WinUsb_GetOverlappedResult, 0, true, kCandleErrReadResult}};
    uint32_t id = 0x10;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.frame) adapter_->deliver(make_can_frame(id, 1, {}));
        if (row.call != kNoCall) backend_->fail_call(row.call, hv::win::ERROR_GEN_FAILURE);
        if (row.failed_reads > 0) adapter_->fail_next_reads(row.failed_reads);
        candle_host_frame f{};
        EXPECT_FALSE(read(&f));
        EXPECT_EQ(error(), row.code);
        EXPECT_EQ(adapter_->pending_reads(), 30);
        adapter_->deliver(make_can_frame(++id, 1, {}));
        ASSERT_TRUE(read(&f));
        EXPECT_EQ(candle_frame_id(&f), id);
    }
}

// 19 bytes are refused (the slot is queued again); 20 lack the timestamp.
TEST_F(CandleOpenDevice, ShortTransfersAreRefusedTwentyBytesLackTheTimestamp) {
    Bytes frame(24, 0);
    frame[0] = frame[1] = frame[2] = frame[3] = 0xFF;
    frame[4] = 0x42;
    frame[8] = 2;
    frame[20] = 0x78;
    frame[21] = 0x56;
    struct Row {
        std::size_t size;
        bool ok;
        uint32_t code, timestamp;
    } rows[] = {{19, false, kCandleErrReadShort, 0}, {20, true, kCandleErrNone, 0}, {24, true, kCandleErrNone, 0x5678}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        adapter_->deliver_raw(Bytes(frame.begin(), frame.begin() + static_cast<long>(row.size)));
        candle_host_frame f{};
        f.timestamp_us = 12345;
        EXPECT_EQ(read(&f), row.ok);
        EXPECT_EQ(error(), row.code);
        EXPECT_EQ(adapter_->pending_reads(), 30);
        if (!row.ok) continue;
        EXPECT_EQ(candle_frame_id(&f), 0x42u);
        EXPECT_EQ(candle_frame_dlc(&f), 2);
        EXPECT_EQ(candle_frame_timestamp(&f), row.timestamp);
    }
}

TEST_F(CandleOpenDevice, FramesKeepTheirOrderWhenReadsFallBehind) {
    ASSERT_TRUE(start());
    // More frames than queued reads arrive before the host reads any.
    for (uint32_t i = 0; i < 75; ++i) adapter_->deliver(make_can_frame(0x100 + i, 0, {}));
    ASSERT_TRUE(wait_until([&] { return adapter_->pending_reads() == 0; }, 1000));
    for (uint32_t i = 0; i < 75; ++i) {
        candle_host_frame f{};
        ASSERT_TRUE(read(&f)) << "frame " << i;
        EXPECT_EQ(candle_frame_id(&f), 0x100 + i);
    }
}

TEST_F(CandleOpenDevice, BitrateTable) {
    struct Row {
        uint32_t bitrate, brp, phase_seg1;
    };
    const Row rows[] = {{10000, 300, 12}, {20000, 150, 12}, {50000, 60, 12}, {83333, 36, 12},
                        {100000, 30, 12}, {125000, 24, 12}, {250000, 12, 12}, {500000, 6, 12},
                        {800000, 4, 11},  {1000000, 3, 12}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bitrate);
        adapter_->clear_controls();
        ASSERT_TRUE(candle_set_bitrate(device_.get(), 0, row.bitrate));
        const auto log = adapter_->controls();
        ASSERT_EQ(requests_of(log), (std::vector<std::vector<unsigned>>{{0x41, 1, 0, 0, 20}}));
        const Bytes& t = log[0].data;
        EXPECT_EQ((std::vector<uint32_t>{u32_at(t, 0), u32_at(t, 4), u32_at(t, 8), u32_at(t, 12), u32_at(t, 16)}),
                  (std::vector<uint32_t>{1, row.phase_seg1, 2, 1, row.brp}));
    }
    adapter_->clear_controls();
    EXPECT_FALSE(candle_set_bitrate(device_.get(), 0, 750000));
    EXPECT_EQ(error(), kCandleErrBitrate);
    EXPECT_TRUE(adapter_->controls().empty());

    adapter_->fail_request(1);
    EXPECT_FALSE(candle_set_bitrate(device_.get(), 0, 1000000));
    EXPECT_EQ(error(), kCandleErrBitTiming);
}

TEST_F(CandleOpenDevice, StartAndStopSendTheModeRequests) {
    struct Row {
        bool start;
        uint32_t flags;
        Bytes payload;  // mode, then flags
    } rows[] = {{true, 0, {1, 0, 0, 0, 0x10, 0, 0, 0}},
                {true, 0x3, {1, 0, 0, 0, 0x13, 0, 0, 0}},
                {false, 0, {0, 0, 0, 0, 0, 0, 0, 0}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.flags);
        adapter_->clear_controls();
        EXPECT_TRUE(row.start ? candle_start_channel(device_.get(), 0, row.flags)
                              : candle_stop_channel(device_.get(), 0));
        EXPECT_EQ(adapter_->started(), row.start);
        const auto log = adapter_->controls();
        ASSERT_EQ(requests_of(log), (std::vector<std::vector<unsigned>>{{0x41, 2, 0, 0, 8}}));
        EXPECT_EQ(log[0].data, row.payload);
    }
    adapter_->fail_request(2);
    EXPECT_FALSE(candle_start_channel(device_.get(), 0, 0));
    EXPECT_EQ(error(), kCandleErrMode);
    EXPECT_FALSE(candle_stop_channel(device_.get(), 0));
    EXPECT_EQ(error(), kCandleErrMode);
}

TEST_F(CandleOpenDevice, TimestampRequest) {
    uint32_t us = 0;
    ASSERT_TRUE(candle_device_timestamp(device_.get(), &us));
    EXPECT_GT(us, 0u);
    const auto log = adapter_->controls();
    // wValue is the channel, 0.
    ASSERT_EQ(requests_of(log), (std::vector<std::vector<unsigned>>{{0xC1, 6, 0, 0, 4}}));
    EXPECT_EQ(u32_at(log[0].data, 0), us);

    adapter_->fail_request(6);
    EXPECT_FALSE(candle_device_timestamp(device_.get(), &us));
    EXPECT_EQ(error(), kCandleErrTimestamp);
}

TEST_F(CandleOpenDevice, SendWritesTwentyFourBytesWithEchoIdZero) {
    ASSERT_TRUE(start());
    candle_host_frame out{};
    out.echo_id = 0x55;
    out.channel = 7;
    out.can_id = 0x321;
    out.can_dlc = 2;
    out.data[0] = 0xAA;
    out.data[1] = 0xBB;
    out.data[5] = 0xCC;  // beyond the dlc, still sent
    ASSERT_TRUE(candle_send_frame(device_.get(), 0, &out));
    EXPECT_EQ(out.echo_id, 0u);
    EXPECT_EQ(out.channel, 0);
    const Bytes sent{0, 0, 0, 0, 0x21, 3, 0, 0, 2, 0, 0, 0, 0xAA, 0xBB, 0, 0, 0, 0xCC, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(adapter_->host_writes(), std::vector<Bytes>{sent});

    backend_->fail_call(WinCall::WinUsb_WritePipe, hv::win::ERROR_GEN_FAILURE);
    EXPECT_FALSE(candle_send_frame(device_.get(), 0, &out));
    EXPECT_EQ(error(), kCandleErrWrite);
}

TEST_F(CandleOpenDevice, RemovalFailsReadsAndSendsAndCloseStillReleases) {
    ASSERT_TRUE(start());
    adapter_->unplug();
    candle_host_frame f{};
    EXPECT_FALSE(candle_read_frame(device_.get(), &f, 100));
    EXPECT_EQ(error(), kCandleErrReadResult);
    // Every slot is gone after at most 30 failed reads; then none is left to wait on.
    uint32_t last = 0;
    for (int i = 0; i < 40; ++i) {
        EXPECT_FALSE(candle_read_frame(device_.get(), &f, 5));
        last = error();
    }
    EXPECT_EQ(last, kCandleErrArmRead);
    EXPECT_EQ(candle_pending_reads(device_.get()), 0);
    candle_host_frame out{};
    EXPECT_FALSE(candle_send_frame(device_.get(), 0, &out));
    EXPECT_EQ(error(), kCandleErrWrite);
    EXPECT_FALSE(candle_stop_channel(device_.get(), 0));
    EXPECT_TRUE(candle_close_device(device_.get()));
    expect_released(device_.get());
}

// ---- pure accessors ---------------------------------------------------------

TEST(CandleFrameAccessors, KindIdFlagsAndFields) {
    candle_host_frame f{};
    f.echo_id = 0;
    f.can_id = 0x20000000u | 0x123;
    EXPECT_EQ(candle_frame_kind(&f), kCandleFrameEcho) << "echo id 0 is an echo whatever the id";
    f.echo_id = 0xFFFFFFFFu;
    EXPECT_EQ(candle_frame_kind(&f), kCandleFrameError);
    f.can_id = 0xC0000000u | 0x1ABCDEF0u;
    EXPECT_EQ(candle_frame_kind(&f), kCandleFrameReceived);
    EXPECT_EQ(candle_frame_id(&f), 0x1ABCDEF0u);
    EXPECT_TRUE(candle_frame_is_extended(&f));
    EXPECT_TRUE(candle_frame_is_rtr(&f));
    f.can_id = 0x7FF;
    EXPECT_FALSE(candle_frame_is_extended(&f));
    EXPECT_FALSE(candle_frame_is_rtr(&f));
    f.can_dlc = 5;
    f.timestamp_us = 99;
    EXPECT_EQ(candle_frame_dlc(&f), 5);
    EXPECT_EQ(candle_frame_timestamp(&f), 99u);
    EXPECT_EQ(candle_frame_data(&f), f.data);
    EXPECT_EQ(offsetof(candle_host_frame, data), 12u);
    EXPECT_EQ(offsetof(candle_host_frame, timestamp_us), 20u);
}

}  // namespace
