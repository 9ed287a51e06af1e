// SlCanQt against a pseudo-terminal that plays an SLCAN adapter: the commands
// the adapter sees, send lines byte-exact, received lines parsed or rejected,
// the line buffer limit and the ring overflow.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "console_capture.h"
#include "pty_peer.h"
#include "sl_can_qt.h"
#include "tty_settings.h"

namespace {

int count_of(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

class SlCanAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(adapter.open());
        ConsoleCapture out;
        ASSERT_EQ(link.open(adapter.slave_path()), 0);
        EXPECT_EQ(out.text(), "Serport connected!\n");
        ASSERT_EQ(adapter.read_until(6, 1000), QByteArray("S8\rO\r\n"));
    }

    // Lets the event loop move what arrived into the ring, then asks for a frame.
    int receive_within(CanFrame& frame, int ms) {
        QElapsedTimer t;
        t.start();
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (link.receive(frame) == 1) return 1;
        } while (t.elapsed() < ms);
        return 0;
    }

    // Runs the event loop for `ms` so the port's bytes reach the ring.
    static void settle(int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }

    PtyPeer adapter;
    SlCanQt link;
};

TEST_F(SlCanAdapter, OpensAtOneMegabaudAndClosesTheChannel) {
    TtySettings s;
    ASSERT_TRUE(read_tty_settings(adapter.master_fd(), s));
    EXPECT_EQ(s.output_baud, 1000000u);
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_FALSE(s.parity);
    EXPECT_EQ(s.stop_bits, 1);
    EXPECT_TRUE(link.is_open());
    EXPECT_EQ(link.close(), 1);
    EXPECT_EQ(adapter.read_until(2, 1000), QByteArray("C\r"));
    EXPECT_FALSE(link.is_open());
    CanFrame f;
    f.set_dlc(0);
    EXPECT_EQ(link.send(f), -1);  // nothing to write to
}

TEST_F(SlCanAdapter, SendsLinesByteExact) {
    CanFrame a;
    a.set_id(0x123);
    a.set_dlc(2);
    a.set_data_at(0, 0xAB);
    a.set_data_at(1, 0x01);
    EXPECT_EQ(link.send(a), 0);
    CanFrame b;
    b.set_id(0x081);
    b.set_dlc(0);
    EXPECT_EQ(link.send(b), 0);
    CanFrame c;
    c.set_id(0x7FF);
    c.set_dlc(8);
    const uint8_t bytes[8] = {0, 1, 0x22, 0x33, 0xC4, 0xD5, 0xE6, 0xFF};
    c.set_data(bytes);
    EXPECT_EQ(link.send(c), 0);
    CanFrame too_long;
    too_long.set_id(0x100);
    too_long.set_dlc(9);
    EXPECT_EQ(link.send(too_long), -1);
    EXPECT_EQ(adapter.read_for(50), QByteArray("t1232AB01\rt0810\rt7FF8000122 33C4D5E6FF\r").replace(" ", ""));
}

TEST_F(SlCanAdapter, ParsesReceivedLinesAndRejectsTheRest) {
    CanFrame f;
    ASSERT_TRUE(adapter.write(QByteArray("t1232AB01\r")));
    ASSERT_EQ(receive_within(f, 1000), 1);
    EXPECT_EQ(f.get_id(), 0x123u);
    EXPECT_EQ(f.get_dlc(), 2);
    EXPECT_EQ(f.get_data_at(0), 0xAB);
    EXPECT_EQ(f.get_data_at(1), 0x01);

    // None of these is a frame: DLC 9, a bare CR, too short, short for its DLC,
    // not a "t" line, not hexadecimal.
    ASSERT_TRUE(adapter.write(QByteArray("t1239\r\rt12\rt1232AB\rT12345678\rz\rt12G1AA\r")));
    CanFrame untouched;
    untouched.set_id(0x555);
    EXPECT_EQ(receive_within(untouched, 100), 0);
    EXPECT_EQ(untouched.get_id(), 0x555u);

    // Lower-case digits are read too; a burst of lines loses none.
    ASSERT_TRUE(adapter.write(QByteArray("t0811ff\rt7FF3010203\rt0000\r")));
    settle(30);
    CanFrame x, y, z;
    ASSERT_EQ(link.receive(x), 1);
    ASSERT_EQ(link.receive(y), 1);
    ASSERT_EQ(link.receive(z), 1);
    EXPECT_EQ(link.receive(f), 0);
    EXPECT_EQ(x.get_id(), 0x081u);
    EXPECT_EQ(x.get_data_at(0), 0xFF);
    EXPECT_EQ(y.get_id(), 0x7FFu);
    EXPECT_EQ(y.get_dlc(), 3);
    EXPECT_EQ(y.get_data_at(2), 0x03);
    EXPECT_EQ(z.get_id(), 0u);
    EXPECT_EQ(z.get_dlc(), 0);
}

TEST_F(SlCanAdapter, OverlongLineIsReportedOnceAndDropped) {
    ConsoleCapture err(std::cerr);
    ASSERT_TRUE(adapter.write(QByteArray(156, '1')));
    CanFrame f;
    EXPECT_EQ(receive_within(f, 100), 0);
    EXPECT_EQ(count_of(err.text(), "Linbuf full"), 1) << err.text();
    EXPECT_EQ(err.text().rfind("Linbuf full: ", 0), 0u);
    // The next line stands on its own again.
    ASSERT_TRUE(adapter.write(QByteArray("\rt1001AA\r")));
    ASSERT_EQ(receive_within(f, 1000), 1);
    EXPECT_EQ(f.get_id(), 0x100u);
}

TEST_F(SlCanAdapter, RingOverflowRecovers) {
    // More than the ring holds arrives while nobody takes lines out.
    ConsoleCapture err(std::cerr);
    QByteArray flood;
    for (int i = 0; i < 1000; ++i) flood.append("t1232AB01\r");  // 10000 bytes
    ASSERT_TRUE(adapter.write(flood));
    settle(100);
    CanFrame f;
    int frames = 0;
    while (link.receive(f) == 1) ++frames;
    // The ring was emptied once on overflow: what was kept is parsed, a torn
    // line at the cut is dropped, and nothing is invented.
    EXPECT_GT(frames, 0);
    EXPECT_LT(frames, 1000);
    ASSERT_TRUE(adapter.write(QByteArray("\rt4562BBCC\r")));
    ASSERT_EQ(receive_within(f, 1000), 1);
    EXPECT_EQ(f.get_id(), 0x456u);
    EXPECT_EQ(f.get_data_at(1), 0xCC);
    EXPECT_EQ(count_of(err.text(), "Linbuf full"), 0);
}

TEST(SlCanOpen, MissingPortFails) {
    SlCanQt link;
    ConsoleCapture out;
    EXPECT_EQ(link.open("/dev/hv-no-slcan-here"), -1);
    EXPECT_EQ(out.text(), "Serport connect failed!\n");
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(link.close(), 1);
}

TEST(SlCanOpen, UnpluggedAdapterClosesTheLink) {
    PtyPeer adapter;
    ASSERT_TRUE(adapter.open());
    SlCanQt link;
    ConsoleCapture out;
    ASSERT_EQ(link.open(adapter.slave_path()), 0);
    adapter.close_master();
    QElapsedTimer t;
    t.start();
    while (link.is_open() && t.elapsed() < 3000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_FALSE(link.is_open());
    EXPECT_TRUE(out.contains("Serport connection lost!"));
    CanFrame f;
    EXPECT_EQ(link.send(f), -1);
    EXPECT_EQ(link.close(), 1);
}

}  // namespace
