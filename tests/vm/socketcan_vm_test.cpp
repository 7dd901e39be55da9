// CANInterface against the kernel's CAN stack: what only a real one can
// show (the rest is tested in-process). Needs vcan0 and root (to add a test
// interface). Run it through tests/vm/run_in_vm.sh.

#include <gtest/gtest.h>
#include <fcntl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "quorvel_transport/can_interface.hpp"
#include "quorvel_transport/driver.hpp"
#include "recording_device.hpp"
#include "sim_device.hpp"
#include "vcan_socket.hpp"

using namespace qt_test;
using Clock = std::chrono::steady_clock;

namespace {

long msSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<Millis>(Clock::now() - start).count());
}

// Identifier, length and the data bytes within the length.
void expectSameOnWire(const can_frame_data& got, const can_frame_data& want) {
    EXPECT_EQ(std::make_pair(got.can_id, got.can_dlc), std::make_pair(want.can_id, want.can_dlc)) << describe(want);
    const size_t n = want.can_id & CAN_RTR_FLAG ? 0 : want.can_dlc;  // a remote frame carries no data
    EXPECT_EQ(std::memcmp(got.data, want.data, n), 0) << describe(want);
}

class SocketCanTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(if_nametoindex("vcan0"), 0u) << "vcan0 missing: run this through tests/vm/run_in_vm.sh";
        ASSERT_TRUE(peer.ok());
        bus.setOutputLogStream(&log);
    }
    LogCapture log;
    CANInterface bus;
    VcanSocket peer;
};

TEST_F(SocketCanTest, InitTakesExistingNamesOnlyAndClosesOnlyItsOwnSocket) {
    EXPECT_TRUE(bus.init("vcan0"));
    EXPECT_TRUE(log.contains("Socket create success!!\n"));
    bus.closeIface();
    // The freed descriptor number goes to the next socket; a second close
    // must leave that one alone.
    VcanSocket next;
    ASSERT_TRUE(next.ok());
    bus.closeIface();
    EXPECT_NE(::fcntl(next.fd(), F_GETFD), -1);

    // 15 characters is the longest name the kernel takes; a longer one must
    // not be cut back to an existing interface, nor one with a NUL in it.
    const std::string longest = "vcanlongname015";
    ASSERT_EQ(std::system(("ip link add dev " + longest + " type vcan").c_str()), 0);
    EXPECT_TRUE(bus.init(longest));
    for (const std::string& name : {std::string("vcan7"), longest + "X", std::string(300, 'v'), std::string("vcan0\0x", 7)}) {
        log.clear();
        EXPECT_FALSE(bus.init(name)) << name.size() << " characters";
        EXPECT_TRUE(log.contains("Cannot link socket with interface " + name + ". Does the interface exist ?\n"));
    }
    std::system(("ip link del dev " + longest).c_str());
}

TEST_F(SocketCanTest, FramesCrossTheKernelByteForByteBothWaysAndDoNotComeBack) {
    // Node 0x155 command 70; an 11-bit identifier is taken apart by the same
    // layout: 0x2C5 is node 5, command 69.
    RecordingDevice mid(0x155), five(5);
    bus.registerCANMsgCallback(&mid);
    bus.registerCANMsgCallback(&five);
    ASSERT_TRUE(startAndWaitRunning(bus));
    const std::vector<can_frame_data> sent = {
        makeFrame(0x2ABCD, 70, {0x00, 0xFF, 0x80, 0x7F, 0x01, 0x10, 0xA5, 0x5A}),
        makeFrame(0x3FFFF, 127, {}, 8, true),            // remote request, length 8
        makeFrame(1, 3, {}, 0),                          // empty data frame
        makeFrame(77, 48, {0xC3, 0x01, 0xEE, 0xEE}, 2),  // bytes past the length
        rawFrame(0x123, {0x01, 0x02, 0xFF}),             // standard identifier: node 2
    };
    for (can_frame_data f : sent) ASSERT_TRUE(bus.sendFrame(&f)) << describe(f);
    for (const can_frame_data& want : sent) {
        can_frame_data got{};
        do {
            ASSERT_TRUE(peer.recv(got, Millis(3000))) << describe(want);
        } while (isMasterHeartbeat(got));
        expectSameOnWire(got, want);
    }
    const std::vector<std::pair<RecordingDevice*, can_frame_data>> received = {
        {&mid, makeFrame(0x155, 70, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77})},
        {&mid, makeFrame(0x155, 70, {0xFF, 0x80}, 2)},
        {&mid, makeFrame(0x155, 70, {}, 0)},
        {&mid, makeFrame(0x155, 70, {}, 8, true)},
        {&five, rawFrame(0x2C5, {0x01})},
    };
    for (const auto& [target, frame] : received) {
        const size_t n = target->count() + 1;
        ASSERT_TRUE(peer.send(frame));
        can_frame_data got{};
        ASSERT_TRUE(target->waitFor(n, &got)) << describe(frame);
        expectSameOnWire(got, frame);
    }
    // An echo of our own frames would be logged as one for an unknown node.
    EXPECT_FALSE(log.contains("Unknown Device ID")) << log.text();
}

