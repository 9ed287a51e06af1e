#include "job_thread.h"

JobThread::~JobThread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        jobs_.clear();
        ++cancel_count_;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void JobThread::post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
        if (!thread_.joinable()) thread_ = std::thread(&JobThread::run, this);
    }
    wake_.notify_all();
}

void JobThread::cancel() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.clear();
        ++cancel_count_;
    }
    wake_.notify_all();
}

bool JobThread::pause(std::chrono::microseconds duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t at_start = cancel_count_at_start_;
    return !wake_.wait_for(lock, duration, [&] { return cancel_count_ != at_start; });
}

bool JobThread::idle() {
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_.empty() && !running_job_;
}

void JobThread::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [&] { return jobs_.empty() && !running_job_; });
}

void JobThread::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
        if (stop_) return;
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        running_job_ = true;
        cancel_count_at_start_ = cancel_count_;
        lock.unlock();
        job();
        lock.lock();
        running_job_ = false;
        wake_.notify_all();
    }
}
