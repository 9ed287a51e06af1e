// The USB-CAN link (CandleCan over the gs_usb library and the platform's USB
// layer) against emulated adapters that behave as adapters in the field.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "can_frame_maker.h"
#include "candle_can.h"
#include "candle_library.h"
#include "console_capture.h"
#include "device_scanner.h"
#include "emulated_usb_test.h"
#include "kernel_object.h"
#include "wait_until.h"
#include "win_api.h"

using hv::usb::UsbStatus;
using hv::usb::WinCall;
using Adapter = std::shared_ptr<EmulatedGsUsbAdapter>;
using Names = std::vector<std::string>;
using Options = EmulatedGsUsbAdapter::Options;

namespace {

CanFrame frame(uint32_t id, uint8_t dlc = 8, uint8_t first = 0) { return make_can_frame(id, dlc, {first}); }

class CandleCanTest : public EmulatedUsbTest {
protected:
    void TearDown() override {
        can_.reset();
        EmulatedUsbTest::TearDown();
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
// that cannot be queued again are retried, and a link none of whose reads can be
// queued any more closes.
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
    // Reads that cannot be queued again are retried; an adapter none of whose reads
    // can be queued any more closes the link and says so.
    struct Row {
        int failing;  // queueings of a read that fail
        bool stays_open;
    } rows[] = {{40, true}, {1000, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.failing);
        ConsoleCapture closing;
        can_ = std::make_unique<CandleCan>();
        backend_ = EmulatedUsbBackend::install();
        a = open_one();
        backend_->fail_call(WinCall::WinUsb_ReadPipe, hv::win::ERROR_GEN_FAILURE, row.failing);
        for (uint8_t i = 0; i < 60 && can_->is_open(); ++i) {
            a->deliver(frame(0x50, 8, i));
            got = receive(1);
            ASSERT_EQ(got.size(), 1u) << int(i);
            EXPECT_EQ(got[0].data[0], i);
        }
        EXPECT_EQ(can_->is_open(), row.stays_open);
        EXPECT_EQ(closing.lines_starting("[ERROR] CAN adapter takes no reads any more").size(), row.stays_open ? 0u : 1u);
    }
}

// Frames that went out on the bus, in order.
struct BusLog {
    void listen(EmulatedGsUsbAdapter& a) {
        a.set_bus_listener([this](const CanFrame& f) {
            std::lock_guard<std::mutex> lock(mutex);
            ids.push_back(f.id);
        });
    }
    std::vector<uint32_t> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return ids;
    }
    std::mutex mutex;
    std::vector<uint32_t> ids;
};

std::vector<std::string> after(std::vector<std::string> all, std::size_t skip) {
    return {all.begin() + std::min(skip, all.size()), all.end()};
}

// Frames the link reads until `done`, as its receive thread does, on a thread of its own.
struct Reader {
    Reader(CandleCan& can) : thread([&can, this] {
        CanFrame f;
        while (!done) can.receive(f);
    }) {}
    ~Reader() { stop(); }
    void stop() { done = true, thread.joinable() ? thread.join() : void(); }
    std::atomic<bool> done{false};
    std::thread thread;
};

// Nothing acknowledges: the adapter echoes the 3 frames in its mailboxes, holds 64
// more, then NAKs. Whichever sign comes first (a write not taken while the echoes
// are overdue, echoes that stop, a no-ACK error frame), the channel is reset so that
// nothing queued before reaches the motor later, and the next command is taken and
// goes out when the bus answers.
TEST_F(CandleCanTest, SilentBusResetsTheChannelAndEveryCommandStillGoesOut) {
    enum Cause { kWriteNotTaken, kEchoesStop, kNoAckFrame };
    for (Cause cause : {kWriteNotTaken, kEchoesStop, kNoAckFrame}) {
        SCOPED_TRACE(cause);
        ConsoleCapture console;
        can_ = std::make_unique<CandleCan>();
        backend_ = EmulatedUsbBackend::install();
        auto a = open_one();
        BusLog bus;
        bus.listen(*a);
        const std::size_t opening = a->channel_requests().size();
        a->set_acknowledged(false);
        CanFrame motion = frame(4 << 5 | 1);
        if (cause == kWriteNotTaken) {
            Reader reader(*can_);
            int sent = 0;
            while (sent < 100 && can_->send(motion) == 1) ++sent;
            EXPECT_EQ(sent, 67);
            EXPECT_GE(a->timed_out_writes(), 1);
            EXPECT_TRUE(wait_until([&] { return a->channel_requests().size() > opening; }, 1000));
            EXPECT_TRUE(can_->is_open());
        } else {
            for (int i = 0; i < (cause == kEchoesStop ? 10 : 2); ++i) ASSERT_EQ(can_->send(motion), 1);
            if (cause == kNoAckFrame) a->deliver(frame(0x20000020u));
            CanFrame f;
            wait_until([&] {
                while (can_->receive(f) == 1) {
                }
                return a->channel_requests().size() > opening;
            }, 1000);
        }
        EXPECT_EQ(after(a->channel_requests(), opening), (std::vector<std::string>{"reset", "timing", "start"}));
        EXPECT_EQ(console.lines_starting("[WARN] CAN bus does not answer").size(), 1u);
        CanFrame disable = frame(1 << 5 | 1, 0);
        ASSERT_EQ(can_->send(disable), 1);
        a->set_acknowledged(true);
        EXPECT_TRUE(wait_until([&] { return !bus.seen().empty(); }, 1000));
        EXPECT_EQ(bus.seen(), std::vector<uint32_t>{disable.id});  // nothing from before the reset
        // Recovered: a new frame goes out and its echo comes back.
        CanFrame next = frame(0x42);
        EXPECT_TRUE(wait_until([&] { return can_->send(next) == 1; }, 1000));
        EXPECT_TRUE(wait_until([&] { return bus.seen().size() == 2; }, 1000));
        EXPECT_EQ(bus.seen(), (std::vector<uint32_t>{disable.id, next.id}));
        CanFrame in;
        bool echoed = false;
        EXPECT_TRUE(wait_until([&] {
            while (can_->receive(in) == 1) echoed |= in.id == next.id;
            return echoed;
        }, 1000));
        a->set_bus_listener(nullptr);
    }
}

// Two threads meet the NAKing endpoint at once: their writes still go one at a time.
TEST_F(CandleCanTest, WritesToASilentBusGoOneAtATime) {
    auto a = open_one();
    std::mutex bus_mutex;
    std::vector<uint32_t> on_bus;
    a->set_bus_listener([&](const CanFrame& f) {
        std::lock_guard<std::mutex> lock(bus_mutex);
        on_bus.push_back(f.id);
    });
    const auto seen_on_bus = [&](uint32_t id) {
        std::lock_guard<std::mutex> lock(bus_mutex);
        return std::count(on_bus.begin(), on_bus.end(), id) > 0;
    };
    a->set_acknowledged(false);
    Reader reader(*can_);
    std::thread other([&] {
        CanFrame g = frame(0x41);
        for (int i = 0; i < 150; ++i) can_->send(g);
    });
    CanFrame f = frame(0x41);
    for (int i = 0; i < 150; ++i) can_->send(f);
    other.join();
    reader.stop();
    EXPECT_GE(a->timed_out_writes(), 1);
    EXPECT_EQ(a->most_writes_at_once(), 1);
    EXPECT_FALSE(seen_on_bus(0x41));

    // The bus answers again: a new frame goes out and its echo comes back.
    a->set_acknowledged(true);
    CanFrame after = frame(0x42);
    EXPECT_TRUE(wait_until([&] { return can_->send(after) == 1; }, 1000));
    EXPECT_TRUE(wait_until([&] { return seen_on_bus(0x42); }, 1000));
    CanFrame in;
    bool echoed = false;
    EXPECT_TRUE(wait_until([&] {
        while (can_->receive(in) == 1) echoed |= in.id == 0x42;
        return echoed;
    }, 1000));
    a->set_bus_listener(nullptr);
}

// A host that did not run for a while has seen no silence: echoes count as
// overdue only by the time its reads found the adapter empty. The adapter held
// the echo back meanwhile, as the host's own completion path does until it runs.
// The host stalls between reads, or inside a read that then finds nothing.
TEST_F(CandleCanTest, AStalledHostIsNoSilentBus) {
    for (const bool inside_read : {false, true}) {
        SCOPED_TRACE(inside_read ? "inside a read" : "between reads");
        ConsoleCapture console;
        can_ = std::make_unique<CandleCan>();
        backend_ = EmulatedUsbBackend::install();
        auto a = open_one();
        const std::size_t opening = a->channel_requests().size();
        a->hold_transfers_to_host(true);
        CanFrame motion = frame(4 << 5 | 1);
        ASSERT_EQ(can_->send(motion), 1);
        if (inside_read)
            backend_->stall_call(WinCall::WaitForMultipleObjects, 2 * CandleCan::kEchoTimeout);
        else
            std::this_thread::sleep_for(2 * CandleCan::kEchoTimeout);
        CanFrame f;
        EXPECT_EQ(can_->receive(f), 0);
        a->hold_transfers_to_host(false);
        const std::vector<CanFrame> got = receive(1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].id, motion.id);
        EXPECT_EQ(a->channel_requests().size(), opening);
        EXPECT_TRUE(console.lines_starting("[WARN] CAN bus does not answer").empty());
    }
}