// The master heartbeat crosses the kernel every 200 ms (about 10 in 2 s);
// a node's heartbeat makes it present with its device type, and about a
// second of silence drops it.
TEST_F(SocketCanTest, MasterHeartbeatAndPresenceThroughTheKernel) {
    ASSERT_TRUE(startAndWaitRunning(bus));
    ASSERT_TRUE(peer.send(heartbeatFrame(42, 3)));
    const auto beat = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return bus.isDeviceConnected(42); }));
    EXPECT_EQ(bus.getConnectedDevices(), (std::map<unsigned int, unsigned char>{{42, 3}}));
    int beats = 0;
    Clock::time_point lost{};
    while (msSince(beat) < 2000 || lost == Clock::time_point{}) {
        ASSERT_LT(msSince(beat), 2500) << "silence did not drop the node";
        if (lost == Clock::time_point{} && !bus.isDeviceConnected(42)) lost = Clock::now();
        can_frame_data f{};
        if (msSince(beat) >= 2000 || !peer.recv(f, Millis(20)) || !isMasterHeartbeat(f)) continue;
        ++beats;
        EXPECT_EQ(std::make_pair(f.can_dlc, dataBytes(f)), std::make_pair(uint8_t{1}, std::array<uint8_t, 8>{}));
    }
    EXPECT_TRUE(beats >= 8 && beats <= 11) << beats << " heartbeats in 2 s";
    EXPECT_GE(lost - beat, Millis(1000));
}

// A log stream that throws ends the heartbeat thread (the failed send's line,
// on a link that is down); the destructor logs it and returns.
TEST_F(SocketCanTest, DestroyedAfterAThreadEndedByAnExceptionReturns) {
    ASSERT_EQ(std::system("ip link add dev vcandown type vcan"), 0);  // left down
    {
        ThrowingStream failing;
        CANInterface down;
        ASSERT_TRUE(down.initInterface("vcandown"));
        down.setOutputLogStream(&failing);
        EXPECT_TRUE(waitUntil([&] { return failing.written(); }));
        down.setOutputLogStream(&log);
    }
    EXPECT_TRUE(log.contains("Exception while closing the interface: ")) << log.text();
    std::system("ip link del dev vcandown");
}

TEST_F(SocketCanTest, DriverReadRoundTripsAgainstASimulatedDriver) {
    // Bus voltage and current as a driver packs them; a new voltage each
    // time, so that a stale reply cannot pass.
    std::atomic<int> served{0};
    AnsweringPeer simulated(0x21, 70, [&](uint8_t* data) {
        std::memcpy(data, Payload().put(24.0f + 0.5f * static_cast<float>(++served)).put(-1.25f).bytes().data(), 8);
    });
    ASSERT_TRUE(simulated.ok());
    ASSERT_TRUE(startAndWaitRunning(bus));
    Driver driver(0x21, &bus);
    ASSERT_TRUE(waitUntil([&] { return driver.isConnected(); }));
    for (int i = 0; i < 10; ++i) {
        float voltage = 0, current = 0;
        ASSERT_EQ(driver.getBusVoltage(&voltage), RET_SUCCESS) << "read " << i;
        ASSERT_EQ(driver.getBusCurrent(&current), RET_SUCCESS) << "read " << i;
        EXPECT_EQ(std::make_pair(voltage, current), std::make_pair(24.5f + static_cast<float>(i), -1.25f));
    }
    EXPECT_EQ(served.load(), 20);
}

// Counts the receive thread's calls into the transport.
class CountingCANInterface : public CANInterface {
public:
    // The receive thread calls the override: stop it before this class goes.
    ~CountingCANInterface() { closeInterface(); }
    bool recvData(can_frame_data* frame) override {
        calls.fetch_add(1);
        return CANInterface::recvData(frame);
    }
    std::atomic<long> calls{0};
};

// CPU time of the whole process over two idle seconds, in microseconds.
long idleCost(const char* what) {
    const std::clock_t before = std::clock();
    std::this_thread::sleep_for(Millis(2000));
    const long cpu = static_cast<long>((std::clock() - before) * 1000000.0 / CLOCKS_PER_SEC);
    std::printf("%s: idle for 2 s: %ld us of CPU\n", what, cpu);
    return cpu;
}

TEST_F(SocketCanTest, IdleInterfaceCostsNoMoreThanABareThreadAndClosesAtOnce) {
    CountingCANInterface idle;
    ASSERT_TRUE(startAndWaitRunning(idle));
    long calls = -idle.calls.load();
    const long library = idleCost("interface");
    std::printf("interface: %ld receive calls\n", calls += idle.calls.load());
    const auto closing = Clock::now();
    EXPECT_TRUE(idle.closeInterface());
    EXPECT_LT(msSince(closing), 400);
    EXPECT_FALSE(idle.isRunning());

    // The same pattern without the library: a thread that sends a frame
    // every 200 ms and sleeps in poll on the socket in between.
    std::atomic<bool> stop{false};
    std::thread bare([&] {
        VcanSocket socket;
        can_frame_data f{};
        while (!stop.load()) {
            socket.send(rawFrame(0xC2000001u, 1, {0}));
            const auto due = Clock::now() + Millis(200);
            while (!stop.load() && Clock::now() < due) socket.recv(f, Millis(200));
        }
    });
    const long baseline = idleCost("bare thread");
    stop.store(true);
    bare.join();

    // Spin detector: a receive thread that polls makes dozens of calls (one
    // per 50 ms wait) or millions; a sleeping one makes none.
    EXPECT_LE(calls, 3);
    // The interface's own work (routing, the presence walk) costs little
    // beside the bare pattern; 2 ms is the noise of emulated timers.
    EXPECT_LE(library, 2 * baseline + 2000) << "bare thread: " << baseline << " us";
}

}  // namespace
