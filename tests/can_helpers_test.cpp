#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "can_helpers.hpp"
#include "can_device_type.hpp"
#include "config.hpp"

namespace {

can_frame_data filled(uint8_t byte) {
    can_frame_data f{};
    for (auto& b : f.data) b = byte;
    return f;
}

std::array<uint8_t, 8> bytes(const can_frame_data& f) {
    std::array<uint8_t, 8> out;
    std::copy(std::begin(f.data), std::end(f.data), out.begin());
    return out;
}

}  // namespace

TEST(FrameRecord, IdentifierComposition) {
    can_node_id master{};
    master.id_type = 1;
    master.rtr = 1;
    master.broadcast_type = 1;
    master.cmd_id = 1;
    EXPECT_EQ(setNodeIDForFrame(master), 0xC2000001u);

    can_node_id id{};
    id.id_type = 1;
    id.device_type = 5;
    id.device_id = 0x3FFFF;
    id.cmd_id = 0x7F;
    can_frame_data f{};
    f.can_id = setNodeIDForFrame(id);
    EXPECT_EQ(f.can_id, 0x80000000u | (5u << 26) | (0x3FFFFu << 7) | 0x7Fu);
    EXPECT_EQ(getDeviceTypeFromFrame(&f), 5);
    EXPECT_EQ(getDeviceIdFromFrame(&f), 0x3FFFFu);
    EXPECT_EQ(getCommandIdFromFrame(&f), 0x7F);
    EXPECT_EQ(getExtFromFrame(&f), 1);
    EXPECT_EQ(getRtrFromFrame(&f), 0);
    EXPECT_EQ(getExtendedIdFromFrame(&f), f.can_id & 0x1FFFFFFFu);

    // Fields are not masked: an oversized command id spills into the node id.
    can_node_id spill{};
    spill.cmd_id = 0x80;
    EXPECT_EQ(setNodeIDForFrame(spill), 0x80u);
    f.can_id = setNodeIDForFrame(spill);
    EXPECT_EQ(getDeviceIdFromFrame(&f), 1u);
    EXPECT_EQ(getCommandIdFromFrame(&f), 0);

    // A standard frame is taken apart by the same layout.
    f.can_id = 0x123;
    EXPECT_EQ(getCommandIdFromFrame(&f), 0x23);
    EXPECT_EQ(getDeviceIdFromFrame(&f), 2u);
    EXPECT_EQ(getExtFromFrame(&f), 0);
}

