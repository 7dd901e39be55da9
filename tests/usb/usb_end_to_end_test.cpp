// A motor driver object reached through the whole USB path: Driver ->
// USBInterface -> pseudo-terminal -> simulated adapter -> simulated driver,
// and the reply back the same way.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "quorvel_transport/driver.hpp"
#include "sim_adapter.hpp"
#include "sim_device.hpp"
#include "test_transport.hpp"
#include "quorvel_transport/usb_interface.hpp"

using qt_test::Millis;
using qt_test::Payload;
using Clock = std::chrono::steady_clock;

TEST(UsbEndToEnd, DriverReadsAndCommandsTravelThroughTheAdapter) {
    qt_test::withAdapter(true, [](qt_test::SimAdapter& adapter, USBInterface& usb, qt_test::LogCapture&) {
        qt_test::SimDevice device(adapter.bus(), 5, 1);
        device.startHeartbeats(Millis(100));
        ASSERT_TRUE(qt_test::waitUntil([&] { return usb.isDeviceConnected(5); }));
        Driver driver(5, &usb);

        device.answer(70, Payload().put<float>(24.5f).put<float>(1.5f).reply());
        float volts = 0.0f;
        ASSERT_EQ(driver.getBusVoltage(&volts), RET_SUCCESS);
        EXPECT_FLOAT_EQ(volts, 24.5f);
        // The request went out as the adapter's remote-request line.
        EXPECT_TRUE(adapter.waitForHostLine("R000002C68" + std::string(16, '0')));
        ASSERT_EQ(device.requests(70).size(), 1u);
        EXPECT_EQ(device.requests(70).front().can_id, 0xC00002C6u);

        EXPECT_EQ(driver.setMotorTorqueLimit(2.5f), RET_SUCCESS);
        ASSERT_TRUE(device.waitForRequests(50, 1));
        const can_frame_data command = device.requests(50).front();
        EXPECT_EQ(command.can_id, 0x80000000u | (5u << 7) | 50u);
        EXPECT_FLOAT_EQ((canGetSignal<float>(command, 0, 32, true)), 2.5f);

        device.silence(70);
        volts = -1.0f;
        const auto start = Clock::now();
        EXPECT_EQ(driver.getBusVoltage(&volts), RET_TIMEOUT);
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GE(took, 0.19);
        EXPECT_LT(took, 1.5);
        EXPECT_FLOAT_EQ(volts, -1.0f);
    });
}
