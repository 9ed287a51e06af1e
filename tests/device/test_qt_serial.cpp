// QtSerial against a real pseudo-terminal: line settings, byte exchange, frame
// extraction with noise, resynchronisation and the heads that must not stall,
// concurrent writers and an unplugged device.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "pty_peer.h"
#include "qt_serial.h"
#include "tty_settings.h"

namespace {

QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

const QByteArray kSimple18 = hex("FF318A23010B00000012FB");
const QByteArray kSimple33 = hex("FF318A23010B000000210A");
const QByteArray kComplex1 = hex("FF318A23010F00000009 0000803F B5");

QByteArray complex5_zero16() {
    QByteArray f = hex("FF318A23011F00000010");
    f.append(QByteArray(20, '\0'));
    f.append('\x0D');
    return f;
}

// Captures standard output for its lifetime; take() ends the capture early.
// Ends the capture even when an assertion leaves the test early, and passes on
// what it caught when a check failed meanwhile (gtest reports on stdout).
class StdoutCapture {
public:
    StdoutCapture() : failed_before_(::testing::Test::HasFailure()) {
        testing::internal::CaptureStdout();
    }
    ~StdoutCapture() { take(); }
    std::string take() {
        if (!active_) return text_;
        active_ = false;
        text_ = testing::internal::GetCapturedStdout();
        if (!failed_before_ && ::testing::Test::HasFailure()) std::cerr << text_;
        return text_;
    }

private:
    bool failed_before_;
    bool active_ = true;
    std::string text_;
};

// Collects the Qt warnings a test provokes (cross-thread use shows up here).
std::mutex g_qt_messages_mutex;
QStringList g_qt_messages;
void collect_qt_message(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type == QtDebugMsg || type == QtInfoMsg) return;
    std::lock_guard<std::mutex> lock(g_qt_messages_mutex);
    g_qt_messages << msg;
}

class QtSerialPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.open());
        StdoutCapture out;
        ASSERT_EQ(link.open(peer.slave_path()), 0);
        ASSERT_EQ(out.take(), "[INFO] Serial opened!\n");
    }

    // Runs the event loop and the link's read until `count` bytes were moved.
    int pump(int count, int timeout_ms = 2000) {
        int moved = 0;
        QElapsedTimer t;
        t.start();
        while (moved < count && t.elapsed() < timeout_ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            const int n = link.read();
            if (n > 0) moved += n;
            if (moved < count) QTest::qSleep(1);
        }
        return moved;
    }

    void feed(const QByteArray& bytes) {
        ASSERT_TRUE(peer.write(bytes));
        ASSERT_EQ(pump(bytes.size()), bytes.size());
    }

    // frame_available() with its console output.
    bool available(std::string& log) {
        StdoutCapture out;
        const bool ok = link.frame_available();
        log = out.take();
        return ok;
    }

    PtyPeer peer;
    QtSerial link;
};

TEST_F(QtSerialPty, OpensAt256000_8N1AndExchangesBytes) {
    TtySettings s;
    ASSERT_TRUE(read_tty_settings(peer.master_fd(), s));
    EXPECT_EQ(s.output_baud, 256000u);
    EXPECT_EQ(s.input_baud, 256000u);
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_FALSE(s.parity);
    EXPECT_EQ(s.stop_bits, 1);
    EXPECT_FALSE(s.rts_cts);
    EXPECT_TRUE(link.is_open());

    // Link -> peer, byte-exact.
    EXPECT_EQ(link.write(kSimple18.constData(), kSimple18.size()), 0);
    const QByteArray c5 = complex5_zero16();
    EXPECT_EQ(link.write(c5.constData(), c5.size()), 0);
    EXPECT_EQ(peer.read_until(11 + 31, 1000), kSimple18 + c5);

    // Peer -> link: every byte reaches the signal exactly once, in order.
    QByteArray seen;
    QObject::connect(&link, &SerialInterface::serial_data_read_signal,
                     [&](QByteArray& d) { seen.append(d); });
    const QByteArray text("\x00\x7F\x80\xFF\r\n\x11\x13 raw bytes", 16);
    ASSERT_TRUE(peer.write(text));
    EXPECT_EQ(pump(text.size()), text.size());
    EXPECT_EQ(seen, text);
    EXPECT_EQ(link.buffered_size(), text.size());
}

