// libFuzzer target for the adapter's received-line path, usb_line::parseLine.
// Beyond crashes and sanitizer reports (libFuzzer hands over a buffer of the
// input's exact size, so a read past the line is caught) it checks that
// nothing after the first CR counts, and that an accepted frame line
// re-encodes to itself: byte for byte (digits upper-cased) when it is written
// in the adapter's own alphabet, and always to a line that reads back to the
// same frame.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "usb/usb_line_codec.hpp"

static void check(bool ok) { if (!ok) std::abort(); }

static bool sameFrame(const can_frame_data& a, const can_frame_data& b) {
    return a.can_id == b.can_id && a.can_dlc == b.can_dlc && std::memcmp(a.data, b.data, sizeof a.data) == 0;
}

static bool sameLine(const usb_line::ParsedLine& a, const usb_line::ParsedLine& b) {
    return a.kind == b.kind && sameFrame(a.frame, b.frame) && a.bitRateCode == b.bitRateCode &&
           a.version.major == b.version.major && a.version.minor == b.version.minor &&
           a.version.patch == b.version.patch && a.commit == b.commit;
}

static bool hexDigits(const char* p, std::size_t n) {
    return std::all_of(p, p + n, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const usb_line::ParsedLine parsed = usb_line::parseLine(bytes, size);

    const void* cr = std::memchr(bytes, '\r', size);
    const std::size_t length = cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - bytes) : size;
    if (cr != nullptr) check(sameLine(parsed, usb_line::parseLine(bytes, length + 1)));

    if (parsed.kind == usb_line::LineKind::FirmwareReply) check(length >= 15 && parsed.commit.size() == 8);
    if (parsed.kind != usb_line::LineKind::Frame) return 0;
    check(parsed.frame.can_dlc <= 8);
    for (std::size_t i = parsed.frame.can_dlc; i < 8; ++i) check(parsed.frame.data[i] == 0);
    usb_line::LineBuffer line;
    const std::size_t n = usb_line::encodeFrameLine(parsed.frame, line);
    check(n > 0 && n <= length + 1 && line[n - 1] == '\r');
    const usb_line::ParsedLine again = usb_line::parseLine(line.data(), n);
    check(again.kind == usb_line::LineKind::Frame && sameFrame(again.frame, parsed.frame));
    const char kind = bytes[0];
    if (std::strchr("tTrR", kind) != nullptr && kind != '\0' && hexDigits(bytes + 1, n - 2)) {
        check(line[0] == kind);
        for (std::size_t i = 1; i + 1 < n; ++i) check(line[i] == std::toupper(static_cast<unsigned char>(bytes[i])));
    }
    return 0;
}
