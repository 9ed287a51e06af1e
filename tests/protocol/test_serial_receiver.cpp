// Replies from the simulated driver decoded across a real pseudo-terminal.
#include <gtest/gtest.h>

#include <QByteArray>
#include <chrono>
#include <cstring>
#include <memory>

#include "console_capture.h"
#include "param_check.h"
#include "qt_serial.h"
#include "receiver_signals.h"
#include "serial_driver_peer.h"
#include "serial_sender.h"

namespace {

using namespace std::chrono;
using Lines = std::vector<std::string>;

float from_bits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

std::string gbk(const char* hex_text) { return QByteArray::fromHex(hex_text).toStdString(); }

class SerialReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.start());
        link_ = std::make_shared<QtSerial>();
        ASSERT_EQ(link_->open(peer_.slave_path()), 0);
        rx_ = std::make_unique<SerialReceiver>(link_);
        sender_ = std::make_unique<SerialSender>(link_);
        events_ = std::make_unique<ReceiverSignals<SerialReceiver>>(rx_.get(), Qt::AutoConnection);
        rx_->start_receive_thread();
    }
    void TearDown() override {
        events_.reset();
        rx_.reset();
        sender_.reset();
        link_.reset();
        peer_.stop();
    }

    // Collects flushed motion samples the way the main window does: directly, emptying the buffer.
    void collect_motion() {
        QObject::connect(rx_.get(), &DeviceReceiver::motor_motion_state_signal, rx_.get(),
                         [this](QVector<StampedMoitonState>& buffer) {
                             ++flushes_;
                             for (const auto& s : buffer) samples_.push_back(s);
                             buffer.clear();
                         },
                         Qt::DirectConnection);
        QObject::connect(rx_.get(), &DeviceReceiver::fps_signal, rx_.get(),
                         [this](FrameCount c) { counts_.push_back(c); });
    }
    Lines names() { return events_->names(); }

    SerialDriverPeer peer_;
    std::shared_ptr<QtSerial> link_;
    std::unique_ptr<SerialReceiver> rx_;
    std::unique_ptr<SerialSender> sender_;
    std::unique_ptr<ReceiverSignals<SerialReceiver>> events_;
    std::vector<StampedMoitonState> samples_;
    std::vector<FrameCount> counts_;
    int flushes_ = 0;
};

TEST_F(SerialReceiverTest, EveryReplyEmitsItsSignalAndLinesInOrder) {
    ConsoleCapture console;
    peer_.send_bytes(QByteArray::fromHex("0001020304"));  // line noise before the first frame
    for (uint8_t cmd : {1, 5, 6, 7, 8, 18, 21, 32, 34}) peer_.send_frame(cmd);
    peer_.send_frame(9, {2.9f});
    peer_.send_frame(9, {-1.5f});
    peer_.send_frame(17, {0.25f});
    peer_.send_frame(33, {from_bits(0x00010005)});  // payload bytes 05 00 01 00
    peer_.send_frame(33, {from_bits(0x8001)});
    peer_.send_frame(4, {24.5f, 36.25f, -100.0f});
    peer_.send_frame(16, {0.125f, 7.0f, 8.0f});
    peer_.send_frame(3, {8.0f, 1.0f, 1000.0f, 0.5f, 12.5f});
    peer_.send_frame(19, {1.0f, 9.0f, 0.0f, 0.0f, 0.0f});
    ASSERT_TRUE(events_->wait_for_count(18));
    EXPECT_EQ(names(), (Lines{"enable_sucess", "calibration_start", "calibration_sucess", "disable_sucess",
                              "zero_point", "reset_success", "motion_param_send_success", "error_reset",
                              "set_param_success", "phase_sequence(2)", "phase_sequence(-1)", "compensation(0.25)",
                              "error_frame(5)", "error_frame(32769)", "common(24.5,36.25,-100)", "angle(0.125)",
                              "firm(8,1,1000,0.5,12.5)", "version(1,9)"}));
    EXPECT_EQ(console.lines_starting("[INFO] "),
              (Lines{"[INFO] Phase sequence: 2", "[INFO] Phase sequence: -1", "[INFO] Compensation value: 0.25",
                     "[INFO] Cogging_mAP: 0.125", "[INFO] Firmware info:", "[INFO] Gear ratio: 8", "[INFO] Can id: 1",
                     "[INFO] Current bandwidth: 1000", "[INFO] Can timeout: 0.5", "[INFO] Current limit: 12.5",
                     "[INFO] Version info:", "[INFO] Version_symbol_prefix:1", "[INFO] Version_symbol_suffix:9"}));
}

