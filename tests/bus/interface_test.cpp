#include <gmock/gmock.h>

#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "quorvel_transport/driver.hpp"
#include "recording_device.hpp"
#include "sim_device.hpp"

using namespace qt_test;
using Clock = std::chrono::steady_clock;
using testing::AllOf, testing::Ge, testing::Le;

namespace {

long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Devices registered in a test must be closed out (closeInterface) before
// the test body's locals go.
class InterfaceTest : public ::testing::Test {
protected:
    void SetUp() override { bus.setOutputLogStream(&log); }
    // The router logs every frame, so a marker frame orders the checks.
    void flushRouter() {
        const unsigned marker = 200000 + flushes++;
        bus.inject(makeFrame(marker, 99));
        ASSERT_TRUE(log.waitFor("Got message...." + std::to_string(marker) + " 99"));
    }
    // Heartbeats of these nodes in one batch, mid-cycle: all of them fall
    // silent 1000 ms before the same drop check, whatever the scheduling
    // jitter. Returns when they were sent.
    Clock::time_point injectHeartbeatsMidCycle(std::initializer_list<unsigned> nodes, uint8_t type = 0) {
        const size_t beats = bus.sentFrames(isMasterHeartbeat).size();
        EXPECT_TRUE(bus.waitForSent(isMasterHeartbeat, beats + 1, Millis(1000)).has_value());
        std::this_thread::sleep_for(Millis(100));
        std::vector<can_frame_data> frames;
        for (unsigned node : nodes) frames.push_back(heartbeatFrame(node, type));
        const auto sentAt = Clock::now();
        bus.inject(frames);
        return sentAt;
    }
    unsigned flushes = 0;
    LogCapture log;
    TestTransport bus;
};

}  // namespace

TEST_F(InterfaceTest, LifecycleHeartbeatAndRunningFlag) {
    std::atomic<int> staleCalls{0};
    bus.setInitResult(false);
    EXPECT_FALSE(bus.initInterface("x", [&](unsigned, unsigned char) { ++staleCalls; }, [&](unsigned) { ++staleCalls; }));
    EXPECT_TRUE(log.contains("Closing CAN Socket\n"));
    EXPECT_EQ(bus.closeCalls(), 1);
    std::this_thread::sleep_for(Millis(250));
    EXPECT_TRUE(bus.sentFrames().empty()) << "no task may run after a failed start";

    bus.setInitResult(true);
    ASSERT_TRUE(startAndWaitRunning(bus));
    EXPECT_FALSE(bus.initInterface("again")) << "a running interface must not start twice";
    for (const char* line : {"Starting receive thread...\n", "Starting heartbeat thread...\n", "CAN Init Success\n",
                             "Inside recvThread() 0\n", "Inside masterheartbeatThread() "})
        EXPECT_TRUE(log.waitFor(line)) << line;
    const auto first = bus.waitForSent(isMasterHeartbeat, 1);
    ASSERT_TRUE(first.has_value());
    expectSameFrame(*first, rawFrame(0xC2000001u, {0x00}));
    bus.inject(heartbeatFrame(4));  // would reach the failed start's callbacks, had they been kept

    // About one every 200 ms: five more take four to six periods, however
    // late this thread got here.
    const size_t sentBefore = bus.sentFrames(isMasterHeartbeat).size();
    auto t0 = Clock::now();
    ASSERT_TRUE(bus.waitForSent(isMasterHeartbeat, sentBefore + 5, Millis(3000)).has_value());
    EXPECT_THAT(msSince(t0), AllOf(Ge(750), Le(1800)));
    EXPECT_EQ(staleCalls.load(), 0);

    // Just after a heartbeat: the heartbeat task is at the start of its pause.
    t0 = Clock::now();
    EXPECT_TRUE(bus.closeInterface());
    EXPECT_LT(msSince(t0), 190) << "closing must not wait out a heartbeat period";
    EXPECT_FALSE(bus.isRunning());
    EXPECT_TRUE(bus.closeInterface());
    EXPECT_EQ(bus.closeCalls(), 3);
    const size_t sentAtClose = bus.sentFrames().size();
    std::this_thread::sleep_for(Millis(300));
    EXPECT_EQ(bus.sentFrames().size(), sentAtClose);

    ASSERT_TRUE(startAndWaitRunning(bus));
    EXPECT_EQ(bus.initCalls(), 3) << "the refused start must not reach the transport";
    // The test transport waits 20 ms per empty receive: about 25 in 500 ms.
    const long before = bus.idleReceives();
    std::this_thread::sleep_for(Millis(500));
    EXPECT_LT(bus.idleReceives() - before, 60) << "the receive thread must wait, not spin";

    bus.setSendResult(false);
    EXPECT_TRUE(waitUntil([&] { return !bus.isRunning(); }, Millis(2000))) << "a failed heartbeat clears it";
    bus.closeInterface();  // no heartbeat may race the sends below
    can_frame_data f = makeFrame(3, 10);
    bus.setSendResult(true);
    EXPECT_TRUE(bus.sendFrame(&f) && bus.isRunning());
    bus.setSendResult(false);
    EXPECT_FALSE(bus.sendFrame(&f) || bus.isRunning());
    bus.setSendResult(true);
    EXPECT_FALSE(bus.sendFrame(nullptr) || bus.isRunning()) << "a null frame leaves the flag as it was";
}

