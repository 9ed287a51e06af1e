// The CAN device dialog with its real form, offscreen: what the operator types
// and what the dialog asks the link for.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "set_can.h"

namespace {

struct Tip {
    QString title, text;
    bool on_top = false;
};

// Presses the open/close button, answering a modal tip box if one comes up.
Tip press_open_close(SetCan& dialog) {
    Tip tip;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            tip = {box->windowTitle(), box->text(), bool(box->windowFlags() & Qt::WindowStaysOnTopHint)};
            box->done(QMessageBox::Ok);
        }
    });
    timer.start(10);
    dialog.findChild<QPushButton*>("open_close_pushButton")->click();
    return tip;
}

// Records the two requests in the order they are emitted.
void record(SetCan& dialog, std::vector<std::string>& events) {
    QObject::connect(&dialog, &SetCan::set_can_id_signal, &dialog,
                     [&](uint8_t id) { events.push_back("id " + std::to_string(id)); });
    QObject::connect(&dialog, &SetCan::device_open_close_signal, &dialog,
                     [&](QString name) { events.push_back("open " + name.toStdString()); });
}

// Ids outside 0..15 would land in the command bits of the identifier: a tip, no request.
TEST(SetCan, IdsAndAdapterNames) {
    struct Row {
        const char* lan;
        QString typed;
        QString tip;  // empty: no tip, the request goes out; "*": any refusal text
    } rows[] = {
        {"zh", "abc", QStringLiteral("关节id未输入")}, {"en", "", "No motor id input"}, {"en", "16", "*"},
        {"en", "0", ""},                              {"en", "15", ""},                  {"zh", "7", ""},
        {"en", "300", "*"},                           {"en", "-3", "*"},                 {"zh", "-", "*"},
        {"zh", "", QStringLiteral("关节id未输入")},
    };
    for (const Row& row : rows) {
        SetCan dialog(nullptr, row.lan);  // it never uses the link itself
        std::vector<std::string> events;
        record(dialog, events);
        std::vector<std::string> names = {"0", "1"};
        dialog.device_number_changed_slot(names);
        dialog.show();
        QTest::keyClicks(dialog.findChild<QLineEdit*>("can_id_lineEdit"), row.typed);
        const Tip tip = press_open_close(dialog);
        SCOPED_TRACE(row.typed.toStdString());
        const std::vector<std::string> requested = {"id " + row.typed.toStdString(), "open 0"};
        EXPECT_EQ(events, row.tip.isEmpty() ? requested : std::vector<std::string>{});
        EXPECT_TRUE(row.tip == "*" ? !tip.text.isEmpty() : tip.text == row.tip) << tip.text.toStdString();
        if (!row.tip.isEmpty()) {
            EXPECT_EQ(tip.title, std::string(row.lan) == "zh" ? QStringLiteral("提示") : QStringLiteral("Tip"));
            EXPECT_TRUE(tip.on_top);
        }
        EXPECT_TRUE(dialog.isVisible());  // a request leaves the dialog open
    }
}

// The adapter list follows the scanner (first name current; an empty list still
// sends the request, with an empty name); the button names what it will do next.
TEST(SetCan, ListsAndButtonLabels) {
    struct Row {
        const char* lan;
        bool open;
        QString label;
    } rows[] = {
        {"zh", true, QStringLiteral("关闭设备")}, {"zh", false, QStringLiteral("打开设备")},
        {"en", true, "Close"},                   {"en", false, "Open"},
    };
    for (const Row& row : rows) {
        SetCan dialog(nullptr, row.lan);
        dialog.device_state_changed_slot(row.open);
        auto* button = dialog.findChild<QPushButton*>("open_close_pushButton");
        EXPECT_EQ(button->text(), row.label) << row.lan << row.open;
    }

    SetCan dialog(nullptr, "en");
    std::vector<std::string> events;
    record(dialog, events);
    auto* combo = dialog.findChild<QComboBox*>("device_select_comboBox");
    std::vector<std::string> names = {"2", "5", "7"};
    dialog.device_number_changed_slot(names);
    EXPECT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->currentText(), "2");
    combo->setCurrentIndex(1);
    dialog.show();
    QTest::keyClicks(dialog.findChild<QLineEdit*>("can_id_lineEdit"), "3");
    press_open_close(dialog);
    std::vector<std::string> none;
    dialog.device_number_changed_slot(none);
    EXPECT_EQ(combo->count(), 0);
    press_open_close(dialog);
    EXPECT_EQ(events, (std::vector<std::string>{"id 3", "open 5", "id 3", "open "}));

    QTest::mouseClick(dialog.findChild<QPushButton*>("cancle_pushButton"), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(events.size(), 4u);
}

}  // namespace
