// QtSerial against a real pseudo-terminal: line settings, byte exchange, frame
// extraction with noise and resynchronisation, the heads that must not stall,
// concurrent writers and an unplugged device.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "console_capture.h"
#include "pty_peer.h"
#include "qt_serial.h"
#include "tty_settings.h"

namespace {

QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

const QByteArray kSimple18 = hex("FF318A23010B00000012FB");
const QByteArray kSimple33 = hex("FF318A23010B000000210A");
const QByteArray kComplex1 = hex("FF318A23010F000000090000803FB5");
const QByteArray kComplex5Zero16 = hex("FF318A23011F00000010") + QByteArray(20, '\0') + hex("0D");

// Qt warnings a test provokes (cross-thread use of the port shows up here).
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
        ConsoleCapture out;
        ASSERT_EQ(link.open(peer.slave_path()), 0);
        ASSERT_EQ(out.text(), "[INFO] Serial opened!\n");
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

    SerialFrame take() {
        SerialFrame f;
        EXPECT_TRUE(link.frame_available());
        link.read_frame(f);
        return f;
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

    EXPECT_EQ(link.write(kSimple18.constData(), kSimple18.size()), 0);
    EXPECT_EQ(link.write(kComplex5Zero16.constData(), kComplex5Zero16.size()), 0);
    EXPECT_EQ(peer.read_until(11 + 31, 1000), kSimple18 + kComplex5Zero16);

    // Nothing waiting: 0 and no signal; then every byte reaches the signal once, in order.
    QByteArray seen;
    int signals_seen = 0;
    QObject::connect(&link, &SerialInterface::serial_data_read_signal, [&](QByteArray& d) {
        seen.append(d);
        ++signals_seen;
    });
    QCoreApplication::processEvents();
    EXPECT_EQ(link.read(), 0);
    EXPECT_EQ(signals_seen, 0);
    const QByteArray text("\x00\x7F\x80\xFF\r\n\x11\x13 raw bytes", 16);
    ASSERT_TRUE(peer.write(text));
    EXPECT_EQ(pump(text.size()), text.size());
    EXPECT_EQ(seen, text);
    EXPECT_EQ(link.buffered_size(), text.size());
}

TEST_F(QtSerialPty, ResyncsAfterFalseHeadersNoiseAndBadChecksums) {
    ConsoleCapture out;
    // A false FF costs one byte, quietly; the rest has no FF and waits.
    feed(hex("FF000000010203040506"));
    EXPECT_FALSE(link.frame_available());
    EXPECT_EQ(link.buffered_size(), 9);
    EXPECT_FALSE(link.frame_available());
    EXPECT_EQ(link.buffered_size(), 9);
    EXPECT_EQ(out.text(), "");

    feed(kSimple18);
    SerialFrame f = take();
    EXPECT_EQ(out.text(), "[WARN] Disgarding buffer of size:9\n");
    EXPECT_EQ(f.header, 0x238A31FFu);
    EXPECT_EQ(f.type, 1);
    EXPECT_EQ(f.length, 11u);
    EXPECT_EQ(f.cmd, 18);
    EXPECT_TRUE(f.payload.empty());
    EXPECT_EQ(f.check_sum, 0xFB);
    EXPECT_EQ(link.buffered_size(), 0);

    // A bad checksum costs the four header bytes; the rest waits for the next FF.
    out.clear();
    QByteArray bad = kComplex1;
    bad[14] = '\x42';
    feed(bad);
    EXPECT_FALSE(link.frame_available());
    EXPECT_FALSE(link.frame_available());
    EXPECT_EQ(out.text(), "[WARN] A simple command frame with incorrect check_sum is discarded.\n");
    EXPECT_EQ(link.buffered_size(), 11);
    feed(kSimple18);
    EXPECT_EQ(take().cmd, 18);
    EXPECT_EQ(out.lines().back(), "[WARN] Disgarding buffer of size:11");
}

TEST_F(QtSerialPty, SplitAndMergedFrames) {
    ConsoleCapture out;
    feed(kComplex1.left(6));
    EXPECT_FALSE(link.frame_available());
    feed(kComplex1.mid(6));
    const SerialFrame f1 = take();
    EXPECT_EQ(f1.cmd, 9);
    EXPECT_EQ(f1.payload, std::vector<float>{1.0f});
    EXPECT_EQ(f1.check_sum, 0xB5);

    const float v[3] = {1.5f, -2.25f, 1000.0f};
    feed(kSimple33 + build_serial_frame(2, v, 3) + kComplex5Zero16);
    const SerialFrame a = take(), b = take(), c = take();
    EXPECT_FALSE(link.frame_available());
    EXPECT_EQ(a.cmd, 33);
    EXPECT_EQ(a.check_sum, 0x0A);
    EXPECT_EQ(b.length, 23u);
    EXPECT_EQ(b.payload, (std::vector<float>{1.5f, -2.25f, 1000.0f}));
    EXPECT_EQ(c.length, 31u);
    EXPECT_EQ(c.cmd, 16);
    EXPECT_EQ(c.payload, std::vector<float>(5, 0.0f));
    EXPECT_EQ(c.check_sum, 0x0D);
    EXPECT_EQ(out.text(), "");
}

TEST_F(QtSerialPty, LengthFittingNoKindIsTakenWholeAndReported) {
    // Length 19, first 18 bytes summing to 0 mod 256: passes the sum test.
    QByteArray odd = hex("FF318A2301130000000000000000000000");
    uint8_t sum = 0;
    for (char ch : odd) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(ch));
    odd.append(static_cast<char>(static_cast<uint8_t>(0x100 - sum)));
    odd.append('\x77');  // last byte, not summed
    ASSERT_EQ(odd.size(), 19);
    feed(odd + kSimple18);
    ConsoleCapture out;
    const SerialFrame f = take();
    EXPECT_EQ(out.text(), "[WARN] Bytearray.size() is: 19 ,not fitting into any size\n");
    EXPECT_EQ(f.header, 0u);
    EXPECT_EQ(f.length, 0u);
    EXPECT_TRUE(f.payload.empty());
    EXPECT_EQ(take().cmd, 18);
}

