#pragma once
#include <csignal>
#include <sys/resource.h>

// While it lives, no regular file of this process grows past `bytes`: a write
// beyond fails with EFBIG, as on a full disk, also for root (SIGXFSZ ignored).
// Output redirected to a larger file is lost meanwhile: report failures after it.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        const rlimit lowered{bytes, saved_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_), std::signal(SIGXFSZ, handler_); }

private:
    void (*handler_)(int);
    rlimit saved_{};
};
