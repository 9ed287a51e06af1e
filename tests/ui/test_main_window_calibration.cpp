// The main window's calibration, parameter dialog, automatic enable and terminal
// over the serial link (a pseudo-terminal with the simulated driver behind it), and
// over both links what a calibration or a driver of an earlier link leaves behind.
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPointer>
#include <QMessageBox>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <gtest/gtest.h>
#include <memory>
#include <qcustomplot.h>

#include "can_codec.h"
#include "can_frame_maker.h"
#include "can_receiver.h"
#include "device_scanner.h"
#include "can_manager.h"
#include "emulated_usb_backend.h"
#include "file_contents.h"
#include "main_window_harness.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "typed_entry.h"
#include "wait_until.h"

namespace {

constexpr uint8_t kTarget = 16, kEnable = 18, kCalibrate = 21;

QList<QPointF> points(QCustomPlot* plot) {
    QList<QPointF> out;
    for (auto it = plot->graph(0)->data()->begin(); it != plot->graph(0)->data()->end(); ++it)
        out << QPointF(it->key, it->value);
    return out;
}

class SerialCalibration : public SerialWindowTest {
protected:
    // Answers the serial number prompt (a negative number cancels) and presses the button.
    void calibrate(int number) {
        on_serial_number_prompt([number, this](QDialog* d, QSpinBox* box, QPushButton* ok) {
            prompt = QStringList{d->windowTitle(), d->findChild<QLabel*>()->text(), QString::number(box->minimum()),
                                 QString::number(box->maximum())};
            if (number < 0) return d->reject();
            box->setValue(number);
            ok->click();
        });
        h->button("calibration_pushButton")->click();
    }
    bool locked() { return !h->find("down_left_widget")->isEnabled() && !h->find("vision_tab")->isEnabled(); }

    QStringList prompt;  // title, label, bounds
};

// The window over each link in turn: the simulated driver behind a pseudo-terminal,
// and (motor id 1) on the emulated gs_usb adapter.
class BothLinks : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(serial.start()); }
    void TearDown() override {
        h.reset();
        for (auto* a : {adapter.get(), adapter_b.get()}) a->set_bus_listener(nullptr);
        can->stop();
        can_b->stop();
        EmulatedUsbBackend::uninstall();
    }
    bool link(bool over_serial, bool open) {
        return over_serial ? h->serial_link(open ? &serial : nullptr) : h->can_link(open);
    }
    // A close and an open within one poll of the link: the same driver over serial,
    // the second adapter's driver (b) over CAN.
    bool relink_at_once(bool over_serial) { return h->relink_at_once(over_serial ? &serial : nullptr); }

    std::shared_ptr<EmulatedUsbBackend> backend = EmulatedUsbBackend::install();
    std::shared_ptr<EmulatedGsUsbAdapter> adapter = backend->add_adapter();
    std::shared_ptr<EmulatedGsUsbAdapter> adapter_b = backend->add_adapter();
    std::unique_ptr<CanDriverPeer> can = start_can_driver_on(adapter, 1);
    std::unique_ptr<CanDriverPeer> can_b = start_can_driver_on(adapter_b, 1);
    SerialDriverPeer serial;
    std::unique_ptr<WindowHarness> h;
};

}  // namespace

