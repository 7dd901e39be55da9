// The adapter's line encoding and parsing, without I/O. Received lines are
// copied into heap buffers of their exact size, so that reading past a line's
// end is caught by the address sanitizer.

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "test_transport.hpp"
#include "usb_line_codec.hpp"

namespace {

using qt_test::expectSameFrame;
using qt_test::rawFrame;
using usb_line::LineBuffer;
using usb_line::LineKind;
using usb_line::ParsedLine;

constexpr uint32_t kExt = 1u << 31;
constexpr uint32_t kRtr = 1u << 30;

std::string encode(const can_frame_data& f) {
    LineBuffer line;
    line.fill('#');
    const size_t n = usb_line::encodeFrameLine(f, line);
    // Nothing but the line itself: the rest of the buffer stays zero.
    for (size_t i = n; i < line.size(); ++i) EXPECT_EQ(line[i], '\0') << "byte " << i;
    return std::string(line.data(), n);
}

ParsedLine parse(const std::string& text) {
    std::vector<char> exact(text.begin(), text.end());
    return usb_line::parseLine(exact.empty() ? nullptr : exact.data(), exact.size());
}

}  // namespace

// The examples of the wire (t1232AB01, the 27-byte read request, ...) are
// checked byte for byte through a port in usb_interface_test.
TEST(UsbLineEncoding, FrameLinesByteForByte) {
    EXPECT_EQ(encode(rawFrame(kExt | 0x1ABCDEF0, 0, {})), "T1ABCDEF00\r");
    EXPECT_EQ(encode(rawFrame(kRtr | 0x7FF, 1, {0x5A})), "r7FF15A\r");
    // Standard: the low 12 bits; extended: the low 29 (error flag dropped).
    EXPECT_EQ(encode(rawFrame(0x1234, 0, {})), "t2340\r");
    EXPECT_EQ(encode(rawFrame(kExt | (1u << 29) | 0x5, 0, {})), "T000000050\r");
    EXPECT_EQ(encode(rawFrame(0x001, 1, {0xC3, 0xFF, 0xFF})), "t0011C3\r");
    EXPECT_EQ(encode(rawFrame(kExt | kRtr | 0x2C6, 8, {})).size(), 27u);
}

TEST(UsbLineEncoding, DataLengthAboveEightIsRefused) {
    for (uint8_t dlc : {9, 15, 255}) {
        LineBuffer line;
        line.fill('#');
        EXPECT_EQ(usb_line::encodeFrameLine(rawFrame(kExt | 0x2C6, dlc, {}), line), 0u) << int(dlc);
        for (char c : line) EXPECT_EQ(c, '\0');
    }
}

TEST(UsbLineEncoding, CommandLines) {
    LineBuffer line;
    EXPECT_EQ(usb_line::encodeCommandLine("C\rS%c\rO\r", '8', line), 7u);
    EXPECT_EQ(std::string(line.data(), 7), "C\rS8\rO\r");
    EXPECT_EQ(line[7], '\0');
    EXPECT_EQ(usb_line::encodeCommandLine("G\r", '\0', line), 2u);
    EXPECT_EQ(std::string(line.data(), 2), "G\r");
    EXPECT_EQ(line[2], '\0');
}

TEST(UsbLineParsing, EveryKindAndLengthRoundTrips) {
    std::mt19937 rng(1234);
    for (uint32_t flags : {0u, kRtr, kExt, kExt | kRtr}) {
        for (uint8_t dlc = 0; dlc <= 8; ++dlc) {
            can_frame_data f = rawFrame(flags | (rng() & ((flags & kExt) ? 0x1FFFFFFFu : 0x7FFu)), dlc, {});
            for (uint8_t i = 0; i < dlc; ++i) f.data[i] = static_cast<uint8_t>(rng());
            const std::string line = encode(f);
            const ParsedLine p = parse(line);
            ASSERT_EQ(p.kind, LineKind::Frame) << line;
            expectSameFrame(p.frame, f);
        }
    }
}

TEST(UsbLineParsing, LowerCaseDigitsAndUnknownKindLetters) {
    // Any other first letter reads as a standard data frame.
    for (const char* text : {"t1232ab01\r", "x1232AB01\r", "X1232ab01\r", "01232AB01\r"}) {
        const ParsedLine p = parse(text);
        ASSERT_EQ(p.kind, LineKind::Frame) << text;
        expectSameFrame(p.frame, rawFrame(0x123, 2, {0xAB, 0x01}));
    }
    EXPECT_EQ(parse("R1fffffff0\r").frame.can_id, kExt | kRtr | 0x1FFFFFFF);
}

