// WindowsSerial through the Win32-comm layer against a real pseudo-terminal.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "console_capture.h"
#include "kernel_object.h"
#include "pty_peer.h"
#include "tty_settings.h"
#include "windows_serial.h"

namespace {

QByteArray hex(const char* text) { return QByteArray::fromHex(text); }
const QByteArray kSimple18 = hex("FF318A23010B00000012FB");
const QByteArray kComplex1 = hex("FF318A23010F000000090000803FB5");

TEST(WindowsSerialOpen, FailuresReportTheirTextAndLeaveNoHandle) {
    const std::size_t handles_before = hv::win::live_handle_count();
    struct Case {
        const char* what;
        std::string name;
        hv::win::CommCall inject;
        uint32_t error;
        const char* text;
    };
    PtyPeer peer;
    ASSERT_TRUE(peer.open());
    const Case cases[] = {
        {"missing port", "hv-no-such-port", hv::win::CommCall::ReadFile, 0, "无法打开串口\n"},
        {"not a serial port", "/dev/null", hv::win::CommCall::ReadFile, 0, "无法获取串口参数\n"},
        {"settings refused", peer.slave_path(), hv::win::CommCall::SetCommState,
         hv::win::ERROR_INVALID_PARAMETER, "无法设置串口参数\n"},
        {"time-outs refused", peer.slave_path(), hv::win::CommCall::SetCommTimeouts,
         hv::win::ERROR_GEN_FAILURE, "无法设置串口超时\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WindowsSerial link;
        if (c.error != 0) hv::win::inject_comm_failure(c.inject, c.error);
        ConsoleCapture out;
        ConsoleCapture err(std::cerr);
        EXPECT_EQ(link.open(c.name), 1);
        EXPECT_EQ(err.text(), c.text);
        EXPECT_EQ(out.text(), "");
        EXPECT_FALSE(link.is_open());  // twice: the failing path released the lock
        EXPECT_FALSE(link.is_open());
        EXPECT_EQ(hv::win::live_handle_count(), handles_before);
    }
    // The port that failed to be set up is free again.
    WindowsSerial link;
    ConsoleCapture out;
    EXPECT_EQ(link.open(peer.slave_path()), 0);
    EXPECT_EQ(out.text(), "[INFO] Serial opened!\n");
}

class WindowsSerialPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.open());
        ConsoleCapture out;
        ASSERT_EQ(link.open(peer.slave_path()), 0);
        ASSERT_EQ(out.text(), "[INFO] Serial opened!\n");
    }

    // Feeds bytes and lets read() move them, as the 1 ms timer would.
    void feed(const QByteArray& bytes) {
        ASSERT_TRUE(peer.write(bytes));
        ASSERT_TRUE(peer.wait_pending_at_slave(bytes.size(), 2000));
        int moved = 0;
        while (moved < bytes.size()) {
            const int n = link.read();
            ASSERT_GT(n, 0);
            moved += n;
        }
    }

    PtyPeer peer;
    WindowsSerial link;
};

TEST_F(WindowsSerialPty, OpensAt256000_8N1AndWritesByteExact) {
    TtySettings s;
    ASSERT_TRUE(read_tty_settings(peer.master_fd(), s));
    EXPECT_EQ(s.output_baud, 256000u);
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_FALSE(s.parity);
    EXPECT_EQ(s.stop_bits, 1);
    EXPECT_TRUE(link.is_open());
    EXPECT_EQ(link.write(kSimple18.constData(), kSimple18.size()), 0);
    EXPECT_EQ(link.write(kComplex1.constData(), kComplex1.size()), 0);
    EXPECT_EQ(peer.read_until(26, 1000), kSimple18 + kComplex1);
}

