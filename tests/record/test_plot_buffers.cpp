// PvtPoints window rule and locking, CalibratePoints numbering.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "calibrate_points.h"
#include "pvt_points.h"

namespace {

void append_t(PvtPoints& p, float t) {
    const float s[4] = {t, t * 10.0f, -t, t + 0.5f};
    p.append(s);
}

std::vector<double> times(PvtPoints& p) {
    p.lock();
    std::vector<double> v(p.time().cbegin(), p.time().cend());
    p.unlock();
    return v;
}

// The four vectors stay aligned sample by sample after removals.
void expect_aligned(PvtPoints& p) {
    p.lock();
    ASSERT_EQ(p.position().size(), p.time().size());
    ASSERT_EQ(p.velocity().size(), p.time().size());
    ASSERT_EQ(p.torque().size(), p.time().size());
    for (int i = 0; i < p.time().size(); ++i) {
        const float t = static_cast<float>(p.time()[i]);
        EXPECT_EQ(p.position()[i], static_cast<double>(t * 10.0f));
        EXPECT_EQ(p.velocity()[i], static_cast<double>(-t));
        EXPECT_EQ(p.torque()[i], static_cast<double>(t + 0.5f));
    }
    p.unlock();
}

TEST(PvtPointsWindow, KeepsThreeSecondsAndDropsOneOlderSample) {
    PvtPoints p;
    for (float t : {0.0f, 1.0f, 2.0f, 3.0f}) append_t(p, t);
    EXPECT_EQ(times(p), (std::vector<double>{0, 1, 2, 3}));  // d == 3.0 keeps all
    append_t(p, 3.5f);
    EXPECT_EQ(times(p), (std::vector<double>{1, 2, 3, 3.5}));
    expect_aligned(p);
}

TEST(PvtPointsWindow, JumpBackInTimeDrainsOldSamplesOnePerAppend) {
    PvtPoints p;
    for (float t : {8.0f, 9.0f, 10.0f, 1.0f}) append_t(p, t);
    EXPECT_EQ(times(p), (std::vector<double>{9, 10, 1}));
    append_t(p, 1.1f);
    EXPECT_EQ(times(p), (std::vector<double>{10, 1, double(1.1f)}));
    append_t(p, 1.2f);
    EXPECT_EQ(times(p), (std::vector<double>{1, double(1.1f), double(1.2f)}));
    append_t(p, 1.3f);  // back in order: nothing more removed
    EXPECT_EQ(times(p).size(), 4u);
    expect_aligned(p);
}

TEST(PvtPointsWindow, JumpForwardShrinksByOnePerAppend) {
    PvtPoints p;
    for (float t : {0.0f, 0.5f, 1.0f, 1.5f}) append_t(p, t);
    append_t(p, 100.0f);
    EXPECT_EQ(times(p), (std::vector<double>{0.5, 1, 1.5, 100}));
    append_t(p, 100.1f);
    EXPECT_EQ(times(p), (std::vector<double>{1, 1.5, 100, double(100.1f)}));
}

TEST(PvtPointsWindow, SteadyStreamAtOneKilohertzHoldsAboutThreeSeconds) {
    PvtPoints p;
    for (int i = 0; i < 10000; ++i) append_t(p, i * 0.001f);
    const auto t = times(p);
    EXPECT_NEAR(t.back() - t.front(), 3.0, 0.002);
    EXPECT_NEAR(static_cast<double>(t.size()), 3001.0, 2.0);
}

TEST(PvtPointsFlags, AppendSetsUpdatedAndClearLeavesIt) {
    PvtPoints p;
    EXPECT_FALSE(p.is_updated());
    append_t(p, 1.0f);
    EXPECT_TRUE(p.is_updated());
    p.set_updated(false);
    p.clear();
    EXPECT_FALSE(p.is_updated());
    EXPECT_TRUE(p.is_empty());
    p.set_updated(true);
    p.clear();
    EXPECT_TRUE(p.is_updated());
}

TEST(PvtPointsExtremes, PerQuantityMinimaAndMaxima) {
    PvtPoints p;
    const float a[4] = {1.0f, -2.0f, 5.0f, 0.1f};
    const float b[4] = {2.0f, 3.0f, -7.0f, 0.2f};
    p.append(a);
    p.append(b);
    const auto lo = p.min_values();
    const auto hi = p.max_values();
    EXPECT_EQ(lo, (std::array<float, 4>{1.0f, -2.0f, -7.0f, 0.1f}));
    EXPECT_EQ(hi, (std::array<float, 4>{2.0f, 3.0f, 5.0f, 0.2f}));
}

TEST(PvtPointsExtremes, EmptyBufferGivesZerosAndSaysSo) {
    PvtPoints p;
    EXPECT_TRUE(p.is_empty());
    EXPECT_EQ(p.min_values(), (std::array<float, 4>{0, 0, 0, 0}));
    EXPECT_EQ(p.max_values(), (std::array<float, 4>{0, 0, 0, 0}));
    append_t(p, 5.0f);
    EXPECT_FALSE(p.is_empty());
    p.clear();
    EXPECT_TRUE(p.is_empty());
    EXPECT_EQ(p.max_values(), (std::array<float, 4>{0, 0, 0, 0}));
}

TEST(PvtPointsLog, ConsistentBufferLogsNothingAndDestructorLogs) {
    testing::internal::CaptureStdout();
    {
        PvtPoints p;
        append_t(p, 1.0f);
        p.check_length();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[INFO] Destruct PvtPoints\n");
}

TEST(PvtPointsLog, UnequalLengthsAreReportedWithoutPrefix) {
    PvtPoints p;
    append_t(p, 1.0f);
    p.lock();
    p.torque().append(1.0);  // a caller misusing the exposed vectors
    p.unlock();
    testing::internal::CaptureStdout();
    p.check_length();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "target length not equal\n");
}

// A writer thread appends while the reader scans under the lock; lengths must agree.
TEST(PvtPointsThreads, ReaderUnderLockSeesAlignedVectors) {
    PvtPoints p;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) append_t(p, i * 0.001f);
        done = true;
    });
    int checks = 0;
    while (!done || checks == 0) {
        p.lock();
        const int n = p.time().size();
        const bool aligned = p.position().size() == n && p.velocity().size() == n && p.torque().size() == n;
        p.unlock();
        ASSERT_TRUE(aligned);
        p.min_values();
        p.max_values();
        ++checks;
    }
    writer.join();
    expect_aligned(p);
}

