// Cost of the serial port's line path over a pseudo-terminal: one adapter
// line in (readline), one line out, and enumeration. BM_BareLineReader is the
// yardstick for readline: the same line read with plain poll and read calls
// into a buffer, on the same kind of pty, in the same run.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

#include "pty_pair.hpp"
#include "quorvel_transport/serial.hpp"

namespace {

const std::string kLine = "T0C2000018801020304050607\r";

void BM_ReadlineOneLine(benchmark::State& state) {
    qt_test::PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(1000));
    std::string line;
    for (auto _ : state) {
        pty.write(kLine);
        line.clear();
        port.readline(line, 30, "\r");
        benchmark::DoNotOptimize(line);
    }
    if (line != kLine) state.SkipWithError("wrong line");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLine.size()));
}
BENCHMARK(BM_ReadlineOneLine);

// What a buffered reader needs at the least: poll, one read of whatever is
// there, find the CR.
void BM_BareLineReader(benchmark::State& state) {
    qt_test::PtyPair pty;
    const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    char buf[256];
    size_t have = 0;
    std::string line;
    for (auto _ : state) {
        pty.write(kLine);
        for (;;) {
            if (const void* cr = std::memchr(buf, '\r', have)) {
                const size_t n = static_cast<size_t>(static_cast<const char*>(cr) - buf) + 1;
                line.assign(buf, n);
                std::memmove(buf, buf + n, have - n);
                have -= n;
                break;
            }
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, 1000);
            const ssize_t r = ::read(fd, buf + have, sizeof buf - have);
            if (r > 0) have += static_cast<size_t>(r);
        }
        benchmark::DoNotOptimize(line);
    }
    ::close(fd);
    if (line != kLine) state.SkipWithError("wrong line");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLine.size()));
}
BENCHMARK(BM_BareLineReader);

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
