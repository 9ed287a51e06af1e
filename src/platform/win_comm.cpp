// termios2 (any baud rate) comes from the kernel headers, which must not meet
// the C library's <termios.h> in one file.
#include "win_comm.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel_object.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace hv::win {

namespace {

using Clock = std::chrono::steady_clock;

// Without write time-outs a write gives up after this long without progress,
// so a stuck line cannot hang the caller for ever.
constexpr int kWriteStallMs = 1000;
// Waits are cut into steps so a handle closed meanwhile is noticed.
constexpr int kWaitStepMs = 20;
// Modem-line bits (TIOCM_DTR, TIOCM_RTS), which live beside <termios.h>.
constexpr int kModemDtr = 0x002;
constexpr int kModemRts = 0x004;

class CommFile : public KernelObject {
public:
    CommFile(int fd, bool readable, bool writable, bool tty)
        : fd_(fd), readable_(readable), writable_(writable), tty_(tty) {}
    ~CommFile() override {
        // Last reference gone: no call is using the descriptor any more.
        if (tty_) ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
    void on_close() override { closed_ = true; }

    int fd() const { return fd_; }
    bool readable() const { return readable_; }
    bool writable() const { return writable_; }
    bool tty() const { return tty_; }
    bool closed() const { return closed_; }
    COMMTIMEOUTS timeouts() {
        std::lock_guard<std::mutex> lock(mutex_);
        return timeouts_;
    }
    void set_timeouts(const COMMTIMEOUTS& t) {
        std::lock_guard<std::mutex> lock(mutex_);
        timeouts_ = t;
    }

private:
    const int fd_;
    const bool readable_;
    const bool writable_;
    const bool tty_;
    std::atomic<bool> closed_{false};
    std::mutex mutex_;
    COMMTIMEOUTS timeouts_{};  // all zero: reads wait for every byte asked for
};

std::atomic<uint32_t> g_injected[5];

bool injected(CommCall call) {
    const uint32_t error = g_injected[static_cast<int>(call)].exchange(0);
    if (error == 0) return false;
    SetLastError(error);
    return true;
}

bool fail(uint32_t error) {
    SetLastError(error);
    return false;
}

std::string device_path(const std::string& name) {
    std::string n = name;
    if (n.rfind("\\\\.\\", 0) == 0) n = n.substr(4);
    if (!n.empty() && n[0] == '/') return n;
    return "/dev/" + n;
}

uint32_t open_error(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// Serial ports (and other character devices) for CreateFileW; no sharing.
std::shared_ptr<KernelObject> open_comm_file(const std::string& name, uint32_t access,
                                             uint32_t flags, uint32_t& error) {
    error = ERROR_FILE_NOT_FOUND;
    if (flags & FILE_FLAG_OVERLAPPED) {
        error = ERROR_INVALID_PARAMETER;  // only synchronous I/O here
        return nullptr;
    }
    const std::string path = device_path(name);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = open_error(errno);
        return nullptr;
    }
    if (!S_ISCHR(st.st_mode)) return nullptr;  // not ours: stays "not found"

    const bool readable = access & GENERIC_READ;
    const bool writable = access & GENERIC_WRITE;
    int mode = O_RDONLY;
    if (readable && writable) mode = O_RDWR;
    else if (writable) mode = O_WRONLY;
    const int fd = ::open(path.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = open_error(errno);
        return nullptr;
    }
    struct termios2 t {};
    const bool tty = ioctl(fd, TCGETS2, &t) == 0;
    if (tty) {
        // A port is not shared: a second open fails while this one lives.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        ioctl(fd, TIOCEXCL);
    }
    error = ERROR_SUCCESS;
    return std::make_shared<CommFile>(fd, readable, writable, tty);
}

const bool g_opener_registered = [] {
    add_file_opener(open_comm_file);
    return true;
}();

int ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool device_gone(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

// Appends one UTF-16 code point; false when it does not fit.
void put_utf16(uint32_t cp, WCHAR* out, int capacity, int& n) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        if (out && n + 1 < capacity) {
            out[n] = static_cast<WCHAR>(0xD800 + (cp >> 10));
            out[n + 1] = static_cast<WCHAR>(0xDC00 + (cp & 0x3FF));
        }
        n += 2;
    } else {
        if (out && n < capacity) out[n] = static_cast<WCHAR>(cp);
        n += 1;
    }
}

}  // namespace