TEST_F(CandleCanTest, ScanNamesTheFreeAdaptersByPosition) {
    EXPECT_TRUE(scan().empty());
    Adapter busy = backend_->add_adapter();
    Adapter free_one = backend_->add_adapter();
    busy->set_open_failure(UsbStatus::busy);
    EXPECT_EQ(scan(), Names{"0"});
    EXPECT_EQ(can_->open("0"), 0);
    EXPECT_TRUE(free_one->is_open());
    EXPECT_FALSE(busy->is_open());
    EXPECT_EQ(can_->close(), 1);

    busy->set_open_failure(UsbStatus::ok);
    EXPECT_EQ(scan(), (Names{"0", "1"}));
    // Names are appended to what the caller passes.
    Names names{"x"};
    can_->scan_devices(names);
    EXPECT_EQ(names, (Names{"x", "0", "1"}));
}

TEST_F(CandleCanTest, BadNamesOpenNothing) {
    Adapter a = backend_->add_adapter();
    ASSERT_EQ(scan().size(), 1u);
    ConsoleCapture console;
    for (const char* name : {"", "7", "1", "abc", "-1", "x0", "99999999999999999999999"}) {
        EXPECT_EQ(can_->open(name), 1) << '"' << name << '"';
        EXPECT_FALSE(can_->is_open());
    }
    EXPECT_FALSE(a->is_open());
    EXPECT_EQ(a->controls().size(), 3u) << "only the scan's test open talked to the adapter";
    EXPECT_TRUE(console.contains("[WARN] No CAN adapter \"7\""));
    // Leading blanks, a sign and trailing text are accepted.
    for (const char* name : {" +0 (candleLight)", "-0"}) {
        EXPECT_EQ(can_->open(name), 0) << '"' << name << '"';
        EXPECT_TRUE(can_->is_open());
        EXPECT_EQ(can_->close(), 1);
    }
}