TEST_F(InterfaceTest, SilentNodesDropInAscendingOrderSteadyOnesStay) {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<unsigned, unsigned char>> found;
    std::vector<unsigned> lost;
    ASSERT_TRUE(bus.initInterface(
        "test",
        [&](unsigned node, unsigned char type) { std::lock_guard<std::mutex> lock(m); found.emplace_back(node, type); },
        [&](unsigned node) {
            // Calling back into the interface must not deadlock.
            const auto devices = bus.getConnectedDevices();
            std::lock_guard<std::mutex> lock(m);
            EXPECT_EQ(devices.count(node), 0u);
            lost.push_back(node);
            cv.notify_all();
        }));
    SimDevice steady(bus, 12, 3);
    steady.startHeartbeats(Millis(500));
    ASSERT_TRUE(waitForDevice(bus, 12, Millis(1000)));
    const auto sentAt = injectHeartbeatsMidCycle({30, 5, 17}, 3);
    ASSERT_TRUE(log.waitFor("New Device is sending a heartbeat...from: 30 ; \x03\n"));
    ASSERT_TRUE(waitForDevice(bus, 17, Millis(1000)));
    EXPECT_EQ(bus.getConnectedDevices(), (std::map<unsigned, unsigned char>{{5, 3}, {12, 3}, {17, 3}, {30, 3}}));

    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, Millis(3000), [&] { return lost.size() == 3; }));
    EXPECT_THAT(msSince(sentAt), AllOf(Ge(1001), Le(1500)));
    lock.unlock();
    std::this_thread::sleep_for(Millis(600));  // the steady node has now lived through many drop checks
    lock.lock();
    EXPECT_EQ(lost, (std::vector<unsigned>{5, 17, 30}));
    EXPECT_EQ(found, (std::vector<std::pair<unsigned, unsigned char>>{{12, 3}, {30, 3}, {5, 3}, {17, 3}}));
    lock.unlock();
    EXPECT_EQ(bus.getConnectedDevices(), (std::map<unsigned, unsigned char>{{12, 3}}));
    steady.stopHeartbeats();
    bus.closeInterface();  // before the callbacks' state goes
    EXPECT_TRUE(bus.getConnectedDevices().empty());
}

TEST_F(InterfaceTest, BootloaderModeStopsHeartbeatsAndDrops) {
    ASSERT_TRUE(startAndWaitRunning(bus));
    RecordingDevice a(4), b(9);
    bus.registerCANMsgCallback(&a);
    bus.registerCANMsgCallback(&b);
    bus.inject(heartbeatFrame(4));
    ASSERT_TRUE(a.waitFor(1));

    bus.bootloaderMode = true;
    std::this_thread::sleep_for(Millis(250));  // let a cycle in progress finish
    const size_t heartbeats = bus.sentFrames(isMasterHeartbeat).size();
    // A raw bootloader frame goes to every registered device; no bookkeeping.
    bus.inject(rawFrame(0x79, {0x79}));
    ASSERT_TRUE(a.waitFor(2));
    ASSERT_TRUE(b.waitFor(1));
    EXPECT_EQ(b.received()[0].can_id, 0x79u);
    EXPECT_TRUE(log.waitFor("[FLASH] Got message....121\n"));
    std::this_thread::sleep_for(Millis(1300));
    EXPECT_EQ(bus.sentFrames(isMasterHeartbeat).size(), heartbeats);
    EXPECT_TRUE(bus.isDeviceConnected(4)) << "no drops while flashing";

    bus.bootloaderMode = false;
    ASSERT_TRUE(bus.waitForSent(isMasterHeartbeat, heartbeats + 1, Millis(1000)).has_value());
    EXPECT_TRUE(waitUntil([&] { return !bus.isDeviceConnected(4); }, Millis(1000))) << "drops resume after the update";
    bus.closeInterface();
}

