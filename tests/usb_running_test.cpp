// A started USBInterface (receive and heartbeat threads running) against the
// simulated adapter: the adapter queries, devices seen and reached through
// the adapter, and the adapter pulled out while the receive thread reads.

#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_tree.hpp"
#include "recording_device.hpp"
#include "sim_adapter.hpp"
#include "sim_device.hpp"
#include "test_transport.hpp"
#include "usb_interface.hpp"

namespace {

using qt_test::LogCapture;
using qt_test::Millis;
using qt_test::RecordingDevice;
using qt_test::SimAdapter;
using qt_test::waitUntil;
using Clock = std::chrono::steady_clock;

const std::string kApiTimeout = "API Timeout Error. Make sure your Yomlu is updated to the latest firmware.\n";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double processCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Started {
    SimAdapter& adapter;
    USBInterface& usb;
    LogCapture& log;
    std::string path;
};

// A started interface on an accepted adapter, in a private device tree.
void withStartedAdapter(const std::function<void(Started&)>& body,
                        const std::function<void(SimAdapter&)>& before = {}) {
    EXPECT_TRUE(qt_test::runInPrivateDeviceTree([&] {
        SimAdapter adapter;
        if (before) before(adapter);
        const std::string path = qt_test::listAsYomlu(adapter);
        LogCapture log;
        USBInterface usb;
        usb.setOutputLogStream(&log);
        ASSERT_TRUE(usb.initInterface(path));
        ASSERT_TRUE(waitUntil([&] { return usb.isRunning(); }));
        Started s{adapter, usb, log, path};
        body(s);
        EXPECT_TRUE(usb.closeInterface());
        EXPECT_EQ(adapter.malformedLines(), std::vector<std::string>{});
    }));
}

}  // namespace

// ---------------------------------------------------------------------------
// Queries

TEST(UsbQueries, RepliesComeBackThroughTheReceiveThread) {
    withStartedAdapter([](Started& s) {
        CANBaudRate rate = CAN_BAUDRATE_10K;
        EXPECT_TRUE(s.usb.getCANBaudRate(&rate));
        EXPECT_EQ(rate, CAN_BAUDRATE_500K);
        EXPECT_TRUE(s.log.contains("Got CAN Baud Rate : 6\n"));

        EXPECT_TRUE(s.usb.setCANBaudRate(CAN_BAUDRATE_1M));
        EXPECT_TRUE(s.adapter.waitForHostLine("S8"));
        EXPECT_TRUE(s.usb.getCANBaudRate(&rate));
        EXPECT_EQ(rate, CAN_BAUDRATE_1M);

        // A code that is no rate is passed on as it is.
        s.adapter.setBitRateCode('9');
        EXPECT_TRUE(s.usb.getCANBaudRate(&rate));
        EXPECT_EQ(static_cast<int>(rate), 9);

        unsigned char major = 0, minor = 0, patch = 0;
        std::string commit;
        EXPECT_TRUE(s.usb.getFirmwareVersion(&major, &minor, &patch, &commit));
        EXPECT_EQ(major, 2);
        EXPECT_EQ(minor, 3);
        EXPECT_EQ(patch, 4);
        EXPECT_EQ(commit, "1a2b3c4d");
        EXPECT_TRUE(s.log.contains("Got version info: 2.3.4--1a2b3c4d\n"));

        EXPECT_TRUE(s.usb.getHardwareVersion(&major, &minor, &patch));
        EXPECT_EQ(major, 1);
        EXPECT_EQ(minor, 0);
        EXPECT_EQ(patch, 2);
        EXPECT_TRUE(s.log.contains("Got hardware version info: 1.0.2\n"));

        EXPECT_TRUE(s.usb.enterDFUMode());
        EXPECT_TRUE(s.log.waitFor("Got DFU mode info: \n"));

        for (const char* line : {"G", "V", "H"}) EXPECT_TRUE(s.adapter.waitForHostLine(line)) << line;
    });
}

