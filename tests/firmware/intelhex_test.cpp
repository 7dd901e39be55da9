// The Intel HEX image: where reading stops and what it keeps, the exact
// records written, byte access and edits; then objcopy and srec_cat as
// independent judges of the reader and the writer.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <random>
#include <sstream>

#include "quorvel_transport/intelhex.hpp"

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

// Bytes from..to-1: what the edit fixture stores at those addresses.
Bytes seq(unsigned from, unsigned to) {
    Bytes b;
    for (unsigned v = from; v < to; ++v) b.push_back(static_cast<unsigned char>(v));
    return b;
}

const std::string kRec1 = ":020000001122CB\n", kRec2 = ":0100100033BC\n";
const Blocks kOnly1 = {{0, {0x11, 0x22}}}, kOnly2 = {{0x10, {0x33}}}, kBoth = {{0, {0x11, 0x22}}, {0x10, {0x33}}};

}  // namespace

TEST(Hex2Binary, AppendsPairsUntilANonDigitAndSumsModulo256) {
    Bytes out{0x99};
    EXPECT_EQ(intelhex::hex2binary(out, "FFfe0aG304"), static_cast<unsigned char>(0xFF + 0xFE + 0x0A));
    EXPECT_EQ(intelhex::hex2binary(out, "01020"), 3);  // unpaired digit dropped
    EXPECT_EQ(out, (Bytes{0x99, 0xFF, 0xFE, 0x0A, 0x01, 0x02}));
}

