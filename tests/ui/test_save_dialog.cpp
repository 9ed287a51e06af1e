// Save dialog driven through its real widgets and the real folder chooser.
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <QtTest>
#include <functional>
#include <memory>

#include "resources_init.h"
#include "save.h"
#include "widget_child.h"

namespace {

QFileDialog* visible_file_dialog() {
    if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) return dialog;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QFileDialog*>(w); dialog && dialog->isVisible()) return dialog;
    }
    return nullptr;
}

// Runs `action` on the next folder chooser that opens. The chooser blocks in its
// own event loop, so the action is polled for from a timer.
class ChooserDriver {
public:
    explicit ChooserDriver(std::function<void(QFileDialog*)> action) : action_(std::move(action)) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this]() {
            QFileDialog* dialog = visible_file_dialog();
            if (!dialog) {
                // Never leave a test stuck in a nested loop.
                if (++ticks_ > 2000) timer_.stop();
                return;
            }
            timer_.stop();
            ran_ = true;
            action_(dialog);
        });
        timer_.start();
    }
    bool ran() const { return ran_; }

private:
    std::function<void(QFileDialog*)> action_;
    QTimer timer_;
    int ticks_ = 0;
    bool ran_ = false;
};

void choose(QFileDialog* dialog, const QString& folder) {
    dialog->setDirectory(folder);
    QMetaObject::invokeMethod(dialog, "accept");
}

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
        QCOMPARE(save.windowType(), Qt::Dialog);
        QVERIFY(!save.windowIcon().isNull());
        auto* folder = child<QPushButton>(save, "folder_pushButton");
        QVERIFY(folder->text().isEmpty());
        QVERIFY(!folder->icon().isNull());
        QVERIFY(child<QLineEdit>(save, "path_lineEdit")->text().isEmpty());
        QCOMPARE(child<QPushButton>(save, "comfirm_pushButton")->text(), QString::fromUtf8("确定"));
        QCOMPARE(child<QPushButton>(save, "cancel_pushButton")->text(), QString::fromUtf8("取消"));
    }

    void confirm_right_away_emits_empty_folder() {
        Save save;
        QSignalSpy spy(&save, &Save::selected_dir_signal);
        const int result = exec_with(save, [&]() {
            QTest::mouseClick(child<QPushButton>(save, "comfirm_pushButton"), Qt::LeftButton);
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), QString());
    }

    void chosen_folder_is_emitted_before_accept_and_kept() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
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
        std::unique_ptr<ChooserDriver> driver;
        QString shown_after_choice;
        const int result = exec_with(save, [&]() {
            driver = std::make_unique<ChooserDriver>([&](QFileDialog* dialog) {
                caption = dialog->windowTitle();
                chooser_parent = dialog->parentWidget();
                options = dialog->options();
                choose(dialog, folder.path());
            });
            QTest::mouseClick(child<QPushButton>(save, "folder_pushButton"), Qt::LeftButton);
            shown_after_choice = child<QLineEdit>(save, "path_lineEdit")->text();
            QTest::mouseClick(child<QPushButton>(save, "comfirm_pushButton"), Qt::LeftButton);
        });
        QCOMPARE(shown_after_choice, folder.path());
        QVERIFY(driver && driver->ran());
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(emissions, 1);
        QCOMPARE(received, folder.path());
        QVERIFY(!accepted_when_received);  // emitted before the dialog accepted
        QCOMPARE(caption, QString::fromUtf8("请选择保存csv文件的目录"));
        QCOMPARE(chooser_parent, static_cast<QWidget*>(&save));
        QVERIFY(options.testFlag(QFileDialog::ShowDirsOnly));
        QVERIFY(options.testFlag(QFileDialog::DontResolveSymlinks));

        // The next showing presents the same folder, and the chooser opens there.
        QString start_folder;
        received.clear();
        QString shown_again;
        QString shown_after_cancel = "unset";
        const int again = exec_with(save, [&]() {
            shown_again = child<QLineEdit>(save, "path_lineEdit")->text();
            driver = std::make_unique<ChooserDriver>([&](QFileDialog* dialog) {
                start_folder = dialog->directory().absolutePath();
                dialog->reject();
            });
            QTest::mouseClick(child<QPushButton>(save, "folder_pushButton"), Qt::LeftButton);
            shown_after_cancel = child<QLineEdit>(save, "path_lineEdit")->text();
            QTest::mouseClick(child<QPushButton>(save, "comfirm_pushButton"), Qt::LeftButton);
        });
        QCOMPARE(again, int(QDialog::Accepted));
        QCOMPARE(shown_again, folder.path());
        // A cancelled chooser clears the choice.
        QCOMPARE(shown_after_cancel, QString());
        QCOMPARE(start_folder, QDir(folder.path()).absolutePath());
        QCOMPARE(emissions, 2);
        QCOMPARE(received, QString());
    }

    void typed_path_is_ignored() {
        QTemporaryDir chosen;
        QVERIFY(chosen.isValid());
        Save save;
        QSignalSpy spy(&save, &Save::selected_dir_signal);
        std::unique_ptr<ChooserDriver> driver;
        exec_with(save, [&]() {
            driver = std::make_unique<ChooserDriver>([&](QFileDialog* dialog) { choose(dialog, chosen.path()); });
            QTest::mouseClick(child<QPushButton>(save, "folder_pushButton"), Qt::LeftButton);
            auto* path = child<QLineEdit>(save, "path_lineEdit");
            path->clear();
            QTest::keyClicks(path, "/somewhere/typed");
            QTest::mouseClick(child<QPushButton>(save, "comfirm_pushButton"), Qt::LeftButton);
        });
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), chosen.path());
    }

    void cancel_and_close_reject_silently() {
        Save save;
        QSignalSpy spy(&save, &Save::selected_dir_signal);
        int result = exec_with(save, [&]() {
            QTest::mouseClick(child<QPushButton>(save, "cancel_pushButton"), Qt::LeftButton);
        });
        QCOMPARE(result, int(QDialog::Rejected));
        result = exec_with(save, [&]() { save.close(); });
        QCOMPARE(result, int(QDialog::Rejected));
        QCOMPARE(spy.count(), 0);
        QVERIFY(!save.isVisible());
    }

    void english_texts_but_chinese_chooser_caption() {
        hv_init_resources();
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(":/Translate_EN.qm")));
        qApp->installTranslator(&translator);
        {
            Save save;
            QCOMPARE(save.windowTitle(), QString("Choose Path"));
            QCOMPARE(child<QLabel>(save, "label")->text(), QString("Please choose where to save data:"));
            QCOMPARE(child<QPushButton>(save, "comfirm_pushButton")->text(), QString("OK"));
            QCOMPARE(child<QPushButton>(save, "cancel_pushButton")->text(), QString("Cancel"));
            QString caption;
            ChooserDriver driver([&](QFileDialog* dialog) {
                caption = dialog->windowTitle();
                dialog->reject();
            });
            save.show();
            QTest::mouseClick(child<QPushButton>(save, "folder_pushButton"), Qt::LeftButton);
            QVERIFY(driver.ran());
            QCOMPARE(caption, QString::fromUtf8("请选择保存csv文件的目录"));
        }
        qApp->removeTranslator(&translator);
    }
};

QTEST_MAIN(TestSaveDialog)
#include "test_save_dialog.moc"
