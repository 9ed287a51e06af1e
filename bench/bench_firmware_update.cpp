// How long the window's event loop is away during a firmware update of a 1 MiB
// image through the main window's button, over the emulated gs_usb adapter to the
// simulated driver, and how often the status line shows the share sent. Prints figures.
//
//   bench_firmware_update [full]
//
// The image goes with a 1 ms pause after each chunk (about two and a half minutes;
// "full" adds a run with the product's 2 ms, about five). With no pause at all the
// adapter cannot take the frames as fast and drops some, as a real one would. The
// polls for the driver's answers keep their 100 ms, so a run ends 3 s after the DFU
// start, with the version request.
// The gap is the longest time between two ticks of a 1 ms timer of the GUI thread,
// from the click to the end of the update; the progress figure is the longest time
// between two percentages shown.
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <vector>

#include "can_codec.h"
#include "can_driver_on_adapter.h"
#include "can_manager.h"
#include "config_manager.h"
#include "device_scanner.h"
#include "console_log.h"
#include "emulated_usb_backend.h"
#include "main_window.h"
#include "resources_init.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

bool wait_for(const std::function<bool()>& done, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        QTest::qWait(2);
    }
    return true;
}

// Drops the console lines (three a chunk) while it lives.
class Quiet : std::streambuf {
public:
    Quiet() {
        std::lock_guard<std::mutex> lock(hv::console_mutex());
        std::cout.flush();
        previous_ = std::cout.rdbuf(this);
    }
    ~Quiet() override {
        std::lock_guard<std::mutex> lock(hv::console_mutex());
        std::cout.rdbuf(previous_);
    }

private:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    std::streambuf* previous_ = nullptr;
};

struct Figures {
    bool success = false;
    int chunks = 0;
    double seconds = 0, max_gap_ms = 0, p999_gap_ms = 0, max_progress_ms = 0;
    int progress_shown = 0;
};

Figures run(MainWindow& window, CanDriverPeer& peer, const QString& path, int chunk_pause_ms) {
    window.can_manager()->set_intervals(chunk_pause_ms, 100, 7000);
    peer.clear_requests();
    Figures f;
    QObject::connect(window.can_manager(), &CanManager::update_firmware_success_signal, &window,
                     [&] { f.success = true; });

    // Answers the file dialog with `path` and confirms the box.
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* chooser = qobject_cast<QFileDialog*>(modal)) {
            chooser->selectFile(path);
            chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(path);
            QMetaObject::invokeMethod(chooser, "accept");
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            box->button(QMessageBox::Ok)->click();
        }
    });
    answer.start(10);

    std::vector<double> gaps;
    const auto t0 = Clock::now();
    Clock::time_point last_tick = t0, last_progress{};
    auto* status = window.findChild<QLabel*>(QStringLiteral("status_label"));
    QString last_text;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        gaps.push_back(ms_between(last_tick, now));
        last_tick = now;
        const QString text = status->text();
        if (text == last_text || !text.endsWith(QLatin1Char('%'))) return;
        last_text = text;
        if (f.progress_shown++ > 0) f.max_progress_ms = std::max(f.max_progress_ms, ms_between(last_progress, now));
        last_progress = now;
    });

    auto* button = window.findChild<QPushButton*>(QStringLiteral("update_firmware_pushButton"));
    last_tick = t0;
    tick.start(1);
    button->click();
    wait_for([&] { return !window.can_manager()->firmware_updating(); }, 30 * 60 * 1000);
    tick.stop();
    f.seconds = ms_between(t0, Clock::now()) / 1000.0;
    f.chunks = peer.request_count(CanCommand::kWriteAppBack);
    std::sort(gaps.begin(), gaps.end());
    if (!gaps.empty()) {
        f.max_gap_ms = gaps.back();
        f.p999_gap_ms = gaps[gaps.size() * 999 / 1000];
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool full = argc > 1 && std::strcmp(argv[1], "full") == 0;
    hv_init_resources();
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());

    auto backend = EmulatedUsbBackend::install();
    auto adapter = backend->add_adapter();
    auto peer = start_can_driver_on(adapter, 0);  // the id the link starts with

    std::printf("%-26s %8s %8s %10s %10s %12s %14s\n", "image", "result", "chunks", "seconds", "max gap",
                "p99.9 gap", "progress max");
    {
        auto config = std::make_shared<ConfigManager>("./config.json");
        config->load();
        config->document_["lan"] = "en";
        MainWindow window(config);
        window.show();
        // The adapter is known by name once the first scan listed it.
        bool listed = false;
        QObject::connect(window.can_manager()->device_scanner(), &DeviceScanner::number_changed_signal, &window,
                         [&](std::vector<std::string>& names) { listed = listed || !names.empty(); });
        wait_for([&] { return listed; }, 5000);
        window.can_manager()->device_open_close_slot("0");
        auto* button = window.findChild<QPushButton*>(QStringLiteral("update_firmware_pushButton"));
        if (!wait_for([&] { return button->isEnabled(); }, 5000)) {
            std::printf("CAN link not opened\n");
            return 1;
        }
        struct Run {
            const char* name;
            int size, pause_ms;
        };
        std::vector<Run> runs = {{"1 MiB, 1 ms chunk pause", 1024 * 1024, 1}};
        if (full) runs.push_back({"1 MiB, 2 ms chunk pause", 1024 * 1024, 2});
        for (const Run& r : runs) {
            const QString path = dir.filePath(QStringLiteral("fw%1.bin").arg(r.size));
            std::vector<char> image(size_t(r.size));
            for (size_t i = 0; i < image.size(); ++i) image[i] = char(i * 131 + 7);
            std::ofstream(path.toStdString(), std::ios::binary).write(image.data(), std::streamsize(image.size()));
            Figures f;
            {
                Quiet quiet;
                f = run(window, *peer, path, r.pause_ms);
            }
            std::printf("%-26s %8s %8d %10.1f %8.1f ms %9.1f ms %11.0f ms\n", r.name, f.success ? "updated" : "FAILED",
                        f.chunks, f.seconds, f.max_gap_ms, f.p999_gap_ms, f.max_progress_ms);
            std::fflush(stdout);
        }
        window.can_manager()->device_open_close_slot("0");
    }
    adapter->set_bus_listener(nullptr);
    peer->stop();
    EmulatedUsbBackend::uninstall();
    return 0;
}
