#pragma once
// The USB backend that drives real adapters through libusb-1.0. It lists the
// gs_usb interfaces of known adapters, claims an interface on open (a kernel
// driver that holds it is detached until the interface is released) and runs one event thread that completes the
// queued reads.
#include <memory>
#include <string>
#include <vector>

#include "usb_backend.h"

namespace hv::usb {

class LibUsbBackend : public UsbBackend {
public:
    static std::shared_ptr<LibUsbBackend> instance();
    ~LibUsbBackend() override;

    std::vector<std::string> list_gs_usb_interfaces() override;
    std::shared_ptr<UsbConnection> open_interface(const std::string& path,
                                                  UsbStatus& status) override;
    std::string kernel_can_interface_up(const std::string& path) override;

    struct Context;

private:
    LibUsbBackend();
    std::shared_ptr<Context> context_;
};

}  // namespace hv::usb
