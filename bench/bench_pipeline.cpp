// The whole motion pipeline at its real rates, in one process, driven through the
// main window's own controls (offscreen):
//
//   CAN phase:    StepSender -> CanManager -> CandleCan -> gs_usb library -> USB layer
//                 -> emulated adapter -> simulated driver (1000 targets/s), and back
//                 (1000 motion replies/s) -> CanReceiver -> MainWindow -> plots + run log
//   serial phase: the same over a pseudo-terminal at 100 targets/s
//
// Figures: GUI-thread busy share, plot refresh tick cost and period, samples lost or
// duplicated (from the run log against what went over the link), delay from a reply's
// arrival to its hand-over to the plot buffer, RSS.
//
// usage: bench_pipeline [--seconds N] [--only can|serial] [--forget-serial]
//        N seconds per phase, default 60; BENCH_SLOW=1 also lists GUI-thread events over 3 ms
#include <qcustomplot.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "can_driver_peer.h"
#include "config_manager.h"
#include "emulated_usb_backend.h"
#include "main_window.h"
#include "resources_init.h"
#include "serial_driver_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

int64_t thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

double rss_mib() {
    long pages_total = 0, pages_resident = 0;
    std::ifstream statm("/proc/self/statm");
    statm >> pages_total >> pages_resident;
    return static_cast<double>(pages_resident) * sysconf(_SC_PAGESIZE) / (1024.0 * 1024.0);
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(v.size()));
    const std::size_t i = static_cast<std::size_t>(std::max(1.0, rank)) - 1;
    return v[std::min(i, v.size() - 1)];
}

[[noreturn]] void fail(const std::string& what) {
    std::cout << "bench_pipeline: setup failed: " << what << std::endl;
    std::exit(1);
}

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeout_ms) return false;
        QTest::qWait(5);
    }
    return true;
}

QWidget* top_level(const char* object_name) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(object_name)) return w;
    return nullptr;
}

template <typename T>
T* child(QWidget* top, const char* name) {
    T* w = top ? top->findChild<T*>(QLatin1String(name)) : nullptr;
    if (!w) fail(std::string("no widget ") + name);
    return w;
}

// ---------------------------------------------------------------------------
// GUI-thread event timing. Only outermost deliveries are timed; nested ones
// (paint events inside a window update) are part of their parent's time.

struct Tick {
    int64_t start_ns = 0;
    int64_t slot_ns = 0;    // the 5 ms timer event: rescale and hand the data to the graphs
    int64_t follow_ns = 0;  // the replots and the repaint it caused, until the next tick
    bool drew = false;
};

struct Flush {
    int64_t end_ns = 0;
    int64_t log_size = 0;  // run-log size after the event
};

class BenchApplication : public QApplication {
public:
    using QApplication::QApplication;

    void start_recording(std::string log_path, std::size_t seconds) {
        ticks_.clear();
        flushes_.clear();
        // Touched now, so the records do not count in the RSS growth.
        ticks_.resize(seconds * 400 + 1000);
        ticks_.clear();
        flushes_.resize(seconds * 400 + 1000);
        flushes_.clear();
        log_path_ = std::move(log_path);
        recording_ = true;
    }
    void stop_recording() { recording_ = false; }
    const std::vector<Tick>& ticks() const { return ticks_; }
    const std::vector<Flush>& flushes() const { return flushes_; }
    // Wall time spent inside event handlers while recording.
    int64_t handler_ns() const { return handler_ns_; }

