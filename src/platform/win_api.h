#pragma once
// Stand-ins for the general Win32 calls the gs_usb host library makes: last
// error, GUID parsing, local memory, events and waits, files and handles. They
// behave as the library expects of Windows; USB device paths given to
// CreateFileW reach the USB backend (usb_backend.h).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kernel_object.h"
#include "usb_backend.h"
#include "win_types.h"

namespace hv::win {

// Per thread, as on Windows.
uint32_t GetLastError();
void SetLastError(uint32_t error);

// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"; CO_E_CLASSSTRING when malformed.
HRESULT CLSIDFromString(const WCHAR* text, GUID* clsid);

// Null with ERROR_NOT_ENOUGH_MEMORY on failure; LMEM_ZEROINIT zeroes the block.
void* LocalAlloc(uint32_t flags, std::size_t bytes);
// Null on success.
void* LocalFree(void* memory);

// Unnamed events only; null with the error on failure.
HANDLE CreateEventW(void* attributes, bool manual_reset, bool initial_state, const WCHAR* name);
bool SetEvent(HANDLE event);
bool ResetEvent(HANDLE event);

// WAIT_OBJECT_0 + index of the lowest signalled event, WAIT_TIMEOUT, or
// WAIT_FAILED (ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER) for a bad handle or count.
uint32_t WaitForMultipleObjects(uint32_t count, const HANDLE* handles, bool wait_all,
                                uint32_t timeout_ms);

// USB device-interface paths open the interface through the USB backend, one
// handle at a time (a second open fails with ERROR_BUSY). Other paths
// go to the openers added with add_file_opener. INVALID_HANDLE_VALUE on failure.
HANDLE CreateFileW(const WCHAR* path, uint32_t desired_access, uint32_t share_mode,
                   void* security_attributes, uint32_t creation_disposition,
                   uint32_t flags_and_attributes, HANDLE template_file);

// Closes any handle of this layer; a device handle first ends its transfers.
bool CloseHandle(HANDLE handle);

// Lets other kinds of files (serial ports) be opened by CreateFileW. An opener
// returns null and leaves `error` at ERROR_FILE_NOT_FOUND for paths it does not handle.
using FileOpener = std::function<std::shared_ptr<KernelObject>(
    const std::string& path, uint32_t desired_access, uint32_t flags_and_attributes,
    uint32_t& error)>;
void add_file_opener(FileOpener opener);

// UTF-16 <-> UTF-8 for paths.
std::string to_utf8(const WCHAR* text);
std::u16string to_utf16(const std::string& text);

namespace detail {
// True, with the last error set, when the backend asks the call to fail.
bool failure_injected(usb::WinCall call);
}  // namespace detail

}  // namespace hv::win
