#include <gtest/gtest.h>

#include <cstdio>
#include <iomanip>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "intelhex.hpp"

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

Blocks blocksOf(const hex_data& img) {
    return Blocks(img.begin(), img.end());
}

std::string written(hex_data& img) {
    std::ostringstream out;
    img.write(out);
    return out.str();
}

// An Intel HEX data record for the given bytes, checksum included.
std::string dataRecord(std::uint16_t address, const Bytes& data, unsigned type = 0) {
    static const char* digits = "0123456789ABCDEF";
    std::string line = ":";
    unsigned sum = 0;
    auto put = [&](unsigned b) {
        line += digits[b >> 4];
        line += digits[b & 15];
        sum += b;
    };
    put(static_cast<unsigned>(data.size()));
    put(address >> 8);
    put(address & 0xFF);
    put(type);
    for (auto b : data) put(b);
    put((0x100 - (sum & 0xFF)) & 0xFF);
    return line;
}

// Independent check of written text: every line a well-formed record no
// longer than 255 bytes and inside one 64 KiB page, ending with the EOF
// record. Returns the bytes by address.
std::map<std::uint32_t, unsigned char> parseStrict(const std::string& text) {
    std::map<std::uint32_t, unsigned char> mem;
    std::istringstream in(text);
    std::string line;
    std::uint32_t upper = 0;
    bool sawEnd = false;
    while (std::getline(in, line)) {
        EXPECT_FALSE(sawEnd) << "line after end-of-file record";
        EXPECT_EQ(line[0], ':');
        EXPECT_EQ(line.size() % 2, 1u) << line;
        Bytes b;
        for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
            b.push_back(static_cast<unsigned char>(std::stoul(line.substr(i, 2), nullptr, 16)));
            EXPECT_EQ(line.substr(i, 2).find_first_of("abcdef"), std::string::npos) << line;
        }
        EXPECT_GE(b.size(), 5u) << line;
        if (b.size() < 5) return mem;
        EXPECT_EQ(b.size(), 5u + b[0]) << line;
        unsigned sum = 0;
        for (auto v : b) sum += v;
        EXPECT_EQ(sum & 0xFF, 0u) << line;
        const unsigned address = b[1] << 8 | b[2];
        switch (b[3]) {
            case 0:
                EXPECT_LE(address + b[0], 0x10000u) << "record crosses 64 KiB: " << line;
                for (unsigned i = 0; i < b[0]; ++i) mem[upper + address + i] = b[4 + i];
                break;
            case 1: sawEnd = true; break;
            case 4: upper = static_cast<std::uint32_t>(b[4] << 8 | b[5]) << 16; break;
            default: ADD_FAILURE() << "unexpected record " << line;
        }
    }
    EXPECT_TRUE(sawEnd);
    return mem;
}

std::map<std::uint32_t, unsigned char> bytesOf(const hex_data& img) {
    std::map<std::uint32_t, unsigned char> mem;
    for (const auto& [start, bytes] : img)
        for (std::size_t i = 0; i < bytes.size(); ++i) mem[start + static_cast<std::uint32_t>(i)] = bytes[i];
    return mem;
}

const std::string kRec1 = dataRecord(0x0000, {0x11, 0x22});
const std::string kRec2 = dataRecord(0x0010, {0x33});

}  // namespace

// ---------------------------------------------------------------- hex2binary

TEST(Hex2Binary, AppendsPairsAndSumsModulo256) {
    Bytes out{0x99};
    std::string text = "FFfe0a";
    EXPECT_EQ(intelhex::hex2binary(out, text), static_cast<unsigned char>(0xFF + 0xFE + 0x0A));
    EXPECT_EQ(out, (Bytes{0x99, 0xFF, 0xFE, 0x0A}));
}

