#pragma once
// Helpers for the tests of the step and curve senders and of the curve dialog.
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "console_capture.h"

// The lines the senders and the curve dialog write, in order; the links' receive
// threads may log in between.
inline std::vector<std::string> sender_lines(ConsoleCapture& console) {
    static const char* const kPrefixes[] = {"mode_ is: ", "[INFO] Send_", "[INFO] Sleep_", "[ERROR] Send rate",
                                            "[WARN] Unknown curve", "[INFO] Dectruct SetCurve",
                                            "[INFO] Destruct CurveSender", "[INFO] Destruct StepSender"};
    std::vector<std::string> out;
    for (const auto& line : console.lines())
        for (const char* prefix : kPrefixes)
            if (line.rfind(prefix, 0) == 0) {
                out.push_back(line);
                break;
            }
    return out;
}

// The curve target at time t as the driver tooling defines it, rounding included.
// type 0 torque follow, 1 position follow; params: amplitude, frequency (Hz),
// offset, Kp, Kd. Returns position, velocity, torque, Kp, Kd.
inline std::array<float, 5> curve_target(uint8_t type, float t, const std::array<float, 5>& params) {
    const float a = params[0];
    const float c = params[2];
    const float w = 6.283185f * params[1];
    const float x = t * w;
    if (type == 0) return {0.0f, 0.0f, static_cast<float>(std::sin(static_cast<double>(x)) * a + c), params[3], params[4]};
    const float peak = a * w;
    return {static_cast<float>(std::sin(static_cast<double>(x)) * a + c),
            static_cast<float>(std::cos(static_cast<double>(x)) * static_cast<double>(peak)), 0.0f, params[3],
            params[4]};
}
