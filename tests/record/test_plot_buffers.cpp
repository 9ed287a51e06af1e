// Plot buffers: the 3 s window of PvtPoints and its per-column extremes.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "pvt_points.h"

namespace {

using Times = std::vector<double>;
using Quad = std::array<float, 4>;

// Columns told apart: position 10 t, velocity -t, torque t + 0.5.
void append_t(PvtPoints& p, float t) {
    const float s[4] = {t, t * 10.0f, -t, t + 0.5f};
    p.append(s);
}

Times times(PvtPoints& p) {
    std::lock_guard<PvtPoints> lock(p);
    return Times(p.time().cbegin(), p.time().cend());
}

// At most one oldest sample leaves per append: when the span passes 3 s, and when
// time jumps back (a new run) until the old samples have drained.
TEST(PvtPoints, WindowDropsAtMostTheOldestSamplePerAppend) {
    const std::vector<std::vector<std::pair<float, Times>>> runs = {
        {{0, {0}}, {1, {0, 1}}, {3, {0, 1, 3}}, {3.5f, {1, 3, 3.5}}},
        {{8, {8}}, {10, {8, 10}}, {1, {10, 1}}, {1.1f, {1, double(1.1f)}}, {1.2f, {1, double(1.1f), double(1.2f)}}},
        {{0, {0}}, {0.5f, {0, 0.5}}, {100, {0.5, 100}}, {100.1f, {100, double(100.1f)}}},
    };
    for (const auto& run : runs) {
        PvtPoints p;
        for (const auto& step : run) {
            append_t(p, step.first);
            ASSERT_EQ(times(p), step.second) << "after t=" << step.first;
        }
    }
}

// Each plot's axis range comes from its own column.
TEST(PvtPoints, ExtremesPerColumn) {
    const struct {
        std::vector<Quad> samples;
        Quad min, max;
    } rows[] = {
        {{}, {0, 0, 0, 0}, {0, 0, 0, 0}},
        {{{0, 1, 2, 3}, {1, 4, 5, 9}, {2, 0, 8, 6}}, {0, 0, 2, 3}, {2, 4, 8, 9}},
    };
    for (const auto& row : rows) {
        PvtPoints p;
        for (const Quad& s : row.samples) p.append(s.data());
        EXPECT_EQ(p.min_values(), row.min);
        EXPECT_EQ(p.max_values(), row.max);
    }
}

}  // namespace
