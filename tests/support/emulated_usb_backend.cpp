#include "emulated_usb_backend.h"

std::shared_ptr<EmulatedUsbBackend> EmulatedUsbBackend::install() {
    auto backend = std::make_shared<EmulatedUsbBackend>();
    hv::usb::set_usb_backend(backend);
    return backend;
}

void EmulatedUsbBackend::uninstall() { hv::usb::set_usb_backend(nullptr); }

std::shared_ptr<EmulatedGsUsbAdapter> EmulatedUsbBackend::add_adapter(EmulatedGsUsbAdapter::Options options) {
    auto adapter = std::make_shared<EmulatedGsUsbAdapter>(options);
    std::lock_guard<std::mutex> lock(mutex_);
    if (options.path.empty())
        adapter->set_path(hv::usb::make_interface_path(0x1d50, 0x606f, 0, "emu-" + std::to_string(adapters_.size())));
    adapters_.push_back(adapter);
    return adapter;
}

void EmulatedUsbBackend::fail_call(hv::usb::WinCall call, uint32_t error, int skip, int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_[call] = {error, skip, times};
}

std::vector<std::string> EmulatedUsbBackend::list_gs_usb_interfaces() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> paths;
    for (const auto& adapter : adapters_) paths.push_back(adapter->path());
    return paths;
}

std::shared_ptr<hv::usb::UsbConnection> EmulatedUsbBackend::open_interface(const std::string& path,
                                                                            hv::usb::UsbStatus& status) {
    std::shared_ptr<EmulatedGsUsbAdapter> found;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& adapter : adapters_)
            if (adapter->path() == path) found = adapter;
    }
    status = hv::usb::UsbStatus::not_found;
    return found ? found->open(status) : nullptr;
}

uint32_t EmulatedUsbBackend::injected_failure(hv::usb::WinCall call) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = failures_.find(call);
    if (it == failures_.end() || it->second.times == 0) return 0;
    if (it->second.skip > 0) return --it->second.skip, 0;
    if (it->second.times > 0) --it->second.times;
    return it->second.error;
}
