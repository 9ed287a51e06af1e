// CAN frames (13 bytes each: id, dlc, eight data bytes) through the reply parser.
#include <cmath>
#include <cstring>

#include "can_codec.h"
#include "can_receiver.h"
#include "fuzz_check.h"

namespace {
bool within(float value, float low, float high) { return value >= low - 1e-3f && value <= high + 1e-3f; }
int motion_samples = 0, common_states = 0;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_application();
    static CanReceiver receiver(nullptr);
    static const bool connected = [] {
        quiet_console();
        QObject::connect(&receiver, &DeviceReceiver::motor_motion_state_signal,
                         [](QVector<StampedMoitonState>& samples) {
                             for (const StampedMoitonState& s : samples)
                                 FUZZ_CHECK(within(s.position, -40, 40) && within(s.velocity, -40, 40) &&
                                            within(s.torque, -40, 40));
                             motion_samples += samples.size();
                             samples.clear();
                         });
        QObject::connect(&receiver, &CanReceiver::motor_common_state_signal, [](CommonState s) {
            // A motion reply carries one temperature; the other values are marked missing.
            FUZZ_CHECK(s.voltage == kCommonStateMissing);
            FUZZ_CHECK((s.motor_temp == kCommonStateMissing) != (s.driver_temp == kCommonStateMissing));
            FUZZ_CHECK(within(std::max(s.motor_temp, s.driver_temp), -20, 200));
            ++common_states;
        });
        return true;
    }();
    (void)connected;

    int motion_frames = 0;
    motion_samples = common_states = 0;
    for (size_t at = 0; at + 13 <= size; at += 13) {
        CanFrame frame;
        std::memcpy(&frame.id, data + at, 4);
        frame.dlc = data[at + 4];
        frame.set_data(data + at + 5);
        // Extended, remote and error frames (id above 11 bits) are never replies.
        motion_frames += frame.id <= 0x7FF && ((frame.id >> 5) & 0x3F) == CanCommand::kMotionControl;
        receiver.parse_frame(frame);
    }
    QMetaObject::invokeMethod(&receiver, "send_buffer_timer_slot", Qt::DirectConnection);
    FUZZ_CHECK(motion_samples == motion_frames && common_states == motion_frames);
    return 0;
}