    bool notify(QObject* receiver, QEvent* event) override {
        if (depth_ > 0 || !recording_) {
            ++depth_;
            const bool r = QApplication::notify(receiver, event);
            --depth_;
            return r;
        }
        enum { other, plot_tick, plot_follow, flush } kind = other;
        auto* timer = event->type() == QEvent::Timer ? qobject_cast<QTimer*>(receiver) : nullptr;
        if (timer && timer->interval() == 5) {
            kind = plot_tick;
        } else if (timer && timer->interval() == 20) {
            kind = flush;  // a receiver's hand-over or a sender's publication
        } else if (qobject_cast<QCustomPlot*>(receiver) ||
                   (event->type() == QEvent::UpdateRequest && receiver->isWidgetType() &&
                    static_cast<QWidget*>(receiver)->isWindow())) {
            kind = plot_follow;
        }
        const int64_t t0 = now_ns();
        ++depth_;
        const bool r = QApplication::notify(receiver, event);
        --depth_;
        const int64_t t1 = now_ns();
        handler_ns_ += t1 - t0;
        if (t1 - t0 > 3000000 && slow_.size() < 200)
            slow_.push_back(std::to_string((t1 - t0) / 1000) + " us " + receiver->metaObject()->className() + " " +
                            receiver->objectName().toStdString() + " event " + std::to_string(event->type()) +
                            (timer ? " interval " + std::to_string(timer->interval()) : std::string()));
        if (kind == plot_tick) {
            ticks_.push_back({t0, t1 - t0, 0, false});
        } else if (kind == plot_follow && !ticks_.empty()) {
            ticks_.back().follow_ns += t1 - t0;
            if (event->type() == QEvent::MetaCall) ticks_.back().drew = true;  // a queued replot
        } else if (kind == flush) {
            struct stat st {};
            const int64_t size = ::stat(log_path_.c_str(), &st) == 0 ? st.st_size : -1;
            flushes_.push_back({t1, size});
        }
        return r;
    }

private:
    int depth_ = 0;
    bool recording_ = false;
    int64_t handler_ns_ = 0;
    std::string log_path_;
    std::vector<Tick> ticks_;
    std::vector<Flush> flushes_;

public:
    std::vector<std::string> slow_;
};

// ---------------------------------------------------------------------------
// The run log, read back.

struct Row {
    int64_t offset = 0;
    bool target = false;
    double t = 0, position = 0, velocity = 0, torque = 0;
};

std::vector<Row> read_run_log(const std::string& path) {
    std::vector<Row> rows;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    int64_t offset = 0;
    while (std::getline(in, line)) {
        const int64_t here = offset;
        offset += static_cast<int64_t>(line.size()) + 1;
        std::vector<std::string> f;
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = line.find(',', start);
            f.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        if (f.size() < 11 || (f[1] != "real" && f[1] != "target")) continue;
        Row r;
        r.offset = here;
        r.target = f[1] == "target";
        r.t = std::atof(f[0].c_str());
        r.position = std::atof(f[r.target ? 4 : 3].c_str());
        r.velocity = std::atof(f[r.target ? 7 : 6].c_str());
        r.torque = std::atof(f[r.target ? 10 : 9].c_str());
        rows.push_back(r);
    }
    return rows;
}

std::string newest_run_log() {
    const QStringList logs = QDir(".").entryList({"hv-motor-tool-log-*.csv"}, QDir::Files, QDir::Time);
    return logs.isEmpty() ? std::string() : QDir(".").absoluteFilePath(logs.first()).toStdString();
}

// ---------------------------------------------------------------------------
// The CAN bus between the adapter and the simulated driver. Each motion reply
// carries its sequence number in the velocity field (20 bits over -40..40 rad/s,
// counted up from the field's middle), so the run log shows every loss,
// duplicate and reordering; the arrival time of each is kept.

constexpr uint32_t kVelocityZero = 1u << 19;

struct CanTap {
    std::vector<int64_t> arrival_ns;  // by sequence number, preallocated
    std::atomic<uint32_t> replies{0};
    std::atomic<uint32_t> targets_on_bus{0};

    static uint32_t motion_reply_id() { return (4u << 5) | 0x10u | 1u; }

    void stamp(CanFrame& frame) {
        if (frame.id != motion_reply_id()) return;
        const uint32_t n = replies.load();
        if (n >= arrival_ns.size()) return;
        const uint32_t v = kVelocityZero + n;
        frame.data[2] = static_cast<uint8_t>((frame.data[2] & 0x0F) | ((v & 0x0F) << 4));
        frame.data[3] = static_cast<uint8_t>((v >> 4) & 0xFF);
        frame.data[4] = static_cast<uint8_t>((v >> 12) & 0xFF);
        arrival_ns[n] = now_ns();
        replies.store(n + 1);
    }

    static int64_t sequence_of(double velocity) {
        return std::llround((velocity + 40.0) * 1048575.0 / 80.0) - kVelocityZero;
    }
};

// ---------------------------------------------------------------------------

