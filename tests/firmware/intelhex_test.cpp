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
#include <tuple>

#include "quorvel_transport/intelhex.hpp"

using intelhex::hex_data;

namespace {

using Bytes = std::vector<unsigned char>;
using Blocks = std::vector<std::pair<std::uint32_t, Bytes>>;
using Sets = std::vector<std::pair<unsigned, unsigned char>>;

hex_data fromText(const std::string& text) {
    hex_data img;
    std::istringstream in(text);
    img.read(in);
    return img;
}

// `img` with these bytes set, in this order.
hex_data with(hex_data img, const Sets& sets) {
    for (const auto& [address, value] : sets) img.set(address, value);
    return img;
}

Blocks blocksOf(const hex_data& img) { return Blocks(img.begin(), img.end()); }

// Blocks 0x10-0x17 and 0x20-0x23, each byte holding its address.
hex_data editable() { return fromText(":0800100010111213141516174C\n:040020002021222356\n"); }

// The blocks of an edited image as "first-last" spans; every byte must
// still hold its address.
std::string spans(const hex_data& img) {
    std::ostringstream out;
    for (const auto& [start, bytes] : img) {
        for (std::size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], static_cast<unsigned char>(start + i));
        out << std::hex << start << '-' << start + bytes.size() - 1 << ' ';
    }
    return out.str();
}

const std::string kRec1 = ":020000001122CB\n", kRec2 = ":0100100033BC\n";
const Blocks kOnly1 = {{0, {0x11, 0x22}}}, kOnly2 = {{0x10, {0x33}}}, kBoth = {{0, {0x11, 0x22}}, {0x10, {0x33}}};

}  // namespace

