// The CAN command set, the reply parser and the image checksum. The link manager and
// the firmware update over the whole link are in test_can_manager and test_can_firmware.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <mutex>

#include "can_frame_maker.h"
#include "can_receiver.h"
#include "candle_can.h"
#include "can_driver_peer.h"
#include "can_sender.h"
#include "console_capture.h"
#include "crc32.h"
#include "emulated_usb_backend.h"
#include "receiver_signals.h"
#include "wait_until.h"

namespace {

// Records every try and when; a send fails while `refuse` lasts, else returns
// `send_result`. `silent` is what the link says of the bus.
struct FakeLink : CanInterface {
    void scan_devices(std::vector<std::string>&) override {}
    int open(const std::string&) override { return 0; }
    int close() override { return 0; }
    bool is_open() override { return true; }
    int send(CanFrame& frame) override {
        std::lock_guard<std::mutex> lock(mutex);
        sent.push_back(frame), sent_at.push_back(std::chrono::steady_clock::now());
        return refuse > 0 ? (--refuse, -1) : send_result;
    }
    int receive(CanFrame&) override { return 0; }
    bool bus_silent() override { return silent; }
    std::mutex mutex;
    std::vector<CanFrame> sent;  // every try
    std::vector<std::chrono::steady_clock::time_point> sent_at;
    int send_result = 1;
    bool silent = false;
    int refuse = 0;  // the next sends fail
};

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

std::vector<uint8_t> payload(const CanFrame& f) { return {f.data, f.data + f.dlc}; }

TEST(CanSender, EveryCommandsIdentifierAndPayload) {
    auto link = std::make_shared<FakeLink>();
    CanSender sender(link);
    sender.set_can_id_slot(5);
    const uint8_t chunk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Row {
        std::function<void(CanSender&)> call;
        uint8_t cmd;
        std::vector<uint8_t> payload;
    } rows[] = {
        {[](CanSender& s) { s.disable_motor(); }, 1, {}},
        {[](CanSender& s) { s.enable_motor(); }, 2, {}},
        {[](CanSender& s) { s.calibrate_motor(); }, 3, {}},
        {[](CanSender& s) { const float t[5] = {}; s.send_motion_command(t); }, 4, {0xFF, 0x7F, 0xFF, 0x1F, 0, 0, 0xFF, 0x7F}},
        {[](CanSender& s) { const float t[5] = {41, 0, 0, 0, 0}; s.send_motion_command(t); }, 4, {0xFF, 0xFF, 0xFF, 0x1F, 0, 0, 0xFF, 0x7F}},
        {[](CanSender& s) { s.reset_motor(); }, 5, {}},
        {[](CanSender& s) { s.save_zero_point(); }, 6, {}},
        {[](CanSender& s) { s.set_gear_ratio(25.0f); }, 7, {0x7F, 0xFF}},
        {[](CanSender& s) { s.set_gear_ratio(50.0f); }, 7, {0xFF, 0xFF}},
        {[](CanSender& s) { s.set_gear_ratio(80.0f); }, 7, {0xFF, 0xFF}},
        {[](CanSender& s) { s.set_gear_ratio(-1.0f); }, 7, {0x00, 0x00}},
        {[](CanSender& s) { s.set_id(9); }, 8, {9}},
        {[](CanSender& s) { s.set_can_timeout(100); }, 9, {100}},
        {[](CanSender& s) { s.set_bandwidth(0x1234); }, 10, {0x12, 0x34}},
        {[](CanSender& s) { s.set_limit_current(20.0f); }, 11, {0x7F, 0xFF}},
        {[](CanSender& s) { s.set_limit_current(40.0f); }, 11, {0xFF, 0xFF}},
        {[](CanSender& s) { s.set_limit_current(41.0f); }, 11, {0xFF, 0xFF}},
        {[](CanSender& s) { s.save_config(); }, 16, {}},
        {[](CanSender& s) { s.clear_error(); }, 17, {}},
        {[](CanSender& s) { s.write_app_back_start(); }, 18, {}},
        {[&](CanSender& s) { s.write_app_back(chunk); }, 19, {1, 2, 3, 4, 5, 6, 7, 8}},
        {[](CanSender& s) { s.check_app_back(0x01020304, 0x89A1897F); }, 20, {1, 2, 3, 4, 0x89, 0xA1, 0x89, 0x7F}},
        {[](CanSender& s) { s.check_app_back(0x1234, 0xABCD); }, 20, {0, 0, 0x12, 0x34, 0, 0, 0xAB, 0xCD}},
        {[](CanSender& s) { s.dfu_start(); }, 21, {}},
        {[](CanSender& s) { s.get_fw_version(); }, 22, {}},
        {[](CanSender& s) { s.get_firmware_version(); }, 22, {}},
        {[](CanSender& s) { s.get_status_word(); }, 23, {}},
        {[](CanSender& s) { s.get_config(); }, 24, {}},
    };
    for (const Row& row : rows) {
        link->sent.clear();
        row.call(sender);
        ASSERT_EQ(link->sent.size(), 1u) << int(row.cmd);
        EXPECT_EQ(link->sent[0].id, (uint32_t{row.cmd} << 5) | 5u);
        EXPECT_EQ(payload(link->sent[0]), row.payload) << int(row.cmd);  // the DLC with it
    }
    // Ids of 16 or more keep only their low four bits, off the reply flag and command bits.
    for (uint8_t id : {0x1F, 0xFF}) {
        link->sent.clear();
        sender.set_can_id_slot(id);
        sender.get_config();
        ASSERT_EQ(link->sent.size(), 1u);
        EXPECT_EQ(link->sent[0].id, (24u << 5) | 0x0F) << int(id);
    }
}

// A NaN target, gear ratio or current limit is not sent; a failed write is logged
// and dropped, one attempt per command.
TEST(CanSender, RefusedValuesAndFailedWrites) {
    ConsoleCapture console;
    auto link = std::make_shared<FakeLink>();
    CanSender sender(link);
    const float target[5] = {0, kNan, 0, 1, 1};
    sender.send_motion_command(target);
    sender.set_gear_ratio(kNan);
    sender.set_limit_current(kNan);
    EXPECT_TRUE(link->sent.empty());
    link->send_result = -7;
    sender.save_config();
    const float zero[5] = {};
    sender.send_motion_command(zero);
    EXPECT_EQ(link->sent.size(), 2u);
    EXPECT_EQ(console.lines_starting("[ERROR] CAN write failed return: -7").size(), 1u);
}

// Current limit, gear ratio, id, time-out, bandwidth, then the configuration request:
// 200 ms after each of the first four, a second before the request; the values
// truncated toward zero to their low bits, non-numbers to 0. Both rows run at once.
TEST(CanSender, ParameterWriteOrderValuesAndPauses) {
    struct Row {
        FirmwareParams params;  // gear ratio, id, bandwidth, time-out, current limit
        std::vector<std::vector<uint8_t>> payloads;
    } rows[] = {
        {{25.0f, 300.7f, 70000.9f, 100.9f, 40.0f}, {{0xFF, 0xFF}, {0x7F, 0xFF}, {44}, {100}, {0x11, 0x70}, {}}},
        {{10.0f, kNan, -1e30f, std::numeric_limits<float>::infinity(), 10.0f},
         {{0x3F, 0xFF}, {0x33, 0x33}, {0}, {0}, {0, 0}, {}}},
    };
    std::vector<std::shared_ptr<FakeLink>> links;
    std::vector<std::future<void>> runs;
    for (const Row& row : rows) {
        links.push_back(std::make_shared<FakeLink>());
        runs.push_back(std::async(std::launch::async, [link = links.back(), p = row.params] {
            CanSender sender(link);
            sender.set_can_id_slot(5);
            sender.write_firmware_param(p);
        }));
    }
    for (size_t r = 0; r < runs.size(); ++r) {
        runs[r].get();
        const FakeLink& link = *links[r];
        ASSERT_EQ(link.sent.size(), 6u) << r;
        const uint8_t cmds[6] = {11, 7, 8, 9, 10, 24};
        const int pause_ms[5] = {200, 200, 200, 200, 1000};
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(link.sent[i].id, (uint32_t{cmds[i]} << 5) | 5u) << r << " " << i;
            EXPECT_EQ(payload(link.sent[i]), rows[r].payloads[i]) << r << " " << i;
            if (i < 5) EXPECT_GE(link.sent_at[i + 1] - link.sent_at[i], std::chrono::milliseconds(pause_ms[i])) << i;
        }
    }
}

