// The serial device dialog with its real form, offscreen.
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <tuple>

#include "console_capture.h"
#include "qt_serial.h"
#include "set_serial.h"

namespace {

TEST(SetSerial, PortListOpenCloseSignalAndButtonLabels) {
    ConsoleCapture quiet;
    SetSerial dialog(std::make_shared<QtSerial>(), "en");
    auto* combo = dialog.findChild<QComboBox*>("device_select_comboBox");
    auto* button = dialog.findChild<QPushButton*>("serial_open_close_pushButton");
    ASSERT_TRUE(combo && button);
    std::vector<QString> asked;
    QObject::connect(&dialog, &SetSerial::device_open_close_signal, [&](QString name) { asked.push_back(name); });
    QTest::mouseClick(button, Qt::LeftButton);  // no port: an empty name
    std::vector<std::string> three{"ttyUSB0", "ttyACM1", "ttyS\xc3\xa9"};
    dialog.device_number_changed_slot(three);
    combo->setCurrentIndex(2);
    QTest::mouseClick(button, Qt::LeftButton);
    std::vector<std::string> two{"ttyACM1", "ttyUSB3"};  // a refill chooses the first port again
    dialog.device_number_changed_slot(two);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(asked, (std::vector<QString>{"", QString::fromUtf8("ttyS\xc3\xa9"), "ttyACM1"}));
    EXPECT_EQ(combo->count(), 2);

    for (const auto& [lan, open, closed] : {std::make_tuple("zh", "关闭设备", "开启设备"),
                                            std::make_tuple("fr", "Close", "Open")}) {
        SetSerial d(std::make_shared<QtSerial>(), lan);
        auto* b = d.findChild<QPushButton*>("serial_open_close_pushButton");
        d.device_state_changed_slot(true);
        EXPECT_EQ(b->text(), QString::fromUtf8(open)) << lan;
        d.device_state_changed_slot(false);
        EXPECT_EQ(b->text(), QString::fromUtf8(closed)) << lan;
    }
}

}  // namespace
