// SlCanQt against a pseudo-terminal that plays an SLCAN adapter.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <sstream>

#include "can_frame_maker.h"
#include "console_capture.h"
#include "pty_peer.h"
#include "sl_can_qt.h"
#include "tty_settings.h"

namespace {

// "id#dlc" and the eight data bytes, last first.
std::string show(const CanFrame& f) {
    std::ostringstream os;
    os << std::hex << f.id << '#' << int(f.dlc) << f.to_hex_string();
    return os.str();
}

int count_of(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// Runs the event loop (which moves the port's bytes into the ring) for up to
// `ms`, until `done` holds.
template <typename Done>
bool run_events(int ms, Done done) {
    QElapsedTimer t;
    t.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (done()) return true;
    } while (t.elapsed() < ms);
    return false;
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
    int receive_within(CanFrame& frame, int ms) {
        return run_events(ms, [&] { return link.receive(frame) == 1; }) ? 1 : 0;
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
    CanFrame f = make_can_frame(0x1, 0, {});
    EXPECT_EQ(link.send(f), -1);  // nothing to write to
}

TEST_F(SlCanAdapter, SendsLinesByteExact) {
    CanFrame a = make_can_frame(0x123, 2, {0xAB, 0x01});
    CanFrame b = make_can_frame(0x081, 0, {});
    CanFrame c = make_can_frame(0x7FF, 8, {0, 1, 0x22, 0x33, 0xC4, 0xD5, 0xE6, 0xFF});
    CanFrame too_long = make_can_frame(0x100, 9, {});
    EXPECT_EQ(link.send(a), 0);
    EXPECT_EQ(link.send(b), 0);
    EXPECT_EQ(link.send(c), 0);
    EXPECT_EQ(link.send(too_long), -1);
    EXPECT_EQ(adapter.read_for(50), QByteArray("t1232AB01\rt0810\rt7FF800012233C4D5E6FF\r"));
}

TEST_F(SlCanAdapter, ParsesReceivedLinesAndRejectsTheRest) {
    CanFrame f;
    ASSERT_TRUE(adapter.write(QByteArray("t1232AB01\r")));
    ASSERT_EQ(receive_within(f, 1000), 1);
    EXPECT_EQ(show(f), "123#2 0 0 0 0 0 0 1 ab");

    // None of these is a frame: DLC 9, a bare CR, too short, short for its DLC,
    // not a "t" line, not hexadecimal.
    ASSERT_TRUE(adapter.write(QByteArray("t1239\r\rt12\rt1232AB\rT12345678\rz\rt12G1AA\r")));
    CanFrame untouched = make_can_frame(0x555, 0, {});
    EXPECT_EQ(receive_within(untouched, 100), 0);
    EXPECT_EQ(untouched.id, 0x555u);

    // Lower-case digits are read too; a burst of lines loses none.
    ASSERT_TRUE(adapter.write(QByteArray("t0811ff\rt7FF3010203\rt0000\r")));
    run_events(30, [] { return false; });
    CanFrame x, y, z;
    ASSERT_EQ(link.receive(x), 1);
    ASSERT_EQ(link.receive(y), 1);
    ASSERT_EQ(link.receive(z), 1);
    EXPECT_EQ(link.receive(f), 0);
    EXPECT_EQ(show(x), "81#1 0 0 0 0 0 0 0 ff");
    EXPECT_EQ(show(y), "7ff#3 0 0 0 0 0 3 2 1");
    EXPECT_EQ(show(z), "0#0 0 0 0 0 0 0 0 0");
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
    EXPECT_EQ(f.id, 0x100u);
}

TEST_F(SlCanAdapter, RingOverflowRecovers) {
    // More than the ring holds arrives while nobody takes lines out.
    ConsoleCapture err(std::cerr);
    QByteArray flood;
    for (int i = 0; i < 1000; ++i) flood.append("t1232AB01\r");  // 10000 bytes
    ASSERT_TRUE(adapter.write(flood));
    run_events(100, [] { return false; });
    CanFrame f;
    int frames = 0;
    while (link.receive(f) == 1) ++frames;
    // The ring was emptied once on overflow: what was kept is parsed, a torn
    // line at the cut is dropped, and nothing is invented.
    EXPECT_GT(frames, 0);
    EXPECT_LT(frames, 1000);
    ASSERT_TRUE(adapter.write(QByteArray("\rt4562BBCC\r")));
    ASSERT_EQ(receive_within(f, 1000), 1);
    EXPECT_EQ(show(f), "456#2 0 0 0 0 0 0 cc bb");
    EXPECT_EQ(count_of(err.text(), "Linbuf full"), 0);
}

TEST(SlCanOpen, MissingPortFailsAndUnpluggedAdapterClosesTheLink) {
    SlCanQt link;
    ConsoleCapture out;
    EXPECT_EQ(link.open("/dev/hv-no-slcan-here"), -1);
    EXPECT_EQ(out.text(), "Serport connect failed!\n");
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(link.close(), 1);

    PtyPeer adapter;
    ASSERT_TRUE(adapter.open());
    ASSERT_EQ(link.open(adapter.slave_path()), 0);
    adapter.close_master();
    EXPECT_TRUE(run_events(3000, [&] { return !link.is_open(); }));
    EXPECT_TRUE(out.contains("Serport connection lost!"));
    CanFrame f;
    EXPECT_EQ(link.send(f), -1);
    EXPECT_EQ(link.close(), 1);
}

}  // namespace