TEST_F(CandleCanTest, OpenSetsOneMegabitAndStartsChannelZero) {
    Options options;
    options.interface_number = 1;
    Adapter a = backend_->add_adapter(options);
    ASSERT_EQ(scan().size(), 1u);
    a->clear_controls();
    ASSERT_EQ(can_->open("0"), 0);
    EXPECT_TRUE(can_->is_open());
    EXPECT_TRUE(a->started());
    EXPECT_EQ(a->pending_reads(), 30);
    // The device's open (host format, config, limits), then the reset of channel 0
    // (a killed session may have left it running), its bit timing, the timestamp
    // of channel 0 and the start of channel 0.
    const auto log = a->controls();
    std::vector<std::vector<unsigned>> asked;
    for (const auto& c : log) asked.push_back({c.type, c.request, c.value, c.index});
    EXPECT_EQ(asked, (std::vector<std::vector<unsigned>>{{0x41, 0, 1, 1},
                                                         {0xC1, 5, 1, 1},
                                                         {0xC1, 4, 0, 0},
                                                         {0x41, 2, 0, 1},
                                                         {0x41, 1, 0, 0},
                                                         {0xC1, 6, 0, 1},
                                                         {0x41, 2, 0, 1}}));
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[3].data, std::vector<uint8_t>(8, 0));
    EXPECT_EQ(log[4].data, (std::vector<uint8_t>{1, 0, 0, 0, 12, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0}));
    EXPECT_EQ(log[6].data, (std::vector<uint8_t>{1, 0, 0, 0, 0x10, 0, 0, 0}));
    EXPECT_EQ(can_->close(), 1);
}