struct PhaseFigures {
    std::string name;
    double seconds = 0;
    double gui_cpu_share = 0;
    double gui_handler_share = 0;
    std::vector<Tick> ticks;
    std::vector<Flush> flushes;
    double rss_before = 0, rss_start = 0, rss_settled = 0, rss_end = 0;
};

void print_tick_figures(const PhaseFigures& p) {
    std::vector<double> drawing, all, period;
    for (std::size_t i = 0; i < p.ticks.size(); ++i) {
        const double cost = (p.ticks[i].slot_ns + p.ticks[i].follow_ns) / 1000.0;
        all.push_back(cost);
        if (p.ticks[i].drew) drawing.push_back(cost);
        if (i > 0) period.push_back((p.ticks[i].start_ns - p.ticks[i - 1].start_ns) / 1000.0);
    }
    const double max_period = period.empty() ? 0 : *std::max_element(period.begin(), period.end());
    std::size_t late = 0;
    for (double d : period)
        if (d > 10000.0) ++late;
    std::printf("  plot refresh ticks: %zu (%.1f/s), %zu redrew (%.1f/s)\n", p.ticks.size(), p.ticks.size() / p.seconds,
                drawing.size(), drawing.size() / p.seconds);
    std::printf(
        "  time per redrawing tick (data hand-over + replot + repaint): median %.0f us, p99 %.0f us, max %.0f us\n",
        percentile(drawing, 50), percentile(drawing, 99),
        drawing.empty() ? 0.0 : *std::max_element(drawing.begin(), drawing.end()));
    std::printf("  time per tick, all ticks: median %.0f us, p99 %.0f us\n", percentile(all, 50), percentile(all, 99));
    std::printf("  tick period: median %.2f ms, p99 %.2f ms, max %.2f ms; %zu gaps over 10 ms\n",
                percentile(period, 50) / 1000.0, percentile(period, 99) / 1000.0, max_period / 1000.0, late);
}

// Hand-over time of the row at `offset`: the end of the first 20 ms event after
// which the run log had grown past it.
int64_t handover_ns(const std::vector<Flush>& flushes, int64_t offset) {
    auto it = std::upper_bound(flushes.begin(), flushes.end(), offset,
                               [](int64_t off, const Flush& f) { return off < f.log_size; });
    return it == flushes.end() ? -1 : it->end_ns;
}

// End of the first redrawing tick that started after `t`.
int64_t drawn_ns(const std::vector<Tick>& ticks, int64_t t) {
    auto it =
        std::upper_bound(ticks.begin(), ticks.end(), t, [](int64_t at, const Tick& k) { return at < k.start_ns; });
    for (; it != ticks.end(); ++it)
        if (it->drew) return it->start_ns + it->slot_ns + it->follow_ns;
    return -1;
}

void print_delays(const char* what, std::vector<double> handover_ms, std::vector<double> drawn_ms) {
    std::printf("  delay %s -> plot hand-over: median %.2f ms, p99 %.2f ms, max %.2f ms (%zu samples)\n", what,
                percentile(handover_ms, 50), percentile(handover_ms, 99),
                handover_ms.empty() ? 0.0 : *std::max_element(handover_ms.begin(), handover_ms.end()),
                handover_ms.size());
    std::printf("  delay %s -> drawn: median %.2f ms, p99 %.2f ms\n", what, percentile(drawn_ms, 50),
                percentile(drawn_ms, 99));
}

// ---------------------------------------------------------------------------

class Operator {
public:
    explicit Operator(QMainWindow* window) : w_(window) {}

    QPushButton* button(const char* name) { return child<QPushButton>(w_, name); }

    // Enables the motor with "save this run" ticked; confirms the folder dialog.
    void enable_with_run_log(const char* enabled_text) {
        child<QCheckBox>(w_, "save_checkBox")->setChecked(true);
        QTimer::singleShot(300, [] {
            if (QWidget* save = top_level("Save")) child<QPushButton>(save, "comfirm_pushButton")->click();
        });
        button("motor_enable_disable_pushButton")->click();
        if (!wait_until([&] { return button("motor_enable_disable_pushButton")->text() == enabled_text; }, 5000))
            fail("the driver did not confirm the enable");
    }

