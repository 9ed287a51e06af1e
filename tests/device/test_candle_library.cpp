// The gs_usb host library against emulated adapters, down to the USB transfers.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "can_frame_maker.h"
#include "candle_library.h"
#include "emulated_usb_test.h"
#include "kernel_object.h"
#include "win_api.h"

using hv::usb::WinCall;
using Adapter = std::shared_ptr<EmulatedGsUsbAdapter>;

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

// The only adapter's record, closed.
DevicePtr first_device() {
    ScanResult s = scan();
    if (!s.ok || s.list->count == 0) return nullptr;
    return device_at(s.list.get(), 0);
}

std::string path_of(candle_device* device) { return hv::win::to_utf8(candle_device_path(device)); }

// bmRequestType, bRequest, wValue, wIndex and data length of a control transfer.
using Request = std::tuple<int, int, int, int, std::size_t>;
Request request_of(const EmulatedGsUsbAdapter::ControlRecord& r) {
    return Request{r.request_type, r.request, r.value, r.index, r.data.size()};
}

// Kind, echo id, identifier, DLC and extended flag of a received frame.
using Head = std::tuple<uint32_t, uint32_t, uint32_t, int, bool>;
Head head(candle_host_frame& f) {
    return Head{candle_frame_kind(&f), f.echo_id, candle_frame_id(&f), candle_frame_dlc(&f),
                candle_frame_is_extended(&f)};
}

void expect_released(candle_device* d, const Adapter& a) {
    EXPECT_EQ(d->file, nullptr);
    EXPECT_EQ(d->winusb, nullptr);
    for (auto* e : d->events) EXPECT_EQ(e, nullptr);
    EXPECT_FALSE(a->is_open());
    EXPECT_EQ(a->pending_reads(), 0);
}

class CandleLibrary : public EmulatedUsbTest {};

// ---- scan -------------------------------------------------------------------

TEST_F(CandleLibrary, ScanListsAvailableAdaptersAndClosesItsTestOpen) {
    ScanResult none = scan();
    ASSERT_TRUE(none.ok);
    uint8_t count = 99;
    EXPECT_TRUE(candle_device_list_length(none.list.get(), &count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(none.list->last_error, kCandleErrNone);

    Adapter a = backend_->add_adapter();
    ScanResult s = scan();
    ASSERT_TRUE(s.ok);
    ASSERT_EQ(s.list->count, 1);
    DevicePtr d = device_at(s.list.get(), 0);
    ASSERT_TRUE(d);
    uint32_t state = 99;
    EXPECT_TRUE(candle_device_state(d.get(), &state));
    EXPECT_EQ(state, kCandleDeviceAvailable);
    EXPECT_EQ(path_of(d.get()), a->path());
    EXPECT_EQ(candle_device_last_error(d.get()), kCandleErrNone);
    expect_released(d.get(), a);
    // The test open set the host format and read config and limits.
    auto log = a->control_log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].request, 0);
    EXPECT_EQ(log[1].request, 5);
    EXPECT_EQ(log[2].request, 4);
}

TEST_F(CandleLibrary, AdapterHeldElsewhereIsListedInUse) {
    Adapter busy = backend_->add_adapter();
    Adapter held = backend_->add_adapter();
    busy->set_open_failure(EmulatedGsUsbAdapter::OpenFailure::in_use);
    DevicePtr holder;  // held by this process, through an earlier scan's copy
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
    int skip;
    uint32_t list_error;
    bool record_error;  // the code is also left in record 0
};

class CandleScanFaults : public EmulatedUsbTest, public ::testing::WithParamInterface<ScanFault> {};

TEST_P(CandleScanFaults, EachFailingStepLeavesItsCode) {
    const ScanFault& f = GetParam();
    backend_->add_adapter();
    backend_->fail_call(f.call, f.error, f.skip, 1);
    ScanResult s = scan();
    EXPECT_FALSE(s.ok);
    ASSERT_TRUE(s.list) << "the list is handed out even when the scan fails";
    EXPECT_EQ(s.list->count, 0);
    EXPECT_EQ(s.list->last_error, f.list_error);
    if (f.record_error) {
        EXPECT_EQ(s.list->devices[0].last_error, f.list_error);
    }
}

