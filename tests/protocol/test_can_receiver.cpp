#include <QTest>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "can_receiver.h"
#include "can_test_doubles.h"
#include "receiver_signals.h"

namespace {

using Lines = std::vector<std::string>;

constexpr uint32_t reply_id(uint8_t cmd, uint8_t motor = 1) { return (uint32_t{cmd} << 5) | 0x10u | motor; }

CanFrame reply(uint8_t cmd, const std::vector<uint8_t>& bytes) {
    return make_can_frame(reply_id(cmd), static_cast<uint8_t>(bytes.size()), bytes);
}

CanFrame report(uint16_t sub, std::vector<uint8_t> rest) {
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(sub >> 8), static_cast<uint8_t>(sub & 0xFF)};
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    return make_can_frame(reply_id(31), 8, bytes);
}

const std::string kInductanceFailed = "\xB5\xE7\xB8\xD0\xB2\xBB\xBA\xCF\xB8\xF1";  // 电感不合格 in GBK
const std::string kCheckPassed = "\xD0\xA3\xD1\xE9\xB3\xC9\xB9\xA6";             // 校验成功
const std::string kUnknownResult = "\xCE\xB4\xD6\xAA\xD0\xA3\xD1\xE9\xBD\xE1\xB9\xFB";  // 未知校验结果

class CanReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        link = std::make_shared<RecordingCanLink>();
        receiver = std::make_unique<CanReceiver>(link);
        log = std::make_unique<ReceiverSignals<CanReceiver>>(receiver.get(), Qt::DirectConnection);
    }
    void TearDown() override {
        receiver->stop_receive_thread();
        log.reset();
        receiver.reset();
    }
    // Parses one frame in this thread and returns (console lines, signals).
    std::pair<Lines, Lines> feed(const CanFrame& f) {
        console.clear();
        log->clear();
        receiver->parse_frame(f);
        return {console.lines(), log->names()};
    }
    // Runs the frames through the receive thread until all were taken and parsed.
    void run_through_thread(const std::vector<CanFrame>& frames) {
        const size_t before = link->handed_out();
        for (const auto& f : frames) link->deliver(f);
        receiver->start_receive_thread();
        QTRY_VERIFY_WITH_TIMEOUT(link->handed_out() == before + frames.size(), 5000);
        receiver->stop_receive_thread();
    }

    ConsoleCapture console;
    std::shared_ptr<RecordingCanLink> link;
    std::unique_ptr<CanReceiver> receiver;
    std::unique_ptr<ReceiverSignals<CanReceiver>> log;
};

