#include "link_session.h"

void LinkSession::next() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
    }
    wake_.notify_all();
}

bool LinkSession::run_in(unsigned session, std::chrono::milliseconds pause, const std::function<void()>& act) {
    std::unique_lock<std::mutex> lock(mutex_);
    // The wait releases the lock: nothing of the link is held across it.
    wake_.wait_for(lock, pause, [&] { return count_ != session; });
    if (count_ != session) return false;
    act();
    return true;
}
