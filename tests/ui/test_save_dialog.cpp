// Save dialog driven through its real widgets and the real folder chooser.
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "console_capture.h"
#include "save.h"
#include "widget_child.h"

namespace {

// Runs `action` on the next folder chooser. The chooser blocks in its own event
// loop, so a timer polls for it; it gives up after about 10 s.
void on_next_chooser(std::function<void(QFileDialog*)> action, int tries = 2000) {
    QTimer::singleShot(5, [action, tries] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()))
            action(dialog);
        else if (tries > 0)
            on_next_chooser(action, tries - 1);
    });
}

void choose(QFileDialog* dialog, const QString& folder) {
    dialog->setDirectory(folder);
    QMetaObject::invokeMethod(dialog, "accept");
}

void click(Save& save, const char* name) { QTest::mouseClick(child<QPushButton>(save, name), Qt::LeftButton); }

// Runs the dialog modally as the main window does, with `script` run inside exec.
int exec_with(Save& save, std::function<void()> script) {
    QTimer::singleShot(0, &save, std::move(script));
    return save.exec();
}

}  // namespace

class TestSaveDialog : public QObject {
    Q_OBJECT

private slots:
    void form_and_window() {
        Save save;
        QCOMPARE(save.windowTitle(), QString::fromUtf8("请选择保存路径"));
        QVERIFY(save.parentWidget() == nullptr);
        QVERIFY(!save.testAttribute(Qt::WA_QuitOnClose));
        QVERIFY(!save.windowIcon().isNull());
        QVERIFY(!child<QPushButton>(save, "folder_pushButton")->icon().isNull());
        QVERIFY(child<QLineEdit>(save, "path_lineEdit")->text().isEmpty());
    }

    void confirm_right_away_emits_empty_folder() {
        Save save;
        QSignalSpy spy(&save, &Save::selected_dir_signal);
        QCOMPARE(exec_with(save, [&]() { click(save, "comfirm_pushButton"); }), int(QDialog::Accepted));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), QString());
    }

    void chosen_folder_is_emitted_before_accept_and_kept() {
        QTemporaryDir folder;
        Save save;
        QString received;
        int emissions = 0;
        bool accepted_when_received = true;
        connect(&save, &Save::selected_dir_signal, [&](const QString& dir) {
            ++emissions;
            received = dir;
            accepted_when_received = save.result() == QDialog::Accepted;
        });

        QString caption;
        QWidget* chooser_parent = nullptr;
        QFileDialog::Options options;
        QString shown_after_choice;
        const int result = exec_with(save, [&]() {
            on_next_chooser([&](QFileDialog* dialog) {
                caption = dialog->windowTitle();
                chooser_parent = dialog->parentWidget();
                options = dialog->options();
                choose(dialog, folder.path());
            });
            click(save, "folder_pushButton");
            shown_after_choice = child<QLineEdit>(save, "path_lineEdit")->text();
            click(save, "comfirm_pushButton");
        });
        QCOMPARE(shown_after_choice, folder.path());
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(emissions, 1);
        QCOMPARE(received, folder.path());
        QVERIFY(!accepted_when_received);  // emitted before the dialog accepted
        QCOMPARE(caption, QString::fromUtf8("请选择保存csv文件的目录"));
        QCOMPARE(chooser_parent, static_cast<QWidget*>(&save));
        QVERIFY(options.testFlag(QFileDialog::ShowDirsOnly));
        QVERIFY(options.testFlag(QFileDialog::DontResolveSymlinks));

        // The next showing presents the same folder and the chooser opens there; a
        // cancelled chooser clears the choice.
        QString start_folder, shown_again, shown_after_cancel = "unset";
        received = "unset";
        exec_with(save, [&]() {
            shown_again = child<QLineEdit>(save, "path_lineEdit")->text();
            on_next_chooser([&](QFileDialog* dialog) {
                start_folder = dialog->directory().absolutePath();
                dialog->reject();
            });
            click(save, "folder_pushButton");
            shown_after_cancel = child<QLineEdit>(save, "path_lineEdit")->text();
            click(save, "comfirm_pushButton");
        });
        QCOMPARE(shown_again, folder.path());
        QCOMPARE(start_folder, QDir(folder.path()).absolutePath());
        QCOMPARE(shown_after_cancel, QString());
        QCOMPARE(emissions, 2);
        QCOMPARE(received, QString());
    }

    void typed_path_is_ignored() {
        QTemporaryDir chosen;
        Save save;
        QSignalSpy spy(&save, &Save::selected_dir_signal);
        exec_with(save, [&]() {
            on_next_chooser([&](QFileDialog* dialog) { choose(dialog, chosen.path()); });
            click(save, "folder_pushButton");
            auto* path = child<QLineEdit>(save, "path_lineEdit");
            path->clear();
            QTest::keyClicks(path, "/somewhere/typed");
            click(save, "comfirm_pushButton");
        });
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), chosen.path());
    }

    void cancel_and_close_reject_silently() {
        Save save;
        QSignalSpy spy(&save, &Save::selected_dir_signal);
        QCOMPARE(exec_with(save, [&]() { click(save, "cancel_pushButton"); }), int(QDialog::Rejected));
        QCOMPARE(exec_with(save, [&]() { save.close(); }), int(QDialog::Rejected));
        QCOMPARE(spy.count(), 0);
        QVERIFY(!save.isVisible());
    }

    void destructor_log_line() {
        ConsoleCapture out;
        { Save save; }
        QCOMPARE(out.text(), std::string("[INFO] Destruct Save\n"));
    }
};

QTEST_MAIN(TestSaveDialog)
#include "test_save_dialog.moc"