// The serial number prompt takes a whole number from 0 to 1000. OK (clicked or
// Enter) with another entry is refused with a message and the entry stays as typed;
// 1000 is taken and recorded with the check.
TEST_F(SerialCalibration, SerialNumberPromptTakesOnlyTheNumberTyped) {
    open();
    SimulatedDriver::CalibrationScript script;
    script.check_values = std::array<float, 12>{};
    peer.driver().set_calibration_script(script);
    const QString refusal = "The joint serial number takes a whole number from 0 to 1000, not \"%1\".";
    const std::pair<const char*, bool> rows[] = {{"1234", false}, {"1,5", true}, {"-1", false}, {"1001", true}};
    QStringList shown, expected;
    on_serial_number_prompt([&](QDialog* d, QSpinBox* box, QPushButton* ok) {
        QPointer<QDialog> prompt(d);
        for (const auto& [typed, enter] : rows) {
            expected << refusal.arg(typed) + " | " + typed;
            if (!prompt || !type_entry(box, QString::fromUtf8(typed))) return;
            if (enter)
                QTest::keyClick(box, Qt::Key_Return);
            else
                QTest::mouseClick(ok, Qt::LeftButton);
            QTest::qWait(50);
            if (!prompt || !prompt->isVisible()) return;
            auto* message = prompt->findChild<QMessageBox*>();
            shown << (message && message->isVisible() ? message->text() : QString()) + " | " + box->text();
            if (message) message->close();
        }
        ASSERT_TRUE(type_entry(box, QStringLiteral("1000")));
        QTest::keyClick(box, Qt::Key_Return);
    });
    h->button("calibration_pushButton")->click();
    EXPECT_EQ(shown, expected);
    EXPECT_TRUE(peer.wait_for_requests(kCalibrate, 1, 2000));
    ASSERT_TRUE(wait_until([&] { return !locked(); }, 3000));
    EXPECT_EQ(file_bytes("pass.csv").count(", 1000, "), 1) << file_text("pass.csv");
}