TEST(Hex2Binary, StopsAtFirstNonDigitAndDropsUnpairedDigit) {
    Bytes out;
    EXPECT_EQ(intelhex::hex2binary(out, "0102G304"), 3);
    EXPECT_EQ(out, (Bytes{0x01, 0x02}));
    out.clear();
    EXPECT_EQ(intelhex::hex2binary(out, "01020"), 3);
    EXPECT_EQ(out, (Bytes{0x01, 0x02}));
    out.clear();
    EXPECT_EQ(intelhex::hex2binary(out, "0\r"), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(intelhex::hex2binary(out, ""), 0);
    EXPECT_EQ(intelhex::hex2binary(out, "xx01"), 0);
    EXPECT_TRUE(out.empty());
}

// ---------------------------------------------------------------- reading

TEST(IntelHexRead, EndOfFileRecordWithLineFeedEndsReading) {
    auto img = fromText(kRec1 + "\n:00000001FF\n" + kRec2 + "\n");
    EXPECT_EQ(blocksOf(img), (Blocks{{0, {0x11, 0x22}}}));
}

TEST(IntelHexRead, EndOfFileRecordWithCarriageReturnIsSkipped) {
    auto img = fromText(kRec1 + "\r\n:00000001FF\r\n" + kRec2 + "\r\n");
    EXPECT_EQ(blocksOf(img), (Blocks{{0, {0x11, 0x22}}, {0x10, {0x33}}}));
}

TEST(IntelHexRead, LastLineWithoutLineFeedIsRead) {
    std::istringstream in(kRec1 + "\n" + kRec2);
    hex_data img;
    img.read(in);
    EXPECT_EQ(img.size(), 3u);
    EXPECT_TRUE(in.eof());
}

TEST(IntelHexRead, WrongChecksumStopsReadingAndKeepsEarlierRecords) {
    std::string bad = dataRecord(0x0020, {0x44});
    bad.back() = bad.back() == '0' ? '1' : '0';
    auto img = fromText(kRec1 + "\n" + bad + "\n" + kRec2 + "\n");
    EXPECT_EQ(blocksOf(img), (Blocks{{0, {0x11, 0x22}}}));
}

TEST(IntelHexRead, LowerCaseDigitsReadLikeUpperCase) {
    auto upper = fromText(":04ABCD00DEADBEEF4C\n");
    auto lower = fromText(":04abcd00deadbeef4c\n");
    EXPECT_EQ(blocksOf(upper), (Blocks{{0xABCD, {0xDE, 0xAD, 0xBE, 0xEF}}}));
    EXPECT_EQ(blocksOf(lower), blocksOf(upper));
}

TEST(IntelHexRead, OtherCharacterEndsDecodingAndChecksumDecides) {
    // Trailing text after the checksum is ignored.
    auto img = fromText(kRec1 + " ; comment\n" + kRec2 + "\n");
    EXPECT_EQ(img.size(), 3u);
    // A character inside the record cuts it short: the sum then fails.
    auto cut = fromText(kRec2 + "\n:02000000 1122CB\n" + kRec1 + "\n");
    EXPECT_EQ(blocksOf(cut), (Blocks{{0x10, {0x33}}}));
}

TEST(IntelHexRead, LinesThatEndReading) {
    for (const std::string& stop : {std::string(""), std::string(" ") + kRec2, kRec2.substr(1),
                                    std::string(":0000000"), std::string(":00000000\r\r")}) {
        auto img = fromText(kRec1 + "\n" + stop + "\n" + kRec2 + "\n");
        EXPECT_EQ(img.size(), 2u) << "after line '" << stop << "'";
    }
}

TEST(IntelHexRead, ExtendedLinearAndSegmentAddress) {
    auto linear = fromText(":020000040800F2\n" + kRec2 + "\n");
    EXPECT_EQ(blocksOf(linear), (Blocks{{0x08000010, {0x33}}}));
    EXPECT_TRUE(linear.linear_record_seen);
    EXPECT_FALSE(linear.segment_record_seen);

    auto segment = fromText(":020000021000EC\n" + kRec2 + "\n");
    EXPECT_EQ(blocksOf(segment), (Blocks{{0x10010, {0x33}}}));
    EXPECT_TRUE(segment.segment_record_seen);
    EXPECT_FALSE(segment.linear_record_seen);

    // Both kinds set the one base; the later wins.
    auto both = fromText(":020000040800F2\n:020000021000EC\n" + kRec2 + "\n");
    EXPECT_EQ(both.min_address(), 0x10010u);
}

TEST(IntelHexRead, MalformedExtendedRecordsAreSkipped) {
    const std::string wrongAddress = dataRecord(0x0001, {0x08, 0x00}, 4);
    const std::string wrongCount = dataRecord(0x0000, {0x08, 0x00, 0x00}, 4);
    const std::string segWrongCount = dataRecord(0x0000, {0x10}, 2);
    auto img = fromText(":020000040001F9\n" + wrongAddress + "\n" + wrongCount + "\n" + segWrongCount +
                        "\n" + kRec2 + "\n");
    EXPECT_EQ(blocksOf(img), (Blocks{{0x10010, {0x33}}}));
}

TEST(IntelHexRead, StartAddressAndUnknownRecordsAreSkipped) {
    auto img = fromText(":0400000508000131BD\n:0400000300001234B3\n" + dataRecord(0, {1}, 7) + "\n" +
                        kRec2 + "\n");
    EXPECT_EQ(blocksOf(img), (Blocks{{0x10, {0x33}}}));
}

TEST(IntelHexRead, BaseStartsAtZeroOnEveryCallAndBlocksAreKept) {
    hex_data img;
    std::istringstream first(":020000040001F9\n" + kRec2 + "\n");
    img.read(first);
    std::istringstream second(kRec2 + "\n");
    img.read(second);
    EXPECT_EQ(blocksOf(img), (Blocks{{0x10, {0x33}}, {0x10010, {0x33}}}));
}

TEST(IntelHexRead, NothingFromAStreamThatIsNotGood) {
    std::istringstream in(kRec1 + "\n");
    in.setstate(std::ios::failbit);
    hex_data img;
    img.read(in);
    EXPECT_EQ(img.size(), 0u);
}

TEST(IntelHexRead, LaterRecordOverwritesAndBlockKeepsLength) {
    auto img = fromText(dataRecord(0x100, {1, 2, 3, 4}) + "\n" + dataRecord(0x101, {9, 8}) + "\n");
    EXPECT_EQ(blocksOf(img), (Blocks{{0x100, {1, 9, 8, 4}}}));
}

TEST(IntelHexRead, RecordStartingBeforeABlockSplitsAroundIt) {
    auto img = fromText(dataRecord(0x100, {1, 2, 3, 4}) + "\n" + dataRecord(0x0FE, {7, 7, 7}) + "\n");
    EXPECT_EQ(blocksOf(img), (Blocks{{0x0FE, {7, 7}}, {0x100, {7, 2, 3, 4}}}));
}

TEST(IntelHexRead, RecordSpanningBlocksFillsOnlyTheGaps) {
    auto img = fromText(dataRecord(0x102, {0xA}) + "\n" + dataRecord(0x105, {0xB, 0xC}) + "\n" +
                        dataRecord(0x100, {1, 2, 3, 4, 5, 6, 7, 8, 9}) + "\n");
    EXPECT_EQ(blocksOf(img), (Blocks{{0x100, {1, 2}},
                                     {0x102, {3}},
                                     {0x103, {4, 5}},
                                     {0x105, {6, 7}},
                                     {0x107, {8, 9}}}));
}

TEST(IntelHexRead, RecordsBecomeOneBlockEachUntilCompacted) {
    std::string text;
    Bytes all;
    for (unsigned r = 0; r < 20; ++r) {
        Bytes data;
        for (unsigned i = 0; i < 16; ++i) data.push_back(static_cast<unsigned char>(r * 16 + i));
        all.insert(all.end(), data.begin(), data.end());
        text += dataRecord(static_cast<std::uint16_t>(r * 16), data) + "\r\n";
    }
    text += dataRecord(0x200, {}) + "\r\n";  // count 0 adds nothing
    auto img = fromText(text);
    EXPECT_EQ(blocksOf(img).size(), 20u);
    EXPECT_EQ(img.size(), 320u);

    img.compact();
    EXPECT_EQ(blocksOf(img), (Blocks{{0, all}}));

    img.tidy(255);
    EXPECT_EQ(blocksOf(img), (Blocks{{0, Bytes(all.begin(), all.begin() + 255)},
                                     {255, Bytes(all.begin() + 255, all.end())}}));
}

// The decided handling of lines that cannot be trusted.
TEST(IntelHexRead, CountLongerThanTheLineIsMalformedAndStops) {
    // Count 4, two data bytes and a checksum that makes the sum 0.
    auto img = fromText(kRec2 + "\n:04000000AABB97\n" + kRec1 + "\n");
    EXPECT_EQ(blocksOf(img), (Blocks{{0x10, {0x33}}}));
    // An extended address record missing its data (CR LF makes 11 characters).
    auto ext = fromText(kRec2 + "\r\n:02000004FA\r\n" + kRec1 + "\r\n");
    EXPECT_EQ(blocksOf(ext), (Blocks{{0x10, {0x33}}}));
    // Data present but no checksum byte.
    auto noSum = fromText(":0200000011ED\r\n" + kRec1 + "\r\n");
    EXPECT_EQ(noSum.size(), 0u);
    // Eleven characters that decode to nothing.
    auto empty = fromText(": 0000000000\n" + kRec1 + "\n");
    EXPECT_EQ(empty.size(), 0u);
}

TEST(IntelHexRead, DataPastTheAddressSpaceIsMalformedAndStops) {
    const std::string top = ":02000004FFFFFC\n";
    auto fits = fromText(top + dataRecord(0xFFFC, {1, 2, 3, 4}) + "\n");
    EXPECT_EQ(blocksOf(fits), (Blocks{{0xFFFFFFFC, {1, 2, 3, 4}}}));
    EXPECT_EQ(fits.max_address(), 0xFFFFFFFFu);

    auto past = fromText(top + dataRecord(0xFFF0, {5}) + "\n" + dataRecord(0xFFFE, {1, 2, 3}) + "\n" +
                         dataRecord(0xFFF1, {6}) + "\n");
    EXPECT_EQ(blocksOf(past), (Blocks{{0xFFFFFFF0, {5}}}));
    EXPECT_FALSE(past.is_set(0));
}

TEST(IntelHexRead, OverlongLineIsBoundedAndChecksummedWhole) {
    // Digits beyond the checksum still count in the sum; zeros keep it at 0.
    const std::string longLine = kRec1 + std::string(200000, '0');
    auto img = fromText(longLine + "\n" + kRec2 + "\n");
    EXPECT_EQ(blocksOf(img), (Blocks{{0, {0x11, 0x22}}, {0x10, {0x33}}}));
    auto broken = fromText(kRec1 + std::string(100000, '0') + "01\n" + kRec2 + "\n");
    EXPECT_EQ(broken.size(), 0u);
}

TEST(IntelHexRead, LoadAndConstructorReadAFileAndIgnoreAMissingOne) {
    const std::string path = ::testing::TempDir() + "intelhex_load_test.hex";
    {
        std::FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs((kRec1 + "\n").c_str(), f);
        std::fclose(f);
    }
    hex_data img(path);
    EXPECT_EQ(blocksOf(img), (Blocks{{0, {0x11, 0x22}}}));
    img.load(path + ".missing");
    EXPECT_EQ(img.size(), 2u);
    hex_data none(path + ".missing");
    EXPECT_EQ(none.size(), 0u);
    std::remove(path.c_str());
}

// ---------------------------------------------------------------- writing

TEST(IntelHexWrite, BlockAbove64KiBGetsExtendedLinearRecords) {
    auto img = fromText(":00000001FF\r\n");  // no extended records read
    img.set(0x10000, 1);
    img.set(0x10001, 2);
    img.set(0x10002, 3);
    img.set(0x10003, 4);
    EXPECT_FALSE(img.linear_record_seen);
    EXPECT_EQ(written(img), ":020000040000FA\n:020000040001F9\n:0400000001020304F2\n:00000001FF\n");
    EXPECT_TRUE(img.linear_record_seen);
}

TEST(IntelHexWrite, LowImageWithoutFlagHasNoExtendedRecord) {
    hex_data img;
    EXPECT_EQ(written(img), ":00000001FF\n");
    img.set(0x0100, 1);
    img.set(0x0101, 2);
    EXPECT_EQ(written(img), ":020100000102FA\n:00000001FF\n");
    EXPECT_FALSE(img.linear_record_seen);

    auto seen = fromText(":020000040000FA\n" + dataRecord(0x0100, {1, 2}) + "\n");
    EXPECT_EQ(written(seen), ":020000040000FA\n:020100000102FA\n:00000001FF\n");
}

TEST(IntelHexWrite, UpperAddressWrittenOnlyWhenItChanges) {
    hex_data img;
    img.set(0x10000, 0xAA);
    img.set(0x20000, 0xBB);
    img.set(0x20010, 0xCC);
    EXPECT_EQ(written(img),
              ":020000040000FA\n:020000040001F9\n:01000000AA55\n"
              ":020000040002F8\n:01000000BB44\n:01001000CC23\n:00000001FF\n");
}

TEST(IntelHexWrite, LeavesStreamInUpperCaseHexWithZeroFill) {
    hex_data img;
    img.set(0xAB, 0xCD);
    std::ostringstream out;
    img.write(out);
    out << std::setw(4) << 0xab;
    EXPECT_EQ(out.str(), ":0100AB00CD87\n:00000001FF\n00AB");
}

TEST(IntelHexWrite, NothingToAStreamThatIsNotGood) {
    hex_data img;
    img.set(1, 1);
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    img.write(out);
    out.clear();
    EXPECT_EQ(out.str(), "");
}

TEST(IntelHexWrite, LongAndBoundaryCrossingBlocksAreSplitIntoValidRecords) {
    hex_data img;
    for (unsigned i = 0; i < 600; ++i) img.set(0x1FF80 + i, static_cast<unsigned char>(i % 251 + 1));
    for (unsigned i = 0; i < 300; ++i) img.set(0x100 + i, static_cast<unsigned char>(i % 13 + 1));
    for (unsigned i = 0; i < 4; ++i) img.set(0xFFFFFFFC + i, 0xEE);
    ASSERT_EQ(blocksOf(img).size(), 3u);

    const std::string text = written(img);
    EXPECT_EQ(parseStrict(text), bytesOf(img));
    // The first record of the crossing block stops at the boundary.
    EXPECT_NE(text.find(":80FF8000"), std::string::npos) << text;

    auto back = fromText(text);
    back.compact();
    EXPECT_EQ(blocksOf(back), blocksOf(img));
}

TEST(IntelHexWrite, FileRoundTripAndUnopenablePath) {
    auto img = fromText(":020000040800F2\n" + dataRecord(0x0010, {1, 2, 3}) + "\n" +
                        dataRecord(0x2000, {4}) + "\n");
    const std::string path = ::testing::TempDir() + "intelhex_write_test.hex";
    img.write(path.c_str());
    hex_data back(path);
    EXPECT_EQ(blocksOf(back), blocksOf(img));
    EXPECT_TRUE(back.linear_record_seen);
    std::remove(path.c_str());

    img.write((::testing::TempDir() + "no/such/dir/x.hex").c_str());  // no crash, no output
}

// ---------------------------------------------------------------- byte access

TEST(IntelHexBytes, GetSetAndIsSetAtBlockEdges) {
    hex_data img;
    EXPECT_EQ(img.fill(), 0);
    img.set(0x10, 5);
    img.set(0x11, 6);  // appended
    img.set(0x0F, 4);  // new block, not merged with the following one
    EXPECT_EQ(blocksOf(img), (Blocks{{0x0F, {4}}, {0x10, {5, 6}}}));
    img.set(0x10, 7);  // overwritten
    EXPECT_EQ(img.get(0x10), 7);
    EXPECT_TRUE(img.is_set(0x11));
    EXPECT_FALSE(img.is_set(0x12));
    EXPECT_EQ(img.get(0x12), img.fill());
    EXPECT_FALSE(img.is_set(0x0E));
    EXPECT_EQ(img.get(0xFFFFFFFF), 0);
}

TEST(IntelHexBytes, SettingTheFillByteUnsets) {
    hex_data img;
    img.set(0x20, 1);
    img.set(0x21, 2);
    img.set(0x22, 3);
    img.set(0x21, 0);
    EXPECT_EQ(img.get(0x21), 0);
    EXPECT_FALSE(img.is_set(0x21));
    EXPECT_EQ(img.size(), 2u);
    EXPECT_EQ(blocksOf(img), (Blocks{{0x20, {1}}, {0x22, {3}}}));
    img.set(0x99, 0);  // unset already: nothing changes
    EXPECT_EQ(img.size(), 2u);
}

TEST(IntelHexBytes, SubscriptModifiesSetByte) {
    hex_data img;
    img.set(0x40, 1);
    img[0x40] = 9;
    EXPECT_EQ(img.get(0x40), 9);
    img[0x40] = 0;  // through the reference the byte stays set
    EXPECT_TRUE(img.is_set(0x40));
}

TEST(IntelHexBytes, SubscriptAtUnsetAddressCreatesFillByte) {
    hex_data img;
    img.set(0x40, 1);
    img.set(0x42, 3);
    EXPECT_EQ(img[0x41], img.fill());
    EXPECT_TRUE(img.is_set(0x41));
    img[0x41] = 2;
    // Appended to the block before it, not merged with the one after.
    EXPECT_EQ(blocksOf(img), (Blocks{{0x40, {1, 2}}, {0x42, {3}}}));
    img[0x1000] = 7;
    EXPECT_EQ(blocksOf(img).back(), (std::pair<std::uint32_t, Bytes>{0x1000, {7}}));
    EXPECT_EQ(img.size(), 4u);
}

// ---------------------------------------------------------------- editing

class IntelHexEdit : public ::testing::Test {
protected:
    // Blocks 0x10-0x17 (values 0x10..0x17) and 0x20-0x23 (0x20..0x23).
    void SetUp() override {
        for (unsigned a = 0x10; a < 0x18; ++a) img.set(a, static_cast<unsigned char>(a));
        for (unsigned a = 0x20; a < 0x24; ++a) img.set(a, static_cast<unsigned char>(a));
    }
    hex_data img;
};

TEST_F(IntelHexEdit, EraseSwapsReversedBounds) {
    hex_data other = img;
    img.erase(0x15, 0x12);
    other.erase(0x12, 0x15);
    EXPECT_EQ(blocksOf(img), (Blocks{{0x10, {0x10, 0x11}},
                                     {0x16, {0x16, 0x17}},
                                     {0x20, {0x20, 0x21, 0x22, 0x23}}}));
    EXPECT_EQ(blocksOf(img), blocksOf(other));
}

TEST_F(IntelHexEdit, EraseMiddleByteLeavesTwoBlocks) {
    img.erase(0x21);
    EXPECT_EQ(blocksOf(img), (Blocks{{0x10, {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17}},
                                     {0x20, {0x20}},
                                     {0x22, {0x22, 0x23}}}));
}

TEST_F(IntelHexEdit, EraseWholeFirstBlockGoesOnWithTheNext) {
    img.erase(0x05, 0x21);
    EXPECT_EQ(blocksOf(img), (Blocks{{0x22, {0x22, 0x23}}}));
    img.erase(0, 0xFFFFFFFF);
    EXPECT_EQ(img.size(), 0u);
}

TEST_F(IntelHexEdit, EraseAcrossBlocksKeepsBothEnds) {
    img.erase(0x16, 0x20);
    EXPECT_EQ(blocksOf(img), (Blocks{{0x10, {0x10, 0x11, 0x12, 0x13, 0x14, 0x15}},
                                     {0x21, {0x21, 0x22, 0x23}}}));
    img.erase(0x18, 0x1F);  // nothing set there
    EXPECT_EQ(img.size(), 9u);
}

TEST_F(IntelHexEdit, EraseAtTheTopOfTheAddressSpace) {
    img.set(0xFFFFFFFE, 1);
    img.set(0xFFFFFFFF, 2);
    img.erase(0xFFFFFFFF);
    EXPECT_TRUE(img.is_set(0xFFFFFFFE));
    EXPECT_FALSE(img.is_set(0xFFFFFFFF));
    img.erase(0x30, 0xFFFFFFFF);
    EXPECT_EQ(img.max_address(), 0x23u);
}

TEST_F(IntelHexEdit, TidySplitsLongBlocks) {
    img.tidy(3);
    EXPECT_EQ(blocksOf(img), (Blocks{{0x10, {0x10, 0x11, 0x12}},
                                     {0x13, {0x13, 0x14, 0x15}},
                                     {0x16, {0x16, 0x17}},
                                     {0x20, {0x20, 0x21, 0x22}},
                                     {0x23, {0x23}}}));
    img.compact();
    EXPECT_EQ(blocksOf(img).size(), 2u);
    const auto before = blocksOf(img);
    img.tidy(0);  // refused: would never end
    img.tidy(8);  // exact fit: unchanged
    EXPECT_EQ(blocksOf(img), before);
}

TEST_F(IntelHexEdit, CompactMergesOnlyTouchingBlocks) {
    img.set(0x18, 0x18);  // appended: still two blocks
    img.set(0x1F, 0x1F);  // touches the 0x20 block
    img.compact();
    Bytes low, high{0x1F, 0x20, 0x21, 0x22, 0x23};
    for (unsigned a = 0x10; a < 0x19; ++a) low.push_back(static_cast<unsigned char>(a));
    EXPECT_EQ(blocksOf(img), (Blocks{{0x10, low}, {0x1F, high}}));
    hex_data empty;
    empty.compact();
    EXPECT_EQ(empty.size(), 0u);
}

TEST_F(IntelHexEdit, ClearResetsEverything) {
    auto read = fromText(":020000040800F2\n:020000021000EC\n" + kRec2 + "\n");
    read.clear();
    EXPECT_EQ(read.size(), 0u);
    EXPECT_FALSE(read.linear_record_seen);
    EXPECT_FALSE(read.segment_record_seen);
    EXPECT_EQ(read.fill(), 0);
}

// ---------------------------------------------------------------- counting

TEST_F(IntelHexEdit, Counting) {
    EXPECT_EQ(img.size(), 12u);
    EXPECT_EQ(img.size_below_addr(0x10), 0u);
    EXPECT_EQ(img.size_below_addr(0x13), 3u);
    EXPECT_EQ(img.size_below_addr(0x1C), 8u);
    EXPECT_EQ(img.size_below_addr(0x22), 10u);
    EXPECT_EQ(img.size_below_addr(0xFFFFFFFF), 12u);
    EXPECT_EQ(img.size_in_range(0x12, 0x15), 3u);  // inside one block: hi - lo
    EXPECT_EQ(img.size_in_range(0x16, 0x22), 4u);
    EXPECT_EQ(img.size_in_range(0x22, 0x16), 0u);
    EXPECT_EQ(img.size_in_range(0x18, 0x20), 0u);
}

TEST_F(IntelHexEdit, Addresses) {
    EXPECT_EQ(img.min_address(), 0x10u);
    EXPECT_EQ(img.max_address(), 0x23u);
    EXPECT_EQ(img.max_addr_below(0x12), 0x12u);
    EXPECT_EQ(img.max_addr_below(0x1C), 0x17u);
    EXPECT_EQ(img.max_addr_below(0xFFFFFFFF), 0x23u);
    EXPECT_EQ(img.max_addr_below(0x0F), 0u);
    hex_data empty;
    EXPECT_EQ(empty.min_address(), 0u);
    EXPECT_EQ(empty.max_address(), 0u);
}

// ---------------------------------------------------------------- comparison

TEST_F(IntelHexEdit, CompareUsesMaskRangeAndOnlyBytesSetInFirst) {
    hex_data other = img;
    EXPECT_TRUE(intelhex::compare(img, other, 0xFF, 0, 0xFFFFFFFF));
    other.set(0x30, 1);  // set only in the second image
    EXPECT_TRUE(intelhex::compare(img, other, 0xFF, 0, 0xFFFFFFFF));
    EXPECT_FALSE(intelhex::compare(other, img, 0xFF, 0, 0xFFFFFFFF));  // 1 against fill 0

    other.set(0x17, 0x17 ^ 0x80);
    EXPECT_FALSE(intelhex::compare(img, other, 0xFF, 0, 0xFFFFFFFF));
    EXPECT_TRUE(intelhex::compare(img, other, 0x7F, 0, 0xFFFFFFFF));
    EXPECT_FALSE(intelhex::compare(img, other, 0xFF, 0x17, 0x17));  // both ends included
    EXPECT_TRUE(intelhex::compare(img, other, 0xFF, 0x18, 0x30));
    EXPECT_TRUE(intelhex::compare(img, other, 0xFF, 0x10, 0x16));
    EXPECT_TRUE(intelhex::compare(img, other, 0xFF, 0x20, 0x10));  // empty range

    other.erase(0x20);  // unset in the second image reads as fill 0
    EXPECT_FALSE(intelhex::compare(img, other, 0xFF, 0x20, 0x20));
    EXPECT_TRUE(intelhex::compare(img, other, 0x00, 0, 0xFFFFFFFF));
}