TEST(CalibratePointsSeries, NumbersSamplesFromZeroAndRestartsOnClear) {
    CalibratePoints c;
    c.add_angle_point(0.5f);
    EXPECT_EQ(c.angle_x(), (QVector<double>{0.0}));
    EXPECT_EQ(c.angle_y(), (QVector<double>{0.5}));
    c.add_angle_point(-1.25f);
    c.add_angle_point(0.1f);
    EXPECT_EQ(c.angle_x(), (QVector<double>{0.0, 1.0, 2.0}));
    EXPECT_EQ(c.angle_y()[2], static_cast<double>(0.1f));
    EXPECT_EQ(c.min_angle(), -1.25);
    EXPECT_EQ(c.max_angle(), 0.5);
    EXPECT_TRUE(c.compensation_x().isEmpty());  // independent numbering

    c.add_compensation_point(3.0f);
    c.add_compensation_point(2.0f);
    EXPECT_EQ(c.compensation_x(), (QVector<double>{0.0, 1.0}));
    EXPECT_EQ(c.min_compensation(), 2.0);
    EXPECT_EQ(c.max_compensation(), 3.0);

    c.clear();
    EXPECT_TRUE(c.angle_y().isEmpty());
    EXPECT_TRUE(c.compensation_y().isEmpty());
    EXPECT_EQ(c.min_angle(), 0.0);  // defined even though the window never asks
    c.add_angle_point(7.0f);
    EXPECT_EQ(c.angle_x(), (QVector<double>{0.0}));

    testing::internal::CaptureStdout();
    c.check_length();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
