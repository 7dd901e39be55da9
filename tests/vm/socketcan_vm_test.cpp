// CANInterface against the kernel's CAN stack: needs vcan0, root (to add test
// interfaces) and can-utils. Run it through tests/vm/run_in_vm.sh.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "quorvel_transport/can_interface.hpp"
#include "quorvel_transport/driver.hpp"
#include "recording_device.hpp"
#include "test_transport.hpp"
#include "vcan_socket.hpp"

using namespace qt_test;
using Clock = std::chrono::steady_clock;

namespace {

int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long ms(Clock::duration d) { return static_cast<long>(std::chrono::duration_cast<Millis>(d).count()); }
long msSince(Clock::time_point start) { return ms(Clock::now() - start); }

// A virtual CAN interface, left down, that exists for one test.
class ScratchVcan {
public:
    explicit ScratchVcan(std::string name)
        : name_(std::move(name)), ok_(shell("ip link add dev " + name_ + " type vcan") == 0) {}
    ~ScratchVcan() { shell("ip link del dev " + name_); }
    bool ok() const { return ok_; }

private:
    const std::string name_;
    const bool ok_;
};

// The frame as candump -L prints it and cansend takes it.
std::string canText(const can_frame_data& f) {
    char s[40];
    int n = (f.can_id & CAN_EFF_FLAG) ? std::snprintf(s, sizeof s, "%08X#", f.can_id & CAN_EFF_MASK)
                                      : std::snprintf(s, sizeof s, "%03X#", f.can_id & CAN_SFF_MASK);
    if (f.can_id & CAN_RTR_FLAG) return std::string(s) + "R" + (f.can_dlc > 0 ? std::to_string(f.can_dlc) : "");
    for (int i = 0; i < f.can_dlc && i < 8; ++i) n += std::snprintf(s + n, sizeof s - n, "%02X", f.data[i]);
    return s;
}

// Receivers bound on vcan0, from the CAN core's own table.
int vcan0Receivers() {
    std::ifstream in("/proc/net/can/rcvlist_all");
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += line.find("vcan0") != std::string::npos ? 1 : 0;
    return n;
}

class SocketCanTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(if_nametoindex("vcan0"), 0u) << "vcan0 missing: run this through tests/vm/run_in_vm.sh";
        bus.setOutputLogStream(&log);
    }
    void TearDown() override { bus.closeInterface(); }

    bool startAndWaitRunning() {
        auto note = [this](const std::string& event) {
            std::lock_guard<std::mutex> lock(eventsMutex);
            events.emplace_back(event, Clock::now());
        };
        return qt_test::startAndWaitRunning(
            bus, [=](unsigned int id, unsigned char type) { note("new " + std::to_string(id) + " " + std::to_string(type)); },
            [=](unsigned int id) { note("lost " + std::to_string(id)); });
    }
    bool waitForEvents(size_t n, Millis timeout) {
        return waitUntil([&] {
            std::lock_guard<std::mutex> lock(eventsMutex);
            return events.size() >= n;
        }, timeout);
    }

    LogCapture log;
    CANInterface bus;
    std::mutex eventsMutex;
    std::vector<std::pair<std::string, Clock::time_point>> events;
};

TEST_F(SocketCanTest, InitTakesExistingNamesOnlyAndADownLinkFailsSendsAtOnce) {
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
    // not be cut back to an existing interface.
    const std::string longest = "vcanlongname015";
    ScratchVcan down(longest);
    ASSERT_TRUE(down.ok());
    ASSERT_TRUE(bus.init(longest));
    can_frame_data frame = makeFrame(5, 20, {1, 2, 3});
    const auto start = Clock::now();
    EXPECT_FALSE(bus.sendData(&frame));
    EXPECT_LT(msSince(start), 500);
    EXPECT_TRUE(log.contains("Problem writing frame, Is your CAN interface 'up'\n"));

    for (const std::string& name : {std::string("vcan7"), longest + "X", std::string(300, 'v'), std::string("vcan0\0x", 7)}) {
        log.clear();
        EXPECT_FALSE(bus.init(name)) << name.size() << " characters";
        EXPECT_TRUE(log.contains("Cannot link socket with interface " + name + ". Does the interface exist ?\n"));
    }

    // A failed start leaves the interface restartable.
    EXPECT_FALSE(bus.initInterface("vcan7"));
    EXPECT_FALSE(bus.isRunning());
    log.clear();
    ASSERT_TRUE(startAndWaitRunning());
    EXPECT_TRUE(log.contains("CAN Init Success\n"));
}