// While nothing on the bus answers, targets would reach the motor late and are not
// sent; the zero target and every command are, and a command whose write found the
// bus silent is tried once more (the link has reset the adapter by then).
TEST(CanSender, SilentBusSkipsTargetsButNeverCommands) {
    auto link = std::make_shared<FakeLink>();
    CanSender sender(link);
    const float step[5] = {2, 0, 0, 20, 1.5f}, zero[5] = {};
    struct Row {
        bool silent;
        int refuse;
        std::function<void(CanSender&)> call;
        std::vector<uint8_t> tried;  // commands of the frames handed to the link
    } rows[] = {
        {false, 0, [&](CanSender& s) { s.send_motion_command(step); }, {4}},
        {true, 0, [&](CanSender& s) { s.send_motion_command(step); }, {}},
        {true, 0, [&](CanSender& s) { s.send_motion_command(zero); }, {4}},
        {true, 0, [](CanSender& s) { s.disable_motor(); }, {1}},
        {true, 1, [](CanSender& s) { s.disable_motor(); }, {1, 1}},
        {false, 1, [](CanSender& s) { s.disable_motor(); }, {1}},
        {true, 2, [](CanSender& s) { s.reset_motor(); }, {5, 5}},
    };
    for (const Row& row : rows) {
        link->sent.clear();
        link->silent = row.silent;
        link->refuse = row.refuse;
        row.call(sender);
        std::vector<uint8_t> tried;
        for (const CanFrame& f : link->sent) tried.push_back(static_cast<uint8_t>(f.id >> 5));
        EXPECT_EQ(tried, row.tried) << row.silent << " " << row.refuse;
    }
}

