#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>

#include "can_receiver.h"
#include "can_test_doubles.h"


namespace {

// Records every signal of the receiver, in emission order, as text; safe to use from
// the receive thread.
class SignalLog {
public:
    explicit SignalLog(CanReceiver& r) {
        auto add0 = [&](auto sig, const char* name) {
            QObject::connect(&r, sig, &r, [this, name] { add(name); }, Qt::DirectConnection);
        };
        add0(&CanReceiver::error_reset_signal, "error_reset");
        add0(&CanReceiver::set_param_success_signal, "set_param_success");
        add0(&CanReceiver::write_app_back_start_signal, "write_app_back_start");
        add0(&CanReceiver::check_app_back_ok_signal, "check_app_back_ok");
        add0(&CanReceiver::check_app_back_failed_signal, "check_app_back_failed");
        add0(&CanReceiver::enable_sucess_signal, "enable_sucess");
        add0(&CanReceiver::disable_sucess_signal, "disable_sucess");
        add0(&CanReceiver::calibration_start_signal, "calibration_start");
        add0(&CanReceiver::calibration_sucess_signal, "calibration_sucess");
        add0(&CanReceiver::param_data_signal, "param_data");
        add0(&CanReceiver::reset_success_signal, "reset_success");
        add0(&CanReceiver::motion_param_send_success_signal, "motion_param_send_success");
        add0(&CanReceiver::zero_point_signal, "zero_point");
        QObject::connect(&r, &CanReceiver::param_check_signal, &r,
                         [this](uint16_t s) { add("param_check(", s, ")"); }, Qt::DirectConnection);
        QObject::connect(&r, &CanReceiver::phase_sequence_signal, &r,
                         [this](int s) { add("phase_sequence(", s, ")"); }, Qt::DirectConnection);
        QObject::connect(&r, &CanReceiver::calibrate_compensation_data_signal, &r,
                         [this](float v) { add("compensation(", v, ")"); }, Qt::DirectConnection);
        QObject::connect(&r, &CanReceiver::driver_version_signal, &r,
                         [this](DriverVersion v) { add("version(", v.prefix, ",", v.suffix, ")"); },
                         Qt::DirectConnection);
        QObject::connect(&r, &CanReceiver::calibrate_angle_data_signal, &r,
                         [this](float v) { add("angle(", v, ")"); }, Qt::DirectConnection);
        QObject::connect(&r, &CanReceiver::motor_common_state_signal, &r,
                         [this](CommonState s) {
                             add("common(", s.voltage, ",", s.motor_temp, ",", s.driver_temp, ")");
                         },
                         Qt::DirectConnection);
        QObject::connect(&r, &CanReceiver::error_frame_signal, &r,
                         [this](uint16_t e) { add("error_frame(", e, ")"); }, Qt::DirectConnection);
        QObject::connect(&r, &CanReceiver::motor_firm_state_signal, &r,
                         [this](FirmwareState s) {
                             add("firm(", s.gear_ratio, ",", s.can_id, ",", s.current_bandwidth, ",",
                                 s.can_timeout, ",", s.current_limit, ")");
                         },
                         Qt::DirectConnection);
        QObject::connect(&r, &CanReceiver::update_csv_files_signal, &r,
                         [this](CheckData d) {
                             std::lock_guard<std::mutex> lock(mutex_);
                             checks_.push_back(d);
                             names_.push_back("csv(" + std::to_string(d.pass) + ")");
                         },
                         Qt::DirectConnection);
    }
    std::vector<std::string> names() {
        std::lock_guard<std::mutex> lock(mutex_);
        return names_;
    }
    std::vector<CheckData> checks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return checks_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        names_.clear();
        checks_.clear();
    }

private:
    template <typename... A>
    void add(A&&... a) {
        std::ostringstream os;
        (os << ... << a);
        std::lock_guard<std::mutex> lock(mutex_);
        names_.push_back(os.str());
    }
    std::mutex mutex_;
    std::vector<std::string> names_;
    std::vector<CheckData> checks_;
};

constexpr uint32_t reply_id(uint8_t cmd, uint8_t motor = 1) { return (uint32_t{cmd} << 5) | 0x10u | motor; }

CanFrame report(uint16_t sub, std::vector<uint8_t> rest) {
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(sub >> 8), static_cast<uint8_t>(sub & 0xFF)};
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    return make_can_frame(reply_id(31), 8, bytes);
}

class CanReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        qRegisterMetaType<uint16_t>("uint16_t");
        qRegisterMetaType<CheckData>("CheckData");
        link = std::make_shared<RecordingCanLink>();
        receiver = std::make_unique<CanReceiver>(link);
        log = std::make_unique<SignalLog>(*receiver);
    }
    void TearDown() override {
        receiver->stop_receive_thread();
        log.reset();
        receiver.reset();
    }
    // Parses one frame in this thread and returns (console lines, signals).
    std::pair<std::vector<std::string>, std::vector<std::string>> feed(const CanFrame& f) {
        console.clear();
        log->clear();
        receiver->parse_frame(f);
        return {console.lines(), log->names()};
    }
    // Runs the frames through the receive thread and waits until all were taken and parsed.
    void run_through_thread(const std::vector<CanFrame>& frames) {
        const size_t before = link->handed_out();
        for (const auto& f : frames) link->deliver(f);
        receiver->start_receive_thread();
        QTRY_VERIFY_WITH_TIMEOUT(link->handed_out() == before + frames.size(), 5000);
        receiver->stop_receive_thread();  // join: every parse has finished
    }

    ConsoleCapture console;
    std::shared_ptr<RecordingCanLink> link;
    std::unique_ptr<CanReceiver> receiver;
    std::unique_ptr<SignalLog> log;
};

using Lines = std::vector<std::string>;

struct AckRow {
    uint8_t cmd;
    const char* name;
    const char* signal;  // nullptr: none
};

TEST_F(CanReceiverTest, AcknowledgementRowsSuccessAndFailure) {
    const AckRow rows[] = {
        {1, "kDisableMotor", "disable_sucess"},   {2, "kEnableMotor", "enable_sucess"},
        {5, "kResetMotor", "reset_success"},      {6, "kSetHome", "zero_point"},
        {8, "kSetId", nullptr},                   {9, "kSetCanTimeout", nullptr},
        {11, "kSetLimitCurrent", nullptr},        {16, "kSaveConfig", nullptr},
        {17, "kErrorReset", "error_reset"},       {18, "kWriteAppBackStart", "write_app_back_start"},
        {19, "kWriteAppBack", nullptr},           {20, "kCheckAppBack", "check_app_back_ok"},
        {21, "kDfuStart", nullptr},
    };
    for (const AckRow& row : rows) {
        SCOPED_TRACE(row.name);
        auto ok = feed(make_can_frame(reply_id(row.cmd), 1, {0}));
        EXPECT_EQ(ok.first, Lines{std::string("[INFO] ") + row.name + " success"});
        EXPECT_EQ(ok.second, row.signal ? Lines{row.signal} : Lines{});
        auto bad = feed(make_can_frame(reply_id(row.cmd), 1, {1}));
        EXPECT_EQ(bad.first, Lines{std::string("[INFO] ") + row.name + " failed"});
        // Only a rejected image is announced, so the update can end at once.
        EXPECT_EQ(bad.second, row.cmd == 20 ? Lines{"check_app_back_failed"} : Lines{});
    }
}

TEST_F(CanReceiverTest, CalibrateAndBandwidthReplies) {
    auto ok = feed(make_can_frame(reply_id(3), 1, {0}));
    EXPECT_EQ(ok.first, Lines{"[INFO] kCalibrateMotor success"});
    EXPECT_TRUE(ok.second.empty());
    auto bad = feed(make_can_frame(reply_id(3), 1, {2}));
    EXPECT_EQ(bad.first, (Lines{"[INFO] kCalibrateMotor failed", "[ERROR] has error, cannot calibrate"}));
    EXPECT_TRUE(bad.second.empty());

    auto bw = feed(make_can_frame(reply_id(10), 1, {0}));
    EXPECT_EQ(bw.first, (Lines{"[INFO] into kSetBandwidth", "[INFO] kSetBandwidth success"}));
    EXPECT_EQ(bw.second, Lines{"set_param_success"});
    bw = feed(make_can_frame(reply_id(10), 1, {3}));
    EXPECT_EQ(bw.first, (Lines{"[INFO] into kSetBandwidth", "[INFO] kSetBandwidth failed"}));
    EXPECT_TRUE(bw.second.empty());
}

TEST_F(CanReceiverTest, ValueReplies) {
    auto gear = feed(make_can_frame(reply_id(7), 2, {0x7F, 0xFF}));
    EXPECT_EQ(gear.first, Lines{"[INFO] gear ratio: 24.9996"});
    EXPECT_TRUE(gear.second.empty());

    auto version = feed(make_can_frame(reply_id(22), 4, {0x00, 0x01, 0x00, 0x09}));
    EXPECT_EQ(version.first, (Lines{"[INFO] Version info:", "[INFO] Version_symbol_prefix:1",
                                    "[INFO] Version_symbol_suffix:9"}));
    EXPECT_EQ(version.second, Lines{"version(1,9)"});

    auto status = feed(make_can_frame(reply_id(23), 2, {0x00, 0x00}));
    EXPECT_TRUE(status.first.empty());
    EXPECT_EQ(status.second, Lines{"error_frame(0)"});
    status = feed(make_can_frame(reply_id(23), 2, {0x80, 0x05}));
    EXPECT_EQ(status.second, Lines{"error_frame(32773)"});

    auto config = feed(make_can_frame(reply_id(24), 8, {0xFF, 0xFF, 0x01, 0x64, 0x01, 0x2C, 0xFF, 0xFF}));
    EXPECT_EQ(config.first, (Lines{"[INFO] Gear ratio: 50", "[INFO] CAN id: 1", "[INFO] CAN timeout: 100",
                                   "[INFO] current bandwidth: 300", "[INFO] current limit: 40"}));
    EXPECT_EQ(config.second, Lines{"firm(50,1,300,100,40)"});
}

