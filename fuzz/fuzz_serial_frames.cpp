// Serial bytes, in reads of fuzzed sizes, through frame extraction and the reply parser.
#include <algorithm>
#include <cstring>

#include "fuzz_check.h"
#include "serial_frame_buffer.h"
#include "serial_receiver.h"

namespace {
constexpr int kHeaderless = 64;
constexpr int kBacklog = 256;
int motion_samples = 0;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_application();
    static SerialReceiver receiver(nullptr);
    [[maybe_unused]] static const bool connected = (quiet_console(), QObject::connect(
        &receiver, &DeviceReceiver::motor_motion_state_signal, [](QVector<StampedMoitonState>& s) {
            motion_samples += s.size();
            s.clear();
        }));

    SerialFrameBuffer buffer(kHeaderless, kBacklog);
    long accepted = 0, taken = 0;
    int motion_frames = 0;
    motion_samples = 0;
    // Takes frames as the receive loop does, until a call makes no progress.
    auto drain = [&] {
        for (int unread = buffer.size();; unread = buffer.size()) {
            if (!buffer.frame_available()) {
                if (buffer.size() == unread) break;
                continue;
            }
            const QByteArray head = buffer.contents();
            SerialFrame frame;
            buffer.read_frame(frame);
            const int length = head.size() - buffer.size();
            const auto* p = reinterpret_cast<const uint8_t*>(head.constData());
            // Taken only behind a whole header, as one of the four frame kinds, with a good sum.
            FUZZ_CHECK(is_serial_frame_length(static_cast<uint32_t>(length)) && std::memcmp(p, kSerialHeader, 4) == 0);
            FUZZ_CHECK(byte_sum_checksum(p, static_cast<uint8_t>(length)) == p[length - 1]);
            FUZZ_CHECK(frame.length == static_cast<uint32_t>(length) && frame.payload.size() == (length - 11u) / 4);
            taken += length;
            motion_frames += frame.cmd == SerialReceiver::kMotionState && length == 23;
            receiver.dispatch_frame(frame);
        }
        // At rest the buffer holds a headerless remnant or the start of one frame.
        const QByteArray rest = buffer.contents();
        FUZZ_CHECK(rest.indexOf('\xFF') < 0 ? rest.size() <= kHeaderless : rest.startsWith('\xFF') && rest.size() < 31);
    };
    for (size_t at = 0; at < size;) {
        // The first byte of a read sets its size and whether the reader keeps up.
        const size_t chunk = std::min<size_t>(size - at, 1 + data[at] % 40);
        const bool keep_up = !(data[at] & 0x80);
        const int before = buffer.size();
        buffer.append(reinterpret_cast<const char*>(data + at), static_cast<int>(chunk));
        at += chunk;
        accepted += buffer.size() - before;
        FUZZ_CHECK(buffer.size() - before <= static_cast<int>(chunk) && buffer.size() <= kBacklog);
        if (keep_up) drain();
        FUZZ_CHECK(taken + buffer.size() <= accepted);  // never more out than in
    }
    drain();
    QMetaObject::invokeMethod(&receiver, "send_buffer_timer_slot", Qt::DirectConnection);
    FUZZ_CHECK(motion_samples == motion_frames);
    return 0;
}
