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

class IntelHexTools : public ::testing::Test {
protected:
    void TearDown() override {
        for (const char* name : {"in.bin", "out.hex", "written.hex", "read.bin"}) std::remove(file(name).c_str());
    }

    static std::string file(const std::string& name) {
        return ::testing::TempDir() + "intelhex_tools_" + std::to_string(::getpid()) + "_" + name;
    }

    static void run(const std::string& command) {
        ASSERT_EQ(std::system((command + " 2>&1").c_str()), 0) << command;
    }

    // Random bytes, never 0xEE (the gap marker of the srec_cat checks).
    static Bytes randomBytes(std::size_t n, unsigned seed) {
        std::mt19937 rng(seed);
        Bytes b(n);
        for (auto& v : b) v = static_cast<unsigned char>(rng() % 0xEE);
        return b;
    }

    // Runs the command `before` binary-file `middle` HEX-file `after` on a file
    // of data and expects the reader to get exactly data from start on.
    hex_data expectReadsBack(const Bytes& data, std::uint32_t start, const std::string& before,
                             const std::string& middle, const std::string& after = "") {
        const std::string bin = file("in.bin"), hex = file("out.hex");
        std::ofstream(bin, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        run(before + bin + middle + hex + after);
        hex_data img(hex);
        EXPECT_EQ(img.size(), data.size());
        img.compact();
        const bool same = std::distance(img.begin(), img.end()) == 1 && img.begin()->first == start &&
                          img.begin()->second == data;
        EXPECT_TRUE(same) << "bytes differ from " << hex;
        return img;
    }
};

}  // namespace

// Past 64 KiB objcopy switches to extended segment records (CR LF line ends);
// with a high start address it writes extended linear records.
TEST_F(IntelHexTools, ObjcopyOutputReadsBack) {
    for (const std::uint32_t start : {0u, 0x0800FF80u}) {
        SCOPED_TRACE(start);
        const auto img = expectReadsBack(randomBytes(start == 0 ? 200000 : 150000, start + 1), start,
                                         "objcopy -I binary -O ihex --change-addresses " + std::to_string(start) + " ",
                                         " ");
        EXPECT_TRUE(start == 0 ? img.segment_record_seen : img.linear_record_seen);
    }
}

TEST_F(IntelHexTools, SrecCatOutputReadsBack) {
    for (const char* blockSize : {"16", "255"}) {
        SCOPED_TRACE(blockSize);
        expectReadsBack(randomBytes(100000, 3), 0x12345, "srec_cat ", " -binary -offset 0x12345 -o ",
                        std::string(" -intel -obs=") + blockSize);
    }
}

// Writes the image and has srec_cat turn [lo, hi) of it into binary, gaps
// filled with 0xEE: low blocks; one long block across two 64 KiB boundaries
// and a separate one; a block ending at the top of the address space.
TEST_F(IntelHexTools, WrittenImagesReadBySrecCat) {
    const struct {
        std::vector<std::pair<std::uint32_t, Bytes>> blocks;
        std::uint64_t lo, hi;
    } cases[] = {
        {{{0x100, randomBytes(700, 4)}, {0x1000, randomBytes(3, 5)}, {0xFFF0, randomBytes(40, 6)}}, 0, 0x10100},
        {{{0x0800FF80, randomBytes(70000, 7)}, {0x08030000, randomBytes(17, 8)}}, 0x0800FF00, 0x08030100},
        {{{0xFFFFFED4, randomBytes(300, 9)}}, 0xFFFFFE00, 0x100000000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lo);
        hex_data img;
        for (const auto& [start, bytes] : c.blocks)
            for (std::size_t i = 0; i < bytes.size(); ++i) img.set(start + static_cast<std::uint32_t>(i), bytes[i]);
        const std::string hex = file("written.hex"), bin = file("read.bin");
        img.write(hex.c_str());
        std::ostringstream cmd;
        // Shifted down first: srec_cat cannot crop or fill up to 2^32.
        cmd << "srec_cat " << hex << " -intel -offset -0x" << std::hex << c.lo << " -crop 0 0x" << c.hi - c.lo
            << " -fill 0xEE 0 0x" << c.hi - c.lo << " -o " << bin << " -binary";
        run(cmd.str());
        Bytes expected;
        for (std::uint64_t a = c.lo; a < c.hi; ++a)
            expected.push_back(img.is_set(static_cast<unsigned int>(a)) ? img.get(static_cast<unsigned int>(a)) : 0xEE);
        std::ifstream in(bin, std::ios::binary);
        EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(in), {}) == expected) << "srec_cat read other bytes";
    }
}
