// The calibration arithmetic on numbers alone.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "calibration/off_axis_math.hpp"

using namespace quorvel_detail::calibration;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(OffAxisMath, BctValueByAmplitude) {
    const struct {
        double amplitude;
        int value;
        bool exceeded;
    } rows[] = {{0.0, 0, false},   {11.49, 0, false},  {11.5, 86, false}, {19.5, 129, false},
                {41.99, 201, false}, {42.0, 207, true}, {kNaN, 207, true}};
    for (const auto& r : rows) {
        const BctChoice c = chooseBct(r.amplitude);
        EXPECT_EQ(c.value, r.value) << r.amplitude;
        EXPECT_EQ(c.limitExceeded, r.exceeded) << r.amplitude;
    }
}

TEST(OffAxisMath, CorrectionBytes) {
    // +11.25 and above would give 128 (read as -128 counts): capped at 127.
    const std::pair<double, int> rows[] = {{0.05, 0},    {1.0, 11},    {-0.01, 255}, {-1.0, 244}, {-20.0, 128},
                                           {-11.25, 128}, {20.0, 127}, {11.25, 127}, {11.2, 127}, {kNaN, 0}};
    for (const auto& [degrees, byte] : rows) EXPECT_EQ(correctionByte(degrees), byte) << degrees;
}

TEST(OffAxisMath, StatisticsOfAPass) {
    // e = {0,2,0,-2} - {0,1,2,3} = {0,1,-2,-5}, mean -1.5.
    const std::vector<double> ez = zeroMeanError({10, 12, 10, 8}, {0, 1, 2, 3}, true);
    EXPECT_EQ(ez, (std::vector<double>{1.5, 2.5, -0.5, -3.5}));
    const ErrorStatistics s = errorStatistics(ez);
    EXPECT_DOUBLE_EQ(s.amplitude, 3.0);
    EXPECT_DOUBLE_EQ(s.sd, std::sqrt(5.25));
}

TEST(OffAxisMath, RangeGridAndGroups) {
    const auto range = revolutionRange({10, 500, 1000});
    ASSERT_TRUE(range);
    EXPECT_EQ(range->start, 360);
    EXPECT_EQ(range->end, 720);
    std::vector<double> grid = gridPoints(*range);
    ASSERT_EQ(grid.size(), 32u);
    EXPECT_EQ(grid.back(), 708.75);
    EXPECT_EQ(groupByRevolution(grid, grid), (std::vector<std::vector<double>>{grid}));

    const auto negative = revolutionRange({-1000, 0});
    ASSERT_TRUE(negative);
    grid = gridPoints(*negative);
    const auto groups = groupByRevolution(grid, grid);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].size(), 32u);
    EXPECT_EQ(groups[0][0], -360);

    // Two revolutions average point by point.
    grid = gridPoints({0, 720});
    std::vector<double> values(64);
    for (size_t i = 0; i < 64; ++i) values[i] = i < 32 ? 1.0 : 3.0 + static_cast<double>(i - 32);
    const auto avg = averageGroups(groupByRevolution(grid, values));
    ASSERT_EQ(avg.size(), 32u);
    EXPECT_EQ(avg[0], 2.0);
    EXPECT_EQ(avg[31], 17.5);
}

TEST(OffAxisMath, NoWholeRevolutionOrUnusableAngles) {
    const auto range = revolutionRange({5, 359});  // angles that wrap at 360
    ASSERT_TRUE(range);
    EXPECT_TRUE(gridPoints(*range).empty());
    EXPECT_TRUE(averageGroups(groupByRevolution({}, {})).empty());
    EXPECT_FALSE(revolutionRange({0, kNaN}));
    EXPECT_FALSE(revolutionRange({0, 1e12}));  // 1e12 / 360 is no 32-bit integer
    EXPECT_FALSE(revolutionRange({}));

    std::vector<double> angles(500), error(500, 0.0);
    for (size_t i = 0; i < 500; ++i) angles[i] = 0.7 * static_cast<double>(i);
    EXPECT_EQ(harmonicCorrection(angles, error).outcome, CorrectionOutcome::NoWholeRevolution);
    error[3] = kNaN;
    EXPECT_EQ(harmonicCorrection(angles, error).outcome, CorrectionOutcome::NotFinite);
}

TEST(OffAxisMath, FitRecoversASyntheticError) {
    // The model uses 3.14/180 per degree, not pi/180.
    EXPECT_DOUBLE_EQ(harmonicModel({1, 0, 0, 0, 0, 0, 0, 0}, 90), std::sin(90 * 3.14 / 180));
    const HarmonicCoefficients truth = {1.5, -0.8, 0.6, 0.3, -0.4, 0.2, 0.1, -0.05};
    std::vector<double> angles(500), error(500);
    for (size_t i = 0; i < 500; ++i) {
        angles[i] = 100.0 + 3.7 * static_cast<double>(i);
        error[i] = harmonicModel(truth, angles[i]);
    }
    const HarmonicCoefficients fit = fitHarmonics(angles, error);
    for (int k = 0; k < kHarmonicTerms; ++k) EXPECT_NEAR(fit[k], truth[k], 1e-9) << k;

    const HarmonicCorrection c = harmonicCorrection(angles, error);
    ASSERT_EQ(c.outcome, CorrectionOutcome::Ready);
    // Revolutions 360..1800: four groups of 32.
    for (int k = 0; k < 32; ++k) {
        double sum = 0;
        for (int rev = 1; rev <= 4; ++rev) sum += harmonicModel(truth, rev * 360.0 + 11.25 * k);
        EXPECT_EQ(c.bytes[k], correctionByte(-sum / 4)) << k;
    }
}

TEST(OffAxisMath, UnwrapsToTheShortestTurn) {
    EXPECT_EQ(unwrapAngles({350, 355, 2, 8}), (std::vector<double>{350, 355, 362, 368}));
    EXPECT_EQ(unwrapAngles({10, 5, 355}), (std::vector<double>{10, 5, -5}));
    // Ties go to the even multiple: remainder(180, 360) = 180, remainder(540, 360) = -180.
    EXPECT_EQ(unwrapAngles({0, 180}), (std::vector<double>{0, 180}));
    EXPECT_EQ(unwrapAngles({0, 540}), (std::vector<double>{0, -180}));
}

}  // namespace
