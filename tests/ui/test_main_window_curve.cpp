// The curve dialog over the CAN link (the gs_usb library down to the USB layer, an
// emulated adapter and the simulated driver on its bus) and its form.
#include <QDoubleSpinBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include "can_codec.h"
#include "main_window_harness.h"
#include "typed_entry.h"
#include "wait_until.h"

namespace {

class CanCurve : public CanWindowTest {
protected:
    void SetUp() override {
        CanWindowTest::SetUp();
        open();
    }
};

}  // namespace

// Over CAN the curve takes only what the motion frame carries (±40 for position,
// velocity and torque, Kd up to 51): beyond it, or with a number the box cannot
// take ("1e9", 150 above its maximum), or with the link closed, the start is
// refused with a message and nothing is sent, also once the link is open again.
// The English tab labels are whole at any size of the dialog.
TEST_F(CanCurve, CurveTakesOnlyWhatTheLinkCarries) {
    QWidget* curve = top_level_named("SetCurve");
    curve->show();
    auto* tabs = curve->findChild<QTabWidget*>("mode_tabWidget");
    ASSERT_TRUE(wait_until([&] { return tabs->tabBar()->isVisible(); }, 1000));
    // Fonts differ between systems: a wider one, and the smallest the dialog can be made.
    QFont wide = tabs->font();
    wide.setPointSize(wide.pointSize() * 3 / 2);
    tabs->setFont(wide);
    curve->resize(1, 1);
    QTest::qWait(20);
    for (int i = 0; i < tabs->count(); ++i) {
        const QRect tab = tabs->tabBar()->tabRect(i);
        EXPECT_TRUE(tabs->tabBar()->rect().contains(tab)) << tabs->tabText(i).toStdString();
        EXPECT_GT(tab.width(), tabs->tabBar()->fontMetrics().horizontalAdvance(tabs->tabText(i)));
    }

    struct Row {
        int tab;
        std::vector<std::pair<const char*, double>> values;
        const char* typed_amplitude;  // keys typed into the tab's amplitude box
        bool runs;
        const char* said = nullptr;  // the refusal of a typed entry or a closed link
        bool closed = false;         // the link is closed for the start
    } rows[] = {
        {0, {{"torque_A_doubleSpinBox", 45}, {"torque_f_doubleSpinBox", 1}}, nullptr, false},
        {1, {{"position_A_doubleSpinBox", 30}, {"position_C_doubleSpinBox", 20}, {"position_f_doubleSpinBox", 0.1}},
         nullptr, false},
        {1, {{"position_A_doubleSpinBox", 10}, {"position_f_doubleSpinBox", 1}}, nullptr, false},
        {1, {{"position_A_doubleSpinBox", 1}, {"position_f_doubleSpinBox", 0.1}, {"position_Kd_doubleSpinBox", 60}},
         nullptr, false},
        {0, {{"torque_f_doubleSpinBox", 1}}, "1e9", false,
         "A: Amplitude takes a number from 0.00 to 50.00 with at most 2 decimals, not \"1e9\"."},
        {1, {{"position_f_doubleSpinBox", 0.1}}, "150", false,  // above the box's 100
         "A: Amplitude takes a number from 0.00 to 100.00 with at most 2 decimals, not \"150\"."},
        {1, {{"position_f_doubleSpinBox", 0.1}}, "1,5", false,
         "A: Amplitude takes a number from 0.00 to 100.00 with at most 2 decimals, not \"1,5\"."},
        {0, {{"torque_f_doubleSpinBox", 1}}, "0.005", false,
         "A: Amplitude takes a number from 0.00 to 50.00 with at most 2 decimals, not \"0.005\"."},
        {1,
         {{"position_A_doubleSpinBox", 20}, {"position_C_doubleSpinBox", 15}, {"position_f_doubleSpinBox", 0.3},
          {"position_Kp_doubleSpinBox", 5}, {"position_Kd_doubleSpinBox", 51}},
         nullptr, true},
        {0, {{"torque_A_doubleSpinBox", 40}, {"torque_f_doubleSpinBox", 1}}, nullptr, true},
        {0, {{"torque_A_doubleSpinBox", 1}, {"torque_f_doubleSpinBox", 1}}, nullptr, false,
         "No link is open, so the curve cannot start. Open the serial port or CAN first.", true},
    };
    auto* start = curve->findChild<QPushButton*>("start_pushButton");
    for (size_t r = 0; r < std::size(rows); ++r) {
        const Row& row = rows[r];
        SCOPED_TRACE(r);
        for (QDoubleSpinBox* box : curve->findChildren<QDoubleSpinBox*>()) box->setValue(0);
        tabs->setCurrentIndex(row.tab);
        for (const auto& [name, value] : row.values) curve->findChild<QDoubleSpinBox*>(name)->setValue(value);
        auto* amplitude = curve->findChild<QDoubleSpinBox*>(row.tab ? "position_A_doubleSpinBox" : "torque_A_doubleSpinBox");
        if (row.typed_amplitude) ASSERT_TRUE(type_entry(amplitude, row.typed_amplitude));
        ASSERT_TRUE(!row.closed || h->can_link(false));
        peer->clear_requests();
        // The click takes the focus from the box.
        QTest::mouseClick(start, Qt::LeftButton);
        ASSERT_TRUE(!row.closed || h->can_link(true));
        // A running curve's first targets may be late on a busy machine; a refused one has 100 ms to show any.
        if (row.runs)
            wait_until([&] { return motion() > 0; }, 3000);
        else
            QTest::qWait(100);
        auto* box = curve->findChild<QMessageBox*>();
        EXPECT_EQ(box && box->isVisible(), !row.runs);
        if (row.said) {
            EXPECT_EQ(box ? box->text() : QString(), QString::fromUtf8(row.said));
        }
        if (row.typed_amplitude) {
            EXPECT_EQ(amplitude->text(), row.typed_amplitude);
        }
        if (box) box->close();
        EXPECT_EQ(motion() > 0, row.runs) << motion();
        EXPECT_EQ(start->isEnabled(), !row.runs);
        if (!start->isEnabled()) curve_stop();
    }
}
