#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <limits>
#include <memory>

#include "can_sender.h"
#include "can_test_doubles.h"

namespace {

class CanSenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        link = std::make_shared<RecordingCanLink>();
        sender = std::make_unique<CanSender>(link);
        sender->set_can_id_slot(5);
    }
    std::vector<uint8_t> payload(const CanFrame& f) { return std::vector<uint8_t>(f.data, f.data + f.dlc); }
    std::shared_ptr<RecordingCanLink> link;
    std::unique_ptr<CanSender> sender;
    ConsoleCapture console;
};

struct Row {
    const char* name;
    std::function<void(CanSender&)> call;
    uint8_t cmd;
    std::vector<uint8_t> payload;
    std::vector<std::string> log;
};

TEST_F(CanSenderTest, EveryCommandIdentifierDlcPayloadAndLog) {
    const uint8_t chunk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<Row> rows = {
        {"disable", [](CanSender& s) { s.disable_motor(); }, 1, {}, {"[INFO] CAN diable motor"}},
        {"enable", [](CanSender& s) { s.enable_motor(); }, 2, {}, {"[INFO] CAN enable motor"}},
        {"calibrate", [](CanSender& s) { s.calibrate_motor(); }, 3, {}, {"[INFO] CAN calibrate motor"}},
        {"motion", [](CanSender& s) { const float t[5] = {}; s.send_motion_command(t); },
         4, {0xFF, 0x7F, 0xFF, 0x1F, 0x00, 0x00, 0xFF, 0x7F}, {}},
        {"reset", [](CanSender& s) { s.reset_motor(); }, 5, {}, {"[INFO] CAN reset motor"}},
        {"zero", [](CanSender& s) { s.save_zero_point(); }, 6, {}, {"[INFO] CAN save zero point"}},
        {"gear 25", [](CanSender& s) { s.set_gear_ratio(25.0f); }, 7, {0x7F, 0xFF}, {"[INFO] CAN set gear ratio"}},
        {"gear 80 clamped", [](CanSender& s) { s.set_gear_ratio(80.0f); }, 7, {0xFF, 0xFF}, {"[INFO] CAN set gear ratio"}},
        {"gear -1 clamped", [](CanSender& s) { s.set_gear_ratio(-1.0f); }, 7, {0x00, 0x00}, {"[INFO] CAN set gear ratio"}},
        {"id", [](CanSender& s) { s.set_id(9); }, 8, {9}, {"[INFO] CAN set id"}},
        {"timeout", [](CanSender& s) { s.set_can_timeout(100); }, 9, {100}, {"[INFO] CAN set can timeout point"}},
        {"bandwidth", [](CanSender& s) { s.set_bandwidth(0x1234); }, 10, {0x12, 0x34}, {"[INFO] CAN set bandwidth point"}},
        {"current 20", [](CanSender& s) { s.set_limit_current(20.0f); }, 11, {0x7F, 0xFF}, {"[INFO] CAN set limit current"}},
        {"current 41 clamped", [](CanSender& s) { s.set_limit_current(41.0f); }, 11, {0xFF, 0xFF}, {"[INFO] CAN set limit current"}},
        {"save", [](CanSender& s) { s.save_config(); }, 16, {}, {"[INFO] CAN save config"}},
        {"clear", [](CanSender& s) { s.clear_error(); }, 17, {}, {"[INFO] CAN clear error"}},
        {"app start", [](CanSender& s) { s.write_app_back_start(); }, 18, {}, {"[INFO] Write app back start"}},
        {"app chunk", [&](CanSender& s) { s.write_app_back(chunk); }, 19, {1, 2, 3, 4, 5, 6, 7, 8}, {"[INFO] Write app back"}},
        {"check full", [](CanSender& s) { s.check_app_back(0x01020304, 0x89A1897F); }, 20,
         {0x01, 0x02, 0x03, 0x04, 0x89, 0xA1, 0x89, 0x7F},
         {"[INFO] CAN check app back", "[INFO] size: 1020304 crc32: 89a1897f"}},
        {"dfu", [](CanSender& s) { s.dfu_start(); }, 21, {}, {"[INFO] CAN dfu start"}},
        {"fw version", [](CanSender& s) { s.get_fw_version(); }, 22, {}, {"[INFO] CAN kGetFwVersion"}},
        {"firmware version", [](CanSender& s) { s.get_firmware_version(); }, 22, {}, {"[INFO] CAN get firmware version"}},
        {"status", [](CanSender& s) { s.get_status_word(); }, 23, {}, {"[INFO] CAN get status word"}},
        {"config", [](CanSender& s) { s.get_config(); }, 24, {}, {"[INFO] CAN get config"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        link->clear_sent();
        console.clear();
        row.call(*sender);
        const auto sent = link->sent();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].id, (uint32_t{row.cmd} << 5) | 5u);
        EXPECT_EQ(sent[0].dlc, row.payload.size());
        EXPECT_EQ(payload(sent[0]), row.payload);
        EXPECT_EQ(console.lines(), row.log);
    }
}

