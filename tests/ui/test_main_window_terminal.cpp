// The main window's serial side under load, over a pseudo-terminal with the
// simulated driver behind it: HEX input the terminal refuses, a long terminal send
// beside a running stream, a flood of received chunks, and the parameter write
// with its pauses.
#include <QComboBox>
#include <QMessageBox>
#include <QSpinBox>
#include <QTest>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>

#include "console_capture.h"
#include "main_window_harness.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "wait_until.h"

namespace {

constexpr uint8_t kVersionRequest = 25;

// An open serial link with the motor off; no status requests come in between.
class SerialLoad : public SerialWindowTest {
protected:
    void SetUp() override {
        open();
        SerialManager* serial = h->window()->serial_manager();
        serial->set_intervals(3600 * 1000, 300);
        // A request already on the line arrives before a test clears the records: the
        // line keeps the order, so once a request written now is in, so is that one.
        const int versions = peer.request_count(kVersionRequest);
        serial->request_driver_version();
        ASSERT_TRUE(peer.wait_for_requests(kVersionRequest, versions + 1, 5000));
    }
};

}  // namespace

// HEX pairs with white space inside (line breaks and tabs pass the input filter):
// the warning and the status line name the pair, and nothing goes out.
TEST_F(SerialLoad, TerminalRefusesPairsThatAreNotTwoHexDigits) {
    auto* input = h->find<QTextEdit>("input_textEdit");
    const struct {
        const char* typed;
        const char* pair;
        const char* shown;  // on the status line, after "Send refused. Invalid hex input: "
    } rows[] = {{"ff 31\n8a 23", "\n8", "⏎8"},
                {"01\t2", "\t2", "⇥2"},
                {"a\n", "a\n", "a⏎"},
                {"0\n1", "0\n", "0⏎"},
                {"ff 31 8a 23\n", "\n", "⏎"}};
    for (const auto& [typed, pair, shown] : rows) {
        peer.clear_received();
        ConsoleCapture log;
        input->setPlainText(QString::fromUtf8(typed));
        h->button("send_pushButton")->click();
        EXPECT_TRUE(log.contains(std::string("[WARN] Invalid hex input: ") + pair)) << typed << log.text();
        EXPECT_EQ(h->text("status_label"), "Send refused. Invalid hex input: " + QString::fromUtf8(shown));
        // A valid send after it is all that reaches the line.
        input->setPlainText(QStringLiteral("7e"));
        h->button("send_pushButton")->click();
        EXPECT_TRUE(peer.wait_for_raw(1, 2000));
        QTest::qWait(30);
        EXPECT_EQ(peer.raw_received(), QByteArray("\x7e")) << typed;
    }
}

// A long terminal send leaves room for a running stream: its frames go out whole
// between pieces of the text, and the text arrives complete and in order. Closing
// the link ends it.
TEST_F(SerialLoad, LongTerminalSendLetsTheStreamThrough) {
    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    set_spins(h->window(), {{"exp_angle_doubleSpinBox", 0.5}, {"kp_doubleSpinBox", 5.0}});
    h->button("send_motion_param_pushButton")->click();
    ASSERT_TRUE(peer.wait_for_requests(16, 10, 3000));
    QByteArray text(8000, '\0');
    for (int i = 0; i < text.size(); ++i) text[i] = char(i % 0x7f);  // never a frame header

    // Cut the frames out of the line; count those that came inside the text.
    int inside = 0;
    auto text_of = [&](const QByteArray& line) {
        const QByteArray header("\xff\x31\x8a\x23", 4);
        QByteArray rest;
        inside = 0;
        for (int i = 0; i < line.size();) {
            if (line.mid(i, 4) == header && i + 5 < line.size()) {
                inside += !rest.isEmpty() && rest.size() < text.size();
                i += static_cast<unsigned char>(line[i + 5]);
            } else {
                rest += line[i++];
            }
        }
        return rest;
    };
    auto* input = h->find<QTextEdit>("input_textEdit");
    peer.clear_received();
    input->setPlainText(QString::fromLatin1(text.toHex()));
    h->button("send_pushButton")->click();
    ASSERT_TRUE(wait_until([&] { return text_of(peer.raw_received()).size() >= text.size(); }, 10000));
    h->button("stop_step_send_pushButton")->click();
    QTest::qWait(50);
    EXPECT_EQ(text_of(peer.raw_received()), text);
    EXPECT_GE(inside, 1);

    // Closing the link drops the rest of a send: no write fails, and nothing of it
    // comes after the link opens again.
    peer.clear_received();
    ConsoleCapture log;
    input->setPlainText(QString::fromLatin1((text + text).toHex()));  // takes about 0.8 s
    h->button("send_pushButton")->click();
    ASSERT_TRUE(peer.wait_for_raw(64, 2000));
    ASSERT_TRUE(h->serial_link(nullptr));
    ASSERT_TRUE(h->serial_link(&peer));
    // The reopen asks for the version: what the line carried before that request was
    // written before the close, however late it arrived.
    const QByteArray version_request = QByteArray::fromHex("ff318a23010b00000019");
    ASSERT_TRUE(wait_until([&] { return peer.raw_received().contains(version_request); }, 5000));
    QTest::qWait(300);
    const QByteArray line = peer.raw_received();
    const int reopened = line.indexOf(version_request);
    EXPECT_LT(text_of(line.left(reopened)).size(), 2 * text.size());
    EXPECT_EQ(text_of(line.mid(reopened)), QByteArray());
    EXPECT_FALSE(log.contains("Write error")) << log.text();
}