constexpr uint32_t kGen = hv::win::ERROR_GEN_FAILURE;
INSTANTIATE_TEST_SUITE_P(
    Steps, CandleScanFaults,
    ::testing::Values(
        ScanFault{"guid", WinCall::CLSIDFromString, kGen, 0, kCandleErrGuid, false},
        ScanFault{"set", WinCall::SetupDiGetClassDevsW, kGen, 0, kCandleErrDeviceSet, false},
        ScanFault{"enumeration", WinCall::SetupDiEnumDeviceInterfaces, kGen, 0, kCandleErrEnumeration, false},
        ScanFault{"detail_size", WinCall::SetupDiGetDeviceInterfaceDetailW, kGen, 0, kCandleErrDetailSize, true},
        ScanFault{"detail", WinCall::SetupDiGetDeviceInterfaceDetailW, kGen, 1, kCandleErrDetail, true},
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
    EmulatedGsUsbAdapter::Options long_path;
    long_path.path = "\\\\?\\usb#" + std::string(248, 'x');  // 256 characters
    backend_->add_adapter();
    backend_->add_adapter(long_path);
    ScanResult s = scan();
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.list->last_error, kCandleErrPathLength);
    EXPECT_EQ(s.list->devices[1].last_error, kCandleErrPathLength);
    EXPECT_EQ(s.list->count, 0);

    backend_->remove_adapter(backend_->adapters()[1]);
    EmulatedGsUsbAdapter::Options longest;
    longest.path = "\\\\?\\usb#" + std::string(247, 'y');  // 255 still fit
    Adapter a = backend_->add_adapter(longest);
    s = scan();
    ASSERT_TRUE(s.ok);
    ASSERT_EQ(s.list->count, 2);
    EXPECT_EQ(path_of(&s.list->devices[1]), a->path());
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
    s.list.reset();  // the copy outlives its list
    EXPECT_TRUE(candle_open_device(d.get()));
    EXPECT_TRUE(candle_close_device(d.get()));

    uint8_t count = 0;
    uint32_t state = 0;
    EXPECT_FALSE(candle_device_list_length(nullptr, &count));
    EXPECT_FALSE(candle_device_state(nullptr, &state));
}

TEST_F(CandleLibrary, RepeatedScansLeaveNothingOpen) {
    Adapter a = backend_->add_adapter();
    Adapter b = backend_->add_adapter();
    for (int i = 0; i < 100; ++i) {
        ScanResult s = scan();
        ASSERT_TRUE(s.ok);
        ASSERT_EQ(s.list->count, 2);
        ASSERT_TRUE(device_at(s.list.get(), 0) && device_at(s.list.get(), 1));
    }
    EXPECT_FALSE(a->is_open());
    EXPECT_FALSE(b->is_open());
}

// ---- open -------------------------------------------------------------------

enum class Setup { NotFound, InUse, Initialize, InterfaceQuery, NoEndpoints, PipeQuery, Interrupt,
                   ThreeEndpoints, TwoIn, PipePolicy, HostFormat, DeviceConfig, TimingLimits };

struct OpenFault {
    const char* name;
    Setup setup;
    uint32_t code;
};

class CandleOpenFaults : public EmulatedUsbTest, public ::testing::WithParamInterface<OpenFault> {};

