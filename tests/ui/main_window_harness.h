#pragma once
// Builds the real main window the way main() does (configuration file in a fresh
// working directory, translation for "en") and drives its links and dialogs.
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <QTranslator>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "main_window.h"

class ConfigManager;
class SerialDriverPeer;

class WindowHarness {
public:
    // Writes ./config.json with "lan" = lan into a fresh working directory, loads
    // it, installs the English translation for "en" and shows the window.
    explicit WindowHarness(const std::string& lan);
    ~WindowHarness();

    MainWindow* window() { return window_.get(); }
    std::shared_ptr<ConfigManager> config() { return config_; }
    QString dir() const { return dir_.path(); }

    template <typename T>
    T* find(const char* name) {
        return window_ ? window_->findChild<T*>(QString::fromLatin1(name)) : nullptr;
    }

    // Destroys the window (its destructor's log lines and final targets happen here).
    void destroy_window();

    // Open or close a link through the window's button and the real device dialog
    // (CAN: the first adapter listed); true once the button shows the new state.
    bool open_serial(SerialDriverPeer& peer, int timeout_ms = 3000);
    bool close_serial(int timeout_ms = 3000);
    bool open_can(const QString& motor_id = QStringLiteral("1"), int timeout_ms = 3000);
    bool close_can(int timeout_ms = 3000);

private:
    QString old_cwd_;
    QTemporaryDir dir_;
    std::shared_ptr<ConfigManager> config_;
    std::unique_ptr<QTranslator> translator_;
    std::unique_ptr<MainWindow> window_;
};

// Runs `action` on the first application-modal widget for which `match` holds,
// polling every 5 ms from the event loop; gives up after about timeout_ms. Never blocks.
void on_next_modal(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> action,
                   int timeout_ms = 5000);

// The top-level widget (shown or hidden) with this object name, such as a dialog
// the window keeps.
QWidget* top_level_named(const char* name);

// Index of the first `line` in `lines` at or after `from`; lines.size() if none.
inline size_t find_line(const std::vector<std::string>& lines, const std::string& line, size_t from = 0) {
    while (from < lines.size() && lines[from] != line) ++from;
    return from;
}

// Accepts the next modal dialog of class T with `action` (qobject_cast match).
template <typename T>
void on_next_modal_of(std::function<void(T*)> action, int timeout_ms = 5000) {
    on_next_modal([](QWidget* w) { return qobject_cast<T*>(w) != nullptr; },
                  [action](QWidget* w) { action(qobject_cast<T*>(w)); }, timeout_ms);
}
