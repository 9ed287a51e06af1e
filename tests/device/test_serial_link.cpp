// The frame cutter both serial links share, and the links themselves against a
// real pseudo-terminal.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include <atomic>
#include <random>
#include <thread>
#include <unistd.h>

#include "console_capture.h"
#include "kernel_object.h"
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

// Nobody takes frames: the backlog stops at its limit and keeps the oldest frames
// whole; a reader that asks without a frame at the head takes nothing.
TEST(SerialFrameBuffer, BacklogLimitKeepsTheOldestFramesWhole) {
    ConsoleCapture quiet;
    for (int limit : {230, 240}) {  // ten whole frames; ten and a cut piece of the next
        SCOPED_TRACE(limit);
        SerialFrameBuffer buffer(/*headerless_limit=*/64, limit);
        for (int i = 0; i < 20; ++i) buffer.append(frame(2, {float(i), 0.25f, -1.0f}));
        EXPECT_EQ(buffer.size(), limit);
        std::vector<float> got;
        for (SerialFrame f; got.size() < 20 && buffer.frame_available(); got.push_back(f.payload.at(0))) buffer.read_frame(f);
        EXPECT_EQ(got, (std::vector<float>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
        buffer.append(frame(2, {10, 0, 0}) + frame(2, {11, 0, 0}));  // room again once read
        EXPECT_EQ(buffer.size(), limit - 230 + 46);
    }

    SerialFrameBuffer partial;
    partial.append(kEnable.left(8));
    SerialFrame untouched;
    EXPECT_FALSE(partial.frame_available());
    partial.read_frame(untouched);
    EXPECT_EQ(partial.size(), 8);
    EXPECT_EQ(untouched.length, 0u);
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

// Moves what the peer sent into the link, as the 1 ms read timer does.
template <class Link>
bool pump(Link& link, int count) {
    int moved = 0;
    return wait_until([&] { return (moved += std::max(link.read(), 0)) >= count; }, 2000);
}

template <class Link>
std::vector<SerialFrame> take_frames(Link& link) {
    std::vector<SerialFrame> out;
    for (SerialFrame f; out.size() < 50 && link.frame_available(); out.push_back(f)) link.read_frame(f = SerialFrame());
    return out;
}

// Every byte value crosses the line unchanged both ways, and each read hands
// exactly the bytes it moved to the terminal signal.
TYPED_TEST(SerialLinkPty, EveryByteValuePassesBothWays) {
    QByteArray all;
    for (int i = 0; i < 256; ++i) all.append(static_cast<char>(i));
    all += "\r\n\x11\x13";  // line-discipline and flow-control characters
    ASSERT_EQ(this->link.write(all.constData(), all.size()), 0);
    EXPECT_EQ(this->peer.read_until(all.size(), 1000), all);
    QByteArray seen;
    QObject::connect(&this->link, &SerialInterface::serial_data_read_signal, [&](QByteArray& d) { seen += d; });
    ASSERT_TRUE(this->peer.write(all));
    ASSERT_TRUE(pump(this->link, all.size()));
    EXPECT_EQ(seen, all);
    EXPECT_EQ(this->link.buffered_size(), all.size());
}

// Frames cut out of what the line delivered: noise before a frame, a frame in two
// pieces, three in one read, a bad sum that resynchronises on the next header,
// heads whose length fits no frame (zero, huge, 19, 32) that neither stall the
// link nor swallow the frame behind them.
TYPED_TEST(SerialLinkPty, FramesComeOutOfNoisePiecesAndOddHeads) {
    ConsoleCapture quiet;
    const QByteArray c1 = QByteArray::fromHex("FF318A23010F000000090000803FB5");
    QByteArray bad = c1;
    bad[14] = '\x42';
    QByteArray odd19 = QByteArray::fromHex("FF318A2301130000000000000000000000");
    uint8_t sum = 0;
    for (char ch : odd19) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(ch));
    odd19 += static_cast<char>(0x100 - sum), odd19 += '\x77';  // passes the sum test over its 19 bytes
    const QByteArray c3 = frame(2, {1.5f, -2.25f, 1000.0f}), c5 = frame(16, {0, 0, 0, 0, 0});
    const struct { QByteArray first, second; std::vector<int> cmds; int left; } rows[] = {
        {QByteArray::fromHex("000102") + kEnable, {}, {18}, 0},
        {c1.left(6), c1.mid(6), {9}, 0},
        {frame(33, {}) + c3 + c5, {}, {33, 2, 16}, 0},
        {bad, kEnable, {18}, 0},
        {QByteArray::fromHex("FF318A23010B000000") + kEnable, {}, {18}, 0},  // a bad sum costs 4 bytes, not the frame inside
        {odd19 + kEnable, {}, {18}, 0},
        {QByteArray::fromHex("FF318A23010000000012") + QByteArray::fromHex("FF318A2301FFFFFF7F12") + QByteArray(40, 1) +
             QByteArray::fromHex("FF318A23012000000012") + QByteArray(40, 2) + kEnable, {}, {18}, 0},
        {QByteArray::fromHex("FF000000010203040506"), {}, {}, 9},  // a false FF costs one byte
        {QByteArray::fromHex("00112233445566778899AABBCCDDEE"), {}, {}, 9 + 15},  // no FF: all kept
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first.toHex().toStdString());
        ASSERT_TRUE(this->peer.write(row.first) && pump(this->link, row.first.size()));
        auto frames = take_frames(this->link);
        if (!row.second.isEmpty()) {
            EXPECT_TRUE(frames.empty());
            ASSERT_TRUE(this->peer.write(row.second) && pump(this->link, row.second.size()));
            frames = take_frames(this->link);
        }
        std::vector<int> cmds;
        for (const auto& f : frames) cmds.push_back(f.cmd);
        EXPECT_EQ(cmds, row.cmds);
        EXPECT_EQ(this->link.buffered_size(), row.left);
        for (const auto& f : frames) {
            EXPECT_EQ(f.header, kSerialHeaderWord);
            EXPECT_EQ(f.type, 1);
            EXPECT_EQ(f.length, 11 + 4 * f.payload.size());
        }
        if (cmds == std::vector<int>{9}) {
            EXPECT_EQ(frames[0].payload, std::vector<float>{1.0f});
            EXPECT_EQ(frames[0].check_sum, 0xB5);
        }
        if (cmds.size() == 3) {
            EXPECT_EQ(frames[0].check_sum, 0x0A);
            EXPECT_EQ(frames[1].payload, (std::vector<float>{1.5f, -2.25f, 1000.0f}));
            EXPECT_EQ(frames[2].payload, std::vector<float>(5, 0.0f));
            EXPECT_EQ(frames[2].check_sum, 0x0D);
        }
    }
}

// A line that never carries a header does not grow the link's buffer without
// bound, and a frame after it still gets through.
TYPED_TEST(SerialLinkPty, HeaderlessNoiseStaysBounded) {
    ConsoleCapture quiet;
    int most = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(this->peer.write(QByteArray(1000, '\x55')) && pump(this->link, 1000));
        EXPECT_FALSE(this->link.frame_available());
        most = std::max(most, this->link.buffered_size());
    }
    EXPECT_LE(most, SerialFrameBuffer::kDefaultHeaderlessLimit);
    ASSERT_TRUE(this->peer.write(kEnable) && pump(this->link, 11));
    const auto frames = take_frames(this->link);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].cmd, 0x12);
}

