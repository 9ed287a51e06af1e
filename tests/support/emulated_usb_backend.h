#pragma once
// A USB backend of emulated gs_usb adapters for the platform's USB layer.
// install() selects it (hv::usb::set_usb_backend), uninstall() returns to the
// libusb backend. Adapters are plugged in with add_adapter; the Windows-style
// calls of the layer can be made to fail with fail_call.
//
//   auto backend = EmulatedUsbBackend::install();
//   auto adapter = backend->add_adapter();
//   adapter->set_bus_listener(...);   // see emulated_gs_usb_adapter.h
//   ... CandleCan / candle_library calls ...
//   EmulatedUsbBackend::uninstall();
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

    // Plugs in an adapter; listed by the enumeration in plug-in order.
    std::shared_ptr<EmulatedGsUsbAdapter> add_adapter(EmulatedGsUsbAdapter::Options options = {});
    // Pulls the adapter out (unplug) and forgets it.
    void remove_adapter(const std::shared_ptr<EmulatedGsUsbAdapter>& adapter);
    std::vector<std::shared_ptr<EmulatedGsUsbAdapter>> adapters();

    // Makes `call` fail with `error`: after `skip` successful calls, `times`
    // times (-1: always).
    void fail_call(hv::usb::WinCall call, uint32_t error = hv::win::ERROR_GEN_FAILURE, int skip = 0,
                   int times = 1);
    void clear_failures();

    std::vector<std::string> list_gs_usb_interfaces() override;
    std::shared_ptr<hv::usb::UsbConnection> open_interface(const std::string& path,
                                                          hv::usb::UsbStatus& status) override;
    uint32_t injected_failure(hv::usb::WinCall call) override;

private:
    struct Failure {
        uint32_t error = 0;
        int skip = 0;
        int times = 0;
    };

    std::mutex mutex_;
    std::vector<std::shared_ptr<EmulatedGsUsbAdapter>> adapters_;
    std::map<hv::usb::WinCall, Failure> failures_;
    int next_serial_ = 1;
};
