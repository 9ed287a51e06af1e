#include "emulated_usb_backend.h"

#include <algorithm>

std::shared_ptr<EmulatedUsbBackend> EmulatedUsbBackend::install() {
    auto backend = std::make_shared<EmulatedUsbBackend>();
    hv::usb::set_usb_backend(backend);
    return backend;
}

void EmulatedUsbBackend::uninstall() { hv::usb::set_usb_backend(nullptr); }

std::shared_ptr<EmulatedGsUsbAdapter> EmulatedUsbBackend::add_adapter(
    EmulatedGsUsbAdapter::Options options) {
    auto adapter = std::make_shared<EmulatedGsUsbAdapter>(options);
    std::lock_guard<std::mutex> lock(mutex_);
    if (options.path.empty()) {
        adapter->set_path(hv::usb::make_interface_path(options.vendor_id, options.product_id,
                                                       options.interface_number,
                                                       "emu-" + std::to_string(next_serial_)));
    }
    ++next_serial_;
    adapters_.push_back(adapter);
    return adapter;
}

void EmulatedUsbBackend::remove_adapter(const std::shared_ptr<EmulatedGsUsbAdapter>& adapter) {
    adapter->unplug();
    std::lock_guard<std::mutex> lock(mutex_);
    adapters_.erase(std::remove(adapters_.begin(), adapters_.end(), adapter), adapters_.end());
}

std::vector<std::shared_ptr<EmulatedGsUsbAdapter>> EmulatedUsbBackend::adapters() {
    std::lock_guard<std::mutex> lock(mutex_);
    return adapters_;
}

void EmulatedUsbBackend::fail_call(hv::usb::WinCall call, uint32_t error, int skip, int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_[call] = {error, skip, times};
}

void EmulatedUsbBackend::clear_failures() {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.clear();
}

std::vector<std::string> EmulatedUsbBackend::list_gs_usb_interfaces() {
    std::vector<std::shared_ptr<EmulatedGsUsbAdapter>> list = adapters();
    std::vector<std::string> paths;
    for (const auto& adapter : list)
        if (adapter->present()) paths.push_back(adapter->path());
    return paths;
}

std::shared_ptr<hv::usb::UsbConnection> EmulatedUsbBackend::open_interface(
    const std::string& path, hv::usb::UsbStatus& status) {
    for (const auto& adapter : adapters())
        if (adapter->path() == path) return adapter->open(status);
    status = hv::usb::UsbStatus::not_found;
    return nullptr;
}

uint32_t EmulatedUsbBackend::injected_failure(hv::usb::WinCall call) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = failures_.find(call);
    if (it == failures_.end() || it->second.times == 0) return 0;
    Failure& failure = it->second;
    if (failure.skip > 0) {
        --failure.skip;
        return 0;
    }
    if (failure.times > 0) --failure.times;
    return failure.error;
}
