// The CAN device dialog with its real form, offscreen.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "console_capture.h"
#include "set_can.h"

namespace {

class IdleCanLink : public CanInterface {
public:
    void scan_devices(std::vector<std::string>&) override {}
    int open(const std::string&) override { return 1; }
    int close() override { return 0; }
    bool is_open() override { return false; }
    int send(CanFrame&) override { return -1; }
    int receive(CanFrame&) override { return 0; }
};

struct BoxSeen {
    bool shown = false;
    QString title;
    QString text;
    bool on_top = false;
    bool stop = false;  // the caller is done; stop looking
};

// Answers the next modal message box (polling until it appears) and reports what it showed.
void answer_next_box(std::shared_ptr<BoxSeen> seen) {
    QTimer::singleShot(10, [seen] {
        if (seen->stop) return;
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return answer_next_box(seen);
        seen->shown = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->on_top = box->windowFlags() & Qt::WindowStaysOnTopHint;
        box->done(QMessageBox::Ok);
    });
}

class SetCanTest : public ::testing::Test {
protected:
    void make(const std::string& lan) {
        dialog.reset();
        dialog = std::make_unique<SetCan>(std::make_shared<IdleCanLink>(), lan);
        QObject::connect(dialog.get(), &SetCan::set_can_id_signal, dialog.get(),
                         [this](uint8_t id) { events.push_back("id " + std::to_string(id)); });
        QObject::connect(dialog.get(), &SetCan::device_open_close_signal, dialog.get(),
                         [this](QString name) { events.push_back("open_close '" + name.toStdString() + "'"); });
        edit = dialog->findChild<QLineEdit*>("can_id_lineEdit");
        button = dialog->findChild<QPushButton*>("open_close_pushButton");
        combo = dialog->findChild<QComboBox*>("device_select_comboBox");
        ASSERT_TRUE(edit && button && combo);
        dialog->show();
    }
    // Types `id` as a user would (through the validator) and presses the open button.
    std::shared_ptr<BoxSeen> press_with(const QString& id) {
        edit->clear();
        QTest::keyClicks(edit, id);
        auto seen = std::make_shared<BoxSeen>();
        answer_next_box(seen);
        button->click();  // returns once a box shown meanwhile is answered
        seen->stop = true;
        return seen;
    }
    void TearDown() override { dialog.reset(); }

    ConsoleCapture console;
    std::unique_ptr<SetCan> dialog;
    QLineEdit* edit = nullptr;
    QPushButton* button = nullptr;
    QComboBox* combo = nullptr;
    std::vector<std::string> events;
};

// An empty id (letters never pass the validator) and ids outside 0..15, which
// would land in the command bits of the identifier, get a tip and no request.
TEST_F(SetCanTest, MissingOrOutOfRangeIdShowsTipAndEmitsNothing) {
    make("zh");
    for (const QString id : {"", "abc"}) {
        auto seen = press_with(id);
        EXPECT_TRUE(seen->shown) << id.toStdString();
        EXPECT_EQ(seen->title, QStringLiteral("提示"));
        EXPECT_EQ(seen->text, QStringLiteral("关节id未输入"));
        EXPECT_TRUE(seen->on_top);
    }
    make("en");
    EXPECT_EQ(press_with("")->text, QStringLiteral("No motor id input"));
    for (const QString id : {"16", "300", "-3", "-"}) {
        auto seen = press_with(id);
        EXPECT_TRUE(seen->shown) << id.toStdString();
        EXPECT_EQ(seen->title, QStringLiteral("Tip"));
        EXPECT_FALSE(seen->text.isEmpty());
    }
    EXPECT_TRUE(events.empty());
}

TEST_F(SetCanTest, ValidIdEmitsIdThenDeviceName) {
    make("zh");
    std::vector<std::string> names = {"0", "1"};
    dialog->device_number_changed_slot(names);
    EXPECT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->currentText(), QStringLiteral("0"));
    for (const QString id : {"0", "15", "7"}) {
        console.clear();
        events.clear();
        EXPECT_FALSE(press_with(id)->shown);
        EXPECT_EQ(events, (std::vector<std::string>{"id " + id.toStdString(), "open_close '0'"}));
        EXPECT_EQ(console.lines(), std::vector<std::string>{"[INFO] can_id_: " + id.toStdString()});
    }
    EXPECT_TRUE(dialog->isVisible());  // stays open after a request
    // A new list replaces the old one; an empty list still sends the request.
    std::vector<std::string> none;
    dialog->device_number_changed_slot(none);
    EXPECT_EQ(combo->count(), 0);
    events.clear();
    press_with("3");
    EXPECT_EQ(events, (std::vector<std::string>{"id 3", "open_close ''"}));
}

TEST_F(SetCanTest, ButtonTextFollowsLinkStateInBothLanguages) {
    for (const auto& [lan, open, closed] : {std::make_tuple("zh", "关闭设备", "打开设备"),
                                            std::make_tuple("en", "Close", "Open")}) {
        make(lan);
        dialog->device_state_changed_slot(true);
        EXPECT_EQ(button->text(), QString::fromUtf8(open));
        dialog->device_state_changed_slot(false);
        EXPECT_EQ(button->text(), QString::fromUtf8(closed));
    }
}

TEST_F(SetCanTest, WindowCancelAndDestruction) {
    make("zh");
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("打开CAN"));
    EXPECT_FALSE(dialog->testAttribute(Qt::WA_QuitOnClose));
    EXPECT_FALSE(dialog->windowFlags() &
                 (Qt::WindowContextHelpButtonHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    QTest::mouseClick(dialog->findChild<QPushButton*>("cancle_pushButton"), Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
    console.clear();
    dialog.reset();
    EXPECT_EQ(console.lines(), std::vector<std::string>{"[INFO] Dectruct SetCan"});
}

}  // namespace