// Cancelled prompt: nothing. Number 42: the calibration tab, locked controls, the
// driver's reports as tips and plots, the check row with the number; a second
// run clears the plots first.
TEST_F(SerialCalibration, FlowFromPromptToVerdict) {
    open();
    MainWindow* w = h->window();
    SimulatedDriver::CalibrationScript script;
    script.phase_sequence = 1.0f;
    script.cogging_map = {0.1f, 0.2f, 0.3f};
    script.compensation = {1.5f, -1.5f, 0.5f};
    script.check_values = std::array<float, 12>{0.01f, 0.02f, 35.0f, 40.0f, 0.5f, 0.0002f,
                                                0.3f,  0.05f, 0.1f,  0.9f,  0.02f, 0.0001f};
    script.check_step = 4;  // back-EMF coefficient out of range
    peer.driver().set_calibration_script(script);

    calibrate(-1);
    QTest::qWait(100);
    EXPECT_EQ(peer.request_count(kCalibrate), 0);
    EXPECT_EQ(h->find<QTabWidget>("tabWidget")->currentIndex(), 0);
    EXPECT_FALSE(locked());
    EXPECT_EQ(file_bytes("not_pass.csv") + file_bytes("pass.csv"), "<missing><missing>");

    // Dialogs opened before lock with the window: a running curve ends before the
    // calibration is asked for, and until the verdict they send nothing.
    QWidget* params = h->param_dialog_reported();
    ASSERT_TRUE(params);
    // Its replies would enable the motor after 30 batches (0.6 s): no waiting here.
    curve_start(0, {{"torque_A_doubleSpinBox", 1.0}, {"torque_f_doubleSpinBox", 1.0}});
    calibrate(42);
    EXPECT_EQ(prompt, (QStringList{QString::fromUtf8("请输入关节序列号"), QString::fromUtf8("请输入关节序列号:"), "0", "1000"}));
    EXPECT_EQ(h->find<QTabWidget>("tabWidget")->currentIndex(), 1);
    EXPECT_TRUE(locked());
    curve_start(0, {});
    curve_stop();
    params->findChild<QPushButton*>("write_pushButton")->click();
    for (QWidget* dialog : {top_level_named("SetCurve"), params}) {
        std::unique_ptr<QMessageBox> box(dialog->findChild<QMessageBox*>());
        EXPECT_TRUE(box && box->text().startsWith("A calibration is running, so the ")) << dialog->objectName().toStdString();
    }
    ASSERT_TRUE(wait_until([&] { return !locked(); }, 3000));
    const auto targets = peer.requests(kTarget);
    ASSERT_FALSE(targets.empty());
    EXPECT_TRUE(targets.back().at < peer.requests(kCalibrate).front().at);
    EXPECT_EQ(targets.back().values, std::vector<float>(5, 0.0f));
    EXPECT_EQ(peer.request_count(17), 0);
    EXPECT_EQ(peer.driver().calibration_count(), 1);
    EXPECT_EQ(visible_tips(w), (QStringList{"Tips: Back EMF coefficient is defective", "Tips: Calibration is successful.",
                                    "Tips: Calibration start", "Tips: Encode Direction: Forward"}));
    auto* angle = h->find<QCustomPlot>("calibrate_angle_plot");
    auto* comp = h->find<QCustomPlot>("calibrate_compensation_plot");
    EXPECT_EQ(points(angle), (QList<QPointF>{{0, double(0.1f)}, {1, double(0.2f)}, {2, double(0.3f)}}));
    EXPECT_EQ(points(comp), (QList<QPointF>{{0, 1.5}, {1, -1.5}, {2, 0.5}}));
    EXPECT_EQ(angle->yAxis->range(), QCPRange(double(0.1f), double(0.3f)));
    EXPECT_EQ(comp->yAxis->range(), QCPRange(-1.5, 1.5));
    EXPECT_DOUBLE_EQ(angle->xAxis->range().upper, 130.0);
    // The failed check is one row of not_pass.csv with the entered number.
    EXPECT_EQ(file_bytes("not_pass.csv").count(", 42, "), 1) << file_text("not_pass.csv");

    for (QMessageBox* box : w->findChildren<QMessageBox*>()) box->close();
    QTest::qWait(50);
    EXPECT_TRUE(visible_tips(w).isEmpty());

    script.cogging_map = {0.7f};
    script.compensation = {};
    script.check_step = 0;
    script.phase_sequence = 0.0f;
    peer.driver().set_calibration_script(script);
    // The driver confirms before the start is judged; another is refused until then.
    ASSERT_TRUE(wait_until([&] { return !w->serial_manager()->calibration_judging(); }, 3000));
    calibrate(43);
    EXPECT_TRUE(points(angle).isEmpty() && points(comp).isEmpty());
    ASSERT_TRUE(wait_until([&] { return !locked(); }, 3000));
    // A pass shows no check tip.
    EXPECT_EQ(visible_tips(w), (QStringList{"Tips: Calibration is successful.", "Tips: Calibration start",
                                    "Tips: Encoder Direction: Reverse"}));
    EXPECT_EQ(points(angle), (QList<QPointF>{{0, double(0.7f)}}));
    EXPECT_EQ(file_bytes("pass.csv").count(", 43, "), 1) << file_text("pass.csv");
}

// A driver that never confirms the start: after the calibration window (7 s,
// shortened here) the failure tip, and the controls come back.
TEST_F(SerialCalibration, SilentDriverFails) {
    open("zh");
    SimulatedDriver::CalibrationScript script;
    script.silent = true;
    peer.driver().set_calibration_script(script);
    h->window()->serial_manager()->set_intervals(100, 400);
    calibrate(7);
    EXPECT_TRUE(locked());
    QTest::qWait(250);
    EXPECT_TRUE(locked());
    EXPECT_TRUE(visible_tips(h->window()).isEmpty());
    ASSERT_TRUE(wait_until([&] { return !locked(); }, 2000));
    EXPECT_EQ(visible_tips(h->window()), QStringList{QString::fromUtf8("提示: 校准失败")});
    EXPECT_EQ(peer.request_count(kCalibrate), 1);
}

