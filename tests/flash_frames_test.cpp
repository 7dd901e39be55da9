// Exact bytes of the bootloader frames that the firmware update sends, and
// how a block is cut into write-memory commands and data frames.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "bootloader.hpp"

namespace bl = quorvel_detail::bootloader;

namespace {

using Bytes = std::array<uint8_t, 8>;

Bytes dataOf(const can_frame_data& f) {
    Bytes b{};
    for (int i = 0; i < 8; ++i) b[i] = f.data[i];
    return b;
}

// Standard 11-bit identifier: no extended, remote or error flag.
void expectStandard(const can_frame_data& f, uint32_t id, uint8_t dlc, Bytes data) {
    EXPECT_EQ(f.can_id, id);
    EXPECT_EQ(f.can_id & 0xE0000000u, 0u);
    EXPECT_EQ(f.can_dlc, dlc);
    EXPECT_EQ(dataOf(f), data);
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

TEST(BootloaderFrames, CommandFrames) {
    expectStandard(bl::syncFrame(), 0x79, 0, {});
    expectStandard(bl::speedFrame(), 0x03, 1, {3});
    expectStandard(bl::eraseFrame(0), 0x43, 1, {0});
    expectStandard(bl::eraseFrame(9), 0x43, 1, {9});
    expectStandard(bl::goFrame(0x08004000), 0x21, 4, {0x08, 0x00, 0x40, 0x00});
    expectStandard(bl::goFrame(0xA1B2C3D4), 0x21, 4, {0xA1, 0xB2, 0xC3, 0xD4});
}

TEST(BootloaderFrames, SectorListIsZeroToNine) {
    const std::vector<uint8_t> sectors(std::begin(bl::kSectors), std::end(bl::kSectors));
    EXPECT_EQ(sectors, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(BootloaderFrames, WriteAddressFrameCarriesAddressAndSizeMinusOne) {
    const std::vector<uint8_t> bytes = pattern(256);
    expectStandard(bl::writeAddressFrame({0x1000, bytes.data(), 16}), 0x31, 5, {0x00, 0x00, 0x10, 0x00, 0x0F});
    expectStandard(bl::writeAddressFrame({0x08010203, bytes.data(), 1}), 0x31, 5, {0x08, 0x01, 0x02, 0x03, 0x00});
    expectStandard(bl::writeAddressFrame({0xFFFFFF00, bytes.data(), 256}), 0x31, 5, {0xFF, 0xFF, 0xFF, 0x00, 0xFF});
    expectStandard(bl::writeAddressFrame({0x20, bytes.data(), 255}), 0x31, 5, {0x00, 0x00, 0x00, 0x20, 0xFE});
}

// Blocks of 8k bytes: k full frames; 8k + r: one more frame of r bytes;
// 1 to 7 bytes: one frame of that length. The frames carry the block's bytes
// in order and zeros past their length.
TEST(BootloaderFrames, DataFramesOfEveryBlockLength) {
    for (size_t n = 1; n <= 256; ++n) {
        SCOPED_TRACE(n);
        const std::vector<uint8_t> bytes = pattern(n, static_cast<uint8_t>(n));
        const bl::WriteChunk chunk{0x08000000, bytes.data(), n};
        const size_t frames = bl::dataFrameCount(chunk);
        ASSERT_EQ(frames, n / 8 + (n % 8 != 0 ? 1 : 0));
        std::vector<uint8_t> joined;
        for (size_t i = 0; i < frames; ++i) {
            const can_frame_data f = bl::writeDataFrame(chunk, i);
            EXPECT_EQ(f.can_id, 0x04u);
            const size_t expectedLength = (i + 1 < frames || n % 8 == 0) ? 8 : n % 8;
            ASSERT_EQ(f.can_dlc, expectedLength);
            for (size_t b = f.can_dlc; b < 8; ++b) EXPECT_EQ(f.data[b], 0) << "frame " << i << " byte " << b;
            joined.insert(joined.end(), f.data, f.data + f.can_dlc);
        }
        EXPECT_EQ(joined, bytes);
    }
}

TEST(BootloaderFrames, BlocksUpTo256BytesAreOneWriteCommand) {
    for (size_t n : {1u, 7u, 8u, 16u, 255u, 256u}) {
        const std::vector<uint8_t> bytes = pattern(n);
        const auto chunks = bl::splitIntoWriteChunks(0x1000, bytes);
        ASSERT_EQ(chunks.size(), 1u) << n;
        EXPECT_EQ(chunks[0].address, 0x1000u);
        EXPECT_EQ(chunks[0].bytes, bytes.data());
        EXPECT_EQ(chunks[0].size, n);
    }
}

// Merged blocks are written as several commands of at most 256 bytes, so
// that the size byte never wraps.
TEST(BootloaderFrames, LongerBlocksAreSplitAt256Bytes) {
    const std::vector<uint8_t> bytes = pattern(600);
    const auto chunks = bl::splitIntoWriteChunks(0x08000000, bytes);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].address, 0x08000000u);
    EXPECT_EQ(chunks[1].address, 0x08000100u);
    EXPECT_EQ(chunks[2].address, 0x08000200u);
    EXPECT_EQ(chunks[0].size, 256u);
    EXPECT_EQ(chunks[1].size, 256u);
    EXPECT_EQ(chunks[2].size, 88u);
    EXPECT_EQ(chunks[2].bytes, bytes.data() + 512);
    EXPECT_EQ(bl::writeAddressFrame(chunks[0]).data[4], 0xFF);
    EXPECT_EQ(bl::writeAddressFrame(chunks[2]).data[4], 87);

    const std::vector<uint8_t> edge = pattern(257);
    const auto two = bl::splitIntoWriteChunks(0x10, edge);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[1].address, 0x110u);
    EXPECT_EQ(two[1].size, 1u);
    EXPECT_EQ(bl::writeDataFrame(two[1], 0).can_dlc, 1);
    EXPECT_EQ(bl::writeDataFrame(two[1], 0).data[0], edge[256]);

    EXPECT_TRUE(bl::splitIntoWriteChunks(0, {}).empty());
}

TEST(BootloaderFrames, OnlyTheFirstByteOfAReplyDecides) {
    EXPECT_TRUE(bl::accepted(0x79));
    EXPECT_TRUE(bl::accepted(0xAB0179));
    EXPECT_FALSE(bl::accepted(0x1F));
    EXPECT_FALSE(bl::accepted(0x7900));
    EXPECT_FALSE(bl::accepted(0));
}

}  // namespace
