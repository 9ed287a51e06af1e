#include "libusb_backend.h"

#include <libusb.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <condition_variable>
#include <list>
#include <mutex>
#include <shared_mutex>
#include <thread>

namespace hv::usb {

struct LibUsbBackend::Context {
    libusb_context* ctx = nullptr;
    std::mutex mutex;
    std::thread event_thread;
    std::atomic<bool> stop{false};

    Context() {
        if (libusb_init(&ctx) != 0) ctx = nullptr;
    }

    ~Context() {
        if (event_thread.joinable()) {
            stop = true;
            libusb_interrupt_event_handler(ctx);
            event_thread.join();
        }
        if (ctx != nullptr) libusb_exit(ctx);
    }

    // Reads complete on this thread; started with the first open.
    void ensure_event_thread() {
        std::lock_guard<std::mutex> lock(mutex);
        if (event_thread.joinable() || ctx == nullptr) return;
        event_thread = std::thread([this] {
            while (!stop) {
                timeval tv{0, 200000};
                libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
            }
        });
    }
};

namespace {

UsbStatus status_of(int libusb_error) {
    switch (libusb_error) {
        case LIBUSB_SUCCESS: return UsbStatus::ok;
        case LIBUSB_ERROR_NOT_FOUND: return UsbStatus::not_found;
        case LIBUSB_ERROR_NO_DEVICE: return UsbStatus::no_device;
        case LIBUSB_ERROR_BUSY: return UsbStatus::busy;
        case LIBUSB_ERROR_ACCESS: return UsbStatus::no_permission;
        case LIBUSB_ERROR_PIPE: return UsbStatus::stall;
        case LIBUSB_ERROR_TIMEOUT: return UsbStatus::timed_out;
        case LIBUSB_ERROR_INVALID_PARAM: return UsbStatus::invalid;
        default: return UsbStatus::io_error;
    }
}

UsbStatus status_of_transfer(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED: return UsbStatus::ok;
        case LIBUSB_TRANSFER_TIMED_OUT: return UsbStatus::timed_out;
        case LIBUSB_TRANSFER_CANCELLED: return UsbStatus::cancelled;
        case LIBUSB_TRANSFER_STALL: return UsbStatus::stall;
        case LIBUSB_TRANSFER_NO_DEVICE: return UsbStatus::no_device;
        default: return UsbStatus::io_error;
    }
}

std::string location_of(libusb_device* device) {
    uint8_t ports[8];
    const int count = libusb_get_port_numbers(device, ports, sizeof(ports));
    std::string location = std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < count; ++i) {
        if (i > 0) location += ".";
        location += std::to_string(ports[i]);
    }
    // The address changes on every plug-in, so a re-plugged adapter gets a new path.
    return location + "&" + std::to_string(libusb_get_device_address(device));
}

// The kernel's network interface of a USB interface when it is up
// (/sys/bus/usb/devices/<bus>-<ports>:<config>.<interface>/net/<name>, IFF_UP in flags).
std::string network_interface_up(libusb_device* device, uint8_t config, uint8_t interface_number) {
    uint8_t ports[8];
    const int count = libusb_get_port_numbers(device, ports, sizeof(ports));
    if (count <= 0) return {};
    std::string node = std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < count; ++i) node += (i > 0 ? "." : "") + std::to_string(ports[i]);
    node += ":" + std::to_string(config) + "." + std::to_string(interface_number);
    std::error_code error;
    const std::filesystem::path net = std::filesystem::path("/sys/bus/usb/devices") / node / "net";
    for (const auto& entry : std::filesystem::directory_iterator(net, error)) {
        std::ifstream flags(entry.path() / "flags");
        unsigned long value = 0;
        if (flags >> std::hex >> value && (value & 0x1)) return entry.path().filename().string();
    }
    return {};
}

struct FoundInterface {
    std::string path;
    InterfaceInfo info;
};

