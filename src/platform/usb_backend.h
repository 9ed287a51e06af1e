#pragma once
// The seam under the Windows-style USB calls (win_usb.h, setup_api.h): every
// SetupAPI enumeration and WinUSB transfer ends in the UsbBackend selected with
// set_usb_backend(). By default that is the libusb backend, which drives real
// adapters; tests install an emulated adapter instead. The library above never
// knows which one runs.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "win_types.h"

namespace hv::usb {

// The layer's calls, for UsbBackend::injected_failure.
enum class WinCall {
    CLSIDFromString,
    SetupDiGetClassDevsW,
    SetupDiEnumDeviceInterfaces,
    SetupDiGetDeviceInterfaceDetailW,
    LocalAlloc,
    CreateFileW,
    CreateEventW,
    WaitForMultipleObjects,
    WinUsb_Initialize,
    WinUsb_QueryInterfaceSettings,
    WinUsb_QueryPipe,
    WinUsb_SetPipePolicy,
    WinUsb_ControlTransfer,
    WinUsb_WritePipe,
    WinUsb_ReadPipe,
    WinUsb_GetOverlappedResult,
};

enum class UsbStatus {
    ok,
    not_found,   // no such device
    busy,        // interface claimed by someone else
    no_permission,  // the user may not open the device
    no_device,   // device went away
    stall,       // request refused by the device
    timed_out,
    cancelled,
    io_error,
    invalid,     // bad argument or closed connection
    kernel_held, // a kernel driver holds the interface (only while probing)
    kernel_in_use,  // a kernel driver holds it and its network interface is up
};

// The Win32 error code that stands for a status.
uint32_t win32_error(UsbStatus status);

struct EndpointInfo {
    uint8_t address = 0;     // bit 7 set: IN
    uint8_t attributes = 0;  // bits 1-0: 0 control, 1 isochronous, 2 bulk, 3 interrupt
    uint16_t max_packet_size = 0;
    uint8_t interval = 0;
};

struct InterfaceInfo {
    uint8_t number = 0;
    uint8_t alternate_setting = 0;
    uint8_t interface_class = 0;
    uint8_t interface_subclass = 0;
    uint8_t interface_protocol = 0;
    std::vector<EndpointInfo> endpoints;
};

using ReadDone = std::function<void(UsbStatus status, std::size_t transferred)>;

// One claimed interface of one device.
class UsbConnection {
public:
    virtual ~UsbConnection() = default;
    virtual InterfaceInfo interface_info() = 0;
    // Synchronous; `data` holds `length` bytes in the direction of bit 7 of request_type.
    virtual UsbStatus control_transfer(uint8_t request_type, uint8_t request, uint16_t value,
                                       uint16_t index, uint8_t* data, uint16_t length,
                                       std::size_t& transferred, unsigned timeout_ms) = 0;
    virtual UsbStatus bulk_write(uint8_t endpoint, const uint8_t* data, std::size_t length,
                                 std::size_t& transferred, unsigned timeout_ms) = 0;
    // Queues one read into `buffer`. When it returns ok, `done` runs exactly once
    // later on another thread; `buffer` must stay valid until then.
    virtual UsbStatus submit_read(uint8_t endpoint, uint8_t* buffer, std::size_t length,
                                  ReadDone done) = 0;
    // Ends every queued read (their `done` reports cancelled); on return no `done`
    // of an earlier read runs any more.
    virtual void cancel_reads() = 0;
    // Cancels the reads and releases the interface; later calls fail. Idempotent.
    virtual void close() = 0;
};

class UsbBackend {
public:
    virtual ~UsbBackend() = default;
    // Device-interface paths of the gs_usb interfaces attached now.
    virtual std::vector<std::string> list_gs_usb_interfaces() = 0;
    // Opens and claims the interface of `path`; null with the reason in `status`.
    virtual std::shared_ptr<UsbConnection> open_interface(const std::string& path,
                                                          UsbStatus& status) = 0;
    // The name of the kernel's CAN network interface of the adapter at `path`
    // (e.g. "can0") when that interface is up, else empty. Such an adapter is
    // in use: opens refuse it with kernel_in_use.
    virtual std::string kernel_can_interface_up(const std::string& path) {
        (void)path;
        return {};
    }
    // Asked at the start of every layer call: a non-zero Win32 error code makes
    // that call fail with it. Real backends never fail calls this way.
    virtual uint32_t injected_failure(WinCall call) {
        (void)call;
        return 0;
    }
};

// While a ProbeScope lives on a thread, its opens only look at an adapter: an
// interface a kernel driver holds is reported as kernel_held and left with the
// kernel. Other opens take the interface from a kernel driver for as long as
// it stays open, and the driver gets it back when it is closed. Neither takes
// an adapter whose kernel network interface is up (kernel_in_use).
class ProbeScope {
public:
    ProbeScope();
    ~ProbeScope();
    ProbeScope(const ProbeScope&) = delete;
    ProbeScope& operator=(const ProbeScope&) = delete;
};
bool probing();

// Selects the backend behind the layer; null restores the libusb backend.
// Connections already open keep the backend they came from.
void set_usb_backend(std::shared_ptr<UsbBackend> backend);
std::shared_ptr<UsbBackend> usb_backend();

// The gs_usb device-interface class {c15b4308-04d3-11e6-b3ea-6057189e6443}.
extern const win::GUID kGsUsbInterfaceGuid;

// Vendor/product ids of adapters that speak gs_usb.
bool is_gs_usb_id(uint16_t vendor_id, uint16_t product_id);

// A vendor-specific interface with exactly one bulk IN and one bulk OUT endpoint.
bool is_gs_usb_interface(const InterfaceInfo& info);

// A device-interface path in the Windows style, e.g.
// \\?\usb#vid_1d50&pid_606f&mi_00#1-3.2&7#{c15b4308-04d3-11e6-b3ea-6057189e6443}
std::string make_interface_path(uint16_t vendor_id, uint16_t product_id,
                                uint8_t interface_number, const std::string& location);

// True for paths the USB layer handles (CreateFileW routes them to the backend).
bool is_usb_interface_path(const std::string& path);

}  // namespace hv::usb
