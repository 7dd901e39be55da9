#ifndef QUORVEL_TRANSPORT_OFF_AXIS_MATH_HPP
#define QUORVEL_TRANSPORT_OFF_AXIS_MATH_HPP

// The arithmetic of the magnetic sensors' off-axis calibration, without bus,
// threads or clock: error statistics of a sampling pass, the BCT value for an
// error amplitude, the harmonic least-squares fit, the per-revolution
// correction and its register bytes, and the unwrapping of angles that wrap
// at 360 degrees. Angles are in degrees. Header-only, so that the tests use
// it without the library exporting it.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <vector>

#include <Eigen/Dense>

namespace quorvel_detail {
namespace calibration {

inline constexpr int kSamplesPerPass = 500;
// 3.14 / 180, not pi / 180: the corrections stored in the sensors were made
// with it, so the model is built and evaluated with it too.
inline constexpr double kAngleFactor = 0.017444444444444446;
inline constexpr double kRevolution = 360.0;
inline constexpr double kGridStep = 11.25;  // 32 correction points a revolution
inline constexpr int kCorrectionPoints = 32;
inline constexpr double kCorrectionClamp = 11.25;
inline constexpr int kHarmonicTerms = 8;  // sin/cos of 1, 2, 4 and 8 times the angle
// No shaft turns this far in one pass (500 samples, at least 2.5 s); a span
// this wide comes from a bad reading and would only build a huge grid.
inline constexpr double kMaxRevolutionsPerPass = 100000;

namespace detail {

using ConstVectorMap = Eigen::Map<const Eigen::VectorXd>;

inline ConstVectorMap view(const std::vector<double>& v) {
    return ConstVectorMap(v.data(), static_cast<Eigen::Index>(v.size()));
}

// trunc(value) as a 32-bit signed integer, or nothing when it is not one.
inline std::optional<int32_t> truncatedInt32(double value) {
    const double t = std::trunc(value);
    if (!(t >= std::numeric_limits<int32_t>::min() && t <= std::numeric_limits<int32_t>::max())) return std::nullopt;
    return static_cast<int32_t>(t);
}

inline bool allFinite(const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double d) { return std::isfinite(d); });
}

}  // namespace detail

// e = y - x with its mean removed. With shiftByFirst, y[0] is first
// subtracted from every y. y and x have the same size.
inline std::vector<double> zeroMeanError(const std::vector<double>& y, const std::vector<double>& x,
                                         bool shiftByFirst) {
    std::vector<double> ez(y.size());
    if (y.empty() || x.size() != y.size()) return ez;
    Eigen::Map<Eigen::VectorXd> out(ez.data(), static_cast<Eigen::Index>(ez.size()));
    if (shiftByFirst) {
        out = (detail::view(y).array() - y[0]).matrix() - detail::view(x);
    } else {
        out = detail::view(y) - detail::view(x);
    }
    const double mean = out.mean();
    out.array() -= mean;
    return ez;
}

struct ErrorStatistics {
    double amplitude;  // half the peak-to-peak of the zero-mean error
    double sd;
};

inline ErrorStatistics errorStatistics(const std::vector<double>& zeroMeanError) {
    if (zeroMeanError.empty()) return {0.0, 0.0};
    const Eigen::ArrayXd ez = detail::view(zeroMeanError).array();
    return {(ez.maxCoeff() - ez.minCoeff()) * 0.5, std::sqrt((ez - ez.mean()).square().mean())};
}

struct BctChoice {
    uint8_t value;
    bool limitExceeded;  // 42 degrees or more, or not a number: 207
};

inline BctChoice chooseBct(double amplitude) {
    struct Row {
        double below;
        uint8_t value;
    };
    static constexpr Row kTable[] = {{11.5, 0},   {19.5, 86},  {25.4, 129}, {30.0, 155},
                                     {33.7, 172}, {36.9, 184}, {39.5, 189}, {42.0, 201}};
    for (const Row& row : kTable) {
        if (amplitude < row.below) return {row.value, false};
    }
    return {207, true};
}

