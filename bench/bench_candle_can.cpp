// Throughput and latency of the USB-CAN adapter link through the platform's
// USB layer, against the emulated gs_usb adapter. Prints figures.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "can_codec.h"
#include "can_sender.h"
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

    // From here on the link is read all the time, as the tool's receive thread does.
    stop = false;
    std::thread receive_thread([&] {
        CanFrame f;
        while (!stop) can.receive(f);
    });

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

    // Silent bus, writes as fast as the link takes them: from each write the adapter
    // did not take to the channel reset that follows it.
    std::vector<double> to_reset;
    for (int round = 0; round < 20; ++round) {
        adapter->set_acknowledged(false);
        const auto timeouts_before = adapter->write_timeouts().size();
        while (can.send(out) == 1) {
        }
        const auto timeouts = adapter->write_timeouts();
        const auto resets = adapter->resets();
        for (std::size_t i = timeouts_before; i < timeouts.size(); ++i) {
            for (const auto& reset : resets) {
                if (reset < timeouts[i]) continue;
                to_reset.push_back(std::chrono::duration<double, std::micro>(reset - timeouts[i]).count());
                break;
            }
        }
        adapter->set_acknowledged(true);
        CanFrame answer;  // a frame from the bus: the link counts the bus as answering again
        answer.id = 0x31;
        adapter->deliver(answer);
        while (can.bus_silent()) std::this_thread::yield();
    }
    std::sort(to_reset.begin(), to_reset.end());
    if (!to_reset.empty())
        std::printf("write not taken -> channel reset: %zu write time-outs, median %.0f us, max %.0f us\n",
                    to_reset.size(), to_reset[to_reset.size() / 2], to_reset.back());

    // The host stops for 40 ms while a write is under way, during a 1 kHz stream:
    // that write times out with room in the adapter and is tried again.
    std::vector<double> stalled_sends;
    int stall_failures = 0;
    const auto stall_resets = adapter->resets().size();
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 50; ++i) {
            if (i == 25) adapter->stall_host_writes(std::chrono::milliseconds(40));
            auto s = Clock::now();
            if (can.send(out) != 1) ++stall_failures;
            if (i == 25) stalled_sends.push_back(std::chrono::duration<double, std::milli>(Clock::now() - s).count());
            std::this_thread::sleep_until(s + std::chrono::milliseconds(1));
        }
    }
    std::sort(stalled_sends.begin(), stalled_sends.end());
    std::printf("host stalled 40 ms in a write, 20 times: %d frames not sent, %zu channel resets; "
                "stalled send median %.1f ms, max %.1f ms\n",
                stall_failures, adapter->resets().size() - stall_resets, stalled_sends[stalled_sends.size() / 2],
                stalled_sends.back());

    // A 1 kHz target stream when the motor loses power, with the receive thread
    // running; meanwhile the operator sends a DISABLE every 10 ms for a second.
    auto link = std::shared_ptr<CanInterface>(&can, [](CanInterface*) {});
    CanSender sender(link);
    sender.set_can_id_slot(1);
    std::atomic<bool> streaming_targets{true};
    std::thread stream([&] {
        const float targets[5] = {1.0f, 0.0f, 0.0f, 20.0f, 1.0f};
        auto next = Clock::now();
        while (streaming_targets) {
            sender.send_motion_command(targets);
            next += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(next);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto resets_before = adapter->resets().size();
    const auto silent_from = Clock::now();
    adapter->set_acknowledged(false);
    std::vector<double> commands;
    CanFrame disable;
    disable.id = make_can_id(CanCommand::kDisableMotor, 1);
    disable.dlc = 0;
    int lost = 0;
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        auto s = Clock::now();
        if (!sender.write(disable)) ++lost;
        commands.push_back(std::chrono::duration<double, std::milli>(Clock::now() - s).count());
    }
    streaming_targets = false;
    stream.join();
    const auto resets = adapter->resets();
    if (resets.size() > resets_before)
        std::printf("1 kHz stream, power lost -> channel reset: %.1f ms (echoes stop)\n",
                    std::chrono::duration<double, std::milli>(resets[resets_before] - silent_from).count());
    std::sort(commands.begin(), commands.end());
    std::printf("operator command on a silent bus: %d of 100 not taken; median %.3f ms, max %.2f ms (goal < 20 ms)\n",
                lost, commands[commands.size() / 2], commands.back());
    adapter->set_acknowledged(true);
    stop = true;
    receive_thread.join();

    can.close();
    EmulatedUsbBackend::uninstall();
    return 0;
}