// The gs_usb interfaces of one device.
std::vector<FoundInterface> gs_usb_interfaces(libusb_device* device) {
    std::vector<FoundInterface> found;
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(device, &desc) != 0) return found;
    if (!is_gs_usb_id(desc.idVendor, desc.idProduct)) return found;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0 &&
        libusb_get_config_descriptor(device, 0, &config) != 0)
        return found;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& itf = config->interface[i];
        if (itf.num_altsetting < 1) continue;
        const libusb_interface_descriptor& alt = itf.altsetting[0];
        InterfaceInfo info;
        info.number = alt.bInterfaceNumber;
        info.alternate_setting = alt.bAlternateSetting;
        info.interface_class = alt.bInterfaceClass;
        info.interface_subclass = alt.bInterfaceSubClass;
        info.interface_protocol = alt.bInterfaceProtocol;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[e];
            info.endpoints.push_back({ep.bEndpointAddress, ep.bmAttributes, ep.wMaxPacketSize, ep.bInterval});
        }
        if (!is_gs_usb_interface(info)) continue;
        found.push_back({make_interface_path(desc.idVendor, desc.idProduct, info.number,
                                             location_of(device)),
                         info});
    }
    libusb_free_config_descriptor(config);
    return found;
}

class LibUsbConnection : public UsbConnection {
public:
    LibUsbConnection(std::shared_ptr<LibUsbBackend::Context> context, libusb_device_handle* handle,
                     InterfaceInfo info)
        : context_(std::move(context)), handle_(handle), info_(std::move(info)) {}

    ~LibUsbConnection() override { close(); }

    InterfaceInfo interface_info() override { return info_; }

    UsbStatus control_transfer(uint8_t request_type, uint8_t request, uint16_t value,
                               uint16_t index, uint8_t* data, uint16_t length,
                               std::size_t& transferred, unsigned timeout_ms) override {
        transferred = 0;
        std::shared_lock<std::shared_mutex> in_use(handle_mutex_);
        if (is_closed()) return UsbStatus::invalid;
        const int result = libusb_control_transfer(handle_, request_type, request, value, index,
                                                   data, length, timeout_ms);
        if (result < 0) return status_of(result);
        transferred = static_cast<std::size_t>(result);
        return UsbStatus::ok;
    }

    UsbStatus bulk_write(uint8_t endpoint, const uint8_t* data, std::size_t length,
                         std::size_t& transferred, unsigned timeout_ms) override {
        transferred = 0;
        std::shared_lock<std::shared_mutex> in_use(handle_mutex_);
        if (is_closed()) return UsbStatus::invalid;
        int actual = 0;
        const int result = libusb_bulk_transfer(handle_, endpoint, const_cast<uint8_t*>(data),
                                                static_cast<int>(length), &actual, timeout_ms);
        transferred = static_cast<std::size_t>(actual);
        return status_of(result);
    }

    UsbStatus submit_read(uint8_t endpoint, uint8_t* buffer, std::size_t length,
                          ReadDone done) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (closed_) return UsbStatus::invalid;
        libusb_transfer* transfer = libusb_alloc_transfer(0);
        if (transfer == nullptr) return UsbStatus::io_error;
        reads_.push_back({transfer, std::move(done), this, false});
        Read* read = &reads_.back();
        libusb_fill_bulk_transfer(transfer, handle_, endpoint, buffer, static_cast<int>(length),
                                  &LibUsbConnection::on_transfer, read, 0);
        // libusb never completes a transfer inside submit, and completion takes
        // our lock first, so the entry is complete before the callback sees it.
        const int result = libusb_submit_transfer(transfer);
        if (result != 0) {
            libusb_free_transfer(transfer);
            reads_.pop_back();
            return status_of(result);
        }
        return UsbStatus::ok;
    }

    void cancel_reads() override {
        std::unique_lock<std::mutex> lock(mutex_);
        for (Read& read : reads_)
            if (!read.completed) libusb_cancel_transfer(read.transfer);
        idle_.wait(lock, [this] { return reads_.empty(); });
    }

    void close() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) return;
            closed_ = true;
        }
        cancel_reads();
        // Transfers of other threads that got past the closed check finish first.
        std::unique_lock<std::shared_mutex> exclusive(handle_mutex_);
        libusb_release_interface(handle_, info_.number);
        libusb_close(handle_);
        handle_ = nullptr;
    }

