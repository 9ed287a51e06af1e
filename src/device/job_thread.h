#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// One worker thread that runs posted jobs in order, so that pauses and long writes
// stay off the poster's thread (the GUI thread). The thread starts with the first job.
class JobThread {
public:
    JobThread() = default;
    // Drops the queued jobs, cuts the running job's pauses short and joins.
    ~JobThread();
    JobThread(const JobThread&) = delete;
    JobThread& operator=(const JobThread&) = delete;

    void post(std::function<void()> job);
    // Drops the queued jobs; the running one learns it from pause().
    void cancel();
    // For the running job: waits `duration`; false (at once) when cancel() was
    // called since the job started.
    bool pause(std::chrono::microseconds duration);
    // No job queued or running.
    bool idle();
    // Waits until every posted job has run.
    void drain();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stop_ = false;
    bool running_job_ = false;
    uint64_t cancel_count_ = 0;
    uint64_t cancel_count_at_start_ = 0;
    std::thread thread_;
};
