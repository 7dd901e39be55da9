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

#include "quorvel_transport/intelhex.hpp"

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
        for (auto& v : b) v = static_cast<unsigned char>(0xEF + rng() % 255);  // wraps round to 0xED
        return b;
    }
};

}  // namespace

// The tool turns a file of random bytes into HEX; reading it must give
// exactly those bytes from the start address on. Past 64 KiB objcopy
// switches to extended segment records (CR LF line ends); with a high start
// address it writes extended linear records, as srec_cat does.
TEST_F(IntelHexTools, ToolOutputReadsBack) {
    const struct {
        std::uint32_t start;
        std::size_t size;
        bool segment;
        std::string before, middle, after;  // the command around the two file names
    } cases[] = {
        {0, 200000, true, "objcopy -I binary -O ihex ", " ", ""},
        {0x0800FF80, 150000, false, "objcopy -I binary -O ihex --change-addresses 0x0800FF80 ", " ", ""},
        {0x12345, 100000, false, "srec_cat ", " -binary -offset 0x12345 -o ", " -intel -obs=255"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before + c.after);
        const Bytes data = randomBytes(c.size, c.start + 1);
        const std::string bin = file("in.bin"), hex = file("out.hex");
        std::ofstream(bin, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        run(c.before + bin + c.middle + hex + c.after);
        hex_data img(hex);
        EXPECT_EQ(img.size(), data.size());
        EXPECT_TRUE(c.segment ? img.segment_record_seen : img.linear_record_seen);
        img.compact();
        const bool same = std::distance(img.begin(), img.end()) == 1 && img.begin()->first == c.start &&
                          img.begin()->second == data;
        EXPECT_TRUE(same) << "bytes differ from " << hex;
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
