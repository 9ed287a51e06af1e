#include "event_object.h"

namespace hv::win {

std::mutex& EventObject::mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::condition_variable& EventObject::changed() {
    static std::condition_variable* cv = new std::condition_variable;
    return *cv;
}

void EventObject::set() {
    {
        std::lock_guard<std::mutex> lock(mutex());
        signalled_ = true;
    }
    changed().notify_all();
}

void EventObject::reset() {
    std::lock_guard<std::mutex> lock(mutex());
    signalled_ = false;
}

}  // namespace hv::win
