// The shared frame cutter on its own: long streams with noise, and the bounds
// that keep a link without a consumer or without headers from growing.
#include <gtest/gtest.h>
#include <random>

#include "serial_frame_buffer.h"

namespace {

QByteArray frame_with(int index) {
    const float v[3] = {static_cast<float>(index), 0.25f, -1.0f};
    return build_serial_frame(2, v, 3);
}

TEST(SerialFrameBuffer, LongNoisyStreamLosesNoFrame) {
    std::mt19937 rng(7);
    SerialFrameBuffer buffer;
    QByteArray stream;
    constexpr int kFrames = 20000;
    for (int i = 0; i < kFrames; ++i) {
        const int noise = static_cast<int>(rng() % 8);
        for (int k = 0; k < noise; ++k) stream.append(static_cast<char>(rng() & 0xFF));
        stream.append(frame_with(i));
    }
    // Fed in odd-sized chunks, extracted as it comes; the log is captured so the
    // discard warnings do not flood the output.
    testing::internal::CaptureStdout();
    int next = 0;
    bool in_order = true;
    for (int off = 0; off < stream.size(); off += 97) {
        buffer.append(stream.mid(off, 97));
        while (buffer.frame_available()) {
            SerialFrame f;
            buffer.read_frame(f);
            if (f.length != 23 || static_cast<int>(f.payload.at(0)) != next) in_order = false;
            ++next;
        }
    }
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(in_order);
    EXPECT_EQ(next, kFrames);
    EXPECT_LT(buffer.size(), 23);
}

TEST(SerialFrameBuffer, BacklogWithoutConsumerIsCapped) {
    SerialFrameBuffer buffer(/*headerless_limit=*/64, /*backlog_limit=*/230);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 20; ++i) buffer.append(frame_with(i));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(buffer.size(), 230);
    // Reported once per overflow, not once per append.
    EXPECT_EQ(log, "[WARN] Receive buffer full (230 bytes unread), dropping 23 received bytes\n");
    // The oldest frames are kept intact.
    int n = 0;
    while (buffer.frame_available()) {
        SerialFrame f;
        buffer.read_frame(f);
        EXPECT_EQ(static_cast<int>(f.payload.at(0)), n++);
    }
    EXPECT_EQ(n, 10);
}

TEST(SerialFrameBuffer, HeaderlessBacklogIsDroppedPastItsLimit) {
    SerialFrameBuffer buffer(/*headerless_limit=*/64);
    buffer.append(QByteArray(64, '\x10'));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(buffer.frame_available());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(buffer.size(), 64);
    buffer.append(QByteArray(1, '\x10'));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(buffer.frame_available());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[WARN] No frame header in 65 buffered bytes, disgarding them\n");
    EXPECT_EQ(buffer.size(), 0);
}

TEST(SerialFrameBuffer, ReadFrameWithoutAvailableFrameTakesNothing) {
    SerialFrameBuffer buffer;
    buffer.append(frame_with(1).left(12));
    SerialFrame f;
    testing::internal::CaptureStdout();
    buffer.read_frame(f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[WARN] Bytearray.size() is: 0 ,not fitting into any size\n");
    EXPECT_EQ(buffer.size(), 12);
    EXPECT_EQ(f.length, 0u);
}

}  // namespace
