// Independent judges: objcopy and srec_cat make HEX files from known bytes
// that the reader must get back exactly, and srec_cat must get back exactly
// the bytes of what the writer produces.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "intelhex.hpp"

using intelhex::hex_data;

namespace {

using Bytes = std::vector<unsigned char>;

bool onPath(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

#define REQUIRE_TOOL(tool) \
    if (!onPath(tool)) GTEST_SKIP() << tool " not found on PATH"

class IntelHexTools : public ::testing::Test {
protected:
    // A path for the test's file `name`, removed after the test.
    std::string file(const std::string& name) {
        made_.push_back(::testing::TempDir() + "intelhex_tools_" + std::to_string(::getpid()) + "_" + name);
        return made_.back();
    }

    void TearDown() override {
        for (const auto& name : made_) std::remove(name.c_str());
    }

    std::string writeBytes(const std::string& name, const Bytes& bytes) {
        const std::string path = file(name);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    Bytes readBytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    void run(const std::string& command) {
        ASSERT_EQ(std::system((command + " 2>&1").c_str()), 0) << command;
    }

    // Random bytes, never `avoid` (the gap marker of the srec_cat checks).
    static Bytes randomBytes(std::size_t n, unsigned seed, unsigned char avoid = 0xEE) {
        std::mt19937 rng(seed);
        Bytes b(n);
        for (auto& v : b) {
            v = static_cast<unsigned char>(rng());
            if (v == avoid) v ^= 1;
        }
        return b;
    }

    // Reads a HEX file and expects exactly `bytes` from `start` on, nothing else.
    void expectReadsBack(const std::string& hexPath, std::uint32_t start, const Bytes& bytes) {
        hex_data img(hexPath);
        EXPECT_EQ(img.size(), bytes.size());
        img.compact();
        ASSERT_EQ(std::distance(img.begin(), img.end()), 1);
        EXPECT_EQ(img.begin()->first, start);
        EXPECT_TRUE(img.begin()->second == bytes) << "bytes differ";
    }

    // Writes img and has srec_cat turn [lo, hi) of it into binary, gaps
    // filled with 0xEE; compares with the same range taken from img.
    void expectSrecCatReads(hex_data& img, std::uint64_t lo, std::uint64_t hi, const char* name) {
        const std::string hex = file(std::string(name) + ".hex");
        const std::string bin = file(std::string(name) + ".bin");
        img.write(hex.c_str());
        std::ostringstream cmd;
        // Shifted down first: srec_cat cannot crop or fill up to 2^32.
        cmd << "srec_cat " << hex << " -intel -offset -0x" << std::hex << lo << " -crop 0 0x" << hi - lo
            << " -fill 0xEE 0 0x" << hi - lo << " -o " << bin << " -binary";
        run(cmd.str());
        Bytes expected;
        for (std::uint64_t a = lo; a < hi; ++a) {
            const auto addr = static_cast<unsigned int>(a);
            expected.push_back(img.is_set(addr) ? img.get(addr) : 0xEE);
        }
        const Bytes got = readBytes(bin);
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected) << "srec_cat read different bytes from " << hex;
    }

private:
    std::vector<std::string> made_;
};

}  // namespace

// Past 64 KiB objcopy switches to extended segment records (CR LF line ends);
// with a high start address it writes extended linear records.
TEST_F(IntelHexTools, ObjcopyOutputReadsBack) {
    REQUIRE_TOOL("objcopy");
    for (const std::uint32_t start : {0u, 0x0800FF80u}) {
        SCOPED_TRACE(start);
        const Bytes data = randomBytes(start == 0 ? 200000 : 150000, start + 1);
        const std::string bin = writeBytes("objcopy.bin", data);
        const std::string hex = file("objcopy.hex");
        run("objcopy -I binary -O ihex --change-addresses " + std::to_string(start) + " " + bin + " " + hex);
        expectReadsBack(hex, start, data);
        const hex_data img(hex);
        EXPECT_TRUE(start == 0 ? img.segment_record_seen : img.linear_record_seen);
    }
}

TEST_F(IntelHexTools, SrecCatOutputReadsBack) {
    REQUIRE_TOOL("srec_cat");
    const Bytes data = randomBytes(100000, 3);
    const std::string bin = writeBytes("srec.bin", data);
    for (const char* blockSize : {"16", "255"}) {
        SCOPED_TRACE(blockSize);
        const std::string hex = file(std::string("srec_") + blockSize + ".hex");
        run("srec_cat " + bin + " -binary -offset 0x12345 -o " + hex + " -intel -obs=" + blockSize);
        expectReadsBack(hex, 0x12345, data);
    }
}

// Low blocks; one long block across two 64 KiB boundaries and a separate
// one; a block ending at the top of the address space.
TEST_F(IntelHexTools, WrittenImagesReadBySrecCat) {
    REQUIRE_TOOL("srec_cat");
    const struct {
        const char* name;
        std::vector<std::pair<std::uint32_t, Bytes>> blocks;
        std::uint64_t lo, hi;
    } cases[] = {
        {"low", {{0x100, randomBytes(700, 4)}, {0x1000, randomBytes(3, 5)}, {0xFFF0, randomBytes(40, 6)}}, 0, 0x10100},
        {"high", {{0x0800FF80, randomBytes(70000, 7)}, {0x08030000, randomBytes(17, 8)}}, 0x0800FF00, 0x08030100},
        {"top", {{0xFFFFFED4, randomBytes(300, 9)}}, 0xFFFFFE00, 0x100000000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hex_data img;
        for (const auto& [start, bytes] : c.blocks)
            for (std::size_t i = 0; i < bytes.size(); ++i) img.set(start + static_cast<std::uint32_t>(i), bytes[i]);
        expectSrecCatReads(img, c.lo, c.hi, c.name);
    }
}