// A calibration the driver never confirms, its link closed and opened again within
// the calibration window, then ENABLE and a step streamed: the window's end must not
// show a failure nor unlock the controls of the stream. Over CAN the calibration
// button's slot waits in the judgement, so the operator acts from in there.
TEST_F(BothLinks, CalibrationJudgementEndsWithItsLink) {
    constexpr int kWindowMs = 2000;
    for (auto* driver : {can.get(), can_b.get()}) driver->set_calibration_answer(CanDriverPeer::Answer::Silent);
    SimulatedDriver::CalibrationScript silent;
    silent.silent = true;
    serial.driver().set_calibration_script(silent);
    for (auto [over_serial, at_once] : {std::pair{true, false}, {false, false}, {true, true}, {false, true}}) {
        SCOPED_TRACE(std::string(over_serial ? "serial" : "CAN") + (at_once ? ", closed and opened at once" : ""));
        h = std::make_unique<WindowHarness>("en");
        h->window()->serial_manager()->set_intervals(100, kWindowMs);
        h->window()->can_manager()->set_intervals(0, 10, kWindowMs);
        ASSERT_TRUE(link(over_serial, true));
        serial.clear_received(), can->clear_requests(), can_b->clear_requests();  // this row's calibration only
        bool done = false;
        on_serial_number_prompt([&](QDialog*, QSpinBox* box, QPushButton* ok) {
            box->setValue(7);
            ok->click();
            const auto window_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWindowMs + 300);
            QTimer::singleShot(0, [&, window_end] {
                ASSERT_TRUE(wait_until([&] {
                    return (over_serial ? serial.request_count(kCalibrate)
                                        : can->request_count(CanCommand::kCalibrateMotor) +
                                              can_b->request_count(CanCommand::kCalibrateMotor)) == 1;
                }, 2000));
                ASSERT_TRUE(at_once ? relink_at_once(over_serial) : link(over_serial, false) && link(over_serial, true));
                ASSERT_TRUE(h->toggle_motor("DISABLE"));
                h->button("send_motion_param_pushButton")->click();
                wait_until([&] { return std::chrono::steady_clock::now() > window_end; }, 3 * kWindowMs);
                EXPECT_EQ(visible_tips(h->window()), QStringList());
                EXPECT_TRUE(h->button("stop_step_send_pushButton")->isEnabled());
                EXPECT_FALSE(h->button("motor_enable_disable_pushButton")->isEnabled());
                EXPECT_FALSE(h->find("down_left_widget")->isEnabled());
                h->button("stop_step_send_pushButton")->click();
                done = true;
            });
        });
        h->button("calibration_pushButton")->click();
        ASSERT_TRUE(wait_until([&] { return done; }, 5 * kWindowMs + 5000));
    }
}

