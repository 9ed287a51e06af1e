// CAN codec and reply-parser throughput. Prints figures; the parser target is at least
// 1,000,000 frames/s (the bus carries at most about 9,000).
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "can_codec.h"
#include "can_interface.h"
#include "can_receiver.h"

namespace {

class NullLink : public CanInterface {
public:
    void scan_devices(std::vector<std::string>&) override {}
    int open(const std::string&) override { return 1; }
    int close() override { return 0; }
    bool is_open() override { return false; }
    int send(CanFrame&) override { return 1; }
    int receive(CanFrame&) override { return 0; }
};

// Empties the motion buffer between batches, as the 20 ms flush would.
class BenchReceiver : public CanReceiver {
public:
    using CanReceiver::CanReceiver;
    void drain() {
        std::lock_guard<std::mutex> lock(motion_buffer_mutex_);
        motion_buffer_.clear();
    }
};

volatile float g_sink = 0.0f;

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);

    // pack + unpack per call.
    {
        const int n = 5000000;
        CanFrame frame;
        float in[5] = {0.0f, 1.0f, -2.0f, 10.0f, 1.0f};
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < n; ++i) {
            in[0] = static_cast<float>(i % 8000) * 0.01f - 40.0f;
            pack_motion_command(frame.data, in);
            const CanMotionState s = unpack_motion_state(frame);
            g_sink = g_sink + s.position;
        }
        const double dt = seconds(std::chrono::steady_clock::now() - t0);
        std::printf("pack_motion_command + unpack_motion_state: %.1f ns per call (%d calls)\n",
                    dt * 1e9 / n, n);
    }

    auto run_parser = [](const char* label, bool connected) {
        BenchReceiver receiver(std::make_shared<NullLink>());
        if (connected) {
            QObject::connect(&receiver, &CanReceiver::motor_common_state_signal, &receiver,
                             [](CommonState s) { g_sink = g_sink + s.motor_temp; },
                             Qt::DirectConnection);
            QObject::connect(&receiver, &CanReceiver::error_frame_signal, &receiver,
                             [](uint16_t e) { g_sink = g_sink + e; }, Qt::DirectConnection);
        }
        // Mostly motion replies with a status-word reply now and then.
        std::vector<CanFrame> frames(1024);
        for (size_t i = 0; i < frames.size(); ++i) {
            CanFrame& f = frames[i];
            const uint8_t cmd = (i % 64 == 63) ? 23 : 4;
            f.id = (uint32_t{cmd} << 5) | 0x10 | 1;
            f.dlc = 8;
            for (int b = 0; b < 8; ++b) f.data[b] = static_cast<uint8_t>(i * 7 + b * 31);
        }
        receiver.set_start_time(std::chrono::steady_clock::now());
        const int batches = 2000;
        const auto t0 = std::chrono::steady_clock::now();
        for (int b = 0; b < batches; ++b) {
            for (const CanFrame& f : frames) receiver.parse_frame(f);
            receiver.drain();
        }
        const double dt = seconds(std::chrono::steady_clock::now() - t0);
        const double total = static_cast<double>(batches) * frames.size();
        std::printf("parse_frame (%s): %.0f frames/s, %.1f ns per frame (target >= 1000000)\n", label,
                    total / dt, dt * 1e9 / total);
    };
    run_parser("no listeners", false);
    run_parser("direct listeners", true);
    return 0;
}