// A failing step (host format stands for the device's open) leaves the link
// closed and the adapter released; once the adapter answers, the name opens.
TEST_F(CandleCanTest, FailedOpenStepLeavesTheLinkClosedAndReopenable) {
    Adapter a = backend_->add_adapter();
    ASSERT_EQ(scan().size(), 1u);
    for (uint8_t request : {0, 1, 6, 2}) {
        SCOPED_TRACE(int(request));
        a->fail_request(request);
        ConsoleCapture console;
        EXPECT_EQ(can_->open("0"), 1);
        EXPECT_FALSE(can_->is_open());
        EXPECT_FALSE(a->is_open());
        EXPECT_EQ(a->pending_reads(), 0);
        EXPECT_EQ(console.lines_starting("[ERROR] CAN adapter 0 not opened").size(), 1u);
        CanFrame f = frame(1, 1, 1);
        EXPECT_EQ(can_->send(f), -1);
        EXPECT_EQ(can_->receive(f), 0);
        EXPECT_EQ(can_->close(), 0);
        a->fail_request(request, false);
        EXPECT_EQ(can_->open("0"), 0);
        EXPECT_EQ(can_->close(), 1);
    }
}

TEST_F(CandleCanTest, CloseStopsAndReleasesOnlyAnOpenAdapter) {
    Adapter a = backend_->add_adapter();
    EXPECT_EQ(can_->close(), 0);
    ASSERT_EQ(scan().size(), 1u);
    EXPECT_EQ(can_->close(), 0);
    EXPECT_EQ(a->controls().size(), 3u);

    ASSERT_EQ(can_->open("0"), 0);
    a->clear_controls();
    EXPECT_EQ(can_->close(), 1);
    EXPECT_FALSE(can_->is_open());
    EXPECT_FALSE(a->is_open());
    EXPECT_FALSE(a->started());
    const auto log = a->controls();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].request, 2);
    EXPECT_EQ(log[0].data, std::vector<uint8_t>(8, 0));
    EXPECT_EQ(can_->close(), 0);
    // Opened again from the same list.
    EXPECT_EQ(can_->open("0"), 0);
    EXPECT_EQ(can_->close(), 1);
}

TEST_F(CandleCanTest, FailedStopStillReleasesTheAdapter) {
    Adapter a = open_one();
    a->fail_request(2);
    ConsoleCapture console;
    EXPECT_EQ(can_->close(), 0);
    EXPECT_FALSE(can_->is_open());
    EXPECT_FALSE(a->is_open());
    EXPECT_EQ(console.lines_starting("[WARN] CAN adapter did not stop").size(), 1u);
    a->fail_request(2, false);
    ASSERT_EQ(scan().size(), 1u);
    EXPECT_EQ(can_->open("0"), 0);
    EXPECT_EQ(can_->close(), 1);
}

TEST_F(CandleCanTest, OpeningWhileOpenKeepsTheFirstAdapter) {
    Adapter a = backend_->add_adapter();
    Adapter b = backend_->add_adapter();
    ASSERT_EQ(scan().size(), 2u);
    ASSERT_EQ(can_->open("0"), 0);
    EXPECT_EQ(can_->open("1"), 1);
    EXPECT_TRUE(can_->is_open());
    EXPECT_TRUE(a->is_open());
    EXPECT_FALSE(b->is_open());
    EXPECT_EQ(can_->close(), 1);
}

// The 32-bit id, the DLC and all eight bytes go out; echo id, channel, flags and
// reserved byte are 0. A write the adapter did not take fails that send only.
TEST_F(CandleCanTest, SendPassesIdDlcAndAllDataBytes) {
    CanFrame f = make_can_frame(0x123, 3, {1, 2, 3, 0, 0, 0, 0, 9});
    EXPECT_EQ(can_->send(f), -1);
    Adapter a = open_one();
    EXPECT_EQ(can_->send(f), 1);
    CanFrame ext = make_can_frame(0x80001234, 8, {8, 7, 6, 5, 4, 3, 2, 1});
    EXPECT_EQ(can_->send(ext), 1);
    using Bytes = std::vector<uint8_t>;
    EXPECT_EQ(a->host_writes(),
              (std::vector<Bytes>{{0, 0, 0, 0, 0x23, 1, 0, 0, 3, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 9, 0, 0, 0, 0},
                                  {0, 0, 0, 0, 0x34, 0x12, 0, 0x80, 8, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0, 0, 0}}));

    backend_->fail_call(WinCall::WinUsb_WritePipe, hv::win::ERROR_GEN_FAILURE);
    EXPECT_EQ(can_->send(f), -1);
    EXPECT_EQ(can_->send(f), 1) << "the next frame is tried at once";
    EXPECT_EQ(a->host_writes().size(), 3u);
    EXPECT_EQ(can_->close(), 1);
    EXPECT_EQ(can_->send(f), -1);
}