TEST(SignalCodec, LittleEndianFieldsKeepNeighbours) {
    can_frame_data f = filled(0xAA);
    f.data[0] = f.data[1] = f.data[2] = f.data[3] = 0;
    canSetSignal<float>(f, 1.0f, 0, 32, true);
    EXPECT_EQ(bytes(f), (std::array<uint8_t, 8>{0x00, 0x00, 0x80, 0x3F, 0xAA, 0xAA, 0xAA, 0xAA}));
    EXPECT_FLOAT_EQ(canGetSignal<float>(f, 0, 32, true), 1.0f);

    // A field at an odd position clears only its own bits.
    can_frame_data g = filled(0xFF);
    canSetSignal<unsigned short>(g, 0x0000, 4, 12, true);
    EXPECT_EQ(bytes(g), (std::array<uint8_t, 8>{0x0F, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    canSetSignal<unsigned short>(g, 0xABC, 4, 12, true);
    EXPECT_EQ(canGetSignal<unsigned short>(g, 4, 12, true), 0xABC);
    EXPECT_EQ(g.data[0], 0xCF);
    EXPECT_EQ(g.data[1], 0xAB);

    // Values wider than their field are OR-ed into the bits above it.
    can_frame_data h{};
    canSetSignal<unsigned char>(h, 0xFF, 0, 4, true);
    EXPECT_EQ(h.data[0], 0xFF);

    // A field that runs past bit 63 loses the high bits.
    can_frame_data k{};
    canSetSignal<unsigned int>(k, 0xFFFFFFFFu, 56, 32, true);
    EXPECT_EQ(bytes(k), (std::array<uint8_t, 8>{0, 0, 0, 0, 0, 0, 0, 0xFF}));
}

TEST(SignalCodec, SignednessAndWidths) {
    can_frame_data f{};
    canSetSignal<unsigned short>(f, 0xFFFF, 8, 16, true);
    EXPECT_EQ(canGetSignal<short>(f, 8, 16, true), -1);
    EXPECT_EQ(canGetSignal<int>(f, 8, 16, true), 65535);
    // A narrower field is not sign-extended.
    can_frame_data g{};
    canSetSignal<short>(g, static_cast<short>(-1), 0, 12, true);
    EXPECT_EQ(canGetSignal<short>(g, 0, 12, true), 4095);

    can_frame_data n{};
    canSetSignal<int>(n, -123456, 8, 32, true);
    EXPECT_EQ(canGetSignal<int>(n, 8, 32, true), -123456);
    EXPECT_EQ(n.data[0], 0);
    EXPECT_EQ(n.data[5], 0);

    can_frame_data b{};
    canSetSignal<bool>(b, true, 33, 1, true);
    EXPECT_EQ(b.data[4], 0x02);
    EXPECT_TRUE(canGetSignal<bool>(b, 33, 1, true));
    EXPECT_FALSE(canGetSignal<bool>(b, 32, 1, true));
}

TEST(SignalCodec, WholeAndEmptyFields) {
    can_frame_data f{};
    canSetSignal<unsigned long>(f, 0x0123456789ABCDEFul, 0, 64, true);
    EXPECT_EQ(bytes(f), (std::array<uint8_t, 8>{0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}));
    EXPECT_EQ(canGetSignal<unsigned long>(f, 0, 64, true), 0x0123456789ABCDEFul);
    EXPECT_EQ(canGetSignal<unsigned long>(f, 0, 0, true), 0ul);
    EXPECT_EQ(canGetSignal<unsigned long>(f, 0, 200, true), 0x0123456789ABCDEFul);

    // startBit 64 wraps to bit 0.
    can_frame_data w{};
    canSetSignal<unsigned short>(w, 0xBEEF, 64, 16, true);
    EXPECT_EQ(w.data[0], 0xEF);
    EXPECT_EQ(w.data[1], 0xBE);
    EXPECT_EQ(canGetSignal<unsigned short>(w, 64, 16, true), 0xBEEF);
}

TEST(SignalCodec, BigEndianFields) {
    can_frame_data f{};
    canSetSignal<unsigned char>(f, 0x12, 0, 8, false);
    canSetSignal<unsigned char>(f, 0x34, 56, 8, false);
    EXPECT_EQ(f.data[0], 0x12);
    EXPECT_EQ(f.data[7], 0x34);
    EXPECT_EQ(canGetSignal<unsigned char>(f, 0, 8, false), 0x12);
    EXPECT_EQ(canGetSignal<unsigned char>(f, 56, 8, false), 0x34);

    can_frame_data g = filled(0x55);
    canSetSignal<unsigned short>(g, 0xA1B2, 0, 16, false);
    EXPECT_EQ(bytes(g), (std::array<uint8_t, 8>{0xA1, 0xB2, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(canGetSignal<unsigned short>(g, 0, 16, false), 0xA1B2);

    // 64 - startBit - length below zero wraps: startBit 64, length 8 is s = -8 -> 56.
    can_frame_data h{};
    canSetSignal<unsigned char>(h, 0x9C, 64, 8, false);
    EXPECT_EQ(h.data[0], 0x9C);
}

TEST(SignalCodec, ScaledWritesTruncateAndSaturate) {
    auto scaled = [](auto tag, float value, float scale) {
        using T = decltype(tag);
        can_frame_data f{};
        canSetSignal<T>(f, value, 0, sizeof(T) * 8, true, scale, 0.0f);
        return canGetSignal<T>(f, 0, sizeof(T) * 8, true);
    };
    EXPECT_EQ(scaled(short{}, 1.5f, 0.1f), 15);
    EXPECT_EQ(scaled(uint8_t{}, 30.0f, 0.1f), 44);  // 300 keeps its low 8 bits
    EXPECT_EQ(scaled(uint8_t{}, -1.0f, 0.1f), 0);
    EXPECT_EQ(scaled(short{}, -2.5f, 0.01f), -250);
    // The single-precision quotient 1.0f / 0.001f is just below 1000.
    EXPECT_EQ(scaled(uint16_t{}, 1.0f, 0.001f), 999);
    EXPECT_EQ(scaled(short{}, -1.9f, 1.0f), -1);
    EXPECT_EQ(scaled(short{}, std::nanf(""), 0.1f), 0);
    // Saturation at the 32-bit range, then the low 16 bits: 0x7FFFFFFF -> 0xFFFF.
    EXPECT_EQ(scaled(uint16_t{}, 1e30f, 0.1f), 0xFFFF);
    EXPECT_EQ(scaled(short{}, -1e30f, 0.1f), 0);  // INT32_MIN keeps its low 16 bits: 0
    EXPECT_EQ(scaled(short{}, std::numeric_limits<float>::infinity(), 1.0f), -1);

    can_frame_data off{};
    canSetSignal<short>(off, 12.0f, 16, 16, true, 0.5f, 2.0f);
    EXPECT_EQ(canGetSignal<short>(off, 16, 16, true), 20);
    EXPECT_EQ(off.data[0], 0);
}

TEST(BaudRate, TableAndReverseLookup) {
    const int expected[9] = {10000, 20000, 50000, 100000, 125000, 250000, 500000, 750000, 1000000};
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(CAN_BAUDRATE_VALUE[i], expected[i]);
        EXPECT_EQ(baudrate_from_value(expected[i]), static_cast<CANBaudRate>(i));
    }
    EXPECT_EQ(static_cast<int>(baudrate_from_value(800000)), -1);
    EXPECT_EQ(static_cast<int>(baudrate_from_value(0)), -1);
    EXPECT_EQ(static_cast<int>(baudrate_from_value(499999)), -1);
}

TEST(LibraryBasics, NullStreamVersionAndDeviceBase) {
    NullStream ns;
    for (int i = 0; i < 1000; ++i) ns << "text " << i << 3.5 << std::endl;
    EXPECT_TRUE(ns.good());
    _ns << "to the global one" << std::endl;
    EXPECT_TRUE(_ns.good());
    EXPECT_EQ(getLibraryVersion(), "0.1.10-beta");

    struct Bare : CANDeviceType {
        void canMsgCallback(can_frame_data*) override {}
    } bare;
    EXPECT_EQ(bare.getId(), 0xFFFFFFFFu);
}