// Digits pair up until a non-digit, appended; the result is their sum
// modulo 256. Then whole texts.
TEST(IntelHexRead, RecordsAndWhereReadingStops) {
    Bytes out{0x99};
    EXPECT_EQ(intelhex::hex2binary(out, "FFfe0aG304"), static_cast<unsigned char>(0xFF + 0xFE + 0x0A));
    EXPECT_EQ(intelhex::hex2binary(out, "01020"), 3);  // unpaired digit dropped
    EXPECT_EQ(out, (Bytes{0x99, 0xFF, 0xFE, 0x0A, 0x01, 0x02}));

    // Text, and the blocks it gives.
    const std::pair<std::string, Blocks> cases[] = {
        {kRec1 + ":00000001FF\n" + kRec2, kOnly1},    // EOF with LF: too short, ends reading
        {kRec1 + ":00000001FF\r\n" + kRec2, kBoth},   // EOF with CR: skipped
        {kRec1 + ":01002000449A\n" + kRec2, kOnly1},  // wrong checksum stops, earlier kept
        {":04abcd00deadbeef4c\n", {{0xABCD, {0xDE, 0xAD, 0xBE, 0xEF}}}},
        {":020000001122CB ; comment\n" + kRec2, kBoth},  // text after the checksum ignored
        {kRec1 + " " + kRec2 + kRec2, kOnly1},           // leading white space stops
        {":020000040800F2\n:020000021000EC\n" + kRec2, {{0x10010, {0x33}}}},  // one base: the later wins
        // Skipped: type 4 at record address 1, type 4 of 3 bytes, type 2 of 1 byte.
        {":020000040001F9\n:020001040800F1\n:03000004080000F1\n:0100000210ED\n" + kRec2, {{0x10010, {0x33}}}},
        // Skipped: types 5, 3 and 7, an empty data record (with its CR, 11 characters).
        {":0400000508000131BD\n:0400000300001234B3\n:0100000701F7\n:00020000FE\r\n" + kRec2, kOnly2},
        // 0A at 0x102, 0B 0C at 0x105, then 01..09 at 0x100: records overwrite
        // set bytes and make new blocks of the rest; never merged.
        {":010102000AF2\n:020105000B0CE1\n:09010000010203040506070809C9\n",
         {{0x100, {1, 2}}, {0x102, {3}}, {0x103, {4, 5}}, {0x105, {6, 7}}, {0x107, {8, 9}}}},
        // Lines that cannot be trusted stop reading: a count longer than the
        // line, eleven characters decoding to nothing, data past 0xFFFFFFFF
        // (05 at 0xFFFFFFF0 kept, three bytes from 0xFFFFFFFE stop).
        {kRec2 + ":04000000AABB97\n" + kRec1, kOnly2},
        {": 0000000000\n" + kRec1, {}},
        {":02000004FFFFFC\n:04FFFC0001020304F7\n", {{0xFFFFFFFC, {1, 2, 3, 4}}}},
        {":02000004FFFFFC\n:01FFF000050B\n:03FFFE00010203FA\n:01FFF1000609\n", {{0xFFFFFFF0, {5}}}},
        // Digits beyond the checksum still count in the sum; zeros keep it 0.
        {":020000001122CB" + std::string(200000, '0') + "\n" + kRec2, kBoth},
        {":020000001122CB" + std::string(100000, '0') + "01\n" + kRec2, {}},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(blocksOf(fromText(text)), want) << text.substr(0, 80);

    // Both extended records set their flag; the base starts at zero on every
    // call and blocks are kept; the last line needs no line feed.
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
    // Text read first, bytes set, text written.
    const std::tuple<std::string, Sets, std::string> cases[] = {
        {"", {{0x100, 1}, {0x101, 2}}, ":020100000102FA\n:00000001FF\n"},
        {":020000040000FA\n", {{0x100, 1}, {0x101, 2}}, ":020000040000FA\n:020100000102FA\n:00000001FF\n"},
        {"",
         {{0x1FFFE, 1}, {0x1FFFF, 2}, {0x20000, 3}, {0x20001, 4}, {0x20010, 0xCC}},
         ":020000040000FA\n:020000040001F9\n:02FFFE000102FE\n:020000040002F8\n:020000000304F7\n:01001000CC23\n"
         ":00000001FF\n"},
    };
    for (const auto& [read, bytes, text] : cases) {
        hex_data img = with(fromText(read), bytes);
        std::ostringstream out;
        img.write(out);
        out << std::setw(4) << 0xab;
        EXPECT_EQ(out.str(), text + "00AB");
        EXPECT_EQ(img.linear_record_seen, text.rfind(":020000040000FA", 0) == 0);
    }
}

// Byte access at block edges; erase (either order of the ends, up to the
// last address), tidy (0 refused: it would never end), compact (touching
// blocks only), counting, addresses (none on an empty image) and compare.
TEST(IntelHexEdit, BytesEraseTidyCompactCountAndCompare) {
    // 0x20-0x22 appended, 0x1F a new block not merged with the following one;
    // the fill byte unsets.
    hex_data img = with({}, {{0x20, 1}, {0x21, 2}, {0x22, 3}, {0x1F, 9}, {0x21, 0}, {0x99, 0}, {0x22, 7}});
    EXPECT_EQ(blocksOf(img), (Blocks{{0x1F, {9}}, {0x20, {1}}, {0x22, {7}}}));
    EXPECT_EQ(img.get(0x21), img.fill());

    // At an unset address [] creates a fill byte the way set() stores one;
    // the fill byte written through the reference stays set.
    EXPECT_EQ(img[0x21], 0);
    img[0x22] = 0;
    img[0x1000] = 7;
    EXPECT_EQ(blocksOf(img), (Blocks{{0x1F, {9}}, {0x20, {1, 0}}, {0x22, {0}}, {0x1000, {7}}}));

    // lo, hi, and the blocks left.
    const std::tuple<unsigned, unsigned, const char*> erases[] = {
        {0x12, 0x15, "10-11 16-17 20-23 "}, {0x15, 0x12, "10-11 16-17 20-23 "},
                  {0x05, 0x21, "22-23 "}, {0x16, 0x20, "10-15 21-23 "}, {0, 0xFFFFFFFF, ""}};
    for (const auto& [lo, hi, left] : erases) {
        hex_data img = editable();
        img.erase(lo, hi);
        EXPECT_EQ(spans(img), left) << lo;
    }

    img = editable();
    img.tidy(3);
    EXPECT_EQ(spans(img), "10-12 13-15 16-17 20-22 23-23 ");
    img.compact();
    img.tidy(0);
    img = with(img, {{0x18, 0x18}, {0x1F, 0x1F}});  // appended; touching the 0x20 block
    img.compact();
    EXPECT_EQ(spans(img), "10-18 1f-23 ");

    img = editable();
    EXPECT_EQ((std::vector<std::uint64_t>{img.size(), img.size_below_addr(0x13), img.size_below_addr(0x1C),
                                          img.size_in_range(0x16, 0x22), img.max_addr_below(0x12),
                                          img.max_addr_below(0x1C), img.max_addr_below(0x0F)}),
              (std::vector<std::uint64_t>{12, 3, 8, 4, 0x12, 0x17, 0}));
    EXPECT_EQ(hex_data().min_address() + hex_data().max_address(), 0u);

    // Only bytes set in the first image count, in the mask's bits, both
    // ends of the range included.
    const hex_data other = with(img, {{0x30, 1}, {0x17, 0x17 ^ 0x80}});
    EXPECT_FALSE(intelhex::compare(other, img, 0x7F, 0x30, 0x30));  // 1 against fill 0
    EXPECT_FALSE(intelhex::compare(img, other, 0xFF, 0x17, 0x17));
    EXPECT_TRUE(intelhex::compare(img, other, 0x7F, 0, 0xFFFFFFFF));
    EXPECT_TRUE(intelhex::compare(img, other, 0xFF, 0x18, 0x30));
    EXPECT_TRUE(intelhex::compare(img, other, 0xFF, 0x20, 0x10));  // empty range

    // The last address must not wrap; erase(addr) takes just that address.
    img = with(img, {{0xFFFFFFFE, 1}, {0xFFFFFFFF, 2}});
    EXPECT_EQ(img.max_addr_below(0xFFFFFFFF), 0xFFFFFFFFu);
    img.erase(0xFFFFFFFF);
    EXPECT_EQ(std::make_pair(img.min_address(), img.max_address()), std::make_pair(0x10u, 0xFFFFFFFEu));
}

// Independent judges, both ways. A tool turns random bytes into HEX (objcopy
// past 64 KiB with extended segment records; at high start addresses objcopy
// and srec_cat with extended linear records, up to the top of the address
// space): the reader must get back exactly those bytes. Then a gap is erased
// and srec_cat must read back from what the writer makes exactly the bytes,
// the gap filled with 0xEE (a value the random bytes never take).
TEST(IntelHexTools, ToolOutputReadsBackAndWrittenImagesReadBySrecCat) {
    // Start address, size, and the command from $BIN to $HEX.
    const std::tuple<std::uint32_t, std::size_t, const char*> cases[] = {
        {0, 200000, "objcopy -I binary -O ihex $BIN $HEX"},
        {0x0800FF80, 150000, "objcopy -I binary -O ihex --change-addresses 0x0800FF80 $BIN $HEX"},
        {0x12345, 100000, "srec_cat $BIN -binary -offset 0x12345 -o $HEX -intel -obs=255"},
        {0xFFFFFED4, 300, "objcopy -I binary -O ihex --change-addresses 0xFFFFFED4 $BIN $HEX"},
    };
    const std::string base = ::testing::TempDir() + "intelhex_tools_" + std::to_string(::getpid());
    std::mt19937 rng(7);
    for (const auto& [start, size, command] : cases) {
        SCOPED_TRACE(command);
        Bytes data(size);
        for (auto& v : data) v = static_cast<unsigned char>(0xEF + rng() % 255);  // wraps round to 0xED
        std::ofstream(base + ".bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        const std::string shell = "BIN=" + base + ".bin HEX=" + base + ".hex OUT=" + base +
                                  "_out.hex START=" + std::to_string(start) + " SIZE=" + std::to_string(size) + "; ";
        ASSERT_EQ(std::system((shell + command).c_str()), 0);
        hex_data img(base + ".hex");
        img.compact();
        ASSERT_TRUE(blocksOf(img) == (Blocks{{start, data}})) << "the reader took other bytes";

        const std::uint32_t gap = start + static_cast<std::uint32_t>(size / 3);
        img.erase(gap, gap + 99);
        std::fill_n(data.begin() + static_cast<long>(size / 3), 100, 0xEE);
        img.write((base + "_out.hex").c_str());
        // Shifted down first: srec_cat cannot crop or fill up to 2^32.
        ASSERT_EQ(std::system((shell + "srec_cat $OUT -intel -offset -$START -crop 0 $SIZE -fill 0xEE 0 $SIZE "
                                       "-o $BIN -binary").c_str()), 0);
        std::ifstream in(base + ".bin", std::ios::binary);
        EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(in), {}) == data) << "srec_cat read other bytes";
    }
    for (const char* ext : {".bin", ".hex", "_out.hex"}) std::remove((base + ext).c_str());
    hex_data().write((base + "_no/such/dir/x.hex").c_str());  // an unopenable path: no crash, no output
}