TEST(UsbLineParsing, NonHexCharactersAreMappedNotRejected) {
    // 'g' counts 16, so "0g0" is 0x100; data digits "zz": (35 & 15) * 16 + 35.
    const ParsedLine p = parse("t0g01zz\r");
    ASSERT_EQ(p.kind, LineKind::Frame);
    EXPECT_EQ(p.frame.can_id, 0x100u);
    EXPECT_EQ(p.frame.data[0], 0x53);
}

TEST(UsbLineParsing, DataLengthAboveEight) {
    EXPECT_EQ(parse("t1239" + std::string(18, '0') + "\r").kind, LineKind::BadLength);
    EXPECT_EQ(parse("T000002C6F\r").kind, LineKind::BadLength);
    EXPECT_EQ(parse("t123z\r").kind, LineKind::BadLength);
}

TEST(UsbLineParsing, ShortFrameLinesYieldNothing) {
    const std::vector<std::string> full = {
        "t1232AB01", "r1230", "R000002C68" + std::string(16, '0'), "T1FFFFFFF80010325476" "98BAFE", "t7FF0",
    };
    for (const std::string& line : full) {
        ASSERT_EQ(parse(line).kind, LineKind::Frame) << line;
        ASSERT_EQ(parse(line + "\r").kind, LineKind::Frame) << line;
        for (size_t k = 0; k < line.size(); ++k) {
            const std::string cut = line.substr(0, k);
            EXPECT_EQ(parse(cut).kind, LineKind::Ignored) << '"' << cut << '"';
            EXPECT_EQ(parse(cut + "\r").kind, LineKind::Ignored) << '"' << cut << "\\r\"";
            // The rest of a line after its CR is not part of it.
            EXPECT_EQ(parse(cut + "\r" + line.substr(k)).kind, LineKind::Ignored) << cut;
        }
    }
    EXPECT_EQ(parse("").kind, LineKind::Ignored);
    EXPECT_EQ(parse("\r").kind, LineKind::Ignored);
}

TEST(UsbLineParsing, ExtraCharactersAfterTheFrameAreIgnored) {
    // A 30-byte line cut by the port without CR.
    const std::string line = "T000002C68" "0102030405060708" "XYZW";
    ASSERT_EQ(line.size(), 30u);
    const ParsedLine p = parse(line);
    ASSERT_EQ(p.kind, LineKind::Frame);
    expectSameFrame(p.frame, rawFrame(kExt | 0x2C6, 8, {1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(UsbLineParsing, ReplyLines) {
    ParsedLine p = parse("G6\r");
    EXPECT_EQ(p.kind, LineKind::BitRateReply);
    EXPECT_EQ(p.bitRateCode, 6);
    EXPECT_EQ(parse("G6").kind, LineKind::BitRateReply);

    p = parse("H1.0.2\r");
    EXPECT_EQ(p.kind, LineKind::HardwareReply);
    EXPECT_EQ((std::array<int, 3>{p.version.major, p.version.minor, p.version.patch}), (std::array<int, 3>{1, 0, 2}));
    p = parse("H3x4y5");
    EXPECT_EQ(p.kind, LineKind::HardwareReply);
    EXPECT_EQ(p.version.minor, 4);

    p = parse("V2.7.1-0badc0de\r");
    EXPECT_EQ(p.kind, LineKind::FirmwareReply);
    EXPECT_EQ((std::array<int, 3>{p.version.major, p.version.minor, p.version.patch}), (std::array<int, 3>{2, 7, 1}));
    EXPECT_EQ(p.commit, "0badc0de");

    EXPECT_EQ(parse("d\r").kind, LineKind::FirmwareUpdateReply);
    EXPECT_EQ(parse("d").kind, LineKind::FirmwareUpdateReply);
    EXPECT_EQ(parse("G9\rG7\r").bitRateCode, 9) << "only the first line of a buffer counts";
}

TEST(UsbLineParsing, ShortReplyLinesYieldNothing) {
    for (const std::string full : {"G6", "H1.0.2", "V2.7.1-0badc0de"}) {
        for (size_t k = 1; k < full.size(); ++k) {
            const std::string cut = full.substr(0, k);
            EXPECT_EQ(parse(cut).kind, LineKind::Ignored) << cut;
            EXPECT_EQ(parse(cut + "\r").kind, LineKind::Ignored) << cut;
            EXPECT_EQ(parse(cut + "\r" + full.substr(k)).kind, LineKind::Ignored) << cut;
        }
    }
}