TEST_F(CanReceiverTest, AcknowledgementsAndIgnoredCommands) {
    struct Row {
        uint8_t cmd;
        const char* name;
        const char* signal;
    };
    const Row rows[] = {
        {1, "kDisableMotor", "disable_sucess"},   {2, "kEnableMotor", "enable_sucess"},
        {5, "kResetMotor", "reset_success"},      {6, "kSetHome", "zero_point"},
        {8, "kSetId", nullptr},                   {9, "kSetCanTimeout", nullptr},
        {11, "kSetLimitCurrent", nullptr},        {16, "kSaveConfig", nullptr},
        {17, "kErrorReset", "error_reset"},       {18, "kWriteAppBackStart", "write_app_back_start"},
        {19, "kWriteAppBack", nullptr},           {20, "kCheckAppBack", "check_app_back_ok"},
        {21, "kDfuStart", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto ok = feed(reply(row.cmd, {0}));
        EXPECT_EQ(ok.first, Lines{std::string("[INFO] ") + row.name + " success"});
        EXPECT_EQ(ok.second, row.signal ? Lines{row.signal} : Lines{});
        auto bad = feed(reply(row.cmd, {1}));
        EXPECT_EQ(bad.first, Lines{std::string("[INFO] ") + row.name + " failed"});
        // Only a rejected image is announced, so the update can end at once.
        EXPECT_EQ(bad.second, row.cmd == 20 ? Lines{"check_app_back_failed"} : Lines{});
    }

    for (uint8_t cmd : {0, 12, 13, 14, 15, 25, 26, 27, 28, 29, 30}) {
        auto ignored = feed(reply(cmd, {0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_TRUE(ignored.first.empty()) << int(cmd);
        EXPECT_TRUE(ignored.second.empty()) << int(cmd);
    }
}

TEST_F(CanReceiverTest, ValueRepliesAndReports) {
    struct Row {
        CanFrame frame;
        Lines console, emitted;
    };
    const Row rows[] = {
        {reply(3, {0}), {"[INFO] kCalibrateMotor success"}, {}},
        {reply(3, {2}), {"[INFO] kCalibrateMotor failed", "[ERROR] has error, cannot calibrate"}, {}},
        {reply(10, {0}), {"[INFO] into kSetBandwidth", "[INFO] kSetBandwidth success"}, {"set_param_success"}},
        {reply(10, {3}), {"[INFO] into kSetBandwidth", "[INFO] kSetBandwidth failed"}, {}},
        {reply(7, {0x7F, 0xFF}), {"[INFO] gear ratio: 24.9996"}, {}},
        {reply(22, {0x00, 0x01, 0x00, 0x09}),
         {"[INFO] Version info:", "[INFO] Version_symbol_prefix:1", "[INFO] Version_symbol_suffix:9"},
         {"version(1,9)"}},
        {reply(23, {0x80, 0x05}), {}, {"error_frame(32773)"}},
        {reply(24, {0xFF, 0xFF, 0x01, 0x64, 0x01, 0x2C, 0xFF, 0xFF}),
         {"[INFO] Gear ratio: 50", "[INFO] CAN id: 1", "[INFO] CAN timeout: 100", "[INFO] current bandwidth: 300",
          "[INFO] current limit: 40"},
         {"firm(50,1,300,100,40)"}},
        // Temperature type 1 files 200 degrees as the motor's, type 0 -20 as the driver's.
        {reply(4, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), {}, {"common(-100,200,-100)"}},
        {reply(4, {0, 0, 0, 0, 0, 0, 0, 0}), {}, {"common(-100,-100,-20)"}},
        // Handed over directly without the reply flag: warned, then decoded all the same.
        {make_can_frame(2u << 5, 1, {0}), {"[WARN] Receive a frame with receive_flag not set", "[INFO] kEnableMotor success"},
         {"enable_sucess"}},
        {report(0, {}), {}, {"calibration_start"}},
        {report(1, {0x00, 0x02}), {"[INFO] phase_sequence_signal: 2"}, {"phase_sequence(2)"}},
        // Floats: bits from bytes 6,7 (high half) then 4,5.
        {report(2, {0xAA, 0xBB, 0x00, 0x00, 0x3F, 0x80}), {"[INFO] Cogging_mAP: 1"}, {"angle(1)"}},
        {report(2, {0x00, 0x00, 0x00, 0x00, 0xC0, 0x49}), {"[INFO] Cogging_mAP: -3.14062"}, {"angle(-3.14062)"}},
        {report(3, {0, 0, 0xFF, 0xFF, 0x00, 0x00}), {"[INFO] Compensation value: -1"}, {"compensation(-1)"}},
        {report(3, {0, 0, 0x00, 0x01, 0x00, 0x01}), {"[INFO] Compensation value: 65537"}, {"compensation(65537)"}},
        {report(3, {0, 0, 0x80, 0x00, 0x00, 0x00}), {"[INFO] Compensation value: -32768"}, {"compensation(-32768)"}},
        {report(4, {0xFF, 0xFF}), {"[INFO] Electrical zero position: 6.28319"}, {}},
        {report(5, {}), {"[INFO] Calibrate success"}, {"calibration_sucess"}},
        {report(19, {1, 2, 3, 4, 5, 6}), {}, {}},
        {report(0xFFFF, {1, 2, 3, 4, 5, 6}), {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.frame.id);
        SCOPED_TRACE(int(row.frame.data[1]));
        auto r = feed(row.frame);
        EXPECT_EQ(r.first, row.console);
        EXPECT_EQ(r.second, row.emitted);
    }
}

TEST_F(CanReceiverTest, CheckValuesAndResults) {
    // A step above 6 carries a text of its own.
    auto r = feed(report(6, {0x00, 0x07}));
    ASSERT_EQ(log->checks().size(), 1u);
    EXPECT_FALSE(log->checks()[0].pass);
    EXPECT_EQ(log->checks()[0].result, kUnknownResult);

    const char* labels[12] = {"Current sample coff error: ", "current_sample_error_b: ", "motor_temp: ",
                              "driver_temp: ", "phase_R: ", "phase_L: ", "non_load_current_average: ",
                              "non_load_current_peak: ", "back_EMF: ", "torque_k: ", "non_load_torque: ",
                              "moment_of_inertia: "};
    // Value k+1.5: bits from bytes 4,5 (high half) then 2,3.
    for (int k = 0; k < 12; ++k) {
        const float v = static_cast<float>(k + 1) + 0.5f;
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        r = feed(report(static_cast<uint16_t>(7 + k),
                        {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 24),
                         static_cast<uint8_t>(bits >> 16), 0xEE, 0xEE}));
        std::ostringstream expect;
        expect << "[INFO] " << labels[k] << v;
        EXPECT_EQ(r.first, Lines{expect.str()});
        EXPECT_TRUE(r.second.empty());
    }
    feed(report(7, {0x00, 0x00, 0x3F, 0x80}));  // 1.0

    r = feed(report(6, {0x00, 0x03}));
    EXPECT_EQ(r.first, Lines{"[INFO] Into param check step: 3"});
    EXPECT_EQ(r.second, (Lines{"csv(0)", "param_check(3)"}));
    auto checks = log->checks();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_FALSE(checks[0].pass);
    EXPECT_EQ(checks[0].result, kInductanceFailed);
    EXPECT_EQ(check_values(checks[0]),
              (std::array<float, 12>{1.0f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f, 8.5f, 9.5f, 10.5f, 11.5f, 12.5f}));

    // A step above 6 fails with its own text, never the previous one.
    r = feed(report(6, {0x00, 0x09}));
    EXPECT_EQ(r.second, (Lines{"csv(0)", "param_check(9)"}));
    EXPECT_EQ(log->checks()[0].result, kUnknownResult);

    r = feed(report(6, {0x00, 0x00}));
    EXPECT_EQ(r.second, (Lines{"csv(1)", "param_check(0)"}));
    checks = log->checks();
    EXPECT_TRUE(checks[0].pass);
    EXPECT_EQ(checks[0].result, kCheckPassed);
    EXPECT_EQ(check_values(checks[0]), (std::array<float, 12>{}));  // each check starts from cleared values
}

TEST_F(CanReceiverTest, ThreadSkipsFramesWithoutReplyFlagAndKeepsOrder) {
    run_through_thread({
        make_can_frame(2u << 5 | 1, 0, {}),                        // our own enable echo
        make_can_frame(reply_id(2), 1, {0}),
        make_can_frame(4u << 5 | 1, 8, {1, 2, 3, 4, 5, 6, 7, 8}),  // a motion command echo
        make_can_frame(reply_id(23), 2, {0x00, 0x04}),
        make_can_frame(reply_id(1), 1, {0}),
        make_can_frame(reply_id(31), 8, {0, 0}),
    });
    EXPECT_EQ(log->names(), (Lines{"enable_sucess", "error_frame(4)", "disable_sucess", "calibration_start"}));
    EXPECT_EQ(console.text(), "[INFO] kEnableMotor success\n[INFO] kDisableMotor success\n");
}

TEST_F(CanReceiverTest, MotionSamplesAreStampedBufferedAndCounted) {
    std::vector<StampedMoitonState> samples;
    QObject::connect(receiver.get(), &DeviceReceiver::motor_motion_state_signal, receiver.get(),
                     [&](QVector<StampedMoitonState>& buf) {
                         for (const auto& s : buf) samples.push_back(s);
                         buf.clear();
                     },
                     Qt::DirectConnection);
    FrameCount total{};
    QObject::connect(receiver.get(), &DeviceReceiver::fps_signal, receiver.get(), [&](FrameCount c) {
        total.common_count += c.common_count;
        total.motion_count += c.motion_count;
    });
    receiver->set_start_time(std::chrono::steady_clock::now() - std::chrono::seconds(2));

    std::vector<CanFrame> frames;
    for (int i = 0; i < 1000; ++i) {
        // Position rises from -40; velocity and torque at their midpoints.
        const uint32_t p20 = static_cast<uint32_t>(i) * 1000;
        frames.push_back(make_can_frame(reply_id(4), 8,
                                        {static_cast<uint8_t>(p20), static_cast<uint8_t>(p20 >> 8),
                                         static_cast<uint8_t>((p20 >> 16) & 0x0F), 0x00, 0x80, 0x00, 0x80, 0x41}));
        if (i % 100 == 0) frames.push_back(make_can_frame(4u << 5, 8, {}));  // echoes, not counted
    }
    run_through_thread(frames);
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(samples.size()), 1000, 2000);
    QTRY_COMPARE_WITH_TIMEOUT(total.motion_count, 1000u, 3000);
    EXPECT_EQ(total.common_count, 1000u);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_NEAR(samples[i].position, i * 1000 * 80.0 / 1048575 - 40, 1e-4) << i;
        ASSERT_NEAR(samples[i].velocity, 0.0, 1e-4);
        ASSERT_NEAR(samples[i].torque, 0.0, 2e-3);
        ASSERT_GE(samples[i].time, 2.0f);
        ASSERT_LT(samples[i].time, 20.0f);
        if (i > 0) {
            ASSERT_GE(samples[i].time, samples[i - 1].time);
        }
    }
}

TEST_F(CanReceiverTest, ReceiveDataDump) {
    console.clear();
    receiver->log_receive_data(make_can_frame(reply_id(31, 2), 8, {0, 6, 0, 0, 0, 0, 0, 0xFF}));
    EXPECT_EQ(console.lines(), Lines{"[INFO] Receive data   {cmd:1f}   {motor_id:2}   {can DLC:8}"
                                     "   {payload: ff 0 0 0 0 0 6 0}"});
}

TEST(CanReceiverLifetime, DestructorStopsRunningThread) {
    ConsoleCapture console;
    auto link = std::make_shared<RecordingCanLink>();
    {
        CanReceiver r(link);
        r.start_receive_thread();
        QTest::qWait(20);
    }
    EXPECT_EQ(console.lines(), (Lines{"[INFO] Destruct CanReceiver"}));
    EXPECT_EQ(link.use_count(), 1);
}

}  // namespace
