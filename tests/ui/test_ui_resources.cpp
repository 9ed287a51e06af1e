// Embedded images, the compiled translation and the six forms in English.
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

// Every user-visible text of a built form, as "objectName=text".
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
        if (auto* tabs = qobject_cast<QTabWidget*>(w))
            for (int i = 0; i < tabs->count(); ++i) add(tabs->widget(i), tabs->tabText(i));
    }
    for (QAction* action : top->findChildren<QAction*>()) add(action, action->text());
    return texts;
}

template <typename Form, typename Window = QDialog>
QStringList built_texts() {
    Window window;
    Form form;
    form.setupUi(&window);
    return visible_texts(&window);
}

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
        QCOMPARE(translator.translate("SetParam", "关节ID"), QString("Motor ID"));
        QCOMPARE(translator.translate("SetCan", "关节ID："), QString("Motor ID:"));
        QCOMPARE(translator.translate("SetCurve", "停止"), QString("Stop"));
        QVERIFY(translator.translate("Save", "请选择保存csv文件的目录").isEmpty());
    }

    void english_forms_show_no_chinese() {
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(":/Translate_EN.qm")));
        qApp->installTranslator(&translator);
        // The language menu reads the same in both languages.
        const QStringList fixed = {"设置/Settings", "语言/Language", "简体中文"};
        const QList<std::function<QStringList()>> forms = {
            built_texts<Ui::SetSerial>, built_texts<Ui::SetCan>, built_texts<Ui::SetParam>,
            built_texts<Ui::SetCurve>,  built_texts<Ui::Save>,   built_texts<Ui::MainWindow, QMainWindow>,
        };
        QStringList all;
        for (const auto& build : forms) all += build();
        for (const QString& text : all)
            if (!fixed.contains(text.section('=', 1))) QVERIFY2(!has_cjk(text), qPrintable("untranslated: " + text));
        // Texts kept as the forms spell them, and the curve dialog's formula.
        for (const char* kept : {"label=256000", "label=1000000", "SetCurve=Curve Follow", "label_6=C: V-Shift",
                                 "t_text_label=Desired Torque (N·m)"})
            QVERIFY2(all.contains(QString::fromUtf8(kept)), kept);
        qApp->removeTranslator(&translator);
    }
};

QTEST_MAIN(TestUiResources)
#include "test_ui_resources.moc"
