#pragma once
// Our own minimal declarations of the Windows types and constants that the
// gs_usb host library works with. Only what the library needs is here; the
// layouts follow the 64-bit Windows ABI where a caller depends on a size.
#include <cstddef>
#include <cstdint>

namespace hv::win {

using HANDLE = void*;
using HDEVINFO = void*;
using WINUSB_INTERFACE_HANDLE = void*;
using HRESULT = int32_t;
using WCHAR = char16_t;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t{0});

// Win32 error codes (GetLastError).
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_BAD_COMMAND = 22;
constexpr uint32_t ERROR_GEN_FAILURE = 31;
constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_SEM_TIMEOUT = 121;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t ERROR_BUSY = 170;
constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;
constexpr uint32_t ERROR_OPERATION_ABORTED = 995;
constexpr uint32_t ERROR_IO_INCOMPLETE = 996;
constexpr uint32_t ERROR_IO_PENDING = 997;
constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr uint32_t ERROR_INVALID_USER_BUFFER = 1784;

constexpr HRESULT S_OK = 0;
constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3u);

// Waits.
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFFu;
constexpr uint32_t INFINITE = 0xFFFFFFFFu;
constexpr uint32_t MAXIMUM_WAIT_OBJECTS = 64;

// CreateFileW.
constexpr uint32_t GENERIC_READ = 0x80000000u;
constexpr uint32_t GENERIC_WRITE = 0x40000000u;
constexpr uint32_t FILE_SHARE_READ = 0x1;
constexpr uint32_t FILE_SHARE_WRITE = 0x2;
constexpr uint32_t OPEN_EXISTING = 3;
constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr uint32_t FILE_FLAG_OVERLAPPED = 0x40000000u;

// LocalAlloc.
constexpr uint32_t LMEM_FIXED = 0x0;
constexpr uint32_t LMEM_ZEROINIT = 0x40;
constexpr uint32_t LPTR = LMEM_FIXED | LMEM_ZEROINIT;

// SetupDiGetClassDevsW.
constexpr uint32_t DIGCF_PRESENT = 0x2;
constexpr uint32_t DIGCF_DEVICEINTERFACE = 0x10;

// WinUSB pipe policies.
constexpr uint32_t SHORT_PACKET_TERMINATE = 0x01;
constexpr uint32_t AUTO_CLEAR_STALL = 0x02;
constexpr uint32_t PIPE_TRANSFER_TIMEOUT = 0x03;
constexpr uint32_t IGNORE_SHORT_PACKETS = 0x04;
constexpr uint32_t ALLOW_PARTIAL_READS = 0x05;
constexpr uint32_t AUTO_FLUSH = 0x06;
constexpr uint32_t RAW_IO = 0x07;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

// State of one asynchronous transfer. Internal holds our completion status
// (kOverlappedPending while it runs, else a Win32 error code), InternalHigh the
// bytes transferred.
struct OVERLAPPED {
    uintptr_t Internal;
    uintptr_t InternalHigh;
    uint32_t Offset;
    uint32_t OffsetHigh;
    HANDLE hEvent;
};
constexpr uintptr_t kOverlappedPending = 0x103;

struct SP_DEVICE_INTERFACE_DATA {
    uint32_t cbSize;
    GUID InterfaceClassGuid;
    uint32_t Flags;
    uintptr_t Reserved;
};
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "interface data is 32 bytes on 64-bit");

struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    uint32_t cbSize;
    WCHAR DevicePath[1];  // grows past the structure, NUL-terminated
};
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8, "detail header is 8 bytes on 64-bit");

struct USB_INTERFACE_DESCRIPTOR {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bNumEndpoints;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    uint8_t iInterface;
};

enum USBD_PIPE_TYPE {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous = 1,
    UsbdPipeTypeBulk = 2,
    UsbdPipeTypeInterrupt = 3,
};

struct WINUSB_PIPE_INFORMATION {
    USBD_PIPE_TYPE PipeType;
    uint8_t PipeId;
    uint16_t MaximumPacketSize;
    uint8_t Interval;
};

struct WINUSB_SETUP_PACKET {
    uint8_t RequestType;
    uint8_t Request;
    uint16_t Value;
    uint16_t Index;
    uint16_t Length;
};

}  // namespace hv::win
