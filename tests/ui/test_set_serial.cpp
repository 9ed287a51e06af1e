// The serial device dialog with its real form, offscreen.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>

#include "set_serial.h"

namespace {

struct Dialog {
    // The dialog only keeps the link; it never uses it itself.
    explicit Dialog(const std::string& lan) : dialog(nullptr, lan) {
        combo = dialog.findChild<QComboBox*>("device_select_comboBox");
        open_close = dialog.findChild<QPushButton*>("serial_open_close_pushButton");
        cancel = dialog.findChild<QPushButton*>("cancle_pushButton");
        QObject::connect(&dialog, &SetSerial::device_open_close_signal, &dialog,
                         [this](QString name) { emitted.push_back(name); });
    }
    SetSerial dialog;
    QComboBox* combo = nullptr;
    QPushButton* open_close = nullptr;
    QPushButton* cancel = nullptr;
    std::vector<QString> emitted;
};

TEST(SetSerial, TextsFlagsAndIcon) {
    Dialog d("zh");
    ASSERT_NE(d.combo, nullptr);
    ASSERT_NE(d.open_close, nullptr);
    ASSERT_NE(d.cancel, nullptr);
    EXPECT_EQ(d.dialog.windowTitle(), QString::fromUtf8("打开串口"));
    EXPECT_EQ(d.dialog.findChild<QLabel*>("label_2")->text(), QString::fromUtf8("串口号："));
    EXPECT_EQ(d.dialog.findChild<QLabel*>("label_3")->text(), QString::fromUtf8("波特率："));
    QLabel* baud = d.dialog.findChild<QLabel*>("label");
    ASSERT_NE(baud, nullptr);
    EXPECT_EQ(baud->text(), "256000");
    EXPECT_EQ(d.open_close->text(), QString::fromUtf8("打开设备"));
    EXPECT_EQ(d.cancel->text(), QString::fromUtf8("取消"));
    EXPECT_EQ(d.combo->count(), 0);

    const Qt::WindowFlags flags = d.dialog.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(flags & Qt::WindowContextHelpButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(d.dialog.isWindow());
    EXPECT_FALSE(d.dialog.testAttribute(Qt::WA_QuitOnClose));
    // The tests run where "../icon/icon.png" exists.
    ASSERT_TRUE(QFile::exists("../icon/icon.png"));
    EXPECT_FALSE(d.dialog.windowIcon().pixmap(32, 32).isNull());
}

TEST(SetSerial, NoIconWithoutTheIconFile) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    ASSERT_TRUE(QDir(tmp.path()).mkdir("run"));
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tmp.path() + "/run"));
    {
        Dialog d("en");
        EXPECT_TRUE(d.dialog.windowIcon().pixmap(32, 32).isNull());
    }
    QDir::setCurrent(previous);
}

TEST(SetSerial, PortListAndTheOpenCloseSignal) {
    Dialog d("en");
    QTest::mouseClick(d.open_close, Qt::LeftButton);
    ASSERT_EQ(d.emitted.size(), 1u);
    EXPECT_EQ(d.emitted[0], "");  // no port: empty name

    std::vector<std::string> three{"ttyUSB0", "ttyACM1", "ttyS\xc3\xa9"};
    d.dialog.device_number_changed_slot(three);
    ASSERT_EQ(d.combo->count(), 3);
    EXPECT_EQ(d.combo->itemText(2), QString::fromUtf8("ttyS\xc3\xa9"));
    EXPECT_EQ(d.combo->currentText(), "ttyUSB0");
    d.combo->setCurrentIndex(1);
    QTest::mouseClick(d.open_close, Qt::LeftButton);
    EXPECT_EQ(d.emitted.back(), "ttyACM1");

    // A refill resets the choice to the first port.
    std::vector<std::string> two{"ttyACM1", "ttyUSB3"};
    d.dialog.device_number_changed_slot(two);
    EXPECT_EQ(d.combo->count(), 2);
    EXPECT_EQ(d.combo->currentIndex(), 0);
    QTest::mouseClick(d.open_close, Qt::LeftButton);
    EXPECT_EQ(d.emitted.back(), "ttyACM1");
    EXPECT_EQ(d.emitted.size(), 3u);
}

TEST(SetSerial, ButtonLabelFollowsTheLinkStateInBothLanguages) {
    Dialog zh("zh");
    zh.dialog.device_state_changed_slot(true);
    EXPECT_EQ(zh.open_close->text(), QString::fromUtf8("关闭设备"));
    zh.dialog.device_state_changed_slot(false);
    EXPECT_EQ(zh.open_close->text(), QString::fromUtf8("开启设备"));
    Dialog en("en");
    en.dialog.device_state_changed_slot(true);
    EXPECT_EQ(en.open_close->text(), "Close");
    en.dialog.device_state_changed_slot(false);
    EXPECT_EQ(en.open_close->text(), "Open");
    Dialog other("fr");
    other.dialog.device_state_changed_slot(true);
    EXPECT_EQ(other.open_close->text(), "Close");
}

TEST(SetSerial, CancelHidesWithoutQuittingAndEndsExec) {
    Dialog d("en");
    QSignalSpy last_closed(qApp, &QGuiApplication::lastWindowClosed);
    d.dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d.dialog));
    QTest::mouseClick(d.cancel, Qt::LeftButton);
    EXPECT_FALSE(d.dialog.isVisible());
    QTest::qWait(20);
    EXPECT_EQ(last_closed.count(), 0);
    EXPECT_TRUE(d.emitted.empty());

    // A modal run returns when cancel is pressed; the dialog can be shown again.
    QTimer::singleShot(50, d.cancel, [&] { QTest::mouseClick(d.cancel, Qt::LeftButton); });
    d.dialog.setWindowModality(Qt::ApplicationModal);
    d.dialog.exec();
    EXPECT_FALSE(d.dialog.isVisible());
    d.dialog.show();
    EXPECT_TRUE(d.dialog.isVisible());
    d.dialog.close();
}

}  // namespace
