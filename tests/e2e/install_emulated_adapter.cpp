// Linked into halvren_motor_tool_emulated only, beside the unchanged main.cpp.
//
// Before main runs, one emulated gs_usb adapter goes under the platform's USB layer,
// with a simulated motor driver (motor id 1) on its CAN bus; the tool finds, opens
// and talks to it as to a real adapter. Once the event loop runs, a probe reports on
// standard output what a script outside the process cannot read from the X server:
//   [E2E] SetCan device list: <names>         the CAN dialog's adapter list, once filled
//   [E2E] window <X window id> <title>        a shown top-level window
//   [E2E] widget <window>/<name> <x> <y>     screen centre of a named control (tabs: <name>#<i>)
//   [E2E] driver request cmd <n>              the first CAN command n the driver received
#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <iostream>
#include <memory>
#include <set>
#include <string>

#include "can_driver_on_adapter.h"
#include "emulated_usb_backend.h"

namespace {

// Never destroyed: the bus and driver threads may still run when the process exits.
struct EmulatedBench {
    std::shared_ptr<EmulatedGsUsbAdapter> adapter = EmulatedUsbBackend::install()->add_adapter();
    std::unique_ptr<CanDriverPeer> driver = start_can_driver_on(adapter, 1);
};
EmulatedBench* const bench = new EmulatedBench;

std::set<std::string> said;
void say_once(const std::string& line) {
    if (said.insert(line).second) std::cout << "[E2E] " << line << std::endl;
}

void report(const QString& name, QPoint at) {
    say_once("widget " + name.toStdString() + " " + std::to_string(at.x()) + " " + std::to_string(at.y()));
}

void probe() {
    for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* devices = top->findChild<QComboBox*>(QStringLiteral("device_select_comboBox"));
        if (top->objectName() == QLatin1String("SetCan") && devices && devices->count() > 0)
            say_once("SetCan device list: " + devices->itemText(0).toStdString());
        if (!top->isVisible()) continue;
        say_once("window " + std::to_string(top->winId()) + " " + top->windowTitle().toStdString());
        for (QWidget* w : top->findChildren<QWidget*>()) {
            const QString name = top->objectName() + "/" + w->objectName();
            if (!w->isVisible() || w->objectName().isEmpty()) continue;
            if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<QLineEdit*>(w))
                report(name, w->mapToGlobal(w->rect().center()));
            if (auto* tabs = qobject_cast<QTabWidget*>(w))
                for (int i = 0; i < tabs->count(); ++i)
                    report(name + "#" + QString::number(i), tabs->tabBar()->mapToGlobal(tabs->tabBar()->tabRect(i).center()));
        }
    }
    for (const auto& request : bench->driver->requests()) say_once("driver request cmd " + std::to_string(request.cmd));
    bench->driver->clear_requests();
}

// Runs inside the QApplication constructor; the timer starts with the event loop.
void start_probe() {
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, probe);
    timer->start(100);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(start_probe)
