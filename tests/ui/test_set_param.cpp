// Parameter dialog driven through its real widgets.
#include <gtest/gtest.h>

#include <chrono>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QSpinBox>
#include <QTranslator>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "console_capture.h"
#include "resources_init.h"
#include "set_param.h"
#include "typed_entry.h"
#include "widget_child.h"

namespace {

const float kNan = std::numeric_limits<float>::quiet_NaN();

QString model(SetParam& d) { return child<QComboBox>(d, "motor_type_box")->currentText(); }

// The last row of the model table and the strict relative tolerance of 0.001 of the reported ratio.
TEST(SetParam, ReportedGearRatioSelectsTheModel) {
    const std::pair<float, const char*> rows[] = {
        {7.636f, "T88-4"}, {18.36f, "T88-10"}, {18.378f, "T88-10"}, {18.4f, ""},   {12.01201f, "T88-6"},
        {12.0121f, ""},    {11.9881f, "T88-6"}, {11.988f, ""},       {-7.636f, ""}, {kNan, ""},
        {12.0f, "T88-6"},  {7.6365f, "T88-4"},  {7.65f, ""},         {12.011f, "T88-6"}, {0.0f, ""},
        {std::numeric_limits<float>::infinity(), ""},
    };
    for (const auto& row : rows) {
        SetParam dialog;
        // Start from another model so a miss visibly falls back to the empty item.
        dialog.motor_firm_state_slot(FirmwareState{std::string(row.second) == "T88-10" ? 7.636f : 18.36f, 1, 1, 1, 1});
        dialog.motor_firm_state_slot(FirmwareState{row.first, 1, 300, 0, 20});
        EXPECT_EQ(model(dialog).toStdString(), row.second) << row.first;
    }
}

// Write sends the form once, flash sends it and then the store command; both hide
// the dialog. The numbers are read as values, also under a decimal-comma locale.
TEST(SetParam, WriteAndFlashSendTheForm) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    for (const char* button : {"write_pushButton", "flash_pushButton"}) {
        SetParam dialog;
        std::vector<std::vector<float>> sent;  // the form's five values, or {} for the store command
        QObject::connect(&dialog, &SetParam::set_firmware_param_signal, [&](FirmwareParams p) {
            sent.push_back({p.gear_ratio, p.can_id, p.current_bandwidth, p.can_timeout, p.current_limit});
        });
        std::vector<std::chrono::steady_clock::time_point> at;
        QObject::connect(&dialog, &SetParam::set_firmware_param_signal, [&] { at.push_back(std::chrono::steady_clock::now()); });
        QObject::connect(&dialog, &SetParam::flash_firmware_param_signal, [&] {
            sent.push_back({});
            at.push_back(std::chrono::steady_clock::now());
        });
        dialog.motor_firm_state_slot(FirmwareState{18.36f, 9, 1500, 200, 20});
        auto* limit = child<QDoubleSpinBox>(dialog, "current_limit_doubleSpinBox");
        dialog.show();
        limit->selectAll();
        QTest::keyClicks(limit, "12,3");
        QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
        std::vector<std::vector<float>> expected{{18.36f, 9, 1500, 200, 12.3f}};
        if (std::string(button) == "flash_pushButton") expected.push_back({});
        EXPECT_EQ(sent, expected) << button;
        // The driver needs the written values applied before the store command follows.
        if (at.size() == 2) EXPECT_GE(at[1] - at[0], std::chrono::milliseconds(10));
        EXPECT_FALSE(dialog.isVisible());
    }
    QLocale::setDefault(QLocale::c());
}

using Form = std::vector<float>;  // model ratio, id, bandwidth, timeout, limit as the form holds them

// What the form shows, its model as the gear ratio it stands for.
Form form_of(SetParam& d) {
    static const std::map<QString, float> ratios = {{"", 0.0f}, {"T88-4", 7.636f}, {"T88-6", 12.0f}, {"T88-10", 18.36f}};
    return {ratios.at(model(d)), float(child<QSpinBox>(d, "can_id_spinBox")->value()),
            float(child<QSpinBox>(d, "current_loop_bandwidth_spinBox")->value()),
            float(child<QSpinBox>(d, "can_timeout_spinBox")->value()),
            float(child<QDoubleSpinBox>(d, "current_limit_doubleSpinBox")->value())};
}

