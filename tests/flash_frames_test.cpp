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

// Standard 11-bit identifier: no extended, remote or error flag.
void expectStandard(const can_frame_data& f, uint32_t id, uint8_t dlc, Bytes data) {
    EXPECT_EQ(f.can_id, id);
    EXPECT_EQ(f.can_id & 0xE0000000u, 0u);
    EXPECT_EQ(f.can_dlc, dlc);
    Bytes got{};
    for (int i = 0; i < 8; ++i) got[i] = f.data[i];
    EXPECT_EQ(got, data);
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

TEST(BootloaderFrames, CommandAndWriteAddressFrames) {
    const std::vector<uint8_t> bytes = pattern(256);
    const struct {
        can_frame_data frame;
        uint32_t id;
        uint8_t dlc;
        Bytes data;
    } cases[] = {
        {bl::syncFrame(), 0x79, 0, {}},
        {bl::speedFrame(), 0x03, 1, {3}},
        {bl::eraseFrame(0), 0x43, 1, {0}},
        {bl::eraseFrame(9), 0x43, 1, {9}},
        {bl::goFrame(0x08004000), 0x21, 4, {0x08, 0x00, 0x40, 0x00}},
        {bl::goFrame(0xA1B2C3D4), 0x21, 4, {0xA1, 0xB2, 0xC3, 0xD4}},
        // Address and size minus one.
        {bl::writeAddressFrame({0x1000, bytes.data(), 16}), 0x31, 5, {0x00, 0x00, 0x10, 0x00, 0x0F}},
        {bl::writeAddressFrame({0x08010203, bytes.data(), 1}), 0x31, 5, {0x08, 0x01, 0x02, 0x03, 0x00}},
        {bl::writeAddressFrame({0xFFFFFF00, bytes.data(), 256}), 0x31, 5, {0xFF, 0xFF, 0xFF, 0x00, 0xFF}},
        {bl::writeAddressFrame({0x20, bytes.data(), 255}), 0x31, 5, {0x00, 0x00, 0x00, 0x20, 0xFE}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.id << " " << int{c.data[0]});
        expectStandard(c.frame, c.id, c.dlc, c.data);
    }
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
            ASSERT_EQ(f.can_dlc, (i + 1 < frames || n % 8 == 0) ? 8 : n % 8);
            for (size_t b = f.can_dlc; b < 8; ++b) EXPECT_EQ(f.data[b], 0) << "frame " << i << " byte " << b;
            joined.insert(joined.end(), f.data, f.data + f.can_dlc);
        }
        EXPECT_EQ(joined, bytes);
    }
}

// Merged blocks longer than 256 bytes are written as several commands of at
// most 256 bytes, so that the size byte never wraps.
TEST(BootloaderFrames, BlocksAreSplitIntoWriteCommandsOf256Bytes) {
    const struct {
        size_t n;
        std::vector<size_t> sizes;
    } cases[] = {{0, {}},       {1, {1}},       {7, {7}},         {8, {8}},
                 {255, {255}}, {256, {256}}, {257, {256, 1}}, {600, {256, 256, 88}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        const std::vector<uint8_t> bytes = pattern(c.n);
        const auto chunks = bl::splitIntoWriteChunks(0x08000010, bytes);
        ASSERT_EQ(chunks.size(), c.sizes.size());
        for (size_t i = 0; i < chunks.size(); ++i) {
            EXPECT_EQ(chunks[i].address, 0x08000010u + 256 * i);
            EXPECT_EQ(chunks[i].bytes, bytes.data() + 256 * i);
            EXPECT_EQ(chunks[i].size, c.sizes[i]);
            EXPECT_EQ(bl::writeAddressFrame(chunks[i]).data[4], c.sizes[i] - 1);
        }
    }
}

TEST(BootloaderFrames, OnlyTheFirstByteOfAReplyDecides) {
    EXPECT_TRUE(bl::accepted(0x79));
    EXPECT_TRUE(bl::accepted(0xAB0179));
    EXPECT_FALSE(bl::accepted(0x1F));
    EXPECT_FALSE(bl::accepted(0x7900));
    EXPECT_FALSE(bl::accepted(0));
}

}  // namespace