TEST_F(SerialReceiverTest, ParameterCheckBuildsRecordsWithGbkTexts) {
    ConsoleCapture console;
    // A step before any value report: values start at zero, an unknown step has its own text.
    peer_.send_frame(36, {from_bits(9)});
    ASSERT_TRUE(events_->wait_for_count(2));
    auto checks = events_->checks();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_FALSE(checks[0].pass);
    EXPECT_EQ(checks[0].result, check_step_text(9));
    EXPECT_EQ(check_values(checks[0]), (std::array<float, 12>{}));

    for (int i = 0; i < 12; ++i) peer_.send_frame(static_cast<uint8_t>(37 + i), {1.0f + i});
    peer_.send_frame(36, {from_bits(0)});
    peer_.send_frame(36, {from_bits(3)});
    peer_.send_frame(36, {from_bits(9)});
    peer_.send_frame(36, {from_bits(0x10004)});
    ASSERT_TRUE(events_->wait_for_count(10));
    EXPECT_EQ(names(), (Lines{"csv(0)", "param_check(9)", "csv(1)", "param_check(0)", "csv(0)", "param_check(3)",
                              "csv(0)", "param_check(9)", "csv(0)", "param_check(4)"}));
    checks = events_->checks();
    ASSERT_EQ(checks.size(), 5u);
    EXPECT_TRUE(checks[1].pass);
    EXPECT_EQ(checks[1].result, check_step_text(0));
    EXPECT_EQ(check_values(checks[1]), (std::array<float, 12>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(checks[2].result, check_step_text(3));
    EXPECT_EQ(check_values(checks[2]), (std::array<float, 12>{}));  // each check starts from cleared values
    // An unknown step never repeats the previous text; steps are whole 32-bit words, the signal carries the low 16 bits.
    EXPECT_EQ(checks[3].result, gbk("ceb4d6aad0a3d1e9bde1b9fb"));  // 未知校验结果
    EXPECT_EQ(checks[4].result, checks[3].result);

    const auto lines = console.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[INFO] kCurretSampleErrorK: 1"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[INFO] kParamCheck: 4.2039e-45 3"), lines.end());
    EXPECT_EQ(console.lines_starting("[INFO] k").size(), 12u + 5u);
}

TEST(ParamCheckTexts, AllStepTextsAreGbk) {
    const char* expected[7] = {"d0a3d1e9b3c9b9a6",  // 校验成功
                               "b5e7d7e8b2bbbacfb8f1",
                               "b5e7c1f7b2c9d1f9b2bbbacfb8f1",
                               "b5e7b8d0b2bbbacfb8f1",  // 电感不合格
                               "b7b4b5e7b6afcac6cfb5cafdb2bbbacfb8f1",
                               "d7aab6afb9dfc1bfb2bbbacfb8f1",
                               "d4c8cbd9d4cbb6afb2bbbacfb8f1"};
    for (uint32_t i = 0; i < 7; ++i) EXPECT_EQ(check_step_text(i), gbk(expected[i])) << i;
    EXPECT_EQ(check_step_text(7), gbk("ceb4d6aad0a3d1e9bde1b9fb"));
}

TEST_F(SerialReceiverTest, MotionRepliesAreStampedFromTheStartTimeAndCounted) {
    collect_motion();
    rx_->set_start_time(steady_clock::now() - milliseconds(1500));
    peer_.send_frame(2, {0.5f, -1.25f, 3.0f});
    ASSERT_TRUE(wait_until([&] { return samples_.size() == 1; }, 2000));
    EXPECT_GE(samples_[0].time, 1.5f);
    EXPECT_LT(samples_[0].time, 1.7f);
    EXPECT_EQ(samples_[0].position, 0.5f);
    EXPECT_EQ(samples_[0].velocity, -1.25f);
    EXPECT_EQ(samples_[0].torque, 3.0f);

    // A new start time takes effect for the next sample.
    rx_->set_start_time(steady_clock::now());
    peer_.send_frame(2, {1.0f, 0.0f, 0.0f});
    ASSERT_TRUE(wait_until([&] { return samples_.size() == 2; }, 2000));
    EXPECT_LT(samples_[1].time, 0.2f);

    // Two motion samples and one status record in the counts of the next ticks.
    peer_.send_frame(4, {24.5f, 36.25f, -100.0f});
    ASSERT_TRUE(wait_until([&] {
        uint32_t m = 0, c = 0;
        for (auto& k : counts_) m += k.motion_count, c += k.common_count;
        return m == 2 && c == 1;
    }, 3000));
}

