// The parameter dialog's write over the CAN link (the gs_usb library down to the
// USB layer, an emulated adapter and the simulated driver on its bus).
#include <QComboBox>
#include <QFileDialog>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <vector>

#include "can_codec.h"
#include "main_window_harness.h"
#include "wait_until.h"

namespace {

using CanParam = CanWindowTest;

}  // namespace

// The write keeps its order and pauses (current limit, gear ratio, id, time-out,
// bandwidth 200 ms apart, the request 1 s after, the store 10 ms after that) on a
// thread of its own: a command clicked once the write has begun goes out between
// the write's frames, not after them.
TEST_F(CanParam, ParameterWriteLeavesTheWindowResponsive) {
    using namespace CanCommand;
    open();
    QWidget* dialog = h->param_dialog_reported();
    ASSERT_TRUE(dialog);  // the driver's answer is shown

    peer->clear_requests();
    const std::size_t writes_before = adapter->host_write_times().size();
    dialog->findChild<QPushButton*>("flash_pushButton")->click();
    // A write that held the window would be over before this click is made.
    ASSERT_TRUE(peer->wait_for_requests(kSetLimitCurrent, 1, 4000));
    h->button("set_zero_point_pushButton")->click();
    ASSERT_TRUE(peer->wait_for_requests(kSaveConfig, 1, 6000));
    const std::vector<uint8_t> watched = {kSetLimitCurrent, kSetGearRatio, kSetId, kSetCanTimeout,
                                          kSetBandwidth,    kGetConfig,    kSaveConfig, kSetHome};
    std::vector<CanDriverPeer::Request> sent;
    for (const auto& r : peer->requests())
        if (std::count(watched.begin(), watched.end(), r.cmd)) sent.push_back(r);
    std::vector<uint8_t> order;
    for (const auto& r : sent) order.push_back(r.cmd);
    const auto zero = std::find(order.begin(), order.end(), kSetHome);
    const auto request = std::find(order.begin(), order.end(), kGetConfig);
    EXPECT_TRUE(zero < request) << "the zero point waited for the write";
    if (zero != order.end()) order.erase(zero);
    ASSERT_EQ(order, (std::vector<uint8_t>{kSetLimitCurrent, kSetGearRatio, kSetId, kSetCanTimeout, kSetBandwidth,
                                           kGetConfig, kSaveConfig}));
    sent.erase(std::remove_if(sent.begin(), sent.end(), [](const auto& r) { return r.cmd == kSetHome; }), sent.end());
    const uint16_t ratio = static_cast<uint16_t>(float_to_uint(12.0f, 0.0f, 50.0f, 16));
    EXPECT_EQ(payload(sent[1])[0] << 8 | payload(sent[1])[1], ratio);  // the model's ratio, never 0
    // The pauses are timed where the tool writes: the emulated bus may pass a frame on late.
    const auto writes = adapter->host_write_times();
    const auto written_at = [&](uint8_t cmd) {
        for (std::size_t i = writes_before; i < writes.size(); ++i)
            if (((writes[i].can_id >> 5) & 0x3F) == cmd) return writes[i].at;
        ADD_FAILURE() << "no write of command " << int(cmd);
        return writes.back().at;
    };
    EXPECT_GE(written_at(kGetConfig) - written_at(kSetLimitCurrent), std::chrono::milliseconds(1700));
}

// A write and its store belong to the link they started on: the firmware update
// is refused while they run, and once that link is closed and opened again the
// new link gets none of their remaining frames.
TEST_F(CanParam, ParameterWriteEndsWithItsLink) {
    using namespace CanCommand;
    open();
    QWidget* dialog = h->param_dialog_reported();
    ASSERT_TRUE(dialog);  // the driver's answer is shown
    peer->clear_requests();
    dialog->findChild<QPushButton*>("flash_pushButton")->click();
    ASSERT_TRUE(peer->wait_for_requests(kSetLimitCurrent, 1, 2000));

    QTemporaryDir dir;
    const QString image = dir.filePath("fw.bin");
    ASSERT_TRUE(std::ofstream(image.toStdString()).write("12345678", 8));
    peer->set_answers(CanDriverPeer::Answer::Silent, CanDriverPeer::Answer::Ack, CanDriverPeer::Answer::Ack);
    on_next_modal_of<QFileDialog>([image](QFileDialog* chooser) { choose_in(chooser, image); });
    h->button("update_firmware_pushButton")->click();
    EXPECT_TRUE(visible_tips(h->window())
                    .contains("Tips: Parameters are being written: update the firmware once the write has ended."));
    ASSERT_TRUE(wait_until([&] { return h->button("update_firmware_pushButton")->isEnabled(); }, 3000));
    EXPECT_EQ(peer->request_count(kWriteAppBackStart), 0);

    ASSERT_TRUE(h->can_link(false));
    const auto closed = std::chrono::steady_clock::now();
    ASSERT_EQ(peer->request_count(kGetConfig), 0) << "closed during the write";
    ASSERT_TRUE(h->can_link(true));
    QTest::qWait(2200);
    const std::vector<uint8_t> of_the_write = {kSetGearRatio, kSetId,     kSetCanTimeout,
                                               kSetBandwidth, kGetConfig, kSaveConfig};
    std::vector<int> late;
    for (const auto& r : peer->requests())
        if (r.at > closed && std::count(of_the_write.begin(), of_the_write.end(), r.cmd)) late.push_back(r.cmd);
    EXPECT_TRUE(late.empty()) << "first late command " << late.front();
}
