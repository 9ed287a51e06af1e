// The USB-CAN adapter link against emulated gs_usb adapters.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "can_frame_maker.h"
#include "candle_can.h"
#include "candle_library.h"
#include "console_capture.h"
#include "emulated_usb_test.h"

using Adapter = std::shared_ptr<EmulatedGsUsbAdapter>;

namespace {

std::vector<std::string> names_of(CandleCan& can) {
    std::vector<std::string> names;
    can.scan_devices(names);
    return names;
}

// Reads until a frame comes or a second passes.
int receive_within(CandleCan& can, CanFrame& f) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < deadline)
        if (can.receive(f) == 1) return 1;
    return 0;
}

class CandleCanTest : public EmulatedUsbTest {};

TEST_F(CandleCanTest, ScanNamesTheFreeAdaptersByPosition) {
    CandleCan can;
    EXPECT_TRUE(names_of(can).empty());

    Adapter busy = backend_->add_adapter();
    Adapter free_one = backend_->add_adapter();
    busy->set_open_failure(EmulatedGsUsbAdapter::OpenFailure::in_use);
    EXPECT_EQ(names_of(can), (std::vector<std::string>{"0"}));
    EXPECT_EQ(can.open("0"), 0);
    EXPECT_TRUE(free_one->is_open());
    EXPECT_FALSE(busy->is_open());
    EXPECT_EQ(can.close(), 1);

    busy->set_open_failure(EmulatedGsUsbAdapter::OpenFailure::none);
    std::vector<std::string> names{"x"};  // names are appended
    can.scan_devices(names);
    EXPECT_EQ(names, (std::vector<std::string>{"x", "0", "1"}));
}

TEST_F(CandleCanTest, BadNamesOpenNothing) {
    Adapter a = backend_->add_adapter();
    CandleCan can;
    ASSERT_EQ(names_of(can).size(), 1u);
    ConsoleCapture console;
    for (const char* name : {"", "7", "1", "abc", "-1", "x0", "99999999999999999999999"}) {
        EXPECT_EQ(can.open(name), 1) << '"' << name << '"';
        EXPECT_FALSE(can.is_open());
    }
    EXPECT_FALSE(a->is_open());
    EXPECT_EQ(a->control_log().size(), 3u) << "only the scan's test open talked to the adapter";
    EXPECT_TRUE(console.contains("[WARN] No CAN adapter \"7\""));
    // Leading blanks, a sign and trailing text are accepted.
    EXPECT_EQ(can.open(" +0 (candleLight)"), 0);
    EXPECT_TRUE(can.is_open());
    EXPECT_EQ(can.close(), 1);
    EXPECT_EQ(can.open("-0"), 0);
    EXPECT_EQ(can.close(), 1);
}

TEST_F(CandleCanTest, OpenSetsOneMegabitAndStartsChannelZero) {
    EmulatedGsUsbAdapter::Options options;
    options.interface_number = 1;
    Adapter a = backend_->add_adapter(options);
    CandleCan can;
    ASSERT_EQ(names_of(can).size(), 1u);
    a->clear_control_log();
    ASSERT_EQ(can.open("0"), 0);
    EXPECT_TRUE(can.is_open());
    EXPECT_TRUE(a->channel_started());
    EXPECT_TRUE(a->wait_for_pending_reads(30, 1000));

    // The library's open (host format, device config, timing limits), then bit
    // timing, timestamp and mode.
    auto log = a->control_log();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(std::make_tuple(log[3].request, log[3].value), std::make_tuple(uint8_t(1), uint16_t(0)));
    const auto t = a->bit_timing(0);
    EXPECT_EQ(std::make_tuple(t.prop_seg, t.phase_seg1, t.phase_seg2, t.sjw, t.brp),
              std::make_tuple(1u, 12u, 2u, 1u, 3u));
    EXPECT_EQ(std::make_tuple(log[4].request, log[4].request_type), std::make_tuple(uint8_t(6), uint8_t(0xC1)));
    EXPECT_EQ(std::make_tuple(log[5].request, log[5].value, log[5].index),
              std::make_tuple(uint8_t(2), uint16_t(0), uint16_t(1)));
    EXPECT_EQ(log[5].data, (std::vector<uint8_t>{1, 0, 0, 0, 0x10, 0, 0, 0}));
    EXPECT_EQ(can.close(), 1);
}

enum class Step { OpenDevice, BitTiming, Timestamp, Start };