TEST_F(CanSenderTest, FailedWriteIsLoggedAndDropped) {
    link->send_result = -1;
    sender->save_config();
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{"[INFO] CAN save config", "[ERROR] CAN write failed return: -1"}));
    link->send_result = -7;
    console.clear();
    const float t[5] = {1, 2, 3, 4, 5};
    sender->send_motion_command(t);
    EXPECT_EQ(console.lines(), (std::vector<std::string>{"[ERROR] CAN write failed return: -7"}));
    EXPECT_EQ(link->sent().size(), 2u);  // one attempt each, no retry
}

TEST_F(CanSenderTest, BadTargetsNeitherWrapNorReachTheBus) {
    // A motor id keeps to its low four bits.
    sender->set_can_id_slot(0xFF);
    sender->enable_motor();
    const float nan_target[5] = {0, std::numeric_limits<float>::quiet_NaN(), 0, 1, 1};
    sender->send_motion_command(nan_target);
    sender->set_gear_ratio(std::numeric_limits<float>::quiet_NaN());
    sender->set_limit_current(std::numeric_limits<float>::quiet_NaN());
    const float far_target[5] = {41, 0, 0, 0, 0};
    sender->send_motion_command(far_target);

    const auto sent = link->sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].id, (2u << 5) | 0x0F);
    EXPECT_EQ(sent[1].id, (4u << 5) | 0x0F);
    EXPECT_EQ(sent[1].data[0], 0xFF);  // saturated at +40
    EXPECT_EQ(sent[1].data[1], 0xFF);
    EXPECT_EQ(console.lines_starting("[WARN] ").size(), 3u);
}

TEST_F(CanSenderTest, WriteFirmwareParamOrderPausesAndIds) {
    // Fractions are cut off; the id keeps its low 8 bits (300: 44), the bandwidth its low 16 (70000: 4464).
    FirmwareParams p{25, 300.7f, 70000.9f, 100.9f, 40};
    const auto start = std::chrono::steady_clock::now();
    sender->write_firmware_param(p);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1800));
    EXPECT_LT(elapsed, std::chrono::milliseconds(4000));

    const auto sent = link->sent();
    ASSERT_EQ(sent.size(), 6u);
    std::vector<uint32_t> ids;
    std::vector<std::vector<uint8_t>> payloads;
    for (const auto& f : sent) ids.push_back(f.id), payloads.push_back(payload(f));
    EXPECT_EQ(ids, (std::vector<uint32_t>{11 << 5 | 5, 7 << 5 | 5, 8 << 5 | 5, 9 << 5 | 5, 10 << 5 | 5, 24 << 5 | 5}));
    EXPECT_EQ(payloads, (std::vector<std::vector<uint8_t>>{{0xFF, 0xFF}, {0x7F, 0xFF}, {44}, {100}, {0x11, 0x70}, {}}));
    // 200 ms after each of the first four writes, a full second before the request.
    const auto at = link->sent_at();
    ASSERT_EQ(at.size(), 6u);
    const int min_gap_ms[5] = {200, 200, 200, 200, 1000};
    for (int i = 0; i < 5; ++i) {
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(at[i + 1] - at[i]).count();
        EXPECT_GE(gap, min_gap_ms[i]) << "after frame " << i;
        EXPECT_LT(gap, min_gap_ms[i] + 400) << "after frame " << i;
    }
    EXPECT_EQ(console.lines(), (std::vector<std::string>{
                                   "[INFO] CAN write firmware param", "[INFO] CAN set limit current",
                                   "[INFO] CAN set gear ratio", "[INFO] CAN set id",
                                   "[INFO] CAN set can timeout point", "[INFO] CAN set bandwidth point",
                                   "[INFO] CAN get config"}));

    // Fields that hold no number are sent as zero, not through an undefined conversion.
    link->clear_sent();
    p.can_id = std::numeric_limits<float>::quiet_NaN();
    p.can_timeout = std::numeric_limits<float>::infinity();
    p.current_bandwidth = -1e30f;
    sender->write_firmware_param(p);
    const auto odd = link->sent();
    ASSERT_EQ(odd.size(), 6u);
    EXPECT_EQ(odd[2].data[0], 0);
    EXPECT_EQ(odd[3].data[0], 0);
}

TEST_F(CanSenderTest, SendDataDump) {
    CanFrame f = make_can_frame((19u << 5) | 3, 8, {0x01, 0x02, 0, 0, 0, 0, 0, 0xAB});
    sender->log_send_data(f);
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{"[INFO] Send data   {can ID:263}   {can cmd:13}   {motor_id: 3}"
                                        "   {can DLC:8}   {payload: ab 0 0 0 0 0 2 1}"}));
}

}  // namespace
