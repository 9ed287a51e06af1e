// SLCAN text through a pseudo-terminal into the SLCAN link's line reader.
#include <QCoreApplication>
#include <QEventLoop>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <unistd.h>

#include "fuzz_check.h"
#include "sl_can_qt.h"

namespace {
// SLCAN spelling of a frame: "t", three id digits, the DLC, two digits a byte.
std::string spelling(CanFrame& f) {
    char text[24];
    int n = std::snprintf(text, sizeof text, "t%03X%u", f.get_id(), f.get_dlc());
    for (int i = 0; i < f.get_dlc(); ++i) n += std::snprintf(text + n, sizeof text - n, "%02X", f.get_data_at(i));
    return text;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_application();
    static SlCanQt link;
    static int master = -1, slave = -1;
    static unsigned sequence = 0;
    if (master < 0) {
        quiet_console();
        char name[64];
        termios raw{};
        cfmakeraw(&raw);
        FUZZ_CHECK(openpty(&master, &slave, name, &raw, nullptr) == 0 && link.open(name) == 0);
        // A full pty must not block: the link that drains it runs on this thread.
        FUZZ_CHECK(fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) == 0);
    }
    // Far below the link's ring, so nothing is dropped for lack of room.
    const std::string input(reinterpret_cast<const char*>(data), std::min<size_t>(size, 1024));
    std::string upper = input;
    for (char& c : upper) c = (c >= 'a' && c <= 'f') ? static_cast<char>(std::toupper(c)) : c;
    // A frame that is not in the input marks where the link has read up to.
    char marker[32];
    std::snprintf(marker, sizeof marker, "\rt7FF8%08X00000000\r", ++sequence);
    const std::string bytes = "\r" + input + marker;
    // An input may spell a later marker, leaving bytes unread; a write the pty cannot
    // take whole (or a signal cuts short) goes on once the link has read some.
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        FUZZ_CHECK(n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN)));
        if (n > 0) done += static_cast<size_t>(n);
        else QCoreApplication::processEvents();
    }
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        CanFrame frame;
        while (link.receive(frame) == 1) {
            FUZZ_CHECK(frame.get_dlc() <= 8);
            const std::string text = spelling(frame);
            if (frame.get_id() == 0x7FF && frame.get_dlc() == 8) {
                if (marker + 1 == text + "\r") return 0;
                continue;  // a marker of an earlier input, or the fuzzer's own
            }
            // No frame without a line that spells it.
            FUZZ_CHECK(upper.find(text) != std::string::npos);
        }
    }
}
