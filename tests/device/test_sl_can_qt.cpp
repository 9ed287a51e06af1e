// SlCanQt against a pseudo-terminal that plays a Lawicel-style SLCAN adapter.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "can_frame_maker.h"
#include "console_capture.h"
#include "pty_peer.h"
#include "sl_can_qt.h"
#include "tty_settings.h"
#include "wait_until.h"

namespace {

// As the adapters' firmware behaves: a command ends at CR only (an LF stays and
// starts the next command, which is then refused); CR answers OK and BEL an
// error; "S<n>" is refused while the channel is open, "O" while it is, frames
// while it is not.
struct LawicelAdapter {
    PtyPeer pty;
    bool channel_open = false;
    int bit_rate = -1;
    int commands = 0;
    std::vector<std::string> frames, refused;
    QByteArray in;

    void serve() {
        in += pty.read_available();
        for (int cr; (cr = in.indexOf('\r')) >= 0; in.remove(0, cr + 1), ++commands) {
            const std::string c = in.left(cr).toStdString();
            bool ok = true;
            if (c == "O") ok = !channel_open, channel_open = true;
            else if (c == "C") channel_open = false;
            else if (c.size() == 2 && c[0] == 'S' && !channel_open) bit_rate = c[1] - '0';
            else if (c.size() >= 5 && c[0] == 't' && channel_open) frames.push_back(c);
            else ok = false;
            if (!ok) refused.push_back(c);
            pty.write(ok ? "\r" : "\a");
        }
    }
    bool serve_until(const std::function<bool()>& done) { return wait_until([&] { return serve(), done(); }, 1000); }
};

class SlCanAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(adapter.pty.open());
        adapter.channel_open = true;  // left on the bus at another rate by an earlier run
        adapter.bit_rate = 6;
        ConsoleCapture quiet;
        ASSERT_EQ(link.open(adapter.pty.slave_path()), 0);
        ASSERT_TRUE(adapter.serve_until([&] { return adapter.channel_open && adapter.bit_rate == 8; }));
    }
    // The next frame the link reads within a second ("" if none).
    std::string next_frame() {
        CanFrame f;
        std::ostringstream os;
        if (wait_until([&] { return link.receive(f) == 1; }, 1000)) os << std::hex << f.id << '#' << int(f.dlc) << f.to_hex_string();
        return os.str();
    }
    LawicelAdapter adapter;
    SlCanQt link;
};

TEST_F(SlCanAdapter, OpensAtOneMbitSendsFramesAndClosesWithNothingRefused) {
    EXPECT_EQ(tty_settings(adapter.pty.master_fd()), "1000000/1000000 8N1");
    CanFrame frames[] = {make_can_frame(0x123, 2, {0xAB, 0x01}), make_can_frame(0x081, 0, {}),
                         make_can_frame(0x100, 9, {}), make_can_frame(0x7FF, 8, {0, 1, 0x22, 0x33, 0xC4, 0xD5, 0xE6, 0xFF})};
    for (CanFrame& f : frames) EXPECT_EQ(link.send(f), f.dlc > 8 ? -1 : 0);
    ASSERT_TRUE(adapter.serve_until([&] { return adapter.commands == 6; }));
    EXPECT_EQ(adapter.frames, (std::vector<std::string>{"t1232AB01", "t0810", "t7FF800012233C4D5E6FF"}));
    EXPECT_EQ(link.close(), 1);
    ASSERT_TRUE(adapter.serve_until([&] { return !adapter.channel_open; }));
    EXPECT_TRUE(adapter.refused.empty()) << adapter.refused.front();
}

TEST_F(SlCanAdapter, ErrorRepliesNonFramesAndLostBytesCostNoFrameAndInventNone) {
    ConsoleCapture quiet(std::cerr);
    // None of these is a frame: DLC 9, a bare CR, too short, short for its DLC, not
    // a "t" line, not hexadecimal, an overlong line; BEL replies stand alone.
    ASSERT_TRUE(adapter.pty.write("\at1232AB01\r\at1239\r\rt12\rt1232AB\rT12345678\rz\rt12G1AA\r" +
                                  QByteArray(156, '1') + "\rt0811ff\r\at7FF3010203\rt0000\r"));
    for (const char* want : {"123#2 0 0 0 0 0 0 1 ab", "81#1 0 0 0 0 0 0 0 ff", "7ff#3 0 0 0 0 0 3 2 1", "0#0 0 0 0 0 0 0 0 0"})
        EXPECT_EQ(next_frame(), want);

    // A line half read when more arrives than the ring holds: its end is lost in
    // the overflow, and nothing up to the next CR completes it or starts a frame.
    auto into_ring = [&](const QByteArray& bytes) {
        return adapter.pty.write(bytes) && wait_until([&] { return adapter.pty.pending_at_slave() == 0; }, 2000) &&
               (QTest::qWait(20), true);
    };
    CanFrame f;
    ASSERT_TRUE(into_ring("t123"));
    EXPECT_EQ(link.receive(f), 0);  // takes in "t123"
    for (const char* tail : {"2AB01\r", "2t7FF0\r"}) {  // would complete "t123"; a frame after one byte
        ASSERT_TRUE(into_ring(QByteArray(SlCanQt::kRingSize, 'x') + tail + "t4562BBCC\r"));
        EXPECT_EQ(next_frame(), "456#2 0 0 0 0 0 0 cc bb") << tail;
    }
}

// An overlong line is reported once; a missing or pulled adapter leaves the link
// closed and sending nothing.
TEST_F(SlCanAdapter, OverlongLineIsReportedOnce) {
    ConsoleCapture err(std::cerr);
    ASSERT_TRUE(adapter.pty.write(QByteArray(156, '1') + "\rt1001AA\r"));
    EXPECT_EQ(next_frame(), "100#1 0 0 0 0 0 0 0 aa");
    const std::string text = err.text();
    EXPECT_EQ(text.find("Linbuf full"), text.rfind("Linbuf full")) << text;
    EXPECT_NE(text.find("Linbuf full"), std::string::npos);
}

TEST(SlCanOpen, MissingOrPulledAdapterLeavesTheLinkClosed) {
    ConsoleCapture quiet;
    SlCanQt missing;
    EXPECT_EQ(missing.open("/dev/hv-no-slcan-here"), -1);
    EXPECT_FALSE(missing.is_open());
    EXPECT_EQ(missing.close(), 1);

    PtyPeer adapter;
    ASSERT_TRUE(adapter.open());
    SlCanQt link;
    ASSERT_EQ(link.open(adapter.slave_path()), 0);
    adapter.close_master();
    EXPECT_TRUE(wait_until([&] { return !link.is_open(); }, 3000));
    CanFrame f = make_can_frame(0x123, 1, {1});
    EXPECT_EQ(link.send(f), -1);
    EXPECT_EQ(link.close(), 1);
}

}  // namespace
