#include "emulated_usb_test.h"

#include "kernel_object.h"

void EmulatedUsbTest::SetUp() {
    handles_at_start_ = hv::win::live_handle_count();
    backend_ = EmulatedUsbBackend::install();
}

void EmulatedUsbTest::TearDown() {
    EXPECT_EQ(hv::win::live_handle_count(), handles_at_start_) << "handles left open";
    EmulatedUsbBackend::uninstall();
    backend_.reset();
}
