#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "motor_types.h"

// The driver's parameter self-check, shared by both reply parsers.

// Result text of a check step as GBK bytes: steps 0..6 have their own texts, any
// other step one text of "unknown result".
const std::string& check_step_text(uint32_t step);

// The record of one finished check: the pass flag, the result text and the twelve
// measurements in field order. It takes the parser's text and values and leaves
// them cleared, so the next check starts from zero values and no text; a check
// whose step set no text (an unknown step) carries the unknown-result text.
CheckData make_check_data(bool pass, std::string& result, std::array<float, 12>& values);