// A flood of received chunks reaches the view in a few updates, not one per chunk;
// each chunk is still its own paragraph, in order.
TEST_F(SerialLoad, TerminalTakesAFloodInFewUpdates) {
    auto* view = h->find<QTextBrowser>("textBrowser");
    h->button("clear_pushButton")->click();
    int updates = 0;
    QObject::connect(view->document(), &QTextDocument::contentsChanged, [&] { ++updates; });
    for (int i = 0; i < 1000; ++i) {
        QByteArray chunk;
        chunk.append(char(i >> 8)).append(char(i & 0xff));
        h->window()->append_textBrowser_slot(chunk);
    }
    ASSERT_TRUE(wait_until([&] { return view->document()->blockCount() >= 1000; }, 2000));
    EXPECT_LE(updates, 20);
    QStringList expected;
    for (int i = 0; i < 1000; ++i)
        expected << QString::asprintf("%02x %02x ", i >> 8, i & 0xff);
    EXPECT_EQ(view->toPlainText().split('\n').mid(0, 1000), expected);
}

// The parameter write keeps its pauses (write, 1 s, request; 10 ms, store) on a
// thread of its own: a command given meanwhile goes out between the write and the
// request, and an unmatched model is refused in the operator's language.
TEST_F(SerialLoad, ParameterWriteLeavesTheWindowResponsive) {
    constexpr uint8_t kWrite = 17, kZero = 22, kFlash = 23, kRequest = 24;
    QWidget* dialog = top_level_named("SetParam");
    auto* id = dialog->findChild<QSpinBox*>("can_id_spinBox");
    id->setValue(5);  // anything but the driver's id, so its report shows
    h->button("set_param_pushButton")->click();
    ASSERT_TRUE(wait_until([&] { return id->value() == 1; }, 5000));
    auto* model = dialog->findChild<QComboBox*>("motor_type_box");
    dialog->findChild<QPushButton*>("write_pushButton")->click();  // the driver reports 8.0: no model
    auto* box = dialog->findChild<QMessageBox*>();
    ASSERT_TRUE(box && box->isVisible());
    EXPECT_EQ(box->text(), "The gear ratio the driver reported, 8, matches no motor model. Choose the motor model first.");
    box->close();

    model->setCurrentText(QStringLiteral("T88-6"));
    peer.clear_received();
    const auto clicked = std::chrono::steady_clock::now();
    dialog->findChild<QPushButton*>("flash_pushButton")->click();
    // The command is given once the write is in, in the second before the request.
    ASSERT_TRUE(peer.wait_for_requests(kWrite, 1, 5000));
    h->button("set_zero_point_pushButton")->click();
    ASSERT_TRUE(peer.wait_for_requests(kFlash, 1, 5000));
    std::vector<uint8_t> order;
    for (const auto& r : peer.requests()) order.push_back(r.cmd);
    EXPECT_EQ(order, (std::vector<uint8_t>{kWrite, kZero, kRequest, kFlash}));
    const auto sent = peer.requests();
    EXPECT_EQ(sent[0].values, (std::vector<float>{12.0f, 1.0f, 1000.0f, 0.0f, 10.0f}));
    // The request goes out a second after the write, so no sooner than that after
    // the click, however late the write arrived.
    EXPECT_GE(sent[2].at - clicked, std::chrono::milliseconds(900));
}
