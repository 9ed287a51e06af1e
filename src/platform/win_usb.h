#pragma once
// Stand-ins for the WinUSB calls of the gs_usb host library, over the USB
// backend (usb_backend.h). Control transfers and pipe writes are synchronous
// with bounded time-outs; pipe reads with an OVERLAPPED stay pending until the
// device delivers, then fill the OVERLAPPED and set its event. Freeing the
// interface or closing the file ends every pending read before it returns, so
// no transfer touches the caller's buffers afterwards.
#include <cstdint>
#include <string>

#include "win_types.h"

namespace hv::win {

// Time-outs of the synchronous transfers; Windows would wait forever on a bulk pipe.
// An adapter takes a frame within a millisecond or two unless its buffers are full
// because nothing on the bus acknowledges; then it NAKs until the bus recovers, and
// a longer wait would only stall every caller behind the link's lock.
constexpr unsigned kControlTimeoutMs = 1000;
constexpr unsigned kWriteTimeoutMs = 10;

bool WinUsb_Initialize(HANDLE device_file, WINUSB_INTERFACE_HANDLE* interface_handle);
bool WinUsb_Free(WINUSB_INTERFACE_HANDLE interface_handle);
bool WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE interface_handle,
                                   uint8_t alternate_setting, USB_INTERFACE_DESCRIPTOR* descriptor);
bool WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE interface_handle, uint8_t alternate_setting,
                      uint8_t pipe_index, WINUSB_PIPE_INFORMATION* pipe_information);
bool WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE interface_handle, uint8_t pipe_id,
                          uint32_t policy_type, uint32_t value_length, void* value);
// Synchronous only: `overlapped` must be null.
bool WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE interface_handle,
                            WINUSB_SETUP_PACKET setup_packet, uint8_t* buffer,
                            uint32_t buffer_length, uint32_t* length_transferred,
                            OVERLAPPED* overlapped);
// Synchronous only: `overlapped` must be null.
bool WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE interface_handle, uint8_t pipe_id, uint8_t* buffer,
                      uint32_t buffer_length, uint32_t* length_transferred,
                      OVERLAPPED* overlapped);
// With an OVERLAPPED (whose hEvent is an event of CreateEventW): resets the
// event, queues the read and returns false with ERROR_IO_PENDING. Without one:
// waits for the read.
bool WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE interface_handle, uint8_t pipe_id, uint8_t* buffer,
                     uint32_t buffer_length, uint32_t* length_transferred,
                     OVERLAPPED* overlapped);
// ERROR_IO_INCOMPLETE while the read runs and `wait` is false.
bool WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE interface_handle, OVERLAPPED* overlapped,
                                uint32_t* number_of_bytes_transferred, bool wait);

namespace detail {
// CreateFileW for a USB device-interface path.
HANDLE create_usb_file(const std::string& path);
}  // namespace detail

}  // namespace hv::win