TEST_F(QtSerialPty, ReadWithNothingWaitingReturnsZeroWithoutSignal) {
    QSignalSpy spy(&link, &SerialInterface::serial_data_read_signal);
    QCoreApplication::processEvents();
    EXPECT_EQ(link.read(), 0);
    EXPECT_EQ(spy.count(), 0);
}

TEST_F(QtSerialPty, NoiseBeforeFrameIsDiscardedWithItsSize) {
    feed(hex("000102") + kSimple18);
    std::string log;
    EXPECT_TRUE(available(log));
    EXPECT_EQ(log, "[WARN] Disgarding buffer of size:3\n");
    SerialFrame f;
    link.read_frame(f);
    EXPECT_EQ(f.header, 0x238A31FFu);
    EXPECT_EQ(f.type, 1);
    EXPECT_EQ(f.length, 11u);
    EXPECT_EQ(f.cmd, 18);
    EXPECT_TRUE(f.payload.empty());
    EXPECT_EQ(f.check_sum, 0xFB);
    EXPECT_EQ(link.buffered_size(), 0);
}

TEST_F(QtSerialPty, HeadWithoutFFOrWithFalseHeader) {
    // No FF at all: no frame, nothing discarded, no log.
    feed(hex("00112233445566778899AABBCCDDEE"));
    std::string log;
    EXPECT_FALSE(available(log));
    EXPECT_EQ(log, "");
    EXPECT_EQ(link.buffered_size(), 15);

    // FF 00 00 00 and six more bytes: a false FF costs one byte.
    PtyPeer p2;  // outlives the link, as an unplug is not what this checks
    QtSerial other;
    ASSERT_TRUE(p2.open());
    {
        StdoutCapture quiet;
        ASSERT_EQ(other.open(p2.slave_path()), 0);
    }
    ASSERT_TRUE(p2.write(hex("FF000000010203040506")));
    QElapsedTimer t;
    t.start();
    while (other.buffered_size() < 10 && t.elapsed() < 2000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        other.read();
    }
    ASSERT_EQ(other.buffered_size(), 10);
    StdoutCapture out;
    EXPECT_FALSE(other.frame_available());
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(other.buffered_size(), 9);
}

TEST_F(QtSerialPty, SplitAndMergedFrames) {
    const QByteArray c5 = complex5_zero16();
    std::string log;
    // One frame in two pieces.
    feed(kComplex1.left(6));
    EXPECT_FALSE(available(log));
    feed(kComplex1.mid(6));
    ASSERT_TRUE(available(log));
    SerialFrame f1;
    link.read_frame(f1);
    EXPECT_EQ(f1.cmd, 9);
    ASSERT_EQ(f1.payload.size(), 1u);
    EXPECT_EQ(f1.payload[0], 1.0f);
    EXPECT_EQ(f1.check_sum, 0xB5);

    // Three frames in one read, delivered in order.
    const float v[3] = {1.5f, -2.25f, 1000.0f};
    const QByteArray c3 = build_serial_frame(2, v, 3);
    feed(kSimple33 + c3 + c5);
    SerialFrame a, b, c;
    ASSERT_TRUE(available(log));
    link.read_frame(a);
    ASSERT_TRUE(available(log));
    link.read_frame(b);
    ASSERT_TRUE(available(log));
    link.read_frame(c);
    EXPECT_FALSE(available(log));
    EXPECT_EQ(a.cmd, 33);
    EXPECT_EQ(a.check_sum, 0x0A);
    EXPECT_EQ(b.length, 23u);
    EXPECT_EQ(b.payload, (std::vector<float>{1.5f, -2.25f, 1000.0f}));
    EXPECT_EQ(c.length, 31u);
    EXPECT_EQ(c.cmd, 16);
    EXPECT_EQ(c.payload, std::vector<float>(5, 0.0f));
    EXPECT_EQ(c.check_sum, 0x0D);
    EXPECT_EQ(log, "");
}

