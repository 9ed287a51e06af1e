// Kept apart from <termios.h>: termios2 (any baud rate) comes from the kernel headers.
#include "tty_settings.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

std::string tty_settings(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return {};
    const tcflag_t c = t.c_cflag;
    const int bits = (c & CSIZE) == CS5 ? 5 : (c & CSIZE) == CS6 ? 6 : (c & CSIZE) == CS7 ? 7 : 8;
    return std::to_string(t.c_ispeed) + "/" + std::to_string(t.c_ospeed) + " " + std::to_string(bits) +
           ((c & PARENB) ? "P" : "N") + ((c & CSTOPB) ? "2" : "1") + ((c & CRTSCTS) ? " rtscts" : "");
}
