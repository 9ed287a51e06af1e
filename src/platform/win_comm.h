#pragma once
// Stand-ins for the Win32 communications calls a serial link makes, over POSIX
// ttys: character conversion, comm state and time-outs, and synchronous
// ReadFile/WriteFile on handles from CreateFileW (win_api.h).
//
// CreateFileW opens a serial port by a device name ("ttyUSB0", resolved under
// /dev/) or by a path ("/dev/pts/3"), exclusively, as Windows opens COM ports.
// Handles come from the layer's handle table: a closed handle is refused by
// every call and never refers to another object later.
#include <cstdint>

#include "win_api.h"
#include "win_types.h"

namespace hv::win {

constexpr uint32_t CP_ACP = 0;
constexpr uint32_t CP_UTF8 = 65001;
constexpr uint32_t MB_ERR_INVALID_CHARS = 0x8;
constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;

constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
constexpr uint32_t ERROR_WRITE_FAULT = 29;
constexpr uint32_t ERROR_READ_FAULT = 30;
constexpr uint32_t ERROR_NO_UNICODE_TRANSLATION = 1113;

// DCB byte fields.
constexpr uint8_t NOPARITY = 0;
constexpr uint8_t ODDPARITY = 1;
constexpr uint8_t EVENPARITY = 2;
constexpr uint8_t MARKPARITY = 3;
constexpr uint8_t SPACEPARITY = 4;
constexpr uint8_t ONESTOPBIT = 0;
constexpr uint8_t ONE5STOPBITS = 1;
constexpr uint8_t TWOSTOPBITS = 2;
constexpr uint32_t DTR_CONTROL_DISABLE = 0;
constexpr uint32_t DTR_CONTROL_ENABLE = 1;
constexpr uint32_t DTR_CONTROL_HANDSHAKE = 2;
constexpr uint32_t RTS_CONTROL_DISABLE = 0;
constexpr uint32_t RTS_CONTROL_ENABLE = 1;
constexpr uint32_t RTS_CONTROL_HANDSHAKE = 2;
constexpr uint32_t RTS_CONTROL_TOGGLE = 3;

// Device control block, field for field as on Windows.
struct DCB {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t fBinary : 1;
    uint32_t fParity : 1;
    uint32_t fOutxCtsFlow : 1;
    uint32_t fOutxDsrFlow : 1;
    uint32_t fDtrControl : 2;
    uint32_t fDsrSensitivity : 1;
    uint32_t fTXContinueOnXoff : 1;
    uint32_t fOutX : 1;
    uint32_t fInX : 1;
    uint32_t fErrorChar : 1;
    uint32_t fNull : 1;
    uint32_t fRtsControl : 2;
    uint32_t fAbortOnError : 1;
    uint32_t fDummy2 : 17;
    uint16_t wReserved;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    uint16_t wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB is 28 bytes");

struct COMMTIMEOUTS {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

// CP_UTF8 (CP_ACP is taken as UTF-8 too). A size of -1 converts up to and with
// the terminating NUL; wide_size 0 asks for the length needed. Returns the
// number of UTF-16 units, 0 with the last error on failure. Malformed input
// becomes U+FFFD unless MB_ERR_INVALID_CHARS is given.
int MultiByteToWideChar(uint32_t code_page, uint32_t flags, const char* multi_byte,
                        int multi_byte_size, WCHAR* wide, int wide_size);

// Fail with ERROR_INVALID_HANDLE for unknown handles and with
// ERROR_INVALID_FUNCTION for files that are not serial ports.
bool GetCommState(HANDLE file, DCB* dcb);
// ERROR_INVALID_PARAMETER for settings the port cannot take.
bool SetCommState(HANDLE file, DCB* dcb);
bool SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);

// Synchronous only (no OVERLAPPED). With ReadIntervalTimeout MAXDWORD and both
// read totals 0, ReadFile returns at once with what has arrived, possibly
// nothing. A port that went away fails with ERROR_DEVICE_NOT_CONNECTED.
bool ReadFile(HANDLE file, void* buffer, uint32_t bytes_to_read, uint32_t* bytes_read,
              OVERLAPPED* overlapped);
// Returns when every byte is with the driver, or fails after the write
// time-outs (or, without them, after one second in which no byte was taken).
bool WriteFile(HANDLE file, const void* buffer, uint32_t bytes_to_write, uint32_t* bytes_written,
               OVERLAPPED* overlapped);

// Fault injection for tests: the next call of that kind fails with `error`
// (0 cancels). Real ports never fail this way.
enum class CommCall { GetCommState, SetCommState, SetCommTimeouts, ReadFile, WriteFile };
void inject_comm_failure(CommCall call, uint32_t error);

}  // namespace hv::win
