#pragma once
// A USB backend of emulated gs_usb adapters under the platform's USB layer:
// install() selects it, uninstall() returns to libusb. Layer calls can be made
// to fail with fail_call.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulated_gs_usb_adapter.h"
#include "usb_backend.h"
#include "win_types.h"

class EmulatedUsbBackend : public hv::usb::UsbBackend {
public:
    static std::shared_ptr<EmulatedUsbBackend> install() {
        auto backend = std::make_shared<EmulatedUsbBackend>();
        hv::usb::set_usb_backend(backend);
        return backend;
    }
    static void uninstall() { hv::usb::set_usb_backend(nullptr); }

    // Plugs in an adapter, listed after those plugged in before (unplugged ones
    // are not listed); an empty path makes one.
    std::shared_ptr<EmulatedGsUsbAdapter> add_adapter(EmulatedGsUsbAdapter::Options options = {},
                                                      std::string path = {}) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (path.empty())
            path = hv::usb::make_interface_path(0x1d50, 0x606f, options.interface_number,
                                                "emu-" + std::to_string(adapters_.size()));
        adapters_.push_back(std::make_shared<EmulatedGsUsbAdapter>(options, path));
        return adapters_.back();
    }
    // After `skip` calls of `call` that pass, the next `times` fail with `error`.
    void fail_call(hv::usb::WinCall call, uint32_t error, int times = 1, int skip = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = {call, error, times, skip};
    }

    std::vector<std::string> list_gs_usb_interfaces() override {
        std::vector<std::string> paths;
        for (const auto& adapter : adapters())
            if (adapter->plugged()) paths.push_back(adapter->path);
        return paths;
    }
    std::shared_ptr<hv::usb::UsbConnection> open_interface(const std::string& path,
                                                          hv::usb::UsbStatus& status) override {
        status = hv::usb::UsbStatus::not_found;
        for (const auto& adapter : adapters())
            if (adapter->path == path) return adapter->open(status);
        return nullptr;
    }
    std::string kernel_can_interface_up(const std::string& path) override {
        for (const auto& adapter : adapters())
            if (adapter->path == path) return adapter->kernel_interface_up();
        return {};
    }
    // The next call of `call` starts only after `stall`, as on a host that did not run meanwhile.
    void stall_call(hv::usb::WinCall call, std::chrono::milliseconds stall) {
        std::lock_guard<std::mutex> lock(mutex_);
        stall_ = {call, stall};
    }
    uint32_t injected_failure(hv::usb::WinCall call) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (call == stall_.call && stall_.time.count() > 0) {
            const auto stall = stall_.time;
            stall_.time = {};
            lock.unlock();
            std::this_thread::sleep_for(stall);
            lock.lock();
        }
        if (call != failure_.call || failure_.times <= 0) return 0;
        if (failure_.skip > 0) return --failure_.skip, 0;
        return --failure_.times, failure_.error;
    }

private:
    std::vector<std::shared_ptr<EmulatedGsUsbAdapter>> adapters() {
        std::lock_guard<std::mutex> lock(mutex_);
        return adapters_;
    }

    std::mutex mutex_;
    std::vector<std::shared_ptr<EmulatedGsUsbAdapter>> adapters_;
    struct {
        hv::usb::WinCall call;
        uint32_t error;
        int times, skip;
    } failure_{};
    struct {
        hv::usb::WinCall call;
        std::chrono::milliseconds time;
    } stall_{};
};