int MultiByteToWideChar(uint32_t code_page, uint32_t flags, const char* multi_byte,
                        int multi_byte_size, WCHAR* wide, int wide_size) {
    if ((code_page != CP_UTF8 && code_page != CP_ACP) || (flags & ~MB_ERR_INVALID_CHARS) ||
        multi_byte == nullptr || multi_byte_size == 0 || multi_byte_size < -1 || wide_size < 0 ||
        (wide_size > 0 && wide == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t size = multi_byte_size == -1 ? std::strlen(multi_byte) + 1
                                              : static_cast<size_t>(multi_byte_size);
    const auto* s = reinterpret_cast<const uint8_t*>(multi_byte);
    WCHAR* out = wide_size > 0 ? wide : nullptr;
    int n = 0;
    for (size_t i = 0; i < size;) {
        const uint8_t b = s[i];
        uint32_t cp = 0;
        int len = 0;
        if (b < 0x80) { cp = b; len = 1; }
        else if ((b & 0xE0) == 0xC0) { cp = b & 0x1F; len = 2; }
        else if ((b & 0xF0) == 0xE0) { cp = b & 0x0F; len = 3; }
        else if ((b & 0xF8) == 0xF0) { cp = b & 0x07; len = 4; }
        bool ok = len > 0 && i + static_cast<size_t>(len) <= size;
        for (int k = 1; ok && k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (ok) {
            static const uint32_t min_for_len[5] = {0, 0, 0x80, 0x800, 0x10000};
            ok = cp >= min_for_len[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp < 0xE000);
        }
        if (!ok) {
            if (flags & MB_ERR_INVALID_CHARS) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            put_utf16(0xFFFD, out, wide_size, n);
            i += 1;
            continue;
        }
        put_utf16(cp, out, wide_size, n);
        i += static_cast<size_t>(len);
    }
    if (wide_size > 0 && n > wide_size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return n;
}

bool GetCommState(HANDLE file, DCB* dcb) {
    if (injected(CommCall::GetCommState)) return false;
    auto port = lookup_handle_as<CommFile>(file);
    if (!port) return fail(ERROR_INVALID_HANDLE);
    if (dcb == nullptr) return fail(ERROR_INVALID_PARAMETER);
    struct termios2 t {};
    if (!port->tty() || ioctl(port->fd(), TCGETS2, &t) != 0) return fail(ERROR_INVALID_FUNCTION);

    std::memset(dcb, 0, sizeof(DCB));
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = t.c_ospeed;
    dcb->fBinary = 1;
    dcb->fParity = (t.c_iflag & INPCK) ? 1 : 0;
    const bool rts_cts = t.c_cflag & CRTSCTS;
    dcb->fOutxCtsFlow = rts_cts ? 1 : 0;
    dcb->fRtsControl = rts_cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    switch (t.c_cflag & CSIZE) {
        case CS5: dcb->ByteSize = 5; break;
        case CS6: dcb->ByteSize = 6; break;
        case CS7: dcb->ByteSize = 7; break;
        default: dcb->ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB)) dcb->Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR) dcb->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(t.c_cflag & CSTOPB)) dcb->StopBits = ONESTOPBIT;
    else dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return true;
}

bool SetCommState(HANDLE file, DCB* dcb) {
    if (injected(CommCall::SetCommState)) return false;
    auto port = lookup_handle_as<CommFile>(file);
    if (!port) return fail(ERROR_INVALID_HANDLE);
    if (dcb == nullptr) return fail(ERROR_INVALID_PARAMETER);
    struct termios2 t {};
    if (!port->tty() || ioctl(port->fd(), TCGETS2, &t) != 0) return fail(ERROR_INVALID_FUNCTION);

    // What a tty here cannot do is refused rather than silently ignored.
    const bool stop_bits_ok = dcb->StopBits == ONESTOPBIT ||
                              (dcb->StopBits == ONE5STOPBITS && dcb->ByteSize == 5) ||
                              (dcb->StopBits == TWOSTOPBITS && dcb->ByteSize != 5);
    if (dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
        !stop_bits_ok || dcb->fOutxDsrFlow || dcb->fDsrSensitivity ||
        dcb->fDtrControl == DTR_CONTROL_HANDSHAKE || dcb->fRtsControl == RTS_CONTROL_TOGGLE)
        return fail(ERROR_INVALID_PARAMETER);

    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                         IXON | IXOFF | IXANY | INPCK);
    if (dcb->fParity && dcb->Parity != NOPARITY) t.c_iflag |= INPCK;
    if (dcb->fOutX) t.c_iflag |= IXON;
    if (dcb->fInX) t.c_iflag |= IXOFF;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);

    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD |
                                         (CBAUD << IBSHIFT));
    static const tcflag_t sizes[4] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[dcb->ByteSize - 5] | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    switch (dcb->Parity) {
        case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
        case EVENPARITY: t.c_cflag |= PARENB; break;
        case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
        default: break;
    }
    if (dcb->StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
    t.c_ispeed = dcb->BaudRate;
    t.c_ospeed = dcb->BaudRate;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (dcb->XonChar) t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    if (dcb->XoffChar) t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    if (ioctl(port->fd(), TCSETS2, &t) != 0)
        return fail(errno == EINVAL ? ERROR_INVALID_PARAMETER : ERROR_GEN_FAILURE);

    // Modem lines: best effort (ptys have none).
    int dtr = kModemDtr;
    ioctl(port->fd(), dcb->fDtrControl == DTR_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &dtr);
    if (dcb->fRtsControl != RTS_CONTROL_HANDSHAKE) {
        int rts = kModemRts;
        ioctl(port->fd(), dcb->fRtsControl == RTS_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &rts);
    }
    return true;
}

