// The calibration arithmetic on numbers alone.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "calibration/off_axis_math.hpp"

using namespace quorvel_detail::calibration;
using Series = std::vector<double>;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(OffAxisMath, BctValuesAndCorrectionBytes) {
    const std::pair<double, int> bct[] = {{11.49, 0}, {11.5, 86}, {19.5, 129}, {41.99, 201}, {42.0, 207}, {kNaN, 207}};
    for (const auto& [amplitude, value] : bct) {
        EXPECT_EQ(chooseBct(amplitude).value, value) << amplitude;
        EXPECT_EQ(chooseBct(amplitude).limitExceeded, value == 207) << amplitude;
    }
    // +11.25 and above would give 128 (read as -128 counts): capped at 127.
    const std::pair<double, int> bytes[] = {{0.05, 0},     {1.0, 11},   {-0.01, 255}, {-1.0, 244}, {-20.0, 128},
                                            {-11.25, 128}, {20.0, 127}, {11.25, 127}, {kNaN, 0}};
    for (const auto& [degrees, byte] : bytes) EXPECT_EQ(correctionByte(degrees), byte) << degrees;
}

TEST(OffAxisMath, StatisticsOfAPass) {
    // e = {0,2,0,-2} - {0,1,2,3} = {0,1,-2,-5}, mean -1.5.
    const Series ez = zeroMeanError({10, 12, 10, 8}, {0, 1, 2, 3}, true);
    EXPECT_EQ(ez, (Series{1.5, 2.5, -0.5, -3.5}));
    EXPECT_DOUBLE_EQ(errorStatistics(ez).amplitude, 3.0);
    EXPECT_DOUBLE_EQ(errorStatistics(ez).sd, std::sqrt(5.25));
}

TEST(OffAxisMath, WholeRevolutionsAndTheirAverage) {
    // Samples 10 .. 1000 hold the revolution 360 .. 720, samples -1000 .. 0 the one from -360.
    for (const auto& [samples, first] : {std::pair<Series, double>{{10, 500, 1000}, 360}, {{-1000, 0}, -360}}) {
        const Series grid = gridPoints(*revolutionRange(samples));
        ASSERT_EQ(grid.size(), 32u);
        EXPECT_EQ(std::make_pair(grid.front(), grid.back()), std::make_pair(first, first + 348.75));
        EXPECT_EQ(groupByRevolution(grid, grid), (std::vector<Series>{grid}));
    }
    const Series grid = gridPoints({0, 720});
    Series values(64, 1.0);
    values[32] = 3.0;
    values[63] = 5.0;
    const Series avg = averageGroups(groupByRevolution(grid, values));
    ASSERT_EQ(avg.size(), 32u);
    EXPECT_EQ(std::make_tuple(avg[0], avg[1], avg[31]), std::make_tuple(2.0, 1.0, 3.0));
}

TEST(OffAxisMath, NoWholeRevolutionOrUnusableAngles) {
    EXPECT_TRUE(gridPoints(*revolutionRange({5, 359})).empty());  // angles that wrap at 360
    EXPECT_TRUE(averageGroups(groupByRevolution({}, {})).empty());
    for (double bad : {kNaN, 1e12}) EXPECT_FALSE(revolutionRange({0, bad})) << bad;  // 1e12 / 360: no 32-bit integer
    Series angles(500), error(500, 0.0);
    for (size_t i = 0; i < 500; ++i) angles[i] = 0.7 * static_cast<double>(i);
    EXPECT_EQ(harmonicCorrection(angles, error).outcome, CorrectionOutcome::NoWholeRevolution);
    angles[7] = 1e9;  // a bad reading: 2.7 million revolutions
    EXPECT_EQ(harmonicCorrection(angles, error).outcome, CorrectionOutcome::Unusable);
    angles[7] = 4.9;
    error[3] = kNaN;
    EXPECT_EQ(harmonicCorrection(angles, error).outcome, CorrectionOutcome::Unusable);
}

TEST(OffAxisMath, FitRecoversASyntheticError) {
    // The model uses 3.14/180 per degree, not pi/180.
    EXPECT_DOUBLE_EQ(harmonicModel({1, 0, 0, 0, 0, 0, 0, 0}, 90), std::sin(90 * 3.14 / 180));
    const HarmonicCoefficients truth = {1.5, -0.8, 0.6, 0.3, -0.4, 0.2, 0.1, -0.05};
    Series angles(500), error(500);
    for (size_t i = 0; i < 500; ++i) error[i] = harmonicModel(truth, angles[i] = 100.0 + 3.7 * static_cast<double>(i));
    const HarmonicCoefficients fit = fitHarmonics(angles, error);
    for (int k = 0; k < kHarmonicTerms; ++k) EXPECT_NEAR(fit[k], truth[k], 1e-9) << k;
}

TEST(OffAxisMath, UnwrapsToTheShortestTurn) {
    EXPECT_EQ(unwrapAngles({350, 355, 2, 8}), (Series{350, 355, 362, 368}));
    EXPECT_EQ(unwrapAngles({10, 5, 355}), (Series{10, 5, -5}));
    // Ties go to the even multiple: remainder(180, 360) = 180, remainder(540, 360) = -180.
    EXPECT_EQ(unwrapAngles({0, 180, 720}), (Series{0, 180, 0}));
}

}  // namespace
