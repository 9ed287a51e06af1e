// The frame cutter both serial links share, and the links themselves against a
// real pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "console_capture.h"
#include "pty_peer.h"
#include "qt_serial.h"
#include "serial_frame_buffer.h"
#include "tty_settings.h"
#include "wait_until.h"
#include "windows_serial.h"

namespace {

const QByteArray kEnable = QByteArray::fromHex("FF318A23010B00000012FB");

QByteArray frame(uint8_t cmd, std::vector<float> v) { return build_serial_frame(cmd, v.data(), static_cast<int>(v.size())); }

// Good frames of all four kinds between random noise, runs of 0xFF, heads whose
// length fits no frame and frames with a bad sum, fed in random pieces: exactly the
// good frames come out, in order.
TEST(SerialFrameBuffer, RandomNoiseAndOddHeadsNeitherLoseNorInventFrames) {
    std::mt19937 rng(7);
    const uint32_t odd_lengths[] = {0, 1, 2, 10, 12, 13, 19, 30, 32, 1000, 0xFFFFFFFF};
    QByteArray stream;
    std::vector<std::pair<int, std::vector<float>>> sent, got;
    for (int i = 0; i < 20000; ++i) {
        std::vector<float> v(std::vector<size_t>{0, 1, 3, 5}[rng() % 4], static_cast<float>(rng() % 1000) / 8.0f);
        const int cmd = static_cast<uint8_t>(rng());
        QByteArray bytes = frame(static_cast<uint8_t>(cmd), v);
        const uint32_t length = odd_lengths[rng() % 11];
        switch (rng() % 5) {
            case 0: bytes.clear(); for (int k = rng() % 40; k > 0; --k) bytes += static_cast<char>(rng()); break;
            case 1: bytes = QByteArray(static_cast<int>(rng() % 40), '\xFF'); break;  // a floating line
            case 2: bytes.replace(5, 4, reinterpret_cast<const char*>(&length), 4).truncate(10); break;  // odd head
            case 3: bytes[bytes.size() - 1] = static_cast<char>(bytes.back() + 1); break;  // bad sum
            default: sent.emplace_back(cmd, v);
        }
        stream += bytes;
    }
    SerialFrameBuffer buffer;
    for (int off = 0, n; off < stream.size(); off += n) {
        buffer.append(stream.mid(off, n = 1 + static_cast<int>(rng() % 300)));
        for (SerialFrame f; got.size() <= sent.size() && buffer.frame_available(); got.emplace_back(f.cmd, f.payload))
            buffer.read_frame(f);  // a frame that is never taken would repeat: bounded
    }
    EXPECT_TRUE(got == sent) << got.size() << " frames of " << sent.size();
}

TEST(SerialFrameBuffer, LongBacklogCutFrameAndHeaderlessLimit) {
    SerialFrameBuffer noisy;
    noisy.append(QByteArray(25600, '\xFF') + kEnable);  // a second of a floating line
    EXPECT_TRUE(noisy.frame_available());
    SerialFrameBuffer cut;  // a frame cut short by lost bytes costs only itself
    cut.append(frame(3, {1, 2, 3, 4, 5}).left(20) + kEnable);
    SerialFrame f;
    EXPECT_TRUE(cut.frame_available() && (cut.read_frame(f), f.cmd == 0x12));
    SerialFrameBuffer buffer(/*headerless_limit=*/64, /*backlog_limit=*/230);
    buffer.append(QByteArray(64, '\x10'));  // no header yet: kept up to the limit
    EXPECT_EQ((buffer.frame_available(), buffer.size()), 64);
    buffer.append(QByteArray(1, '\x10'));
    EXPECT_EQ((buffer.frame_available(), buffer.size()), 0);
}

template <class Link>
class SerialLinkPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.open());
        ConsoleCapture quiet;
        ASSERT_EQ(link.open(peer.slave_path()), 0);
    }
    PtyPeer peer;
    Link link;
};
using Links = ::testing::Types<QtSerial, WindowsSerial>;
TYPED_TEST_SUITE(SerialLinkPty, Links);

