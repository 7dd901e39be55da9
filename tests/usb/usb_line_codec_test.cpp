// The adapter's line encoding and parsing, without I/O. Received lines are
// copied into heap buffers of their exact size, so that reading past a line's
// end is caught by the address sanitizer.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_transport.hpp"
#include "usb/usb_line_codec.hpp"

namespace {

using qt_test::expectSameFrame;
using qt_test::rawFrame;
using usb_line::LineKind;
using usb_line::ParsedLine;

constexpr uint32_t kExt = 1u << 31;
constexpr uint32_t kRtr = 1u << 30;

std::string encode(const can_frame_data& f) {
    usb_line::LineBuffer line;
    line.fill('#');
    const size_t n = usb_line::encodeFrameLine(f, line);
    // Nothing but the line itself: the rest of the buffer is zero.
    for (size_t i = n; i < line.size(); ++i) EXPECT_EQ(line[i], '\0') << "byte " << i;
    return std::string(line.data(), n);
}

ParsedLine parse(const std::string& text) {
    std::vector<char> exact(text.begin(), text.end());
    return usb_line::parseLine(exact.empty() ? nullptr : exact.data(), exact.size());
}

}  // namespace

// The wire examples are checked byte for byte through a port in usb_interface_test.
TEST(UsbLineEncoding, FrameLinesByteForByteAndDataLengthAboveEightRefused) {
    // Standard: the low 12 bits; extended: the low 29 (error flag dropped);
    // data bytes past the length are not written.
    EXPECT_EQ(encode(rawFrame(0x1234, 0, {})), "t2340\r");
    EXPECT_EQ(encode(rawFrame(kExt | (1u << 29) | 0x5, 0, {})), "T000000050\r");
    EXPECT_EQ(encode(rawFrame(0x001, 1, {0xC3, 0xFF, 0xFF})), "t0011C3\r");
    EXPECT_EQ(encode(rawFrame(kExt | 0x2C6, 9, {})), "");
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

TEST(UsbLineParsing, UntrustedLines) {
    // Any other first letter reads as a standard data frame; 'g' counts 16,
    // so "0g0" is 0x100; data digits "zz": (35 & 15) * 16 + 35.
    expectSameFrame(parse("X1232ab01\r").frame, rawFrame(0x123, 2, {0xAB, 0x01}));
    expectSameFrame(parse("t0g01zz\r").frame, rawFrame(0x100, 1, {0x53}));
    // A 30-byte line cut by the port without CR: the characters past the frame are ignored.
    expectSameFrame(parse("T000002C68" "0102030405060708" "XYZW").frame,
                    rawFrame(kExt | 0x2C6, 8, {1, 2, 3, 4, 5, 6, 7, 8}));
    // An identifier wider than its field would spill into the frame's flags.
    EXPECT_EQ(parse("T2000000000\r").kind, LineKind::Ignored);
    EXPECT_EQ(parse("tzzz0\r").kind, LineKind::Ignored);
    EXPECT_EQ(parse("T000002C6F\r").kind, LineKind::BadLength);
    EXPECT_EQ(parse("t123z\r").kind, LineKind::BadLength);
    // Version digits are taken by position; only the first line of a buffer counts.
    const ParsedLine p = parse("V2x7y1-0badc0de\rG7\r");
    EXPECT_EQ(p.kind, LineKind::FirmwareReply);
    EXPECT_EQ(p.version.major * 100 + p.version.minor * 10 + p.version.patch, 271);
    EXPECT_EQ(p.commit, "0badc0de");
}

TEST(UsbLineParsing, ShortLinesYieldNothingAndStopAtTheirCR) {
    const std::string full[] = {
        "t1232AB01", "r1230", "R000002C68" + std::string(16, '0'), "G6", "H1.0.2", "V2.7.1-0badc0de",
    };
    for (const std::string& line : full) {
        ASSERT_NE(parse(line + "\r").kind, LineKind::Ignored) << line;
        for (size_t k = 0; k < line.size(); ++k) {
            const std::string cut = line.substr(0, k);
            EXPECT_EQ(parse(cut).kind, LineKind::Ignored) << '"' << cut << '"';
            // The rest of a line after its CR is not part of it.
            EXPECT_EQ(parse(cut + "\r" + line.substr(k)).kind, LineKind::Ignored) << cut;
        }
    }
}
