// Parameter dialog driven through its real widgets.
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QtTest>
#include <chrono>
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

// The form's values as id, bandwidth, timeout, limit.
std::vector<double> form_values(SetParam& d) {
    return {double(child<QSpinBox>(d, "can_id_spinBox")->value()),
            double(child<QSpinBox>(d, "current_loop_bandwidth_spinBox")->value()),
            double(child<QSpinBox>(d, "can_timeout_spinBox")->value()),
            child<QDoubleSpinBox>(d, "current_limit_doubleSpinBox")->value()};
}

void click(SetParam& d, const char* name) { QTest::mouseClick(child<QPushButton>(d, name), Qt::LeftButton); }

}  // namespace

class TestSetParam : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { hv_init_resources(); }

    void form_and_window() {
        SetParam dialog;
        auto* model = child<QComboBox>(dialog, "motor_type_box");
        QStringList models;
        for (int i = 0; i < model->count(); ++i) models << model->itemText(i);
        QCOMPARE(models, (QStringList{"", "T88-4", "T88-6", "T88-10"}));
        QCOMPARE(form_values(dialog), (std::vector<double>{1, 300, 0, 20}));
        QCOMPARE(child<QLabel>(dialog, "over_voltage_label")->text(), QString("36 V"));
        QCOMPARE(dialog.windowTitle(), QString::fromUtf8("设置参数"));
        QVERIFY(dialog.parentWidget() == nullptr);
        QVERIFY(!dialog.testAttribute(Qt::WA_QuitOnClose));
        QVERIFY(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(!(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        // "../icon/icon.png" is staged beside the test's working directory.
        QVERIFY(!dialog.windowIcon().isNull());

    }

    void gear_ratio_matching_data() {
        QTest::addColumn<float>("reported");
        QTest::addColumn<QString>("model");
        QTest::newRow("exact T88-4") << 7.636f << "T88-4";
        QTest::newRow("exact T88-6") << 12.0f << "T88-6";
        QTest::newRow("exact T88-10") << 18.36f << "T88-10";
        QTest::newRow("7.6365 within") << 7.6365f << "T88-4";
        QTest::newRow("7.65 outside") << 7.65f << "";
        QTest::newRow("18.378 within") << 18.378f << "T88-10";
        QTest::newRow("18.4 outside") << 18.4f << "";
        // Relative to the reported ratio: 0.01201 / 12.01201 < 0.001 although
        // 0.01201 / 12 is not.
        QTest::newRow("12.01201 tolerance of reported") << 12.01201f << "T88-6";
        QTest::newRow("12.0121 just above") << 12.0121f << "";
        QTest::newRow("11.9881 just below") << 11.9881f << "T88-6";
        QTest::newRow("11.988 strict boundary") << 11.988f << "";
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
        dialog.motor_firm_state_slot(FirmwareState{model == "T88-10" ? 7.636f : 18.36f, 1, 300, 0, 20});
        QVERIFY(box->currentText() != model);
        dialog.motor_firm_state_slot(FirmwareState{reported, 1, 300, 0, 20});
        QCOMPARE(box->currentText(), model);
        if (model.isEmpty()) QCOMPARE(box->currentIndex(), 0);
    }

    void reports_are_truncated_clamped_and_written_back() {
        SetParam dialog;
        Recorder recorder(dialog);
        auto* limit_label = child<QLabel>(dialog, "current_limit_label");
        dialog.motor_firm_state_slot(FirmwareState{12.011f, 3.99f, 1000.7f, 37.9f, 12.5f});
        QCOMPARE(form_values(dialog), (std::vector<double>{3, 1000, 37, 12.5}));
        QCOMPARE(limit_label->text(), QString("12.5 A"));
        dialog.show();
        click(dialog, "write_pushButton");
        const FirmwareParams& p = recorder.emissions.at(0).params;
        QCOMPARE(p.gear_ratio, 12.0f);
        QCOMPARE(p.can_id, 3.0f);
        QCOMPARE(p.current_bandwidth, 1000.0f);
        QCOMPARE(p.can_timeout, 37.0f);
        QCOMPARE(p.current_limit, 12.5f);

        dialog.motor_firm_state_slot(FirmwareState{12, 200, 2500, 300, 30.0f});
        QCOMPARE(form_values(dialog), (std::vector<double>{127, 2000, 255, 28}));
        QCOMPARE(limit_label->text(), QString("30 A"));  // the label shows what was reported
        dialog.motor_firm_state_slot(FirmwareState{12, -5, -0.5f, -1, 12.5f});
        QCOMPARE(form_values(dialog), (std::vector<double>{0, 0, 0, 12.5}));
        const float inf = std::numeric_limits<float>::infinity();
        dialog.motor_firm_state_slot(FirmwareState{12, inf, -inf, 1e30f, 0.0f});
        QCOMPARE(form_values(dialog).at(0), 127.0);
        QCOMPARE(form_values(dialog).at(1), 0.0);
        QCOMPARE(form_values(dialog).at(2), 255.0);
        QCOMPARE(limit_label->text(), QString("0 A"));
    }

    void nan_report_leaves_values_and_warns() {
        SetParam dialog;
        dialog.motor_firm_state_slot(FirmwareState{12, 5, 400, 10, 15.5f});
        const float nan = std::numeric_limits<float>::quiet_NaN();
        ConsoleCapture out;
        dialog.motor_firm_state_slot(FirmwareState{nan, nan, nan, nan, nan});
        QCOMPARE(child<QComboBox>(dialog, "motor_type_box")->currentIndex(), 0);
        QCOMPARE(form_values(dialog), (std::vector<double>{5, 400, 10, 15.5}));
        QCOMPARE(child<QLabel>(dialog, "current_limit_label")->text(), QString("15.5 A"));
        QVERIFY(out.text().find("[WARN] ") != std::string::npos);
    }

    void write_emits_form_once_and_hides_data() {
        QTest::addColumn<QString>("model");
        QTest::addColumn<float>("ratio");
        QTest::addColumn<QString>("line");
        QTest::newRow("no model") << "" << 0.0f << "";
        QTest::newRow("T88-4") << "T88-4" << 7.636f << "[INFO] gear ratio is: 7.636\n";
        QTest::newRow("T88-6") << "T88-6" << 12.0f << "[INFO] gear ratio is: 12\n";
        QTest::newRow("T88-10") << "T88-10" << 18.36f << "[INFO] gear ratio is: 18.36\n";
    }

    void write_emits_form_once_and_hides() {
        QFETCH(QString, model);
        QFETCH(float, ratio);
        QFETCH(QString, line);
        SetParam dialog;
        Recorder recorder(dialog);
        if (!model.isEmpty()) child<QComboBox>(dialog, "motor_type_box")->setCurrentText(model);
        child<QSpinBox>(dialog, "can_id_spinBox")->setValue(9);
        child<QSpinBox>(dialog, "current_loop_bandwidth_spinBox")->setValue(1500);
        child<QSpinBox>(dialog, "can_timeout_spinBox")->setValue(200);
        child<QDoubleSpinBox>(dialog, "current_limit_doubleSpinBox")->setValue(12.3);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));

        ConsoleCapture out;
        click(dialog, "write_pushButton");
        QCOMPARE(recorder.emissions.size(), size_t(1));
        QCOMPARE(recorder.emissions[0].name, std::string("set"));
        const FirmwareParams& p = recorder.emissions[0].params;
        QCOMPARE(p.gear_ratio, ratio);
        QCOMPARE(p.can_id, 9.0f);
        QCOMPARE(p.current_bandwidth, 1500.0f);
        QCOMPARE(p.can_timeout, 200.0f);
        QCOMPARE(p.current_limit, 12.3f);
        QCOMPARE(QString::fromStdString(out.text()), line);
        QVERIFY(!dialog.isVisible());
    }

    void flash_emits_write_then_flash_after_pause() {
        SetParam dialog;
        Recorder recorder(dialog);
        child<QComboBox>(dialog, "motor_type_box")->setCurrentText("T88-10");
        child<QSpinBox>(dialog, "can_id_spinBox")->setValue(2);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        click(dialog, "flash_pushButton");
        QCOMPARE(recorder.emissions.size(), size_t(2));
        QCOMPARE(recorder.emissions[0].name, std::string("set"));
        QCOMPARE(recorder.emissions[1].name, std::string("flash"));
        QCOMPARE(recorder.emissions[0].params.gear_ratio, 18.36f);
        QCOMPARE(recorder.emissions[0].params.can_id, 2.0f);
        QVERIFY(recorder.emissions[1].at - recorder.emissions[0].at >= std::chrono::milliseconds(10));
        QVERIFY(!dialog.isVisible());

        // A second showing flashes again, once per press.
        dialog.show();
        click(dialog, "flash_pushButton");
        QCOMPARE(recorder.emissions.size(), size_t(4));
        QCOMPARE(recorder.emissions[2].name, std::string("set"));
        QCOMPARE(recorder.emissions[3].name, std::string("flash"));
    }

    void closing_only_hides_and_destruction_logs() {
        ConsoleCapture out;
        {
            SetParam dialog;
            dialog.show();
            dialog.motor_firm_state_slot(FirmwareState{7.636f, 4, 300, 0, 20});
            QVERIFY(dialog.close());
            QVERIFY(!dialog.isVisible());
            dialog.show();
            QCOMPARE(child<QComboBox>(dialog, "motor_type_box")->currentText(), QString("T88-4"));
            QCOMPARE(child<QSpinBox>(dialog, "can_id_spinBox")->value(), 4);
        }
        QCOMPARE(out.text(), std::string("[INFO] Dectruct SetParam\n"));
    }
};

QTEST_MAIN(TestSetParam)
#include "test_set_param.moc"