// The driver confirms a calibration before its start is judged. Another press
// meanwhile is refused before the prompt and locks nothing; the first judgement
// stays the first calibration's, with no failure after it.
TEST_F(BothLinks, CalibrationPressedAgainWhileJudgedIsRefused) {
    constexpr int kWindowMs = 2000;
    for (bool over_serial : {true, false}) {
        SCOPED_TRACE(over_serial ? "serial" : "CAN");
        h = std::make_unique<WindowHarness>("zh");
        h->window()->serial_manager()->set_intervals(100, kWindowMs);
        h->window()->can_manager()->set_intervals(0, 10, kWindowMs);
        ASSERT_TRUE(link(over_serial, true));
        serial.clear_received(), can->clear_requests();
        auto prompts = std::make_shared<int>(0);
        bool done = false;
        const auto window_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWindowMs + 300);
        // The second press comes from in the first one's slot, which over CAN waits
        // in the judgement.
        std::function<void()> press_again = [&] {
            ASSERT_TRUE(wait_until([&] {
                return visible_tips(h->window()).contains(QString::fromUtf8("提示: 校准成功"));
            }, kWindowMs)) << visible_tips(h->window()).join('|').toStdString();
            h->button("calibration_pushButton")->click();
            EXPECT_EQ(*prompts, 1);
            EXPECT_EQ(h->text("status_label"), QString::fromUtf8("上一次校准仍在确认中，请稍后再试"));
            for (const char* name : {"calibration_pushButton", "motor_enable_disable_pushButton", "set_param_pushButton",
                                     "motor_reset_pushButton", "vision_tab"})
                EXPECT_TRUE(h->find(name)->isEnabled()) << name;
            wait_until([&] { return std::chrono::steady_clock::now() > window_end; }, 3 * kWindowMs);
            QTest::qWait(100);
            EXPECT_FALSE(visible_tips(h->window()).contains(QString::fromUtf8("提示: 校准失败")));
            EXPECT_EQ(over_serial ? serial.request_count(kCalibrate) : can->request_count(CanCommand::kCalibrateMotor), 1);
            done = true;
        };
        on_serial_number_prompt([prompts, &press_again](QDialog*, QSpinBox* box, QPushButton* ok) {
            box->setValue(7);
            ok->click();
            // Answers a second prompt, if one comes, the same way.
            if (++*prompts == 1) QTimer::singleShot(0, [prompts, &press_again] {
                on_serial_number_prompt([prompts](QDialog*, QSpinBox* b, QPushButton* o) {
                    ++*prompts, b->setValue(8), o->click();
                }, 300);
                press_again();
            });
        });
        h->button("calibration_pushButton")->click();
        ASSERT_TRUE(wait_until([&] { return done; }, 5 * kWindowMs + 5000));
        h.reset();
    }
}