TEST_F(SocketCanTest, SentFramesReachCandumpByteForByteAndDoNotComeBack) {
    const std::vector<can_frame_data> frames = {
        makeFrame(0x2ABCD, 70, {0x00, 0xFF, 0x80, 0x7F, 0x01, 0x10, 0xA5, 0x5A}),
        makeFrame(0x3FFFF, 127, {}, 8, true),            // remote request, length 8
        makeFrame(1, 2, {}, 0),                          // empty data frame
        makeFrame(77, 48, {0xC3, 0x01, 0xEE, 0xEE}, 2),  // bytes past the length
        rawFrame(0x123, {0x01, 0x02, 0xFF}),             // standard identifier
    };
    // With no receiver at all the table still names vcan0 once, so one more
    // socket keeps the count below honest.
    VcanSocket bound;
    ASSERT_TRUE(bound.ok());
    const int before = vcan0Receivers();
    FILE* candump = ::popen(("candump -L -n " + std::to_string(frames.size()) + " vcan0").c_str(), "r");
    ASSERT_NE(candump, nullptr);
    ASSERT_TRUE(waitUntil([&] { return vcan0Receivers() > before; }, Millis(10000))) << "candump did not bind";

    ASSERT_TRUE(bus.init("vcan0"));
    for (can_frame_data f : frames) ASSERT_TRUE(bus.sendData(&f)) << describe(f);
    std::string dumped;
    char line[256];
    while (std::fgets(line, sizeof line, candump) != nullptr) dumped += line;
    EXPECT_EQ(::pclose(candump), 0);
    std::istringstream lines(dumped);
    for (const can_frame_data& sent : frames) {
        std::string stamp, device, text;
        ASSERT_TRUE(lines >> stamp >> device >> text) << dumped;
        EXPECT_EQ(device, "vcan0");
        EXPECT_EQ(text, canText(sent)) << describe(sent);
    }

    // Every socket has the frames by now, so an echo of our own would be
    // queued. An idle receive ends in bounded time and leaves the frame be.
    can_frame_data frame;
    std::memset(&frame, 0x5C, sizeof frame);
    const can_frame_data untouched = frame;
    const auto start = Clock::now();
    EXPECT_FALSE(bus.recvData(&frame));
    EXPECT_LT(msSince(start), 1000);
    EXPECT_EQ(std::memcmp(&frame, &untouched, sizeof frame), 0);
}

TEST_F(SocketCanTest, CansendFramesReachTheRegisteredDeviceByteForByte) {
    RecordingDevice device(0x155);
    RecordingDevice five(5);
    bus.registerCANMsgCallback(&device);
    bus.registerCANMsgCallback(&five);
    ASSERT_TRUE(startAndWaitRunning());
    // Node 0x155, command 70; an 11-bit identifier is taken apart by the same
    // layout: 0x2C5 is node 5, command 69.
    const std::vector<std::pair<RecordingDevice*, std::string>> cases = {
        {&device, "0000AAC6#0011223344556677"}, {&device, "0000AAC6#FF80"}, {&device, "0000AAC6#"},
        {&device, "0000AAC6#R"},                {&device, "0000AAC6#R8"},   {&five, "2C5#01"},
    };
    for (const auto& [target, text] : cases) {
        const size_t n = target->count() + 1;
        ASSERT_EQ(shell("cansend vcan0 " + text), 0) << text;
        can_frame_data got{};
        ASSERT_TRUE(target->waitFor(n, &got)) << text;
        EXPECT_EQ(canText(got), text);
    }
    bus.unregisterCANMsgCallback(&five);
    bus.unregisterCANMsgCallback(&device);
}

TEST_F(SocketCanTest, MasterHeartbeatEvery200Ms) {
    VcanSocket sniffer;
    ASSERT_TRUE(sniffer.ok());
    ASSERT_TRUE(bus.initInterface("vcan0"));
    std::vector<Clock::time_point> beats;
    const auto start = Clock::now();
    while (msSince(start) < 2100) {
        can_frame_data f{};
        if (!sniffer.recv(f, Millis(100)) || !isMasterHeartbeat(f)) continue;
        beats.push_back(Clock::now());
        EXPECT_EQ(f.can_dlc, 1);
        EXPECT_EQ(dataBytes(f), (std::array<uint8_t, 8>{}));
    }
    ASSERT_FALSE(beats.empty());
    EXPECT_LT(ms(beats.front() - start), 500) << "first heartbeat late";
    // 2.1 s at about 200 ms: 11 expected.
    ASSERT_GE(beats.size(), 8u);
    EXPECT_LE(beats.size(), 12u);
    const long mean = ms(beats.back() - beats.front()) / static_cast<long>(beats.size() - 1);
    EXPECT_GE(mean, 190);
    EXPECT_LE(mean, 260);
    // Single gaps only loosely: the sniffer's own wake-ups jitter.
    for (size_t i = 1; i < beats.size(); ++i) {
        EXPECT_GE(ms(beats[i] - beats[i - 1]), 80) << "beat " << i;
        EXPECT_LE(ms(beats[i] - beats[i - 1]), 500) << "beat " << i;
    }
}

