// Embedded images, the compiled translation and the six forms in both languages.
#include <QAbstractButton>
#include <QAction>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QSpinBox>
#include <QTabWidget>
#include <QTranslator>
#include <QtTest>
#include <functional>
#include <memory>

#include "qcustomplot.h"
#include "resources_init.h"
#include "ui_mainwindow.h"
#include "ui_save.h"
#include "ui_setcan.h"
#include "ui_setcurve.h"
#include "ui_setparam.h"
#include "ui_setserial.h"

namespace {

bool has_cjk(const QString& text) {
    for (QChar c : text) {
        const ushort u = c.unicode();
        if ((u >= 0x3000 && u <= 0x9FFF) || (u >= 0xFF00 && u <= 0xFFEF)) return true;
    }
    return false;
}

// Every user-visible text of a built form, each with the object it belongs to.
QStringList visible_texts(QWidget* top) {
    QStringList texts;
    auto add = [&](const QObject* owner, const QString& text) {
        if (!text.isEmpty()) texts << owner->objectName() + "=" + text;
    };
    add(top, top->windowTitle());
    QList<QWidget*> widgets = top->findChildren<QWidget*>();
    widgets << top;
    for (QWidget* w : widgets) {
        add(w, w->toolTip());
        if (auto* label = qobject_cast<QLabel*>(w)) add(w, label->text());
        if (auto* button = qobject_cast<QAbstractButton*>(w)) add(w, button->text());
        if (auto* group = qobject_cast<QGroupBox*>(w)) add(w, group->title());
        if (auto* menu = qobject_cast<QMenu*>(w)) add(w, menu->title());
        if (auto* spin = qobject_cast<QSpinBox*>(w)) add(w, spin->suffix());
        if (auto* spin = qobject_cast<QDoubleSpinBox*>(w)) add(w, spin->suffix());
        if (auto* tabs = qobject_cast<QTabWidget*>(w)) {
            for (int i = 0; i < tabs->count(); ++i) add(tabs->widget(i), tabs->tabText(i));
        }
    }
    for (QAction* action : top->findChildren<QAction*>()) add(action, action->text());
    return texts;
}

template <typename Form, typename Window>
struct Built {
    Window window;
    Form form;
    Built() { form.setupUi(&window); }
};

}  // namespace

