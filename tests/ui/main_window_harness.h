#pragma once
// Builds the real main window the way main() does (configuration file in a fresh
// working directory, translation for "en"), with the links' timers shortened, and
// drives its links and dialogs.
#include <QPushButton>
#include <QString>
#include <QTemporaryDir>
#include <QTranslator>
#include <array>
#include <functional>
#include <gtest/gtest.h>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <utility>

#include "can_codec.h"
#include "can_driver_on_adapter.h"
#include "main_window.h"
#include "serial_driver_peer.h"

// Readable failure messages.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

class ConfigManager;
class QFileDialog;
class QDialog;
class QSpinBox;

class WindowHarness {
public:
    explicit WindowHarness(const std::string& lan);
    ~WindowHarness();

    MainWindow* window() { return window_.get(); }
    template <typename T = QWidget>
    T* find(const char* name) {
        return window_->findChild<T*>(QString::fromLatin1(name));
    }
    QPushButton* button(const char* name) { return find<QPushButton>(name); }
    QString text(const char* label);
    std::shared_ptr<ConfigManager> config() { return config_; }
    QString dir() const { return dir_.path(); }
    // Closes the window as the user would; its final targets go out here.
    void destroy_window() { window_.reset(); }

    // Through the window's button and the real device dialog; true once the button
    // shows the new state. A null peer closes the serial link.
    bool serial_link(SerialDriverPeer* peer);
    bool can_link(bool open);
    // Closes the open link and opens another in one visit of its device dialog, as
    // fast as two clicks: `peer` over serial, else the first CAN adapter listed once
    // the dialog lists `listed` (those not open). `before` runs in the dialog just
    // before the two clicks, with no event handled in between.
    bool relink_at_once(SerialDriverPeer* peer, int listed = 1, std::function<void()> before = {}) {
        return press_in_link_dialog(peer, 2, true, listed, before);
    }
    // The same with `clicks` presses of the dialog's button; true once the window's
    // button shows the link open (`open_after`) or closed.
    bool press_in_link_dialog(SerialDriverPeer* peer, int clicks, bool open_after, int listed = 1,
                              std::function<void()> before = {});
    // Presses the enable button and waits until it reads `text_after`.
    bool toggle_motor(const char* text_after);
    // Opens the parameter dialog over the open link and, once the driver's report
    // (id 1) shows, picks the motor model; null when no report came.
    QWidget* param_dialog_reported(const char* model = "T88-6");

private:
    QString old_cwd_;
    QTemporaryDir dir_;
    std::shared_ptr<ConfigManager> config_;
    std::unique_ptr<QTranslator> translator_;
    std::unique_ptr<MainWindow> window_;
};

// Runs `action` on the first application-modal widget for which `match` holds,
// polling from the event loop for about 5 s. Never blocks.
void on_next_modal(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> action, int timeout_ms = 5000);
template <typename T>
void on_next_modal_of(std::function<void(T*)> action) {
    on_next_modal([](QWidget* w) { return qobject_cast<T*>(w); },
                  [action](QWidget* w) { action(qobject_cast<T*>(w)); });
}
// Runs `action` on the next serial number prompt with its number box and OK button.
void on_serial_number_prompt(std::function<void(QDialog*, QSpinBox*, QPushButton*)> action, int timeout_ms = 5000);
// Picks `path` in a file dialog and accepts. The name goes into the dialog's name
// field too: selectFile() leaves the field alone while it has the focus.
void choose_in(QFileDialog* chooser, const QString& path);
// Answers the next run log dialog: `folder` chosen, then confirmed; `meanwhile`
// runs between the two.
void answer_run_log_dialog(const QString& folder, std::function<void()> meanwhile = {});
// The top-level widget with this object name (a dialog the window keeps).
QWidget* top_level_named(const char* name);
// Sets spin boxes of `parent` by object name.
void set_spins(QObject* parent, std::initializer_list<std::pair<const char*, double>> values);
// Clicks the curve dialog's start (on `tab`) or stop button.
void curve_start(int tab, std::initializer_list<std::pair<const char*, double>> values);
void curve_stop();
// "title: text" of each visible tip box of the window, sorted.
QStringList visible_tips(MainWindow* window);

// A window whose serial link is open on a fresh simulated driver, once the
// version request arrived. `size` is the window's size before the link opened.
class SerialWindowTest : public ::testing::Test {
protected:
    void open(const std::string& lan = "en");

    SerialDriverPeer peer;
    std::unique_ptr<WindowHarness> h;
    QSize size;
};

// The simulated driver (motor id 1) on an emulated gs_usb adapter; the window is
// made by the test, or by open() with the CAN link open to the driver.
class CanWindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void open(const std::string& lan = "en");
    int motion() { return peer->request_count(CanCommand::kMotionControl); }

    std::shared_ptr<EmulatedGsUsbAdapter> adapter;
    std::unique_ptr<CanDriverPeer> peer;
    std::unique_ptr<WindowHarness> h;
};

// The payload of a motion target as the CAN link packs it, and of a request seen.
std::vector<uint8_t> motion_payload(std::array<float, 5> target);
inline std::vector<uint8_t> payload(const CanDriverPeer::Request& r) { return {r.frame.data, r.frame.data + 8}; }
