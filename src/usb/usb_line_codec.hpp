#ifndef QUORVEL_TRANSPORT_USB_LINE_CODEC_HPP
#define QUORVEL_TRANSPORT_USB_LINE_CODEC_HPP

// The USB-to-CAN adapter's text lines, without any I/O: frames and command
// lines into fixed 30-byte buffers, and one received line into a frame or a
// reply. Every received line is treated as untrusted: nothing is read past its
// end or its first CR. Header-only so that the tests use it without the
// library exporting it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "quorvel_transport/can_helpers.hpp"

namespace usb_line {

// Longest line either way, and the size of every line buffer.
inline constexpr std::size_t kLineCapacity = 30;
using LineBuffer = std::array<char, kLineCapacity>;

enum class LineKind {
    Ignored,              // empty, or too short for its kind: yields nothing
    Frame,                // `frame` is filled
    BadLength,            // frame line whose length digit is above 8
    BitRateReply,         // "G": `bitRateCode`
    HardwareReply,        // "H": `version`
    FirmwareReply,        // "V": `version` and `commit`
    FirmwareUpdateReply,  // "d"
};

struct Version {
    uint8_t major = 0;
    uint8_t minor = 0;
    uint8_t patch = 0;
};

struct ParsedLine {
    LineKind kind = LineKind::Ignored;
    can_frame_data frame{};  // data bytes past the length stay 0
    uint8_t bitRateCode = 0;
    Version version;
    std::string commit;
};

namespace detail {

inline constexpr char kCR = '\r';
inline constexpr std::size_t kExtendedIdDigits = 8;
inline constexpr std::size_t kStandardIdDigits = 3;
inline constexpr uint32_t kExtendedFlag = 1u << 31;
inline constexpr uint32_t kRemoteFlag = 1u << 30;
inline constexpr uint32_t kExtendedIdMask = 0x1FFFFFFFu;
inline constexpr uint32_t kStandardIdMask = 0xFFFu;
inline constexpr uint8_t kMaxDataLength = 8;

// Shortest reply lines, counted before the CR: "G6", "H1.2.3", "V1.2.3-" + 8.
inline constexpr std::size_t kBitRateReplyLength = 2;
inline constexpr std::size_t kHardwareReplyLength = 6;
inline constexpr std::size_t kFirmwareReplyLength = 15;
inline constexpr std::size_t kCommitOffset = 7;
inline constexpr std::size_t kCommitLength = 8;

inline char hexDigit(unsigned value) { return "0123456789ABCDEF"[value & 0x0F]; }

// Either case is a digit; any other character maps to some value rather than
// being rejected, as the adapter's firmware does it.
inline uint8_t digitValue(char c) {
    const auto u = static_cast<uint8_t>(c);
    if (u > 0x60) return static_cast<uint8_t>(u - 0x57);
    if (u > 0x40) return static_cast<uint8_t>(u - 0x37);
    return static_cast<uint8_t>(u - 0x30);
}

inline uint8_t decimal(char c) { return static_cast<uint8_t>(static_cast<uint8_t>(c) - '0'); }

inline Version versionAt(const char* line) { return Version{decimal(line[1]), decimal(line[3]), decimal(line[5])}; }

// `length` counts the characters before the CR.
inline ParsedLine parseFrame(const char* line, std::size_t length) {
    ParsedLine out;
    const char kind = line[0];
    const bool extended = kind == 'T' || kind == 'R';
    const bool remote = kind == 'R' || kind == 'r';
    const std::size_t idDigits = extended ? kExtendedIdDigits : kStandardIdDigits;

    std::size_t pos = 1;
    if (length < pos + idDigits + 1) return out;
    uint64_t id = 0;
    for (const std::size_t end = pos + idDigits; pos < end; ++pos) id = id * 16 + digitValue(line[pos]);
    // An identifier wider than its field (an extended one above 29 bits, or
    // non-digits) would spill into the frame's flags: such a line yields nothing.
    if (id > (extended ? kExtendedIdMask : kStandardIdMask)) return out;

    const uint8_t dlc = digitValue(line[pos++]);
    if (dlc > kMaxDataLength) {
        out.kind = LineKind::BadLength;
        return out;
    }
    if (length < pos + 2 * std::size_t{dlc}) return out;

    for (uint8_t i = 0; i < dlc; ++i, pos += 2) {
        const uint8_t high = digitValue(line[pos]) & 0x0F;
        out.frame.data[i] = static_cast<uint8_t>(high * 16 + digitValue(line[pos + 1]));
    }
    out.frame.can_id = (extended ? kExtendedFlag : 0u) | (remote ? kRemoteFlag : 0u) | static_cast<uint32_t>(id);
    out.frame.can_dlc = dlc;
    out.kind = LineKind::Frame;
    return out;
}

}  // namespace detail

// Zero-fills `line` and writes the frame line of `frame` into it, CR
// included: kind letter, 3 or 8 identifier digits, the length digit and two
// digits per data byte (remote requests too), upper-case. Returns its length,
// or 0 (nothing written) when can_dlc is above 8.
inline std::size_t encodeFrameLine(const can_frame_data& frame, LineBuffer& line) {
    using namespace detail;
    line.fill(0);
    if (frame.can_dlc > kMaxDataLength) return 0;
    const bool extended = (frame.can_id & kExtendedFlag) != 0;
    const bool remote = (frame.can_id & kRemoteFlag) != 0;

    std::size_t n = 0;
    line[n++] = extended ? (remote ? 'R' : 'T') : (remote ? 'r' : 't');
    const std::size_t idDigits = extended ? kExtendedIdDigits : kStandardIdDigits;
    const uint32_t id = frame.can_id & (extended ? kExtendedIdMask : kStandardIdMask);
    for (std::size_t i = idDigits; i-- > 0;) line[n++] = hexDigit(id >> (4 * i));
    line[n++] = hexDigit(frame.can_dlc);
    for (uint8_t i = 0; i < frame.can_dlc; ++i) {
        line[n++] = hexDigit(frame.data[i] >> 4);
        line[n++] = hexDigit(frame.data[i]);
    }
    line[n++] = kCR;
    return n;
}

// Zero-fills `line` and writes `text` into it with each "%c" replaced by
// `argument`; returns its length. Text beyond the buffer is cut off.
inline std::size_t encodeCommandLine(const char* text, char argument, LineBuffer& line) {
    line.fill(0);
    std::size_t n = 0;
    for (const char* p = text; *p != '\0' && n < line.size(); ++p) {
        if (p[0] == '%' && p[1] == 'c') {
            line[n++] = argument;
            ++p;
        } else {
            line[n++] = *p;
        }
    }
    return n;
}

// Reads one line as the serial port delivered it: with its CR, or without
// one when it was cut at 30 bytes or by a time-out. Characters after the
// first CR are not looked at. A frame line yields a frame whose own encoding
// reads back to the same frame.
inline ParsedLine parseLine(const char* bytes, std::size_t length) {
    using namespace detail;
    ParsedLine out;
    if (bytes == nullptr || length == 0) return out;
    if (const void* cr = std::memchr(bytes, kCR, length)) {
        length = static_cast<std::size_t>(static_cast<const char*>(cr) - bytes);
    }
    if (length == 0) return out;

    switch (bytes[0]) {
        case 'G':
            if (length >= kBitRateReplyLength) {
                out.kind = LineKind::BitRateReply;
                out.bitRateCode = decimal(bytes[1]);
            }
            return out;
        case 'H':
            if (length >= kHardwareReplyLength) {
                out.kind = LineKind::HardwareReply;
                out.version = versionAt(bytes);
            }
            return out;
        case 'V':
            if (length >= kFirmwareReplyLength) {
                out.kind = LineKind::FirmwareReply;
                out.version = versionAt(bytes);
                out.commit.assign(bytes + kCommitOffset, kCommitLength);
            }
            return out;
        case 'd':
            out.kind = LineKind::FirmwareUpdateReply;
            return out;
        default:
            return parseFrame(bytes, length);
    }
}

}  // namespace usb_line

#endif
