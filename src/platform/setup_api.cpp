#include "setup_api.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "kernel_object.h"
#include "usb_backend.h"
#include "win_api.h"

namespace hv::win {

namespace {

class DeviceInfoSet : public KernelObject {
public:
    GUID class_guid{};
    std::vector<std::u16string> paths;
};

constexpr uint32_t kInterfaceActive = 0x1;
constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

}  // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID* class_guid, const WCHAR* enumerator, void* parent,
                              uint32_t flags) {
    (void)enumerator;
    (void)parent;
    if (detail::failure_injected(usb::WinCall::SetupDiGetClassDevsW)) return INVALID_HANDLE_VALUE;
    if (class_guid == nullptr || !(flags & DIGCF_DEVICEINTERFACE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    set->class_guid = *class_guid;
    if (*class_guid == usb::kGsUsbInterfaceGuid) {
        for (const std::string& path : usb::usb_backend()->list_gs_usb_interfaces())
            set->paths.push_back(to_utf16(path));
    }
    return register_handle(std::move(set));
}

bool SetupDiEnumDeviceInterfaces(HDEVINFO set_handle, void* device_info_data,
                                 const GUID* class_guid, uint32_t index,
                                 SP_DEVICE_INTERFACE_DATA* data) {
    (void)device_info_data;
    if (detail::failure_injected(usb::WinCall::SetupDiEnumDeviceInterfaces)) return false;
    auto set = lookup_handle_as<DeviceInfoSet>(set_handle);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return false;
    }
    if (class_guid == nullptr || *class_guid != set->class_guid || index >= set->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return false;
    }
    data->InterfaceClassGuid = set->class_guid;
    data->Flags = kInterfaceActive;
    data->Reserved = static_cast<uintptr_t>(index) + 1;
    return true;
}

bool SetupDiGetDeviceInterfaceDetailW(HDEVINFO set_handle, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail,
                                      uint32_t detail_size, uint32_t* required_size,
                                      void* device_info_data) {
    (void)device_info_data;
    if (detail::failure_injected(usb::WinCall::SetupDiGetDeviceInterfaceDetailW)) return false;
    auto set = lookup_handle_as<DeviceInfoSet>(set_handle);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (data == nullptr || data->Reserved == 0 || data->Reserved > set->paths.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::u16string& path = set->paths[data->Reserved - 1];
    const std::size_t needed = kPathOffset + (path.size() + 1) * sizeof(WCHAR);
    if (required_size != nullptr) *required_size = static_cast<uint32_t>(needed);
    if (detail == nullptr) {
        SetLastError(detail_size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
        return false;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return false;
    }
    if (detail_size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    auto* out = reinterpret_cast<unsigned char*>(detail) + kPathOffset;
    std::memcpy(out, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return true;
}

bool SetupDiDestroyDeviceInfoList(HDEVINFO set_handle) {
    if (!lookup_handle_as<DeviceInfoSet>(set_handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return release_handle(set_handle);
}

}  // namespace hv::win
