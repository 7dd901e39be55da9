#ifndef QUORVEL_TRANSPORT_BOOTLOADER_HPP
#define QUORVEL_TRANSPORT_BOOTLOADER_HPP

// The frames of the STM32 system bootloader's CAN protocol (ST AN3154) that
// the firmware update sends, as pure functions: no I/O, no state. Every frame
// has an 11-bit standard identifier equal to the bootloader command code, and
// every step is confirmed by a reply under the awaited identifier whose first
// data byte is kAck.
//
// Header-only so that the tests and the benchmark use the very code that the
// library runs.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvel_transport/can_helpers.hpp"

namespace quorvel_detail {
namespace bootloader {

// Identifiers of the bootloader's commands; the replies come under the same
// identifiers.
constexpr uint32_t kSyncId = 0x79;
constexpr uint32_t kSpeedId = 0x03;
constexpr uint32_t kEraseId = 0x43;
constexpr uint32_t kWriteId = 0x31;
constexpr uint32_t kWriteDataId = 0x04;
constexpr uint32_t kGoId = 0x21;

constexpr uint8_t kAck = 0x79;
constexpr uint8_t kNack = 0x1F;

// Speed code 3 switches the bootloader to 500 kbit/s.
constexpr uint8_t kSpeedCode = 3;

// The flash sectors erased, in this order, whatever the image's size.
constexpr uint8_t kSectors[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
// An erase command names one sector at a time: number of sectors minus one.
constexpr uint8_t kEraseOneSector = 0;

// One write-memory command carries at most this many bytes (its size byte
// holds the count minus one).
constexpr std::size_t kMaxWriteSize = 256;
constexpr std::size_t kDataFrameSize = 8;

// A standard data frame of `length` bytes, all data bytes zeroed.
inline can_frame_data standardFrame(uint32_t id, uint8_t length) {
    can_frame_data frame{};
    frame.can_id = id;
    frame.can_dlc = length;
    return frame;
}

inline void putBigEndian32(can_frame_data& frame, uint32_t value) {
    frame.data[0] = static_cast<uint8_t>(value >> 24);
    frame.data[1] = static_cast<uint8_t>(value >> 16);
    frame.data[2] = static_cast<uint8_t>(value >> 8);
    frame.data[3] = static_cast<uint8_t>(value);
}

inline can_frame_data syncFrame() { return standardFrame(kSyncId, 0); }

inline can_frame_data speedFrame() {
    can_frame_data frame = standardFrame(kSpeedId, 1);
    frame.data[0] = kSpeedCode;
    return frame;
}

// Byte 0 is either the number of sectors minus one or a sector number.
inline can_frame_data eraseFrame(uint8_t value) {
    can_frame_data frame = standardFrame(kEraseId, 1);
    frame.data[0] = value;
    return frame;
}

inline can_frame_data goFrame(uint32_t address) {
    can_frame_data frame = standardFrame(kGoId, 4);
    putBigEndian32(frame, address);
    return frame;
}

// The bytes of one write-memory command: 1 to kMaxWriteSize bytes at address.
struct WriteChunk {
    uint32_t address;
    const uint8_t* bytes;
    std::size_t size;
};

// A block as write-memory commands of at most kMaxWriteSize bytes, in
// address order. The image reader keeps blocks of at most 255 bytes, so this
// is one chunk unless the image was merged (compact) before.
inline std::vector<WriteChunk> splitIntoWriteChunks(uint32_t address, const std::vector<uint8_t>& bytes) {
    std::vector<WriteChunk> chunks;
    chunks.reserve((bytes.size() + kMaxWriteSize - 1) / kMaxWriteSize);
    for (std::size_t offset = 0; offset < bytes.size(); offset += kMaxWriteSize) {
        chunks.push_back({address + static_cast<uint32_t>(offset), bytes.data() + offset,
                          std::min(kMaxWriteSize, bytes.size() - offset)});
    }
    return chunks;
}

// Address most significant byte first, then the byte count minus one.
inline can_frame_data writeAddressFrame(const WriteChunk& chunk) {
    can_frame_data frame = standardFrame(kWriteId, 5);
    putBigEndian32(frame, chunk.address);
    frame.data[4] = static_cast<uint8_t>((chunk.size - 1) % 256);
    return frame;
}

// Full frames of 8 bytes, then one of 1 to 7 for the rest, if any.
inline std::size_t dataFrameCount(const WriteChunk& chunk) {
    return (chunk.size + kDataFrameSize - 1) / kDataFrameSize;
}

inline can_frame_data writeDataFrame(const WriteChunk& chunk, std::size_t index) {
    const std::size_t offset = index * kDataFrameSize;
    const std::size_t length = std::min(kDataFrameSize, chunk.size - offset);
    can_frame_data frame = standardFrame(kWriteDataId, static_cast<uint8_t>(length));
    std::copy(chunk.bytes + offset, chunk.bytes + offset + length, frame.data);
    return frame;
}

// Replies carry the acknowledgement in their first data byte.
inline bool accepted(unsigned int replyValue) { return replyValue % 256 == kAck; }

}  // namespace bootloader
}  // namespace quorvel_detail

#endif