class CandleCanOpenFaults : public EmulatedUsbTest, public ::testing::WithParamInterface<Step> {};

TEST_P(CandleCanOpenFaults, FailedStepLeavesTheLinkClosed) {
    Adapter a = backend_->add_adapter();
    CandleCan can;
    ASSERT_EQ(names_of(can).size(), 1u);
    const uint8_t request = std::vector<uint8_t>{0, 1, 6, 2}[static_cast<int>(GetParam())];
    a->fail_request(request);  // host format stands for a failed device open
    ConsoleCapture console;
    EXPECT_EQ(can.open("0"), 1);
    EXPECT_FALSE(can.is_open());
    EXPECT_FALSE(a->is_open());
    EXPECT_EQ(a->pending_reads(), 0);
    EXPECT_EQ(console.lines_starting("[ERROR] CAN adapter 0 not opened").size(), 1u);
    CanFrame f = make_can_frame(1, 1, {1});
    EXPECT_EQ(can.send(f), -1);
    EXPECT_EQ(can.receive(f), 0);
    EXPECT_EQ(can.close(), 0);

    a->fail_request(request, false);  // once the adapter answers, the same name opens
    EXPECT_EQ(can.open("0"), 0);
    EXPECT_EQ(can.close(), 1);
}

INSTANTIATE_TEST_SUITE_P(Steps, CandleCanOpenFaults,
                         ::testing::Values(Step::OpenDevice, Step::BitTiming, Step::Timestamp, Step::Start));

TEST_F(CandleCanTest, CloseStopsAndReleasesOnlyAnOpenAdapterEvenIfStopFails) {
    Adapter a = backend_->add_adapter();
    CandleCan can;
    EXPECT_EQ(can.close(), 0);
    ASSERT_EQ(names_of(can).size(), 1u);
    EXPECT_EQ(can.close(), 0);
    EXPECT_EQ(a->control_log().size(), 3u);

    ASSERT_EQ(can.open("0"), 0);
    a->clear_control_log();
    EXPECT_EQ(can.close(), 1);
    EXPECT_FALSE(can.is_open());
    EXPECT_FALSE(a->is_open());
    EXPECT_FALSE(a->channel_started());
    auto log = a->control_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].request, 2);
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>(8, 0)));
    EXPECT_EQ(can.close(), 0);

    ASSERT_EQ(can.open("0"), 0);  // again from the same list
    a->fail_request(2);
    ConsoleCapture console;
    EXPECT_EQ(can.close(), 0);
    EXPECT_FALSE(can.is_open());
    EXPECT_FALSE(a->is_open());
    EXPECT_EQ(console.lines_starting("[WARN] CAN adapter did not stop").size(), 1u);
    a->fail_request(2, false);
    ASSERT_EQ(names_of(can).size(), 1u);
    EXPECT_EQ(can.open("0"), 0);
    EXPECT_EQ(can.close(), 1);
}

TEST_F(CandleCanTest, SendPassesIdDlcAndAllDataBytes) {
    Adapter a = backend_->add_adapter();
    CandleCan can;
    CanFrame f = make_can_frame(0x123, 3, {1, 2, 3, 0, 0, 0, 0, 9});
    EXPECT_EQ(can.send(f), -1);
    ASSERT_EQ(names_of(can).size(), 1u);
    ASSERT_EQ(can.open("0"), 0);
    EXPECT_EQ(can.send(f), 1);
    CanFrame ext = make_can_frame(0x80001234, 8, {8, 7, 6, 5, 4, 3, 2, 1});
    EXPECT_EQ(can.send(ext), 1);
    ASSERT_TRUE(a->wait_for_host_frames(2, 1000));
    const auto sent = a->host_frames();
    EXPECT_EQ(std::make_tuple(sent[0].echo_id, sent[0].channel, sent[0].flags, sent[0].reserved),
              std::make_tuple(0u, uint8_t(0), uint8_t(0), uint8_t(0)));
    EXPECT_EQ(std::make_tuple(sent[0].frame.id, sent[0].frame.dlc, sent[0].frame.data[2], sent[0].frame.data[7]),
              std::make_tuple(0x123u, uint8_t(3), uint8_t(3), uint8_t(9)));
    EXPECT_EQ(sent[1].frame.id, 0x80001234u);

    a->set_bulk_write_failure(true);
    EXPECT_EQ(can.send(f), -1);
    a->set_bulk_write_failure(false);
    EXPECT_EQ(can.send(f), 1);
    EXPECT_EQ(can.close(), 1);
    EXPECT_EQ(can.send(f), -1);
}

