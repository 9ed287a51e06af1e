#include "win_usb.h"

#include <memory>
#include <mutex>
#include <set>

#include "event_object.h"
#include "kernel_object.h"
#include "usb_backend.h"
#include "win_api.h"

namespace hv::win {

namespace {

using usb::UsbStatus;
using usb::WinCall;

std::mutex& open_paths_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

// WinUSB opens a device exclusively; so do we, per path.
std::set<std::string>& open_paths() {
    static auto* paths = new std::set<std::string>;
    return *paths;
}

class UsbFile : public KernelObject {
public:
    UsbFile(std::string path, std::shared_ptr<usb::UsbConnection> connection)
        : path_(std::move(path)), connection_(std::move(connection)) {}

    void on_close() override {
        connection_->close();
        std::lock_guard<std::mutex> lock(open_paths_mutex());
        open_paths().erase(path_);
    }

    usb::UsbConnection& connection() { return *connection_; }

private:
    const std::string path_;
    const std::shared_ptr<usb::UsbConnection> connection_;
};

class WinUsbInterface : public KernelObject {
public:
    WinUsbInterface(std::shared_ptr<UsbFile> file, usb::InterfaceInfo info)
        : file_(std::move(file)), info_(std::move(info)) {}

    // WinUSB aborts the pipes' transfers when the interface is freed.
    void on_close() override { file_->connection().cancel_reads(); }

    usb::UsbConnection& connection() { return file_->connection(); }
    const usb::InterfaceInfo& info() const { return info_; }

    const usb::EndpointInfo* endpoint(uint8_t address) const {
        for (const auto& ep : info_.endpoints)
            if (ep.address == address) return &ep;
        return nullptr;
    }

private:
    const std::shared_ptr<UsbFile> file_;
    const usb::InterfaceInfo info_;
};

std::shared_ptr<WinUsbInterface> find_interface(WINUSB_INTERFACE_HANDLE handle) {
    auto object = lookup_handle_as<WinUsbInterface>(handle);
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

bool fail(uint32_t error) {
    SetLastError(error);
    return false;
}

bool fail(UsbStatus status) { return fail(usb::win32_error(status)); }

}  // namespace

namespace detail {

HANDLE create_usb_file(const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(open_paths_mutex());
        if (!open_paths().insert(path).second) {
            SetLastError(ERROR_BUSY);
            return INVALID_HANDLE_VALUE;
        }
    }
    UsbStatus status = UsbStatus::not_found;
    std::shared_ptr<usb::UsbConnection> connection = usb::usb_backend()->open_interface(path, status);
    if (!connection) {
        {
            std::lock_guard<std::mutex> lock(open_paths_mutex());
            open_paths().erase(path);
        }
        SetLastError(usb::win32_error(status == UsbStatus::ok ? UsbStatus::io_error : status));
        return INVALID_HANDLE_VALUE;
    }
    return register_handle(std::make_shared<UsbFile>(path, std::move(connection)));
}

}  // namespace detail

bool WinUsb_Initialize(HANDLE device_file, WINUSB_INTERFACE_HANDLE* interface_handle) {
    if (detail::failure_injected(WinCall::WinUsb_Initialize)) return false;
    if (interface_handle == nullptr) return fail(ERROR_INVALID_PARAMETER);
    auto file = lookup_handle_as<UsbFile>(device_file);
    if (!file) return fail(ERROR_INVALID_HANDLE);
    *interface_handle = register_handle(
        std::make_shared<WinUsbInterface>(file, file->connection().interface_info()));
    return true;
}

bool WinUsb_Free(WINUSB_INTERFACE_HANDLE interface_handle) {
    if (!lookup_handle_as<WinUsbInterface>(interface_handle)) return fail(ERROR_INVALID_HANDLE);
    return release_handle(interface_handle);
}

bool WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE interface_handle,
                                   uint8_t alternate_setting, USB_INTERFACE_DESCRIPTOR* descriptor) {
    if (detail::failure_injected(WinCall::WinUsb_QueryInterfaceSettings)) return false;
    auto object = find_interface(interface_handle);
    if (!object) return false;
    if (descriptor == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (alternate_setting != object->info().alternate_setting) return fail(ERROR_NO_MORE_ITEMS);
    const usb::InterfaceInfo& info = object->info();
    descriptor->bLength = 9;
    descriptor->bDescriptorType = 4;
    descriptor->bInterfaceNumber = info.number;
    descriptor->bAlternateSetting = info.alternate_setting;
    descriptor->bNumEndpoints = static_cast<uint8_t>(info.endpoints.size());
    descriptor->bInterfaceClass = info.interface_class;
    descriptor->bInterfaceSubClass = info.interface_subclass;
    descriptor->bInterfaceProtocol = info.interface_protocol;
    descriptor->iInterface = 0;
    return true;
}

bool WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE interface_handle, uint8_t alternate_setting,
                      uint8_t pipe_index, WINUSB_PIPE_INFORMATION* pipe_information) {
    if (detail::failure_injected(WinCall::WinUsb_QueryPipe)) return false;
    auto object = find_interface(interface_handle);
    if (!object) return false;
    if (pipe_information == nullptr) return fail(ERROR_INVALID_PARAMETER);
    const usb::InterfaceInfo& info = object->info();
    if (alternate_setting != info.alternate_setting || pipe_index >= info.endpoints.size())
        return fail(ERROR_NO_MORE_ITEMS);
    const usb::EndpointInfo& ep = info.endpoints[pipe_index];
    pipe_information->PipeType = static_cast<USBD_PIPE_TYPE>(ep.attributes & 0x03);
    pipe_information->PipeId = ep.address;
    pipe_information->MaximumPacketSize = ep.max_packet_size;
    pipe_information->Interval = ep.interval;
    return true;
}