// A pulled adapter: the link reports itself closed soon, what arrived before is
// still there for the receive thread, and it opens again on a new port.
TYPED_TEST(SerialLinkPty, UnplugClosesTheLinkAndKeepsBufferedFrames) {
    ConsoleCapture quiet;
    ASSERT_TRUE(this->peer.write(kEnable) && pump(this->link, 11));
    this->peer.close_master();
    EXPECT_TRUE(wait_until([&] { return this->link.read(), !this->link.is_open(); }, 3000));
    EXPECT_EQ(this->link.write(kEnable.constData(), 11), -1);
    ASSERT_TRUE(this->link.frame_available());
    SerialFrame f;
    this->link.read_frame(f);
    EXPECT_EQ(f.cmd, 0x12);
    this->link.close();
    PtyPeer again;
    ASSERT_TRUE(again.open());
    ASSERT_EQ(this->link.open(again.slave_path()), 0);
    EXPECT_TRUE(this->link.is_open());
    EXPECT_EQ(this->link.write(kEnable.constData(), 11), 0);
    EXPECT_EQ(again.read_until(11, 1000), kEnable);
}

TEST(QtSerialClosed, ClosedOrMissingPortNeitherWritesNorReads) {
    ConsoleCapture quiet;
    QtSerial link;
    QSignalSpy reads(&link, &SerialInterface::serial_data_read_signal);
    EXPECT_EQ(link.write(kEnable.constData(), 11), -1);
    EXPECT_EQ(link.read(), 0);
    EXPECT_EQ(link.open("/dev/hv-missing-port-" + std::to_string(::getpid())), 1);
    EXPECT_FALSE(link.is_open());
    PtyPeer peer;
    ASSERT_TRUE(peer.open());
    ASSERT_EQ(link.open(peer.slave_path()), 0);
    EXPECT_EQ(link.read(), 0);  // nothing waiting
    EXPECT_EQ(link.close(), 1);
    EXPECT_EQ(link.write(kEnable.constData(), 11), -1);
    EXPECT_TRUE(peer.read_until(1, 30).isEmpty());
    EXPECT_EQ(reads.count(), 0);
}

