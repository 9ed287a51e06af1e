// Parameter dialog driven through its real widgets.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <limits>
#include <string>
#include <vector>

#include "set_param.h"
#include "widget_child.h"

namespace {

const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// The form as id, bandwidth, timeout, limit, and the limit label.
std::pair<std::vector<double>, QString> form(SetParam& d) {
    return {{double(child<QSpinBox>(d, "can_id_spinBox")->value()),
             double(child<QSpinBox>(d, "current_loop_bandwidth_spinBox")->value()),
             double(child<QSpinBox>(d, "can_timeout_spinBox")->value()),
             child<QDoubleSpinBox>(d, "current_limit_doubleSpinBox")->value()},
            child<QLabel>(d, "current_limit_label")->text()};
}

QString model(SetParam& d) { return child<QComboBox>(d, "motor_type_box")->currentText(); }

// The last row of the model table and the strict relative tolerance of 0.001 of the reported ratio.
TEST(SetParam, ReportedGearRatioSelectsTheModel) {
    const std::pair<float, const char*> rows[] = {
        {7.636f, "T88-4"},   {12.0f, "T88-6"},     {18.36f, "T88-10"},  {7.6365f, "T88-4"}, {7.65f, ""},
        {18.378f, "T88-10"}, {18.4f, ""},          {12.01201f, "T88-6"}, {12.0121f, ""},    {11.9881f, "T88-6"},
        {11.988f, ""},       {0.0f, ""},           {-7.636f, ""},        {kNan, ""},        {kInf, ""},
    };
    for (const auto& row : rows) {
        SetParam dialog;
        // Start from another model so a miss visibly falls back to the empty item.
        dialog.motor_firm_state_slot(FirmwareState{std::string(row.second) == "T88-10" ? 7.636f : 18.36f, 1, 1, 1, 1});
        dialog.motor_firm_state_slot(FirmwareState{row.first, 1, 300, 0, 20});
        EXPECT_EQ(model(dialog).toStdString(), row.second) << row.first;
    }
}

// Reports are truncated toward zero and clamped to the boxes; NaN leaves a box as it was.
TEST(SetParam, ReportsAreTruncatedAndClamped) {
    const struct {
        FirmwareState state;
        std::vector<double> form;
        const char* label;
    } rows[] = {
        {{12.011f, 3.99f, 1000.7f, 37.9f, 12.5f}, {3, 1000, 37, 12.5}, "12.5 A"},
        {{12, 127, 2000, 255, 28}, {127, 2000, 255, 28}, "28 A"},
        {{12, 200, 2500, 300, 30.0f}, {127, 2000, 255, 28}, "30 A"},
        {{12, -5, -0.5f, -1, 12.5f}, {0, 0, 0, 12.5}, "12.5 A"},
        {{12, kInf, -kInf, 1e30f, 0.0f}, {127, 0, 255, 0}, "0 A"},
        {{kNan, kNan, kNan, kNan, kNan}, {127, 0, 255, 0}, "0 A"},
    };
    SetParam dialog;
    for (const auto& row : rows) {
        dialog.motor_firm_state_slot(row.state);
        EXPECT_EQ(form(dialog), std::make_pair(row.form, QString(row.label))) << row.label;
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
        QObject::connect(&dialog, &SetParam::flash_firmware_param_signal, [&] { sent.push_back({}); });
        dialog.motor_firm_state_slot(FirmwareState{18.36f, 9, 1500, 200, 20});
        auto* limit = child<QDoubleSpinBox>(dialog, "current_limit_doubleSpinBox");
        dialog.show();
        limit->selectAll();
        QTest::keyClicks(limit, "12,3");
        QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
        std::vector<std::vector<float>> expected{{18.36f, 9, 1500, 200, 12.3f}};
        if (std::string(button) == "flash_pushButton") expected.push_back({});
        EXPECT_EQ(sent, expected) << button;
        EXPECT_FALSE(dialog.isVisible());
    }
    QLocale::setDefault(QLocale::c());
}

}  // namespace