TEST_F(SocketCanTest, InjectedHeartbeatsMakeANodeAppearAndSilenceDropsIt) {
    ASSERT_TRUE(startAndWaitRunning());
    // Node 42, device type 3, command 1.
    const std::string heartbeat = "cansend vcan0 0C001501#0100000000000000";
    const auto first = Clock::now();
    ASSERT_EQ(shell(heartbeat), 0);
    ASSERT_TRUE(waitForEvents(1, Millis(3000)));
    EXPECT_EQ(bus.getConnectedDevices(), (std::map<unsigned int, unsigned char>{{42, 3}}));

    std::this_thread::sleep_for(Millis(500) - (Clock::now() - first));
    const auto second = Clock::now();
    ASSERT_EQ(shell(heartbeat), 0);
    const auto secondDone = Clock::now();

    ASSERT_TRUE(waitForEvents(2, Millis(5000)));
    EXPECT_FALSE(bus.isDeviceConnected(42));
    std::lock_guard<std::mutex> lock(eventsMutex);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].first + ", " + events[1].first, "new 42 3, lost 42");
    EXPECT_GE(ms(events[1].second - second), 1000);
    EXPECT_LE(ms(events[1].second - secondDone), 2500);
}

TEST_F(SocketCanTest, DriverReadRoundTripsAgainstASimulatedDriver) {
    std::atomic<int> served{0};
    AnsweringPeer simulated(
        0x21, 70,
        [&](const can_frame_data&, uint8_t* data) {
            // Bus voltage and current as a driver packs them; a new voltage
            // each time, so a stale reply cannot pass.
            can_frame_data f{};
            canSetSignal<float>(f, 24.0f + 0.5f * static_cast<float>(++served), 0, 32, true);
            canSetSignal<float>(f, -1.25f, 32, 32, true);
            std::memcpy(data, f.data, 8);
        },
        Millis(100));
    // Beats but never answers command 70.
    AnsweringPeer mute(0x22, 71, [](const can_frame_data&, uint8_t*) {}, Millis(100));
    ASSERT_TRUE(simulated.ok());
    ASSERT_TRUE(mute.ok());
    ASSERT_TRUE(startAndWaitRunning());
    Driver driver(0x21, &bus);
    Driver silent(0x22, &bus);
    ASSERT_TRUE(waitUntil([&] { return driver.isConnected() && silent.isConnected(); }, Millis(3000)));

    for (int i = 0; i < 10; ++i) {
        float voltage = 0;
        float current = 0;
        ASSERT_EQ(driver.getBusVoltage(&voltage), RET_SUCCESS) << "read " << i;
        EXPECT_FLOAT_EQ(voltage, 24.0f + 0.5f * static_cast<float>(2 * i + 1));
        ASSERT_EQ(driver.getBusCurrent(&current), RET_SUCCESS) << "read " << i;
        EXPECT_FLOAT_EQ(current, -1.25f);
    }
    EXPECT_EQ(served.load(), 20);

    float untouched = -7.0f;
    const auto asked = Clock::now();
    EXPECT_EQ(silent.getBusVoltage(&untouched), RET_TIMEOUT);
    EXPECT_GE(msSince(asked), 190);
    EXPECT_LT(msSince(asked), 1500);
    EXPECT_EQ(untouched, -7.0f);
}

// Counts the receive task's calls into the transport.
class CountingCANInterface : public CANInterface {
public:
    // The receive task calls the override: stop it before this class goes.
    ~CountingCANInterface() { closeInterface(); }
    bool recvData(can_frame_data* frame) override {
        calls.fetch_add(1);
        return CANInterface::recvData(frame);
    }
    std::atomic<long> calls{0};
};

TEST_F(SocketCanTest, IdleInterfaceDoesNotSpinAndClosesQuickly) {
    CountingCANInterface idle;
    ASSERT_TRUE(qt_test::startAndWaitRunning(idle));
    auto cpuMicros = [] {
        struct rusage u {};
        getrusage(RUSAGE_SELF, &u);
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000L + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
    };
    const long callsBefore = idle.calls.load();
    const long cpuBefore = cpuMicros();
    const auto wallBefore = Clock::now();
    std::this_thread::sleep_for(Millis(2000));
    const long cpu = cpuMicros() - cpuBefore;
    const long wall = msSince(wallBefore) * 1000;
    const long calls = idle.calls.load() - callsBefore;
    std::printf("idle for %ld ms: %ld us of CPU, %ld receive calls\n", wall / 1000, cpu, calls);

    // Each idle receive waits up to 50 ms: about 40 calls; a spinning task
    // makes millions, too few would delay closeInterface.
    EXPECT_GE(calls, 20);
    EXPECT_LE(calls, 100);
    // Under software emulation the idle interface takes about 1% of a core
    // (two bare threads waking as often already 0.75%), a spinning one 100%.
    EXPECT_LT(cpu, wall * 5 / 100);

    const auto closing = Clock::now();
    EXPECT_TRUE(idle.closeInterface());
    EXPECT_LT(msSince(closing), 400);
    EXPECT_FALSE(idle.isRunning());
}

}  // namespace
