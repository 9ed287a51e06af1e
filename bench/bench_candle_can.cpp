// Throughput and latency of the USB-CAN adapter link through the platform's
// USB layer, against the emulated gs_usb adapter. Prints figures.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "candle_can.h"
#include "emulated_usb_backend.h"

using Clock = std::chrono::steady_clock;

int main() {
    auto backend = EmulatedUsbBackend::install();
    auto adapter = backend->add_adapter();
    CandleCan can;
    std::vector<std::string> names;
    can.scan_devices(names);
    if (names.empty() || can.open(names[0]) != 0) {
        std::printf("adapter not opened\n");
        return 1;
    }

    // Host to bus: sends as fast as the link takes them, the echoes read back.
    constexpr int kFrames = 50000;
    std::atomic<int> received{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        CanFrame f;
        while (!stop)
            if (can.receive(f) == 1) ++received;
    });
    auto t0 = Clock::now();
    CanFrame out;
    out.id = 0x81;
    out.dlc = 8;
    for (int i = 0; i < kFrames; ++i) can.send(out);
    while (received < kFrames && Clock::now() - t0 < std::chrono::seconds(20))
        std::this_thread::yield();
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("send + echo:   %d frames in %.3f s = %.0f frames/s\n", received.load(), seconds,
                received / seconds);

    // Bus to host.
    received = 0;
    t0 = Clock::now();
    CanFrame in;
    in.id = 0x92;
    in.dlc = 8;
    for (int i = 0; i < kFrames; ++i) {
        adapter->deliver(in);
        if (i % 1000 == 999)
            while (received < i - 5000) std::this_thread::yield();  // keep the adapter queue bounded
    }
    while (received < kFrames && Clock::now() - t0 < std::chrono::seconds(20))
        std::this_thread::yield();
    seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("bus -> host:   %d frames in %.3f s = %.0f frames/s\n", received.load(), seconds,
                received / seconds);
    stop = true;
    reader.join();

    // Round trip of one frame: send, then read its echo.
    std::vector<double> micros;
    for (int i = 0; i < 2000; ++i) {
        CanFrame echo;
        auto s = Clock::now();
        can.send(out);
        while (can.receive(echo) != 1) {
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
    }
    std::sort(micros.begin(), micros.end());
    std::printf("send -> echo:  median %.1f us, p99 %.1f us\n", micros[micros.size() / 2],
                micros[micros.size() * 99 / 100]);

    // Read time-out with no traffic.
    std::vector<double> idle;
    for (int i = 0; i < 200; ++i) {
        CanFrame none;
        auto s = Clock::now();
        can.receive(none);
        idle.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
    }
    std::sort(idle.begin(), idle.end());
    std::printf("idle receive:  median %.0f us (1 ms time-out)\n", idle[idle.size() / 2]);

    // No node acknowledges: a 1 kHz stream of sends, and another thread asking
    // is_open() as the GUI's status poll and the scanner do. Neither may wait long.
    adapter->set_acknowledged(false);
    std::vector<double> sends, polls;
    std::atomic<bool> streaming{true};
    std::thread poller([&] {
        while (streaming) {
            auto s = Clock::now();
            can.is_open();
            polls.push_back(std::chrono::duration<double, std::milli>(Clock::now() - s).count());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int failed = 0;
    for (int i = 0; i < 1000; ++i) {
        auto s = Clock::now();
        if (can.send(out) != 1) ++failed;
        sends.push_back(std::chrono::duration<double, std::milli>(Clock::now() - s).count());
        std::this_thread::sleep_until(s + std::chrono::milliseconds(1));
    }
    streaming = false;
    poller.join();
    std::sort(sends.begin(), sends.end());
    std::sort(polls.begin(), polls.end());
    std::printf("no-ACK send:   %d of 1000 failed; median %.2f ms, p99 %.2f ms, max %.2f ms\n", failed,
                sends[sends.size() / 2], sends[sends.size() * 99 / 100], sends.back());
    std::printf("no-ACK is_open wait while streaming: median %.3f ms, max %.2f ms\n", polls[polls.size() / 2],
                polls.back());
    adapter->set_acknowledged(true);

    can.close();
    EmulatedUsbBackend::uninstall();
    return 0;
}
