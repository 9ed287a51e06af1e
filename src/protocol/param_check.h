#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "motor_types.h"

// The driver's parameter self-check, shared by both reply parsers.

// Result text of a check step 0..6 as GBK bytes; empty for any other step.
const std::string& check_step_text(uint32_t step);

// One check record: the pass flag, the result text and the twelve measurements in field order.
CheckData make_check_data(bool pass, const std::string& result, const std::array<float, 12>& values);