TEST_P(CandleOpenFaults, FailedOpenLeavesItsCodeAndNothingOpen) {
    const OpenFault& f = GetParam();
    EmulatedGsUsbAdapter::Options options;
    const hv::usb::EndpointInfo in{0x81, 2, 64, 0}, out{0x02, 2, 64, 0};
    if (f.setup == Setup::NoEndpoints) options.endpoints = {};
    if (f.setup == Setup::Interrupt) options.endpoints = {in, {0x02, 3, 64, 1}};
    if (f.setup == Setup::ThreeEndpoints) options.endpoints = {in, out, {0x83, 2, 64, 0}};
    if (f.setup == Setup::TwoIn) options.endpoints = {in, {0x82, 2, 64, 0}};
    Adapter a = backend_->add_adapter(options);
    DevicePtr d = first_device();
    ASSERT_TRUE(d);
    switch (f.setup) {
        case Setup::NotFound: a->set_open_failure(EmulatedGsUsbAdapter::OpenFailure::not_found); break;
        case Setup::InUse: a->set_open_failure(EmulatedGsUsbAdapter::OpenFailure::in_use); break;
        case Setup::Initialize: backend_->fail_call(WinCall::WinUsb_Initialize); break;
        case Setup::InterfaceQuery: backend_->fail_call(WinCall::WinUsb_QueryInterfaceSettings); break;
        case Setup::PipeQuery: backend_->fail_call(WinCall::WinUsb_QueryPipe, kGen, 1); break;
        case Setup::PipePolicy: backend_->fail_call(WinCall::WinUsb_SetPipePolicy); break;
        case Setup::HostFormat: a->fail_request(0); break;
        case Setup::DeviceConfig: a->fail_request(5); break;
        case Setup::TimingLimits: a->fail_request(4); break;
        default: break;
    }
    EXPECT_FALSE(candle_open_device(d.get()));
    EXPECT_EQ(candle_device_last_error(d.get()), f.code);
    expect_released(d.get(), a);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CandleOpenFaults,
    ::testing::Values(OpenFault{"not_found", Setup::NotFound, kCandleErrDeviceFile},
                      OpenFault{"in_use", Setup::InUse, kCandleErrDeviceFile},
                      OpenFault{"initialize", Setup::Initialize, kCandleErrWinUsbInit},
                      OpenFault{"interface_query", Setup::InterfaceQuery, kCandleErrInterfaceQuery},
                      OpenFault{"no_endpoints", Setup::NoEndpoints, kCandleErrEndpoints},
                      OpenFault{"pipe_query", Setup::PipeQuery, kCandleErrPipeQuery},
                      OpenFault{"interrupt_endpoint", Setup::Interrupt, kCandleErrEndpoints},
                      OpenFault{"three_endpoints", Setup::ThreeEndpoints, kCandleErrEndpoints},
                      OpenFault{"two_in_endpoints", Setup::TwoIn, kCandleErrEndpoints},
                      OpenFault{"pipe_policy", Setup::PipePolicy, kCandleErrPipePolicy},
                      OpenFault{"host_format", Setup::HostFormat, kCandleErrHostFormat},
                      OpenFault{"device_config", Setup::DeviceConfig, kCandleErrDeviceConfig},
                      OpenFault{"timing_limits", Setup::TimingLimits, kCandleErrTimingLimits}),
    [](const ::testing::TestParamInfo<OpenFault>& info) { return std::string(info.param.name); });

TEST_F(CandleLibrary, OpenQueuesThirtyReadsAndReadsConfiguration) {
    EmulatedGsUsbAdapter::Options options;
    options.interface_number = 2;
    options.channel_count = 2;
    Adapter a = backend_->add_adapter(options);
    DevicePtr d = first_device();
    ASSERT_TRUE(d);
    a->clear_control_log();

    ASSERT_TRUE(candle_open_device(d.get()));
    EXPECT_EQ(candle_device_last_error(d.get()), kCandleErrNone);
    EXPECT_TRUE(a->is_open());
    EXPECT_TRUE(a->wait_for_pending_reads(30, 1000));
    EXPECT_EQ(d->interface_number, 2);
    EXPECT_EQ(d->in_pipe, 0x81);
    EXPECT_EQ(d->out_pipe, 0x02);

    // Host format 0x0000BEEF and device config on the interface; timing limits of channel 0.
    auto log = a->control_log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(request_of(log[0]), Request(0x41, 0, 1, 2, 4));
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{0xEF, 0xBE, 0x00, 0x00}));
    EXPECT_EQ(a->host_format(), 0xBEEFu);
    EXPECT_EQ(request_of(log[1]), Request(0xC1, 5, 1, 2, 12));
    EXPECT_EQ(request_of(log[2]), Request(0xC1, 4, 0, 0, 40));

    uint8_t channels = 0;
    EXPECT_TRUE(candle_channel_count(d.get(), &channels));
    EXPECT_EQ(channels, 2);
    candle_timing_limits limits{};
    EXPECT_TRUE(candle_channel_capabilities(d.get(), 1, &limits));
    EXPECT_EQ(limits.fclk_can, 48000000u);
    EXPECT_EQ(limits.tseg1_max, 16u);
    EXPECT_EQ(limits.brp_max, 1024u);

    EXPECT_TRUE(candle_close_device(d.get()));
    expect_released(d.get(), a);
    EXPECT_TRUE(candle_close_device(d.get()));  // twice is harmless
}

