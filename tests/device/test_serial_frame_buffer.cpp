// The shared frame cutter on its own: a long noisy stream, and the bounds that
// keep a link without a consumer or without headers from growing.
#include <gtest/gtest.h>
#include <random>

#include "console_capture.h"
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
        for (int k = static_cast<int>(rng() % 8); k > 0; --k) stream.append(static_cast<char>(rng() & 0xFF));
        stream.append(frame_with(i));
    }
    ConsoleCapture quiet;  // the discard warnings
    int next = 0;
    bool in_order = true;
    for (int off = 0; off < stream.size(); off += 97) {
        buffer.append(stream.mid(off, 97));
        while (buffer.frame_available()) {
            SerialFrame f;
            buffer.read_frame(f);
            in_order = in_order && f.length == 23 && static_cast<int>(f.payload.at(0)) == next;
            ++next;
        }
    }
    quiet.clear();
    EXPECT_TRUE(in_order);
    EXPECT_EQ(next, kFrames);
    EXPECT_LT(buffer.size(), 23);
}

TEST(SerialFrameBuffer, BacklogWithoutConsumerIsCappedKeepingTheOldestFrames) {
    SerialFrameBuffer buffer(/*headerless_limit=*/64, /*backlog_limit=*/230);
    ConsoleCapture out;
    for (int i = 0; i < 20; ++i) buffer.append(frame_with(i));
    EXPECT_EQ(buffer.size(), 230);
    EXPECT_EQ(out.text(), "[WARN] Receive buffer full (230 bytes unread), dropping 23 received bytes\n");
    int n = 0;
    while (buffer.frame_available()) {
        SerialFrame f;
        buffer.read_frame(f);
        EXPECT_EQ(static_cast<int>(f.payload.at(0)), n++);
    }
    EXPECT_EQ(n, 10);
}

TEST(SerialFrameBuffer, HeaderlessBacklogIsDroppedPastItsLimitThenFramesFlowAgain) {
    SerialFrameBuffer buffer(/*headerless_limit=*/64);
    ConsoleCapture out;
    buffer.append(QByteArray(64, '\x10'));
    EXPECT_FALSE(buffer.frame_available());
    EXPECT_EQ(buffer.size(), 64);
    EXPECT_EQ(out.text(), "");
    buffer.append(QByteArray(1, '\x10'));
    EXPECT_FALSE(buffer.frame_available());
    EXPECT_EQ(buffer.size(), 0);
    EXPECT_EQ(out.text(), "[WARN] No frame header in 65 buffered bytes, disgarding them\n");
    buffer.append(frame_with(5));
    EXPECT_TRUE(buffer.frame_available());
}

TEST(SerialFrameBuffer, ReadFrameWithoutAvailableFrameTakesNothing) {
    SerialFrameBuffer buffer;
    buffer.append(frame_with(1).left(12));
    SerialFrame f;
    ConsoleCapture out;
    buffer.read_frame(f);
    EXPECT_EQ(out.text(), "[WARN] Bytearray.size() is: 0 ,not fitting into any size\n");
    EXPECT_EQ(buffer.size(), 12);
    EXPECT_EQ(f.length, 0u);
}

}  // namespace
