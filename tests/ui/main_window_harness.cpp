#include "main_window_harness.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QSpinBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTabWidget>
#include <QTimer>

#include "can_codec.h"
#include "can_manager.h"
#include "config_manager.h"
#include "resources_init.h"
#include "save.h"
#include "emulated_usb_backend.h"
#include "serial_manager.h"
#include "wait_until.h"

WindowHarness::WindowHarness(const std::string& lan) : old_cwd_(QDir::currentPath()) {
    hv_init_resources();
    QDir::setCurrent(dir_.path());
    config_ = std::make_shared<ConfigManager>("./config.json");
    config_->load();
    config_->document_["lan"] = lan;
    if (lan == "en") {
        translator_ = std::make_unique<QTranslator>();
        translator_->load(QStringLiteral(":/Translate_EN.qm"));
        QApplication::installTranslator(translator_.get());
    }
    window_ = std::make_unique<MainWindow>(config_);
    window_->serial_manager()->set_intervals(100, 300);
    window_->can_manager()->set_intervals(0, 10, 300);
    window_->show();
}

// The window owns the configuration, which it writes back into the working directory.
WindowHarness::~WindowHarness() {
    window_.reset();
    config_.reset();
    if (translator_) QApplication::removeTranslator(translator_.get());
    QDir::setCurrent(old_cwd_);
}

QString WindowHarness::text(const char* label) { return find<QLabel>(label)->text(); }

// Presses the link button; in the device dialog that opens, `fill` chooses the
// device, then open/close (`clicks` times) and cancel are pressed. True once the
// button shows it.
static bool toggle_link(QPushButton* button, const char* open_close, std::function<void(QWidget*)> fill,
                        bool now_open, int clicks = 1) {
    on_next_modal([](QWidget* w) { return w->findChild<QComboBox*>("device_select_comboBox") != nullptr; },
                  [fill, open_close, clicks](QWidget* dialog) {
                      fill(dialog);
                      for (int i = 0; i < clicks; ++i) dialog->findChild<QPushButton*>(QLatin1String(open_close))->click();
                      dialog->findChild<QPushButton*>(QStringLiteral("cancle_pushButton"))->click();
                  });
    button->click();
    const QStringList closing = {"Close connection", QString::fromUtf8("关闭串口"), QString::fromUtf8("关闭CAN")};
    return wait_until([&] { return closing.contains(button->text()) == now_open; }, 3000);
}

// Pseudo-terminals are never listed by the port scan; a close takes any name.
static void choose_port(QWidget* dialog, const QString& path) {
    auto* combo = dialog->findChild<QComboBox*>("device_select_comboBox");
    if (combo->findText(path) < 0) combo->addItem(path);
    combo->setCurrentText(path);
}

bool WindowHarness::serial_link(SerialDriverPeer* peer) {
    const QString path = peer ? QString::fromStdString(peer->slave_path()) : QString();
    return toggle_link(button("open_serial_pushButton"), "serial_open_close_pushButton",
                       [path](QWidget* dialog) { choose_port(dialog, path); },
                       peer != nullptr);
}

bool WindowHarness::press_in_link_dialog(SerialDriverPeer* peer, int clicks, bool open_after, int listed,
                                         std::function<void()> before) {
    if (peer) {
        const QString path = QString::fromStdString(peer->slave_path());
        return toggle_link(button("open_serial_pushButton"), "serial_open_close_pushButton",
                           [path, before](QWidget* dialog) {
                               choose_port(dialog, path);
                               if (before) before();
                           },
                           open_after, clicks);
    }
    return toggle_link(button("open_can_pushButton"), "open_close_pushButton",
                       [listed, before](QWidget* dialog) {
                           auto* combo = dialog->findChild<QComboBox*>("device_select_comboBox");
                           wait_until([combo, listed] { return combo->count() == listed; }, 2000);
                           combo->setCurrentIndex(0);
                           if (before) before();
                       },
                       open_after, clicks);
}

bool WindowHarness::can_link(bool open) {
    return toggle_link(button("open_can_pushButton"), "open_close_pushButton",
                       [open](QWidget* dialog) {
                           // The first scan lists the adapter; an open one is never listed, and a
                           // close takes any name.
                           auto* combo = dialog->findChild<QComboBox*>("device_select_comboBox");
                           if (open) wait_until([combo] { return combo->count() > 0; }, 2000);
                           dialog->findChild<QLineEdit*>("can_id_lineEdit")->setText(QStringLiteral("1"));
                       },
                       open);
}

