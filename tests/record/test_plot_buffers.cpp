// Plot buffers: the 3 s window of PvtPoints (the per-column extremes are checked
// against the plots in the window test).
#include <gtest/gtest.h>

#include <vector>

#include "pvt_points.h"

namespace {

using Times = std::vector<double>;

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
            const float sample[4] = {step.first, 1, 2, 3};
            p.append(sample);
            ASSERT_EQ(times(p), step.second) << "after t=" << step.first;
        }
    }
}

}  // namespace
