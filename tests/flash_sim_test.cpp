// The simulated bootloader that the firmware update tests rely on: it must
// refuse what a real one refuses, or those tests could not fail. Driven here
// by raw frames on a TestTransport that is not started, its replies read back
// with recvData.

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "sim_bootloader.hpp"

using namespace qt_test;

namespace {

constexpr uint32_t kNode = 0x33;
constexpr uint8_t kAck = SimBootloader::kAck, kNack = SimBootloader::kNack;

class SimBootloaderTest : public ::testing::Test {
protected:
    // Sends `frame`, if any, and returns the first byte of the reply that
    // comes within `wait`, if any.
    std::optional<uint8_t> exchange(std::optional<can_frame_data> frame, Millis wait = Millis(200)) {
        if (frame) bus.sendFrame(&*frame);
        can_frame_data in{};
        for (const auto end = std::chrono::steady_clock::now() + wait; std::chrono::steady_clock::now() < end;) {
            if (bus.recvData(&in)) return in.data[0];
        }
        return std::nullopt;
    }

    TestTransport bus;
    SimBootloader boot{bus, kNode, true};
};

TEST_F(SimBootloaderTest, HearsOnlyFramesAtItsOwnRate) {
    EXPECT_EQ(exchange(rawFrame(0x79, {})), std::nullopt);  // host still at 500 kbit/s
    EXPECT_EQ(boot.unheardFrames(), 1);
    bus.setCANBaudRate(CAN_BAUDRATE_125K);
    EXPECT_EQ(exchange(rawFrame(0x79, {})), kAck);
    // Speed code 3: acknowledged at once, and again only after the host has
    // switched to 500 kbit/s.
    EXPECT_EQ(exchange(rawFrame(0x03, {3})), kAck);
    EXPECT_EQ(exchange(std::nullopt, Millis(100)), std::nullopt);
    bus.setCANBaudRate(CAN_BAUDRATE_500K);
    EXPECT_EQ(exchange(std::nullopt), kAck);
    EXPECT_EQ(exchange(rawFrame(0x79, {})), kAck);
    EXPECT_EQ(boot.protocolErrors(), 0);
}

TEST_F(SimBootloaderTest, WriteMustCarryExactlyTheAnnouncedBytes) {
    bus.setCANBaudRate(CAN_BAUDRATE_125K);
    EXPECT_EQ(exchange(rawFrame(0x31, {0x00, 0x00, 0x10, 0x00, 0x09})), kAck);  // 10 bytes
    EXPECT_EQ(exchange(rawFrame(0x04, {1, 2, 3, 4, 5, 6, 7, 8})), kAck);
    // 8 more would overrun the announced 10.
    EXPECT_EQ(exchange(rawFrame(0x04, {9, 10, 11, 12, 13, 14, 15, 16})), kNack);
    EXPECT_EQ(boot.protocolErrors(), 1);
    EXPECT_TRUE(boot.memory().empty());

    EXPECT_EQ(exchange(rawFrame(0x31, {0x00, 0x00, 0x20, 0x00, 0x02})), kAck);  // 3 bytes
    EXPECT_EQ(exchange(rawFrame(0x04, {0xA, 0xB, 0xC})), kAck);
    EXPECT_EQ(exchange(std::nullopt), kAck);  // programmed
    EXPECT_EQ(boot.memory(), (std::map<uint32_t, uint8_t>{{0x2000, 0xA}, {0x2001, 0xB}, {0x2002, 0xC}}));
    // Data without a write command is refused; go starts the image.
    EXPECT_EQ(exchange(rawFrame(0x04, {1})), kNack);
    EXPECT_EQ(exchange(rawFrame(0x21, {0x00, 0x00, 0x20, 0x00})), kAck);
    EXPECT_EQ(boot.goAddress(), std::optional<uint32_t>(0x2000));
    EXPECT_FALSE(boot.inBootloader());
}

TEST_F(SimBootloaderTest, EraseTakesCountThenSectorsThenReportsDone) {
    bus.setCANBaudRate(CAN_BAUDRATE_125K);
    EXPECT_EQ(exchange(rawFrame(0x43, {1})), kAck);  // two sectors
    EXPECT_EQ(exchange(rawFrame(0x43, {4})), kAck);
    EXPECT_TRUE(boot.erasedSectors().empty());
    EXPECT_EQ(exchange(rawFrame(0x43, {7})), kAck);
    EXPECT_EQ(exchange(std::nullopt), kAck);
    EXPECT_EQ(boot.erasedSectors(), (std::vector<uint8_t>{4, 7}));
    EXPECT_EQ(exchange(rawFrame(0x43, {0xFF})), kNack);  // no global erase
}

TEST_F(SimBootloaderTest, FaultsReplaceTheChosenReply) {
    bus.setCANBaudRate(CAN_BAUDRATE_125K);
    boot.failAt(BootStep::Sync, BootFault::Nack, 2);
    boot.failAt(BootStep::Go, BootFault::Silence, 0);
    EXPECT_EQ(exchange(rawFrame(0x79, {})), kAck);
    EXPECT_EQ(exchange(rawFrame(0x79, {})), kNack);
    EXPECT_EQ(exchange(rawFrame(0x79, {})), kAck);
    EXPECT_EQ(exchange(rawFrame(0x21, {0, 0, 0, 0})), std::nullopt);
    EXPECT_FALSE(boot.goAddress().has_value());
}

TEST(SimBootloaderEnter, Command127ToItsNodeStartsTheBootloader) {
    TestTransport bus;
    SimBootloader boot(bus, kNode);
    bus.setCANBaudRate(CAN_BAUDRATE_125K);
    can_frame_data sync = rawFrame(0x79, {});
    bus.sendFrame(&sync);
    EXPECT_EQ(boot.unheardFrames(), 1);  // the application does not speak the protocol
    can_frame_data other = makeFrame(kNode + 1, 127, {}, 0);
    bus.sendFrame(&other);
    EXPECT_FALSE(boot.inBootloader());
    can_frame_data enter = makeFrame(kNode, 127, {}, 0);
    bus.sendFrame(&enter);
    EXPECT_TRUE(boot.inBootloader());
    EXPECT_EQ(boot.enterRequests(), 1);
}

}  // namespace
