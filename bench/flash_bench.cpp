// Host-side cost of a firmware update's write phase.
//
// FlashWritePhase runs Driver::flash of a 128 KiB image (records of 255
// bytes, as the reader keeps them) against the simulated bootloader, which
// acknowledges every frame at once on the sending thread. The time reported
// is the host's share of the write phase: for every 8-byte data frame, the
// time from the bootloader's acknowledgement of the previous frame to the
// arrival of the next one (receive thread, hand-off, wake-up, next frame).
// The fixed pauses of the update (about 5 s) and the simulated programming
// time of each block are not in it; the counters report them apart.
//
// DataFrameEncoding is the pure part alone: building every frame of the image.

#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "firmware/bootloader.hpp"
#include "quorvel_transport/driver.hpp"
#include "quorvel_transport/intelhex.hpp"
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

void FlashWritePhase(benchmark::State& state) {
    const std::string path = writeTempFile("flash_bench_128k.hex", hexText(imageBlocks(), 255));
    double frames = 0, hostSeconds = 0, pauses = 0, writePhase = 0, programming = 0;
    for (auto _ : state) {
        TestTransport bus;
        SimBootloader boot(bus, kNode, true);
        boot.setDelay(BootStep::WriteDone, Millis(2));
        if (!bus.initInterface("bench")) return state.SkipWithError("interface did not start");
        Driver driver(kNode, &bus);
        const auto t0 = std::chrono::steady_clock::now();
        const ret_status_t status = driver.flash(path, true);
        const auto total = std::chrono::steady_clock::now() - t0;
        bus.closeInterface();
        if (status != RET_SUCCESS || boot.memory().size() != kImageSize) return state.SkipWithError("update failed");
        const auto [hostTime, dataFrames] = boot.dataFrameTurnaround();
        state.SetIterationTime(std::chrono::duration<double>(hostTime).count());
        hostSeconds += std::chrono::duration<double>(hostTime).count();
        frames += static_cast<double>(dataFrames);
        const double fixed = 5.0 + 0.001 * 10;  // rate change, sync, new rate; per-sector pause
        pauses += fixed;
        writePhase += std::chrono::duration<double>(total).count() - fixed;
        programming += 0.002 * static_cast<double>(boot.writes().size());
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["data_frames"] = frames / n;
    state.counters["us_per_data_frame"] = frames > 0 ? hostSeconds * 1e6 / frames : 0;
    state.counters["fixed_pauses_s"] = pauses / n;
    // Erase and write phases, device time included.
    state.counters["erase_and_write_s"] = writePhase / n;
    state.counters["simulated_programming_s"] = programming / n;
}
BENCHMARK(FlashWritePhase)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void DataFrameEncoding(benchmark::State& state) {
    const auto blocks = imageBlocks();
    intelhex::hex_data image;
    std::istringstream text(hexText(blocks, 255));
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
