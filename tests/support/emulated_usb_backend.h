#pragma once
// A USB backend of emulated gs_usb adapters under the platform's USB layer:
// install() selects it, uninstall() returns to libusb. Layer calls can be made
// to fail with fail_call.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
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

    // Plugs in the adapter (one at a time: a second replaces the first).
    std::shared_ptr<EmulatedGsUsbAdapter> add_adapter(EmulatedGsUsbAdapter::Options options = {}) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string path = hv::usb::make_interface_path(0x1d50, 0x606f, 0, "emu-0");
        return adapter_ = std::make_shared<EmulatedGsUsbAdapter>(options, path);
    }
    // The next `times` calls of `call` fail with `error`.
    void fail_call(hv::usb::WinCall call, uint32_t error, int times = 1) {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = {call, error, times};
    }

    std::vector<std::string> list_gs_usb_interfaces() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return adapter_ ? std::vector<std::string>{adapter_->path} : std::vector<std::string>{};
    }
    std::shared_ptr<hv::usb::UsbConnection> open_interface(const std::string& path,
                                                          hv::usb::UsbStatus& status) override {
        std::lock_guard<std::mutex> lock(mutex_);
        status = hv::usb::UsbStatus::not_found;
        return adapter_ && adapter_->path == path ? adapter_->open(status) : nullptr;
    }
    std::string kernel_can_interface_up(const std::string& path) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return adapter_ && adapter_->path == path ? adapter_->kernel_interface_up() : std::string();
    }
    uint32_t injected_failure(hv::usb::WinCall call) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return call == failure_.call && failure_.times > 0 ? (--failure_.times, failure_.error) : 0;
    }

private:
    std::mutex mutex_;
    std::shared_ptr<EmulatedGsUsbAdapter> adapter_;
    struct {
        hv::usb::WinCall call;
        uint32_t error;
        int times;
    } failure_{};
};
