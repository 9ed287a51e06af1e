#pragma once
#include "can_frame.h"
#include "device_interface.h"

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
    // As send(), but only while the bus answers: 0 when the frame was not sent
    // because the bus is silent (or found so by this very write). A link that
    // resets itself on silence checks and writes in one step with respect to it.
    virtual int send_while_bus_answers(CanFrame& frame) { return bus_silent() ? 0 : send(frame); }
};