bool WindowHarness::toggle_motor(const char* text_after) {
    auto* toggle = button("motor_enable_disable_pushButton");
    toggle->click();
    return wait_until([&] { return toggle->text() == QString::fromUtf8(text_after); }, 3000);
}

QWidget* WindowHarness::param_dialog_reported(const char* model) {
    QWidget* dialog = top_level_named("SetParam");
    auto* id = dialog->findChild<QSpinBox*>("can_id_spinBox");
    id->setValue(5);  // anything but the driver's id, so its answer shows
    button("set_param_pushButton")->click();
    if (!wait_until([&] { return id->value() == 1; }, 2000)) return nullptr;
    dialog->findChild<QComboBox*>("motor_type_box")->setCurrentText(QString::fromUtf8(model));
    return dialog;
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

void on_serial_number_prompt(std::function<void(QDialog*, QSpinBox*, QPushButton*)> action, int timeout_ms) {
    on_next_modal([](QWidget* w) { return w->findChild<QSpinBox*>() && w->findChild<QDialogButtonBox*>(); },
                  [action](QWidget* w) {
                      action(qobject_cast<QDialog*>(w), w->findChild<QSpinBox*>(),
                             w->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok));
                  },
                  timeout_ms);
}

void choose_in(QFileDialog* chooser, const QString& path) {
    chooser->selectFile(path);
    chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(path);
    QMetaObject::invokeMethod(chooser, "accept");
}

void answer_run_log_dialog(const QString& folder, std::function<void()> meanwhile) {
    on_next_modal_of<Save>([folder, meanwhile](Save* s) {
        on_next_modal_of<QFileDialog>([folder](QFileDialog* chooser) { choose_in(chooser, folder); });
        s->findChild<QPushButton*>("folder_pushButton")->click();
        if (meanwhile) meanwhile();
        s->findChild<QPushButton*>("comfirm_pushButton")->click();
    });
}

QWidget* top_level_named(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(name)) return w;
    return nullptr;
}

void set_spins(QObject* parent, std::initializer_list<std::pair<const char*, double>> values) {
    for (const auto& [name, value] : values) parent->findChild<QDoubleSpinBox*>(QLatin1String(name))->setValue(value);
}

void curve_start(int tab, std::initializer_list<std::pair<const char*, double>> values) {
    QWidget* curve = top_level_named("SetCurve");
    curve->findChild<QTabWidget*>(QStringLiteral("mode_tabWidget"))->setCurrentIndex(tab);
    set_spins(curve, values);
    curve->findChild<QPushButton*>(QStringLiteral("start_pushButton"))->click();
}

void curve_stop() { top_level_named("SetCurve")->findChild<QPushButton*>(QStringLiteral("stop_pushButton"))->click(); }

QStringList visible_tips(MainWindow* window) {
    QStringList out;
    for (QMessageBox* box : window->findChildren<QMessageBox*>())
        if (box->isVisible()) out << box->windowTitle() + ": " + box->text();
    out.sort();
    return out;
}

void SerialWindowTest::open(const std::string& lan) {
    ASSERT_TRUE(peer.start());
    h = std::make_unique<WindowHarness>(lan);
    size = h->window()->size();
    ASSERT_TRUE(h->serial_link(&peer));
    ASSERT_TRUE(peer.wait_for_requests(25, 1, 2000));  // the version request
}

void CanWindowTest::SetUp() {
    adapter = EmulatedUsbBackend::install()->add_adapter();
    peer = start_can_driver_on(adapter, 1);
}

void CanWindowTest::open(const std::string& lan) {
    h = std::make_unique<WindowHarness>(lan);
    ASSERT_TRUE(h->can_link(true));
}

void CanWindowTest::TearDown() {
    h.reset();
    adapter->set_bus_listener(nullptr);
    peer->stop();
    EmulatedUsbBackend::uninstall();
}

std::vector<uint8_t> motion_payload(std::array<float, 5> target) {
    uint8_t packed[8] = {};
    pack_motion_command(packed, target.data());
    return {packed, packed + 8};
}
