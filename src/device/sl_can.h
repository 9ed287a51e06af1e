#pragma once
#include "can_interface.h"

// Base of the CAN links that speak the SLCAN text protocol on a serial port.
class SlCan : public CanInterface {
public:
    ~SlCan() override;
};