// A report is truncated toward zero and kept to the form's limits (id 0..127,
// bandwidth 0..2000 Hz, timeout 0..255, limit up to 28 A); the limit label shows
// the reported limit. A report of NaN changes no value and warns.
TEST(SetParam, ReportsAreTruncatedAndKeptToTheLimits) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Row {
        FirmwareState reported;
        Form shown;
        QString limit_label;
    } rows[] = {
        {{12, 3.99f, 1000.7f, 37.9f, 20.0f}, {12, 3, 1000, 37, 20}, "20 A"},
        {{12, 200, 2500, 300, 30.0f}, {12, 127, 2000, 255, 28}, "30 A"},
        {{12, -5, -0.5f, -1, 12.5f}, {12, 0, 0, 0, 12.5f}, "12.5 A"},
        {{12, inf, -inf, 1e30f, 0.0f}, {12, 127, 0, 255, 0}, "0 A"},
        {{kNan, kNan, kNan, kNan, kNan}, {0, 5, 400, 10, 15.5f}, "15.5 A"},
    };
    for (const Row& row : rows) {
        SetParam dialog;
        dialog.motor_firm_state_slot(FirmwareState{12, 5, 400, 10, 15.5f});
        ConsoleCapture out;
        dialog.motor_firm_state_slot(row.reported);
        EXPECT_EQ(form_of(dialog), row.shown) << row.reported.can_id;
        EXPECT_EQ(child<QLabel>(dialog, "current_limit_label")->text(), row.limit_label);
        EXPECT_EQ(out.lines_starting("[WARN] ").empty(), !std::isnan(row.reported.can_id)) << out.text();
    }
}

// Without a report of this link's driver nothing is sent, whatever the form holds;
// a report written back sends its truncated values; each press of a showing sends once.
// After the report, a closed link refuses both buttons with a message; the dialog
// stays with the form.
TEST(SetParam, WrittenFormFollowsTheReportAndTheModel) {
    struct Row {
        const char* model;  // nullptr: as reported (or the default form)
        bool reported;
        Form sent;
        bool opened = false;  // a link opened after the report
        bool closed = false;  // the link closes after the report
        const char* said = nullptr;
    } rows[] = {
        {nullptr, false, {}},  // no model: refused
        {nullptr, true, {12, 5, 1000, 37, 12.5f}},
        {"T88-4", true, {7.636f, 5, 1000, 37, 12.5f}},
        {"T88-6", false, {}},
        {"T88-10", false, {}},
        {"T88-6", true, {}, true},
        {"T88-6", true, {}, false, true, "没有打开的连接，无法应用或写入参数。请先打开串口或CAN。"},
    };
    for (const Row& row : rows) {
        SetParam dialog;
        std::vector<Form> sent;
        int flashes = 0;
        QObject::connect(&dialog, &SetParam::set_firmware_param_signal, [&](FirmwareParams p) {
            sent.push_back({p.gear_ratio, p.can_id, p.current_bandwidth, p.can_timeout, p.current_limit});
        });
        QObject::connect(&dialog, &SetParam::flash_firmware_param_signal, [&] { ++flashes; });
        if (row.reported) dialog.motor_firm_state_slot(FirmwareState{12.011f, 5, 1000, 37.9f, 12.5f});
        if (row.opened) {
            dialog.link_state_changed_slot(true);
            EXPECT_EQ(form_of(dialog), (Form{0, 1, 300, 0, 20}));  // the last driver's values are gone
        }
        if (row.model) child<QComboBox>(dialog, "motor_type_box")->setCurrentText(row.model);
        if (row.closed) dialog.link_state_changed_slot(false);
        for (const char* button : {"write_pushButton", "flash_pushButton"}) {
            dialog.show();
            QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
        }
        const bool refused = row.sent == Form{};
        EXPECT_EQ(sent, std::vector<Form>(refused ? 0 : 2, row.sent)) << (row.model ? row.model : "-");
        EXPECT_EQ(flashes, refused ? 0 : 1);
        if (!row.said) continue;
        QMessageBox* box = dialog.findChild<QMessageBox*>();
        EXPECT_EQ(box ? box->text().toStdString() : "", row.said);
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(form_of(dialog), (Form{12, 5, 1000, 37, 12.5f}));
    }
}

// Closing only hides: the next showing keeps what was reported.
TEST(SetParam, ClosingKeepsTheForm) {
    SetParam dialog;
    dialog.show();
    dialog.motor_firm_state_slot(FirmwareState{7.636f, 4, 300, 0, 20});
    EXPECT_TRUE(dialog.close());
    EXPECT_FALSE(dialog.isVisible());
    dialog.show();
    EXPECT_EQ(form_of(dialog), (Form{7.636f, 4, 300, 0, 20}));
}

