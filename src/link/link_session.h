#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

// Counts the opens and closes of one link, so that work started on a link learns
// that its link has gone: a judgement armed under another count is stale, and a
// parameter write stops before its next frame.
class LinkSession {
public:
    // The count now; lock-free (the GUI thread reads it to arm its work).
    unsigned current() const { return count_.load(); }
    // The link opens or closes: work of the earlier count stops, its waits end now.
    void next();
    // Waits `pause` (less once `session` ends), then runs `act` if `session` is
    // still the current one, under the lock that next() takes: what `act` sends
    // cannot reach a later link. False, with nothing run, when `session` ended.
    bool run_in(unsigned session, std::chrono::milliseconds pause, const std::function<void()>& act);

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<unsigned> count_{0};  // changed under mutex_
};
