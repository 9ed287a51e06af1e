// Save dialog driven through its real widgets and the real folder chooser.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include "main_window_harness.h"
#include "save.h"
#include "widget_child.h"

// The folder comes only from the chooser, is handed on when confirmed and kept for
// the next showing; a cancelled chooser clears it.
TEST(SaveDialog, ChosenFolderIsHandedOnWhenConfirmed) {
    QTemporaryDir a, b;
    const struct {
        std::vector<QString> steps;  // "choose <dir>", "cancel chooser", "type <text>", "confirm", "cancel", "close"
        int result;
        QStringList emitted;
    } rows[] = {
        {{"confirm"}, QDialog::Accepted, {""}},
        {{"choose " + a.path(), "confirm"}, QDialog::Accepted, {a.path()}},
        {{"confirm"}, QDialog::Accepted, {a.path()}},
        {{"choose " + b.path(), "type /somewhere/typed", "confirm"}, QDialog::Accepted, {b.path()}},
        {{"cancel chooser", "confirm"}, QDialog::Accepted, {""}},
        {{"choose " + a.path(), "cancel"}, QDialog::Rejected, {}},
        {{"close"}, QDialog::Rejected, {}},
    };
    Save save;
    QStringList emitted, chooser_starts;
    QObject::connect(&save, &Save::selected_dir_signal, [&](const QString& dir) { emitted << dir; });
    QString shown;
    for (const auto& row : rows) {
        emitted.clear();
        QTimer::singleShot(0, &save, [&] {
            for (const QString& step : row.steps) {
                auto* path = child<QLineEdit>(save, "path_lineEdit");
                if (step.startsWith("choose ") || step == "cancel chooser") {
                    on_next_modal_of<QFileDialog>([&](QFileDialog* chooser) {
                        chooser_starts << chooser->directory().absolutePath();
                        if (step == "cancel chooser") return chooser->reject();
                        chooser->setDirectory(step.mid(7));
                        QMetaObject::invokeMethod(chooser, "accept");
                    });
                    QTest::mouseClick(child<QPushButton>(save, "folder_pushButton"), Qt::LeftButton);
                    shown = path->text();
                } else if (step.startsWith("type ")) {
                    path->clear();
                    QTest::keyClicks(path, step.mid(5));
                } else if (step == "close") {
                    save.close();
                } else {
                    const char* button = step == "confirm" ? "comfirm_pushButton" : "cancel_pushButton";
                    QTest::mouseClick(child<QPushButton>(save, button), Qt::LeftButton);
                }
            }
        });
        EXPECT_EQ(save.exec(), row.result) << row.steps.back().toStdString();
        EXPECT_EQ(emitted, row.emitted) << row.steps.front().toStdString();
    }
    EXPECT_EQ(shown, a.path());  // the choice is shown, and the chooser opens at the one before
    ASSERT_EQ(chooser_starts.size(), 4);
    EXPECT_EQ(chooser_starts.mid(1, 2), (QStringList{QDir(a.path()).absolutePath(), QDir(b.path()).absolutePath()}));
}
