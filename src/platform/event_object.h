#pragma once
// Event objects for CreateEventW / WaitForMultipleObjects. All events share one
// lock and one condition variable: a wait can then watch any set of events, and
// the lock also orders the writes of a completing transfer into its OVERLAPPED
// before the waiter sees the event set.
#include <condition_variable>
#include <mutex>

#include "kernel_object.h"

namespace hv::win {

class EventObject : public KernelObject {
public:
    explicit EventObject(bool manual_reset, bool signalled)
        : manual_reset_(manual_reset), signalled_(signalled) {}

    static std::mutex& mutex();
    static std::condition_variable& changed();

    void set();
    void reset();
    // Caller holds mutex().
    bool signalled_locked() const { return signalled_; }
    // Caller holds mutex(); consumes the signal of an auto-reset event.
    void acquire_locked() {
        if (!manual_reset_) signalled_ = false;
    }
    void set_locked(bool on) { signalled_ = on; }

private:
    const bool manual_reset_;
    bool signalled_;
};

}  // namespace hv::win
