#pragma once
#include <csignal>
#include <sys/resource.h>

// While it lives, no regular file this process writes grows past `bytes`: a
// write beyond fails with EFBIG ("File too large"), as a write to a full disk
// fails, also for root. SIGXFSZ, which would end the process, is ignored meanwhile.
// Output redirected to a larger file is lost meanwhile: report failures after it.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        held_ = getrlimit(RLIMIT_FSIZE, &saved_) == 0;
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        held_ = held_ && setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() {
        if (held_) setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool held() const { return held_; }

private:
    rlimit saved_{};
    void (*previous_handler_)(int) = SIG_DFL;
    bool held_ = false;
};
