#pragma once
// GoogleTest fixture that plugs the emulated USB backend under the platform's
// USB layer for each test and checks on tear-down that every handle the test
// opened was closed again.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>

#include "emulated_usb_backend.h"

class EmulatedUsbTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::shared_ptr<EmulatedUsbBackend> backend_;
    std::size_t handles_at_start_ = 0;
};