TEST_F(QtSerialPty, BadChecksumCostsFourBytesThenResyncs) {
    QByteArray bad = kComplex1;
    bad[14] = '\x42';
    feed(bad);
    std::string log;
    EXPECT_FALSE(available(log));
    EXPECT_EQ(log, "[WARN] A simple command frame with incorrect check_sum is discarded.\n");
    // Without a following frame the 11 remaining bytes stay: no FF to resync on.
    EXPECT_FALSE(available(log));
    EXPECT_EQ(log, "");
    EXPECT_EQ(link.buffered_size(), 11);

    feed(kSimple18);
    EXPECT_TRUE(available(log));
    EXPECT_EQ(log, "[WARN] Disgarding buffer of size:11\n");
    SerialFrame f;
    link.read_frame(f);
    EXPECT_EQ(f.cmd, 18);
}

TEST_F(QtSerialPty, LengthFittingNoKindIsTakenWhole) {
    // Length 19, 18 first bytes summing to 0 mod 256: passes, then is reported.
    QByteArray odd = hex("FF318A2301130000000000000000000000");
    ASSERT_EQ(odd.size(), 17);
    uint8_t sum = 0;
    for (char ch : odd) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(ch));
    odd.append(static_cast<char>(static_cast<uint8_t>(0x100 - sum)));  // byte 17
    odd.append('\x77');                                                // byte 18, not summed
    feed(odd + kSimple18);
    std::string log;
    ASSERT_TRUE(available(log));
    SerialFrame f;  // all zero
    StdoutCapture out;
    link.read_frame(f);
    EXPECT_EQ(out.take(),
              "[WARN] Bytearray.size() is: 19 ,not fitting into any size\n");
    EXPECT_EQ(f.header, 0u);
    EXPECT_EQ(f.length, 0u);
    EXPECT_TRUE(f.payload.empty());
    ASSERT_TRUE(available(log));
    link.read_frame(f);
    EXPECT_EQ(f.cmd, 18);
}

TEST_F(QtSerialPty, ZeroAndOversizedLengthsDoNotStall) {
    // Length 0 would pass the sum test and never be taken; lengths above 31 would
    // wait forever. Both are rejected and the next frame gets through.
    const QByteArray zero = hex("FF318A23010000000012");
    const QByteArray huge = hex("FF318A2301FFFFFF7F12") + QByteArray(40, '\x01');
    const QByteArray just_over = hex("FF318A23012000000012") + QByteArray(40, '\x02');
    feed(zero + huge + just_over + kSimple18);

    std::string all, log;
    SerialFrame f;
    int frames = 0;
    for (int i = 0; i < 200 && frames == 0; ++i) {
        if (available(log)) {
            link.read_frame(f);
            ++frames;
        }
        all += log;
    }
    ASSERT_EQ(frames, 1);
    EXPECT_EQ(f.cmd, 18);
    EXPECT_EQ(link.buffered_size(), 0);
    EXPECT_NE(all.find("[WARN] Frame length field 0 fits no frame"), std::string::npos) << all;
    EXPECT_NE(all.find("[WARN] Frame length field 2147483647 fits no frame"), std::string::npos);
    EXPECT_NE(all.find("[WARN] Frame length field 32 fits no frame"), std::string::npos);
}

TEST_F(QtSerialPty, BacklogWithoutHeaderStaysBounded) {
    const QByteArray noise(1000, '\x55');
    int max_seen = 0;
    std::string log, all;
    for (int i = 0; i < 40; ++i) {
        feed(noise);
        EXPECT_FALSE(available(log));
        all += log;
        max_seen = std::max(max_seen, link.buffered_size());
    }
    EXPECT_LE(max_seen, SerialFrameBuffer::kDefaultHeaderlessLimit);
    EXPECT_NE(all.find("[WARN] No frame header in "), std::string::npos);
    feed(kSimple33);
    EXPECT_TRUE(available(log));
    SerialFrame f;
    link.read_frame(f);
    EXPECT_EQ(f.cmd, 33);
}

TEST(QtSerialClosed, WriteOnClosedPortFails) {
    QtSerial link;
    StdoutCapture first;
    EXPECT_EQ(link.write(kSimple18.constData(), kSimple18.size()), -1);
    EXPECT_EQ(first.take(), "[ERROR] Write error\n");
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(link.read(), 0);

    PtyPeer peer;
    ASSERT_TRUE(peer.open());
    StdoutCapture second;
    EXPECT_EQ(link.open(peer.slave_path()), 0);
    EXPECT_EQ(link.close(), 1);
    EXPECT_EQ(link.write(kSimple18.constData(), kSimple18.size()), -1);
    EXPECT_EQ(second.take(),
              "[INFO] Serial opened!\n[ERROR] Write error\n");
    EXPECT_TRUE(peer.read_for(20).isEmpty());
}

