// The serial device dialog with its real form, offscreen.
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "console_capture.h"
#include "qt_serial.h"
#include "set_serial.h"

namespace {

TEST(SetSerial, PortListAndOpenCloseSignal) {
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
}

}  // namespace
