// SetupAPI enumeration and WinUSB transfers of the platform layer, over the
// emulated adapter and over libusb on this machine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <vector>

#include "emulated_usb_test.h"
#include "kernel_object.h"
#include "libusb_backend.h"
#include "setup_api.h"
#include "usb_backend.h"
#include "win_api.h"
#include "win_usb.h"

using namespace hv::win;
using hv::usb::EndpointInfo;
using hv::usb::InterfaceInfo;

namespace {

CanFrame frame_with_id(uint32_t id) {
    CanFrame f;
    f.id = id;
    f.dlc = 1;
    return f;
}

class SetupApi : public EmulatedUsbTest {};

TEST_F(SetupApi, ListsTheGsUsbInterfacesOnly) {
    auto a = backend_->add_adapter();
    auto b = backend_->add_adapter();
    HDEVINFO set = SetupDiGetClassDevsW(&hv::usb::kGsUsbInterfaceGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<std::string> paths;
    for (uint32_t i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hv::usb::kGsUsbInterfaceGuid, i, &data)) {
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
            break;
        }
        uint32_t needed = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        std::vector<unsigned char> buffer(needed);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = 6;  // a wrong structure size is refused
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed - 2, nullptr, nullptr));
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr));
        paths.push_back(to_utf8(reinterpret_cast<const WCHAR*>(
            buffer.data() + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath))));
    }
    EXPECT_EQ(paths, (std::vector<std::string>{a->path, b->path}));
    SP_DEVICE_INTERFACE_DATA small{};
    small.cbSize = 28;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &hv::usb::kGsUsbInterfaceGuid, 0, &small));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));

    // Another interface class has no members here.
    GUID other = hv::usb::kGsUsbInterfaceGuid;
    other.Data1 ^= 1;
    set = SetupDiGetClassDevsW(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &other, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(SetupDiGetClassDevsW(&other, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
}

class WinUsb : public EmulatedUsbTest {
protected:
    void SetUp() override {
        adapter_ = backend_->add_adapter();
        path_ = to_utf16(adapter_->path);
        file_ = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(WinUsb_Initialize(file_, &usb_));
        event_ = CreateEventW(nullptr, true, false, nullptr);
        std::memset(&ov_, 0, sizeof(ov_));
        ov_.hEvent = event_;
    }
    void TearDown() override {
        if (event_) CloseHandle(event_);
        if (usb_) WinUsb_Free(usb_);
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
        adapter_.reset();
        EmulatedUsbTest::TearDown();
    }
    // Starts the channel so the adapter passes bus frames on.
    void start_channel() {
        uint8_t mode[8] = {1, 0, 0, 0, 0x10, 0, 0, 0};
        uint32_t n = 0;
        ASSERT_TRUE(WinUsb_ControlTransfer(usb_, {0x41, 2, 0, 0, 8}, mode, 8, &n, nullptr));
    }

    std::shared_ptr<EmulatedGsUsbAdapter> adapter_;
    std::u16string path_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE usb_ = nullptr;
    HANDLE event_ = nullptr;
    OVERLAPPED ov_{};
    uint8_t buffer_[128] = {};
};

TEST_F(WinUsb, DeviceIsOpenedExclusively) {
    HANDLE second = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    EXPECT_TRUE(WinUsb_Free(usb_));
    usb_ = nullptr;
    EXPECT_TRUE(CloseHandle(file_));
    file_ = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(adapter_->is_open());
    second = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
}

TEST_F(WinUsb, DescribesInterfaceAndPipes) {
    USB_INTERFACE_DESCRIPTOR d{};
    ASSERT_TRUE(WinUsb_QueryInterfaceSettings(usb_, 0, &d));
    EXPECT_EQ(d.bNumEndpoints, 2);
    EXPECT_EQ(d.bInterfaceClass, 0xFF);
    EXPECT_FALSE(WinUsb_QueryInterfaceSettings(usb_, 1, &d));
    WINUSB_PIPE_INFORMATION p{};
    ASSERT_TRUE(WinUsb_QueryPipe(usb_, 0, 0, &p));
    EXPECT_EQ(p.PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(p.PipeId, 0x81);
    ASSERT_TRUE(WinUsb_QueryPipe(usb_, 0, 1, &p));
    EXPECT_EQ(p.PipeId, 0x02);
    EXPECT_FALSE(WinUsb_QueryPipe(usb_, 0, 2, &p));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    uint8_t on = 1;
    EXPECT_TRUE(WinUsb_SetPipePolicy(usb_, 0x81, RAW_IO, 1, &on));
    EXPECT_FALSE(WinUsb_SetPipePolicy(usb_, 0x85, RAW_IO, 1, &on));
}

TEST_F(WinUsb, OverlappedReadStaysPendingUntilTheDeviceDelivers) {
    start_channel();
    SetEvent(event_);
    EXPECT_FALSE(WinUsb_ReadPipe(usb_, 0x81, buffer_, sizeof(buffer_), nullptr, &ov_));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForMultipleObjects(1, &event_, false, 0), WAIT_TIMEOUT) << "queueing resets the event";
    uint32_t n = 0;
    EXPECT_FALSE(WinUsb_GetOverlappedResult(usb_, &ov_, &n, false));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    adapter_->deliver(frame_with_id(0x321));
    EXPECT_EQ(WaitForMultipleObjects(1, &event_, false, 1000), WAIT_OBJECT_0);
    ASSERT_TRUE(WinUsb_GetOverlappedResult(usb_, &ov_, &n, false));
    EXPECT_EQ(n, 24u);
    EXPECT_EQ(buffer_[4], 0x21);
    EXPECT_EQ(buffer_[5], 0x03);

    // Writes to an IN pipe and reads from an OUT pipe are refused.
    uint8_t frame[24] = {};
    EXPECT_FALSE(WinUsb_WritePipe(usb_, 0x81, frame, 24, &n, nullptr));
    EXPECT_FALSE(WinUsb_ReadPipe(usb_, 0x02, buffer_, sizeof(buffer_), nullptr, &ov_));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(WinUsb_WritePipe(usb_, 0x02, frame, 24, &n, nullptr));
    EXPECT_EQ(n, 24u);
    EXPECT_EQ(adapter_->host_writes().size(), 1u);

    // A blocking read gets the echo of that frame.
    std::memset(buffer_, 0, sizeof(buffer_));
    ASSERT_TRUE(WinUsb_ReadPipe(usb_, 0x81, buffer_, sizeof(buffer_), &n, nullptr));
    EXPECT_EQ(n, 24u);
    EXPECT_EQ(buffer_[0], 0);
}

TEST_F(WinUsb, FreeingTheInterfaceEndsPendingReads) {
    EXPECT_FALSE(WinUsb_ReadPipe(usb_, 0x81, buffer_, sizeof(buffer_), nullptr, &ov_));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_EQ(adapter_->pending_reads(), 1);
    EXPECT_TRUE(WinUsb_Free(usb_));
    usb_ = nullptr;
    // Finished before Free returned.
    EXPECT_EQ(adapter_->pending_reads(), 0);
    EXPECT_EQ(WaitForMultipleObjects(1, &event_, false, 0), WAIT_OBJECT_0);
    EXPECT_EQ(ov_.Internal, ERROR_OPERATION_ABORTED);
    uint32_t n = 0;
    EXPECT_FALSE(WinUsb_GetOverlappedResult(usb_, &ov_, &n, false));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(WinUsb, RemovedDeviceFailsEveryTransfer) {
    EXPECT_FALSE(WinUsb_ReadPipe(usb_, 0x81, buffer_, sizeof(buffer_), nullptr, &ov_));
    ASSERT_EQ(adapter_->pending_reads(), 1);
    adapter_->unplug();
    EXPECT_TRUE(backend_->list_gs_usb_interfaces().empty());
    EXPECT_EQ(WaitForMultipleObjects(1, &event_, false, 1000), WAIT_OBJECT_0);
    uint32_t n = 0;
    EXPECT_FALSE(WinUsb_GetOverlappedResult(usb_, &ov_, &n, false));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(WinUsb_ReadPipe(usb_, 0x81, buffer_, sizeof(buffer_), nullptr, &ov_));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(WaitForMultipleObjects(1, &event_, false, 0), WAIT_TIMEOUT) << "a refused read leaves the event clear";
    uint8_t frame[24] = {};
    EXPECT_FALSE(WinUsb_WritePipe(usb_, 0x02, frame, 24, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    uint8_t ts[4];
    EXPECT_FALSE(WinUsb_ControlTransfer(usb_, {0xC1, 6, 1, 0, 4}, ts, 4, &n, nullptr));
    // A new open of the removed device finds nothing.
    EXPECT_EQ(CreateFileW(u"\\\\?\\usb#vid_1d50&pid_606f&mi_00#gone", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(WinUsb, ControlTransferChecksTheBuffer) {
    uint8_t reply[40];
    uint32_t n = 0;
    EXPECT_FALSE(WinUsb_ControlTransfer(usb_, {0xC1, 4, 0, 0, 40}, reply, 20, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(WinUsb_ControlTransfer(usb_, {0xC1, 4, 0, 0, 40}, reply, 40, &n, nullptr));
    EXPECT_EQ(n, 40u);
    uint32_t clock = 0;
    std::memcpy(&clock, reply + 4, 4);
    EXPECT_EQ(clock, 48000000u);
    adapter_->fail_request(4);
    EXPECT_FALSE(WinUsb_ControlTransfer(usb_, {0xC1, 4, 0, 0, 40}, reply, 40, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

// ---- real USB ---------------------------------------------------------------

TEST(LibUsbBackend, FindsNoAdapterOnThisMachine) {
    auto backend = hv::usb::LibUsbBackend::instance();
    EXPECT_TRUE(backend->list_gs_usb_interfaces().empty());
    hv::usb::UsbStatus status = hv::usb::UsbStatus::ok;
    EXPECT_EQ(backend->open_interface("\\\\?\\usb#vid_1d50&pid_606f&mi_00#1-1&2#x", status), nullptr);
    EXPECT_EQ(status, hv::usb::UsbStatus::not_found);
    // The default backend is the libusb one.
    hv::usb::set_usb_backend(nullptr);
    EXPECT_EQ(hv::usb::usb_backend(), backend);
}

TEST(GsUsbMatching, KnownIdsAndTheTwoBulkEndpoints) {
    EXPECT_TRUE(hv::usb::is_gs_usb_id(0x1d50, 0x606f));
    EXPECT_TRUE(hv::usb::is_gs_usb_id(0x1209, 0x2323));
    EXPECT_TRUE(hv::usb::is_gs_usb_id(0x1cd2, 0x606f));
    EXPECT_TRUE(hv::usb::is_gs_usb_id(0x16d0, 0x10b8));
    EXPECT_FALSE(hv::usb::is_gs_usb_id(0x0483, 0x5740));

    InterfaceInfo info;
    info.interface_class = 0xFF;
    info.endpoints = {EndpointInfo{0x81, 2, 64, 0}, EndpointInfo{0x02, 2, 64, 0}};
    EXPECT_TRUE(hv::usb::is_gs_usb_interface(info));
    info.interface_class = 0xFE;  // DFU
    EXPECT_FALSE(hv::usb::is_gs_usb_interface(info));
    info.interface_class = 0xFF;
    info.endpoints[1].address = 0x82;
    EXPECT_FALSE(hv::usb::is_gs_usb_interface(info));
    info.endpoints[1] = {0x02, 3, 64, 1};
    EXPECT_FALSE(hv::usb::is_gs_usb_interface(info));
    info.endpoints = {EndpointInfo{0x81, 2, 64, 0}};
    EXPECT_FALSE(hv::usb::is_gs_usb_interface(info));

    const std::string path = hv::usb::make_interface_path(0x1d50, 0x606f, 0, "3-1.2&7");
    EXPECT_EQ(path, "\\\\?\\usb#vid_1d50&pid_606f&mi_00#3-1.2&7#{c15b4308-04d3-11e6-b3ea-6057189e6443}");
    EXPECT_TRUE(hv::usb::is_usb_interface_path(path));
    EXPECT_FALSE(hv::usb::is_usb_interface_path("\\\\.\\COM3"));
}

}  // namespace
