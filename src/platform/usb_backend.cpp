#include "usb_backend.h"

#include <cstdio>
#include <mutex>

#include "libusb_backend.h"

namespace hv::usb {

namespace {

std::mutex& backend_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::shared_ptr<UsbBackend>& selected_backend() {
    static auto* backend = new std::shared_ptr<UsbBackend>;
    return *backend;
}

}  // namespace

const win::GUID kGsUsbInterfaceGuid = {
    0xc15b4308, 0x04d3, 0x11e6, {0xb3, 0xea, 0x60, 0x57, 0x18, 0x9e, 0x64, 0x43}};

uint32_t win32_error(UsbStatus status) {
    switch (status) {
        case UsbStatus::ok: return win::ERROR_SUCCESS;
        case UsbStatus::not_found: return win::ERROR_FILE_NOT_FOUND;
        case UsbStatus::busy: return win::ERROR_BUSY;
        case UsbStatus::no_permission: return win::ERROR_ACCESS_DENIED;
        case UsbStatus::kernel_in_use: return win::ERROR_BUSY;
        case UsbStatus::no_device: return win::ERROR_DEVICE_NOT_CONNECTED;
        case UsbStatus::stall: return win::ERROR_GEN_FAILURE;
        case UsbStatus::timed_out: return win::ERROR_SEM_TIMEOUT;
        case UsbStatus::cancelled: return win::ERROR_OPERATION_ABORTED;
        case UsbStatus::io_error: return win::ERROR_GEN_FAILURE;
        case UsbStatus::invalid: return win::ERROR_INVALID_HANDLE;
        case UsbStatus::kernel_held: return win::ERROR_SHARING_VIOLATION;
    }
    return win::ERROR_GEN_FAILURE;
}

namespace {
thread_local int probe_depth = 0;
}  // namespace

ProbeScope::ProbeScope() { ++probe_depth; }
ProbeScope::~ProbeScope() { --probe_depth; }
bool probing() { return probe_depth > 0; }

void set_usb_backend(std::shared_ptr<UsbBackend> backend) {
    std::lock_guard<std::mutex> lock(backend_mutex());
    selected_backend() = std::move(backend);
}

std::shared_ptr<UsbBackend> usb_backend() {
    std::lock_guard<std::mutex> lock(backend_mutex());
    if (selected_backend()) return selected_backend();
    return LibUsbBackend::instance();
}

bool is_gs_usb_id(uint16_t vendor_id, uint16_t product_id) {
    struct Id {
        uint16_t vendor, product;
    };
    static const Id known[] = {
        {0x1d50, 0x606f},  // candleLight, CANable with candleLight firmware
        {0x1209, 0x2323},  // candleLight (pid.codes)
        {0x1cd2, 0x606f},  // CES CANext FD
        {0x16d0, 0x10b8},  // ABE CANdebugger FD
        {0x16d0, 0x0f30},  // Xylanta SAINT3
    };
    for (const Id& id : known)
        if (id.vendor == vendor_id && id.product == product_id) return true;
    return false;
}

bool is_gs_usb_interface(const InterfaceInfo& info) {
    if (info.interface_class != 0xFF || info.endpoints.size() != 2) return false;
    int in = 0, out = 0;
    for (const EndpointInfo& ep : info.endpoints) {
        if ((ep.attributes & 0x03) != 2) return false;
        (ep.address & 0x80) ? ++in : ++out;
    }
    return in == 1 && out == 1;
}

std::string make_interface_path(uint16_t vendor_id, uint16_t product_id,
                                uint8_t interface_number, const std::string& location) {
    char head[64];
    std::snprintf(head, sizeof(head), "\\\\?\\usb#vid_%04x&pid_%04x&mi_%02x#", vendor_id,
                  product_id, interface_number);
    return std::string(head) + location + "#{c15b4308-04d3-11e6-b3ea-6057189e6443}";
}

bool is_usb_interface_path(const std::string& path) {
    static const std::string prefix = "\\\\?\\usb#";
    return path.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace hv::usb