// A reply that the closing link's receive thread queued just before a close and an
// open in one visit of the CAN dialog is handled after both: nothing of it acts on
// the new link (the second adapter's driver).
TEST_F(BothLinks, RepliesOfAClosedLinkActOnNothingAfterIt) {
    using Watch = std::function<QMetaObject::Connection(CanReceiver*, std::atomic<int>*)>;
    const auto watch = [](auto signal) -> Watch {
        return [signal](CanReceiver* r, std::atomic<int>* n) { return QObject::connect(r, signal, [n] { ++*n; }); };
    };
    const float zero[5] = {};
    struct Row {
        const char* reply;
        Watch watch;
        std::function<void(CanManager*)> ask;  // the driver of the link about to close
        std::function<void()> check;
    };
    const Row rows[] = {
        {"enable ack", watch(&CanReceiver::enable_sucess_signal), [](CanManager* m) { m->enable_motor(); },
         [&] {
             EXPECT_EQ(h->button("motor_enable_disable_pushButton")->text(), "ENABLE");
             EXPECT_FALSE(h->button("send_motion_param_pushButton")->isEnabled());
         }},
        {"parameter report", watch(&CanReceiver::motor_firm_state_signal), [](CanManager* m) { m->get_config(); },
         [&] {
             EXPECT_EQ(top_level_named("SetParam")->findChild<QSpinBox*>("current_loop_bandwidth_spinBox")->value(), 300);
         }},
        {"calibration verdict", watch(&CanReceiver::calibration_sucess_signal),
         [&](CanManager*) { can->send_frame(make_can_frame(CanCommand::kStateReport << 5 | kCanReplyFlag | 1, 8, {0, 5})); },
         [&] { EXPECT_EQ(visible_tips(h->window()), QStringList()); }},
        {"fault", watch(&CanReceiver::error_frame_signal),
         [&](CanManager* m) { can->driver().set_error_bits(1), m->get_status_word(); },
         [&] { EXPECT_EQ(h->text("status_label"), ""); }},
        {"temperature", watch(&CanReceiver::motor_common_state_signal),
         [&](CanManager* m) { m->send_motion_command(zero); }, [&] { EXPECT_EQ(h->text("motor_temp_label"), ""); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        h = std::make_unique<WindowHarness>("en");
        can->driver().set_error_bits(0);
        ASSERT_TRUE(link(false, true));
        std::atomic<int> queued{0};
        const auto watching = row.watch(h->window()->can_manager()->can_receiver(), &queued);
        ASSERT_TRUE(h->relink_at_once(nullptr, 1, [&] {
            row.ask(h->window()->can_manager());
            for (int ms = 0; queued == 0 && ms < 5000; ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }));
        QObject::disconnect(watching);
        ASSERT_GE(queued, 1);
        QTest::qWait(100);
        row.check();
        h.reset();
    }
}

// A link lost since the last poll, its dialog's button still reading Close: the
// press opens nothing, neither the port nor the adapter selected; a second press
// (Open) opens it, and the window sees the loss before the open.
TEST_F(BothLinks, CloseOfALinkAlreadyGoneOpensNothing) {
    SerialDriverPeer other;
    ASSERT_TRUE(other.start());
    std::shared_ptr<EmulatedGsUsbAdapter> spare;
    std::unique_ptr<CanDriverPeer> spare_driver;
    for (auto [over_serial, clicks] : {std::pair{true, 1}, {false, 1}, {true, 2}, {false, 2}}) {
        SCOPED_TRACE(std::string(over_serial ? "serial" : "CAN") + (clicks == 1 ? ", Close" : ", Close and Open"));
        h = std::make_unique<WindowHarness>("en");
        MainWindow* w = h->window();
        // Over CAN the first row opens adapter A, the second B: the next one listed
        // is B, then a spare.
        if (!over_serial && clicks == 2) spare = backend->add_adapter(), spare_driver = start_can_driver_on(spare, 1);
        CanDriverPeer* next = clicks == 1 ? can_b.get() : spare_driver.get();
        ASSERT_TRUE(link(over_serial, true));
        QList<bool> states;
        QObject::connect(over_serial ? w->serial_manager()->device_scanner() : w->can_manager()->device_scanner(),
                         &DeviceScanner::state_changed_signal, w, [&](bool open) { states << open; });
        ASSERT_TRUE(h->press_in_link_dialog(over_serial ? &other : nullptr, clicks, clicks == 2, 1, [&] {
            if (over_serial) return w->serial_manager()->serial_interface()->close(), void();
            (clicks == 1 ? adapter : adapter_b)->unplug();
            // Gone before the next poll: the receive thread found it pulled.
            for (int ms = 0; w->can_manager()->can_interface()->is_open() && ms < 3000; ++ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }));
        EXPECT_EQ(states, (clicks == 1 ? QList<bool>{false} : QList<bool>{false, true}));
        if (clicks == 2) {
            EXPECT_TRUE(over_serial ? other.wait_for_requests(25, 1, 2000)
                                    : next->wait_for_requests(CanCommand::kGetFwVersion, 1, 2000));
        } else {
            QTest::qWait(100);
            EXPECT_EQ(over_serial ? other.request_count(25) : next->request_count(CanCommand::kGetFwVersion), 0);
        }
        h.reset();
    }
    spare->set_bus_listener(nullptr);
    spare_driver->stop();
}

// A link closed and opened again to a driver that does not answer the parameter
// read: the dialog shows nothing of the last driver, and Apply is refused with a
// message instead of writing the form to the new driver.
TEST_F(BothLinks, ParameterDialogShowsAndWritesNothingOfTheLastDriver) {
    for (auto [over_serial, at_once] : {std::pair{true, false}, {false, false}, {true, true}, {false, true}}) {
        SCOPED_TRACE(std::string(over_serial ? "serial" : "CAN") + (at_once ? ", closed and opened at once" : ""));
        h = std::make_unique<WindowHarness>(over_serial ? "zh" : "en");
        QWidget* dialog = top_level_named("SetParam");
        auto* bandwidth = dialog->findChild<QSpinBox*>("current_loop_bandwidth_spinBox");
        auto* model = dialog->findChild<QComboBox*>("motor_type_box");
        ASSERT_TRUE(link(over_serial, true));
        h->button("set_param_pushButton")->click();
        ASSERT_TRUE(wait_until([&] { return bandwidth->value() == 1000; }, 2000));  // the driver's
        model->setCurrentText(QStringLiteral("T88-6"));
        // No answer to the read from now on; at once over CAN, from the second driver.
        over_serial ? serial.set_ignored(24, true) : (at_once ? can_b : can)->stop();
        ASSERT_TRUE(at_once ? relink_at_once(over_serial) : link(over_serial, false) && link(over_serial, true));
        h->button("set_param_pushButton")->click();
        QTest::qWait(200);
        EXPECT_EQ(bandwidth->value(), 300);  // the form's own
        EXPECT_EQ(model->currentText(), QString());
        model->setCurrentText(QStringLiteral("T88-6"));
        dialog->findChild<QPushButton*>("write_pushButton")->click();
        QMessageBox* box = dialog->findChild<QMessageBox*>();
        ASSERT_TRUE(box && box->isVisible());
        EXPECT_EQ(box->text(), over_serial ? QString::fromUtf8("本连接的驱动器尚未报告参数，无法应用或写入。请点击“参数设置”重新读取。")
                                           : QStringLiteral("The driver on this link has not reported its parameters, so "
                                                            "they cannot be applied or written. Press Settings to read them again."));
        delete box;
        QTest::qWait(100);
        EXPECT_EQ(serial.request_count(17) + can->request_count(CanCommand::kSetLimitCurrent) +
                      can_b->request_count(CanCommand::kSetLimitCurrent), 0);
        serial.set_ignored(24, false);
        can->start();
    }
}

// Motion replies while the window thinks the motor is off: the 30th batch asks for
// an enable, once.
TEST_F(SerialCalibration, ThirtyDisabledBatchesEnableTheMotorOnce) {
    open();
    // One sample per 20 ms flush, unless a busy machine holds the reader back and
    // several share a batch: the driver streams until the enable comes.
    peer.driver().set_motion_stream(25.0);
    ASSERT_TRUE(wait_until([&] { return peer.request_count(kEnable) == 1; }, 10000));
    const uint64_t sent = peer.driver().stop_motion_stream();
    EXPECT_GE(sent, 30u);
    ASSERT_TRUE(wait_until([&] { return h->button("motor_enable_disable_pushButton")->text() == "DISABLE"; }, 3000));
    QTest::qWait(100);
    // The enable cleared the plots: only samples after it remain (30 batches of at
    // least one sample came before it).
    EXPECT_LE(h->find<QCustomPlot>("angle_plot")->graph(0)->dataCount(), static_cast<int>(sent) - 30);
    // Enabled, the batches count no more.
    peer.driver().set_motion_stream(25.0, 40);
    ASSERT_TRUE(wait_until([&] { return peer.driver().motion_stream_sent() == 40; }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(peer.request_count(kEnable), 1);
}

// The parameter dialog's store: the write and then the store reach the driver; its
// acknowledgement and the parameters it reports show on the status line.
TEST_F(SerialCalibration, ParameterWriteAndStore) {
    peer.driver().set_takes_param_writes(true);
    open();
    auto status = [&] { return h->text("status_label"); };
    h->button("set_param_pushButton")->click();
    ASSERT_TRUE(wait_until([&] { return status() == "Successfully get parameters."; }, 2000));
    QWidget* set_param = top_level_named("SetParam");
    // The driver reports a ratio of no model; one must be chosen before a write.
    set_param->findChild<QComboBox*>(QStringLiteral("motor_type_box"))->setCurrentText(QStringLiteral("T88-6"));
    set_param->findChild<QSpinBox*>(QStringLiteral("can_id_spinBox"))->setValue(5);
    // Not while the motor is enabled, as the window's own Settings button.
    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    set_param->findChild<QPushButton*>(QStringLiteral("flash_pushButton"))->click();
    std::unique_ptr<QMessageBox> refusal(set_param->findChild<QMessageBox*>());
    EXPECT_EQ(refusal ? refusal->text() : QString(),
              QStringLiteral("The motor is enabled, so the parameters cannot be applied or written. Disable the motor first."));
    ASSERT_TRUE(h->toggle_motor("ENABLE"));
    set_param->findChild<QPushButton*>(QStringLiteral("flash_pushButton"))->click();
    ASSERT_TRUE(wait_until([&] { return peer.driver().flashed_params()[1] == 5.0f; }, 3000));
    EXPECT_EQ(peer.request_count(17), 1);
    EXPECT_EQ(peer.request_count(23), 1);
    EXPECT_EQ(peer.driver().params()[1], 5.0f);
    QTest::qWait(100);
    EXPECT_EQ(status(), "Successfully get parameters.");  // the reported parameters came after the ack
    // An acknowledgement on its own shows the write's message.
    peer.send_frame(34);
    EXPECT_TRUE(wait_until([&] { return status() == "New parameters are saved."; }, 2000));
}

// Hex pairs, the kept input, the typed-character filter, the mode switch and the
// receive view with its clear button and newest chunks.
TEST_F(SerialCalibration, TerminalPairsInputAndView) {
    open();
    h->window()->serial_manager()->set_intervals(3600 * 1000, 300);  // no status requests in between
    QTest::qWait(100);
    auto* input = h->find<QTextEdit>("input_textEdit");
    auto* view = h->find<QTextBrowser>("textBrowser");
    auto* hex = h->find<QRadioButton>("send_hex_radioButton");
    ASSERT_TRUE(hex->isChecked());
    const std::pair<const char*, QByteArray> sends[] = {
        {"1 2", QByteArray("\x12", 1)},
        {"ABC", QByteArray("\xab\x0c", 2)},
        {"0102ff", QByteArray("\x01\x02\xff", 3)},
    };
    for (const auto& [typed, bytes] : sends) {
        peer.clear_received();
        input->setPlainText(QString::fromUtf8(typed));
        h->button("send_pushButton")->click();
        EXPECT_TRUE(peer.wait_for_raw(bytes.size(), 2000)) << typed;
        QTest::qWait(30);
        EXPECT_EQ(peer.raw_received(), bytes) << typed;
        EXPECT_EQ(input->toPlainText(), QString::fromUtf8(typed));  // kept after sending
    }
    input->clear();
    input->setFocus();
    QTest::keyClicks(input, QStringLiteral("12g"));
    EXPECT_EQ(input->toPlainText(), QStringLiteral("12"));
    EXPECT_EQ(input->textCursor().position(), 2);
    h->find<QRadioButton>("send_ascii_radioButton")->setChecked(true);
    EXPECT_TRUE(input->toPlainText().isEmpty());
    input->setPlainText(QStringLiteral("hi"));
    hex->setChecked(true);
    EXPECT_TRUE(input->toPlainText().isEmpty());

    peer.send_bytes(QByteArray("\xff\x31\x0a", 3));
    ASSERT_TRUE(wait_until([&] { return view->toPlainText().contains(QStringLiteral("ff 31 0a ")); }, 2000));
    h->button("clear_pushButton")->click();
    EXPECT_TRUE(view->toPlainText().isEmpty());
    for (int i = 0; i < 5100; ++i) {
        QByteArray chunk(1, char(i & 0xFF));
        h->window()->append_textBrowser_slot(chunk);
    }
    ASSERT_TRUE(wait_until([&] { return view->toPlainText().endsWith(QStringLiteral("eb ")); }, 2000));
    EXPECT_TRUE(view->toPlainText().startsWith(QStringLiteral("64 \n")));  // chunk 100 = 0x64
    EXPECT_TRUE(view->toPlainText().endsWith(QStringLiteral("eb ")));      // chunk 5099
}