TEST_F(CanReceiverTest, IgnoredCommandsAndMissingReplyFlag) {
    for (uint8_t cmd : {0, 12, 13, 14, 15, 25, 26, 27, 28, 29, 30}) {
        auto r = feed(make_can_frame(reply_id(cmd), 8, {0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_TRUE(r.first.empty()) << int(cmd);
        EXPECT_TRUE(r.second.empty()) << int(cmd);
    }
    // Handed over directly without the flag: warned, then decoded all the same.
    auto r = feed(make_can_frame(2u << 5, 1, {0}));
    EXPECT_EQ(r.first, (Lines{"[WARN] Receive a frame with receive_flag not set", "[INFO] kEnableMotor success"}));
    EXPECT_EQ(r.second, Lines{"enable_sucess"});
}

TEST_F(CanReceiverTest, ReportSubCodes) {
    auto r = feed(report(0, {}));
    EXPECT_TRUE(r.first.empty());
    EXPECT_EQ(r.second, Lines{"calibration_start"});

    r = feed(report(1, {0x00, 0x02}));
    EXPECT_EQ(r.first, Lines{"[INFO] phase_sequence_signal: 2"});
    EXPECT_EQ(r.second, Lines{"phase_sequence(2)"});

    // Cogging map: bits from bytes 6,7 (high half) then 4,5.
    r = feed(report(2, {0xAA, 0xBB, 0x00, 0x00, 0x3F, 0x80}));
    EXPECT_EQ(r.first, Lines{"[INFO] Cogging_mAP: 1"});
    EXPECT_EQ(r.second, Lines{"angle(1)"});
    r = feed(report(2, {0x00, 0x00, 0x00, 0x00, 0xC0, 0x49}));  // -3.140625
    EXPECT_EQ(r.second, Lines{"angle(-3.14062)"});

    r = feed(report(3, {0, 0, 0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(r.first, Lines{"[INFO] Compensation value: -1"});
    EXPECT_EQ(r.second, Lines{"compensation(-1)"});
    r = feed(report(3, {0, 0, 0x00, 0x01, 0x00, 0x01}));
    EXPECT_EQ(r.second, Lines{"compensation(65537)"});
    r = feed(report(3, {0, 0, 0x80, 0x00, 0x00, 0x00}));
    EXPECT_EQ(r.second, Lines{"compensation(-32768)"});

    r = feed(report(4, {0xFF, 0xFF}));
    EXPECT_EQ(r.first, Lines{"[INFO] Electrical zero position: 6.28319"});
    EXPECT_TRUE(r.second.empty());

    r = feed(report(5, {}));
    EXPECT_EQ(r.first, Lines{"[INFO] Calibrate success"});
    EXPECT_EQ(r.second, Lines{"calibration_sucess"});

    for (uint16_t sub : {19, 20, 0x0100, 0xFFFF}) {
        r = feed(report(sub, {1, 2, 3, 4, 5, 6}));
        EXPECT_TRUE(r.first.empty()) << sub;
        EXPECT_TRUE(r.second.empty()) << sub;
    }
}

TEST_F(CanReceiverTest, CheckValuesAndResults) {
    const char* labels[12] = {"Current sample coff error: ", "current_sample_error_b: ", "motor_temp: ",
                              "driver_temp: ", "phase_R: ", "phase_L: ", "non_load_current_average: ",
                              "non_load_current_peak: ", "back_EMF: ", "torque_k: ", "non_load_torque: ",
                              "moment_of_inertia: "};
    // Value k+1 as float: bits from bytes 4,5 (high half) then 2,3.
    for (int k = 0; k < 12; ++k) {
        const float v = static_cast<float>(k + 1) + 0.5f;
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        auto r = feed(report(static_cast<uint16_t>(7 + k),
                             {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 24),
                              static_cast<uint8_t>(bits >> 16), 0xEE, 0xEE}));
        std::ostringstream expect;
        expect << "[INFO] " << labels[k] << v;
        EXPECT_EQ(r.first, Lines{expect.str()});
        EXPECT_TRUE(r.second.empty());
    }
    // The vector of the protocol: 00 00 3F 80 in bytes 2..5 is 1.0.
    feed(report(7, {0x00, 0x00, 0x3F, 0x80}));

    auto r = feed(report(6, {0x00, 0x03}));
    EXPECT_EQ(r.first, Lines{"[INFO] Into param check step: 3"});
    EXPECT_EQ(r.second, (Lines{"csv(0)", "param_check(3)"}));
    auto checks = log->checks();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_FALSE(checks[0].pass);
    EXPECT_EQ(checks[0].result, std::string("\xB5\xE7\xB8\xD0\xB2\xBB\xBA\xCF\xB8\xF1"));  // 电感不合格
    EXPECT_FLOAT_EQ(checks[0].current_sample_error_k, 1.0f);
    EXPECT_FLOAT_EQ(checks[0].current_sample_error_b, 2.5f);
    EXPECT_FLOAT_EQ(checks[0].motor_temp, 3.5f);
    EXPECT_FLOAT_EQ(checks[0].driver_temp, 4.5f);
    EXPECT_FLOAT_EQ(checks[0].phase_R, 5.5f);
    EXPECT_FLOAT_EQ(checks[0].phase_L, 6.5f);
    EXPECT_FLOAT_EQ(checks[0].non_load_current_average, 7.5f);
    EXPECT_FLOAT_EQ(checks[0].non_load_current_peak, 8.5f);
    EXPECT_FLOAT_EQ(checks[0].back_EMF, 9.5f);
    EXPECT_FLOAT_EQ(checks[0].torque_k, 10.5f);
    EXPECT_FLOAT_EQ(checks[0].non_load_torque, 11.5f);
    EXPECT_FLOAT_EQ(checks[0].moment_of_inertia, 12.5f);

    // A step above 6 keeps the previous text and fails.
    r = feed(report(6, {0x00, 0x09}));
    EXPECT_EQ(r.second, (Lines{"csv(0)", "param_check(9)"}));
    checks = log->checks();
    EXPECT_EQ(checks[0].result, std::string("\xB5\xE7\xB8\xD0\xB2\xBB\xBA\xCF\xB8\xF1"));

    r = feed(report(6, {0x00, 0x00}));
    EXPECT_EQ(r.second, (Lines{"csv(1)", "param_check(0)"}));
    checks = log->checks();
    EXPECT_TRUE(checks[0].pass);
    EXPECT_EQ(checks[0].result, std::string("\xD0\xA3\xD1\xE9\xB3\xC9\xB9\xA6"));  // 校验成功
    EXPECT_FLOAT_EQ(checks[0].moment_of_inertia, 12.5f);  // values of the earlier check remain
}

TEST_F(CanReceiverTest, StepAboveSixBeforeAnyResultGivesEmptyText) {
    feed(report(6, {0x00, 0x07}));
    const auto checks = log->checks();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_FALSE(checks[0].pass);
    EXPECT_TRUE(checks[0].result.empty());
}

TEST_F(CanReceiverTest, MotionRepliesFiledByTemperatureType) {
    // temp7 = 127 -> 200 degrees, type 1: motor temperature.
    CanFrame motor = make_can_frame(reply_id(4), 8, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    auto r = feed(motor);
    EXPECT_TRUE(r.first.empty());
    EXPECT_EQ(r.second, Lines{"common(-100,200,-100)"});
    CanFrame driver = make_can_frame(reply_id(4), 8, {0, 0, 0, 0, 0, 0, 0, 0x00});
    r = feed(driver);
    EXPECT_EQ(r.second, Lines{"common(-100,-100,-20)"});
}

TEST_F(CanReceiverTest, ThreadSkipsFramesWithoutReplyFlagAndKeepsOrder) {
    run_through_thread({
        make_can_frame(2u << 5 | 1, 0, {}),             // our own enable echo
        make_can_frame(reply_id(2), 1, {0}),
        make_can_frame(4u << 5 | 1, 8, {1, 2, 3, 4, 5, 6, 7, 8}),  // a motion command echo
        make_can_frame(reply_id(23), 2, {0x00, 0x04}),
        make_can_frame(reply_id(1), 1, {0}),
        make_can_frame(reply_id(31), 8, {0, 0}),
    });
    EXPECT_EQ(log->names(), (Lines{"enable_sucess", "error_frame(4)", "disable_sucess", "calibration_start"}));
    const std::string text = console.text();
    EXPECT_EQ(text.find("receive_flag not set"), std::string::npos);
    EXPECT_EQ(text, "[INFO] kEnableMotor success\n[INFO] kDisableMotor success\n");
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
