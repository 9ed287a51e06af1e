// The compiled English translation of the six forms.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
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

}  // namespace
