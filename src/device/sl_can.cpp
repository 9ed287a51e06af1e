#include "sl_can.h"

SlCan::~SlCan() = default;