TEST_F(CandleCanTest, ReceiveDeliversBusFramesAndEchoes) {
    CanFrame f = make_can_frame(0x55, 1, {0x55});
    EXPECT_EQ(can_->receive(f), 0);
    Adapter a = open_one();
    // No traffic: 0 after about the 1 ms read time-out, the frame left alone.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(can_->receive(f), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    EXPECT_EQ(f.id, 0x55u);
    EXPECT_EQ(f.data[0], 0x55);

    a->deliver(make_can_frame(0x80000011, 6, {1, 2, 3, 4, 5, 6, 7, 8}));
    std::vector<CanFrame> got = receive(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 0x80000011u) << "all 32 bits of the id";
    EXPECT_EQ(got[0].dlc, 6);
    EXPECT_EQ(got[0].data[7], 8);

    CanFrame out = make_can_frame(0x0A1, 2, {0xAB, 0xCD});
    ASSERT_EQ(can_->send(out), 1);
    got = receive(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 0x0A1u);
    EXPECT_EQ(got[0].data[1], 0xCD);
    EXPECT_EQ(can_->close(), 1);
    EXPECT_EQ(can_->receive(f), 0);
}

TEST_F(CandleCanTest, OpenAdapterStaysValidAcrossScans) {
    Adapter a = backend_->add_adapter();
    Adapter b = backend_->add_adapter();
    ASSERT_EQ(scan().size(), 2u);
    ASSERT_EQ(can_->open("0"), 0);
    for (int i = 0; i < 50; ++i) {
        // The open adapter is in use, so only the other one is listed.
        ASSERT_EQ(scan(), Names{"0"});
        CanFrame out = frame(0x100 + i, 1, static_cast<uint8_t>(i));
        ASSERT_EQ(can_->send(out), 1);
        std::vector<CanFrame> got = receive(1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].id, static_cast<uint32_t>(0x100 + i));
    }
    EXPECT_TRUE(a->is_open());
    EXPECT_FALSE(b->is_open());
    EXPECT_EQ(can_->close(), 1);
    // Position 0 of the latest scan is the other adapter now.
    EXPECT_EQ(can_->open("0"), 0);
    EXPECT_TRUE(b->is_open());
    EXPECT_EQ(can_->close(), 1);
}

TEST_F(CandleCanTest, RepeatedScanOpenCloseCyclesLeakNoHandles) {
    Adapter a = backend_->add_adapter();
    Adapter b = backend_->add_adapter();
    const std::size_t before = hv::win::live_handle_count();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(scan().size(), 2u);
        ASSERT_EQ(can_->open(std::to_string(i % 2)), 0);
        EXPECT_EQ(can_->close(), 1);
    }
    EXPECT_EQ(hv::win::live_handle_count(), before);
}

// Freeing an open adapter's record would leave its reads pending into freed memory.
TEST_F(CandleCanTest, DestroyingTheLinkReleasesAnOpenAdapter) {
    Adapter a = open_one();
    can_.reset();
    EXPECT_FALSE(a->is_open());
    EXPECT_FALSE(a->started());
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
    std::vector<std::string> names;
    can.scan_devices(names);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(can.open("0"), 1);
}

// A tool that ended with the link open left the channel started and frames queued:
// the next open resets the channel first, so strict firmware takes the bit timing
// and none of the old frames reaches the motor.
TEST_F(CandleCanTest, OpenResetsAChannelLeftRunning) {
    for (bool strict : {false, true}) {
        SCOPED_TRACE(strict);
        Options o;
        o.strict_timing = strict;
        backend_ = EmulatedUsbBackend::install();
        auto a = backend_->add_adapter(o);
        {  // the killed session: started, frames held on a silent bus, no reset
            candle_list* list = nullptr;
            candle_device* old = nullptr;
            ASSERT_TRUE(candle_scan_devices(&list) && candle_get_device(list, 0, &old));
            candle_free_device_list(list);
            ASSERT_TRUE(candle_open_device(old) && candle_set_bitrate(old, 0, 1000000) &&
                        candle_start_channel(old, 0, 0));
            a->set_acknowledged(false);
            candle_host_frame stale{};
            stale.can_id = 4 << 5 | 1;
            stale.can_dlc = 8;
            for (int i = 0; i < 5; ++i) ASSERT_TRUE(candle_send_frame(old, 0, &stale));
            candle_close_device(old);
            candle_free_device(old);
        }
        BusLog bus;
        bus.listen(*a);
        ASSERT_EQ(scan(), std::vector<std::string>{"0"});
        ASSERT_EQ(can_->open("0"), 0);
        a->set_acknowledged(true);
        CanFrame enable = frame(2 << 5 | 1, 0);
        ASSERT_EQ(can_->send(enable), 1);
        EXPECT_TRUE(wait_until([&] { return !bus.seen().empty(); }, 1000));
        EXPECT_EQ(bus.seen(), std::vector<uint32_t>{enable.id});
        a->set_bus_listener(nullptr);
        can_->close();
    }
}

