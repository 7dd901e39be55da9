#include <gtest/gtest.h>

#include <cstdio>
#include <iomanip>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "quorvel_transport/intelhex.hpp"
#include "sim_bootloader.hpp"

using intelhex::hex_data;

namespace {

using Bytes = std::vector<unsigned char>;
using Blocks = std::vector<std::pair<std::uint32_t, Bytes>>;

hex_data fromText(const std::string& text) {
    hex_data img;
    std::istringstream in(text);
    img.read(in);
    return img;
}

Blocks blocksOf(const hex_data& img) { return Blocks(img.begin(), img.end()); }

// Bytes from..to-1: the values the edit fixture stores at those addresses.
Bytes seq(unsigned from, unsigned to) {
    Bytes b;
    for (unsigned v = from; v < to; ++v) b.push_back(static_cast<unsigned char>(v));
    return b;
}

// A record without its line end.
std::string dataRecord(std::uint16_t address, const Bytes& data, unsigned type = 0) {
    const std::string line = qt_test::hexRecord(static_cast<std::uint8_t>(type), address, data.data(), data.size());
    return line.substr(0, line.size() - 2);
}

const std::string kRec1 = dataRecord(0x0000, {0x11, 0x22});
const std::string kRec2 = dataRecord(0x0010, {0x33});
const Blocks kOnly1 = {{0, {0x11, 0x22}}};
const Blocks kOnly2 = {{0x10, {0x33}}};
const Blocks kBoth = {{0, {0x11, 0x22}}, {0x10, {0x33}}};

}  // namespace

TEST(Hex2Binary, AppendsPairsUntilANonDigitAndSumsModulo256) {
    Bytes out{0x99};
    EXPECT_EQ(intelhex::hex2binary(out, "FFfe0aG304"), static_cast<unsigned char>(0xFF + 0xFE + 0x0A));
    EXPECT_EQ(intelhex::hex2binary(out, "01020"), 3);  // unpaired digit dropped
    EXPECT_EQ(intelhex::hex2binary(out, "xx01"), 0);
    EXPECT_EQ(out, (Bytes{0x99, 0xFF, 0xFE, 0x0A, 0x01, 0x02}));
}

