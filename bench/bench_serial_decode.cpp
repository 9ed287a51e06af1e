// Serial reply decoding: motion replies through frame_available/read_frame/dispatch,
// the delay of a reply that follows a second of line noise (over a pseudo-terminal),
// and the CPU cost of an idle receive thread.
//
//   bench_serial_decode [idle_seconds=10]
#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <iostream>
#include <sstream>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "pty_peer.h"
#include "qt_serial.h"
#include "serial_frame.h"
#include "serial_frame_buffer.h"
#include "serial_receiver.h"

namespace {

using Clock = std::chrono::steady_clock;

// A link whose receive buffer is filled by the benchmark; frame extraction is the
// same SerialFrameBuffer code the Qt serial link delegates to.
class BufferLink : public SerialInterface {
public:
    BufferLink() : frames_(SerialFrameBuffer::kDefaultHeaderlessLimit, 1 << 30) {}
    int write(const char*, qint64) override { return 0; }
    int read() override { return 0; }
    bool frame_available() override { return frames_.frame_available(); }
    void read_frame(SerialFrame& frame) override { frames_.read_frame(frame); }
    void scan_devices(std::vector<std::string>&) override {}
    int open(const std::string&) override { return 0; }
    int close() override { return 0; }
    bool is_open() override { return true; }
    SerialFrameBuffer frames_;
};

class BenchReceiver : public SerialReceiver {
public:
    using SerialReceiver::SerialReceiver;
    uint32_t motion_count() { return motion_count_.load(); }
    void reset_counts() {
        motion_count_ = 0;
        std::lock_guard<std::mutex> lock(motion_buffer_mutex_);
        motion_buffer_.clear();
    }
};

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

QByteArray motion_stream(int frames) {
    QByteArray bytes;
    bytes.reserve(frames * 23);
    for (int i = 0; i < frames; ++i) {
        const float v[3] = {static_cast<float>(i), 0.5f, -0.25f};
        bytes.append(build_serial_frame(2, v, 3));
    }
    return bytes;
}

// 25,600 bytes of 0xFF (one second of a floating line at 256000 baud), then an enable
// acknowledgement: milliseconds from the moment the acknowledgement is on the line until
// the receive thread has decoded it. `paced` sends the noise at the line's real rate.
double noise_then_reply_ms(bool paced) {
    PtyPeer peer;
    if (!peer.open()) return -1.0;
    std::ostringstream sink;  // the link's and the cutter's log lines
    std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
    double ms = -1.0;
    {
        auto link = std::make_shared<QtSerial>();
        link->open(peer.slave_path());
        SerialReceiver rx(link);
        std::atomic<bool> decoded{false}, written{false};
        Clock::time_point at, sent;
        QObject::connect(&rx, &SerialReceiver::enable_sucess_signal, &rx, [&] {
            at = Clock::now();
            decoded = true;
        }, Qt::DirectConnection);
        rx.start_receive_thread();
        // The line is written from its own thread while this one runs the port's reads.
        std::thread line([&] {
            const int chunk = paced ? 256 : 25600;
            for (int off = 0; off < 25600; off += chunk) {
                peer.write(QByteArray(chunk, '\xFF'));
                if (paced) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            peer.write(build_serial_frame(1));
            sent = Clock::now();
            written = true;
        });
        const auto start = Clock::now();
        while (!decoded && Clock::now() - start < std::chrono::seconds(60))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        line.join();
        rx.stop_receive_thread();
        if (decoded && written) ms = std::chrono::duration<double, std::milli>(at - sent).count();
    }
    std::cout.rdbuf(old);
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double idle_seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    constexpr int kFrames = 500000;
    constexpr int kRounds = 5;
    const QByteArray stream = motion_stream(kFrames);

    auto link = std::make_shared<BufferLink>();
    BenchReceiver rx(link);

    // 1. Decode loop in the calling thread.
    std::vector<double> rates;
    for (int round = 0; round < kRounds; ++round) {
        rx.reset_counts();
        link->frames_.append(stream);
        const auto t0 = Clock::now();
        SerialFrame frame;
        while (link->frame_available()) {
            frame = SerialFrame();
            link->read_frame(frame);
            rx.dispatch_frame(frame);
        }
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        if (rx.motion_count() != static_cast<uint32_t>(kFrames)) {
            std::printf("decode lost frames: %u of %d\n", rx.motion_count(), kFrames);
            return 1;
        }
        rates.push_back(kFrames / s);
    }
    std::sort(rates.begin(), rates.end());
    std::printf("decode loop (frame_available/read_frame/dispatch), 23-byte motion replies:\n");
    std::printf("  median %.3g frames/s, best %.3g frames/s (%d rounds of %d frames; target >= 1e6)\n",
                rates[kRounds / 2], rates.back(), kRounds, kFrames);

    // 2. The same through the receive thread (stop flag checked per frame).
    std::vector<double> thread_rates;
    for (int round = 0; round < kRounds; ++round) {
        rx.reset_counts();
        link->frames_.append(stream);
        const auto t0 = Clock::now();
        rx.start_receive_thread();
        while (rx.motion_count() < static_cast<uint32_t>(kFrames)) std::this_thread::yield();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        rx.stop_receive_thread();
        thread_rates.push_back(kFrames / s);
    }
    std::sort(thread_rates.begin(), thread_rates.end());
    std::printf("receive thread, backlog of %d motion replies:\n  median %.3g frames/s, best %.3g frames/s\n",
                kFrames, thread_rates[kRounds / 2], thread_rates.back());

    // 3. A reply right after a second of noise.
    std::vector<double> burst, paced;
    for (int round = 0; round < kRounds; ++round) {
        burst.push_back(noise_then_reply_ms(false));
        paced.push_back(noise_then_reply_ms(true));
    }
    std::sort(burst.begin(), burst.end());
    std::sort(paced.begin(), paced.end());
    std::printf("25600 bytes of 0xFF noise then an enable acknowledgement over a pty, arrival to decode:\n"
                "  noise at once:         median %.2f ms, worst %.2f ms\n"
                "  noise at 256000 baud:  median %.2f ms, worst %.2f ms (target <= 50 ms)\n",
                burst[kRounds / 2], burst.back(), paced[kRounds / 2], paced.back());

    // 4. Idle receive thread on an open link with nothing arriving.
    rx.reset_counts();
    auto idle_link = std::make_shared<QtSerial>();
    BenchReceiver idle_rx(idle_link);
    const double c0 = cpu_seconds();
    const auto t0 = Clock::now();
    idle_rx.start_receive_thread();
    std::this_thread::sleep_for(std::chrono::duration<double>(idle_seconds));
    idle_rx.stop_receive_thread();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpu_seconds() - c0;
    std::printf("idle receive thread over %.1f s: %.4f s CPU = %.3f%% of one core\n", wall, cpu,
                100.0 * cpu / wall);
    return 0;
}
