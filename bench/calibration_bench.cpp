// The computation of one off-axis calibration on a 500-sample pass (harmonic
// fit, range, grid, groups, average and correction bytes), the fit alone,
// and Eigen's column-pivoting QR solve alone on the same design matrix.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "calibration/off_axis_math.hpp"

namespace {

using namespace quorvel_detail::calibration;

// Five revolutions at an even pace with a harmonic error: what pass 2 of a
// calibration at 720 degrees per second records.
struct Pass {
    std::vector<double> angles, error;
    Pass() : angles(kSamplesPerPass), error(kSamplesPerPass) {
        const HarmonicCoefficients c = {1.5, -0.8, 0.6, 0.3, -0.4, 0.2, 0.1, -0.05};
        for (int i = 0; i < kSamplesPerPass; ++i) {
            angles[i] = 4420.0 + 3.6 * i;
            error[i] = harmonicModel(c, angles[i]);
        }
    }
};

void BM_CalibrationComputation(benchmark::State& state) {
    const Pass pass;
    for (auto _ : state) benchmark::DoNotOptimize(harmonicCorrection(pass.angles, pass.error));
}
BENCHMARK(BM_CalibrationComputation);

void BM_HarmonicFit(benchmark::State& state) {
    const Pass pass;
    for (auto _ : state) benchmark::DoNotOptimize(fitHarmonics(pass.angles, pass.error));
}
BENCHMARK(BM_HarmonicFit);

void BM_EigenSolveAlone(benchmark::State& state) {
    const Pass pass;
    const Eigen::MatrixXd a = designMatrix(pass.angles);
    const Eigen::Map<const Eigen::VectorXd> b(pass.error.data(), kSamplesPerPass);
    for (auto _ : state) {
        Eigen::VectorXd x = a.colPivHouseholderQr().solve(b);
        benchmark::DoNotOptimize(x.data());
    }
}
BENCHMARK(BM_EigenSolveAlone);

}  // namespace

BENCHMARK_MAIN();
