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
};
