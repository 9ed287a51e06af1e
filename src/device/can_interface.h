#pragma once
#include <string>
#include <vector>

#include "can_frame.h"
#include "device_interface.h"

// Why an adapter cannot be used or opened, for the operator.
struct AdapterProblem {
    enum class Kind {
        kNone,
        kGone,                // not in the list, or gone since: nothing to tell beyond the list
        kNoPermission,        // the user may not open it
        kKernelInterfaceUp,   // the kernel's CAN interface `detail` (e.g. "can0") uses it
        kFailed,              // the open failed; `detail` says what, in the log's words
    };
    Kind kind = Kind::kNone;
    std::string detail;
    bool operator==(const AdapterProblem& other) const { return kind == other.kind && detail == other.detail; }
};

// A link that exchanges single CAN frames.
class CanInterface : public DeviceInterface {
public:
    // Negative on failure.
    virtual int send(CanFrame& frame) = 0;
    // Above 0 when a frame was read into `frame`.
    virtual int receive(CanFrame& frame) = 0;
    // True while nothing on the bus acknowledges: a frame sent now would wait in
    // the adapter and reach the motor late.
    virtual bool bus_silent() { return false; }
    // As send(), but only while the bus answers: above 0 when the frame was sent,
    // 0 when it was not because the bus is silent (or found so by this very write).
    // A link that resets itself on silence checks and writes in one step with respect to it.
    virtual int send_while_bus_answers(CanFrame& frame) {
        if (bus_silent()) return 0;
        const int result = send(frame);
        return result < 0 ? result : 1;  // a link may report a sent frame as 0
    }
    // Why the last open failed (kNone after one that succeeded).
    virtual AdapterProblem open_problem() { return {}; }
    // Why adapters present were left out of the last scan, for causes the operator
    // can mend; one entry per adapter.
    virtual std::vector<AdapterProblem> unusable_adapters() { return {}; }
};