// A lost port: the link sees the loss on its next write, and the late report of it
// must not close the port opened since. Once closed, nothing is written, not even
// to a port opened afterwards that gets the old descriptor number.
TYPED_TEST(SerialLinkPty, WritesAt256000_8N1SurvivesALateLossReportAndNothingOnceClosed) {
    ConsoleCapture quiet;
    EXPECT_EQ(tty_settings(this->peer.master_fd()), "256000/256000 8N1");
    EXPECT_EQ(this->link.write(kEnable.constData(), 11), 0);
    EXPECT_EQ(this->peer.read_until(11, 1000), kEnable);
    this->peer.close_master();
    EXPECT_EQ(this->link.write(kEnable.constData(), 11), -1);  // sees the loss; its report is queued
    PtyPeer again, other;
    ASSERT_TRUE(again.open() && other.open());
    this->link.close();
    ASSERT_EQ(this->link.open(again.slave_path()), 0);
    QTest::qWait(20);
    EXPECT_EQ(this->link.write(kEnable.constData(), 11), 0);
    EXPECT_EQ(again.read_until(11, 1000), kEnable);

    EXPECT_EQ(this->link.close(), 1);
    TypeParam second;
    ASSERT_EQ(second.open(other.slave_path()), 0);
    EXPECT_EQ(this->link.write(kEnable.constData(), 11), -1);
    EXPECT_TRUE(other.read_until(1, 30).isEmpty());
    EXPECT_TRUE(again.read_until(1, 30).isEmpty());
}

// What waited in the port before the open, and a frame begun in the previous
// session, belong to no request of this session: open discards them, and the
// next reply is cut cleanly.
TEST(QtSerialOpen, DiscardsWhatWaitedBeforeTheOpen) {
    ConsoleCapture quiet;
    PtyPeer peer;
    ASSERT_TRUE(peer.open());
    QtSerial link;
    auto next_reply_alone = [&](const char* step) {
        const QByteArray reply = frame(0x13, {});
        ASSERT_TRUE(peer.write(reply));
        ASSERT_TRUE(wait_until([&] { return link.read(), link.buffered_size() >= reply.size(); }, 1000)) << step;
        QTest::qWait(20);
        link.read();
        EXPECT_EQ(link.buffered_size(), reply.size()) << step;
        SerialFrame f;
        EXPECT_TRUE(link.frame_available() && (link.read_frame(f), f.cmd == 0x13)) << step;
    };

    ASSERT_TRUE(peer.write(kEnable + kEnable));  // replies of an earlier session
    ASSERT_TRUE(wait_until([&] { return peer.pending_at_slave() == 22; }, 1000));
    ASSERT_EQ(link.open(peer.slave_path()), 0);
    next_reply_alone("waiting in the port");

    ASSERT_TRUE(peer.write(kEnable.left(5)));  // the link closes in the middle of a frame
    ASSERT_TRUE(wait_until([&] { return link.read(), link.buffered_size() >= 5; }, 1000));
    link.close();
    ASSERT_EQ(link.open(peer.slave_path()), 0);
    next_reply_alone("begun before the close");
}

// Qt warns when the port is used from a thread it does not belong to.
std::atomic<int> g_qt_warnings{0};

using QtSerialThreads = SerialLinkPty<QtSerial>;

TEST_F(QtSerialThreads, TwoWritingThreadsDeliverWholeFramesInOrder) {
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType t, const QMessageLogContext&, const QString&) { g_qt_warnings += t != QtDebugMsg && t != QtInfoMsg; });
    constexpr int kPerThread = 2000;
    std::atomic<int> failures{0}, done{0};
    auto writer = [&](float id) {
        for (int i = 0; i < kPerThread; ++i) failures += link.write(frame(16, {id, float(i), 0, 0, 0}).constData(), 31) != 0;
        ++done;
    };
    QByteArray got;
    std::thread drain([&] {  // slowly, so the line stays full and frames go out in pieces
        for (int i = 0; i < 5000 && got.size() < 2 * kPerThread * 31; ++i, got += peer.read_available())
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    std::thread a(writer, 1.0f), b(writer, 2.0f);
    wait_until([&] { return link.read(), link.is_open(), done == 2; }, 10000);  // the GUI thread keeps using the link
    a.join(), b.join(), drain.join();
    qInstallMessageHandler(previous);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(g_qt_warnings, 0);
    ASSERT_EQ(got.size(), 2 * kPerThread * 31);
    int next[3] = {0, 0, 0};
    for (int off = 0, id; off < got.size(); off += 31, ++next[id]) {
        id = got[off + 12] == '\x80' ? 1 : 2;  // the first value: 1.0f (00 00 80 3F) or 2.0f (00 00 00 40)
        ASSERT_EQ(got.mid(off, 31), frame(16, {float(id), float(next[id]), 0, 0, 0})) << off;
    }
}

}  // namespace