TEST_F(SerialReceiverTest, UnknownCommandsAndMismatchedPayloadsAreDropped) {
    ConsoleCapture console;
    peer_.send_frame(2);                                  // 11 bytes
    peer_.send_frame(10, {1.0f});                         // 15 bytes
    peer_.send_frame(42, {1.0f, 2.0f, 3.0f});             // 23 bytes
    peer_.send_frame(20, {1.0f, 2.0f, 3.0f, 4.0f, 5.0f}); // 31 bytes
    peer_.send_frame(9, {10.0f});                         // later numbers stay decimal
    ASSERT_TRUE(events_->wait_for_count(1));
    EXPECT_EQ(names(), Lines{"phase_sequence(10)"});
    EXPECT_EQ(console.lines(), (Lines{"[WARN] frame->cmd not fiiting into any simple command2",
                                      "[WARN] frame->cmd not fiiting into any complex1a",
                                      "[WARN] frame->cmd not fiiting into any complex32a",
                                      "[WARN] frame->cmd not fiiting into any complex514",
                                      "[INFO] Phase sequence: 10"}));

    // Payloads that do not match their length, and what an unreadable frame leaves behind.
    console.clear();
    events_->clear();
    SerialFrame frame;
    frame.length = 23;
    frame.cmd = 2;
    frame.payload = {1.0f};
    rx_->dispatch_frame(frame);
    frame.length = 19;
    frame.payload = {1.0f, 2.0f};
    rx_->dispatch_frame(frame);
    frame = SerialFrame();
    rx_->dispatch_frame(frame);
    QTest::qWait(50);
    EXPECT_TRUE(names().empty());
    EXPECT_EQ(console.text(), "");
}

TEST_F(SerialReceiverTest, DriverAnswersEveryRequestWithTheRightReply) {
    collect_motion();
    peer_.driver().set_error_bits(0x0104);
    peer_.driver().set_version(1.0f, 7.0f);
    SimulatedDriver::CalibrationScript script;
    script.start_delay = milliseconds(5);
    script.cogging_map = {0.5f, 0.75f};
    script.compensation = {-0.25f};
    script.check_step = 2;
    peer_.driver().set_calibration_script(script);

    sender_->enable_motor();
    ASSERT_TRUE(events_->wait_for_count(1));
    // Every target is answered once, in order.
    for (int i = 0; i < 300; ++i) {
        const float target[5] = {static_cast<float>(i), 2.0f, 0.5f, 10.0f, 1.0f};
        sender_->send_motion_target(target);
    }
    ASSERT_TRUE(wait_until([&] { return samples_.size() >= 300; }, 5000));
    QTest::qWait(50);
    ASSERT_EQ(samples_.size(), 300u);
    for (size_t i = 0; i < 300; ++i) {
        ASSERT_EQ(samples_[i].position, static_cast<float>(i));
        ASSERT_EQ(samples_[i].velocity, 2.0f);
        ASSERT_EQ(samples_[i].torque, 0.5f);
        if (i > 0) {
            ASSERT_LE(samples_[i - 1].time, samples_[i].time);
        }
    }

    // One request at a time, so the replies' order is the requests'.
    void (SerialSender::*requests[])() = {&SerialSender::request_status,        &SerialSender::clear_error,
                                          &SerialSender::request_status,        &SerialSender::request_driver_version,
                                          &SerialSender::request_firmware_param, &SerialSender::set_zero_point,
                                          &SerialSender::reset_motor,           &SerialSender::disable_motor};
    size_t expected = 1;
    for (auto request : requests) {
        (sender_.get()->*request)();
        ASSERT_TRUE(events_->wait_for_count(++expected));
    }
    sender_->write_firmware_param(FirmwareParams{10, 4, 2000, 100, 8});
    // ack, the new parameters, then the answer to the request one second later
    ASSERT_TRUE(events_->wait_for_count(12));
    sender_->flash_firmware_param();
    sender_->start_calibration();
    // start, phase, 2 angles, 1 compensation, check record + step, success
    ASSERT_TRUE(events_->wait_for_count(12 + 8));
    EXPECT_EQ(names(), (Lines{"enable_sucess", "error_frame(260)", "error_reset", "error_frame(0)", "version(1,7)",
                              "firm(8,1,1000,0,10)", "zero_point", "reset_success", "disable_sucess",
                              "set_param_success", "firm(10,4,2000,100,8)", "firm(10,4,2000,100,8)",
                              "calibration_start", "phase_sequence(1)", "angle(0.5)", "angle(0.75)",
                              "compensation(-0.25)", "csv(0)", "param_check(2)", "calibration_sucess"}));
    EXPECT_EQ(events_->checks().back().result, check_step_text(2));
    EXPECT_EQ(check_values(events_->checks().back()), script.check_values);
    EXPECT_EQ(peer_.driver().flashed_params(), (SimulatedDriver::Params{10.0f, 4.0f, 2000.0f, 100.0f, 8.0f}));
    EXPECT_EQ(peer_.bad_frame_count(), 0);
}

