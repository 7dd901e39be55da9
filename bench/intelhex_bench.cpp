// Reading the Intel HEX file of a 1 MiB image, in MB/s of text, beside
// srec_cat converting the same file to binary in the same run.

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "quorvel_transport/intelhex.hpp"

extern char** environ;

namespace {

constexpr std::uint32_t kImageStart = 0x08000000;
constexpr std::size_t kImageSize = 1 << 20;

// A 1 MiB image of random bytes in 16-byte records, the usual layout of
// firmware files, written once per run.
struct HexFile {
    std::string path = "/tmp/intelhex_bench_" + std::to_string(::getpid()) + ".hex";
    std::string binPath = path + ".bin";
    std::size_t textBytes = 0;

    HexFile() {
        intelhex::hex_data img;
        std::mt19937 rng(42);
        for (std::size_t i = 0; i < kImageSize; ++i)
            img.set(kImageStart + static_cast<std::uint32_t>(i), static_cast<unsigned char>(rng() | 1));
        img.tidy(16);
        img.write(path.c_str());
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        textBytes = static_cast<std::size_t>(in.tellg());
    }
    ~HexFile() {
        std::remove(path.c_str());
        std::remove(binPath.c_str());
    }
};

const HexFile& hexFile() {
    static const HexFile file;
    return file;
}

void BM_IntelHexRead(benchmark::State& state) {
    const auto& file = hexFile();
    for (auto _ : state) {
        intelhex::hex_data img(file.path);
        if (img.size() != kImageSize) return state.SkipWithError("image read incompletely");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.textBytes));
}
BENCHMARK(BM_IntelHexRead)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same file through srec_cat into a binary file; wall time, since the
// work happens in a child process.
void BM_SrecCatToBinary(benchmark::State& state) {
    const auto& file = hexFile();
    const std::string offset = "-" + std::to_string(kImageStart);
    const char* argv[] = {"srec_cat", file.path.c_str(), "-intel", "-offset", offset.c_str(),
                          "-o",       file.binPath.c_str(), "-binary", nullptr};
    for (auto _ : state) {
        pid_t pid = 0;
        if (::posix_spawnp(&pid, "srec_cat", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
            return state.SkipWithError("srec_cat not found");
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return state.SkipWithError("srec_cat failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.textBytes));
}
BENCHMARK(BM_SrecCatToBinary)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
