#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "quorvel_transport/can_device_type.hpp"
#include "quorvel_transport/can_helpers.hpp"
#include "quorvel_transport/config.hpp"
#include "test_transport.hpp"

using qt_test::dataBytes;
using Bytes = std::array<uint8_t, 8>;

TEST(FrameRecord, IdentifierComposition) {
    // Fields: id_type, rtr, error, device_type, broadcast_type, device_id, cmd_id.
    EXPECT_EQ(setNodeIDForFrame({1, 1, 0, 0, 1, 0, 1}), 0xC2000001u);
    can_frame_data f{};
    f.can_id = setNodeIDForFrame({1, 0, 0, 5, 0, 0x3FFFF, 0x7F});
    EXPECT_EQ(f.can_id, 0x95FFFFFFu);
    EXPECT_EQ(getDeviceTypeFromFrame(&f), 5);
    EXPECT_EQ(getDeviceIdFromFrame(&f), 0x3FFFFu);
    EXPECT_EQ(getCommandIdFromFrame(&f), 0x7F);
    EXPECT_EQ(getExtFromFrame(&f), 1);
    EXPECT_EQ(getRtrFromFrame(&f), 0);
    EXPECT_EQ(getExtendedIdFromFrame(&f), f.can_id & 0x1FFFFFFFu);
}

// Field placement does not depend on the value's type, so one wide type
// covers every layout; startBit and length pick the branch.
TEST(SignalCodec, FieldPlacementTable) {
    const struct {
        uint8_t fill; uint64_t value; unsigned char start, length; bool little; Bytes want; uint64_t readBack;
    } rows[] = {
        // Clears only its own bits at an odd position.
        {0xFF, 0x000, 4, 12, true, {0x0F, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x000},
        {0x00, 0xABC, 4, 12, true, {0xC0, 0xAB, 0, 0, 0, 0, 0, 0}, 0xABC},
        // A value wider than its field is OR-ed into the bits above it.
        {0x00, 0xFF, 0, 4, true, {0xFF, 0, 0, 0, 0, 0, 0, 0}, 0xF},
        // A field that runs past bit 63 loses the high bits.
        {0x00, 0xFFFFFFFF, 56, 32, true, {0, 0, 0, 0, 0, 0, 0, 0xFF}, 0xFF},
        {0xFF, 0xABC, 0, 0, true, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0},  // an empty field
        {0x00, 0x0123456789ABCDEF, 0, 64, true, {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}, 0x0123456789ABCDEF},
        // startBit 64 wraps to bit 0.
        {0x00, 0xBEEF, 64, 16, true, {0xEF, 0xBE, 0, 0, 0, 0, 0, 0}, 0xBEEF},
        {0x00, 0x34, 56, 8, false, {0, 0, 0, 0, 0, 0, 0, 0x34}, 0x34},
        {0x55, 0xA1B2, 0, 16, false, {0xA1, 0xB2, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}, 0xA1B2},
        // Big-endian shift 64 - 64 - 8 wraps to 56: the first byte.
        {0x00, 0x9C, 64, 8, false, {0x9C, 0, 0, 0, 0, 0, 0, 0}, 0x9C},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        can_frame_data f{};
        std::fill(std::begin(f.data), std::end(f.data), r.fill);
        canSetSignal<uint64_t>(f, r.value, r.start, r.length, r.little);
        EXPECT_EQ(dataBytes(f), r.want);
        EXPECT_EQ(canGetSignal<uint64_t>(f, r.start, r.length, r.little), r.readBack);
    }
}

TEST(SignalCodec, ScaledWritesTruncateAndSaturate) {
    auto scaled = [](auto tag, float value, float scale) {
        using T = decltype(tag);
        can_frame_data f{};
        canSetSignal<T>(f, value, 0, sizeof(T) * 8, true, scale, 0.0f);
        return canGetSignal<T>(f, 0, sizeof(T) * 8, true);
    };
    EXPECT_EQ(scaled(uint8_t{}, 30.0f, 0.1f), 44);  // 300 keeps its low 8 bits
    EXPECT_EQ(scaled(uint8_t{}, -1.0f, 0.1f), 0);
    // 32 bits wide: an unchecked NaN conversion gives INT32_MIN, whose low 16 bits are 0.
    EXPECT_EQ(scaled(int32_t{}, std::nanf(""), 0.1f), 0);
    // Saturation at the 32-bit range, then the low 16 bits: all ones.
    EXPECT_EQ(scaled(uint16_t{}, 1e30f, 0.1f), 0xFFFF);
    EXPECT_EQ(scaled(short{}, std::numeric_limits<float>::infinity(), 1.0f), -1);

    can_frame_data off{};
    canSetSignal<short>(off, 12.0f, 16, 16, true, 0.5f, 2.0f);
    EXPECT_EQ(canGetSignal<short>(off, 16, 16, true), 20);
    EXPECT_EQ(off.data[0], 0);
}

TEST(LibraryBasics, VersionBitRatesAndDeviceBase) {
    EXPECT_EQ(getLibraryVersion(), "0.1.10-beta");
    for (int i = 0; i < 9; ++i) EXPECT_EQ(baudrate_from_value(CAN_BAUDRATE_VALUE[i]), static_cast<CANBaudRate>(i));
    struct Bare : CANDeviceType {
        void canMsgCallback(can_frame_data*) override {}
    } bare;
    EXPECT_EQ(bare.getId(), 0xFFFFFFFFu);
}
