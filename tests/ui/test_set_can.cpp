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

#include "set_can.h"

namespace {

// Ids outside 0..15 would land in the command bits of the identifier: a tip, no request.
TEST(SetCan, IdsAndAdapterNames) {
    struct Row {
        const char* lan;
        QString typed;
        QString tip;  // empty: no tip, the request goes out
    } rows[] = {
        {"zh", "abc", QStringLiteral("关节id未输入")}, {"en", "", "No motor id input"}, {"en", "16", "*"},
        {"en", "0", ""},                              {"en", "15", ""},                  {"zh", "7", ""},
    };
    for (const Row& row : rows) {
        SetCan dialog(nullptr, row.lan);  // it never uses the link itself
        std::vector<std::string> events;
        QObject::connect(&dialog, &SetCan::set_can_id_signal, &dialog,
                         [&](uint8_t id) { events.push_back("id " + std::to_string(id)); });
        QObject::connect(&dialog, &SetCan::device_open_close_signal, &dialog,
                         [&](QString name) { events.push_back("open " + name.toStdString()); });
        std::vector<std::string> names = {"0", "1"};
        dialog.device_number_changed_slot(names);
        dialog.show();
        QTest::keyClicks(dialog.findChild<QLineEdit*>("can_id_lineEdit"), row.typed);
        QString tip;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                tip = box->text();
                box->done(QMessageBox::Ok);
            }
        });
        timer.start(10);
        dialog.findChild<QPushButton*>("open_close_pushButton")->click();
        SCOPED_TRACE(row.typed.toStdString());
        const std::vector<std::string> requested = {"id " + row.typed.toStdString(), "open 0"};
        EXPECT_EQ(events, row.tip.isEmpty() ? requested : std::vector<std::string>{});
        EXPECT_TRUE(row.tip == "*" ? !tip.isEmpty() : tip == row.tip) << tip.toStdString();
    }
}

}  // namespace
