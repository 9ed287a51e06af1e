// Save dialog driven through its real widgets and the real folder chooser.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "save.h"
#include "widget_child.h"

namespace {

// Runs `action` on the next folder chooser, which blocks in its own event loop.
void on_next_chooser(std::function<void(QFileDialog*)> action, int tries = 2000) {
    QTimer::singleShot(5, [action, tries] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()))
            action(dialog);
        else if (tries > 0)
            on_next_chooser(action, tries - 1);
    });
}

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
    QStringList emitted;
    QObject::connect(&save, &Save::selected_dir_signal, [&](const QString& dir) { emitted << dir; });
    QStringList chooser_starts;
    QString shown;
    for (const auto& row : rows) {
        emitted.clear();
        QTimer::singleShot(0, &save, [&] {
            for (const QString& step : row.steps) {
                auto* path = child<QLineEdit>(save, "path_lineEdit");
                if (step.startsWith("choose ") || step == "cancel chooser") {
                    on_next_chooser([&](QFileDialog* chooser) {
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
                    QTest::mouseClick(child<QPushButton>(save, step == "confirm" ? "comfirm_pushButton"
                                                                                 : "cancel_pushButton"),
                                      Qt::LeftButton);
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

}  // namespace