TEST(IntelHexRead, RecordsAndWhereReadingStops) {
    const std::string top = ":02000004FFFFFC\n";
    const struct {
        const char* what;
        std::string text;
        Blocks want;
    } cases[] = {
        {"EOF with LF is too short: ends reading", kRec1 + ":00000001FF\n" + kRec2, kOnly1},
        {"EOF with CR is skipped", kRec1 + ":00000001FF\r\n" + kRec2, kBoth},
        {"wrong checksum stops, earlier kept", kRec1 + ":01002000449A\n" + kRec2, kOnly1},
        {"lower-case digits", ":04abcd00deadbeef4c\n", {{0xABCD, {0xDE, 0xAD, 0xBE, 0xEF}}}},
        {"text after the checksum ignored", ":020000001122CB ; comment\n" + kRec2, kBoth},
        {"leading white space", kRec1 + " " + kRec2 + kRec2, kOnly1},
        {"one base, the later wins", ":020000040800F2\n:020000021000EC\n" + kRec2, {{0x10010, {0x33}}}},
        // Type 4 at record address 1, type 4 of 3 bytes, type 2 of 1 byte.
        {"malformed extended records skipped",
         ":020000040001F9\n:020001040800F1\n:03000004080000F1\n:0100000210ED\n" + kRec2,
         {{0x10010, {0x33}}}},
        // Types 5, 3 and 7, then an empty data record (with its CR, 11 characters).
        {"start address, unknown and empty records skipped",
         ":0400000508000131BD\n:0400000300001234B3\n:0100000701F7\n:00020000FE\r\n" + kRec2, kOnly2},
        // 0A at 0x102, 0B 0C at 0x105, then 01..09 at 0x100: records overwrite
        // set bytes and make new blocks of the rest; never merged.
        {"record spanning blocks fills only the gaps", ":010102000AF2\n:020105000B0CE1\n:09010000010203040506070809C9\n",
         {{0x100, {1, 2}}, {0x102, {3}}, {0x103, {4, 5}}, {0x105, {6, 7}}, {0x107, {8, 9}}}},
        // Lines that cannot be trusted stop reading.
        {"count longer than the line", kRec2 + ":04000000AABB97\n" + kRec1, kOnly2},
        {"eleven characters decoding to nothing", ": 0000000000\n" + kRec1, {}},
        {"data up to the top of the address space", top + ":04FFFC0001020304F7\n", {{0xFFFFFFFC, {1, 2, 3, 4}}}},
        // 05 at 0xFFFFFFF0, then three bytes from 0xFFFFFFFE (stops), then 06.
        {"data past the address space", top + ":01FFF000050B\n:03FFFE00010203FA\n:01FFF1000609\n",
         {{0xFFFFFFF0, {5}}}},
        // Digits beyond the checksum still count in the sum; zeros keep it 0.
        {"overlong line checksummed whole", ":020000001122CB" + std::string(200000, '0') + "\n" + kRec2, kBoth},
        {"overlong line with a wrong sum", ":020000001122CB" + std::string(100000, '0') + "01\n" + kRec2, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(blocksOf(fromText(c.text)), c.want);
    }
}

// Both extended records set their flag; the base starts at zero on every
// call and blocks are kept; the last line needs no line feed.
TEST(IntelHexRead, FlagsAndRepeatedReads) {
    hex_data img = fromText(":020000040800F2\n:020000021000EC\n");
    EXPECT_TRUE(img.linear_record_seen && img.segment_record_seen);
    std::istringstream high(":020000040001F9\n" + kRec2), low(kRec1 + ":0100100033BC");
    img.read(high);
    img.read(low);
    EXPECT_EQ(blocksOf(img), (Blocks{{0, {0x11, 0x22}}, {0x10, {0x33}}, {0x10010, {0x33}}}));
    EXPECT_TRUE(low.eof());
}

// Above 64 KiB a linear record for 0 first, then one only where the upper
// address changes, also inside a block crossing 64 KiB. The stream is left
// in upper-case hexadecimal with '0' fill.
TEST(IntelHexWrite, ExactRecordsExtendedAddressesAndStreamState) {
    const struct {
        std::string read;  // text read first
        std::vector<std::pair<unsigned, unsigned char>> bytes;
        std::string text;
    } cases[] = {
        {"", {{0x100, 1}, {0x101, 2}}, ":020100000102FA\n:00000001FF\n"},
        {":020000040000FA\n", {{0x100, 1}, {0x101, 2}}, ":020000040000FA\n:020100000102FA\n:00000001FF\n"},
        {"",
         {{0x1FFFE, 1}, {0x1FFFF, 2}, {0x20000, 3}, {0x20001, 4}, {0x20010, 0xCC}},
         ":020000040000FA\n:020000040001F9\n:02FFFE000102FE\n:020000040002F8\n:020000000304F7\n:01001000CC23\n"
         ":00000001FF\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        hex_data img = fromText(c.read);
        for (const auto& [address, value] : c.bytes) img.set(address, value);
        std::ostringstream out;
        img.write(out);
        out << std::setw(4) << 0xab;
        EXPECT_EQ(out.str(), c.text + "00AB");
        EXPECT_EQ(img.linear_record_seen, c.text.rfind(":020000040000FA", 0) == 0);
    }
}

TEST(IntelHexBytes, SetGetAndSubscriptAtBlockEdges) {
    hex_data img;
    for (unsigned a = 0x20; a < 0x23; ++a) img.set(a, static_cast<unsigned char>(a - 0x1F));  // appended
    img.set(0x1F, 9);  // new block, not merged with the following one
    img.set(0x21, 0);  // the fill byte unsets
    img.set(0x99, 0);
    img.set(0x22, 7);
    EXPECT_EQ(blocksOf(img), (Blocks{{0x1F, {9}}, {0x20, {1}}, {0x22, {7}}}));
    EXPECT_EQ(img.get(0x21), img.fill());

    // At an unset address [] creates a fill byte the way set() stores one;
    // the fill byte written through the reference stays set.
    EXPECT_EQ(img[0x21], 0);
    img[0x22] = 0;
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
    img.tidy(0);  // refused: would never end
    img.set(0x18, 0x18);  // appended
    img.set(0x1F, 0x1F);  // touches the 0x20 block
    img.compact();
    EXPECT_EQ(blocksOf(img), (Blocks{{0x10, seq(0x10, 0x19)}, {0x1F, seq(0x1F, 0x24)}}));
}

TEST_F(IntelHexEdit, CountingAddressesAndCompare) {
    EXPECT_EQ(img.size(), 12u);
    EXPECT_EQ(img.size_below_addr(0x13), 3u);
    EXPECT_EQ(img.size_below_addr(0x1C), 8u);
    EXPECT_EQ(img.size_in_range(0x16, 0x22), 4u);
    EXPECT_EQ(img.size_in_range(0x22, 0x16), 0u);
    EXPECT_EQ(img.max_addr_below(0x12), 0x12u);
    EXPECT_EQ(img.max_addr_below(0x1C), 0x17u);
    EXPECT_EQ(img.max_addr_below(0x0F), 0u);
    EXPECT_EQ(hex_data().min_address() + hex_data().max_address(), 0u);

    // Only bytes set in the first image count, in the mask's bits, both
    // ends of the range included.
    hex_data other = img;
    other.set(0x30, 1);
    other.set(0x17, 0x17 ^ 0x80);
    EXPECT_FALSE(intelhex::compare(other, img, 0x7F, 0x30, 0x30));  // 1 against fill 0
    EXPECT_FALSE(intelhex::compare(img, other, 0xFF, 0x17, 0x17));
    EXPECT_TRUE(intelhex::compare(img, other, 0x7F, 0, 0xFFFFFFFF));
    EXPECT_TRUE(intelhex::compare(img, other, 0xFF, 0x18, 0x30));
    EXPECT_TRUE(intelhex::compare(img, other, 0xFF, 0x20, 0x10));  // empty range

    // The last address must not wrap; erase(addr) takes just that address.
    img.set(0xFFFFFFFE, 1);
    img.set(0xFFFFFFFF, 2);
    EXPECT_EQ(img.max_addr_below(0xFFFFFFFF), 0xFFFFFFFFu);
    img.erase(0xFFFFFFFF);
    EXPECT_EQ(img.max_address(), 0xFFFFFFFEu);
    EXPECT_EQ(img.min_address(), 0x10u);
}

namespace {

// Random bytes, never 0xEE (the gap marker of the srec_cat checks).
Bytes randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& v : b) v = static_cast<unsigned char>(0xEF + rng() % 255);  // wraps round to 0xED
    return b;
}

void run(const std::string& command) { ASSERT_EQ(std::system((command + " 2>&1").c_str()), 0) << command; }

}  // namespace

