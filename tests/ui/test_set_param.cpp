// Parameter dialog driven through its real widgets.
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTranslator>
#include <QtTest>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "console_capture.h"
#include "resources_init.h"
#include "set_param.h"
#include "widget_child.h"

namespace {

struct Emission {
    std::string name;
    FirmwareParams params;
    std::chrono::steady_clock::time_point at;
};

class Recorder {
public:
    explicit Recorder(SetParam& dialog) {
        QObject::connect(&dialog, &SetParam::set_firmware_param_signal, [this](FirmwareParams p) {
            emissions.push_back({"set", p, std::chrono::steady_clock::now()});
        });
        QObject::connect(&dialog, &SetParam::flash_firmware_param_signal, [this]() {
            emissions.push_back({"flash", FirmwareParams{}, std::chrono::steady_clock::now()});
        });
    }
    std::vector<Emission> emissions;
};

FirmwareState state_of(float ratio, float id, float bandwidth, float timeout, float limit) {
    FirmwareState s;
    s.gear_ratio = ratio;
    s.can_id = id;
    s.current_bandwidth = bandwidth;
    s.can_timeout = timeout;
    s.current_limit = limit;
    return s;
}

}  // namespace

class TestSetParam : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { hv_init_resources(); }

    void form_defaults_and_window() {
        SetParam dialog;
        auto* model = child<QComboBox>(dialog, "motor_type_box");
        QCOMPARE(model->count(), 4);
        QCOMPARE(model->itemText(0), QString());
        QCOMPARE(model->itemText(1), QString("T88-4"));
        QCOMPARE(model->itemText(2), QString("T88-6"));
        QCOMPARE(model->itemText(3), QString("T88-10"));
        QCOMPARE(model->currentIndex(), 0);
        QVERIFY(!model->isEditable());

        auto* id = child<QSpinBox>(dialog, "can_id_spinBox");
        QCOMPARE(id->value(), 1);
        QCOMPARE(id->minimum(), 0);
        QCOMPARE(id->maximum(), 127);
        auto* bandwidth = child<QSpinBox>(dialog, "current_loop_bandwidth_spinBox");
        QCOMPARE(bandwidth->value(), 300);
        QCOMPARE(bandwidth->maximum(), 2000);
        QCOMPARE(bandwidth->suffix(), QString(" Hz"));
        auto* timeout = child<QSpinBox>(dialog, "can_timeout_spinBox");
        QCOMPARE(timeout->value(), 0);
        QCOMPARE(timeout->maximum(), 255);
        QCOMPARE(timeout->singleStep(), 100);
        auto* limit = child<QDoubleSpinBox>(dialog, "current_limit_doubleSpinBox");
        QCOMPARE(limit->value(), 20.0);
        QCOMPARE(limit->maximum(), 28.0);
        QCOMPARE(limit->singleStep(), 0.1);
        QCOMPARE(limit->decimals(), 2);
        QCOMPARE(limit->suffix(), QString(" A"));
        for (QWidget* w : std::vector<QWidget*>{id, bandwidth, timeout, limit}) {
            QCOMPARE(w->minimumWidth(), 110);
            QCOMPARE(w->maximumWidth(), 110);
        }

        QCOMPARE(child<QLabel>(dialog, "over_voltage_label")->text(), QString("36 V"));
        QCOMPARE(child<QLabel>(dialog, "under_voltage_label")->text(), QString("18.0 V"));
        QCOMPARE(child<QLabel>(dialog, "current_limit_label")->text(), QString("28.0 A"));
        QCOMPARE(child<QTabWidget>(dialog, "tabWidget")->currentIndex(), 0);
        QCOMPARE(dialog.windowTitle(), QString::fromUtf8("设置参数"));

        QVERIFY(dialog.parentWidget() == nullptr);
        QVERIFY(!dialog.testAttribute(Qt::WA_QuitOnClose));
        QVERIFY(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(!(dialog.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(dialog.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!dialog.isVisible());
        // "../icon/icon.png" is staged beside the test's working directory.
        QVERIFY(!dialog.windowIcon().isNull());
    }

    void english_texts_keep_fixed_values() {
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(":/Translate_EN.qm")));
        qApp->installTranslator(&translator);
        {
            SetParam dialog;
            QCOMPARE(dialog.windowTitle(), QString("Settings"));
            auto* tabs = child<QTabWidget>(dialog, "tabWidget");
            QCOMPARE(tabs->tabText(0), QString("Motor"));
            QCOMPARE(tabs->tabText(1), QString("Protection"));
            QCOMPARE(child<QPushButton>(dialog, "write_pushButton")->text(), QString("Save as Temporary Settings"));
            QCOMPARE(child<QPushButton>(dialog, "flash_pushButton")->text(), QString("Write"));
            QCOMPARE(child<QLabel>(dialog, "label_18")->text(), QString("Can_Timeout"));
            QCOMPARE(child<QLabel>(dialog, "over_voltage_label")->text(), QString("36 V"));
        }
        qApp->removeTranslator(&translator);
    }

    void gear_ratio_matching_data() {
        QTest::addColumn<float>("reported");
        QTest::addColumn<QString>("model");
        QTest::newRow("exact T88-4") << 7.636f << "T88-4";
        QTest::newRow("exact T88-6") << 12.0f << "T88-6";
        QTest::newRow("exact T88-10") << 18.36f << "T88-10";
        QTest::newRow("7.6365 within") << 7.6365f << "T88-4";
        QTest::newRow("7.65 outside") << 7.65f << "";
        QTest::newRow("12.011 within") << 12.011f << "T88-6";
        QTest::newRow("18.4 outside") << 18.4f << "";
        // Relative to the reported ratio: 0.01201 / 12.01201 < 0.001 although
        // 0.01201 / 12 is not.
        QTest::newRow("12.01201 tolerance of reported") << 12.01201f << "T88-6";
        QTest::newRow("12.0121 just above") << 12.0121f << "";
        QTest::newRow("11.9881 just below") << 11.9881f << "T88-6";
        QTest::newRow("11.988 strict boundary") << 11.988f << "";
        QTest::newRow("18.378 within") << 18.378f << "T88-10";
        QTest::newRow("zero") << 0.0f << "";
        QTest::newRow("negative") << -7.636f << "";
        QTest::newRow("nan") << std::numeric_limits<float>::quiet_NaN() << "";
        QTest::newRow("infinity") << std::numeric_limits<float>::infinity() << "";
    }

    void gear_ratio_matching() {
        QFETCH(float, reported);
        QFETCH(QString, model);
        SetParam dialog;
        auto* box = child<QComboBox>(dialog, "motor_type_box");
        // Start from a different model so a miss visibly falls back to the empty item.
        dialog.motor_firm_state_slot(state_of(model == "T88-10" ? 7.636f : 18.36f, 1, 300, 0, 20));
        QVERIFY(box->currentText() != model);
        dialog.motor_firm_state_slot(state_of(reported, 1, 300, 0, 20));
        QCOMPARE(box->currentText(), model);
        if (model.isEmpty()) QCOMPARE(box->currentIndex(), 0);
    }

    void reports_are_truncated_and_clamped() {
        SetParam dialog;
        auto* id = child<QSpinBox>(dialog, "can_id_spinBox");
        auto* bandwidth = child<QSpinBox>(dialog, "current_loop_bandwidth_spinBox");
        auto* timeout = child<QSpinBox>(dialog, "can_timeout_spinBox");
        auto* limit = child<QDoubleSpinBox>(dialog, "current_limit_doubleSpinBox");
        auto* limit_label = child<QLabel>(dialog, "current_limit_label");

        dialog.motor_firm_state_slot(state_of(12, 3.99f, 1000.7f, 37.9f, 20.0f));
        QCOMPARE(id->value(), 3);
        QCOMPARE(bandwidth->value(), 1000);
        QCOMPARE(timeout->value(), 37);
        QCOMPARE(limit->value(), 20.0);
        QCOMPARE(limit_label->text(), QString("20 A"));

        dialog.motor_firm_state_slot(state_of(12, 200, 2500, 300, 30.0f));
        QCOMPARE(id->value(), 127);
        QCOMPARE(bandwidth->value(), 2000);
        QCOMPARE(timeout->value(), 255);
        QCOMPARE(limit->value(), 28.0);
        QCOMPARE(limit_label->text(), QString("30 A"));  // the label shows what was reported

        dialog.motor_firm_state_slot(state_of(12, -5, -0.5f, -1, 12.5f));
        QCOMPARE(id->value(), 0);
        QCOMPARE(bandwidth->value(), 0);
        QCOMPARE(timeout->value(), 0);
        QCOMPARE(limit->value(), 12.5);
        QCOMPARE(limit_label->text(), QString("12.5 A"));

        const float inf = std::numeric_limits<float>::infinity();
        dialog.motor_firm_state_slot(state_of(12, inf, -inf, 1e30f, 0.0f));
        QCOMPARE(id->value(), 127);
        QCOMPARE(bandwidth->value(), 0);
        QCOMPARE(timeout->value(), 255);
        QCOMPARE(limit_label->text(), QString("0 A"));
    }

    void nan_report_leaves_values_and_warns() {
        SetParam dialog;
        dialog.motor_firm_state_slot(state_of(12, 5, 400, 10, 15.5f));
        const float nan = std::numeric_limits<float>::quiet_NaN();
        ConsoleCapture out;
        dialog.motor_firm_state_slot(state_of(nan, nan, nan, nan, nan));
        QCOMPARE(child<QComboBox>(dialog, "motor_type_box")->currentIndex(), 0);
        QCOMPARE(child<QSpinBox>(dialog, "can_id_spinBox")->value(), 5);
        QCOMPARE(child<QSpinBox>(dialog, "current_loop_bandwidth_spinBox")->value(), 400);
        QCOMPARE(child<QSpinBox>(dialog, "can_timeout_spinBox")->value(), 10);
        QCOMPARE(child<QDoubleSpinBox>(dialog, "current_limit_doubleSpinBox")->value(), 15.5);
        QCOMPARE(child<QLabel>(dialog, "current_limit_label")->text(), QString("15.5 A"));
        QVERIFY(out.text().find("[WARN] ") != std::string::npos);
    }

    void write_emits_form_once_and_hides() {
        SetParam dialog;
        Recorder recorder(dialog);
        child<QComboBox>(dialog, "motor_type_box")->setCurrentText("T88-4");
        child<QSpinBox>(dialog, "can_id_spinBox")->setValue(9);
        child<QSpinBox>(dialog, "current_loop_bandwidth_spinBox")->setValue(1500);
        child<QSpinBox>(dialog, "can_timeout_spinBox")->setValue(200);
        child<QDoubleSpinBox>(dialog, "current_limit_doubleSpinBox")->setValue(12.3);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));

        ConsoleCapture out;
        QTest::mouseClick(child<QPushButton>(dialog, "write_pushButton"), Qt::LeftButton);
        QCOMPARE(recorder.emissions.size(), size_t(1));
        QCOMPARE(recorder.emissions[0].name, std::string("set"));
        const FirmwareParams& p = recorder.emissions[0].params;
        QCOMPARE(p.gear_ratio, 7.636f);
        QCOMPARE(p.can_id, 9.0f);
        QCOMPARE(p.current_bandwidth, 1500.0f);
        QCOMPARE(p.can_timeout, 200.0f);
        QCOMPARE(p.current_limit, 12.3f);
        QCOMPARE(out.text(), std::string("[INFO] gear ratio is: 7.636\n"));
        QVERIFY(!dialog.isVisible());
    }

    void empty_model_sends_zero_ratio_silently() {
        SetParam dialog;
        Recorder recorder(dialog);
        dialog.show();
        ConsoleCapture out;
        QTest::mouseClick(child<QPushButton>(dialog, "write_pushButton"), Qt::LeftButton);
        QCOMPARE(recorder.emissions.size(), size_t(1));
        const FirmwareParams& p = recorder.emissions[0].params;
        QCOMPARE(p.gear_ratio, 0.0f);
        QCOMPARE(p.can_id, 1.0f);
        QCOMPARE(p.current_bandwidth, 300.0f);
        QCOMPARE(p.can_timeout, 0.0f);
        QCOMPARE(p.current_limit, 20.0f);
        QVERIFY(out.text().find("gear ratio") == std::string::npos);
    }

    void gear_ratio_lines_per_model_data() {
        QTest::addColumn<QString>("model");
        QTest::addColumn<float>("ratio");
        QTest::addColumn<QString>("line");
        QTest::newRow("T88-6") << "T88-6" << 12.0f << "[INFO] gear ratio is: 12\n";
        QTest::newRow("T88-10") << "T88-10" << 18.36f << "[INFO] gear ratio is: 18.36\n";
    }

    void gear_ratio_lines_per_model() {
        QFETCH(QString, model);
        QFETCH(float, ratio);
        QFETCH(QString, line);
        SetParam dialog;
        Recorder recorder(dialog);
        child<QComboBox>(dialog, "motor_type_box")->setCurrentText(model);
        dialog.show();
        ConsoleCapture out;
        QTest::mouseClick(child<QPushButton>(dialog, "write_pushButton"), Qt::LeftButton);
        QCOMPARE(recorder.emissions.at(0).params.gear_ratio, ratio);
        QCOMPARE(QString::fromStdString(out.text()), line);
    }

    void flash_emits_write_then_flash_after_pause() {
        SetParam dialog;
        Recorder recorder(dialog);
        child<QComboBox>(dialog, "motor_type_box")->setCurrentText("T88-10");
        child<QSpinBox>(dialog, "can_id_spinBox")->setValue(2);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTest::mouseClick(child<QPushButton>(dialog, "flash_pushButton"), Qt::LeftButton);

        QCOMPARE(recorder.emissions.size(), size_t(2));
        QCOMPARE(recorder.emissions[0].name, std::string("set"));
        QCOMPARE(recorder.emissions[1].name, std::string("flash"));
        QCOMPARE(recorder.emissions[0].params.gear_ratio, 18.36f);
        QCOMPARE(recorder.emissions[0].params.can_id, 2.0f);
        const auto pause = recorder.emissions[1].at - recorder.emissions[0].at;
        QVERIFY(pause >= std::chrono::milliseconds(10));
        QVERIFY(!dialog.isVisible());

        // A second showing flashes again, once per press.
        dialog.show();
        QTest::mouseClick(child<QPushButton>(dialog, "flash_pushButton"), Qt::LeftButton);
        QCOMPARE(recorder.emissions.size(), size_t(4));
        QCOMPARE(recorder.emissions[2].name, std::string("set"));
        QCOMPARE(recorder.emissions[3].name, std::string("flash"));
    }

    void report_then_write_round_trip() {
        SetParam dialog;
        Recorder recorder(dialog);
        dialog.motor_firm_state_slot(state_of(12.011f, 5, 1000, 37.9f, 12.5f));
        dialog.show();
        QTest::mouseClick(child<QPushButton>(dialog, "write_pushButton"), Qt::LeftButton);
        const FirmwareParams& p = recorder.emissions.at(0).params;
        QCOMPARE(p.gear_ratio, 12.0f);
        QCOMPARE(p.can_id, 5.0f);
        QCOMPARE(p.current_bandwidth, 1000.0f);
        QCOMPARE(p.can_timeout, 37.0f);
        QCOMPARE(p.current_limit, 12.5f);
    }

    void closing_only_hides() {
        SetParam dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.motor_firm_state_slot(state_of(7.636f, 4, 300, 0, 20));
        QVERIFY(dialog.close());
        QVERIFY(!dialog.isVisible());
        dialog.show();
        QCOMPARE(child<QComboBox>(dialog, "motor_type_box")->currentText(), QString("T88-4"));
        QCOMPARE(child<QSpinBox>(dialog, "can_id_spinBox")->value(), 4);
    }

    void destructor_log_line() {
        ConsoleCapture out;
        { SetParam dialog; }
        QCOMPARE(out.text(), std::string("[INFO] Dectruct SetParam\n"));
    }
};

QTEST_MAIN(TestSetParam)
#include "test_set_param.moc"
