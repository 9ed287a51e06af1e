// Achieved send rate, period jitter and CPU share of the step sender's thread at
// 100 Hz and 1000 Hz, over the serial link (pseudo-terminal to the simulated driver)
// and the CAN link (emulated gs_usb adapter to the simulated driver).
//
//   bench_senders [seconds per run, default 10]
//
// Periods are taken from the sender's own sample stamps (read right after each
// send) and shown as ratios to the nominal interval.
#include <QApplication>
#include <QDir>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "can_codec.h"
#include "can_driver_on_adapter.h"
#include "can_manager.h"
#include "emulated_usb_backend.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "step_sender.h"

namespace {

using Clock = std::chrono::steady_clock;

std::set<int> task_ids() {
    std::set<int> ids;
    for (const QString& name : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        ids.insert(name.toInt());
    return ids;
}

// Nanoseconds the thread has spent on a CPU.
uint64_t thread_cpu_ns(int tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    uint64_t ns = 0;
    in >> ns;
    return ns;
}

struct Result {
    double rate_ratio = 0, median = 0, p99 = 0, max = 0, cpu_share = 0;
    long points = 0, received = 0;
};

Result run(StepSender& sender, uint8_t device, uint32_t rate_hz, double seconds,
           const std::function<int()>& received) {
    QVector<StampedMoitonState> published;
    published.reserve(static_cast<int>(rate_hz * seconds * 1.1));
    auto connection = QObject::connect(&sender, &StepSender::target_motion_state_signal, &sender,
                                       [&](QVector<StampedMoitonState> batch) { published += batch; });
    sender.set_param(device, rate_hz);
    const float target[5] = {0.5f, 1.0f, 0.25f, 10.0f, 0.5f};
    sender.set_target(target);
    const int received_before = received();

    const auto tasks_before = task_ids();
    const auto start = Clock::now();
    sender.set_start_time(start);
    sender.start();
    int tid = -1;
    for (int id : task_ids())
        if (!tasks_before.count(id)) tid = id;
    const uint64_t cpu_start = tid > 0 ? thread_cpu_ns(tid) : 0;
    QTest::qWait(static_cast<int>(seconds * 1000));
    const uint64_t cpu_end = tid > 0 ? thread_cpu_ns(tid) : 0;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    sender.stop();
    QTest::qWait(100);
    QObject::disconnect(connection);

    Result r;
    r.points = published.size();
    r.received = received() - received_before;
    const double nominal = 1.0 / rate_hz;
    std::vector<double> periods;
    for (int i = 1; i < published.size(); ++i)
        periods.push_back((published[i].time - published[i - 1].time) / nominal);
    std::sort(periods.begin(), periods.end());
    if (!periods.empty()) {
        r.median = periods[periods.size() / 2];
        r.p99 = periods[std::min(periods.size() - 1, periods.size() * 99 / 100)];
        r.max = periods.back();
    }
    if (published.size() > 1) {
        const double span = published.back().time - published.front().time;
        r.rate_ratio = (published.size() - 1) / span / rate_hz;
    }
    r.cpu_share = tid > 0 ? (cpu_end - cpu_start) / 1e9 / wall : -1;
    return r;
}

void print(const char* link, uint32_t rate_hz, const Result& r) {
    std::printf("%-6s %5u Hz  points %6ld (link got %6ld)  rate %.3f of nominal  period median %.3f  p99 %.3f  "
                "max %.3f intervals  thread CPU %.1f %%\n",
                link, rate_hz, r.points, r.received, r.rate_ratio, r.median, r.p99, r.max, r.cpu_share * 100.0);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;

    auto backend = EmulatedUsbBackend::install();
    auto adapter = backend->add_adapter();
    auto can_peer = start_can_driver_on(adapter, 0);
    auto serial_peer = std::make_unique<SerialDriverPeer>();
    if (!serial_peer->start()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }


    {
        auto serial_manager = std::make_shared<SerialManager>("en");
        auto can_manager = std::make_shared<CanManager>("en");
        serial_manager->device_open_close_slot(QString::fromStdString(serial_peer->slave_path()));
        QTest::qWait(700);  // the CAN scanner lists the adapter
        can_manager->device_open_close_slot("0");
        if (!serial_manager->serial_interface()->is_open() || !adapter->is_open()) {
            std::fprintf(stderr, "links did not open\n");
            return 1;
        }
        auto serial_count = [&] { return serial_peer->request_count(16); };
        auto can_count = [&] { return can_peer->request_count(CanCommand::kMotionControl); };
        for (uint32_t rate : {100u, 1000u}) {
            // A fresh sender per run: set_param ignores an unchanged link.
            auto serial_sender = std::make_unique<StepSender>(serial_manager, can_manager);
            print("serial", rate, run(*serial_sender, 1, rate, seconds, serial_count));
            serial_sender.reset();  // its final zero goes out now, not into the next run
            auto can_sender = std::make_unique<StepSender>(serial_manager, can_manager);
            print("CAN", rate, run(*can_sender, 2, rate, seconds, can_count));
            can_sender.reset();
            QTest::qWait(100);
        }
    }
    adapter->set_bus_listener(nullptr);
    can_peer.reset();
    serial_peer.reset();
    adapter.reset();
    EmulatedUsbBackend::uninstall();
    return 0;
}
