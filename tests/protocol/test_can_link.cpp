// The CAN command set, the reply parser and the image checksum. The firmware update
// over the whole link is tested through the main window (tests/ui).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "can_frame_maker.h"
#include "can_receiver.h"
#include "can_sender.h"
#include "crc32.h"
#include "receiver_signals.h"

namespace {

struct FakeLink : CanInterface {
    void scan_devices(std::vector<std::string>&) override {}
    int open(const std::string&) override { return 0; }
    int close() override { return 0; }
    bool is_open() override { return true; }
    int send(CanFrame& frame) override { return sent.push_back(frame), refuse > 0 ? (--refuse, -1) : 1; }
    int receive(CanFrame&) override { return 0; }
    bool bus_silent() override { return silent; }
    std::vector<CanFrame> sent;  // every try
    bool silent = false;
    int refuse = 0;  // the next sends fail
};

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
        {[](CanSender& s) { const float t[5] = {}; s.send_motion_command(t); }, 4, {0xFF, 0x7F, 0xFF, 0x1F, 0, 0, 0xFF, 0x7F}},
        {[](CanSender& s) { s.set_gear_ratio(25.0f); }, 7, {0x7F, 0xFF}},
        {[](CanSender& s) { s.set_gear_ratio(80.0f); }, 7, {0xFF, 0xFF}},
        {[](CanSender& s) { s.set_id(9); }, 8, {9}},
        {[](CanSender& s) { s.set_can_timeout(100); }, 9, {100}},
        {[](CanSender& s) { s.set_bandwidth(0x1234); }, 10, {0x12, 0x34}},
        {[](CanSender& s) { s.set_limit_current(20.0f); }, 11, {0x7F, 0xFF}},
        {[&](CanSender& s) { s.write_app_back(chunk); }, 19, {1, 2, 3, 4, 5, 6, 7, 8}},
        {[](CanSender& s) { s.check_app_back(0x01020304, 0x89A1897F); }, 20, {1, 2, 3, 4, 0x89, 0xA1, 0x89, 0x7F}},
        {[](CanSender& s) { s.dfu_start(); }, 21, {}},
        {[](CanSender& s) { s.get_fw_version(); }, 22, {}},
        {[](CanSender& s) { s.get_status_word(); }, 23, {}},
    };
    for (const Row& row : rows) {
        link->sent.clear();
        row.call(sender);
        ASSERT_EQ(link->sent.size(), 1u) << int(row.cmd);
        EXPECT_EQ(link->sent[0].id, (uint32_t{row.cmd} << 5) | 5u);
        EXPECT_EQ(payload(link->sent[0]), row.payload) << int(row.cmd);
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
    } rows[] = {
        {reply(2, {0}), {"enable_sucess"}},
        {reply(1, {0}), {"disable_sucess"}},
        {reply(5, {0}), {"reset_success"}},
        {reply(6, {0}), {"zero_point"}},
        {reply(10, {0}), {"set_param_success"}},
        {reply(17, {0}), {"error_reset"}},
        {reply(18, {0}), {"write_app_back_start"}},
        {reply(20, {0}), {"check_app_back_ok"}},
        {reply(22, {0x01, 0x02, 0x00, 0x07}), {"version(258,7)"}},
        {reply(23, {0x12, 0x34}), {"error_frame(4660)"}},
        {report(0, {}), {"calibration_start"}},
        {report(1, {0, 1}), {"phase_sequence(1)"}},
        {report(5, {}), {"calibration_sucess"}},
        {report(6, {0, 0}), {"csv(1)", "param_check(0)"}},
        {reply(2, {0}, 0x80000000u), {}},  // extended
        {reply(2, {0}, 0x40000000u), {}},  // remote
        {reply(2, {0}, 0x20000000u), {}},  // adapter error frame
    };
    for (const Row& row : rows) {
        log.clear();
        receiver.parse_frame(row.frame);
        EXPECT_EQ(log.names(), row.emitted) << std::hex << row.frame.id;
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
}

// The CRC-32/MPEG-2 check value, whole and in chunks as the image goes out.
TEST(Crc32, CheckValueWholeAndInChunks) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc32_calculate(check, 9), 0x89A1897Fu);
    EXPECT_EQ(crc32_calculate(check, 0), 0u);
    EXPECT_EQ(crc32_update(crc32_update(0, check, 8), check + 8, 1), 0x89A1897Fu);
}

}  // namespace