TEST(WindowsSerialOpen, FailuresReportTheirTextAndLeaveNoHandle) {
    namespace w = hv::win;
    const std::size_t handles_before = w::live_handle_count();
    PtyPeer peer;
    ASSERT_TRUE(peer.open());
    const struct { const char* what; std::string name; w::CommCall inject; uint32_t error; const char* text; } rows[] = {
        {"missing port", "hv-no-such-port", w::CommCall::ReadFile, 0, "无法打开串口\n"},
        {"not a serial port", "/dev/null", w::CommCall::ReadFile, 0, "无法获取串口参数\n"},
        {"settings refused", peer.slave_path(), w::CommCall::SetCommState, w::ERROR_INVALID_PARAMETER, "无法设置串口参数\n"},
        {"time-outs refused", peer.slave_path(), w::CommCall::SetCommTimeouts, w::ERROR_GEN_FAILURE, "无法设置串口超时\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        WindowsSerial link;
        if (row.error != 0) w::inject_comm_failure(row.inject, row.error);
        ConsoleCapture out, err(std::cerr);
        EXPECT_EQ(link.open(row.name), 1);
        EXPECT_EQ(err.text(), row.text);
        EXPECT_EQ(out.text(), "");
        EXPECT_FALSE(link.is_open());
        EXPECT_FALSE(link.is_open());  // the lock was released on the failing path
        EXPECT_EQ(w::live_handle_count(), handles_before);
    }
    WindowsSerial link;  // the port that failed to be set up is free again
    ConsoleCapture quiet;
    EXPECT_EQ(link.open(peer.slave_path()), 0);
}

using WindowsSerialPty = SerialLinkPty<WindowsSerial>;

TEST_F(WindowsSerialPty, ReadMovesAtMost255BytesAndSignalsEveryCall) {
    QList<QByteArray> seen;
    QObject::connect(&link, &SerialInterface::serial_data_read_signal, [&](QByteArray& d) { seen << d; });
    EXPECT_EQ(link.read(), 0);  // nothing waiting: the signal still comes, empty
    QByteArray bytes;
    for (int i = 0; i < 300; ++i) bytes.append(static_cast<char>(i * 7));
    ASSERT_TRUE(peer.write(bytes));
    ASSERT_TRUE(wait_until([&] { return peer.pending_at_slave() == 300; }, 2000));
    EXPECT_EQ(link.read(), 255);
    EXPECT_EQ(link.read(), 45);
    EXPECT_EQ(link.read(), 0);
    ASSERT_EQ(seen.size(), 4);
    EXPECT_TRUE(seen[0].isEmpty());
    EXPECT_EQ(seen[1] + seen[2], bytes);
    EXPECT_EQ(link.buffered_size(), 300);
}

// Closing reaches only this link's own port, which is not shared while open and
// is free again after close or destruction.
TEST_F(WindowsSerialPty, CloseNeverReachesAnotherHandleAndThePortIsExclusive) {
    ConsoleCapture quiet, err(std::cerr);
    PtyPeer other_peer;
    ASSERT_TRUE(other_peer.open());
    WindowsSerial other, second;
    ASSERT_EQ(other.open(other_peer.slave_path()), 0);
    EXPECT_EQ(second.open(peer.slave_path()), 1);
    EXPECT_EQ(err.text(), "无法打开串口\n");
    EXPECT_EQ(link.close(), 1);
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(link.close(), 0);  // nothing left to close
    EXPECT_EQ(WindowsSerial().close(), 0);
    EXPECT_TRUE(other.is_open());
    EXPECT_EQ(other.write(kEnable.constData(), 11), 0);
    EXPECT_EQ(other_peer.read_until(11, 1000), kEnable);
    EXPECT_EQ(link.write(kEnable.constData(), 11), -1);
    EXPECT_EQ(link.read(), -1);
    {
        WindowsSerial temporary;  // dropped while open: gives the port back
        ASSERT_EQ(temporary.open(peer.slave_path()), 0);
    }
    EXPECT_EQ(second.open(peer.slave_path()), 0);
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
