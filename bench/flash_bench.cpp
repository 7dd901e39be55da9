// Host-side cost of a firmware update.
//
// FlashUpdate runs Driver::flash of a 128 KiB image (records of 255 bytes, as
// the reader keeps them) against the simulated bootloader, which acknowledges
// every frame at once with no device time, on a virtual clock that skips the
// update's fixed pauses (about 7 s of them in real use). What remains is the
// host's cost: the stop-and-wait exchange of every frame (receive thread,
// hand-off, wake-up, next frame) plus the simulator's own handling.
//
// DataFrameEncoding is the pure part alone: building every frame of the image.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "firmware/bootloader.hpp"
#include "quorvel_transport/driver.hpp"
#include "quorvel_transport/intelhex.hpp"
#include "device_access.hpp"
#include "driver_impl.hpp"
#include "sim_bootloader.hpp"
#include "sim_device.hpp"

using namespace qt_test;
namespace bl = quorvel_detail::bootloader;

namespace {

constexpr uint32_t kNode = 0x21;
constexpr size_t kImageSize = 128 * 1024;

std::map<uint32_t, std::vector<uint8_t>> imageBlocks() {
    std::vector<uint8_t> bytes(kImageSize);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
    return {{0x08000000, bytes}};
}

// The image in records of 255 bytes, as the reader keeps them.
std::string imageText() {
    intelhex::hex_data image;
    for (const auto& [start, bytes] : imageBlocks())
        for (size_t i = 0; i < bytes.size(); ++i) image[start + static_cast<uint32_t>(i)] = bytes[i];
    image.tidy(255);
    std::ostringstream text;
    image.write(text);
    return text.str();
}

void FlashUpdate(benchmark::State& state) {
    const std::string path = "/tmp/qt_flash_bench_" + std::to_string(::getpid()) + ".hex";
    std::ofstream(path) << imageText();
    double frames = 0, seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        TestTransport bus;
        SimBootloader boot(bus, kNode, true, Millis(0));
        if (!bus.initInterface("bench")) return state.SkipWithError("interface did not start");
        Driver driver(kNode, &bus);
        VirtualPacer pacer;
        PacedBy<Driver> paced(driver, pacer);
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        const ret_status_t status = driver.flash(path, true);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.PauseTiming();
        bus.closeInterface();
        if (status != RET_SUCCESS || boot.memory().size() != kImageSize) return state.SkipWithError("update failed");
        frames += static_cast<double>(bus.sentFrames([](const can_frame_data& f) { return f.can_id == 0x04; }).size());
        state.ResumeTiming();
    }
    std::remove(path.c_str());
    state.counters["data_frames"] = frames / static_cast<double>(state.iterations());
    state.counters["us_per_data_frame"] = frames > 0 ? seconds * 1e6 / frames : 0;
}
BENCHMARK(FlashUpdate)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void DataFrameEncoding(benchmark::State& state) {
    intelhex::hex_data image;
    std::istringstream text(imageText());
    image.read(text);
    size_t frames = 0;
    for (auto _ : state) {
        for (const auto& block : image) {
            for (const bl::WriteChunk& chunk : bl::splitIntoWriteChunks(block.first, block.second)) {
                can_frame_data address = bl::writeAddressFrame(chunk);
                benchmark::DoNotOptimize(address);
                for (size_t i = 0; i < bl::dataFrameCount(chunk); ++i) {
                    can_frame_data data = bl::writeDataFrame(chunk, i);
                    benchmark::DoNotOptimize(data);
                    ++frames;
                }
            }
        }
    }
    state.counters["ns_per_data_frame"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(DataFrameEncoding)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