bool SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
    if (injected(CommCall::SetCommTimeouts)) return false;
    auto port = lookup_handle_as<CommFile>(file);
    if (!port) return fail(ERROR_INVALID_HANDLE);
    if (timeouts == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (!port->tty()) return fail(ERROR_INVALID_FUNCTION);
    port->set_timeouts(*timeouts);
    return true;
}

bool ReadFile(HANDLE file, void* buffer, uint32_t bytes_to_read, uint32_t* bytes_read,
              OVERLAPPED* overlapped) {
    if (bytes_read) *bytes_read = 0;
    if (injected(CommCall::ReadFile)) return false;
    auto port = lookup_handle_as<CommFile>(file);
    if (!port) return fail(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || (buffer == nullptr && bytes_to_read > 0))
        return fail(ERROR_INVALID_PARAMETER);
    if (!port->readable()) return fail(ERROR_ACCESS_DENIED);
    if (bytes_to_read == 0) return true;

    const COMMTIMEOUTS t = port->timeouts();
    // MAXDWORD interval and no totals: whatever has arrived, at once.
    const bool immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                           t.ReadTotalTimeoutConstant == 0;
    // MAXDWORD interval and multiplier: the first bytes, waiting up to the constant.
    const bool first_bytes = t.ReadIntervalTimeout == MAXDWORD &&
                             t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                             t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD;
    const bool has_total = !first_bytes && (t.ReadTotalTimeoutMultiplier || t.ReadTotalTimeoutConstant);
    const uint64_t total_ms = first_bytes ? t.ReadTotalTimeoutConstant
                                          : uint64_t{t.ReadTotalTimeoutMultiplier} * bytes_to_read +
                                                t.ReadTotalTimeoutConstant;
    const bool has_interval = !immediate && !first_bytes && t.ReadIntervalTimeout != 0;
    const auto start = Clock::now();
    const auto total_deadline = start + std::chrono::milliseconds(total_ms);
    auto last_byte = start;

    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t got = 0;
    while (got < bytes_to_read) {
        if (port->closed()) return fail(ERROR_OPERATION_ABORTED);
        const ssize_t n = ::read(port->fd(), out + got, bytes_to_read - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            last_byte = Clock::now();
            if (immediate || first_bytes) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            // Nothing now (a raw tty reads 0 then). A tty that was hung up also
            // reads nothing, and says so through poll.
            if (n == 0 && !port->tty()) break;  // end of a plain file
            int wait = immediate ? 0 : kWaitStepMs;
            bool expired = false;
            if (has_total || first_bytes) {
                const int left = ms_until(total_deadline);
                expired = left == 0;
                wait = std::min(wait, left);
            }
            if (has_interval && got > 0) {
                const int left = ms_until(last_byte + std::chrono::milliseconds(t.ReadIntervalTimeout));
                expired = expired || left == 0;
                wait = std::min(wait, left);
            }
            pollfd pfd{port->fd(), POLLIN, 0};
            const int r = ::poll(&pfd, 1, wait);
            if (r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                if (got > 0) break;
                return fail(ERROR_DEVICE_NOT_CONNECTED);
            }
            if (immediate || expired) break;
            continue;
        }
        if (got > 0) break;  // hand over what came; the failure shows on the next call
        return fail(device_gone(errno) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_READ_FAULT);
    }
    if (bytes_read) *bytes_read = got;
    return true;
}