TEST_F(CandleCanTest, ReceiveDeliversBusFramesAndEchoes) {
    Adapter a = backend_->add_adapter();
    CandleCan can;
    CanFrame f = make_can_frame(0x55, 1, {0x55});
    EXPECT_EQ(can.receive(f), 0);
    ASSERT_EQ(names_of(can).size(), 1u);
    ASSERT_EQ(can.open("0"), 0);

    // No traffic: 0 after about the 1 ms read time-out, the frame left alone.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(can.receive(f), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    EXPECT_EQ(f.id, 0x55u);
    EXPECT_EQ(f.data[0], 0x55);

    ASSERT_TRUE(a->deliver(make_can_frame(0x80000011, 6, {1, 2, 3, 4, 5, 6, 7, 8})));
    ASSERT_EQ(receive_within(can, f), 1);
    EXPECT_EQ(f.id, 0x80000011u) << "all 32 bits of the id";
    EXPECT_EQ(f.dlc, 6);
    EXPECT_EQ(f.data[7], 8);

    CanFrame out = make_can_frame(0x0A1, 2, {0xAB, 0xCD});
    ASSERT_EQ(can.send(out), 1);
    ASSERT_EQ(receive_within(can, f), 1);
    EXPECT_EQ(f.id, 0x0A1u);
    EXPECT_EQ(f.data[1], 0xCD);

    ASSERT_TRUE(a->deliver(make_can_frame(0x20000004, 8, {})));
    ASSERT_EQ(receive_within(can, f), 1);
    EXPECT_EQ(f.id, 0x20000004u);
    EXPECT_EQ(can.close(), 1);
    EXPECT_EQ(can.receive(f), 0);
}

TEST_F(CandleCanTest, OpenAdapterStaysValidAcrossScans) {
    Adapter a = backend_->add_adapter();
    Adapter b = backend_->add_adapter();
    CandleCan can;
    ASSERT_EQ(names_of(can).size(), 2u);
    ASSERT_EQ(can.open("0"), 0);
    EXPECT_EQ(can.open("1"), 1) << "opening while open keeps the first adapter";
    EXPECT_FALSE(b->is_open());
    for (int i = 0; i < 50; ++i) {
        // The open adapter is in use, so only the other one is listed.
        ASSERT_EQ(names_of(can), (std::vector<std::string>{"0"}));
        CanFrame out = make_can_frame(0x100 + i, 1, {static_cast<uint8_t>(i)});
        ASSERT_EQ(can.send(out), 1);
        CanFrame in;
        ASSERT_EQ(receive_within(can, in), 1);
        EXPECT_EQ(in.id, static_cast<uint32_t>(0x100 + i));
    }
    EXPECT_TRUE(a->is_open());
    EXPECT_FALSE(b->is_open());
    EXPECT_EQ(can.close(), 1);
    // Position 0 of the latest scan is the other adapter now.
    EXPECT_EQ(can.open("0"), 0);
    EXPECT_TRUE(b->is_open());
    EXPECT_EQ(can.close(), 1);

    // Repeated scan/open/close cycles leak no handle (the fixture counts them).
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(names_of(can).size(), 2u);
        ASSERT_EQ(can.open(std::to_string(i % 2)), 0);
        EXPECT_EQ(can.close(), 1);
    }
}

TEST_F(CandleCanTest, DestructorLogsAndReleasesAnOpenAdapter) {
    Adapter a = backend_->add_adapter();
    ConsoleCapture console;
    {
        CandleCan can;
        ASSERT_EQ(names_of(can).size(), 1u);
        ASSERT_EQ(can.open("0"), 0);
    }
    EXPECT_TRUE(console.contains("[INFO] Destruct CandleCan\n"));
    EXPECT_FALSE(a->is_open());
    EXPECT_FALSE(a->channel_started());
}

TEST(CandleCanLibusb, ScanOnThisMachineFindsNoAdapter) {
    EmulatedUsbBackend::uninstall();  // the real USB layer
    candle_list* list = nullptr;
    EXPECT_TRUE(candle_scan_devices(&list));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(list->last_error, kCandleErrNone);
    candle_free_device_list(list);
    CandleCan can;
    EXPECT_TRUE(names_of(can).empty());
    EXPECT_EQ(can.open("0"), 1);
}

}  // namespace
