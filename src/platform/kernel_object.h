#pragma once
// The objects behind HANDLE values. A handle is a number in a table, never a
// pointer, so a stale or closed handle is refused instead of dereferenced, and
// a call in progress keeps its object alive while another thread closes it.
#include <cstddef>
#include <memory>

#include "win_types.h"

namespace hv::win {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Runs once when the last handle to the object is closed.
    virtual void on_close() {}
};

// Registers the object and returns its new handle (never null or INVALID_HANDLE_VALUE).
HANDLE register_handle(std::shared_ptr<KernelObject> object);

// The object behind the handle, or null for an unknown or closed handle.
std::shared_ptr<KernelObject> lookup_handle(HANDLE handle);

template <typename T>
std::shared_ptr<T> lookup_handle_as(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(lookup_handle(handle));
}

// Removes the handle from the table and runs the object's on_close; false for an unknown handle.
bool release_handle(HANDLE handle);

// Number of handles open in this process; lets tests prove nothing leaks.
std::size_t live_handle_count();

}  // namespace hv::win