TEST(UsbQueries, SilentAdapterTimesOutAndLeavesTheOutputs) {
    withStartedAdapter([](Started& s) {
        s.adapter.setAnswering(false);
        unsigned char major = 7, minor = 8, patch = 9;
        std::string commit = "untouched";
        CANBaudRate rate = CAN_BAUDRATE_125K;

        testing::internal::CaptureStdout();
        auto start = Clock::now();
        EXPECT_FALSE(s.usb.getFirmwareVersion(&major, &minor, &patch, &commit));
        const double took = secondsSince(start);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), kApiTimeout);
        EXPECT_GE(took, 0.95);
        EXPECT_LT(took, 3.0);
        EXPECT_EQ(major, 7);
        EXPECT_EQ(minor, 8);
        EXPECT_EQ(patch, 9);
        EXPECT_EQ(commit, "untouched");

        testing::internal::CaptureStdout();
        EXPECT_FALSE(s.usb.getCANBaudRate(&rate));
        EXPECT_FALSE(s.usb.getHardwareVersion(&major, &minor, &patch));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), kApiTimeout + kApiTimeout);
        EXPECT_EQ(rate, CAN_BAUDRATE_125K);
        EXPECT_EQ(major, 7);
    });
}

TEST(UsbQueries, AReplyNobodyAskedForAnswersNoLaterQuery) {
    withStartedAdapter([](Started& s) {
        s.adapter.setAnswering(false);
        s.adapter.sendRaw("H7.7.7\r");
        ASSERT_TRUE(s.log.waitFor("Got hardware version info: 7.7.7\n"));
        unsigned char major = 0, minor = 0, patch = 0;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(s.usb.getHardwareVersion(&major, &minor, &patch));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), kApiTimeout);
        EXPECT_EQ(major, 0);

        // The stored values themselves stay, for the next answered query.
        s.adapter.setAnswering(true);
        s.adapter.setHardwareReply("H3.4.5");
        EXPECT_TRUE(s.usb.getHardwareVersion(&major, &minor, &patch));
        EXPECT_EQ(major, 3);
        EXPECT_EQ(patch, 5);
    });
}

TEST(UsbQueries, QueriesFromTwoThreadsEachGetTheirOwnReply) {
    withStartedAdapter([](Started& s) {
        // Slow replies: a second query started meanwhile must not take the
        // first one's answer.
        s.adapter.setReplyDelay(Millis(60));
        for (int round = 0; round < 4; ++round) {
            SCOPED_TRACE(round);
            s.adapter.setHardwareReply("H1." + std::to_string(round) + ".2");
            s.adapter.setFirmwareReply("V5." + std::to_string(round) + ".6-abcdefgh");
            unsigned char hw[3] = {0, 0, 0};
            unsigned char fw[3] = {0, 0, 0};
            std::string commit;
            bool hwOk = false, fwOk = false;
            std::thread a([&] { hwOk = s.usb.getHardwareVersion(&hw[0], &hw[1], &hw[2]); });
            std::thread b([&] { fwOk = s.usb.getFirmwareVersion(&fw[0], &fw[1], &fw[2], &commit); });
            a.join();
            b.join();
            EXPECT_TRUE(hwOk);
            EXPECT_TRUE(fwOk);
            EXPECT_EQ(hw[0], 1);
            EXPECT_EQ(hw[1], round);
            EXPECT_EQ(fw[0], 5);
            EXPECT_EQ(fw[1], round);
            EXPECT_EQ(commit, "abcdefgh");
        }
    });
}

// ---------------------------------------------------------------------------
// Devices through the adapter

