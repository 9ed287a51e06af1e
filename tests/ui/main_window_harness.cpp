#include "main_window_harness.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "config_manager.h"
#include "main_window.h"
#include "resources_init.h"
#include "serial_driver_peer.h"
#include "set_can.h"
#include "set_serial.h"
#include "wait_until.h"

WindowHarness::WindowHarness(const std::string& lan) : old_cwd_(QDir::currentPath()) {
    hv_init_resources();
    QDir::setCurrent(dir_.path());
    QFile file(QStringLiteral("config.json"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QByteArray("{\n    \"lan\": \"") + QByteArray::fromStdString(lan) + "\"\n}");
        file.close();
    }
    config_ = std::make_shared<ConfigManager>("./config.json");
    config_->load();
    if (lan == "en") {
        translator_ = std::make_unique<QTranslator>();
        translator_->load(QStringLiteral(":/Translate_EN.qm"));
        QApplication::installTranslator(translator_.get());
    }
    window_ = std::make_unique<MainWindow>(config_);
    window_->show();
}

WindowHarness::~WindowHarness() {
    destroy_window();
    if (translator_) QApplication::removeTranslator(translator_.get());
    config_.reset();
    QDir::setCurrent(old_cwd_);
}

void WindowHarness::destroy_window() { window_.reset(); }

// Presses the main window's link button, lets `fill` set up the device dialog,
// presses its open/close and cancel buttons and waits for one of `texts`.
template <typename Dialog>
static bool toggle_link(QPushButton* button, const char* open_close, std::function<void(Dialog*)> fill,
                        const QStringList& texts, int timeout_ms) {
    if (!button) return false;
    on_next_modal_of<Dialog>([fill, open_close](Dialog* dialog) {
        fill(dialog);
        dialog->template findChild<QPushButton*>(QLatin1String(open_close))->click();
        dialog->template findChild<QPushButton*>(QStringLiteral("cancle_pushButton"))->click();
    });
    button->click();
    return wait_until([&] { return texts.contains(button->text()); }, timeout_ms);
}

bool WindowHarness::open_serial(SerialDriverPeer& peer, int timeout_ms) {
    const QString path = QString::fromStdString(peer.slave_path());
    return toggle_link<SetSerial>(
        find<QPushButton>("open_serial_pushButton"), "serial_open_close_pushButton",
        [path](SetSerial* dialog) {
            auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("device_select_comboBox"));
            // Pseudo-terminals are never listed by the port scan; name it directly.
            if (combo->findText(path) < 0) combo->addItem(path);
            combo->setCurrentText(path);
        },
        {QStringLiteral("Close connection"), QString::fromUtf8("关闭串口")}, timeout_ms);
}

bool WindowHarness::close_serial(int timeout_ms) {
    return toggle_link<SetSerial>(find<QPushButton>("open_serial_pushButton"), "serial_open_close_pushButton",
                                  [](SetSerial*) {}, {QStringLiteral("TTL Serial"), QString::fromUtf8("打开串口")},
                                  timeout_ms);
}

bool WindowHarness::open_can(const QString& motor_id, int timeout_ms) {
    return toggle_link<SetCan>(
        find<QPushButton>("open_can_pushButton"), "open_close_pushButton",
        [motor_id](SetCan* dialog) {
            auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("device_select_comboBox"));
            // The scanner fills the list within its first 500 ms.
            wait_until([combo] { return combo->count() > 0; }, 2000);
            combo->setCurrentIndex(0);
            dialog->findChild<QLineEdit*>(QStringLiteral("can_id_lineEdit"))->setText(motor_id);
        },
        {QStringLiteral("Close connection"), QString::fromUtf8("关闭CAN")}, timeout_ms);
}

bool WindowHarness::close_can(int timeout_ms) {
    return toggle_link<SetCan>(
        find<QPushButton>("open_can_pushButton"), "open_close_pushButton",
        [](SetCan* dialog) {
            dialog->findChild<QLineEdit*>(QStringLiteral("can_id_lineEdit"))->setText(QStringLiteral("1"));
        },
        {QStringLiteral("CAN"), QString::fromUtf8("打开CAN")}, timeout_ms);
}

void on_next_modal(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> action, int timeout_ms) {
    QTimer::singleShot(5, qApp, [match, action, timeout_ms] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible() && match(modal))
            action(modal);
        else if (timeout_ms > 0)
            on_next_modal(match, action, timeout_ms - 5);
    });
}

QWidget* top_level_named(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(name)) return w;
    return nullptr;
}