// The bus-state line ends on the latest state, however fast the states change.
TEST_F(CandleCanTest, BusStateLineEndsOnTheLatestState) {
    const CanFrame warning = make_can_frame(0x20000004u, 8, {0, 0x08, 0, 0, 0, 0, 96});
    const CanFrame passive = make_can_frame(0x20000004u, 8, {0, 0x20, 0, 0, 0, 0, 128});
    const CanFrame bus_off = make_can_frame(0x20000040u, 8, {0, 0, 0, 0, 0, 0, 255});
    const CanFrame restarted = make_can_frame(0x20000100u, 8, {});
    struct Row {
        std::vector<std::vector<CanFrame>> bursts;  // 100 ms apart
        std::vector<std::string> shown;  // states that must show; the last is the last line
    } rows[] = {
        {{{warning, passive}}, {"error-passive"}},
        {{{warning, passive, bus_off}}, {"bus-off"}},
        {{{bus_off}, {restarted, warning, passive, bus_off}}, {"bus-off"}},
        {{{warning}, {passive, bus_off, restarted}}, {"error-warning", "restarted"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.shown.back());
        ConsoleCapture console;
        can_ = std::make_unique<CandleCan>();
        backend_ = EmulatedUsbBackend::install();
        auto a = open_one();
        CanFrame f;
        for (const auto& burst : row.bursts) {
            for (const CanFrame& state : burst) a->deliver(state);
            wait_until([&] { return can_->receive(f) == 1 && false; }, 100);
        }
        auto last_line = [&] {
            auto lines = console.lines_starting("[WARN] CAN bus state: ");
            return lines.empty() ? std::string() : lines.back();
        };
        EXPECT_TRUE(wait_until([&] {
            can_->receive(f);
            return last_line().find(row.shown.back()) != std::string::npos;
        }, 1000)) << last_line();
        for (const std::string& state : row.shown) EXPECT_TRUE(console.contains("CAN bus state: " + state)) << state;
    }
}

// A pulled adapter is named once, as unplugged, and nothing else is said of it
// (also when it goes as a read completes, so that read cannot be queued again);
// the link closes. The next adapter opened is read by the same receive thread and
// stays open: the pulled one's error does not stick to that thread.
TEST_F(CandleCanTest, UnpluggedAdapterIsNamedOnce) {
    for (const bool as_read_completes : {false, true}) {
        SCOPED_TRACE(as_read_completes);
        ConsoleCapture console;
        can_ = std::make_unique<CandleCan>();
        backend_ = EmulatedUsbBackend::install();
        auto a = open_one();
        if (as_read_completes) {
            a->unplug_after_next_read();
            a->deliver(frame(0x51));
        } else {
            a->unplug();
        }
        ASSERT_TRUE(wait_until([&] { return !a->plugged(); }, 1000));
        CanFrame f = frame(0x41);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(can_->send(f), -1);
        std::atomic<bool> reopened{false};
        std::thread reader([&] {  // as the link's receive thread, which serves on after the loss
            CanFrame r;
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (can_->is_open() && std::chrono::steady_clock::now() < give_up) can_->receive(r);
            while (!reopened && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
            for (int i = 0; i < 5; ++i) can_->receive(r);
        });
        EXPECT_TRUE(wait_until([&] { return !can_->is_open(); }, 1000));
        for (int i = 0; i < 5; ++i) can_->send(f);
        EXPECT_EQ(console.lines_starting("[ERROR] CAN adapter unplugged").size(), 1u);
        EXPECT_FALSE(console.contains("acknowledg"));
        EXPECT_FALSE(console.contains("(error "));
        EXPECT_TRUE(console.lines_starting("[WARN] CAN adapter").empty());

        open_one();
        reopened = true;
        reader.join();
        EXPECT_TRUE(can_->is_open());
        EXPECT_EQ(console.lines_starting("[ERROR] CAN adapter unplugged").size(), 1u);
    }
}

// An adapter the user may not open, or whose kernel CAN interface is up, is not
// offered, and one line says why and what to do; with the interface down the
// kernel's adapter is taken as before.
TEST_F(CandleCanTest, UnusableAdaptersSayWhy) {
    struct Row {
        Options options;
        bool interface_up;
        std::vector<std::string> listed;
        std::string why;  // in the one line
    } rows[] = {
        {{48000000, 1, false, false, false, 0, true, ""}, false, {}, "udev rule"},
        {{48000000, 1, false, true, false, 0, false, "can0"}, true, {}, "can0"},
        {{48000000, 1, false, true, false, 0, false, "can0"}, false, {"0"}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        ConsoleCapture console;
        can_ = std::make_unique<CandleCan>();
        backend_ = EmulatedUsbBackend::install();
        auto a = backend_->add_adapter(row.options);
        a->set_kernel_interface_up(row.interface_up);
        EXPECT_EQ(scan(), row.listed);
        EXPECT_EQ(scan(), row.listed);
        const auto lines = console.lines_starting("[ERROR] CAN adapter");
        if (row.why.empty()) {
            EXPECT_TRUE(lines.empty());
            EXPECT_EQ(can_->open("0"), 0);
            continue;
        }
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(row.why), std::string::npos) << lines[0];
    }
    // Listed while its interface was down, refused once it is up, naming it.
    ConsoleCapture console;
    can_ = std::make_unique<CandleCan>();
    backend_ = EmulatedUsbBackend::install();
    Options o;
    o.kernel_driver = true;
    o.kernel_interface = "can1";
    auto a = backend_->add_adapter(o);
    ASSERT_EQ(scan(), std::vector<std::string>{"0"});
    a->set_kernel_interface_up(true);
    EXPECT_EQ(can_->open("0"), 1);
    EXPECT_TRUE(a->kernel_driver_attached());
    EXPECT_TRUE(console.contains("can1"));
}

// Frames the adapter had to drop for a slow host are reported, counted, rate-limited.
TEST_F(CandleCanTest, LostFramesAreCountedAndLogged) {
    ConsoleCapture console;
    Options o;
    o.in_capacity = 40;
    auto a = backend_->add_adapter(o);
    ASSERT_EQ(scan(), std::vector<std::string>{"0"});
    ASSERT_EQ(can_->open("0"), 0);
    for (int round = 0; round < 3; ++round) {
        for (uint8_t i = 0; i < 100; ++i) a->deliver(frame(0x50, 8, i));  // more than the host takes at once
        const std::size_t got = receive(1000, 300).size();
        EXPECT_GE(got, 40u);  // at least what the adapter could queue
        EXPECT_LT(got, 100u);
    }
    const auto lines = console.lines_starting("[WARN] CAN adapter lost frames");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" 1 loss report"), std::string::npos) << lines[0];
}

// The 500 ms scan test-opens every adapter; one that does not answer its requests
// must not hold the GUI thread while they time out.
TEST_F(CandleCanTest, HungAdapterNeverHoldsTheGuiThread) {
    auto a = backend_->add_adapter();
    a->hang_control_transfers(true);
    auto can = std::make_shared<CandleCan>();
    auto scanner = std::make_unique<DeviceScanner>(can);
    // Seen from the GUI thread only if the request waits on another thread.
    EXPECT_TRUE(wait_until([&] { return a->hung_requests() > 0; }, 3000));
    QTest::qWait(600);  // the next tick comes while the adapter still hangs
    a->hang_control_transfers(false);
    for (const std::thread::id& caller : a->hung_callers()) EXPECT_NE(caller, std::this_thread::get_id());
    std::vector<std::string> listed;
    QObject::connect(scanner.get(), &DeviceScanner::number_changed_signal,
                     [&](std::vector<std::string>& names) { listed = names; });
    EXPECT_TRUE(wait_until([&] { return !listed.empty(); }, 3000));
    EXPECT_EQ(listed, std::vector<std::string>{"0"});
}

}  // namespace