TEST_F(SerialReceiverTest, TenSecondsAtOneThousandRepliesPerSecondLoseNothing) {
    collect_motion();
    constexpr uint64_t kSamples = 10000;
    peer_.driver().set_common_state_interval(milliseconds(100));
    peer_.driver().set_motion_stream(1000.0, kSamples);
    ASSERT_TRUE(wait_until([&] { return samples_.size() >= kSamples; }, 15000));
    // One more counter tick so every count has been handed on.
    const size_t ticks = counts_.size();
    ASSERT_TRUE(wait_until([&] { return counts_.size() >= ticks + 2; }, 3000));
    peer_.driver().set_common_state_interval(microseconds(0));

    ASSERT_EQ(samples_.size(), kSamples);
    for (uint64_t i = 0; i < kSamples; ++i) ASSERT_EQ(samples_[i].position, static_cast<float>(i)) << i;
    uint64_t motion = 0, common = 0;
    for (const auto& c : counts_) motion += c.motion_count, common += c.common_count;
    EXPECT_EQ(motion, kSamples);
    EXPECT_GE(common, 95u);
    // Ticks that fall wholly inside the stream carry about 1000 motion frames each.
    int full_seconds = 0;
    for (size_t i = 1; i + 1 < counts_.size(); ++i) {
        if (counts_[i - 1].motion_count > 0 && counts_[i + 1].motion_count > 0) {
            EXPECT_NEAR(counts_[i].motion_count, 1000.0, 60.0) << i;
            ++full_seconds;
        }
    }
    EXPECT_GE(full_seconds, 7);
    EXPECT_GT(flushes_, 300);  // about 50 hand-overs a second
    EXPECT_EQ(peer_.bad_frame_count(), 0);
}

TEST_F(SerialReceiverTest, StopKeepsBufferedFramesForTheNextStartAndDestructionJoins) {
    ASSERT_TRUE(rx_->has_receive_thread());
    peer_.send_frame(1);
    ASSERT_TRUE(events_->wait_for_count(1));
    rx_->stop_receive_thread();
    EXPECT_FALSE(rx_->has_receive_thread());
    peer_.send_frame(7);
    peer_.send_frame(8);
    ASSERT_TRUE(wait_until([&] { return link_->buffered_size() == 22; }, 2000));
    QTest::qWait(30);
    EXPECT_EQ(names().size(), 1u);
    rx_->start_receive_thread();
    ASSERT_TRUE(events_->wait_for_count(3));
    EXPECT_EQ(names(), (Lines{"enable_sucess", "disable_sucess", "zero_point"}));
    rx_->stop_receive_thread();
    rx_->start_receive_thread();
    peer_.send_frame(18);
    ASSERT_TRUE(events_->wait_for_count(4));

    // Destroyed while frames stream in: the thread is joined at once.
    peer_.driver().set_motion_stream(1000.0);
    QTest::qWait(100);
    ConsoleCapture console;
    const auto t0 = steady_clock::now();
    events_.reset();
    rx_.reset();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(500));
    EXPECT_TRUE(console.contains("[INFO] Dectruct SerialReceiver\n"));
    peer_.driver().set_motion_stream(0.0);
}

TEST(SerialReceiverIdle, ReadsNothingWhileTheLinkIsClosed) {
    auto link = std::make_shared<QtSerial>();
    SerialReceiver rx(link);
    int reads = 0;
    QObject::connect(link.get(), &SerialInterface::serial_data_read_signal, &rx, [&](QByteArray&) { ++reads; });
    rx.start_receive_thread();
    QTest::qWait(50);
    EXPECT_EQ(reads, 0);
}

}  // namespace
