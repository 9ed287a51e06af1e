#pragma once
// A USB backend of emulated gs_usb adapters under the platform's USB layer:
// install() selects it, uninstall() returns to libusb. Layer calls can be made
// to fail with fail_call.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulated_gs_usb_adapter.h"
#include "usb_backend.h"
#include "win_types.h"

class EmulatedUsbBackend : public hv::usb::UsbBackend {
public:
    static std::shared_ptr<EmulatedUsbBackend> install();
    static void uninstall();

    // Plugs in an adapter; listed in plug-in order while present.
    std::shared_ptr<EmulatedGsUsbAdapter> add_adapter(EmulatedGsUsbAdapter::Options options = {});
    // `call` fails with `error` after `skip` successful calls, `times` times.
    void fail_call(hv::usb::WinCall call, uint32_t error = hv::win::ERROR_GEN_FAILURE, int skip = 0,
                   int times = 1);

    std::vector<std::string> list_gs_usb_interfaces() override;
    std::shared_ptr<hv::usb::UsbConnection> open_interface(const std::string& path,
                                                          hv::usb::UsbStatus& status) override;
    uint32_t injected_failure(hv::usb::WinCall call) override;

private:
    struct Failure {
        uint32_t error = 0;
        int skip = 0, times = 0;
    };
    std::mutex mutex_;
    std::vector<std::shared_ptr<EmulatedGsUsbAdapter>> adapters_;
    std::map<hv::usb::WinCall, Failure> failures_;
};