// The English texts an operator reads; the voltage and current thresholds are fixed.
TEST(SetParam, EnglishTexts) {
    hv_init_resources();
    QTranslator translator;
    ASSERT_TRUE(translator.load(QStringLiteral(":/Translate_EN.qm")));
    qApp->installTranslator(&translator);
    {
        SetParam dialog;
        auto* tabs = child<QTabWidget>(dialog, "tabWidget");
        const QStringList texts = {dialog.windowTitle(),
                                   tabs->tabText(0),
                                   tabs->tabText(1),
                                   child<QPushButton>(dialog, "write_pushButton")->text(),
                                   child<QPushButton>(dialog, "flash_pushButton")->text(),
                                   child<QLabel>(dialog, "label_18")->text(),
                                   child<QLabel>(dialog, "over_voltage_label")->text(),
                                   child<QLabel>(dialog, "under_voltage_label")->text(),
                                   child<QLabel>(dialog, "current_limit_label")->text()};
        EXPECT_EQ(texts, (QStringList{"Settings", "Motor", "Protection", "Save as Temporary Settings", "Write",
                                      "Can_Timeout", "36 V", "18.0 V", "28.0 A"}));
    }
    qApp->removeTranslator(&translator);
}

}  // namespace

namespace {

// With no model in the box (the reported ratio matches none, or is no number),
// both buttons are refused with a message naming the ratio; nothing is
// sent and the dialog stays open. A chosen model goes through.
TEST(SetParam, NoModelRefusesWriteAndFlash) {
    const std::pair<float, const char*> reports[] = {{7.65f, "7.65"}, {8.0f, "8"}, {kNan, nullptr}};
    for (const char* button : {"write_pushButton", "flash_pushButton"}) {
        for (const auto& [ratio, shown] : reports) {
            SetParam dialog;
            int sent = 0;
            QObject::connect(&dialog, &SetParam::set_firmware_param_signal, [&](FirmwareParams) { ++sent; });
            QObject::connect(&dialog, &SetParam::flash_firmware_param_signal, [&] { ++sent; });
            dialog.motor_firm_state_slot(FirmwareState{ratio, 1, 300, 0, 20});
            dialog.show();
            QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
            EXPECT_EQ(sent, 0) << button << " " << ratio;
            EXPECT_TRUE(dialog.isVisible());
            QMessageBox* box = dialog.findChild<QMessageBox*>();
            ASSERT_TRUE(box && box->isVisible()) << button << " " << ratio;
            if (shown) EXPECT_TRUE(box->text().contains(QString::fromLatin1(shown))) << box->text().toStdString();
            box->close();

            // The operator picks the model: the write goes out with its ratio.
            std::vector<float> ratios;
            QObject::connect(&dialog, &SetParam::set_firmware_param_signal,
                             [&](FirmwareParams p) { ratios.push_back(p.gear_ratio); });
            child<QComboBox>(dialog, "motor_type_box")->setCurrentText(QStringLiteral("T88-4"));
            QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
            EXPECT_EQ(ratios, std::vector<float>{7.636f}) << button;
            EXPECT_FALSE(dialog.isVisible());
        }
    }
}

}  // namespace

