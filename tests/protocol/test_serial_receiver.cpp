// Replies decoded across a real pseudo-terminal: sample values and times, counts,
// the parameter check's records, the driver's answers to requests, and the
// receive thread's stop, restart and end.
#include <gtest/gtest.h>

#include <QTest>
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
        ASSERT_EQ(link_->open(peer_.slave_path()), 0);
        // Collects samples the way the main window does: directly, emptying the buffer.
        QObject::connect(rx_.get(), &DeviceReceiver::motor_motion_state_signal, rx_.get(),
                         [this](QVector<StampedMoitonState>& buffer) {
                             samples_.insert(samples_.end(), buffer.begin(), buffer.end());
                             buffer.clear();
                         }, Qt::DirectConnection);
        QObject::connect(rx_.get(), &DeviceReceiver::fps_signal, rx_.get(), [this](FrameCount c) { counts_.push_back(c); });
        rx_->start_receive_thread();
    }
    void TearDown() override { peer_.stop(); }
    bool wait_for(const std::vector<std::string>& expected) {
        return wait_until([&] { return events_.names().size() >= expected.size(); }, 3000) && events_.names() == expected;
    }
    std::pair<uint32_t, uint32_t> counted() {
        std::pair<uint32_t, uint32_t> sum{};
        for (const auto& c : counts_) sum.first += c.common_count, sum.second += c.motion_count;
        return sum;
    }

    ConsoleCapture quiet_;
    SerialDriverPeer peer_;
    std::shared_ptr<QtSerial> link_ = std::make_shared<QtSerial>();
    std::unique_ptr<SerialReceiver> rx_ = std::make_unique<SerialReceiver>(link_);
    SerialSender sender_{link_};
    ReceiverSignals<SerialReceiver> events_{rx_.get(), Qt::AutoConnection};
    std::vector<StampedMoitonState> samples_;
    std::vector<FrameCount> counts_;
};

// Values as sent; times in seconds since the start time in force when each arrives.
TEST_F(SerialReceiverTest, MotionRepliesCarryValuesAndTimesAndAreCounted) {
    rx_->set_start_time(steady_clock::now() - milliseconds(1500));
    peer_.send_frame(2, {0.5f, -1.25f, 3.0f});
    ASSERT_TRUE(wait_until([&] { return samples_.size() == 1; }, 2000));
    EXPECT_GE(samples_[0].time, 1.5f);
    EXPECT_LT(samples_[0].time, 2.5f);
    EXPECT_EQ(samples_[0].position, 0.5f);
    EXPECT_EQ(samples_[0].velocity, -1.25f);
    EXPECT_EQ(samples_[0].torque, 3.0f);
    rx_->set_start_time(steady_clock::now());  // takes effect for the next sample
    peer_.send_frame(2, {1.0f, 0.0f, 0.0f});
    ASSERT_TRUE(wait_until([&] { return samples_.size() == 2; }, 2000));
    EXPECT_GE(samples_[1].time, 0.0f);
    EXPECT_LT(samples_[1].time, 1.0f);
    peer_.send_frame(4, {24.5f, 36.25f, -100.0f});
    EXPECT_TRUE(wait_for({"common(24.5,36.25,-100)"}));
    EXPECT_TRUE(wait_until([&] { return counted() == std::make_pair(1u, 2u); }, 2500));
}

