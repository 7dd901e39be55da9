// libFuzzer target for intelhex::hex_data::read. Beyond crashes and
// sanitizer reports it checks that the image keeps its invariants and that
// what write() makes of it reads back to the same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "quorvel_transport/intelhex.hpp"

static void check(bool ok) { if (!ok) std::abort(); }

static void checkInvariants(const intelhex::hex_data& img) {
    std::uint64_t nextFree = 0, total = 0;
    for (const auto& [start, bytes] : img) {
        check(!bytes.empty() && start >= nextFree);
        nextFree = std::uint64_t{start} + bytes.size();
        check(nextFree <= (std::uint64_t{1} << 32));
        total += bytes.size();
    }
    check(total == img.size());
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<unsigned char> decoded;
    intelhex::hex2binary(decoded, text);
    check(decoded.size() <= size / 2);

    intelhex::hex_data img;
    std::istringstream in(text);
    img.read(in);
    checkInvariants(img);

    std::ostringstream out;
    img.write(out);
    intelhex::hex_data back;
    std::istringstream again(out.str());
    back.read(again);
    checkInvariants(back);
    check(back.size() == img.size() && intelhex::compare(img, back, 0xFF, 0, 0xFFFFFFFF) &&
          intelhex::compare(back, img, 0xFF, 0, 0xFFFFFFFF));

    // Edits keep the invariants too.
    if (img.size() > 0) {
        const std::uint32_t lo = img.min_address(), hi = img.max_address();
        img.tidy(1 + (size % 7));
        checkInvariants(img);
        img.compact();
        checkInvariants(img);
        img.erase(lo + (hi - lo) / 3, lo + (hi - lo) / 2);
        checkInvariants(img);
        check(img.size() == img.size_in_range(0, 0xFFFFFFFF) + (img.is_set(0xFFFFFFFF) ? 1 : 0));
    }
    return 0;
}