TEST(UsbBus, DevicesAreSeenRoutedAndDroppedThroughTheAdapter) {
    EXPECT_TRUE(qt_test::runInPrivateDeviceTree([] {
        SimAdapter adapter;
        const std::string path = qt_test::listAsYomlu(adapter);
        qt_test::SimDevice device(adapter.bus(), 5, 3);
        device.answer(70, qt_test::Payload().put<float>(24.5f).put<float>(1.25f).reply());

        std::mutex mutex;
        std::condition_variable cv;
        std::vector<std::pair<unsigned, unsigned>> appeared;
        std::vector<unsigned> lost;
        auto onNew = [&](unsigned id, unsigned char type) {
            std::lock_guard<std::mutex> lock(mutex);
            appeared.emplace_back(id, type);
            cv.notify_all();
        };
        auto onLost = [&](unsigned id) {
            std::lock_guard<std::mutex> lock(mutex);
            lost.push_back(id);
            cv.notify_all();
        };

        LogCapture log;
        USBInterface usb;
        usb.setOutputLogStream(&log);
        RecordingDevice recorder(5);
        usb.registerCANMsgCallback(&recorder);
        ASSERT_TRUE(usb.initInterface(path, onNew, onLost));

        // Master heartbeats reach the bus as the frames they are.
        EXPECT_TRUE(adapter.waitForHostLine("R0200000110" "0", 2));
        EXPECT_TRUE(waitUntil([&] { return usb.isRunning(); }));
        const auto onBus = adapter.bus().sentFrames();
        ASSERT_FALSE(onBus.empty());
        EXPECT_TRUE(qt_test::isMasterHeartbeat(onBus.front()));

        device.startHeartbeats(Millis(100));
        {
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(3), [&] { return !appeared.empty(); }));
            EXPECT_EQ(appeared.front(), std::make_pair(5u, 3u));
        }
        EXPECT_TRUE(waitUntil([&] { return usb.isDeviceConnected(5); }));
        EXPECT_EQ(usb.getConnectedDevices(), (std::map<unsigned int, unsigned char>{{5, 3}}));

        // A read request out, the device's reply back to the registered object.
        can_frame_data request = qt_test::makeFrame(5, 70, {}, 8, true);
        EXPECT_TRUE(usb.sendFrame(&request));
        EXPECT_TRUE(adapter.waitForHostLine("R000002C68" + std::string(16, '0')));
        const auto reply = recorder.waitForCommand(70);
        ASSERT_TRUE(reply.has_value());
        can_frame_data r = *reply;
        EXPECT_EQ(getDeviceIdFromFrame(&r), 5u);
        EXPECT_FLOAT_EQ((canGetSignal<float>(r, 0, 32, true)), 24.5f);
        EXPECT_FLOAT_EQ((canGetSignal<float>(r, 32, 32, true)), 1.25f);
        ASSERT_EQ(device.requests(70).size(), 1u);

        // Silence: dropped after about a second.
        device.stopHeartbeats();
        const auto silentFrom = Clock::now();
        {
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(4), [&] { return !lost.empty(); }));
            EXPECT_EQ(lost, std::vector<unsigned>{5});
        }
        EXPECT_LT(secondsSince(silentFrom), 2.5);
        EXPECT_FALSE(usb.isDeviceConnected(5));

        EXPECT_TRUE(usb.closeInterface());
        usb.unregisterCANMsgCallback(&recorder);
        EXPECT_EQ(adapter.malformedLines(), std::vector<std::string>{});
    }));
}

TEST(UsbBus, StopsWithinAboutASecondAndStartsAgain) {
    withStartedAdapter([](Started& s) {
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(round);
            // Nothing comes from the bus: the receive thread sits in its read.
            const auto closing = Clock::now();
            EXPECT_TRUE(s.usb.closeInterface());
            EXPECT_LT(secondsSince(closing), 2.5);
            EXPECT_FALSE(s.usb.isRunning());
            s.adapter.clearHostLines();

            ASSERT_TRUE(s.usb.initInterface(s.path));
            EXPECT_TRUE(waitUntil([&] { return s.usb.isRunning(); }));
            EXPECT_TRUE(s.adapter.waitForHostLine("R02000001100"));
            unsigned char major = 0, minor = 0, patch = 0;
            EXPECT_TRUE(s.usb.getHardwareVersion(&major, &minor, &patch));
            EXPECT_EQ(major, 1);
        }
    });
}

// ---------------------------------------------------------------------------
// Unplugged

TEST(UsbUnplugged, ReceiveThreadNeitherCrashesNorSpinsAndCloseReturns) {
    withStartedAdapter([](Started& s) {
        s.adapter.unplug();
        std::this_thread::sleep_for(Millis(300));
        s.log.clear();
        const double cpuBefore = processCpuSeconds();
        const auto start = Clock::now();
        std::this_thread::sleep_for(Millis(1000));
        const double cpu = processCpuSeconds() - cpuBefore;
        const double wall = secondsSince(start);
        // A spinning receive loop would burn a whole core.
        EXPECT_LT(cpu, 0.3 * wall) << "cpu " << cpu << " s in " << wall << " s";
        const size_t errors = s.log.count("Error during USB read.\n");
        EXPECT_GE(errors, 1u);
        EXPECT_LT(errors, 200u);
        // Heartbeats cannot go out any more.
        EXPECT_TRUE(waitUntil([&] { return !s.usb.isRunning(); }));
        EXPECT_TRUE(s.log.waitFor("Exception on USB write\n"));

        const auto closing = Clock::now();
        EXPECT_TRUE(s.usb.closeInterface());
        EXPECT_LT(secondsSince(closing), 3.0);
    });
}
