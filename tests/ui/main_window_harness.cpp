#include "main_window_harness.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "config_manager.h"
#include "main_window.h"
#include "resources_init.h"
#include "serial_driver_peer.h"
#include "set_can.h"
#include "set_serial.h"

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

namespace {

bool wait_button_text(QPushButton* button, const QStringList& texts, int timeout_ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeout_ms) {
        if (texts.contains(button->text())) return true;
        QTest::qWait(10);
    }
    return texts.contains(button->text());
}

}  // namespace

bool WindowHarness::open_serial(SerialDriverPeer& peer, int timeout_ms) {
    auto* button = find<QPushButton>("open_serial_pushButton");
    if (!button) return false;
    const QString path = QString::fromStdString(peer.slave_path());
    on_next_modal_of<SetSerial>([path](SetSerial* dialog) {
        auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("device_select_comboBox"));
        // Pseudo-terminals are never listed by the port scan; name it directly.
        if (combo->findText(path) < 0) combo->addItem(path);
        combo->setCurrentText(path);
        dialog->findChild<QPushButton*>(QStringLiteral("serial_open_close_pushButton"))->click();
        dialog->findChild<QPushButton*>(QStringLiteral("cancle_pushButton"))->click();
    });
    button->click();
    return wait_button_text(button, {QStringLiteral("Close connection"), QString::fromUtf8("关闭串口")}, timeout_ms);
}

bool WindowHarness::close_serial(int timeout_ms) {
    auto* button = find<QPushButton>("open_serial_pushButton");
    if (!button) return false;
    on_next_modal_of<SetSerial>([](SetSerial* dialog) {
        dialog->findChild<QPushButton*>(QStringLiteral("serial_open_close_pushButton"))->click();
        dialog->findChild<QPushButton*>(QStringLiteral("cancle_pushButton"))->click();
    });
    button->click();
    return wait_button_text(button, {QStringLiteral("TTL Serial"), QString::fromUtf8("打开串口")}, timeout_ms);
}

bool WindowHarness::open_can(const QString& motor_id, int timeout_ms) {
    auto* button = find<QPushButton>("open_can_pushButton");
    if (!button) return false;
    on_next_modal_of<SetCan>([motor_id](SetCan* dialog) {
        auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("device_select_comboBox"));
        // The scanner fills the list within its first 500 ms.
        QElapsedTimer t;
        t.start();
        while (combo->count() == 0 && t.elapsed() < 2000) QTest::qWait(10);
        combo->setCurrentIndex(0);
        dialog->findChild<QLineEdit*>(QStringLiteral("can_id_lineEdit"))->setText(motor_id);
        dialog->findChild<QPushButton*>(QStringLiteral("open_close_pushButton"))->click();
        dialog->findChild<QPushButton*>(QStringLiteral("cancle_pushButton"))->click();
    });
    button->click();
    return wait_button_text(button, {QStringLiteral("Close connection"), QString::fromUtf8("关闭CAN")}, timeout_ms);
}

bool WindowHarness::close_can(int timeout_ms) {
    auto* button = find<QPushButton>("open_can_pushButton");
    if (!button) return false;
    on_next_modal_of<SetCan>([](SetCan* dialog) {
        dialog->findChild<QLineEdit*>(QStringLiteral("can_id_lineEdit"))->setText(QStringLiteral("1"));
        dialog->findChild<QPushButton*>(QStringLiteral("open_close_pushButton"))->click();
        dialog->findChild<QPushButton*>(QStringLiteral("cancle_pushButton"))->click();
    });
    button->click();
    return wait_button_text(button, {QStringLiteral("CAN"), QString::fromUtf8("打开CAN")}, timeout_ms);
}

void on_next_modal(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> action, int timeout_ms) {
    auto* timer = new QTimer(qApp);
    auto* elapsed = new QElapsedTimer;
    elapsed->start();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, elapsed, match, action, timeout_ms]() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible() && match(modal)) {
            timer->stop();
            timer->deleteLater();
            delete elapsed;
            action(modal);
            return;
        }
        if (elapsed->elapsed() > timeout_ms) {
            timer->stop();
            timer->deleteLater();
            delete elapsed;
        }
    });
    timer->start();
}

QWidget* find_top_level(const std::function<bool(QWidget*)>& match) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && match(w)) return w;
    }
    return nullptr;
}