private:
    struct Read {
        libusb_transfer* transfer;
        ReadDone done;
        LibUsbConnection* owner;
        bool completed;
    };

    bool is_closed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return closed_;
    }

    static void LIBUSB_CALL on_transfer(libusb_transfer* transfer) {
        auto* read = static_cast<Read*>(transfer->user_data);
        LibUsbConnection* self = read->owner;
        ReadDone done;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            read->completed = true;
            done = std::move(read->done);
        }
        done(status_of_transfer(transfer->status), static_cast<std::size_t>(transfer->actual_length));
        std::lock_guard<std::mutex> lock(self->mutex_);
        for (auto it = self->reads_.begin(); it != self->reads_.end(); ++it) {
            if (&*it == read) {
                self->reads_.erase(it);
                break;
            }
        }
        libusb_free_transfer(transfer);
        self->idle_.notify_all();
    }

    const std::shared_ptr<LibUsbBackend::Context> context_;
    libusb_device_handle* handle_;
    const InterfaceInfo info_;
    std::shared_mutex handle_mutex_;  // held shared by synchronous transfers
    std::mutex mutex_;
    std::condition_variable idle_;
    std::list<Read> reads_;  // stable addresses: each transfer points at its entry
    bool closed_ = false;
};

}  // namespace

std::shared_ptr<LibUsbBackend> LibUsbBackend::instance() {
    static std::shared_ptr<LibUsbBackend> backend(new LibUsbBackend);
    return backend;
}

LibUsbBackend::LibUsbBackend() : context_(std::make_shared<Context>()) {}

LibUsbBackend::~LibUsbBackend() = default;

std::string LibUsbBackend::kernel_can_interface_up(const std::string& path) {
    std::string name;
    if (context_->ctx == nullptr) return name;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_->ctx, &list);
    for (ssize_t i = 0; i < count && name.empty(); ++i) {
        for (const FoundInterface& found : gs_usb_interfaces(list[i])) {
            if (found.path != path) continue;
            libusb_config_descriptor* config = nullptr;
            if (libusb_get_active_config_descriptor(list[i], &config) == 0) {
                name = network_interface_up(list[i], config->bConfigurationValue, found.info.number);
                libusb_free_config_descriptor(config);
            }
            break;
        }
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    return name;
}

std::vector<std::string> LibUsbBackend::list_gs_usb_interfaces() {
    std::vector<std::string> paths;
    if (context_->ctx == nullptr) return paths;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_->ctx, &list);
    for (ssize_t i = 0; i < count; ++i)
        for (const FoundInterface& found : gs_usb_interfaces(list[i])) paths.push_back(found.path);
    if (list != nullptr) libusb_free_device_list(list, 1);
    return paths;
}

std::shared_ptr<UsbConnection> LibUsbBackend::open_interface(const std::string& path,
                                                             UsbStatus& status) {
    status = UsbStatus::not_found;
    if (context_->ctx == nullptr) return nullptr;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_->ctx, &list);
    libusb_device* device = nullptr;
    InterfaceInfo info;
    for (ssize_t i = 0; i < count && device == nullptr; ++i) {
        for (const FoundInterface& found : gs_usb_interfaces(list[i])) {
            if (found.path == path) {
                device = list[i];
                info = found.info;
                break;
            }
        }
    }
    libusb_device_handle* handle = nullptr;
    int result = LIBUSB_ERROR_NOT_FOUND;
    if (device != nullptr) result = libusb_open(device, &handle);
    if (list != nullptr) libusb_free_device_list(list, 1);
    if (result != 0) {
        status = status_of(result);
        return nullptr;
    }
    // A kernel driver (gs_usb on Linux) keeps the adapter while we only look at
    // it; an open takes it for as long as the interface stays claimed, unless
    // its CAN interface is up: then another program uses it.
    if (libusb_kernel_driver_active(handle, info.number) == 1) {
        const bool in_use = !kernel_can_interface_up(path).empty();
        if (in_use || probing()) {
            libusb_close(handle);
            status = in_use ? UsbStatus::kernel_in_use : UsbStatus::kernel_held;
            return nullptr;
        }
    }
    libusb_set_auto_detach_kernel_driver(handle, 1);
    result = libusb_claim_interface(handle, info.number);
    if (result != 0) {
        libusb_close(handle);
        status = status_of(result);
        if (status == UsbStatus::not_found) status = UsbStatus::io_error;
        return nullptr;
    }
    context_->ensure_event_thread();
    status = UsbStatus::ok;
    return std::make_shared<LibUsbConnection>(context_, handle, info);
}

}  // namespace hv::usb