namespace {

// A reported value outside its box (or no number) is shown clamped or not at all,
// so both buttons are refused with a message naming the field, the value and the
// range, until the operator enters a value in that field; another field does not do.
TEST(SetParam, ReportedValueOutsideItsBoxIsRefusedUntilEntered) {
    hv_init_resources();
    QTranslator translator;
    ASSERT_TRUE(translator.load(QStringLiteral(":/Translate_EN.qm")));
    struct Row {
        bool english;
        FirmwareState reported;
        const char *field, *typed;   // entered in the field
        const char *other, *shown;  // another field and the value it shows, entered again
        QString message;
        Form sent;
    } rows[] = {
        {true, {12, 200, 1000, 0, 10}, "can_id_spinBox", "127", "current_limit_doubleSpinBox", "10",
         "Motor ID: the driver reported 200, outside the range 0 to 127. Enter a value within the range in this field.",
         {12, 127, 1000, 0, 10}},
        {true, {12, 1, 5000, 0, 10}, "current_loop_bandwidth_spinBox", "1500", "can_id_spinBox", "1",
         "Current Loop Bandwidth: the driver reported 5000 Hz, outside the range 0 to 2000 Hz.", {12, 1, 1500, 0, 10}},
        {true, {12, 1, 1000, 300, 10}, "can_timeout_spinBox", "100", "can_id_spinBox", "1",
         "Can_Timeout: the driver reported 300, outside the range 0 to 255.", {12, 1, 1000, 100, 10}},
        {false, {12, 1, 1000, 0, 40}, "current_limit_doubleSpinBox", "27.5", "can_id_spinBox", "1",
         QString::fromUtf8("电流限制：驱动器报告的值 40 A 超出范围 0 到 28 A，请在此栏输入范围内的值。"), {12, 1, 1000, 0, 27.5f}},
        {true, {12, kNan, 1000, 0, 10}, "can_id_spinBox", "3", "can_timeout_spinBox", "0",
         "Motor ID: the driver reported nan, outside the range 0 to 127.", {12, 3, 1000, 0, 10}},
        // The very value the box shows, typed over it: no value changes, yet it is the operator's.
        {true, {12, -5, 1000, 0, 10}, "can_id_spinBox", "0", "can_timeout_spinBox", "0",
         "Motor ID: the driver reported -5, outside the range 0 to 127.", {12, 0, 1000, 0, 10}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.field);
        if (row.english) qApp->installTranslator(&translator);
        SetParam dialog;
        std::vector<Form> sent;
        QObject::connect(&dialog, &SetParam::set_firmware_param_signal, [&](FirmwareParams p) {
            sent.push_back({p.gear_ratio, p.can_id, p.current_bandwidth, p.can_timeout, p.current_limit});
        });
        dialog.motor_firm_state_slot(row.reported);
        dialog.show();
        auto enter = [&](const char* name, const char* text) {
            auto* box = child<QAbstractSpinBox>(dialog, name);
            box->selectAll();
            QTest::keyClicks(box, QString::fromLatin1(text));
        };
        for (const char* step : {"refused", "other field entered"}) {
            QTest::mouseClick(child<QPushButton>(dialog, "write_pushButton"), Qt::LeftButton);
            QMessageBox* box = dialog.findChild<QMessageBox*>();
            ASSERT_TRUE(box && box->isVisible()) << step;
            EXPECT_TRUE(box->text().startsWith(row.message)) << box->text().toStdString();
            EXPECT_TRUE(sent.empty()) << step;
            delete box;
            enter(row.other, row.shown);
        }
        enter(row.field, row.typed);
        QTest::mouseClick(child<QPushButton>(dialog, "write_pushButton"), Qt::LeftButton);
        EXPECT_EQ(sent, std::vector<Form>{row.sent});
        qApp->removeTranslator(&translator);
    }
}

// Each number box takes only a number within its range (whole numbers, two decimals
// for the limit). Another entry stays as typed when the button takes the focus, both
// buttons are refused with a message naming the box and its range, and nothing is
// sent; a number the box takes is then sent as typed.
TEST(SetParam, BoxesSendOnlyTheNumberTyped) {
    const QString whole = QString::fromUtf8("%1 只能填写 %2 到 %3 之间的整数，“%4”无效。");
    const QString limit = QString::fromUtf8("电流限制 只能填写 0.00 A 到 28.00 A 之间、最多 2 位小数的数字，“%1”无效。");
    struct Row {
        int field;  // in the form: 1 id, 2 bandwidth, 3 timeout, 4 limit
        const char* typed;
        QString refusal;
        const char* taken;  // typed next
        float sent;
    } rows[] = {
        {1, "150", whole.arg(QString::fromUtf8("关节ID"), "0", "127", "150"), "127", 127},
        {1, "1,5", whole.arg(QString::fromUtf8("关节ID"), "0", "127", "1,5"), "15", 15},
        {2, "1,500", whole.arg(QString::fromUtf8("电流环带宽"), "0 Hz", "2000 Hz", "1,500"), "2000", 2000},
        {2, "1e3", whole.arg(QString::fromUtf8("电流环带宽"), "0 Hz", "2000 Hz", "1e3"), "1000", 1000},
        {3, "300", whole.arg("Can_Timeout", "0", "255", "300"), "255", 255},
        {4, "0.005", limit.arg("0.005"), "0.25", 0.25f},
        {4, "28.5", limit.arg("28.5"), "28", 28},
    };
    const char* const boxes[] = {nullptr, "can_id_spinBox", "current_loop_bandwidth_spinBox", "can_timeout_spinBox",
                                 "current_limit_doubleSpinBox"};
    for (const Row& row : rows) {
        for (const char* button : {"write_pushButton", "flash_pushButton"}) {
            SCOPED_TRACE(std::string(row.typed) + " " + button);
            SetParam dialog;
            std::vector<Form> sent;
            QObject::connect(&dialog, &SetParam::set_firmware_param_signal, [&](FirmwareParams p) {
                sent.push_back({p.gear_ratio, p.can_id, p.current_bandwidth, p.can_timeout, p.current_limit});
            });
            dialog.motor_firm_state_slot(FirmwareState{12.0f, 1, 300, 0, 20});
            auto* box = child<QAbstractSpinBox>(dialog, boxes[row.field]);
            ASSERT_TRUE(type_entry(box, QString::fromUtf8(row.typed)));
            QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
            QMessageBox* message = dialog.findChild<QMessageBox*>();
            EXPECT_EQ(message ? message->text() : QString(), row.refusal);
            EXPECT_TRUE(box->text().startsWith(QString::fromUtf8(row.typed))) << box->text().toStdString();
            EXPECT_TRUE(sent.empty());
            if (message) message->close();

            sent.clear();
            dialog.show();
            ASSERT_TRUE(type_entry(box, QString::fromUtf8(row.taken)));
            QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
            Form expected{12, 1, 300, 0, 20};
            expected[row.field] = row.sent;
            EXPECT_EQ(sent, std::vector<Form>{expected});
        }
    }
}

}  // namespace
