// Cost of the serial port's line path over a pseudo-terminal: one adapter
// line in (readline, byte by byte), one line out, and enumeration.

#include <chrono>
#include <string>

#include <benchmark/benchmark.h>

#include "pty_pair.hpp"
#include "quorvel_transport/serial.hpp"

namespace {

const std::string kLine = "T0C2000018801020304050607\r";

void BM_ReadlineOneLine(benchmark::State& state) {
    qt_test::PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(1000));
    for (auto _ : state) {
        pty.write(kLine);
        benchmark::DoNotOptimize(port.readline(64, "\r"));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLine.size()));
}
BENCHMARK(BM_ReadlineOneLine);

void BM_WriteOneLine(benchmark::State& state) {
    qt_test::PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(1000));
    for (auto _ : state) {
        benchmark::DoNotOptimize(port.write(kLine));
        benchmark::DoNotOptimize(pty.read(kLine.size(), std::chrono::milliseconds(1000)));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLine.size()));
}
BENCHMARK(BM_WriteOneLine);

void BM_ListPorts(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(serial::list_ports());
}
BENCHMARK(BM_ListPorts);

}  // namespace

BENCHMARK_MAIN();
