#ifndef QUORVEL_TRANSPORT_CAN_HELPERS_HPP
#define QUORVEL_TRANSPORT_CAN_HELPERS_HPP

// Frame record, identifier layout and the bit-level payload codec.
// Everything here is stateless and lock-free.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "config.hpp"

// One CAN frame in the Linux SocketCAN record layout (struct can_frame), so
// the SocketCAN transport can hand it to the kernel unchanged.
struct can_frame_data {
    uint32_t can_id;   // bits 0-28 identifier, 29 error, 30 remote request, 31 extended
    uint8_t can_dlc;   // data length, 0 to 8
    uint8_t __pad;
    uint8_t __res0;
    uint8_t __res1;
    alignas(8) uint8_t data[8];
};
static_assert(sizeof(can_frame_data) == 16, "can_frame_data must match the kernel's can_frame");
static_assert(offsetof(can_frame_data, can_dlc) == 4, "can_dlc must sit at offset 4");
static_assert(offsetof(can_frame_data, data) == 8, "data must sit at offset 8");

// Identifier layout of the device protocol.
constexpr uint8_t CMD_ID_BIT_SHIFT = 0;
constexpr uint8_t NUM_CMD_ID_BITS = 7;
constexpr uint8_t DEVICE_ID_BIT_SHIFT = 7;
constexpr uint8_t NUM_DEVICE_ID_BITS = 18;
constexpr uint8_t BROADCAST_TYPE_BIT_SHIFT = 25;
constexpr uint8_t NUM_BROADCAST_TYPE_BITS = 1;
constexpr uint8_t DEVICE_TYPE_BIT_SHIFT = 26;
constexpr uint8_t NUM_DEVICE_TYPE_BITS = 3;
constexpr uint8_t ERROR_BIT_SHIFT = 29;
constexpr uint8_t NUM_ERROR_BITS = 1;
constexpr uint8_t RTR_BIT_SHIFT = 30;
constexpr uint8_t NUM_RTR_BITS = 1;
constexpr uint8_t ID_TYPE_BIT_SHIFT = 31;
constexpr uint8_t NUM_ID_TYPE_BITS = 1;

// The parts of an identifier word. setNodeIDForFrame masks nothing: callers
// keep device_type < 8, device_id < 2^18 and cmd_id < 128.
struct can_node_id {
    uint8_t id_type;
    uint8_t rtr;
    uint8_t error;
    uint8_t device_type;
    uint8_t broadcast_type;
    uint32_t device_id;
    uint8_t cmd_id;
};

QUORVEL_API uint32_t setNodeIDForFrame(can_node_id id);
QUORVEL_API uint8_t getDeviceTypeFromFrame(can_frame_data* frame);
QUORVEL_API uint32_t getDeviceIdFromFrame(can_frame_data* frame);
QUORVEL_API uint8_t getCommandIdFromFrame(can_frame_data* frame);
QUORVEL_API uint8_t getExtFromFrame(can_frame_data* frame);
QUORVEL_API uint8_t getRtrFromFrame(can_frame_data* frame);
QUORVEL_API uint32_t getExtendedIdFromFrame(can_frame_data* frame);

enum CANBaudRate : int {
    CAN_BAUDRATE_10K = 0,
    CAN_BAUDRATE_20K = 1,
    CAN_BAUDRATE_50K = 2,
    CAN_BAUDRATE_100K = 3,
    CAN_BAUDRATE_125K = 4,
    CAN_BAUDRATE_250K = 5,
    CAN_BAUDRATE_500K = 6,
    CAN_BAUDRATE_750K = 7,
    CAN_BAUDRATE_1M = 8,
};

// Bit/s of each CANBaudRate, indexed by it.
static constexpr int32_t CAN_BAUDRATE_VALUE[9] = {10000,  20000,  50000,  100000, 125000,
                                                  250000, 500000, 750000, 1000000};

// The rate whose table entry equals bitsPerSecond exactly; -1 for any other.
QUORVEL_API CANBaudRate baudrate_from_value(int bitsPerSecond);

