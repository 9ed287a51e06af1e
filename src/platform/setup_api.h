#pragma once
// Stand-ins for the SetupAPI calls that enumerate device interfaces. The only
// interface class known is the gs_usb one (usb::kGsUsbInterfaceGuid); its
// members are the gs_usb interfaces the USB backend finds when the set is built.
#include <cstdint>

#include "win_types.h"

namespace hv::win {

// Needs DIGCF_DEVICEINTERFACE; INVALID_HANDLE_VALUE on failure.
HDEVINFO SetupDiGetClassDevsW(const GUID* class_guid, const WCHAR* enumerator, void* parent,
                              uint32_t flags);

// ERROR_NO_MORE_ITEMS past the last interface; data->cbSize must be sizeof(SP_DEVICE_INTERFACE_DATA).
bool SetupDiEnumDeviceInterfaces(HDEVINFO set, void* device_info_data, const GUID* class_guid,
                                 uint32_t index, SP_DEVICE_INTERFACE_DATA* data);

// With no buffer: fails with ERROR_INSUFFICIENT_BUFFER and reports the size
// needed. With a buffer: detail->cbSize must be sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W).
bool SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail,
                                      uint32_t detail_size, uint32_t* required_size,
                                      void* device_info_data);

bool SetupDiDestroyDeviceInfoList(HDEVINFO set);

}  // namespace hv::win
