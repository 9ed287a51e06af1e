// Linked into halvren_motor_tool_emulated only, beside the unchanged main.cpp.
//
// Before main runs, a static initialiser puts one emulated gs_usb adapter under the
// platform's USB layer, with a simulated motor driver (motor id 1) on its CAN bus.
// The tool then finds, opens and talks to it exactly as to a real adapter.
//
// Once the application's event loop runs, a probe reports on standard output what
// a script outside the process cannot read from the X server, each line once:
//   [E2E] SetCan device list: <names>       the CAN dialog's adapter list, when filled
//   [E2E] widget <window>/<object name> <x> <y>   screen centre of a control, for real clicks
//   [E2E] driver request cmd <n>             first frame of CAN command n seen by the driver
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QMainWindow>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>
#include <iostream>
#include <memory>
#include <set>
#include <string>

#include "can_driver_peer.h"
#include "emulated_usb_backend.h"

namespace {

struct EmulatedBench {
    std::shared_ptr<EmulatedUsbBackend> backend;
    std::shared_ptr<EmulatedGsUsbAdapter> adapter;
    std::shared_ptr<CanDriverPeer> driver;
};

// Never destroyed: the adapter's bus thread and the driver thread may still be
// waiting when the process exits, and the USB layer keeps the backend anyway.
EmulatedBench* bench() {
    static EmulatedBench* b = [] {
        auto* made = new EmulatedBench;
        made->backend = EmulatedUsbBackend::install();
        made->adapter = made->backend->add_adapter();
        std::weak_ptr<EmulatedGsUsbAdapter> weak = made->adapter;
        made->driver = std::make_shared<CanDriverPeer>([weak](const CanFrame& frame) {
            if (auto adapter = weak.lock()) adapter->deliver(frame);
        });
        made->driver->set_motor_id(1);
        std::weak_ptr<CanDriverPeer> weak_driver = made->driver;
        made->adapter->set_bus_listener([weak_driver](const CanFrame& frame) {
            if (auto driver = weak_driver.lock()) driver->on_host_frame(frame);
        });
        made->driver->start();
        return made;
    }();
    return b;
}

const EmulatedBench* const installed = bench();

void say(const std::string& line) { std::cout << "[E2E] " << line << std::endl; }

class Probe {
public:
    void tick() {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (!top->isVisible()) continue;
            if (qobject_cast<QMainWindow*>(top))
                report_widgets(top, "MainWindow",
                               {"open_can_pushButton", "motor_enable_disable_pushButton", "set_curve_pushButton"});
            if (top->objectName() == QLatin1String("SetCan"))
                report_widgets(top, "SetCan", {"can_id_lineEdit", "open_close_pushButton", "cancle_pushButton"});
            if (top->objectName() == QLatin1String("SetCurve")) {
                report_widgets(top, "SetCurve",
                               {"position_A_doubleSpinBox", "position_f_doubleSpinBox", "position_Kp_doubleSpinBox",
                                "start_pushButton"});
                if (auto* tabs = top->findChild<QTabWidget*>(QStringLiteral("mode_tabWidget")))
                    report(tabs->tabBar()->isVisible() ? "SetCurve/tab1" : "",
                           tabs->tabBar()->mapToGlobal(tabs->tabBar()->tabRect(1).center()));
            }
        }
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top->objectName() != QLatin1String("SetCan") || listed_) continue;
            auto* combo = top->findChild<QComboBox*>(QStringLiteral("device_select_comboBox"));
            if (!combo || combo->count() == 0) continue;
            QStringList names;
            for (int i = 0; i < combo->count(); ++i) names << combo->itemText(i);
            say("SetCan device list: " + names.join(QLatin1Char(',')).toStdString());
            listed_ = true;
        }
        for (const auto& request : installed->driver->requests()) {
            if (seen_cmds_.insert(request.cmd).second)
                say("driver request cmd " + std::to_string(request.cmd));
        }
        installed->driver->clear_requests();
    }

private:
    void report_widgets(QWidget* top, const char* top_name, std::initializer_list<const char*> names) {
        for (const char* name : names) {
            auto* w = top->findChild<QWidget*>(QLatin1String(name));
            if (w && w->isVisible())
                report(std::string(top_name) + "/" + name, w->mapToGlobal(w->rect().center()));
        }
    }

    void report(const std::string& name, QPoint at) {
        if (name.empty()) return;
        const std::string key = name + " " + std::to_string(at.x()) + " " + std::to_string(at.y());
        if (reported_.insert(key).second) say("widget " + key);
    }

    bool listed_ = false;
    std::set<std::string> reported_;
    std::set<int> seen_cmds_;
};

// Runs inside the QApplication constructor; the timer starts with the event loop.
void start_probe() {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
            auto* probe = new Probe;
            auto* timer = new QTimer(QCoreApplication::instance());
            QObject::connect(timer, &QTimer::timeout, [probe] { probe->tick(); });
            QObject::connect(timer, &QObject::destroyed, [probe] { delete probe; });
            timer->start(100);
        },
        Qt::QueuedConnection);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(start_probe)