using HarmonicCoefficients = std::array<double, kHarmonicTerms>;

// sin t, cos t, sin 2t, cos 2t, sin 4t, cos 4t, sin 8t, cos 8t with
// t = degrees x kAngleFactor: the fit's design matrix and the model share them.
inline std::array<double, kHarmonicTerms> harmonicTerms(double degrees) {
    const double t = degrees * kAngleFactor;
    return {std::sin(t),     std::cos(t),     std::sin(2 * t), std::cos(2 * t),
            std::sin(4 * t), std::cos(4 * t), std::sin(8 * t), std::cos(8 * t)};
}

inline Eigen::MatrixXd designMatrix(const std::vector<double>& angles) {
    Eigen::MatrixXd a(static_cast<Eigen::Index>(angles.size()), kHarmonicTerms);
    for (Eigen::Index j = 0; j < a.rows(); ++j) {
        a.row(j) = Eigen::Map<const Eigen::RowVectorXd>(harmonicTerms(angles[std::size_t(j)]).data(), kHarmonicTerms);
    }
    return a;
}

// Least-squares fit of the error against the design matrix of the angles,
// by column-pivoting Householder QR. Sizes equal.
inline HarmonicCoefficients fitHarmonics(const std::vector<double>& angles, const std::vector<double>& error) {
    HarmonicCoefficients c{};
    if (angles.empty() || angles.size() != error.size()) return c;
    const Eigen::VectorXd solution = designMatrix(angles).colPivHouseholderQr().solve(detail::view(error));
    std::copy(solution.data(), solution.data() + kHarmonicTerms, c.begin());
    return c;
}

// The model at one angle, terms added in the order of the coefficients.
inline double harmonicModel(const HarmonicCoefficients& c, double degrees) {
    const auto terms = harmonicTerms(degrees);
    return std::inner_product(c.begin() + 1, c.end(), terms.begin() + 1, c[0] * terms[0]);
}

// The whole revolutions between the angles' extremes:
// start = (trunc(min / 360) + 1) x 360, end = trunc(max / 360) x 360.
struct RevolutionRange {
    double start;
    double end;
};

// Nothing when an angle is not finite, when angle / 360 lies outside the
// 32-bit integers that the truncation yields, and for no angles at all.
inline std::optional<RevolutionRange> revolutionRange(const std::vector<double>& angles) {
    if (angles.empty() || !detail::allFinite(angles)) return std::nullopt;
    const auto [lowest, highest] = std::minmax_element(angles.begin(), angles.end());
    const std::optional<int32_t> low = detail::truncatedInt32(*lowest / kRevolution);
    const std::optional<int32_t> high = detail::truncatedInt32(*highest / kRevolution);
    if (!low || !high) return std::nullopt;
    // In double: (low + 1) x 360 does not fit an int32 for large angles.
    return RevolutionRange{(static_cast<double>(*low) + 1) * kRevolution, static_cast<double>(*high) * kRevolution};
}

// start, start + 11.25, ... while below end; empty when end <= start.
inline std::vector<double> gridPoints(const RevolutionRange& range) {
    std::vector<double> grid;
    if (range.end > range.start) grid.reserve(static_cast<std::size_t>((range.end - range.start) / kGridStep) + 1);
    // Multiples of 11.25 are exact in double, so the sum does not drift.
    for (double g = range.start; g < range.end; g += kGridStep) grid.push_back(g);
    return grid;
}

// values[i] belongs to grid[i]; a new group opens at every multiple of 360
// after the first point. No empty groups.
inline std::vector<std::vector<double>> groupByRevolution(const std::vector<double>& grid,
                                                          const std::vector<double>& values) {
    std::vector<std::vector<double>> groups;
    std::vector<double> current;
    const std::size_t n = std::min(grid.size(), values.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (std::fmod(grid[i], kRevolution) == 0 && !current.empty()) {
            groups.push_back(std::move(current));
            current.clear();
        }
        current.push_back(values[i]);
    }
    if (!current.empty()) groups.push_back(std::move(current));
    return groups;
}

