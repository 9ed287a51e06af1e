// Run-log throughput with a flush per line, and the plot buffer's append and
// min/max scan over a full 3 s window at 1 kHz. Prints figures.
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "csv_file.h"
#include "pvt_points.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Keeps the console lines of the writers out of the figures.
struct QuietCout {
    QuietCout() : old(std::cout.rdbuf(sink.rdbuf())) {}
    ~QuietCout() { std::cout.rdbuf(old); }
    std::ostringstream sink;
    std::streambuf* old;
};

void bench_run_log(const QString& dir) {
    const int rows = 200000;
    CsvFile log;
    {
        QuietCout quiet;
        log.create(dir.toStdString() + "/bench-log.csv");
    }
    const auto start = Clock::now();
    for (int i = 0; i < rows; ++i) {
        const float s[4] = {i * 0.001f, 0.25f + i * 1e-6f, -2.0f + i * 1e-5f, 0.1f * (i % 7)};
        log.write(s, (i & 1) != 0);
    }
    const double elapsed = seconds_since(start);
    {
        QuietCout quiet;
        log.end();
    }
    std::printf("run log: %d rows, flush per line, in %.3f s = %.0f rows/s (%.2f us/row; needed ~2000 rows/s)\n",
                rows, elapsed, rows / elapsed, elapsed * 1e6 / rows);
}

void bench_pvt_points() {
    PvtPoints points;
    float t = 0.0f;
    auto sample = [&t](float s[4]) {
        s[0] = t;
        s[1] = 0.5f * t;
        s[2] = -t;
        s[3] = 0.01f * t;
        t += 0.001f;
    };
    // Fill the 3 s window at 1 kHz.
    float s[4];
    for (int i = 0; i < 3001; ++i) {
        sample(s);
        points.append(s);
    }
    points.lock();
    const int window = points.time().size();
    points.unlock();

    // Steady state: every append also drops the oldest sample.
    const int appends = 200000;
    auto start = Clock::now();
    for (int i = 0; i < appends; ++i) {
        sample(s);
        points.append(s);
    }
    const double append_us = seconds_since(start) * 1e6 / appends;

    const int scans = 20000;
    float sink = 0.0f;
    start = Clock::now();
    for (int i = 0; i < scans; ++i) {
        const auto lo = points.min_values();
        const auto hi = points.max_values();
        sink += lo[1] + hi[3];
    }
    const double scan_us = seconds_since(start) * 1e6 / scans;

    // One second of the window: 1000 appends per buffer, and per 5 ms tick the
    // min and max of both buffers.
    const double per_second_ms = (1000 * append_us + 200 * 2 * scan_us) / 1000.0;
    std::printf("PvtPoints: window %d samples; append %.3f us; min_values+max_values %.2f us\n",
                window, append_us, scan_us);
    std::printf("PvtPoints: 1 kHz stream with a 5 ms refresh of two buffers costs %.2f ms per second (%.2f%% of one core) [%g]\n",
                per_second_ms, per_second_ms / 10.0, static_cast<double>(sink) * 0.0);
}

}  // namespace

int main() {
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    bench_run_log(dir.path());
    bench_pvt_points();
    return 0;
}
