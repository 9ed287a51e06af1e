#pragma once
// A CAN link that records what is sent, with when, and hands out queued frames.
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "can_frame_maker.h"
#include "can_interface.h"
#include "console_capture.h"

class RecordingCanLink : public CanInterface {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    void scan_devices(std::vector<std::string>& devices) override { devices.push_back("0"); }
    int open(const std::string&) override { return set_open(true), 0; }
    int close() override { return set_open(false), 1; }
    bool is_open() override {
        std::lock_guard<std::mutex> lock(device_mutex_);
        return opened_;
    }
    int send(CanFrame& frame) override {
        std::lock_guard<std::mutex> lock(mutex_);
        sent_.push_back(frame);
        sent_at_.push_back(std::chrono::steady_clock::now());
        return send_result.load();
    }
    int receive(CanFrame& frame) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (incoming_.empty()) return 0;
        frame = incoming_.front();
        incoming_.pop_front();
        ++handed_out_;
        return 1;
    }

    void deliver(const CanFrame& frame) {
        std::lock_guard<std::mutex> lock(mutex_);
        incoming_.push_back(frame);
    }
    size_t handed_out() {
        std::lock_guard<std::mutex> lock(mutex_);
        return handed_out_;
    }
    std::vector<CanFrame> sent() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }
    std::vector<TimePoint> sent_at() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_at_;
    }
    void clear_sent() {
        std::lock_guard<std::mutex> lock(mutex_);
        sent_.clear();
        sent_at_.clear();
    }

    std::atomic<int> send_result{1};

private:
    void set_open(bool open) {
        std::lock_guard<std::mutex> lock(device_mutex_);
        opened_ = open;
    }
    std::mutex mutex_;
    std::deque<CanFrame> incoming_;
    std::vector<CanFrame> sent_;
    std::vector<TimePoint> sent_at_;
    size_t handed_out_ = 0;
};