// Point-by-point mean over the groups. As long as the shortest group, so
// that no group is read past its end (all hold 32 points from whole
// revolutions); empty for no groups.
inline std::vector<double> averageGroups(const std::vector<std::vector<double>>& groups) {
    if (groups.empty()) return {};
    std::size_t n = groups.front().size();
    for (const auto& g : groups) n = std::min(n, g.size());
    std::vector<double> avg(n, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
        double sum = 0;
        for (const auto& g : groups) sum += g[k];
        avg[k] = sum / static_cast<double>(groups.size());
    }
    return avg;
}

// The sensor's correction byte for `degrees`: 8-bit two's complement in
// counts of 360/4096 degrees, clamped to +-11.25 degrees. Negative values
// round toward minus infinity (-11.25 gives 128, i.e. -128 counts); positive
// ones toward zero and at most 127, since 128 would read as -128. Not a
// number gives 0.
inline uint8_t correctionByte(double degrees) {
    double raw;
    if (degrees < 0) {
        raw = std::max(degrees, -kCorrectionClamp) / kRevolution * 128 * 32 + 256;
    } else {
        raw = std::min(degrees, kCorrectionClamp) / kRevolution * 128 * 32;
    }
    if (!(raw >= 0 && raw <= 256)) return 0;
    const auto counts = static_cast<unsigned>(raw);
    if (degrees >= 0) return static_cast<uint8_t>(std::min(counts, 127u));
    return static_cast<uint8_t>(counts & 0xFFu);
}

enum class CorrectionOutcome {
    Ready,
    Unusable,           // an angle or error not finite, or angles too large or too far apart
    NoWholeRevolution,  // no group of 32 points to take the correction from
};

struct HarmonicCorrection {
    CorrectionOutcome outcome;
    std::array<uint8_t, kCorrectionPoints> bytes;  // registers 32..63, when Ready
};

// The whole harmonic stage on one pass: fit, range, grid, model, groups,
// average, negation and bytes.
inline HarmonicCorrection harmonicCorrection(const std::vector<double>& angles,
                                             const std::vector<double>& zeroMeanError) {
    HarmonicCorrection result{CorrectionOutcome::Unusable, {}};
    if (!detail::allFinite(zeroMeanError)) return result;
    const std::optional<RevolutionRange> range = revolutionRange(angles);  // nothing for angles not finite
    if (!range || range->end - range->start > kMaxRevolutionsPerPass * kRevolution) return result;
    const HarmonicCoefficients c = fitHarmonics(angles, zeroMeanError);
    const std::vector<double> grid = gridPoints(*range);
    std::vector<double> model(grid.size());
    std::transform(grid.begin(), grid.end(), model.begin(), [&c](double g) { return harmonicModel(c, g); });
    const std::vector<double> avg = averageGroups(groupByRevolution(grid, model));
    if (avg.size() < static_cast<std::size_t>(kCorrectionPoints)) {
        result.outcome = CorrectionOutcome::NoWholeRevolution;
        return result;
    }
    for (std::size_t k = 0; k < result.bytes.size(); ++k) {
        const double comp = -avg[k];
        if (!std::isfinite(comp)) return result;
        result.bytes[k] = correctionByte(comp);
    }
    result.outcome = CorrectionOutcome::Ready;
    return result;
}

// Angles that wrap at `period`, unwrapped: each step is the shortest turn
// (IEEE remainder, ties to the even multiple), evaluated as
// u[i] = (y[i] + (r - d)) + (u[i-1] - y[i-1]).
inline std::vector<double> unwrapAngles(const std::vector<double>& y, double period = kRevolution) {
    std::vector<double> u(y.size());
    if (y.empty()) return u;
    u[0] = y[0];
    for (std::size_t i = 1; i < y.size(); ++i) {
        const double d = y[i] - y[i - 1];
        const double r = std::remainder(d, period);
        u[i] = (y[i] + (r - d)) + (u[i - 1] - y[i - 1]);
    }
    return u;
}

}  // namespace calibration
}  // namespace quorvel_detail

#endif