// ---------------------------------------------------------------------------
// Signal codec. The 8 data bytes are one little-endian 64-bit word W. In
// big-endian mode the bytes are reversed first and startBit counts the
// field's most significant bit from the top of data[0].
namespace can_codec_detail {

inline uint64_t fieldMask(unsigned length) {
    return length >= 64 ? ~uint64_t{0} : ((uint64_t{1} << length) - 1);
}

inline unsigned fieldShift(unsigned startBit, unsigned length, bool littleEndian) {
    if (littleEndian) return startBit % 64;
    int s = (64 - static_cast<int>(startBit) - static_cast<int>(length)) % 64;
    return static_cast<unsigned>(s < 0 ? s + 64 : s);
}

inline uint64_t loadWord(const can_frame_data& frame, bool littleEndian) {
    uint64_t w = 0;
    for (int i = 0; i < 8; ++i) {
        const int byte = littleEndian ? i : 7 - i;
        w |= uint64_t{frame.data[byte]} << (8 * i);
    }
    return w;
}

inline void storeWord(can_frame_data& frame, uint64_t w, bool littleEndian) {
    for (int i = 0; i < 8; ++i) {
        const int byte = littleEndian ? i : 7 - i;
        frame.data[byte] = static_cast<uint8_t>(w >> (8 * i));
    }
}

template <typename T>
uint64_t toRaw(const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return value ? 1u : 0u;
    } else if constexpr (std::is_same_v<T, float>) {
        uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return bits;
    } else if constexpr (std::is_enum_v<T>) {
        return static_cast<std::make_unsigned_t<std::underlying_type_t<T>>>(value);
    } else {
        static_assert(std::is_integral_v<T>, "unsupported signal type");
        return static_cast<std::make_unsigned_t<T>>(value);
    }
}

template <typename T>
T fromRaw(uint64_t raw) {
    if constexpr (std::is_same_v<T, bool>) {
        return static_cast<uint8_t>(raw) != 0;
    } else if constexpr (std::is_same_v<T, float>) {
        const uint32_t bits = static_cast<uint32_t>(raw);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    } else if constexpr (std::is_enum_v<T>) {
        return static_cast<T>(static_cast<std::make_unsigned_t<std::underlying_type_t<T>>>(raw));
    } else {
        static_assert(std::is_integral_v<T>, "unsupported signal type");
        // Keeps T's low bits; a narrower field is not sign-extended.
        return static_cast<T>(static_cast<std::make_unsigned_t<T>>(raw));
    }
}

// Toward zero into 32 bits, saturating, NaN to 0.
template <typename I>
I saturate32(float q) {
    if (std::isnan(q)) return 0;
    constexpr I lo = std::numeric_limits<I>::min();
    constexpr I hi = std::numeric_limits<I>::max();
    if (q <= static_cast<float>(lo)) return lo;
    if (q >= static_cast<float>(hi)) return hi;  // 2^31 (2^32) as float is already out of range
    return static_cast<I>(q);
}

}  // namespace can_codec_detail

template <typename T>
void canSetSignal(can_frame_data& frame, const T& value, unsigned char startBit, unsigned char length,
                  bool littleEndian) {
    using namespace can_codec_detail;
    const unsigned s = fieldShift(startBit, length, littleEndian);
    const uint64_t mask = fieldMask(length) << s;
    uint64_t w = loadWord(frame, littleEndian);
    w = (toRaw(value) << s) | (w & ~mask);
    storeWord(frame, w, littleEndian);
}

// Stores (value - offset) / scale, computed in single precision and
// converted toward zero with saturation, as the raw type T.
template <typename T>
void canSetSignal(can_frame_data& frame, const float& value, unsigned char startBit, unsigned char length,
                  bool littleEndian, float scale, float offset) {
    using namespace can_codec_detail;
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>, "scaled signals are integers");
    const float q = (value - offset) / scale;
    T raw;
    if constexpr (std::is_signed_v<T>) {
        raw = static_cast<T>(saturate32<int32_t>(q));
    } else {
        raw = static_cast<T>(saturate32<uint32_t>(q));
    }
    canSetSignal<T>(frame, raw, startBit, length, littleEndian);
}

template <typename T>
T canGetSignal(can_frame_data frame, unsigned char startBit, unsigned char length, bool littleEndian) {
    using namespace can_codec_detail;
    const unsigned s = fieldShift(startBit, length, littleEndian);
    const uint64_t w = loadWord(frame, littleEndian);
    return fromRaw<T>((w >> s) & fieldMask(length));
}

#endif
