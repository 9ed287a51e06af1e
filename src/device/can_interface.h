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
};
