#include <gtest/gtest.h>

#include <chrono>

#include "quorvel_transport/can_interface.hpp"
#include "test_transport.hpp"

// These pass on a kernel without CAN (socket creation fails) and on one
// with CAN (the interface does not exist).
class CANInterfaceTest : public ::testing::Test {
protected:
    void SetUp() override { bus.setOutputLogStream(&log); }
    qt_test::LogCapture log;
    CANInterface bus;
};

TEST_F(CANInterfaceTest, StartFailsCleanlyOnAMissingOrOverlongName) {
    // 16 characters no longer fit the kernel's name field with its zero.
    for (const std::string name : {"qtnosuch0", "cccccccccccccccc", "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"}) {
        SCOPED_TRACE(name);
        log.clear();
        EXPECT_FALSE(bus.initInterface(name));
        EXPECT_TRUE(log.contains("Inside CANSocketInit()\n"));
        const bool noCan = log.contains("Cannot create socket, quitting\n");
        const bool noIface = log.contains("Cannot link socket with interface " + name + ". Does the interface exist ?\n");
        EXPECT_TRUE(noCan != noIface) << log.text();
        EXPECT_FALSE(bus.isRunning());
    }
    EXPECT_TRUE(bus.closeInterface());
}

TEST_F(CANInterfaceTest, ClosedTransportFailsFastAndBitRateIsFixed) {
    EXPECT_FALSE(bus.setCANBaudRate(CAN_BAUDRATE_500K));
    can_frame_data f{};
    f.can_id = 0x1234;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(bus.recvData(&f));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_EQ(f.can_id, 0x1234u);
    EXPECT_FALSE(bus.sendData(&f));
    EXPECT_TRUE(log.contains("Problem writing frame, Is your CAN interface 'up'\n"));
    EXPECT_FALSE(bus.sendFrame(&f));
    EXPECT_FALSE(bus.isRunning());
}
