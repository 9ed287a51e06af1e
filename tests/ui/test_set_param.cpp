// Parameter dialog driven through its real widgets.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <limits>
#include <string>
#include <vector>

#include "set_param.h"
#include "widget_child.h"

namespace {

const float kNan = std::numeric_limits<float>::quiet_NaN();

QString model(SetParam& d) { return child<QComboBox>(d, "motor_type_box")->currentText(); }

// The last row of the model table and the strict relative tolerance of 0.001 of the reported ratio.
TEST(SetParam, ReportedGearRatioSelectsTheModel) {
    const std::pair<float, const char*> rows[] = {
        {7.636f, "T88-4"}, {18.36f, "T88-10"}, {18.378f, "T88-10"}, {18.4f, ""},   {12.01201f, "T88-6"},
        {12.0121f, ""},    {11.9881f, "T88-6"}, {11.988f, ""},       {-7.636f, ""}, {kNan, ""},
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

namespace {

// With no model in the box (the reported ratio matches none, or nothing was
// reported), both buttons are refused with a message naming the ratio; nothing is
// sent and the dialog stays open. A chosen model goes through.
TEST(SetParam, NoModelRefusesWriteAndFlash) {
    const std::pair<float, const char*> reports[] = {{7.65f, "7.65"}, {8.0f, "8"}, {kNan, nullptr}};
    for (const char* button : {"write_pushButton", "flash_pushButton"}) {
        for (const auto& [ratio, shown] : reports) {
            SetParam dialog;
            int sent = 0;
            QObject::connect(&dialog, &SetParam::set_firmware_param_signal, [&](FirmwareParams) { ++sent; });
            QObject::connect(&dialog, &SetParam::flash_firmware_param_signal, [&] { ++sent; });
            if (shown) dialog.motor_firm_state_slot(FirmwareState{ratio, 1, 300, 0, 20});
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
