#include <gtest/gtest.h>

#include <chrono>

#include "can_interface.hpp"
#include "test_transport.hpp"

// These pass on a kernel without CAN (socket creation fails) and on one
// with CAN (the interface does not exist).
class CANInterfaceTest : public ::testing::Test {
protected:
    void SetUp() override { bus.setOutputLogStream(&log); }
    qt_test::LogCapture log;
    CANInterface bus;
};

TEST_F(CANInterfaceTest, StartFailsCleanlyOnAMissingInterface) {
    EXPECT_FALSE(bus.initInterface("qtnosuch0"));
    EXPECT_TRUE(log.contains("Inside CANSocketInit()\n"));
    const bool noCan = log.contains("Cannot create socket, quitting\n");
    const bool noIface = log.contains("Cannot link socket with interface qtnosuch0. Does the interface exist ?\n");
    EXPECT_TRUE(noCan != noIface) << log.text();
    EXPECT_TRUE(log.contains("Closing CAN Socket\n"));
    EXPECT_FALSE(log.contains("CAN Init Success"));
    EXPECT_FALSE(bus.isRunning());
    EXPECT_TRUE(bus.closeInterface());
}

TEST_F(CANInterfaceTest, OverlongNameIsRefused) {
    const std::string name(40, 'x');
    EXPECT_FALSE(bus.init(name));
    EXPECT_TRUE(log.contains("Cannot create socket, quitting\n") ||
                log.contains("Cannot link socket with interface " + name + ". Does the interface exist ?\n"))
        << log.text();
    EXPECT_FALSE(bus.init(std::string(16, 'c')));
    bus.closeIface();
    bus.closeIface();
}

TEST_F(CANInterfaceTest, ClosedTransportFailsFastAndBitRateIsFixed) {
    for (int r = CAN_BAUDRATE_10K; r <= CAN_BAUDRATE_1M; ++r) {
        EXPECT_FALSE(bus.setCANBaudRate(static_cast<CANBaudRate>(r)));
    }
    can_frame_data f{};
    f.can_id = 0x1234;
    const can_frame_data before = f;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(bus.recvData(&f));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_EQ(f.can_id, before.can_id);
    EXPECT_FALSE(bus.sendData(&f));
    EXPECT_TRUE(log.contains("Problem writing frame, Is your CAN interface 'up'\n"));
    EXPECT_FALSE(bus.sendFrame(&f));
    EXPECT_FALSE(bus.isRunning());
}