// Independent judges, both ways. A tool turns random bytes into HEX (objcopy
// past 64 KiB with extended segment records; at high start addresses objcopy
// and srec_cat with extended linear records, up to the top of the address
// space): the reader must get back exactly those bytes. Then a gap is erased
// and srec_cat must read back from what the writer makes exactly the bytes,
// the gap filled with 0xEE.
TEST(IntelHexTools, ToolOutputReadsBackAndWrittenImagesReadBySrecCat) {
    const struct {
        std::uint32_t start;
        std::size_t size;
        std::string before, middle, after;  // the command around the two file names
    } cases[] = {
        {0, 200000, "objcopy -I binary -O ihex ", " ", ""},
        {0x0800FF80, 150000, "objcopy -I binary -O ihex --change-addresses 0x0800FF80 ", " ", ""},
        {0x12345, 100000, "srec_cat ", " -binary -offset 0x12345 -o ", " -intel -obs=255"},
        {0xFFFFFED4, 300, "objcopy -I binary -O ihex --change-addresses 0xFFFFFED4 ", " ", ""},
    };
    const std::string dir = ::testing::TempDir() + "intelhex_tools_" + std::to_string(::getpid());
    const std::string bin = dir + "_in.bin", hex = dir + "_tool.hex", written = dir + "_written.hex",
                      back = dir + "_back.bin";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before + c.after);
        Bytes data = randomBytes(c.size, c.start + 1);
        std::ofstream(bin, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        run(c.before + bin + c.middle + hex + c.after);
        hex_data img(hex);
        EXPECT_TRUE(c.start == 0 ? img.segment_record_seen : img.linear_record_seen);
        img.compact();
        ASSERT_TRUE(blocksOf(img) == (Blocks{{c.start, data}})) << "the reader took other bytes from " << hex;

        const std::size_t gap = c.size / 3;
        img.erase(c.start + static_cast<std::uint32_t>(gap), c.start + static_cast<std::uint32_t>(gap) + 99);
        std::fill(data.begin() + static_cast<long>(gap), data.begin() + static_cast<long>(gap) + 100, 0xEE);
        img.write(written.c_str());
        std::ostringstream cmd;
        // Shifted down first: srec_cat cannot crop or fill up to 2^32.
        cmd << "srec_cat " << written << " -intel -offset -0x" << std::hex << c.start << " -crop 0 0x" << c.size
            << " -fill 0xEE 0 0x" << c.size << " -o " << back << " -binary";
        run(cmd.str());
        std::ifstream in(back, std::ios::binary);
        EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(in), {}) == data) << "srec_cat read other bytes";
    }
    for (const std::string& file : {bin, hex, written, back}) std::remove(file.c_str());
    hex_data().write((dir + "_no/such/dir/x.hex").c_str());  // an unopenable path: no crash, no output
}