class TestUiResources : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        hv_init_resources();
        hv_init_resources();  // a second call is harmless
    }

    void images_are_embedded_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("minimum");
        QTest::newRow("icon") << ":/icon/icon.png" << QSize(64, 64);
        QTest::newRow("logo") << ":/icon/logo.png" << QSize(231, 130);
        QTest::newRow("tip") << ":/icon/tip.png" << QSize(29, 29);
        QTest::newRow("warning") << ":/icon/warning.png" << QSize(32, 32);
        QTest::newRow("folder") << ":/icon/folder.png" << QSize(32, 32);
        QTest::newRow("yes") << ":/icon/yes.jpeg" << QSize(32, 29);
        QTest::newRow("no") << ":/icon/no.jpeg" << QSize(32, 29);
    }

    void images_are_embedded() {
        QFETCH(QString, path);
        QFETCH(QSize, minimum);
        QImage image(path);
        QVERIFY2(!image.isNull(), qPrintable(path));
        QVERIFY(image.width() >= minimum.width() && image.height() >= minimum.height());
        // Drawn images, not blank canvases.
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 3)
            for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
        QVERIFY(colours.size() > 3);
    }

    void translation_per_context() {
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(":/Translate_EN.qm")));
        // The same Chinese text translates differently per form.
        QCOMPARE(translator.translate("MainWindow", "打开串口"), QString("TTL Srial"));
        QCOMPARE(translator.translate("SetSerial", "打开串口"), QString("Serial Port"));
        QCOMPARE(translator.translate("MainWindow", "打开CAN"), QString("CAN"));
        QCOMPARE(translator.translate("SetCan", "打开CAN"), QString("CAN"));
        QCOMPARE(translator.translate("SetParam", "关节ID"), QString("Motor ID"));
        QCOMPARE(translator.translate("SetCan", "关节ID："), QString("Motor ID:"));
        QCOMPARE(translator.translate("SetCurve", "停止"), QString("Stop"));
        QCOMPARE(translator.translate("Save", "确定"), QString("OK"));
        QVERIFY(translator.translate("Save", "请选择保存csv文件的目录").isEmpty());
    }

    void english_forms_show_no_chinese() {
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(":/Translate_EN.qm")));
        qApp->installTranslator(&translator);
        // The language menu reads the same in both languages.
        const QStringList fixed = {"设置/Settings", "语言/Language", "简体中文"};
        std::vector<std::function<QStringList()>> forms = {
            [] { Built<Ui::SetSerial, QDialog> b; return visible_texts(&b.window); },
            [] { Built<Ui::SetCan, QDialog> b; return visible_texts(&b.window); },
            [] { Built<Ui::SetParam, QDialog> b; return visible_texts(&b.window); },
            [] { Built<Ui::SetCurve, QDialog> b; return visible_texts(&b.window); },
            [] { Built<Ui::Save, QDialog> b; return visible_texts(&b.window); },
            [] { Built<Ui::MainWindow, QMainWindow> b; return visible_texts(&b.window); },
        };
        for (auto& build : forms) {
            for (const QString& text : build()) {
                if (fixed.contains(text.section('=', 1))) continue;
                QVERIFY2(!has_cjk(text), qPrintable("untranslated: " + text));
            }
        }
        qApp->removeTranslator(&translator);
    }

    void english_form_texts() {
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(":/Translate_EN.qm")));
        qApp->installTranslator(&translator);
        {
            Built<Ui::MainWindow, QMainWindow> main;
            QCOMPARE(main.window.windowTitle(), QString("Halvren Motor Tool"));
            QCOMPARE(main.form.open_serial_pushButton->text(), QString("TTL Srial"));
            QCOMPARE(main.form.groupBox->title(), QString("Communication"));
            QCOMPARE(main.form.tabWidget->tabText(0), QString("Oscilloscope"));
            QCOMPARE(main.form.tabWidget->tabText(1), QString("Calibration"));
            QCOMPARE(main.form.tabWidget->tabText(2), QString("Serial Port Terminal"));
            QCOMPARE(main.form.motor_enable_disable_pushButton->text(), QString("ENABLE"));
            QCOMPARE(main.form.t_text_label->toolTip(), QString::fromUtf8("Desired Torque (N·m)"));
            QCOMPARE(main.form.actionEnglish->text(), QString("English"));

            Built<Ui::SetSerial, QDialog> serial;
            QCOMPARE(serial.window.windowTitle(), QString("Serial Port"));
            QCOMPARE(serial.form.label_2->text(), QString("Serial Port:"));
            QCOMPARE(serial.form.serial_open_close_pushButton->text(), QString("Open"));
            QCOMPARE(serial.form.label->text(), QString("256000"));

            Built<Ui::SetCan, QDialog> can;
            QCOMPARE(can.window.windowTitle(), QString("CAN"));
            QCOMPARE(can.form.label_4->text(), QString("Motor ID:"));
            QCOMPARE(can.form.label->text(), QString("1000000"));

            Built<Ui::SetCurve, QDialog> curve;
            QCOMPARE(curve.window.windowTitle(), QString("Curve Follow"));
            QCOMPARE(curve.form.mode_tabWidget->tabText(0), QString("Torque Follow"));
            QCOMPARE(curve.form.mode_tabWidget->tabText(1), QString("Position Follow"));
            QCOMPARE(curve.form.label_6->text(), QString("C: V-Shift"));
            QCOMPARE(curve.form.label_2->text(), QString::fromUtf8("t_ff=Asin(2πft)"));
        }
        qApp->removeTranslator(&translator);
    }

    void chinese_forms_without_translator() {
        Built<Ui::MainWindow, QMainWindow> main;
        QCOMPARE(main.window.windowTitle(), QString::fromUtf8("Halvren 关节调试工具"));
        QCOMPARE(main.form.open_serial_pushButton->text(), QString::fromUtf8("打开串口"));
        QVERIFY(!main.window.windowIcon().isNull());
        Built<Ui::SetCurve, QDialog> curve;
        QCOMPARE(curve.window.windowTitle(), QString::fromUtf8("曲线控制"));
    }

    void main_form_plots_and_controls() {
        Built<Ui::MainWindow, QMainWindow> main;
        const char* plots[] = {"angle_plot", "angle_velocity_plot", "torque_plot", "calibrate_angle_plot",
                               "calibrate_compensation_plot"};
        for (const char* name : plots) {
            QVERIFY2(main.window.findChild<QCustomPlot*>(name) != nullptr, name);
        }
        QCOMPARE(main.form.tabWidget->indexOf(main.form.vision_tab), 0);
        QCOMPARE(main.form.tabWidget->indexOf(main.form.calibrate_tab), 1);
        QCOMPARE(main.form.tabWidget->indexOf(main.form.serial_tab), 2);
        QCOMPARE(main.form.tabWidget->currentIndex(), 0);
        QCOMPARE(main.form.kp_doubleSpinBox->maximum(), 1023.0);
        QCOMPARE(main.form.kd_doubleSpinBox->maximum(), 51.0);
        QCOMPARE(main.form.exp_angle_doubleSpinBox->minimum(), -40.0);
        QCOMPARE(main.form.torque_doubleSpinBox->singleStep(), 0.01);
        QVERIFY(main.form.send_hex_radioButton->isChecked());
        QVERIFY(main.form.send_ascii_radioButton->autoExclusive());
        QCOMPARE(main.form.send_ascii_radioButton->parentWidget(), main.form.send_hex_radioButton->parentWidget());
        QVERIFY(!main.form.motor_enable_disable_pushButton->isDefault());
    }
};

QTEST_MAIN(TestUiResources)
#include "test_ui_resources.moc"