bool WriteFile(HANDLE file, const void* buffer, uint32_t bytes_to_write, uint32_t* bytes_written,
               OVERLAPPED* overlapped) {
    if (bytes_written) *bytes_written = 0;
    if (injected(CommCall::WriteFile)) return false;
    auto port = lookup_handle_as<CommFile>(file);
    if (!port) return fail(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || (buffer == nullptr && bytes_to_write > 0))
        return fail(ERROR_INVALID_PARAMETER);
    if (!port->writable()) return fail(ERROR_ACCESS_DENIED);

    const COMMTIMEOUTS t = port->timeouts();
    const bool has_total = t.WriteTotalTimeoutMultiplier || t.WriteTotalTimeoutConstant;
    const auto deadline = Clock::now() + std::chrono::milliseconds(
                                             uint64_t{t.WriteTotalTimeoutMultiplier} * bytes_to_write +
                                             t.WriteTotalTimeoutConstant);
    auto last_progress = Clock::now();
    const auto* in = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < bytes_to_write) {
        if (port->closed()) return fail(ERROR_OPERATION_ABORTED);
        const ssize_t n = ::write(port->fd(), in + done, bytes_to_write - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            last_progress = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int left = has_total ? ms_until(deadline)
                                       : ms_until(last_progress + std::chrono::milliseconds(kWriteStallMs));
            if (left == 0) {
                if (bytes_written) *bytes_written = done;
                return fail(ERROR_SEM_TIMEOUT);
            }
            pollfd pfd{port->fd(), POLLOUT, 0};
            ::poll(&pfd, 1, std::min(left, kWaitStepMs));
            continue;
        }
        if (bytes_written) *bytes_written = done;
        return fail(n < 0 && device_gone(errno) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_WRITE_FAULT);
    }
    if (bytes_written) *bytes_written = done;
    return true;
}

void inject_comm_failure(CommCall call, uint32_t error) {
    g_injected[static_cast<int>(call)].store(error);
}

}  // namespace hv::win
