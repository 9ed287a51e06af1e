// Kept apart from <termios.h>: termios2 comes from the kernel headers.
#include "tty_settings.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

bool read_tty_settings(int fd, TtySettings& s) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    s.input_baud = t.c_ispeed;
    s.output_baud = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
        case CS5: s.data_bits = 5; break;
        case CS6: s.data_bits = 6; break;
        case CS7: s.data_bits = 7; break;
        default: s.data_bits = 8; break;
    }
    s.parity = (t.c_cflag & PARENB) != 0;
    s.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
    s.rts_cts = (t.c_cflag & CRTSCTS) != 0;
    return true;
}