TEST_F(QtSerialPty, ZeroAndOversizedLengthsDoNotStall) {
    // Length 0 would pass the sum test and never be taken; lengths above 31 would
    // wait forever. Both are rejected and the next frame gets through.
    const QByteArray zero = hex("FF318A23010000000012");
    const QByteArray huge = hex("FF318A2301FFFFFF7F12") + QByteArray(40, '\x01');
    const QByteArray just_over = hex("FF318A23012000000012") + QByteArray(40, '\x02');
    feed(zero + huge + just_over + kSimple18);

    ConsoleCapture out;
    int tries = 0;
    while (!link.frame_available() && ++tries < 200) {}
    ASSERT_LT(tries, 200);
    SerialFrame f;
    link.read_frame(f);
    EXPECT_EQ(f.cmd, 18);
    EXPECT_EQ(link.buffered_size(), 0);
    for (const char* field : {"0", "2147483647", "32"})
        EXPECT_TRUE(out.contains(std::string("[WARN] Frame length field ") + field + " fits no frame")) << field;
}

TEST(QtSerialClosed, WriteOnClosedAndOpenOfMissingPortFail) {
    QtSerial link;
    PtyPeer peer;
    ASSERT_TRUE(peer.open());
    ConsoleCapture out;
    EXPECT_EQ(link.write(kSimple18.constData(), kSimple18.size()), -1);
    EXPECT_EQ(link.read(), 0);
    EXPECT_EQ(link.open(peer.slave_path()), 0);
    EXPECT_EQ(link.close(), 1);
    EXPECT_EQ(link.write(kSimple18.constData(), kSimple18.size()), -1);
    EXPECT_TRUE(peer.read_for(20).isEmpty());
    EXPECT_EQ(link.open("/dev/hv-missing-port-" + std::to_string(::getpid())), 1);
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(out.lines(), (std::vector<std::string>{"[ERROR] Write error", "[INFO] Serial opened!",
                                                     "[ERROR] Write error", "[ERROR] Serial open failed!"}));
}

TEST_F(QtSerialPty, TwoWritingThreadsDeliverWholeFramesInOrder) {
    g_qt_messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collect_qt_message);
    constexpr int kPerThread = 400;
    std::atomic<int> failures{0}, writers_done{0};
    auto writer = [&](float id) {
        for (int i = 0; i < kPerThread; ++i) {
            const float v[5] = {id, static_cast<float>(i), -id, 0.5f, 3.0f};
            const QByteArray f = build_serial_frame(16, v, 5);
            if (link.write(f.constData(), f.size()) != 0) ++failures;
        }
        ++writers_done;
    };
    // The far end drains the line as a device would, while the GUI thread keeps using the link.
    QByteArray got;
    std::thread drain([&] { got = peer.read_until(2 * kPerThread * 31, 10000); });
    std::thread a(writer, 1.0f), b(writer, 2.0f);
    QElapsedTimer t;
    t.start();
    while (writers_done.load() < 2 && t.elapsed() < 10000) {
        QCoreApplication::processEvents();
        link.read();
        link.is_open();
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
        SerialFrame sf;
        ASSERT_TRUE(f.startsWith(hex("FF318A23011F00000010")) && decode_serial_frame(f, sf)) << "at " << off;
        ASSERT_EQ(byte_sum_checksum(reinterpret_cast<const uint8_t*>(f.constData()), 31), sf.check_sum);
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

TEST_F(QtSerialPty, UnplugWhileOpenClosesTheLinkAndReopenWorks) {
    feed(kSimple18);
    peer.close_master();
    ConsoleCapture out;
    QElapsedTimer t;
    t.start();
    while (link.is_open() && t.elapsed() < 3000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        link.read();
    }
    t.restart();
    EXPECT_EQ(link.write(kSimple18.constData(), kSimple18.size()), -1);
    EXPECT_LT(t.elapsed(), 1000);
    EXPECT_FALSE(link.is_open());
    EXPECT_TRUE(out.contains("[ERROR] Serial device lost, port closed")) << out.text();
    EXPECT_TRUE(link.frame_available()) << "frames already buffered stay for the receive thread";

    // Plugged in again (a new pty): close and reopen work.
    EXPECT_EQ(link.close(), 1);
    PtyPeer again;
    ASSERT_TRUE(again.open());
    EXPECT_EQ(link.open(again.slave_path()), 0);
    EXPECT_EQ(link.write(kSimple33.constData(), kSimple33.size()), 0);
    EXPECT_EQ(again.read_until(11, 1000), kSimple33);
    QTest::qWait(20);  // a late loss report for the old port must not close the new one
    EXPECT_TRUE(link.is_open());
}

}  // namespace
