#include "win_api.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "event_object.h"
#include "win_usb.h"

namespace hv::win {

namespace {

thread_local uint32_t t_last_error = ERROR_SUCCESS;

std::mutex& openers_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::vector<FileOpener>& openers() {
    static auto* list = new std::vector<FileOpener>;
    return *list;
}

int hex_value(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text[pos]; false on a non-digit.
bool read_hex(const WCHAR* text, std::size_t pos, int digits, uint64_t& out) {
    out = 0;
    for (int i = 0; i < digits; ++i) {
        const int v = hex_value(text[pos + i]);
        if (v < 0) return false;
        out = out << 4 | static_cast<uint64_t>(v);
    }
    return true;
}

}  // namespace

namespace detail {
bool failure_injected(usb::WinCall call) {
    const uint32_t error = usb::usb_backend()->injected_failure(call);
    if (error == 0) return false;
    SetLastError(error);
    return true;
}
}  // namespace detail

uint32_t GetLastError() { return t_last_error; }
void SetLastError(uint32_t error) { t_last_error = error; }

HRESULT CLSIDFromString(const WCHAR* text, GUID* clsid) {
    if (detail::failure_injected(usb::WinCall::CLSIDFromString)) return CO_E_CLASSSTRING;
    if (text == nullptr || clsid == nullptr) return CO_E_CLASSSTRING;
    std::size_t length = 0;
    while (text[length] != 0 && length < 40) ++length;
    // {8-4-4-4-12}
    if (length != 38 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' ||
        text[14] != u'-' || text[19] != u'-' || text[24] != u'-')
        return CO_E_CLASSSTRING;
    GUID g{};
    uint64_t v = 0;
    if (!read_hex(text, 1, 8, v)) return CO_E_CLASSSTRING;
    g.Data1 = static_cast<uint32_t>(v);
    if (!read_hex(text, 10, 4, v)) return CO_E_CLASSSTRING;
    g.Data2 = static_cast<uint16_t>(v);
    if (!read_hex(text, 15, 4, v)) return CO_E_CLASSSTRING;
    g.Data3 = static_cast<uint16_t>(v);
    const std::size_t byte_pos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!read_hex(text, byte_pos[i], 2, v)) return CO_E_CLASSSTRING;
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    *clsid = g;
    return S_OK;
}

void* LocalAlloc(uint32_t flags, std::size_t bytes) {
    if (detail::failure_injected(usb::WinCall::LocalAlloc)) return nullptr;
    void* memory = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1)
                                           : std::malloc(bytes ? bytes : 1);
    if (memory == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}

void* LocalFree(void* memory) {
    std::free(memory);
    return nullptr;
}

HANDLE CreateEventW(void* attributes, bool manual_reset, bool initial_state, const WCHAR* name) {
    (void)attributes;
    if (detail::failure_injected(usb::WinCall::CreateEventW)) return nullptr;
    if (name != nullptr && name[0] != 0) {
        // Named events are not needed here.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return register_handle(std::make_shared<EventObject>(manual_reset, initial_state));
}

bool SetEvent(HANDLE event) {
    auto object = lookup_handle_as<EventObject>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    object->set();
    return true;
}

bool ResetEvent(HANDLE event) {
    auto object = lookup_handle_as<EventObject>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    object->reset();
    return true;
}

uint32_t WaitForMultipleObjects(uint32_t count, const HANDLE* handles, bool wait_all,
                                uint32_t timeout_ms) {
    if (detail::failure_injected(usb::WinCall::WaitForMultipleObjects)) return WAIT_FAILED;
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<EventObject>> events(count);
    for (uint32_t i = 0; i < count; ++i) {
        events[i] = lookup_handle_as<EventObject>(handles[i]);
        if (!events[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    // Index of the satisfied wait, or -1; consumes auto-reset signals.
    auto try_take = [&]() -> int {
        if (wait_all) {
            for (auto& e : events)
                if (!e->signalled_locked()) return -1;
            for (auto& e : events) e->acquire_locked();
            return 0;
        }
        for (uint32_t i = 0; i < count; ++i) {
            if (events[i]->signalled_locked()) {
                events[i]->acquire_locked();
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(EventObject::mutex());
    for (;;) {
        const int taken = try_take();
        if (taken >= 0) return WAIT_OBJECT_0 + static_cast<uint32_t>(taken);
        if (timeout_ms == INFINITE) {
            EventObject::changed().wait(lock);
        } else if (EventObject::changed().wait_until(lock, deadline) == std::cv_status::timeout) {
            const int last = try_take();
            return last >= 0 ? WAIT_OBJECT_0 + static_cast<uint32_t>(last) : WAIT_TIMEOUT;
        }
    }
}

HANDLE CreateFileW(const WCHAR* path, uint32_t desired_access, uint32_t share_mode,
                   void* security_attributes, uint32_t creation_disposition,
                   uint32_t flags_and_attributes, HANDLE template_file) {
    (void)share_mode;
    (void)security_attributes;
    (void)template_file;
    if (detail::failure_injected(usb::WinCall::CreateFileW)) return INVALID_HANDLE_VALUE;
    if (path == nullptr || creation_disposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::string narrow = to_utf8(path);
    if (usb::is_usb_interface_path(narrow)) return detail::create_usb_file(narrow);

    std::vector<FileOpener> list;
    {
        std::lock_guard<std::mutex> lock(openers_mutex());
        list = openers();
    }
    for (const FileOpener& opener : list) {
        uint32_t error = ERROR_FILE_NOT_FOUND;
        std::shared_ptr<KernelObject> object = opener(narrow, desired_access, flags_and_attributes, error);
        if (object) return register_handle(std::move(object));
        if (error != ERROR_FILE_NOT_FOUND) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

bool CloseHandle(HANDLE handle) {
    if (!release_handle(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

void add_file_opener(FileOpener opener) {
    std::lock_guard<std::mutex> lock(openers_mutex());
    openers().push_back(std::move(opener));
}

std::string to_utf8(const WCHAR* text) {
    std::string out;
    if (text == nullptr) return out;
    for (std::size_t i = 0; text[i] != 0; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string to_utf16(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        uint32_t c = b;
        int extra = 0;
        if (b >= 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else if (b >= 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if (b >= 0xC0) {
            c = b & 0x1F;
            extra = 1;
        }
        ++i;
        for (int k = 0; k < extra && i < text.size(); ++k, ++i)
            c = c << 6 | (static_cast<unsigned char>(text[i]) & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace hv::win
