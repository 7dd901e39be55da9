#include "test_transport.hpp"

#include <gtest/gtest.h>

#include <cstdio>

namespace qt_test {

can_frame_data makeFrame(uint32_t nodeId, uint8_t cmdId, const std::vector<uint8_t>& data, uint8_t dlc, bool rtr,
                         uint8_t deviceType) {
    const can_node_id id{1, rtr, 0, deviceType, 0, nodeId, cmdId};  // extended, no error, no broadcast
    return rawFrame(setNodeIDForFrame(id), dlc, data);
}

std::string describe(const can_frame_data& frame) {
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "id=%08X dlc=%u data=", frame.can_id, frame.can_dlc);
    for (int i = 0; i < 8; ++i) n += std::snprintf(buf + n, sizeof buf - n, "%02X", frame.data[i]);
    return buf;
}

can_frame_data rawFrame(uint32_t canId, uint8_t dlc, const std::vector<uint8_t>& data) {
    can_frame_data f{};
    f.can_id = canId;
    f.can_dlc = dlc;
    for (size_t i = 0; i < data.size() && i < sizeof f.data; ++i) f.data[i] = data[i];
    return f;
}

void expectSameFrame(const can_frame_data& got, const can_frame_data& want) {
    EXPECT_EQ(got.can_id, want.can_id) << std::hex << got.can_id;
    EXPECT_EQ(got.can_dlc, want.can_dlc);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(got.data[i], want.data[i]) << "data byte " << i;
}

std::array<uint8_t, 8> dataBytes(const can_frame_data& frame) {
    std::array<uint8_t, 8> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = frame.data[i];
    return bytes;
}

bool waitUntil(const std::function<bool()>& done, Millis timeout, Millis period) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(period);
    }
    return true;
}

}  // namespace qt_test