TEST(IntelHexRead, RecordsAndWhereReadingStops) {
    const std::string top = ":02000004FFFFFC\n";
    const struct {
        const char* what;
        std::string text;
        Blocks want;
    } cases[] = {
        {"EOF with LF is too short: ends reading", kRec1 + "\n:00000001FF\n" + kRec2 + "\n", kOnly1},
        {"EOF with CR is skipped", kRec1 + "\r\n:00000001FF\r\n" + kRec2 + "\r\n", kBoth},
        {"wrong checksum stops, earlier kept", kRec1 + "\n:01002000449A\n" + kRec2 + "\n", kOnly1},
        {"lower-case digits", ":04abcd00deadbeef4c\n", {{0xABCD, {0xDE, 0xAD, 0xBE, 0xEF}}}},
        {"text after the checksum ignored", kRec1 + " ; comment\n" + kRec2 + "\n", kBoth},
        {"character inside a record fails the sum", kRec2 + "\n:02000000 1122CB\n" + kRec1 + "\n", kOnly2},
        {"leading white space", kRec1 + "\n " + kRec2 + "\n" + kRec2 + "\n", kOnly1},
        {"one base, the later wins", ":020000040800F2\n:020000021000EC\n" + kRec2 + "\n", {{0x10010, {0x33}}}},
        {"malformed extended records skipped",
         ":020000040001F9\n" + dataRecord(1, {0x08, 0x00}, 4) + "\n" + dataRecord(0, {0x08, 0x00, 0x00}, 4) +
             "\n" + dataRecord(0, {0x10}, 2) + "\n" + kRec2 + "\n",
         {{0x10010, {0x33}}}},
        {"start address, unknown and empty records skipped",
         ":0400000508000131BD\n:0400000300001234B3\n" + dataRecord(0, {1}, 7) + "\n" + dataRecord(0x200, {}) +
             "\r\n" + kRec2 + "\n",
         kOnly2},
        // Records overwrite set bytes and make new blocks of the rest; never merged.
        {"record spanning blocks fills only the gaps",
         dataRecord(0x102, {0xA}) + "\n" + dataRecord(0x105, {0xB, 0xC}) + "\n" +
             dataRecord(0x100, {1, 2, 3, 4, 5, 6, 7, 8, 9}) + "\n",
         {{0x100, {1, 2}}, {0x102, {3}}, {0x103, {4, 5}}, {0x105, {6, 7}}, {0x107, {8, 9}}}},
        // Lines that cannot be trusted stop reading.
        {"count longer than the line", kRec2 + "\n:04000000AABB97\n" + kRec1 + "\n", kOnly2},
        {"eleven characters decoding to nothing", ": 0000000000\n" + kRec1 + "\n", {}},
        {"data up to the top of the address space", top + dataRecord(0xFFFC, {1, 2, 3, 4}) + "\n",
         {{0xFFFFFFFC, {1, 2, 3, 4}}}},
        {"data past the address space",
         top + dataRecord(0xFFF0, {5}) + "\n" + dataRecord(0xFFFE, {1, 2, 3}) + "\n" + dataRecord(0xFFF1, {6}) + "\n",
         {{0xFFFFFFF0, {5}}}},
        // Digits beyond the checksum still count in the sum; zeros keep it 0.
        {"overlong line checksummed whole", kRec1 + std::string(200000, '0') + "\n" + kRec2 + "\n", kBoth},
        {"overlong line with a wrong sum", kRec1 + std::string(100000, '0') + "01\n" + kRec2 + "\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(blocksOf(fromText(c.text)), c.want);
    }
}

TEST(IntelHexRead, FlagsStreamStatesAndRepeatedReads) {
    auto img = fromText(":020000040800F2\n:020000021000EC\n" + kRec2 + "\n");
    EXPECT_TRUE(img.linear_record_seen && img.segment_record_seen);
    img.clear();
    EXPECT_FALSE(img.linear_record_seen || img.segment_record_seen || img.size() > 0);

    std::istringstream noEnd(kRec1 + "\n" + kRec2);  // last line without a line feed
    img.read(noEnd);
    EXPECT_EQ(blocksOf(img), kBoth);
    EXPECT_TRUE(noEnd.eof());

    // The base starts at zero on every call; blocks are kept.
    std::istringstream high(":020000040001F9\n" + kRec2 + "\n"), low(kRec2 + "\n");
    hex_data twice;
    twice.read(high);
    twice.read(low);
    EXPECT_EQ(blocksOf(twice), (Blocks{{0x10, {0x33}}, {0x10010, {0x33}}}));

    std::istringstream failed(kRec1 + "\n");
    failed.setstate(std::ios::failbit);
    hex_data none;
    none.read(failed);
    EXPECT_EQ(none.size(), 0u);
}

TEST(IntelHexWrite, ExactRecordsExtendedAddressesAndStreamState) {
    const struct {
        std::string read;  // text read first
        std::vector<std::pair<unsigned, unsigned char>> bytes;
        std::string text;
    } cases[] = {
        {"", {{0x100, 1}, {0x101, 2}}, ":020100000102FA\n:00000001FF\n"},
        {":020000040000FA\n", {{0x100, 1}, {0x101, 2}}, ":020000040000FA\n:020100000102FA\n:00000001FF\n"},
        // Above 64 KiB a linear record for 0 first, then one only where the
        // upper address changes, also inside a block crossing 64 KiB.
        {"",
         {{0x1FFFE, 1}, {0x1FFFF, 2}, {0x20000, 3}, {0x20001, 4}, {0x20010, 0xCC}},
         ":020000040000FA\n:020000040001F9\n:02FFFE000102FE\n:020000040002F8\n:020000000304F7\n:01001000CC23\n"
         ":00000001FF\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto img = fromText(c.read);
        for (const auto& [address, value] : c.bytes) img.set(address, value);
        std::ostringstream out;
        img.write(out);
        out << std::setw(4) << 0xab;  // left in upper-case hex with '0' fill
        EXPECT_EQ(out.str(), c.text + "00AB");
        EXPECT_EQ(img.linear_record_seen, c.text.rfind(":020000040000FA", 0) == 0);
    }
    std::ostringstream bad;
    bad.setstate(std::ios::badbit);
    hex_data().write(bad);
    bad.clear();
    EXPECT_EQ(bad.str(), "");
}

// A missing file reads nothing and an unopenable path writes nothing.
TEST(IntelHexFile, RoundTripMissingAndUnopenablePaths) {
    auto img = fromText(":020000040800F2\n" + dataRecord(0x0010, {1, 2, 3}) + "\n" + dataRecord(0x2000, {4}) + "\n");
    const std::string path = ::testing::TempDir() + "intelhex_file_test.hex";
    img.write(path.c_str());
    hex_data back(path);
    EXPECT_EQ(blocksOf(back), (Blocks{{0x08000010, {1, 2, 3}}, {0x08002000, {4}}}));
    EXPECT_TRUE(back.linear_record_seen);
    hex_data loaded;
    loaded.load(path);
    loaded.load(path + ".missing");
    EXPECT_EQ(blocksOf(loaded), blocksOf(back));
    std::remove(path.c_str());
    img.write((::testing::TempDir() + "no/such/dir/x.hex").c_str());  // no crash, no output
}

TEST(IntelHexBytes, SetGetAndSubscriptAtBlockEdges) {
    hex_data img;
    for (unsigned a = 0x20; a < 0x23; ++a) img.set(a, static_cast<unsigned char>(a - 0x1F));  // appended
    img.set(0x1F, 9);  // new block, not merged with the following one
    EXPECT_EQ(blocksOf(img).size(), 2u);
    img.set(0x21, 0);  // the fill byte unsets
    img.set(0x99, 0);
    img.set(0x22, 7);
    EXPECT_EQ(blocksOf(img), (Blocks{{0x1F, {9}}, {0x20, {1}}, {0x22, {7}}}));
    EXPECT_EQ(img.get(0x21), img.fill());

    // At an unset address [] creates a fill byte the way set() stores one;
    // the fill byte written through the reference stays set.
    EXPECT_EQ(img[0x21], 0);
    EXPECT_TRUE(img.is_set(0x21));
    img[0x22] = 0;
    EXPECT_TRUE(img.is_set(0x22));
    img[0x1000] = 7;
    EXPECT_EQ(blocksOf(img), (Blocks{{0x1F, {9}}, {0x20, {1, 0}}, {0x22, {0}}, {0x1000, {7}}}));
}

class IntelHexEdit : public ::testing::Test {
protected:
    // Blocks 0x10-0x17 and 0x20-0x23, each byte holding its address.
    void SetUp() override {
        for (unsigned a = 0x10; a < 0x18; ++a) img.set(a, static_cast<unsigned char>(a));
        for (unsigned a = 0x20; a < 0x24; ++a) img.set(a, static_cast<unsigned char>(a));
    }
    hex_data img;
};

TEST_F(IntelHexEdit, EraseRange) {
    const struct {
        unsigned lo, hi;
        Blocks want;
    } cases[] = {
        {0x12, 0x15, {{0x10, seq(0x10, 0x12)}, {0x16, seq(0x16, 0x18)}, {0x20, seq(0x20, 0x24)}}},
        {0x15, 0x12, {{0x10, seq(0x10, 0x12)}, {0x16, seq(0x16, 0x18)}, {0x20, seq(0x20, 0x24)}}},
        {0x05, 0x21, {{0x22, seq(0x22, 0x24)}}},
        {0x16, 0x20, {{0x10, seq(0x10, 0x16)}, {0x21, seq(0x21, 0x24)}}},
        {0, 0xFFFFFFFF, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lo);
        hex_data copy = img;
        copy.erase(c.lo, c.hi);
        EXPECT_EQ(blocksOf(copy), c.want);
    }
}

TEST_F(IntelHexEdit, TidyAndCompact) {
    img.tidy(3);
    EXPECT_EQ(blocksOf(img), (Blocks{{0x10, seq(0x10, 0x13)}, {0x13, seq(0x13, 0x16)}, {0x16, seq(0x16, 0x18)},
                                     {0x20, seq(0x20, 0x23)}, {0x23, seq(0x23, 0x24)}}));
    img.compact();
    const Blocks before = {{0x10, seq(0x10, 0x18)}, {0x20, seq(0x20, 0x24)}};
    EXPECT_EQ(blocksOf(img), before);
    img.tidy(0);  // refused: would never end
    img.tidy(8);  // exact fit: unchanged
    EXPECT_EQ(blocksOf(img), before);

    img.set(0x18, 0x18);  // appended: still two blocks
    img.set(0x1F, 0x1F);  // touches the 0x20 block
    img.compact();
    EXPECT_EQ(blocksOf(img), (Blocks{{0x10, seq(0x10, 0x19)}, {0x1F, seq(0x1F, 0x24)}}));
}

TEST_F(IntelHexEdit, CountingAndAddresses) {
    EXPECT_EQ(img.size(), 12u);
    EXPECT_EQ(img.size_below_addr(0x13), 3u);
    EXPECT_EQ(img.size_below_addr(0x1C), 8u);
    EXPECT_EQ(img.size_below_addr(0xFFFFFFFF), 12u);
    EXPECT_EQ(img.size_in_range(0x16, 0x22), 4u);
    EXPECT_EQ(img.size_in_range(0x22, 0x16), 0u);
    EXPECT_EQ(img.size_in_range(0x18, 0x20), 0u);

    EXPECT_EQ(img.min_address(), 0x10u);
    EXPECT_EQ(img.max_address(), 0x23u);
    EXPECT_EQ(img.max_addr_below(0x12), 0x12u);
    EXPECT_EQ(img.max_addr_below(0x1C), 0x17u);
    EXPECT_EQ(img.max_addr_below(0x0F), 0u);
    EXPECT_EQ(hex_data().min_address() + hex_data().max_address(), 0u);

    // The last address must not wrap; erase(addr) takes just that address.
    img.set(0xFFFFFFFE, 1);
    img.set(0xFFFFFFFF, 2);
    EXPECT_EQ(img.max_addr_below(0xFFFFFFFF), 0xFFFFFFFFu);
    img.erase(0xFFFFFFFF);
    EXPECT_EQ(img.max_address(), 0xFFFFFFFEu);
    img.erase(0x21);
    EXPECT_EQ(img.size_in_range(0x20, 0x24), 3u);
    img.erase(0x30, 0xFFFFFFFF);
    EXPECT_EQ(img.max_address(), 0x23u);
}

TEST_F(IntelHexEdit, CompareUsesMaskRangeAndOnlyBytesSetInFirst) {
    hex_data other = img;
    other.set(0x30, 1);  // set only in the second image
    EXPECT_TRUE(intelhex::compare(img, other, 0xFF, 0, 0xFFFFFFFF));
    EXPECT_FALSE(intelhex::compare(other, img, 0xFF, 0, 0xFFFFFFFF));  // 1 against fill 0

    other.set(0x17, 0x17 ^ 0x80);
    EXPECT_FALSE(intelhex::compare(img, other, 0xFF, 0, 0xFFFFFFFF));
    EXPECT_TRUE(intelhex::compare(img, other, 0x7F, 0, 0xFFFFFFFF));
    EXPECT_FALSE(intelhex::compare(img, other, 0xFF, 0x17, 0x17));  // both ends included
    EXPECT_TRUE(intelhex::compare(img, other, 0xFF, 0x18, 0x30));
    EXPECT_TRUE(intelhex::compare(img, other, 0xFF, 0x20, 0x10));  // empty range
}