    void send_step(double position, double velocity, double torque, double kp, double kd) {
        child<QDoubleSpinBox>(w_, "exp_angle_doubleSpinBox")->setValue(position);
        child<QDoubleSpinBox>(w_, "exp_angle_velocity_doubleSpinBox")->setValue(velocity);
        child<QDoubleSpinBox>(w_, "torque_doubleSpinBox")->setValue(torque);
        child<QDoubleSpinBox>(w_, "kp_doubleSpinBox")->setValue(kp);
        child<QDoubleSpinBox>(w_, "kd_doubleSpinBox")->setValue(kd);
        button("send_motion_param_pushButton")->click();
    }

    void stop_and_disable(const char* disabled_text) {
        button("stop_step_send_pushButton")->click();
        QTest::qWait(300);  // the last replies and publications reach the run log
        button("motor_enable_disable_pushButton")->click();
        if (!wait_until([&] { return button("motor_enable_disable_pushButton")->text() == disabled_text; }, 5000))
            fail("the driver did not confirm the disable");
    }

private:
    QMainWindow* w_;
};

PhaseFigures measure(BenchApplication& app, const std::string& name, int seconds,
                     const std::function<void()>& start_stream) {
    PhaseFigures p;
    p.name = name;
    p.rss_before = rss_mib();
    const std::string log = newest_run_log();
    if (log.empty()) fail("no run log was opened");
    app.start_recording(log, static_cast<std::size_t>(seconds));
    start_stream();
    p.rss_start = rss_mib();
    const int64_t wall0 = now_ns();
    const int64_t cpu0 = thread_cpu_ns();
    const int64_t handlers0 = app.handler_ns();
    QEventLoop loop;
    QTimer::singleShot(std::min(5, seconds) * 1000, [&] { p.rss_settled = rss_mib(); });
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const int64_t wall = now_ns() - wall0;
    p.gui_cpu_share = static_cast<double>(thread_cpu_ns() - cpu0) / wall;
    p.gui_handler_share = static_cast<double>(app.handler_ns() - handlers0) / wall;
    p.seconds = wall / 1e9;
    p.rss_end = rss_mib();
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    bool forget_serial = false;
    bool run_can = true, run_serial = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::max(1, std::atoi(argv[++i]));
        if (std::strcmp(argv[i], "--forget-serial") == 0) forget_serial = true;
        if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            const std::string which = argv[++i];
            run_can = which == "can";
            run_serial = which == "serial";
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path())) fail("no temporary working directory");
    { std::ofstream("config.json") << "{\"lan\": \"en\"}"; }

    // The adapter and the driver behind the platform's USB layer.
    CanTap tap;
    tap.arrival_ns.assign(static_cast<std::size_t>(seconds) * 1200 + 10000, 0);
    auto backend = EmulatedUsbBackend::install();
    auto adapter = backend->add_adapter();
    auto can_driver = std::make_shared<CanDriverPeer>([&](const CanFrame& frame) {
        CanFrame out = frame;
        tap.stamp(out);
        adapter->deliver(out);
    });
    can_driver->set_motor_id(1);
    adapter->set_bus_listener([&](const CanFrame& frame) {
        if (((frame.id >> 5) & 0x3F) == 4 && !(frame.id & 0x10)) tap.targets_on_bus.fetch_add(1);
        can_driver->on_host_frame(frame);
    });
    can_driver->start();

    auto serial_driver = std::make_shared<SerialDriverPeer>();
    if (!serial_driver->start()) fail("no pseudo-terminal");

    // The test doubles record every frame; keep those records bounded off the GUI thread.
    // The serial peer's records give the serial delays; with --forget-serial they are
    // dropped too (no serial delays then) to show the tool's own memory alone.
    std::atomic<bool> quit_housekeeping{false};
    std::thread housekeeping([&] {
        while (!quit_housekeeping) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            can_driver->clear_requests();
            if (forget_serial) serial_driver->clear_received();
        }
    });

    BenchApplication app(argc, argv);
    hv_init_resources();

    const double rss_process_start = rss_mib();
    auto config = std::make_shared<ConfigManager>("./config.json");
    config->load();
    auto* window = new MainWindow(config);
    window->resize(1262, 690);
    window->show();
    Operator op(window);
    PhaseFigures can, serial;
    std::string can_log, serial_log;
    int serial_targets = 0;
    std::vector<SerialDriverPeer::Request> serial_requests;

    // ---- CAN, 1000 Hz ----
    if (run_can) {
        QWidget* set_can = top_level("SetCan");
        auto* can_list = child<QComboBox>(set_can, "device_select_comboBox");
        if (!wait_until([&] { return can_list->count() > 0; }, 3000)) fail("the emulated adapter was not listed");
        child<QLineEdit>(set_can, "can_id_lineEdit")->setText("1");
        child<QPushButton>(set_can, "open_close_pushButton")->click();
        if (!wait_until([&] { return op.button("open_can_pushButton")->text() == "Close connection"; }, 3000))
            fail("the CAN link did not open");
        op.enable_with_run_log("DISABLE");
        can = measure(app, "CAN 1000 Hz", seconds, [&] { op.send_step(1.0, 0.5, 0.25, 5.0, 0.5); });
        op.stop_and_disable("ENABLE");
        app.stop_recording();
        can_log = newest_run_log();
        child<QPushButton>(set_can, "open_close_pushButton")->click();
        if (!wait_until([&] { return op.button("open_can_pushButton")->text() == "CAN"; }, 3000))
            fail("the CAN link did not close");
        can.ticks = app.ticks();
        can.flushes = app.flushes();
    }
    // ---- serial, 100 Hz ----
    if (run_serial) {
        QTest::qWait(1100);  // the next run log gets a name of its own
        QWidget* set_serial = top_level("SetSerial");
        auto* serial_list = child<QComboBox>(set_serial, "device_select_comboBox");
        // Pseudo-terminals are never listed by the port enumeration; the operator's choice is put in.
        serial_list->addItem(QString::fromStdString(serial_driver->slave_path()));
        serial_list->setCurrentIndex(serial_list->count() - 1);
        child<QPushButton>(set_serial, "serial_open_close_pushButton")->click();
        if (!wait_until([&] { return op.button("open_serial_pushButton")->text() == "Close connection"; }, 3000))
            fail("the serial link did not open");
        op.enable_with_run_log("DISABLE");
        serial_driver->clear_received();
        const int serial_targets_before = serial_driver->driver().motion_target_count();
        serial = measure(app, "serial 100 Hz", seconds, [&] { op.send_step(1.0, 0.5, 0.25, 5.0, 0.5); });
        op.stop_and_disable("ENABLE");
        app.stop_recording();
        serial_log = newest_run_log();
        serial.ticks = app.ticks();
        serial.flushes = app.flushes();
        serial_targets = serial_driver->driver().motion_target_count() - serial_targets_before;
        serial_requests = serial_driver->requests(16);
    }
    delete window;
    config.reset();
    quit_housekeeping = true;
    housekeeping.join();
    can_driver->stop();
    serial_driver->stop();

    if (std::getenv("BENCH_SLOW"))
        for (const auto& l : app.slow_) std::printf("slow: %s\n", l.c_str());
    // ---- figures ----
    std::printf("\nbench_pipeline: %d s per phase; process RSS before the main window %.1f MiB\n", seconds,
                rss_process_start);

    // CAN
    if (run_can) {
        const PhaseFigures& p = can;
        const auto rows = read_run_log(can_log);
        std::vector<int> seen(tap.replies.load(), 0);
        std::size_t real = 0, target = 0, foreign = 0, out_of_order = 0;
        int64_t last = -1;
        std::vector<double> handover_ms, drawn_ms;
        for (const Row& r : rows) {
            if (r.target) {
                ++target;
                continue;
            }
            ++real;
            const int64_t n = CanTap::sequence_of(r.velocity);
            if (n < 0 || n >= static_cast<int64_t>(seen.size())) {
                ++foreign;
                continue;
            }
            if (n < last) ++out_of_order;
            last = n;
            ++seen[n];
            const int64_t h = handover_ns(p.flushes, r.offset);
            if (h > 0 && seen[n] == 1) {
                handover_ms.push_back((h - tap.arrival_ns[n]) / 1e6);
                const int64_t d = drawn_ns(p.ticks, h);
                if (d > 0) drawn_ms.push_back((d - tap.arrival_ns[n]) / 1e6);
            }
        }
        std::size_t lost = 0, duplicated = 0;
        for (int c : seen) {
            if (c == 0) ++lost;
            if (c > 1) duplicated += c - 1;
        }
        const uint32_t on_bus = tap.targets_on_bus.load();
        std::printf("\n[%s] %.1f s, run log %s\n", p.name.c_str(), p.seconds, can_log.c_str());
        std::printf(
            "  targets out: %zu published to the plot/log, %u on the bus (incl. the final all-zero one), %.0f/s\n",
            target, on_bus, target / p.seconds);
        std::printf("  replies in: %u sent by the driver, %zu logged, %.0f/s\n", tap.replies.load(), real,
                    real / p.seconds);
        std::printf("  samples lost: in %zu, out %lld; duplicated: in %zu; out of order %zu; unknown %zu\n", lost,
                    static_cast<long long>(on_bus) - 1 - static_cast<long long>(target), duplicated, out_of_order,
                    foreign);
        std::printf(
            "  GUI thread busy: %.1f%% (its CPU time over wall time); %.1f%% of wall time inside event handlers\n",
            p.gui_cpu_share * 100, p.gui_handler_share * 100);
        print_tick_figures(p);
        print_delays("reply on the bus", handover_ms, drawn_ms);
        std::printf(
            "  RSS: %.1f MiB before streaming, %.1f at start, %.1f after %d s, %.1f at end: growth %.2f MiB "
            "(%.2f after the plot window filled)\n",
            p.rss_before, p.rss_start, p.rss_settled, std::min(5, seconds), p.rss_end, p.rss_end - p.rss_start,
            p.rss_end - p.rss_settled);
    }

    // serial
    if (run_serial) {
        const PhaseFigures& p = serial;
        const auto rows = read_run_log(serial_log);
        std::vector<const Row*> real;
        std::size_t target = 0;
        for (const Row& r : rows) (r.target ? (void)++target : real.push_back(&r));
        std::vector<double> handover_ms, drawn_ms;
        // The i-th reply answers the i-th target; it leaves the driver when the target arrives.
        for (std::size_t i = 0; i < real.size() && i < serial_requests.size(); ++i) {
            const int64_t h = handover_ns(p.flushes, real[i]->offset);
            const int64_t arrival =
                std::chrono::duration_cast<std::chrono::nanoseconds>(serial_requests[i].at.time_since_epoch()).count();
            if (h > 0) {
                handover_ms.push_back((h - arrival) / 1e6);
                const int64_t d = drawn_ns(p.ticks, h);
                if (d > 0) drawn_ms.push_back((d - arrival) / 1e6);
            }
        }
        std::printf("\n[%s] %.1f s, run log %s\n", p.name.c_str(), p.seconds, serial_log.c_str());
        std::printf("  targets out: %zu published, %d received by the driver (incl. the final all-zero one), %.0f/s\n",
                    target, serial_targets, target / p.seconds);
        std::printf("  replies in: %d sent by the driver, %zu logged, %.0f/s\n", serial_targets, real.size(),
                    real.size() / p.seconds);
        const long long in_diff = static_cast<long long>(serial_targets) - static_cast<long long>(real.size());
        const long long out_diff = static_cast<long long>(serial_targets) - 1 - static_cast<long long>(target);
        std::printf("  samples lost: in %lld, out %lld; duplicated: in %lld, out %lld\n", std::max(0LL, in_diff),
                    std::max(0LL, out_diff), std::max(0LL, -in_diff), std::max(0LL, -out_diff));
        std::printf(
            "  GUI thread busy: %.1f%% (its CPU time over wall time); %.1f%% of wall time inside event handlers\n",
            p.gui_cpu_share * 100, p.gui_handler_share * 100);
        print_tick_figures(p);
        print_delays("reply written", handover_ms, drawn_ms);
        std::printf(
            "  RSS: %.1f MiB at start, %.1f after %d s, %.1f at end: growth %.2f MiB (%.2f after the plot "
            "window filled)%s\n",
            p.rss_start, p.rss_settled, std::min(5, seconds), p.rss_end, p.rss_end - p.rss_start,
            p.rss_end - p.rss_settled,
            forget_serial ? ""
                          : "; includes the simulated driver's record of every request "
                            "(--forget-serial drops it, and the serial delays with it)");
    }
    return 0;
}