TEST_F(CandleLibrary, ReadThatCannotBeQueuedUndoesTheOpen) {
    Adapter a = backend_->add_adapter();
    DevicePtr d = first_device();
    ASSERT_TRUE(d);
    backend_->fail_call(WinCall::WinUsb_ReadPipe, kGen, 5);
    EXPECT_FALSE(candle_open_device(d.get()));
    EXPECT_EQ(candle_device_last_error(d.get()), kCandleErrArmRead);
    expect_released(d.get(), a);

    backend_->fail_call(WinCall::CreateEventW, hv::win::ERROR_NOT_ENOUGH_MEMORY, 3);
    EXPECT_FALSE(candle_open_device(d.get()));
    EXPECT_EQ(candle_device_last_error(d.get()), kCandleErrArmRead);
    EXPECT_FALSE(a->is_open());

    // The same record opens once the faults are gone, and freeing it open closes it.
    EXPECT_TRUE(candle_open_device(d.get()));
    EXPECT_TRUE(candle_free_device(d.release()));
    EXPECT_FALSE(a->is_open());
}

TEST_F(CandleLibrary, BitrateNeedsA48MHzClock) {
    EmulatedGsUsbAdapter::Options options;
    options.can_clock_hz = 40000000;
    Adapter a = backend_->add_adapter(options);
    DevicePtr d = first_device();
    ASSERT_TRUE(candle_open_device(d.get()));
    a->clear_control_log();
    EXPECT_FALSE(candle_set_bitrate(d.get(), 0, 1000000));
    EXPECT_EQ(candle_device_last_error(d.get()), kCandleErrClock);
    EXPECT_TRUE(a->control_log().empty());
    EXPECT_TRUE(candle_close_device(d.get()));
}

// ---- an open adapter ----------------------------------------------------------

class CandleOpenDevice : public EmulatedUsbTest {
protected:
    void SetUp() override {
        EmulatedUsbTest::SetUp();
        adapter_ = backend_->add_adapter();
        device_ = first_device();
        ASSERT_TRUE(device_);
        ASSERT_TRUE(candle_open_device(device_.get()));
        ASSERT_TRUE(adapter_->wait_for_pending_reads(30, 1000));
        adapter_->clear_control_log();
    }
    void TearDown() override {
        if (device_) candle_close_device(device_.get());
        device_.reset();
        adapter_.reset();
        EmulatedUsbTest::TearDown();
    }
    bool start() { return candle_start_channel(device_.get(), 0, 0); }
    bool read(candle_host_frame* f, uint32_t ms = 1000) { return candle_read_frame(device_.get(), f, ms); }
    uint32_t last_error() { return candle_device_last_error(device_.get()); }

    Adapter adapter_;
    DevicePtr device_;
};

TEST_F(CandleOpenDevice, ReadsFramesInOrderTheirKindsAndTimesOut) {
    candle_host_frame f{};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(read(&f, 20));
    EXPECT_EQ(last_error(), kCandleErrReadTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(15));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));

    ASSERT_TRUE(start());
    ASSERT_TRUE(adapter_->deliver(make_can_frame(0x123, 3, {1, 2, 3})));
    ASSERT_TRUE(read(&f));
    EXPECT_EQ(head(f), Head(kCandleFrameReceived, 0xFFFFFFFFu, 0x123u, 3, false));
    EXPECT_EQ(candle_frame_data(&f)[2], 3);
    EXPECT_NE(candle_frame_timestamp(&f), 0u);
    EXPECT_EQ(adapter_->pending_reads() + static_cast<int>(adapter_->queued_transfers()), 30);

    candle_host_frame out{};
    out.can_id = 0x80000456;
    out.can_dlc = 8;
    out.data[7] = 0x17;
    ASSERT_TRUE(candle_send_frame(device_.get(), 0, &out));
    ASSERT_TRUE(read(&f));
    EXPECT_EQ(head(f), Head(kCandleFrameEcho, 0u, 0x456u, 8, true));
    EXPECT_EQ(f.data[7], 0x17);
    ASSERT_TRUE(adapter_->deliver(make_can_frame(0x20000004, 8, {})));
    ASSERT_TRUE(read(&f));
    EXPECT_EQ(candle_frame_kind(&f), kCandleFrameError);

    // More frames than queued reads arrive before the host reads any.
    for (uint32_t i = 0; i < 75; ++i) ASSERT_TRUE(adapter_->deliver(make_can_frame(0x100 + i, 0, {})));
    for (int spin = 0; spin < 200 && adapter_->pending_reads() > 0; ++spin)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (uint32_t i = 0; i < 75; ++i) {
        ASSERT_TRUE(read(&f)) << "frame " << i;
        EXPECT_EQ(candle_frame_id(&f), 0x100 + i);
    }
}