TEST_F(WindowsSerialPty, ReadMovesAtMost255BytesAndSignalsEveryCall) {
    QList<QByteArray> seen;
    QObject::connect(&link, &SerialInterface::serial_data_read_signal,
                     [&](QByteArray& d) { seen << d; });
    // Nothing waiting: 0, and the signal still comes, empty.
    EXPECT_EQ(link.read(), 0);
    ASSERT_EQ(seen.size(), 1);
    EXPECT_TRUE(seen[0].isEmpty());

    QByteArray bytes;
    for (int i = 0; i < 300; ++i) bytes.append(static_cast<char>(i * 7));
    ASSERT_TRUE(peer.write(bytes));
    ASSERT_TRUE(peer.wait_pending_at_slave(300, 2000));
    EXPECT_EQ(link.read(), 255);
    EXPECT_EQ(link.read(), 45);
    EXPECT_EQ(link.read(), 0);
    ASSERT_EQ(seen.size(), 4);
    EXPECT_EQ(seen[1] + seen[2], bytes);
    EXPECT_EQ(link.buffered_size(), 300);
}

// The extraction itself is QtSerial's; this shows the link feeds it.
TEST_F(WindowsSerialPty, ExtractsFramesLikeQtSerial) {
    const float v[3] = {0.5f, -4.0f, 12.25f};
    const QByteArray c3 = build_serial_frame(2, v, 3);
    ConsoleCapture out;
    feed(hex("000102") + kSimple18 + c3.left(7));
    SerialFrame a, b;
    ASSERT_TRUE(link.frame_available());
    link.read_frame(a);
    EXPECT_FALSE(link.frame_available());
    feed(c3.mid(7));
    ASSERT_TRUE(link.frame_available());
    link.read_frame(b);
    EXPECT_EQ(a.cmd, 18);
    EXPECT_EQ(b.payload, (std::vector<float>{0.5f, -4.0f, 12.25f}));
    EXPECT_EQ(link.buffered_size(), 0);
    EXPECT_EQ(out.text(), "[WARN] Disgarding buffer of size:3\n");
}

TEST_F(WindowsSerialPty, CloseNeverReachesAnotherHandle) {
    PtyPeer other_peer;
    ASSERT_TRUE(other_peer.open());
    WindowsSerial other;
    {
        ConsoleCapture quiet;
        ASSERT_EQ(other.open(other_peer.slave_path()), 0);
    }
    EXPECT_EQ(link.close(), 1);
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(link.close(), 0);  // nothing left to close
    WindowsSerial never_opened;
    EXPECT_EQ(never_opened.close(), 0);

    // The other link's port is untouched.
    EXPECT_TRUE(other.is_open());
    EXPECT_EQ(other.write(kSimple18.constData(), kSimple18.size()), 0);
    EXPECT_EQ(other_peer.read_until(11, 1000), kSimple18);

    ConsoleCapture out;
    EXPECT_EQ(link.write(kSimple18.constData(), kSimple18.size()), -1);
    EXPECT_EQ(link.read(), -1);
    EXPECT_EQ(out.text(), "[ERROR] Write error\n[ERROR] Read error\n");
}

TEST_F(WindowsSerialPty, PortIsExclusiveAndFreedByCloseAndDestruction) {
    ConsoleCapture err(std::cerr);
    ConsoleCapture out;
    {
        WindowsSerial second;
        EXPECT_EQ(second.open(peer.slave_path()), 1);
    }
    EXPECT_EQ(err.text(), "无法打开串口\n");
    {
        WindowsSerial temporary;  // dropped while open: gives the port back, and says it goes
        link.close();
        ASSERT_EQ(temporary.open(peer.slave_path()), 0);
    }
    WindowsSerial third;
    EXPECT_EQ(third.open(peer.slave_path()), 0);
    EXPECT_EQ(out.lines(), (std::vector<std::string>{"[INFO] Destruct WindowsSerial", "[INFO] Serial opened!",
                                                     "[INFO] Destruct WindowsSerial", "[INFO] Serial opened!"}));
}

TEST_F(WindowsSerialPty, UnplugReportsReadErrorAndCloses) {
    feed(kSimple18);
    peer.close_master();
    ConsoleCapture out;
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(link.read(), -1);
    EXPECT_LT(t.elapsed(), 500);
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(out.text(), "[ERROR] Read error\n[ERROR] Serial device lost\n");
    EXPECT_EQ(link.write(kSimple18.constData(), kSimple18.size()), -1);
    // What arrived before is still there to be taken.
    EXPECT_TRUE(link.frame_available());
    EXPECT_EQ(link.close(), 1);
}

}  // namespace