// A step before any value report, then all seven step texts in GBK; values start
// from zero for each check.
TEST_F(SerialReceiverTest, ParameterCheckRecordsCarryEveryStepText) {
    peer_.send_frame(36, {from_bits(9)});
    for (int i = 0; i < 12; ++i) peer_.send_frame(static_cast<uint8_t>(37 + i), {1.0f + i});
    for (uint32_t step = 0; step < 7; ++step) peer_.send_frame(36, {from_bits(step)});
    ASSERT_TRUE(wait_until([&] { return events_.checks().size() == 8; }, 3000));
    const auto checks = events_.checks();
    EXPECT_FALSE(checks[0].pass);
    EXPECT_EQ(check_values(checks[0]), (std::array<float, 12>{}));
    EXPECT_EQ(check_values(checks[1]), (std::array<float, 12>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    const char* texts[7] = {"d0a3d1e9b3c9b9a6",          "b5e7d7e8b2bbbacfb8f1",
                            "b5e7c1f7b2c9d1f9b2bbbacfb8f1", "b5e7b8d0b2bbbacfb8f1",
                            "b7b4b5e7b6afcac6cfb5cafdb2bbbacfb8f1", "d7aab6afb9dfc1bfb2bbbacfb8f1",
                            "d4c8cbd9d4cbb6afb2bbbacfb8f1"};
    for (uint32_t step = 0; step < 7; ++step) {
        EXPECT_EQ(checks[step + 1].result, gbk(texts[step])) << step;
        EXPECT_EQ(checks[step + 1].pass, step == 0) << step;
    }
}

// The status word is the payload's bit pattern, low 16 bits, the top bit included.
TEST_F(SerialReceiverTest, StatusWordKeepsItsLow16Bits) {
    for (uint32_t word : {0x00010005u, 0x8001u, 0xFFFF0000u}) peer_.send_frame(33, {from_bits(word)});
    EXPECT_TRUE(wait_for({"error_frame(5)", "error_frame(32769)", "error_frame(0)"})) << ::testing::PrintToString(events_.names());
}

// Frames whose payload does not match their length are not decoded.
TEST_F(SerialReceiverTest, DispatchIgnoresPayloadsThatDoNotFitTheLength) {
    const struct { uint32_t length; uint8_t cmd; std::vector<float> payload; } rows[] = {
        {23, 2, {1.0f}}, {19, 2, {1.0f, 2.0f}}, {15, 9, {}}, {31, 3, {1, 2, 3}}, {0, 0, {}}};
    for (const auto& row : rows) {
        SerialFrame f;
        f.length = row.length, f.cmd = row.cmd, f.payload = row.payload;
        rx_->dispatch_frame(f);
    }
    QTest::qWait(50);
    EXPECT_TRUE(events_.names().empty());
    EXPECT_TRUE(samples_.empty());
}

// The simulated driver answers each request with its reply; motion targets come
// back once each, in order, with rising times.
TEST_F(SerialReceiverTest, DriverAnswersRequestsAndMotionTargetsInOrder) {
    peer_.driver().set_error_bits(0x0104);
    sender_.enable_motor();
    ASSERT_TRUE(wait_for({"enable_sucess"}));
    for (int i = 0; i < 300; ++i) {
        const float target[5] = {static_cast<float>(i), 2.0f, 0.5f, 10.0f, 1.0f};
        sender_.send_motion_target(target);
    }
    ASSERT_TRUE(wait_until([&] { return samples_.size() >= 300; }, 5000));
    QTest::qWait(50);
    ASSERT_EQ(samples_.size(), 300u);
    for (size_t i = 0; i < samples_.size(); ++i) {
        ASSERT_EQ(samples_[i].position, static_cast<float>(i));
        ASSERT_EQ(samples_[i].velocity, 2.0f);
        ASSERT_EQ(samples_[i].torque, 0.5f);
        if (i > 0) ASSERT_LE(samples_[i - 1].time, samples_[i].time);
    }
    for (auto op : {&SerialSender::request_status, &SerialSender::clear_error, &SerialSender::request_status,
                    &SerialSender::request_driver_version, &SerialSender::request_firmware_param,
                    &SerialSender::set_zero_point, &SerialSender::reset_motor, &SerialSender::disable_motor})
        (sender_.*op)();
    EXPECT_TRUE(wait_for({"enable_sucess", "error_frame(260)", "error_reset", "error_frame(0)", "version(2,3)",
                          "firm(8,1,1000,0,10)", "zero_point", "reset_success", "disable_sucess"}))
        << ::testing::PrintToString(events_.names());
}

// 2.5 s at 1000 replies a second with status records between: none lost or
// reordered, and every one counted.
TEST_F(SerialReceiverTest, AThousandRepliesASecondLoseNothing) {
    constexpr uint64_t kSamples = 2500;
    peer_.driver().set_common_state_interval(milliseconds(100));
    peer_.driver().set_motion_stream(1000.0, kSamples);
    ASSERT_TRUE(wait_until([&] { return samples_.size() >= kSamples; }, 6000));
    const size_t ticks = counts_.size();
    ASSERT_TRUE(wait_until([&] { return counts_.size() >= ticks + 1; }, 1500));
    peer_.driver().set_common_state_interval(microseconds(0));
    ASSERT_EQ(samples_.size(), kSamples);
    for (uint64_t i = 0; i < kSamples; ++i) ASSERT_EQ(samples_[i].position, static_cast<float>(i)) << i;
    EXPECT_EQ(counted().second, kSamples);
    EXPECT_GE(counted().first, 20u);
}

// Frames that arrive while the thread is stopped wait for the next start.
TEST_F(SerialReceiverTest, StopKeepsBufferedFramesForTheNextStart) {
    peer_.send_frame(1);
    ASSERT_TRUE(wait_for({"enable_sucess"}));
    rx_->stop_receive_thread();
    EXPECT_FALSE(rx_->has_receive_thread());
    peer_.send_frame(7);
    peer_.send_frame(8);
    ASSERT_TRUE(wait_until([&] { return link_->buffered_size() == 22; }, 2000));
    QTest::qWait(30);
    EXPECT_EQ(events_.names().size(), 1u);
    rx_->start_receive_thread();
    EXPECT_TRUE(wait_for({"enable_sucess", "disable_sucess", "zero_point"}));
    rx_->stop_receive_thread();
    rx_->start_receive_thread();
    peer_.send_frame(18);
    EXPECT_TRUE(wait_for({"enable_sucess", "disable_sucess", "zero_point", "reset_success"}));
}

// Destroyed while replies stream in: the thread is joined at once.
TEST_F(SerialReceiverTest, DestructionWhileRunningJoinsTheThread) {
    peer_.driver().set_motion_stream(1000.0);
    ASSERT_TRUE(wait_until([&] { return !samples_.empty(); }, 2000));
    const auto t0 = steady_clock::now();
    rx_.reset();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(500));
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