bool WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE interface_handle, uint8_t pipe_id,
                          uint32_t policy_type, uint32_t value_length, void* value) {
    if (detail::failure_injected(WinCall::WinUsb_SetPipePolicy)) return false;
    auto object = find_interface(interface_handle);
    if (!object) return false;
    if (object->endpoint(pipe_id) == nullptr || value == nullptr) return fail(ERROR_INVALID_PARAMETER);
    const uint32_t expected = policy_type == PIPE_TRANSFER_TIMEOUT ? 4u : 1u;
    if (policy_type < SHORT_PACKET_TERMINATE || policy_type > RAW_IO || value_length != expected)
        return fail(ERROR_INVALID_PARAMETER);
    // libusb hands every read straight to the host controller already, so
    // raw I/O and the other policies need no work here.
    return true;
}

bool WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE interface_handle,
                            WINUSB_SETUP_PACKET setup_packet, uint8_t* buffer,
                            uint32_t buffer_length, uint32_t* length_transferred,
                            OVERLAPPED* overlapped) {
    if (length_transferred != nullptr) *length_transferred = 0;
    if (detail::failure_injected(WinCall::WinUsb_ControlTransfer)) return false;
    auto object = find_interface(interface_handle);
    if (!object) return false;
    if (overlapped != nullptr || setup_packet.Length > buffer_length ||
        (setup_packet.Length > 0 && buffer == nullptr))
        return fail(ERROR_INVALID_PARAMETER);
    std::size_t transferred = 0;
    const UsbStatus status = object->connection().control_transfer(
        setup_packet.RequestType, setup_packet.Request, setup_packet.Value, setup_packet.Index,
        buffer, setup_packet.Length, transferred, kControlTimeoutMs);
    if (length_transferred != nullptr) *length_transferred = static_cast<uint32_t>(transferred);
    if (status != UsbStatus::ok) return fail(status);
    return true;
}

bool WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE interface_handle, uint8_t pipe_id, uint8_t* buffer,
                      uint32_t buffer_length, uint32_t* length_transferred,
                      OVERLAPPED* overlapped) {
    if (length_transferred != nullptr) *length_transferred = 0;
    if (detail::failure_injected(WinCall::WinUsb_WritePipe)) return false;
    auto object = find_interface(interface_handle);
    if (!object) return false;
    if (overlapped != nullptr || (pipe_id & 0x80) || object->endpoint(pipe_id) == nullptr ||
        (buffer_length > 0 && buffer == nullptr))
        return fail(ERROR_INVALID_PARAMETER);
    std::size_t transferred = 0;
    const UsbStatus status =
        object->connection().bulk_write(pipe_id, buffer, buffer_length, transferred, kWriteTimeoutMs);
    if (length_transferred != nullptr) *length_transferred = static_cast<uint32_t>(transferred);
    if (status != UsbStatus::ok) return fail(status);
    return true;
}

