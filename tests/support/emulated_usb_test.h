#pragma once
// GoogleTest fixture with the emulated USB backend under the platform's USB
// layer; on tear-down every handle the test opened must be closed again.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>

#include "emulated_usb_backend.h"
#include "kernel_object.h"

class EmulatedUsbTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(hv::win::live_handle_count(), handles_) << "handles left open";
        EmulatedUsbBackend::uninstall();
    }

    std::size_t handles_ = hv::win::live_handle_count();
    std::shared_ptr<EmulatedUsbBackend> backend_ = EmulatedUsbBackend::install();
};