// Over the adapter link with the motor's power off: once the reads found the echoes
// overdue and the channel was reset, targets are skipped, and the silence ends only
// with a frame the bus carried after the reset (also across a wrap of the adapter's
// 32-bit clock, or from an adapter whose transfers carry no timestamp), not with the
// motor's reply sent before it and read only now. A command whose write timed out on
// the full adapter of the silent bus is not sent then (the link resets the channel
// again), is tried again and goes out, alone, once the bus answers.
TEST(CanSender, NoStaleTargetGetsIntoTheAdapter) {
    const float step[5] = {2, 0, 0, 20, 1.5f}, zero[5] = {};
    const CanFrame reply = make_can_frame(4 << 5 | 0x10 | 1, 8, {});
    const auto transfer = [&](uint32_t timestamp_us, std::size_t size) {  // of the reply
        std::vector<uint8_t> t(24, 0);
        std::memset(&t[0], 0xFF, 4);  // from the bus
        std::memcpy(&t[4], &reply.id, 4), t[8] = reply.dlc, std::memcpy(&t[12], reply.data, 8);
        std::memcpy(&t[20], &timestamp_us, 4);
        return t.resize(size), t;
    };
    using Step = std::function<void(EmulatedGsUsbAdapter&)>;
    const Step answer = [&](EmulatedGsUsbAdapter& a) { a.deliver(reply); };
    using Command = std::function<void(CanSender&)>;
    const Command disable = [](CanSender& s) { s.disable_motor(); };
    const Command zero_target = [&](CanSender& s) { s.send_motion_command(zero); };
    uint32_t before_silence = 0;
    struct Row {
        const char* name;
        Step before;       // before the silence
        Command command;   // fills the silent bus's adapter once more than it holds
        Step after_reset;  // what the bus carries then
        int replies;       // read after the reset
        bool ends_silence;
    } rows[] = {
        {"silent", nullptr, nullptr, nullptr, 0, false},
        {"stale reply", nullptr, nullptr, [&](EmulatedGsUsbAdapter& a) { a.deliver_raw(transfer(before_silence, 24)); }, 1, false},
        {"bus answers", nullptr, nullptr, answer, 1, true},
        {"bus answers, clock wrapped", [](EmulatedGsUsbAdapter& a) { a.set_clock_us(0xFFFFFFFFu - 60000000u); }, nullptr,
         [&](EmulatedGsUsbAdapter& a) { a.set_clock_us(5000), a.deliver(reply); }, 1, true},
        {"bus answers, no timestamps", nullptr, nullptr, [&](EmulatedGsUsbAdapter& a) { a.deliver_raw(transfer(0, 20)); }, 1, true},
        {"DISABLE not taken", nullptr, disable, [](EmulatedGsUsbAdapter& a) { a.set_acknowledged(true); }, 0, false},
        {"zero target not taken", nullptr, zero_target, [](EmulatedGsUsbAdapter& a) { a.set_acknowledged(true); }, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto adapter = EmulatedUsbBackend::install()->add_adapter();
        std::mutex bus_mutex;
        std::vector<uint32_t> on_bus;
        adapter->set_bus_listener([&](const CanFrame& f) {
            std::lock_guard<std::mutex> lock(bus_mutex);
            on_bus.push_back(f.id);
        });
        const auto seen_on_bus = [&] {
            std::lock_guard<std::mutex> lock(bus_mutex);
            return on_bus;
        };
        auto link = std::make_shared<CandleCan>();
        std::vector<std::string> names;
        link->scan_devices(names);
        ASSERT_EQ(link->open("0"), 0);
        CanSender sender(link);
        if (row.before) row.before(*adapter);
        before_silence = adapter->clock();
        adapter->set_acknowledged(false);
        for (int i = 0; i < 67; ++i) sender.send_motion_command(step);  // 3 mailboxes and 64 held
        const auto targets_written = [&, target = adapter->host_writes().front()] {
            const auto writes = adapter->host_writes();
            return std::count(writes.begin(), writes.end(), target);
        };
        CanFrame in;
        int replies = 0;
        const auto read = [&] {
            while (link->receive(in) == 1) replies += in.id == reply.id;
        };
        ASSERT_TRUE(wait_until([&] { return read(), link->bus_silent(); }, 2000));
        sender.send_motion_command(step);
        if (row.command) {
            for (int i = 0; i < 68; ++i) row.command(sender);
            EXPECT_EQ(adapter->timed_out_writes(), 1);
            EXPECT_EQ(adapter->host_writes().size(), 67u + 68u);  // the last one after the reset
        }
        if (row.after_reset) row.after_reset(*adapter);
        EXPECT_TRUE(wait_until([&] { return read(), replies == row.replies; }, 1000));
        sender.send_motion_command(step);
        EXPECT_EQ(targets_written(), row.ends_silence ? 68 : 67);
        if (row.command) {
            EXPECT_TRUE(wait_until([&] { return !seen_on_bus().empty(); }, 1000));
            uint32_t command_id = 0;
            std::memcpy(&command_id, &adapter->host_writes().back()[4], 4);
            EXPECT_EQ(seen_on_bus(), std::vector<uint32_t>{command_id}) << "only the command";
        } else {
            EXPECT_TRUE(seen_on_bus().empty());
        }
        adapter->set_bus_listener(nullptr);
        link->close();
        EmulatedUsbBackend::uninstall();
    }
}

TEST(CanReceiver, RepliesBecomeSignals) {
    CanReceiver receiver(std::make_shared<FakeLink>());
    ReceiverSignals<CanReceiver> log(&receiver, Qt::DirectConnection);
    auto reply = [](uint8_t cmd, std::vector<uint8_t> bytes, uint32_t flags = 0) {
        return make_can_frame(flags | uint32_t{cmd} << 5 | 0x10 | 1, 8, bytes);
    };
    auto report = [&](uint8_t sub, std::vector<uint8_t> rest) {
        rest.insert(rest.begin(), {0, sub});
        return reply(31, rest);
    };
    struct Row {
        CanFrame frame;
        std::vector<std::string> emitted;
    };
    std::vector<Row> rows = {
        {reply(2, {0}), {"enable_sucess"}},
        {reply(1, {0}), {"disable_sucess"}},
        {reply(5, {0}), {"reset_success"}},
        {reply(6, {0}), {"zero_point"}},
        {reply(10, {0}), {"set_param_success"}},
        {reply(17, {0}), {"error_reset"}},
        {reply(18, {0}), {"write_app_back_start"}},
        {reply(20, {0}), {"check_app_back_ok"}},
        {reply(22, {0x01, 0x02, 0x00, 0x07}), {"version(258,7)"}},
        {reply(22, {0x00, 0x01, 0x00, 0x09}), {"version(1,9)"}},
        {reply(22, {0x00, 0x00, 0x01, 0x09}), {"version(0,265)"}},  // both halves big-endian
        {reply(23, {0x12, 0x34}), {"error_frame(4660)"}},
        {reply(23, {0x80, 0x05}), {"error_frame(32773)"}},
        {reply(23, {0x00, 0x00}), {"error_frame(0)"}},  // no error is news too
        {reply(24, {0xFF, 0xFF, 0x01, 0x64, 0x01, 0x2C, 0xFF, 0xFF}), {"firm(50,1,300,100,40)"}},
        {reply(7, {0x7F, 0xFF}), {}},  // the gear ratio is only logged
        // The temperature goes to the motor's (type 1) or the driver's place.
        {reply(4, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), {"common(-100,200,-100)"}},
        {reply(4, {0, 0, 0, 0, 0, 0, 0, 0x00}), {"common(-100,-100,-20)"}},
        {report(0, {}), {"calibration_start"}},
        {report(1, {0, 1}), {"phase_sequence(1)"}},
        {report(1, {0x00, 0x02}), {"phase_sequence(2)"}},
        // Float bits from bytes 6, 7 (high half), then 4, 5.
        {report(2, {0xAA, 0xBB, 0x00, 0x00, 0x3F, 0x80}), {"angle(1)"}},
        {report(2, {0x00, 0x00, 0x00, 0x00, 0xC0, 0x49}), {"angle(-3.14062)"}},
        {report(3, {0, 0, 0xFF, 0xFF, 0x00, 0x00}), {"compensation(-1)"}},
        {report(3, {0, 0, 0x00, 0x01, 0x00, 0x01}), {"compensation(65537)"}},
        {report(3, {0, 0, 0x80, 0x00, 0x00, 0x00}), {"compensation(-32768)"}},
        {report(4, {0xFF, 0xFF}), {}},  // the electrical zero is only logged
        {report(5, {}), {"calibration_sucess"}},
        {report(6, {0, 0}), {"csv(1)", "param_check(0)"}},
        {reply(2, {0}, 0x80000000u), {}},  // extended
        {reply(2, {0}, 0x40000000u), {}},  // remote
        {reply(2, {0}, 0x20000000u), {}},  // adapter error frame
        {make_can_frame(2u << 5 | 1, 1, {0}), {"enable_sucess"}},  // handed over without the flag: decoded
    };
    // A refusal emits nothing, except for the image check and the DFU start, so the update ends at once.
    const std::pair<uint8_t, const char*> refused[] = {
        {1, ""}, {2, ""}, {3, ""}, {5, ""}, {6, ""}, {8, ""}, {9, ""}, {10, ""}, {11, ""}, {16, ""}, {17, ""},
        {18, ""}, {19, ""}, {20, "check_app_back_failed"}, {21, "dfu_start_failed"}};
    for (const auto& r : refused) rows.push_back({reply(r.first, {r.first == 3 ? uint8_t(2) : uint8_t(1)}),
                                                 *r.second ? std::vector<std::string>{r.second} : std::vector<std::string>{}});
    // Acknowledgements that signal nothing; commands and report sub-codes the tool does not use.
    for (uint8_t cmd : {3, 8, 9, 11, 16, 19, 21}) rows.push_back({reply(cmd, {0}), {}});
    for (uint8_t cmd : {0, 12, 13, 14, 15, 25, 26, 27, 28, 29, 30}) rows.push_back({reply(cmd, {0, 0, 0, 0, 0, 0, 0, 0}), {}});
    for (uint16_t sub : {19, 20, 0x0100, 0xFFFF})
        rows.push_back({reply(31, {uint8_t(sub >> 8), uint8_t(sub), 1, 2, 3, 4, 5, 6}), {}});
    for (const Row& row : rows) {
        log.clear();
        receiver.parse_frame(row.frame);
        EXPECT_EQ(log.names(), row.emitted) << std::hex << row.frame.id << " " << int(row.frame.data[1]);
    }
    // The twelve check values, table ends included; sub-code 19 is not one of them.
    for (uint8_t sub = 7; sub <= 19; ++sub) receiver.parse_frame(report(sub, {0x00, sub, 0x41, 0x20}));
    log.clear();
    receiver.parse_frame(report(6, {0, 3}));
    const auto checks = log.checks();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_FALSE(checks[0].pass);
    EXPECT_EQ(checks[0].result, "\xB5\xE7\xB8\xD0\xB2\xBB\xBA\xCF\xB8\xF1");  // 电感不合格 in GBK, as the check files hold it
    const auto values = check_values(checks[0]);
    for (int i = 0; i < 12; ++i) {
        const uint32_t bits = 0x41200000u | uint32_t(i + 7);
        float want;
        std::memcpy(&want, &bits, 4);
        EXPECT_EQ(values[i], want) << i;
    }
    // Each record starts afresh: an unknown step fails with a text of its own, step 0 passes.
    struct Step {
        uint8_t step;
        bool pass;
        std::string result;
    } steps[] = {{9, false, "\xCE\xB4\xD6\xAA\xD0\xA3\xD1\xE9\xBD\xE1\xB9\xFB"},  // 未知校验结果
                 {0, true, "\xD0\xA3\xD1\xE9\xB3\xC9\xB9\xA6"}};                  // 校验成功
    for (const Step& step : steps) {
        log.clear();
        receiver.parse_frame(report(6, {0, step.step}));
        ASSERT_EQ(log.checks().size(), 1u);
        EXPECT_EQ(log.names().back(), "param_check(" + std::to_string(step.step) + ")");
        EXPECT_EQ(log.checks()[0].pass, step.pass);
        EXPECT_EQ(log.checks()[0].result, step.result) << int(step.step);
        EXPECT_EQ(check_values(log.checks()[0]), (std::array<float, 12>{})) << int(step.step);
    }
}

// The CRC-32/MPEG-2 check value, whole and in chunks as the image goes out.
TEST(Crc32, CheckValueWholeAndInChunks) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc32_calculate(check, 9), 0x89A1897Fu);
    EXPECT_EQ(crc32_calculate(check, 0), 0u);
    EXPECT_EQ(crc32_update(crc32_update(0, check, 8), check + 8, 1), 0x89A1897Fu);
    EXPECT_EQ(kCrc32Table[1], 0x04C11DB7u);
    EXPECT_EQ(kCrc32Table[255], 0xB1F740B4u);
    // Over a longer text in 8-byte chunks, against the driver double's bit-by-bit CRC.
    const QByteArray text = QByteArray("The quick brown fox jumps over the lazy dog").repeated(37);
    uint32_t running = 0;
    for (int i = 0; i < text.size(); i += 8)
        running = crc32_update(running, reinterpret_cast<const uint8_t*>(text.constData()) + i, std::min(8, text.size() - i));
    EXPECT_EQ(running, CanDriverPeer::reference_crc32(text));
    EXPECT_EQ(CanDriverPeer::reference_crc32(QByteArray("123456789")), 0x89A1897Fu);
}

}  // namespace