bool WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE interface_handle, uint8_t pipe_id, uint8_t* buffer,
                     uint32_t buffer_length, uint32_t* length_transferred,
                     OVERLAPPED* overlapped) {
    if (length_transferred != nullptr) *length_transferred = 0;
    if (detail::failure_injected(WinCall::WinUsb_ReadPipe)) return false;
    auto object = find_interface(interface_handle);
    if (!object) return false;
    if (!(pipe_id & 0x80) || object->endpoint(pipe_id) == nullptr || buffer == nullptr)
        return fail(ERROR_INVALID_PARAMETER);

    if (overlapped == nullptr) {
        // Blocking read: wait for our own completion.
        struct Wait {
            std::mutex mutex;
            std::condition_variable done_cv;
            bool done = false;
            UsbStatus status = UsbStatus::io_error;
            std::size_t transferred = 0;
        };
        auto wait = std::make_shared<Wait>();
        const UsbStatus submitted = object->connection().submit_read(
            pipe_id, buffer, buffer_length, [wait](UsbStatus status, std::size_t transferred) {
                std::lock_guard<std::mutex> lock(wait->mutex);
                wait->status = status;
                wait->transferred = transferred;
                wait->done = true;
                wait->done_cv.notify_all();
            });
        if (submitted != UsbStatus::ok) return fail(submitted);
        std::unique_lock<std::mutex> lock(wait->mutex);
        wait->done_cv.wait(lock, [&] { return wait->done; });
        if (length_transferred != nullptr)
            *length_transferred = static_cast<uint32_t>(wait->transferred);
        if (wait->status != UsbStatus::ok) return fail(wait->status);
        return true;
    }

    auto event = lookup_handle_as<EventObject>(overlapped->hEvent);
    if (!event) return fail(ERROR_INVALID_PARAMETER);
    {
        std::lock_guard<std::mutex> lock(EventObject::mutex());
        event->set_locked(false);
        overlapped->Internal = kOverlappedPending;
        overlapped->InternalHigh = 0;
    }
    const UsbStatus submitted = object->connection().submit_read(
        pipe_id, buffer, buffer_length,
        [overlapped, event](UsbStatus status, std::size_t transferred) {
            {
                std::lock_guard<std::mutex> lock(EventObject::mutex());
                overlapped->InternalHigh = transferred;
                overlapped->Internal = usb::win32_error(status);
                event->set_locked(true);
            }
            EventObject::changed().notify_all();
        });
    if (submitted != UsbStatus::ok) {
        std::lock_guard<std::mutex> lock(EventObject::mutex());
        overlapped->Internal = usb::win32_error(submitted);
        SetLastError(usb::win32_error(submitted));
        return false;
    }
    SetLastError(ERROR_IO_PENDING);
    return false;
}

bool WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE interface_handle, OVERLAPPED* overlapped,
                                uint32_t* number_of_bytes_transferred, bool wait) {
    if (detail::failure_injected(WinCall::WinUsb_GetOverlappedResult)) return false;
    if (!find_interface(interface_handle)) return false;
    if (overlapped == nullptr || number_of_bytes_transferred == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    std::unique_lock<std::mutex> lock(EventObject::mutex());
    if (overlapped->Internal == kOverlappedPending) {
        if (!wait) return fail(ERROR_IO_INCOMPLETE);
        EventObject::changed().wait(lock, [&] { return overlapped->Internal != kOverlappedPending; });
    }
    *number_of_bytes_transferred = static_cast<uint32_t>(overlapped->InternalHigh);
    if (overlapped->Internal != ERROR_SUCCESS) return fail(static_cast<uint32_t>(overlapped->Internal));
    return true;
}

}  // namespace hv::win
