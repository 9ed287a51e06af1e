// The USB-CAN link (CandleCan over the gs_usb library and the platform's USB
// layer) against emulated adapters that behave as adapters in the field.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "can_frame_maker.h"
#include "candle_can.h"
#include "console_capture.h"
#include "emulated_usb_backend.h"
#include "kernel_object.h"
#include "wait_until.h"
#include "win_api.h"

using hv::usb::WinCall;
using Options = EmulatedGsUsbAdapter::Options;

namespace {

CanFrame frame(uint32_t id, uint8_t dlc = 8, uint8_t first = 0) { return make_can_frame(id, dlc, {first}); }

class CandleCanTest : public ::testing::Test {
protected:
    void TearDown() override {
        can_.reset();
        EXPECT_EQ(hv::win::live_handle_count(), handles_) << "handles left open";
        EmulatedUsbBackend::uninstall();
    }
    std::vector<std::string> scan() {
        std::vector<std::string> names;
        can_->scan_devices(names);
        return names;
    }
    std::shared_ptr<EmulatedGsUsbAdapter> open_one() {
        auto a = backend_->add_adapter();
        EXPECT_EQ(scan(), std::vector<std::string>{"0"});
        EXPECT_EQ(can_->open("0"), 0);
        return a;
    }
    // Reads until `want` frames came or `ms` passed.
    std::vector<CanFrame> receive(std::size_t want, int ms = 1000) {
        std::vector<CanFrame> got;
        CanFrame f;
        wait_until([&] {
            while (can_->receive(f) == 1) got.push_back(f);
            return got.size() >= want;
        }, ms);
        return got;
    }
    std::size_t handles_ = hv::win::live_handle_count();
    std::shared_ptr<EmulatedUsbBackend> backend_ = EmulatedUsbBackend::install();
    std::unique_ptr<CandleCan> can_ = std::make_unique<CandleCan>();
};

// Scan, open, a command and the motor's reply, close: the bus must run at exactly
// 1 Mbit/s, and an adapter the kernel holds is taken at open and given back at close.
TEST_F(CandleCanTest, AdaptersInTheFieldRunTheBusAtOneMegabit) {
    struct Row {
        Options options;  // clock, channels, old firmware, kernel driver
        bool opens;
    } rows[] = {{{48000000, 1, false, false}, true}, {{48000000, 1, true, false}, true},
                {{40000000, 2, false, true}, true}, {{12500000, 1, false, false}, false}};
    for (const Row& row : rows) {
        const Options& o = row.options;
        SCOPED_TRACE(o.can_clock_hz);
        ConsoleCapture console;
        backend_ = EmulatedUsbBackend::install();
        auto a = backend_->add_adapter(o);
        // The motor acknowledges every command; the listener runs on the adapter's own thread.
        a->set_bus_listener([bus = a.get()](const CanFrame& f) { bus->deliver(frame(f.id | 0x10, 1, 0)); });
        ASSERT_EQ(scan(), std::vector<std::string>{"0"});
        EXPECT_EQ(a->kernel_driver_attached(), o.kernel_driver);
        ASSERT_EQ(can_->open("0"), row.opens ? 0 : 1);
        EXPECT_EQ(a->is_open(), row.opens);
        if (!row.opens) {
            EXPECT_TRUE(console.contains(std::to_string(o.can_clock_hz) + " Hz"));
            continue;
        }
        EXPECT_FALSE(a->kernel_driver_attached());
        EXPECT_EQ(a->bus_bitrate(), 1000000u);
        EXPECT_EQ(a->sample_point_permille(), 875u);
        CanFrame enable = frame(2 << 5 | 1, 0);
        ASSERT_EQ(can_->send(enable), 1);
        std::vector<CanFrame> got = receive(2);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].id, enable.id);  // the echo first
        EXPECT_EQ(got[1].id, (2u << 5) | 0x10 | 1);
        EXPECT_EQ(can_->close(), 1);
        EXPECT_FALSE(a->is_open());
        EXPECT_EQ(a->kernel_driver_attached(), o.kernel_driver);
    }
}

// More frames than read slots keep their order; error frames are reported; reads
// that cannot be queued again are retried.
TEST_F(CandleCanTest, FramesKeepTheirOrderAndReadSlotsRecover) {
    ConsoleCapture console;
    auto a = open_one();
    for (uint8_t i = 0; i < 100; ++i) a->deliver(frame(0x10 | i, 8, i));
    std::vector<CanFrame> got = receive(100);
    ASSERT_EQ(got.size(), 100u);
    for (uint8_t i = 0; i < 100; ++i) EXPECT_EQ(got[i].data[0], i) << int(i);
    // Adapter error frames are reported, never delivered.
    a->deliver(make_can_frame(0x20000004u, 8, {0, 0x08}));  // error-warning
    for (int i = 0; i < 50; ++i) a->deliver(frame(0x20000030u));  // protocol + no-ACK, also reply flag bit 4
    a->deliver(frame(0x51));
    got = receive(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 0x51u);
    EXPECT_LE(console.lines_starting("[WARN] CAN error frame").size(), 1u);
    backend_->fail_call(WinCall::WinUsb_ReadPipe, hv::win::ERROR_GEN_FAILURE, 40);
    for (uint8_t i = 0; i < 60; ++i) {
        a->deliver(frame(0x50, 8, i));
        got = receive(1);
        ASSERT_EQ(got.size(), 1u) << int(i);
        EXPECT_EQ(got[0].data[0], i);
    }
}

// Nothing acknowledges: the adapter echoes 3 frames, holds 64, then NAKs. Sends
// must fail rather than block, with one warning.
TEST_F(CandleCanTest, SilentBusFailsSendsWithOneWarningAndRecovers) {
    ConsoleCapture console;
    auto a = open_one();
    a->set_acknowledged(false);
    int sent = 0;
    CanFrame f = frame(0x41);
    for (int i = 0; i < 100; ++i) sent += can_->send(f) == 1;
    EXPECT_EQ(sent, 67);
    EXPECT_EQ(a->timed_out_writes(), 1);  // later sends refused at once, not after another time-out
    EXPECT_TRUE(can_->is_open());
    EXPECT_EQ(receive(3).size(), 3u);  // the echoes of the mailboxes
    EXPECT_EQ(console.lines_starting("[WARN] CAN adapter does not take frames").size(), 1u);
    // Two threads meet the NAKing endpoint at once: their writes still go one at a time.
    QTest::qWait(150);
    std::thread other([&] {
        CanFrame g = frame(0x41);
        can_->send(g);
    });
    can_->send(f);
    other.join();
    EXPECT_EQ(a->most_writes_at_once(), 1);
}

}  // namespace