TEST_F(InterfaceTest, FramesGoToTheirNodeOnlyAndALaterRegistrationWins) {
    ASSERT_TRUE(startAndWaitRunning(bus));
    // With no device registered, nothing is logged beyond "Got message".
    bus.inject(makeFrame(8, 30));
    flushRouter();
    EXPECT_TRUE(log.contains("Got message....8 30\n"));
    EXPECT_FALSE(log.contains("Unknown Device ID"));

    struct Thrower : CANDeviceType {
        Thrower() { nodeId = 1; }
        void canMsgCallback(can_frame_data*) override { throw std::runtime_error("boom"); }
    } thrower;
    RecordingDevice dev(5);
    bus.registerCANMsgCallback(&thrower);
    bus.registerCANMsgCallback(&dev);
    bus.inject(makeFrame(1, 50));  // a throwing device must not end routing for the others
    bus.inject(heartbeatFrame(5));
    bus.inject(makeFrame(5, 70, {1, 2, 3}));
    bus.inject(makeFrame(5, 2));   // acknowledgement: never handed on
    bus.inject(makeFrame(6, 70));  // nobody registered under 6
    flushRouter();
    ASSERT_EQ(dev.count(), 2u);
    expectSameFrame(dev.received()[0], heartbeatFrame(5));  // heartbeats are routed too
    expectSameFrame(dev.received()[1], makeFrame(5, 70, {1, 2, 3}));
    EXPECT_TRUE(log.contains("Unknown Device ID 5 or Command ID 2\n"));
    EXPECT_TRUE(log.contains("Unknown Device ID 6 or Command ID 70\n"));

    RecordingDevice replacement(5);
    bus.registerCANMsgCallback(&replacement);
    EXPECT_TRUE(log.contains("Device already exists with same id. Hence updating CANMsgCallback().\n"));
    bus.inject(makeFrame(5, 33));
    ASSERT_TRUE(replacement.waitFor(1));
    // Unregistering the replaced one removes whichever entry the id holds.
    bus.unregisterCANMsgCallback(&dev);
    bus.inject(makeFrame(5, 34));
    ASSERT_TRUE(log.waitFor("Unknown Device ID 5 or Command ID 34"));
    EXPECT_EQ(dev.count(), 2u);
    bus.closeInterface();
}

TEST_F(InterfaceTest, SetAsDeviceGivesUpLearnsAndRoutesToLowestId) {
    ASSERT_TRUE(startAndWaitRunning(bus));
    RecordingDevice seven(7), three(3);
    bus.registerCANMsgCallback(&seven);
    bus.registerCANMsgCallback(&three);
    const auto t0 = Clock::now();
    EXPECT_EQ(bus.setAsDevice(), 0xFFFFFFFFu);
    EXPECT_THAT(msSince(t0), AllOf(Ge(450), Le(5000)));
    EXPECT_TRUE(bus.isDevice()) << "single-device mode stays on";

    // setAsDevice learns from a heartbeat that arrives while it waits.
    bus.injectAfter(heartbeatFrame(12), Millis(100));
    EXPECT_EQ(bus.setAsDevice(), 12u);
    bus.inject(makeFrame(12, 40));
    bus.inject(makeFrame(12, 2));
    flushRouter();
    EXPECT_TRUE(seven.received().empty());
    std::vector<int> commands;
    for (auto f : three.received()) commands.push_back(getCommandIdFromFrame(&f));
    // The heartbeat, command 40 and the marker, all from nodes other than 3;
    // the acknowledgement is dropped.
    EXPECT_EQ(commands, (std::vector<int>{1, 40, 99}));
    EXPECT_FALSE(log.contains("Unknown Device ID"));

    bus.inject(heartbeatFrame(22));
    EXPECT_TRUE(waitUntil([&] { return bus.setAsDevice() == 22u; }, Millis(1000)))
        << "every later heartbeat overwrites the learned id";
    bus.closeInterface();
}

