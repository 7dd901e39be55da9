// Construction, registration and destruction of Driver objects, and several
// objects used from several threads on one interface.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "quorvel_transport/driver.hpp"
#include "sim_device.hpp"

using namespace qt_test;

namespace {

TEST(DriverLifecycle, WithoutNodeIdAndWithoutHeartbeatsThrowsAfterAboutHalfASecond) {
    TestTransport bus;
    ASSERT_TRUE(startAndWaitRunning(bus));
    const auto start = std::chrono::steady_clock::now();
    std::string thrown;
    try {
        Driver driver(&bus);
    } catch (const std::runtime_error& e) {
        thrown = e.what();
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(thrown, "[FATAL ERROR] Driver object is not created");
    EXPECT_GE(elapsed, Millis(450));
    EXPECT_LT(elapsed, Millis(3000));
    EXPECT_TRUE(bus.isDevice());  // single-device mode stays on
    EXPECT_THROW(Driver(nullptr), std::runtime_error);  // and without an interface
}

TEST(DriverLifecycle, WithoutNodeIdTakesTheHeartbeatsNodeId) {
    SimBus sim(77);
    ASSERT_TRUE(sim.ready());
    Driver driver(&sim.bus);
    EXPECT_EQ(driver.getId(), 77u);
    EXPECT_TRUE(driver.isConnected());
    sim.device.answer(70, Payload().put(12.0f).put(0.0f).reply());
    float v = 0;
    ASSERT_EQ(driver.getBusVoltage(&v), RET_SUCCESS);
    EXPECT_EQ(v, 12.0f);
}

// A second object on one node takes the replies until it is destroyed; the
// connection follows the heartbeats, also while another device is flashed.
TEST(DriverLifecycle, RegistrationAndConnection) {
    SimBus sim(4);
    ASSERT_TRUE(sim.ready());
    sim.device.answer(70, Payload().put(24.0f).put(1.5f).reply());
    Driver first(4, &sim.bus);
    auto second = std::make_unique<Driver>(4, &sim.bus);
    float v = 0;
    EXPECT_EQ(first.getBusVoltage(&v), RET_TIMEOUT);
    EXPECT_EQ(second->getBusVoltage(&v), RET_SUCCESS);
    EXPECT_EQ(v, 24.0f);
    second.reset();  // removes the registration under node 4
    EXPECT_EQ(first.getBusVoltage(&v), RET_TIMEOUT);

    Driver driver(4, &sim.bus);
    EXPECT_TRUE(driver.isConnected());
    // This driver's own bootloader flag is clear, so it keeps dispatching the
    // raw frames by command id.
    sim.bus.bootloaderMode = true;
    EXPECT_EQ(driver.getBusCurrent(&v), RET_SUCCESS);
    EXPECT_EQ(v, 1.5f);
    sim.bus.bootloaderMode = false;
    sim.device.stopHeartbeats();
    waitUntil([&] { return !driver.isConnected(); }, Millis(3000));
    EXPECT_FALSE(driver.isConnected());
    EXPECT_EQ(driver.setDeviceToIdle(), RET_NOT_CONNECTED);
}

// Destroying a Driver while its node floods the bus: the receive thread must
// never touch the destroyed object (checked by the sanitizers).
TEST(DriverLifecycle, DestroyedWhileItsNodeKeepsSending) {
    SimBus sim(8, Millis(5));
    ASSERT_TRUE(sim.ready());
    sim.device.answer(70, Payload().put(1.0f).put(2.0f).reply());
    const auto burst = [&sim] {
        for (uint8_t cmd = 60; cmd < 65; ++cmd) sim.device.send(cmd, Payload().put(1.0f).put(2.0f).bytes());
    };
    const int flood = sim.bus.schedule(Millis(0), burst, Millis(1));
    for (int round = 0; round < 50; ++round) {
        Driver driver(8, &sim.bus);
        float v = 0;
        if (round % 5 == 0) { EXPECT_EQ(driver.getBusVoltage(&v), RET_SUCCESS); }
    }
    sim.bus.cancel(flood);
}

// Several threads, each with its own Driver, all on one interface: a value
// never reaches another object than the one whose node sent it.
TEST(DriverConcurrency, ObjectsOnOneInterfaceNeverSeeEachOthersReplies) {
    constexpr int kDevices = 4;
    constexpr int kReads = 150;
    TestTransport bus;
    ASSERT_TRUE(startAndWaitRunning(bus));
    std::vector<std::unique_ptr<SimDevice>> sims;
    for (int n = 0; n < kDevices; ++n) {
        const uint32_t node = 20 + n;
        auto& sim = *sims.emplace_back(std::make_unique<SimDevice>(bus, node));
        sim.startHeartbeats(Millis(50));
        // Node-specific values, in both fields and in the bool reply.
        sim.answer(70, Payload().put(float(node)).put(-float(node)).reply());
        sim.answer(10, Payload().put<unsigned int>(node * 1000).reply());
        sim.answer(81, Payload().putBool(node % 2 == 0).putBool(node % 2 == 1).reply());
    }
    for (int n = 0; n < kDevices; ++n) ASSERT_TRUE(waitForDevice(bus, 20 + n));

    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int n = 0; n < kDevices; ++n) {
        threads.emplace_back([&, n] {
            const uint32_t node = 20 + n;
            Driver driver(node, &bus);
            for (int i = 0; i < kReads; ++i) {
                float voltage = 0, current = 0;
                unsigned int id = 0;
                bool a = false, b = false;
                if (driver.getBusVoltage(&voltage) != RET_SUCCESS || driver.getBusCurrent(&current) != RET_SUCCESS ||
                    driver.getNodeId(&id) != RET_SUCCESS || driver.getMotorState(&a, &b) != RET_SUCCESS) {
                    ++failed;
                    continue;
                }
                wrong += std::make_tuple(voltage, current, id, a, b) !=
                         std::make_tuple(float(node), -float(node), node * 1000, node % 2 == 0, node % 2 == 1);
                if (i % 10 == 0) driver.setPositionControl(static_cast<float>(i), 1.0f);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed.load(), 0);
}

}  // namespace