TEST(QtSerialClosed, OpenOfMissingPortFails) {
    QtSerial link;
    StdoutCapture out;
    EXPECT_EQ(link.open("/dev/hv-missing-port-" + std::to_string(::getpid())), 1);
    EXPECT_EQ(out.take(), "[ERROR] Serial open failed!\n");
    EXPECT_FALSE(link.is_open());
}

TEST_F(QtSerialPty, TwoWritingThreadsDeliverWholeFramesInOrder) {
    g_qt_messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collect_qt_message);
    constexpr int kPerThread = 400;
    std::atomic<int> failures{0};
    std::atomic<int> writers_done{0};
    auto writer = [&](float id) {
        for (int i = 0; i < kPerThread; ++i) {
            const float v[5] = {id, static_cast<float>(i), -id, 0.5f, 3.0f};
            const QByteArray f = build_serial_frame(16, v, 5);
            if (link.write(f.constData(), f.size()) != 0) ++failures;
        }
        ++writers_done;
    };
    // The far end drains the line on its own, as a device would, while the GUI
    // thread keeps using the link.
    QByteArray got;
    std::thread drain([&] { got = peer.read_until(2 * kPerThread * 31, 10000); });
    std::thread a(writer, 1.0f);
    std::thread b(writer, 2.0f);
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        QCoreApplication::processEvents();
        link.read();
        link.is_open();
        if (writers_done.load() == 2) break;
    }
    a.join();
    b.join();
    drain.join();
    got.append(peer.read_for(20));
    qInstallMessageHandler(previous);

    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(got.size(), 2 * kPerThread * 31);
    int next[3] = {0, 0, 0};
    for (int off = 0; off < got.size(); off += 31) {
        const QByteArray f = got.mid(off, 31);
        ASSERT_EQ(f.left(10), hex("FF318A23011F00000010")) << "frame at " << off;
        SerialFrame sf;
        ASSERT_TRUE(decode_serial_frame(f, sf));
        ASSERT_EQ(byte_sum_checksum(reinterpret_cast<const uint8_t*>(f.constData()), 31),
                  sf.check_sum);
        const int id = static_cast<int>(sf.payload[0]);
        ASSERT_TRUE(id == 1 || id == 2);
        EXPECT_EQ(static_cast<int>(sf.payload[1]), next[id]++);
        EXPECT_EQ(sf.payload[2], -sf.payload[0]);
    }
    EXPECT_EQ(next[1], kPerThread);
    EXPECT_EQ(next[2], kPerThread);
    std::lock_guard<std::mutex> lock(g_qt_messages_mutex);
    EXPECT_TRUE(g_qt_messages.isEmpty()) << g_qt_messages.join("\n").toStdString();
}

TEST_F(QtSerialPty, UnplugWhileOpenClosesTheLink) {
    feed(kSimple18);
    peer.close_master();

    // The port notices the device is gone and the link reports itself closed.
    QElapsedTimer t;
    t.start();
    StdoutCapture capture;
    while (link.is_open() && t.elapsed() < 3000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        link.read();
    }
    QElapsedTimer w;
    w.start();
    const int wr = link.write(kSimple18.constData(), kSimple18.size());
    const qint64 write_ms = w.elapsed();
    const std::string out = capture.take();
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(wr, -1);
    EXPECT_LT(write_ms, 1000);
    EXPECT_NE(out.find("[ERROR] Serial device lost, port closed"), std::string::npos) << out;
    // Frames already buffered are still there for the receive thread.
    std::string log;
    EXPECT_TRUE(available(log));

    // Plugged in again (a new pty): close and reopen work.
    EXPECT_EQ(link.close(), 1);
    PtyPeer again;
    ASSERT_TRUE(again.open());
    {
        StdoutCapture quiet;
        EXPECT_EQ(link.open(again.slave_path()), 0);
    }
    EXPECT_TRUE(link.is_open());
    EXPECT_EQ(link.write(kSimple33.constData(), kSimple33.size()), 0);
    EXPECT_EQ(again.read_until(11, 1000), kSimple33);
    QTest::qWait(20);  // a late loss report for the old port must not close the new one
    EXPECT_TRUE(link.is_open());
}

}  // namespace