TEST_F(CandleOpenDevice, FailedWaitAndFailedResultAreReportedAndTheSlotRequeued) {
    ASSERT_TRUE(start());
    candle_host_frame f{};
    backend_->fail_call(WinCall::WaitForMultipleObjects);
    EXPECT_FALSE(read(&f, 100));
    EXPECT_EQ(last_error(), kCandleErrReadWait);

    adapter_->fail_next_reads(1);
    EXPECT_FALSE(read(&f));
    EXPECT_EQ(last_error(), kCandleErrReadResult);
    EXPECT_TRUE(adapter_->wait_for_pending_reads(30, 1000));

    ASSERT_TRUE(adapter_->deliver(make_can_frame(0x1, 1, {9})));
    backend_->fail_call(WinCall::WinUsb_GetOverlappedResult);
    EXPECT_FALSE(read(&f));
    EXPECT_EQ(last_error(), kCandleErrReadResult);
    EXPECT_TRUE(adapter_->wait_for_pending_reads(30, 1000));

    ASSERT_TRUE(adapter_->deliver(make_can_frame(0x2, 1, {7})));
    ASSERT_TRUE(read(&f));
    EXPECT_EQ(candle_frame_id(&f), 0x2u);
}

TEST_F(CandleOpenDevice, ShortTransfersAreRefusedTwentyBytesLackTheTimestamp) {
    std::vector<uint8_t> frame(24, 0);
    frame[0] = frame[1] = frame[2] = frame[3] = 0xFF;
    frame[4] = 0x42;
    frame[8] = 2;
    frame[20] = 0x78;
    frame[21] = 0x56;

    adapter_->deliver_raw(std::vector<uint8_t>(frame.begin(), frame.begin() + 19));
    candle_host_frame f{};
    EXPECT_FALSE(read(&f));
    EXPECT_EQ(last_error(), kCandleErrReadShort);
    EXPECT_TRUE(adapter_->wait_for_pending_reads(30, 1000));

    adapter_->deliver_raw(std::vector<uint8_t>(frame.begin(), frame.begin() + 20));
    f.timestamp_us = 12345;
    ASSERT_TRUE(read(&f));
    EXPECT_EQ(candle_frame_id(&f), 0x42u);
    EXPECT_EQ(candle_frame_timestamp(&f), 0u);

    adapter_->deliver_raw(frame);
    ASSERT_TRUE(read(&f));
    EXPECT_EQ(candle_frame_timestamp(&f), 0x5678u);

    // An adapter that sends 20-byte frames (no hardware timestamps).
    ASSERT_TRUE(start());
    adapter_->set_transfer_size(20);
    ASSERT_TRUE(adapter_->deliver(make_can_frame(0x77, 1, {1})));
    ASSERT_TRUE(read(&f));
    EXPECT_EQ(candle_frame_id(&f), 0x77u);
    EXPECT_EQ(candle_frame_timestamp(&f), 0u);
}

TEST_F(CandleOpenDevice, BitrateTable) {
    const uint32_t rows[][3] = {{10000, 300, 12}, {20000, 150, 12}, {50000, 60, 12}, {83333, 36, 12},
                                {100000, 30, 12}, {125000, 24, 12}, {250000, 12, 12}, {500000, 6, 12},
                                {800000, 4, 11},  {1000000, 3, 12}};
    for (const auto& row : rows) {
        ASSERT_TRUE(candle_set_bitrate(device_.get(), 0, row[0])) << row[0];
        auto t = adapter_->bit_timing(0);
        EXPECT_EQ(std::make_tuple(t.prop_seg, t.phase_seg1, t.phase_seg2, t.sjw, t.brp),
                  std::make_tuple(1u, row[2], 2u, 1u, row[1])) << row[0];
    }
    ASSERT_FALSE(adapter_->control_log().empty());
    EXPECT_EQ(request_of(adapter_->control_log().back()), Request(0x41, 1, 0, 0, 20));

    adapter_->clear_control_log();
    EXPECT_FALSE(candle_set_bitrate(device_.get(), 0, 750000));
    EXPECT_EQ(last_error(), kCandleErrBitrate);
    EXPECT_TRUE(adapter_->control_log().empty());

    adapter_->fail_request(1);
    EXPECT_FALSE(candle_set_bitrate(device_.get(), 0, 1000000));
    EXPECT_EQ(last_error(), kCandleErrBitTiming);
}

