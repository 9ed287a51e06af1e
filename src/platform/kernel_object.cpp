#include "kernel_object.h"

#include <mutex>
#include <unordered_map>

namespace hv::win {

namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    // Handles are never reused, so a stale value cannot reach a new object.
    uintptr_t next = 0x1000;
};

HandleTable& table() {
    static HandleTable* instance = new HandleTable;  // outlives static destructors
    return *instance;
}

}  // namespace

HANDLE register_handle(std::shared_ptr<KernelObject> object) {
    HandleTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> lookup_handle(HANDLE handle) {
    HandleTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == t.objects.end() ? nullptr : it->second;
}

bool release_handle(HANDLE handle) {
    std::shared_ptr<KernelObject> object;
    {
        HandleTable& t = table();
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == t.objects.end()) return false;
        object = std::move(it->second);
        t.objects.erase(it);
    }
    // Outside the table lock: closing a device waits for its transfers.
    object->on_close();
    return true;
}

std::size_t live_handle_count() {
    HandleTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.objects.size();
}

}  // namespace hv::win
