// The USB adapter transport: cost of the line codec, and frames per second
// through a pseudo-terminal to the simulated adapter and back, unpaced and
// paced like the 115200 bit/s link, with the CPU time of the library's own
// threads (receive and heartbeat) at that load.
//
// Runs in a private /dev and /sys (device_tree.hpp) so that the adapter on
// the pty is accepted by init; needs root.

#include <benchmark/benchmark.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "device_tree.hpp"
#include "sim_adapter.hpp"
#include "sim_device.hpp"
#include "quorvel_transport/usb_interface.hpp"
#include "usb/usb_line_codec.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using qt_test::Millis;

constexpr uint32_t kLinkRate = 115200;
// A 27-character line is 270 bits on the link.
constexpr double kLinkCeilingLinesPerSecond = kLinkRate / 270.0;
constexpr unsigned kNode = 5;
constexpr uint8_t kCommand = 70;
// Requests in flight at once: enough to keep a paced link busy.
constexpr int kWindow = 16;

bool treeReady = false;
int nextPort = 0;

// Each run lists its own pty under a fresh name.
std::string listAdapter(const qt_test::SimAdapter& adapter) {
    return qt_test::listAsYomlu(adapter, "ttyACM" + std::to_string(nextPort++));
}

std::set<int> threadIds() {
    std::set<int> ids;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(dir)) {
            if (e->d_name[0] != '.') ids.insert(std::atoi(e->d_name));
        }
        ::closedir(dir);
    }
    return ids;
}

// CPU time of one thread of this process, in seconds.
double threadCpuSeconds(int tid) {
    // schedstat: nanoseconds on the CPU first.
    std::ifstream schedstat("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    unsigned long long ns = 0;
    if (schedstat >> ns) return static_cast<double>(ns) / 1e9;
    return 0.0;
}

double cpuOf(const std::set<int>& tids) {
    double sum = 0;
    for (int tid : tids) sum += threadCpuSeconds(tid);
    return sum;
}

// Replies routed to node 5, counted.
class ReplyCounter : public CANDeviceType {
public:
    ReplyCounter() { nodeId = kNode; }
    void canMsgCallback(can_frame_data* frame) override {
        if (getCommandIdFromFrame(frame) != kCommand) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++replies;
        }
        cv.notify_all();
    }
    std::mutex mutex;
    std::condition_variable cv;
    long replies = 0;
};

void BM_UsbEncodeFrameLine(benchmark::State& state) {
    can_frame_data f{};
    f.can_id = 0xC00002C6u;
    f.can_dlc = 8;
    usb_line::LineBuffer line;
    for (auto _ : state) {
        benchmark::DoNotOptimize(usb_line::encodeFrameLine(f, line));
        benchmark::ClobberMemory();
        ++f.data[0];
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UsbEncodeFrameLine);

void BM_UsbParseFrameLine(benchmark::State& state) {
    const std::string line = "T000002C6801020304050607" "08\r";
    for (auto _ : state) {
        auto parsed = usb_line::parseLine(line.data(), line.size());
        benchmark::DoNotOptimize(parsed.frame);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UsbParseFrameLine);

// Request frames out, the simulated device's replies back, kWindow in flight,
// for the benchmark's minimum time; linkRate 0 leaves the pty unpaced.
void BM_UsbRoundTrips(benchmark::State& state) {
    if (!treeReady) {
        state.SkipWithError("no private device tree (needs root)");
        return;
    }
    const uint32_t linkRate = static_cast<uint32_t>(state.range(0));
    qt_test::SimAdapter adapter;
    adapter.setLinkRate(linkRate);
    const std::string path = listAdapter(adapter);
    qt_test::SimDevice device(adapter.bus(), kNode);
    device.answer(kCommand, qt_test::Payload().put<float>(24.0f).put<float>(1.0f).reply());

    USBInterface usb;
    ReplyCounter counter;
    usb.registerCANMsgCallback(&counter);
    const std::set<int> before = threadIds();
    if (!usb.initInterface(path)) {
        state.SkipWithError("initInterface failed");
        return;
    }
    std::set<int> library;
    for (int tid : threadIds()) {
        if (before.count(tid) == 0) library.insert(tid);
    }

    can_frame_data request = qt_test::makeFrame(kNode, kCommand, {}, 8, true);
    long sent = 0;
    long received = 0;
    double seconds = 0;
    double cpu = 0;
    for (auto _ : state) {
        long startReplies;
        {
            std::lock_guard<std::mutex> lock(counter.mutex);
            startReplies = counter.replies;
        }
        const double cpuStart = cpuOf(library);
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(3);
        long out = 0;
        while (Clock::now() < end) {
            {
                std::unique_lock<std::mutex> lock(counter.mutex);
                counter.cv.wait_for(lock, Millis(50),
                                    [&] { return out - (counter.replies - startReplies) < kWindow; });
                if (out - (counter.replies - startReplies) >= kWindow) continue;
            }
            if (usb.sendFrame(&request)) ++out;
        }
        {
            // Let the requests in flight come back before counting.
            std::unique_lock<std::mutex> lock(counter.mutex);
            counter.cv.wait_for(lock, std::chrono::seconds(2), [&] { return counter.replies - startReplies >= out; });
            received += counter.replies - startReplies;
        }
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        cpu += cpuOf(library) - cpuStart;
        sent += out;
    }
    usb.closeInterface();
    usb.unregisterCANMsgCallback(&counter);

    state.counters["frames_per_s"] = received / seconds;
    state.counters["link_ceiling_per_s"] = linkRate != 0 ? linkRate / 270.0 : 0.0;
    state.counters["lib_threads_cpu_pct"] = 100.0 * cpu / seconds;
    // Receive and heartbeat threads together, per reply frame that came back.
    state.counters["lib_cpu_us_per_frame"] = received > 0 ? 1e6 * cpu / static_cast<double>(received) : 0.0;
    state.counters["lost"] = static_cast<double>(sent - received);
}
BENCHMARK(BM_UsbRoundTrips)->Arg(0)->Arg(kLinkRate)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The library's threads with the link idle (master heartbeats only).
void BM_UsbIdle(benchmark::State& state) {
    if (!treeReady) {
        state.SkipWithError("no private device tree (needs root)");
        return;
    }
    qt_test::SimAdapter adapter;
    const std::string path = listAdapter(adapter);
    USBInterface usb;
    const std::set<int> before = threadIds();
    usb.initInterface(path);
    std::set<int> library;
    for (int tid : threadIds()) {
        if (before.count(tid) == 0) library.insert(tid);
    }
    double cpu = 0, seconds = 0;
    for (auto _ : state) {
        const double c0 = cpuOf(library);
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        cpu += cpuOf(library) - c0;
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    }
    usb.closeInterface();
    state.counters["lib_threads_cpu_pct"] = 100.0 * cpu / seconds;
}
BENCHMARK(BM_UsbIdle)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists: the namespace must be the whole process's.
    try {
        qt_test::enterPrivateDeviceTree();
        treeReady = true;
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
    }
    std::cout << "link ceiling at " << kLinkRate << " bit/s: " << kLinkCeilingLinesPerSecond
              << " lines/s each way for 27-character lines" << std::endl;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