TEST_F(CandleOpenDevice, StartStopAndTimestampRequests) {
    EXPECT_TRUE(start());
    EXPECT_TRUE(adapter_->channel_started());
    auto log = adapter_->control_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(request_of(log[0]), Request(0x41, 2, 0, 0, 8));
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{1, 0, 0, 0, 0x10, 0, 0, 0}));
    EXPECT_TRUE(candle_start_channel(device_.get(), 0, 0x3));
    EXPECT_EQ(adapter_->mode_flags(), 0x13u);
    EXPECT_TRUE(candle_stop_channel(device_.get(), 0));
    EXPECT_FALSE(adapter_->channel_started());
    EXPECT_EQ(adapter_->mode(), 0u);
    EXPECT_EQ(adapter_->mode_flags(), 0u);

    adapter_->clear_control_log();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    uint32_t us = 0;
    ASSERT_TRUE(candle_device_timestamp(device_.get(), &us));
    EXPECT_GT(us, 0u);
    log = adapter_->control_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(request_of(log[0]), Request(0xC1, 6, 1, 0, 4));
    EXPECT_EQ(uint32_t(log[0].data[0]) | uint32_t(log[0].data[1]) << 8 | uint32_t(log[0].data[2]) << 16 |
                  uint32_t(log[0].data[3]) << 24, us);

    adapter_->fail_request(2);
    adapter_->fail_request(6);
    EXPECT_FALSE(start());
    EXPECT_EQ(last_error(), kCandleErrMode);
    EXPECT_FALSE(candle_stop_channel(device_.get(), 0));
    EXPECT_EQ(last_error(), kCandleErrMode);
    EXPECT_FALSE(candle_device_timestamp(device_.get(), &us));
    EXPECT_EQ(last_error(), kCandleErrTimestamp);
}

TEST_F(CandleOpenDevice, SendWritesTwentyFourBytesWithEchoIdZero) {
    ASSERT_TRUE(start());
    candle_host_frame out{};
    out.echo_id = 0x55;
    out.channel = 7;
    out.can_id = 0x321;
    out.can_dlc = 2;
    out.data[0] = 0xAA;
    out.data[5] = 0xCC;  // beyond the dlc, still sent
    ASSERT_TRUE(candle_send_frame(device_.get(), 0, &out));
    EXPECT_EQ(out.echo_id, 0u);
    EXPECT_EQ(out.channel, 0);
    auto frames = adapter_->host_frames();
    ASSERT_EQ(frames.size(), 1u);
    const auto& sent = frames[0];
    EXPECT_EQ(std::make_tuple(sent.echo_id, sent.channel, sent.frame.id, sent.frame.dlc, sent.frame.data[0],
                              sent.frame.data[5]),
              std::make_tuple(0u, uint8_t(0), 0x321u, uint8_t(2), uint8_t(0xAA), uint8_t(0xCC)));

    adapter_->set_bulk_write_failure(true);
    EXPECT_FALSE(candle_send_frame(device_.get(), 0, &out));
    EXPECT_EQ(last_error(), kCandleErrWrite);
}

TEST_F(CandleOpenDevice, RemovalFailsReadsAndSendsAndCloseStillReleases) {
    ASSERT_TRUE(start());
    adapter_->unplug();
    candle_host_frame f{};
    EXPECT_FALSE(read(&f, 100));
    EXPECT_EQ(last_error(), kCandleErrReadResult);
    // Every slot is gone after at most 30 failed reads; then reads time out.
    for (int i = 0; i < 40; ++i) EXPECT_FALSE(read(&f, 5));
    EXPECT_EQ(last_error(), kCandleErrReadTimeout);
    EXPECT_FALSE(candle_send_frame(device_.get(), 0, &f));
    EXPECT_EQ(last_error(), kCandleErrWrite);
    EXPECT_FALSE(candle_stop_channel(device_.get(), 0));
    EXPECT_TRUE(candle_close_device(device_.get()));
    EXPECT_EQ(device_->file, nullptr);
}

TEST(CandleFrameAccessors, EchoIdDecidesBeforeTheErrorFlag) {
    candle_host_frame f{};
    f.can_id = 0x20000000u | 0x123;
    EXPECT_EQ(candle_frame_kind(&f), kCandleFrameEcho);
    f.echo_id = 0xFFFFFFFFu;
    EXPECT_EQ(candle_frame_kind(&f), kCandleFrameError);
    f.can_id = 0xC0000000u | 0x1ABCDEF0u;
    EXPECT_EQ(candle_frame_kind(&f), kCandleFrameReceived);
    EXPECT_EQ(candle_frame_id(&f), 0x1ABCDEF0u);
    EXPECT_TRUE(candle_frame_is_extended(&f) && candle_frame_is_rtr(&f));
}

}  // namespace
