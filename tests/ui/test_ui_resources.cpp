// The embedded images and the compiled English translation of the six forms.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QImage>
#include <QSet>
#include <QMainWindow>
#include <QTabWidget>
#include <QTranslator>

#include "resources_init.h"
#include "ui_mainwindow.h"
#include "ui_save.h"
#include "ui_setcan.h"
#include "ui_setcurve.h"
#include "ui_setparam.h"
#include "ui_setserial.h"

namespace {

// Every text an operator reads on a built form.
template <typename Form, typename Window = QDialog>
QStringList built_texts() {
    Window window;
    Form form;
    form.setupUi(&window);
    QStringList texts;
    QList<QObject*> objects = window.template findChildren<QObject*>();
    for (QObject* o : objects << &window) {
        for (const char* property : {"text", "title", "windowTitle", "toolTip", "suffix"})
            texts << o->property(property).toString();
        if (auto* tabs = qobject_cast<QTabWidget*>(o))
            for (int i = 0; i < tabs->count(); ++i) texts << tabs->tabText(i);
    }
    return texts;
}

// In English no form shows Chinese, apart from the language menu's own entries.
TEST(UiResources, EnglishFormsShowNoChinese) {
    hv_init_resources();
    QTranslator translator;
    ASSERT_TRUE(translator.load(QStringLiteral(":/Translate_EN.qm")));
    qApp->installTranslator(&translator);
    const QStringList texts = built_texts<Ui::SetSerial>() + built_texts<Ui::SetCan>() + built_texts<Ui::SetParam>() +
                              built_texts<Ui::SetCurve>() + built_texts<Ui::Save>() +
                              built_texts<Ui::MainWindow, QMainWindow>();
    const QStringList fixed = {"设置/Settings", "语言/Language", "简体中文"};
    for (const QString& text : texts)
        for (QChar c : text)
            EXPECT_TRUE(fixed.contains(text) || c.unicode() < 0x3000 || c.unicode() > 0xFFEF) << text.toStdString();
    qApp->removeTranslator(&translator);
}

// Drawn images of at least their design size, not blank canvases.
TEST(UiResources, ImagesAreEmbedded) {
    hv_init_resources();
    hv_init_resources();  // a second call is harmless
    const std::pair<const char*, QSize> rows[] = {
        {":/icon/icon.png", {64, 64}},    {":/icon/logo.png", {231, 130}}, {":/icon/tip.png", {29, 29}},
        {":/icon/warning.png", {32, 32}}, {":/icon/folder.png", {32, 32}}, {":/icon/yes.jpeg", {32, 29}},
        {":/icon/no.jpeg", {32, 29}},
    };
    for (const auto& row : rows) {
        const QImage image(row.first);
        ASSERT_FALSE(image.isNull()) << row.first;
        EXPECT_GE(image.width(), row.second.width()) << row.first;
        EXPECT_GE(image.height(), row.second.height()) << row.first;
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 3)
            for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
        EXPECT_GT(colours.size(), 3) << row.first;
    }
}

// The same Chinese text translates per form; the chooser caption stays Chinese.
TEST(UiResources, TranslationPerForm) {
    hv_init_resources();
    QTranslator translator;
    ASSERT_TRUE(translator.load(QStringLiteral(":/Translate_EN.qm")));
    const struct {
        const char* context;
        const char* source;
        const char* english;
    } rows[] = {
        {"MainWindow", "打开串口", "TTL Srial"}, {"SetSerial", "打开串口", "Serial Port"},
        {"MainWindow", "打开CAN", "CAN"},        {"SetCan", "打开CAN", "CAN"},
        {"SetParam", "关节ID", "Motor ID"},      {"SetCan", "关节ID：", "Motor ID:"},
        {"SetCurve", "停止", "Stop"},            {"Save", "确定", "OK"},
        {"Save", "请选择保存csv文件的目录", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(translator.translate(row.context, row.source).toStdString(), row.english)
            << row.context << " " << row.source;
}

// What the operator reads on the built forms in each language.
TEST(UiResources, FormTextsInBothLanguages) {
    hv_init_resources();
    const auto read = [] {
        QStringList texts;
        {
            QMainWindow w;
            Ui::MainWindow f;
            f.setupUi(&w);
            texts << w.windowTitle() << f.open_serial_pushButton->text() << f.groupBox->title()
                  << f.tabWidget->tabText(0) << f.tabWidget->tabText(1) << f.tabWidget->tabText(2)
                  << f.motor_enable_disable_pushButton->text() << f.t_text_label->toolTip();
        }
        {
            QDialog w;
            Ui::SetSerial f;
            f.setupUi(&w);
            texts << w.windowTitle() << f.label_2->text() << f.serial_open_close_pushButton->text() << f.label->text();
        }
        {
            QDialog w;
            Ui::SetCan f;
            f.setupUi(&w);
            texts << w.windowTitle() << f.label_4->text() << f.label->text();
        }
        {
            QDialog w;
            Ui::SetCurve f;
            f.setupUi(&w);
            texts << w.windowTitle() << f.mode_tabWidget->tabText(0) << f.mode_tabWidget->tabText(1)
                  << f.label_6->text() << f.label_2->text();
        }
        return texts;
    };
    const QStringList chinese = read();
    EXPECT_EQ(chinese.at(0), QString::fromUtf8("Halvren 关节调试工具"));
    EXPECT_EQ(chinese.at(1), QString::fromUtf8("打开串口"));
    EXPECT_EQ(chinese.at(8), QString::fromUtf8("打开串口"));
    EXPECT_EQ(chinese.at(15), QString::fromUtf8("曲线控制"));

    QTranslator translator;
    ASSERT_TRUE(translator.load(QStringLiteral(":/Translate_EN.qm")));
    qApp->installTranslator(&translator);
    const QStringList english = read();
    qApp->removeTranslator(&translator);
    const QStringList expected = {"Halvren Motor Tool", "TTL Srial", "Communication", "Oscilloscope", "Calibration",
                                  "Serial Port Terminal", "ENABLE", QString::fromUtf8("Desired Torque (N·m)"),
                                  "Serial Port", "Serial Port:", "Open", "256000", "CAN", "Motor ID:", "1000000",
                                  "Curve Follow", "Torque Follow", "Position Follow", "C: V-Shift",
                                  QString::fromUtf8("t_ff=Asin(2πft)")};
    EXPECT_EQ(english, expected);
}

}  // namespace