TEST_F(InterfaceTest, NoDeliveryAfterUnregisterReturns) {
    ASSERT_TRUE(startAndWaitRunning(bus));
    std::atomic<bool> stopFeeding{false};
    std::thread feeder([&] {
        while (!stopFeeding) {
            bus.inject(makeFrame(40, 70));
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    for (int round = 0; round < 50; ++round) {
        auto dev = std::make_unique<RecordingDevice>(40);
        bus.registerCANMsgCallback(dev.get());
        std::this_thread::sleep_for(Millis(2));
        bus.unregisterCANMsgCallback(dev.get());
        const size_t atUnregister = dev->count();
        std::this_thread::sleep_for(Millis(1));
        EXPECT_EQ(dev->count(), atUnregister);
        // Destroyed now: ASan and TSan catch any later call.
    }
    stopFeeding = true;
    feeder.join();
}

// What the callbacks throw is logged and changes nothing else: a node is
// reported once, entered and routed; every lost node of a cycle is reported;
// the heartbeat thread goes on sending and dropping; closing returns.
TEST_F(InterfaceTest, ThrowingCallbacksNeitherStopTheThreadsNorLoseNodes) {
    std::mutex m;
    std::vector<unsigned> found, lost;
    const auto lostCount = [&] { return guarded(m, [&] { return lost.size(); }); };
    ASSERT_TRUE(bus.initInterface(
        "test",
        [&](unsigned node, unsigned char) {
            guarded(m, [&] { found.push_back(node); });
            throw std::runtime_error("new " + std::to_string(node));
        },
        [&](unsigned node) {
            guarded(m, [&] { lost.push_back(node); });
            if (node == 17) throw 17;  // not a std::exception
            throw std::runtime_error("lost " + std::to_string(node));
        }));
    RecordingDevice dev(5);
    bus.registerCANMsgCallback(&dev);
    injectHeartbeatsMidCycle({30, 5, 17});
    bus.inject({heartbeatFrame(5), makeFrame(5, 70, {1})});
    ASSERT_TRUE(dev.waitFor(3));
    EXPECT_EQ(getCommandIdFromFrame(&dev.received()[2]), 70u);
    EXPECT_EQ(bus.getConnectedDevices(), (std::map<unsigned, unsigned char>{{5, 0}, {17, 0}, {30, 0}}));
    EXPECT_EQ(guarded(m, [&] { return found; }), (std::vector<unsigned>{30, 5, 17})) << "reported once each";
    EXPECT_TRUE(log.contains("Exception in onNewDevice: new 5\n"));

    ASSERT_TRUE(waitUntil([&] { return lostCount() == 3; }, Millis(3000)));
    EXPECT_EQ(guarded(m, [&] { return lost; }), (std::vector<unsigned>{5, 17, 30}));
    for (const char* line : {"Exception in onDeviceLost: lost 5\n", "Exception in onDeviceLost\n",
                             "Exception in onDeviceLost: lost 30\n"})
        EXPECT_TRUE(log.contains(line)) << line;

    const size_t beats = bus.sentFrames(isMasterHeartbeat).size();
    bus.inject(heartbeatFrame(40));
    ASSERT_TRUE(waitUntil([&] { return lostCount() == 4; }, Millis(3000))) << "drops go on";
    EXPECT_GE(bus.sentFrames(isMasterHeartbeat).size(), beats + 4) << "heartbeats go on";
    EXPECT_TRUE(bus.isRunning());
    EXPECT_NO_THROW(EXPECT_TRUE(bus.closeInterface()));
}

// The interface's and a device's log streams switched between none and two
// streams from another thread while frames flood in and reads run: nothing
// crashes, each line arrives whole in one stream, and once the switch
// returns the stream it replaced gets nothing more.
TEST_F(InterfaceTest, LogStreamsSwitchedUnderTrafficKeepLinesWhole) {
    ASSERT_TRUE(startAndWaitRunning(bus));
    SimDevice sim(bus, 9);
    sim.startHeartbeats(Millis(50));
    sim.answer(70, Payload().put(12.5f).put(0.5f).reply());
    Driver driver(9, &bus);
    ASSERT_TRUE(waitForDevice(bus, 9));

    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, good{0};
    std::thread flood([&] {
        while (!done) {
            bus.inject({makeFrame(9, 99), makeFrame(6, 70), makeFrame(9, 70)});
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    std::thread reader([&] {
        while (!done) {
            float volts = 0;
            const ret_status_t status = driver.getBusVoltage(&volts);
            ++reads;
            if (status == RET_SUCCESS && volts == 12.5f) ++good;
        }
    });
    LogCapture a, b;
    std::ostream* const streams[] = {nullptr, &a, &b};
    const auto until = Clock::now() + Millis(500);
    for (int i = 0; Clock::now() < until; ++i) {
        bus.setOutputLogStream(streams[i % 3]);
        driver.setOutputLogStream(streams[(i + 1) % 3]);
    }
    bus.setOutputLogStream(nullptr);
    driver.setOutputLogStream(nullptr);
    const std::string afterSwitch = a.text() + b.text();
    done = true;
    flood.join();
    reader.join();
    EXPECT_GT(good.load(), 0) << reads.load() << " reads";
    EXPECT_EQ(a.text() + b.text(), afterSwitch) << "written after its stream was replaced";

    const std::regex wholeLine(
        "Got message\\.{4}(6|9) (1|70|99)|Unknown Device ID 6 or Command ID 70|Unknown Command Id\\.|"
        "setting new data received as true");
    for (const LogCapture* capture : {&a, &b}) {
        const std::string text = capture->text();
        EXPECT_GT(text.size(), 0u);
        EXPECT_EQ(text.back(), '\n');
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            ASSERT_TRUE(std::regex_match(line, wholeLine)) << "'" << line << "'";
    }
}
