// Driver read round trip through the in-process transport, against a bare
// two-thread mutex/condition-variable ping-pong measured in the same run;
// the cost of decoding one reply, with heap allocations counted; object
// sizes.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "quorvel_transport/driver.hpp"
#include "driver_impl.hpp"
#include "sim_device.hpp"

// Every heap allocation of the process is counted. The replacement pair is
// malloc/free underneath, which GCC cannot see through once inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;
using qt_test::Millis;

struct Percentiles {
    double p50 = 0, p99 = 0;
};

Percentiles percentiles(std::vector<double>& us) {
    if (us.empty()) return {};
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

Percentiles g_read, g_pingPong;

void reportPercentiles(benchmark::State& state, std::vector<double>& samples, Percentiles& keep) {
    keep = percentiles(samples);
    state.counters["p50_us"] = keep.p50;
    state.counters["p99_us"] = keep.p99;
}

// One Driver read: request out, the simulated driver answers on the sending
// thread, the interface's receive thread decodes and wakes the caller.
void BM_DriverReadRoundTrip(benchmark::State& state) {
    qt_test::SimBus sim(3);
    if (!sim.ready()) {
        state.SkipWithError("bus did not start");
        return;
    }
    sim.device.answer(70, qt_test::Payload().put(24.0f).put(1.5f).reply());
    Driver driver(3, &sim.bus);
    std::vector<double> samples;
    samples.reserve(1 << 20);
    long failures = 0;
    const long allocationsBefore = g_allocations.load();
    for (auto _ : state) {
        float v = 0;
        const auto start = Clock::now();
        const ret_status_t status = driver.getBusVoltage(&v);
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        failures += status != RET_SUCCESS;
        benchmark::DoNotOptimize(v);
    }
    // Includes the test transport's and simulated device's own bookkeeping.
    state.counters["allocs_per_read_incl_harness"] =
        static_cast<double>(g_allocations.load() - allocationsBefore) / static_cast<double>(state.iterations());
    state.counters["failures"] = static_cast<double>(failures);
    reportPercentiles(state, samples, g_read);
}
BENCHMARK(BM_DriverReadRoundTrip)->Iterations(20000)->UseRealTime();

// The floor: one wake of another thread and one wake back.
void BM_BareMutexCondvarPingPong(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable cv;
    int turn = 0;  // 1: ping sent, 2: pong sent
    bool stop = false;
    std::thread peer([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            cv.wait(lock, [&] { return turn == 1 || stop; });
            if (stop) return;
            turn = 2;
            lock.unlock();
            cv.notify_all();
            lock.lock();
        }
    });
    std::vector<double> samples;
    samples.reserve(1 << 20);
    for (auto _ : state) {
        const auto start = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex);
            turn = 1;
        }
        cv.notify_all();
        {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait(lock, [&] { return turn == 2; });
            turn = 0;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    cv.notify_all();
    peer.join();
    reportPercentiles(state, samples, g_pingPong);
}
BENCHMARK(BM_BareMutexCondvarPingPong)->Iterations(20000)->UseRealTime();

// Decoding and handing out one reply, without threads: arm, dispatch the
// frame as the receive thread would, take the values, disarm. Counts heap
// allocations: the value vector keeps its reserved capacity, so none.
void BM_DecodeOneReply(benchmark::State& state) {
    Driver::DriverImpl impl;
    const can_frame_data frame = qt_test::makeFrame(3, 40, {0x00, 0x00, 0x20, 0x41, 0x6E, 0x0F, 90, 0x01});
    float rRef = 0;
    unsigned short beta = 0;
    unsigned char upper = 0;
    bool enabled = false;
    const long allocationsBefore = g_allocations.load();
    for (auto _ : state) {
        impl.arm(40);
        impl.onFrame(&frame);
        impl.parseData(40, &rRef, &beta, &upper, &enabled);
        impl.disarm();
        benchmark::DoNotOptimize(rRef);
    }
    state.counters["allocs_per_reply"] =
        static_cast<double>(g_allocations.load() - allocationsBefore) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DecodeOneReply);

void BM_Sizes(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(state.iterations());
    state.counters["sizeof_Driver"] = sizeof(Driver);
    state.counters["sizeof_DriverImpl"] = sizeof(Driver::DriverImpl);
    state.counters["sizeof_SignalValue"] = sizeof(quorvel_detail::SignalValue);
}
BENCHMARK(BM_Sizes)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_read.p50 > 0 && g_pingPong.p50 > 0) {
        std::printf("\nread round trip vs bare ping-pong: p50 %.2f us vs %.2f us (x%.2f), p99 %.2f us vs %.2f us (x%.2f)\n",
                    g_read.p50, g_pingPong.p50, g_read.p50 / g_pingPong.p50, g_read.p99, g_pingPong.p99,
                    g_read.p99 / g_pingPong.p99);
    }
    return 0;
}
