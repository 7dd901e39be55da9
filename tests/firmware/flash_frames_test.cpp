// Exact bytes of the bootloader frames, and how a block is cut into
// write-memory commands and data frames.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "firmware/bootloader.hpp"
#include "test_transport.hpp"

namespace bl = quorvel_detail::bootloader;

namespace {

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(n + i * 7);
    return v;
}

// Every command size: the address frame carries the size minus one; 8k
// bytes are k full frames, 8k + r one more frame of r bytes; the bytes in
// order, zeros past the length.
TEST(BootloaderFrames, AddressAndDataFramesOfEveryCommandSize) {
    for (size_t n = 1; n <= 256; ++n) {
        SCOPED_TRACE(n);
        const std::vector<uint8_t> bytes = pattern(n);
        const bl::WriteChunk chunk{0xA1B2C3D4, bytes.data(), n};
        qt_test::expectSameFrame(bl::writeAddressFrame(chunk),
                                 qt_test::rawFrame(0x31, {0xA1, 0xB2, 0xC3, 0xD4, static_cast<uint8_t>(n - 1)}));
        const size_t frames = bl::dataFrameCount(chunk);
        ASSERT_EQ(frames, (n + 7) / 8);
        std::vector<uint8_t> joined;
        for (size_t i = 0; i < frames; ++i) {
            const can_frame_data f = bl::writeDataFrame(chunk, i);
            EXPECT_EQ(f.can_id, 0x04u);
            ASSERT_EQ(f.can_dlc, (i + 1 < frames || n % 8 == 0) ? 8 : n % 8);
            for (size_t b = f.can_dlc; b < 8; ++b) EXPECT_EQ(f.data[b], 0) << "frame " << i;
            joined.insert(joined.end(), f.data, f.data + f.can_dlc);
        }
        EXPECT_EQ(joined, bytes);
    }
    qt_test::expectSameFrame(bl::goFrame(0xA1B2C3D4), qt_test::rawFrame(0x21, {0xA1, 0xB2, 0xC3, 0xD4}));
}

// Merged blocks go out as commands of at most 256 bytes: the size byte
// never wraps.
TEST(BootloaderFrames, BlocksAreSplitIntoWriteCommandsOf256Bytes) {
    const struct {
        size_t n;
        std::vector<size_t> sizes;
    } cases[] = {{0, {}}, {256, {256}}, {257, {256, 1}}, {600, {256, 256, 88}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        const std::vector<uint8_t> bytes = pattern(c.n);
        const auto chunks = bl::splitIntoWriteChunks(0x08000010, bytes);
        ASSERT_EQ(chunks.size(), c.sizes.size());
        for (size_t i = 0; i < chunks.size(); ++i) {
            EXPECT_EQ(chunks[i].address, 0x08000010u + 256 * i);
            EXPECT_EQ(chunks[i].bytes, bytes.data() + 256 * i);
            EXPECT_EQ(chunks[i].size, c.sizes[i]);
        }
    }
}

TEST(BootloaderFrames, OnlyTheFirstByteOfAReplyDecides) {
    EXPECT_TRUE(bl::accepted(0xAB0179));
    EXPECT_FALSE(bl::accepted(0x1F));
    EXPECT_FALSE(bl::accepted(0x7900));
}

}  // namespace
