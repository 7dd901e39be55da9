// Frame codec cost, router throughput and the idle cost of a started
// interface.
#include <benchmark/benchmark.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "quorvel_transport/can_helpers.hpp"
#include "quorvel_transport/interface.hpp"

namespace {

double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

void BM_CodecSetFloat(benchmark::State& state) {
    can_frame_data f{};
    float v = 1.5f;
    for (auto _ : state) {
        canSetSignal<float>(f, v, 32, 32, true);
        benchmark::DoNotOptimize(f);
        v += 0.25f;
    }
}
BENCHMARK(BM_CodecSetFloat);

void BM_CodecSetScaled(benchmark::State& state) {
    can_frame_data f{};
    float v = 1.5f;
    for (auto _ : state) {
        canSetSignal<short>(f, v, 16, 16, true, 0.01f, 0.0f);
        benchmark::DoNotOptimize(f);
        v += 0.25f;
    }
}
BENCHMARK(BM_CodecSetScaled);

void BM_CodecGetFloat(benchmark::State& state) {
    can_frame_data f{};
    canSetSignal<float>(f, 24.0f, 32, 32, true);
    for (auto _ : state) {
        benchmark::DoNotOptimize(f);
        benchmark::DoNotOptimize(canGetSignal<float>(f, 32, 32, true));
    }
}
BENCHMARK(BM_CodecGetFloat);

void BM_CodecGetBool(benchmark::State& state) {
    can_frame_data f{};
    f.data[4] = 0x04;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f);
        benchmark::DoNotOptimize(canGetSignal<bool>(f, 34, 1, true));
    }
}
BENCHMARK(BM_CodecGetBool);

// A transport that hands out a prepared batch as fast as the receive thread
// asks, and otherwise waits like a real one.
class BatchTransport : public Interface {
public:
    ~BatchTransport() { closeInterface(); }
    bool init(std::string) override { return true; }
    void closeIface() override {}
    bool sendData(can_frame_data*) override { return true; }
    bool recvData(can_frame_data* frame) override {
        const size_t i = next_.load(std::memory_order_relaxed);
        if (i < limit_.load(std::memory_order_acquire)) {
            *frame = batch_[i % batch_.size()];
            next_.store(i + 1, std::memory_order_relaxed);
            return true;
        }
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait_for(lock, std::chrono::milliseconds(50), [&] { return next_.load() < limit_.load(); });
        return false;
    }
    bool setCANBaudRate(CANBaudRate) override { return false; }

    void release(size_t count) {
        {
            std::lock_guard<std::mutex> lock(m_);
            limit_.fetch_add(count);
        }
        cv_.notify_all();
    }
    std::vector<can_frame_data> batch_;

private:
    std::atomic<size_t> next_{0};
    std::atomic<size_t> limit_{0};
    std::mutex m_;
    std::condition_variable cv_;
};

class CountingDevice : public CANDeviceType {
public:
    explicit CountingDevice(unsigned id) { nodeId = id; }
    void canMsgCallback(can_frame_data* frame) override {
        sum += frame->data[0];
        count.fetch_add(1, std::memory_order_release);
    }
    std::atomic<size_t> count{0};
    unsigned sum = 0;
};

void BM_RouterThroughput(benchmark::State& state) {
    BatchTransport bus;
    for (unsigned n = 0; n < 64; ++n) {
        can_frame_data f{};
        f.can_id = 0x80000000u | (5u << 7) | (n % 100 + 3);
        f.can_dlc = 8;
        f.data[0] = static_cast<uint8_t>(n);
        bus.batch_.push_back(f);
    }
    CountingDevice dev(5);
    bus.registerCANMsgCallback(&dev);
    bus.initInterface("bench");
    const size_t perIteration = 100000;
    size_t target = 0;
    const double cpu0 = cpuSeconds();
    for (auto _ : state) {
        target += perIteration;
        bus.release(perIteration);
        while (dev.count.load(std::memory_order_acquire) < target) std::this_thread::yield();
    }
    const double cpu = cpuSeconds() - cpu0;
    bus.closeInterface();
    bus.unregisterCANMsgCallback(&dev);
    state.SetItemsProcessed(static_cast<int64_t>(target));
    // The waiting bench thread yields in a loop: the CPU figure includes it.
    state.counters["cpu_ns_per_frame_incl_waiter"] = cpu * 1e9 / static_cast<double>(target);
}
BENCHMARK(BM_RouterThroughput)->UseRealTime()->Unit(benchmark::kMillisecond);

// CPU of a started interface over 2 s with only master heartbeats.
void BM_IdleInterface(benchmark::State& state) {
    for (auto _ : state) {
        BatchTransport bus;
        bus.initInterface("bench");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double cpu0 = cpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double cpu = cpuSeconds() - cpu0;
        bus.closeInterface();
        state.counters["idle_cpu_percent_of_core"] = cpu / 2.0 * 100.0;
    }
}
BENCHMARK(BM_IdleInterface)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
