// The serial terminal under load, through the main window's own controls
// (offscreen) against the simulated driver on a pseudo-terminal:
//
//   send:  a 100,000-character text while a step streams at 100 Hz, the driver
//          reading the line at 256000 baud. Figures: the stream's largest gap
//          between two targets at the driver from the send to 500 ms after it
//          arrived (and before it, for comparison), the longest the GUI thread left
//          its event loop, the send's duration.
//   flood: the driver sends motion replies at line rate (1,100/s) with the terminal
//          tab visible. Figure: the GUI thread's share of a core.
//
// usage: bench_terminal [--seconds N]   (flood length, default 5)
#include <time.h>

#include <QApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "config_manager.h"
#include "main_window.h"
#include "resources_init.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

int64_t thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void fail(const std::string& what) {
    std::printf("bench_terminal: setup failed: %s\n", what.c_str());
    std::exit(1);
}

template <typename T>
T* child(QWidget* top, const char* name) {
    T* w = top->findChild<T*>(QLatin1String(name));
    if (!w) fail(std::string("no widget ") + name);
    return w;
}

// The longest stretch between two turns of the GUI thread's event loop.
class LoopWatch {
public:
    LoopWatch() {
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            longest_ms_ = std::max(longest_ms_, ms_between(last_, now));
            last_ = now;
        });
    }
    void start() {
        longest_ms_ = 0.0;
        last_ = Clock::now();
        timer_.start();
    }
    double stop() {
        timer_.stop();
        return std::max(longest_ms_, ms_between(last_, Clock::now()));
    }

private:
    QTimer timer_;
    Clock::time_point last_;
    double longest_ms_ = 0.0;
};

}  // namespace

int main(int argc, char** argv) {
    int seconds = 5;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path())) fail("no temporary working directory");
    { std::ofstream("config.json") << "{\"lan\": \"en\"}"; }
    SerialDriverPeer peer;
    if (!peer.start()) fail("no pseudo-terminal");
    peer.set_line_rate(25600);  // 256000 baud, 10 bits a byte

    QApplication app(argc, argv);
    hv_init_resources();
    auto config = std::make_shared<ConfigManager>("./config.json");
    config->load();
    auto window = std::make_unique<MainWindow>(config);
    window->resize(1262, 690);
    window->show();
    window->serial_manager()->device_open_close_slot(QString::fromStdString(peer.slave_path()));
    auto* enable = child<QPushButton>(window.get(), "motor_enable_disable_pushButton");
    if (!wait_until([&] { return enable->isEnabled(); }, 3000)) fail("the serial link did not open");
    enable->click();
    if (!wait_until([&] { return enable->text() == "DISABLE"; }, 3000)) fail("the motor did not enable");

    // ---- send ----
    child<QDoubleSpinBox>(window.get(), "exp_angle_doubleSpinBox")->setValue(0.5);
    child<QDoubleSpinBox>(window.get(), "kp_doubleSpinBox")->setValue(5.0);
    child<QPushButton>(window.get(), "send_motion_param_pushButton")->click();
    QTest::qWait(1000);
    child<QRadioButton>(window.get(), "send_ascii_radioButton")->setChecked(true);
    QString text;
    text.reserve(100000);
    for (int i = 0; i < 100000 - 5; ++i) text += QChar('a' + i % 26);
    text += QStringLiteral("#END#");
    child<QTextEdit>(window.get(), "input_textEdit")->setPlainText(text);
    peer.clear_received();
    QTest::qWait(2000);
    const auto before = peer.requests(16);
    double quiet_gap = 0.0;
    for (std::size_t i = 1; i < before.size(); ++i)
        quiet_gap = std::max(quiet_gap, ms_between(before[i - 1].at, before[i].at));
    LoopWatch watch;
    watch.start();
    const auto sent_at = Clock::now();
    child<QPushButton>(window.get(), "send_pushButton")->click();
    const double click_ms = ms_between(sent_at, Clock::now());
    if (!wait_until([&] { return peer.raw_received().contains("#END#"); }, 60000)) fail("the text did not arrive");
    const auto done_at = Clock::now();
    QTest::qWait(500);  // and the time after it, while the driver still reads the text
    const double loop_ms = watch.stop();
    double largest_gap = 0.0;
    const auto targets = peer.requests(16);
    for (std::size_t i = before.size(); i < targets.size(); ++i)
        largest_gap = std::max(largest_gap, ms_between(targets[i - 1].at, targets[i].at));
    child<QPushButton>(window.get(), "stop_step_send_pushButton")->click();
    std::printf("send of 100,000 characters while a step streams at 100 Hz:\n");
    std::printf("  send took %.0f ms (the line alone takes 3906 ms at 256000 baud)\n", ms_between(sent_at, done_at));
    std::printf("  stream's largest gap from the send to 500 ms after it arrived: %.1f ms (%zu targets)\n",
                largest_gap, targets.size() - before.size());
    std::printf("  (its largest gap in the 2 s before the send: %.1f ms)\n", quiet_gap);
    std::printf("  send button returned after %.1f ms; GUI thread's longest absence from its loop %.1f ms\n",
                click_ms, loop_ms);

    // ---- flood ----
    auto* view = child<QTextBrowser>(window.get(), "textBrowser");
    for (QWidget* w = view; w; w = w->parentWidget())
        if (auto* tabs = qobject_cast<QTabWidget*>(w->parentWidget() ? w->parentWidget()->parentWidget() : nullptr))
            if (tabs->indexOf(w) >= 0) tabs->setCurrentWidget(w);
    if (!view->isVisible()) fail("the terminal is not visible");
    // A full view (its newest 5000 chunks) is the steady state of a long session.
    QByteArray chunk = QByteArray::fromHex("ff318a23020f000000050000000000000000");
    for (int i = 0; i < 5000; ++i) window->append_textBrowser_slot(chunk);
    peer.driver().set_motion_stream(1100.0);
    QTest::qWait(500);
    const auto wall0 = Clock::now();
    const int64_t cpu0 = thread_cpu_ns();
    QTest::qWait(seconds * 1000);
    const double cpu_ms = (thread_cpu_ns() - cpu0) / 1e6;
    const double wall_ms = ms_between(wall0, Clock::now());
    peer.driver().set_motion_stream(0.0);
    std::printf("line-rate flood (1,100 replies/s) with the terminal visible, %d s:\n", seconds);
    std::printf("  GUI thread: %.0f %% of a core (%.0f ms of %.0f ms); terminal at %d of 5000 paragraphs\n",
                100.0 * cpu_ms / wall_ms, cpu_ms, wall_ms, view->document()->blockCount());
    window.reset();
    peer.stop();
    return 0;
}
