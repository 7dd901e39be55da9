// A started USBInterface (receive and heartbeat threads running) against the
// simulated adapter: the adapter queries, stopping and starting again, and
// the adapter pulled out while the receive thread reads.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <future>
#include <string>
#include <thread>

#include "sim_adapter.hpp"
#include "sim_device.hpp"
#include "test_transport.hpp"
#include "quorvel_transport/usb_interface.hpp"

namespace {

using qt_test::LogCapture;
using qt_test::Millis;
using qt_test::SimAdapter;
using qt_test::waitUntil;
using Clock = std::chrono::steady_clock;

const std::string kApiTimeout = "API Timeout Error. Make sure your Yomlu is updated to the latest firmware.\n";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string version(unsigned char major, unsigned char minor, unsigned char patch) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

}  // namespace

TEST(UsbQueries, AnsweredSilentAndStrayReplies) {
    qt_test::withAdapter(true, [](SimAdapter& adapter, USBInterface& usb, LogCapture& log) {
        CANBaudRate rate = CAN_BAUDRATE_10K;
        EXPECT_TRUE(usb.getCANBaudRate(&rate));
        EXPECT_EQ(rate, CAN_BAUDRATE_500K);
        unsigned char major = 0, minor = 0, patch = 0;
        std::string commit;
        EXPECT_TRUE(usb.getFirmwareVersion(&major, &minor, &patch, &commit));
        EXPECT_EQ(version(major, minor, patch) + "-" + commit, "2.3.4-1a2b3c4d");
        EXPECT_TRUE(log.contains("Got version info: 2.3.4--1a2b3c4d\n"));

        // Without an answer the outputs are left as they are.
        adapter.setAnswering(false);
        major = 7, minor = 8, patch = 9;
        commit = "untouched";

        testing::internal::CaptureStdout();
        const auto start = Clock::now();
        EXPECT_FALSE(usb.getFirmwareVersion(&major, &minor, &patch, &commit));
        const double took = secondsSince(start);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), kApiTimeout);
        EXPECT_GE(took, 0.95);
        EXPECT_LT(took, 3.0);
        EXPECT_EQ(version(major, minor, patch) + commit, "7.8.9untouched");

        // A reply nobody asked for answers no later query.
        // The heartbeat behind it is routed only once the stray reply has been
        // stored completely; a reply's own log line comes before that, so it
        // cannot tell.
        adapter.sendRaw("H7.7.7\r");
        adapter.bus().inject(qt_test::heartbeatFrame(9));
        ASSERT_TRUE(waitUntil([&] { return usb.isDeviceConnected(9); }));
        EXPECT_TRUE(log.contains("Got hardware version info: 7.7.7\n"));
        major = 0;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(usb.getHardwareVersion(&major, &minor, &patch));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), kApiTimeout);
        EXPECT_EQ(major, 0);

        // The stored values themselves stay, for the next answered query.
        adapter.setAnswering(true);
        adapter.setHardwareReply("H3.4.5");
        EXPECT_TRUE(usb.getHardwareVersion(&major, &minor, &patch));
        EXPECT_EQ(version(major, minor, patch), "3.4.5");
        // A code that is no rate is passed on as it is.
        adapter.setBitRateCode('9');
        EXPECT_TRUE(usb.getCANBaudRate(&rate));
        EXPECT_EQ(static_cast<int>(rate), 9);
    });
}

// A query takes only a reply line of its own kind that came after it asked:
// a late version reply, a bit rate, or the "d" of enterDFUMode does not answer it.
TEST(UsbQueries, OnlyAReplyOfItsOwnKindAnswers) {
    qt_test::withAdapter(true, [](SimAdapter& adapter, USBInterface& usb, LogCapture&) {
        unsigned char h[3] = {0, 0, 0};
        ASSERT_TRUE(usb.getHardwareVersion(&h[0], &h[1], &h[2]));
        ASSERT_EQ(version(h[0], h[1], h[2]), "1.0.2");
        auto hardware = [&] {
            return std::async(std::launch::async, [&] {
                h[0] = h[1] = h[2] = 9;
                const bool ok = usb.getHardwareVersion(&h[0], &h[1], &h[2]);
                return ok ? version(h[0], h[1], h[2]) : std::string("timed out");
            });
        };

        // The "H" answer comes late; other replies come first.
        adapter.setHardwareReply("H3.4.5");
        adapter.setReplyDelay(Millis(300));
        auto slow = hardware();
        ASSERT_TRUE(adapter.waitForHostLine("H", 2));
        adapter.sendRaw("V7.7.7-deadbeef\rG3\rd\r");
        EXPECT_EQ(slow.get(), "3.4.5");

        // No "H" answer at all.
        adapter.setReplyDelay(Millis(0));
        adapter.setAnswering(false);
        testing::internal::CaptureStdout();
        auto silent = hardware();
        ASSERT_TRUE(adapter.waitForHostLine("H", 3));
        EXPECT_TRUE(usb.enterDFUMode());
        adapter.sendRaw("V7.7.7-deadbeef\rG3\r");
        EXPECT_EQ(silent.get(), "timed out");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), kApiTimeout);
        EXPECT_EQ(version(h[0], h[1], h[2]), "9.9.9");
    });
}

TEST(UsbQueries, QueriesFromTwoThreadsEachGetTheirOwnReply) {
    qt_test::withAdapter(true, [](SimAdapter& adapter, USBInterface& usb, LogCapture&) {
        // Slow replies: a second query started meanwhile must not take the
        // first one's answer.
        adapter.setReplyDelay(Millis(60));
        for (int round = 0; round < 4; ++round) {
            SCOPED_TRACE(round);
            const std::string r = std::to_string(round);
            adapter.setHardwareReply("H1." + r + ".2");
            adapter.setFirmwareReply("V5." + r + ".6-abcdefgh");
            unsigned char hw[3] = {0, 0, 0};
            unsigned char fw[3] = {0, 0, 0};
            std::string commit;
            bool hwOk = false, fwOk = false;
            std::thread a([&] { hwOk = usb.getHardwareVersion(&hw[0], &hw[1], &hw[2]); });
            std::thread b([&] { fwOk = usb.getFirmwareVersion(&fw[0], &fw[1], &fw[2], &commit); });
            a.join();
            b.join();
            EXPECT_TRUE(hwOk && fwOk);
            EXPECT_EQ(version(hw[0], hw[1], hw[2]), "1." + r + ".2");
            EXPECT_EQ(version(fw[0], fw[1], fw[2]) + "-" + commit, "5." + r + ".6-abcdefgh");
        }
    });
}

TEST(UsbBus, StopsWithinAboutASecondAndStartsAgainWithItsCallbacks) {
    std::atomic<int> newType{-1};
    std::atomic<int> lostId{-1};
    qt_test::withAdapter(true, [&](SimAdapter& adapter, USBInterface& usb, LogCapture&) {
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(round);
            // Nothing comes from the bus: the receive thread sits in its read.
            const auto closing = Clock::now();
            EXPECT_TRUE(usb.closeInterface());
            EXPECT_LT(secondsSince(closing), 2.5);
            EXPECT_FALSE(usb.isRunning());
            adapter.clearHostLines();

            ASSERT_TRUE(usb.initInterface(
                "/dev/ttyACM0", [&](unsigned, unsigned char type) { newType = type; },
                [&](unsigned id) { lostId = static_cast<int>(id); }));
            EXPECT_TRUE(waitUntil([&] { return usb.isRunning(); }));
            EXPECT_TRUE(adapter.waitForHostLine("R02000001100"));
            unsigned char major = 0, minor = 0, patch = 0;
            EXPECT_TRUE(usb.getHardwareVersion(&major, &minor, &patch));
            EXPECT_EQ(major, 1);
        }
        qt_test::SimDevice device(adapter.bus(), 5, 3);
        device.startHeartbeats(Millis(100));
        ASSERT_TRUE(waitUntil([&] { return newType.load() == 3; }));
        device.stopHeartbeats();
        EXPECT_TRUE(waitUntil([&] { return lostId.load() == 5; }, Millis(4000)));
    });
}

TEST(UsbUnplugged, ReceiveThreadNeitherCrashesNorSpinsAndCloseReturns) {
    qt_test::withAdapter(true, [](SimAdapter& adapter, USBInterface& usb, LogCapture& log) {
        adapter.unplug();
        std::this_thread::sleep_for(Millis(300));
        log.clear();
        const double cpuBefore = static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
        const auto start = Clock::now();
        std::this_thread::sleep_for(Millis(1000));
        const double cpu = static_cast<double>(std::clock()) / CLOCKS_PER_SEC - cpuBefore;
        const double wall = secondsSince(start);
        // A spinning receive loop would burn a whole core.
        EXPECT_LT(cpu, 0.3 * wall) << "cpu " << cpu << " s in " << wall << " s";
        const size_t errors = log.count("Error during USB read.\n");
        EXPECT_GE(errors, 1u);
        EXPECT_LT(errors, 200u);
        // Heartbeats cannot go out any more.
        EXPECT_TRUE(waitUntil([&] { return !usb.isRunning(); }));
        EXPECT_TRUE(log.waitFor("Exception on USB write\n"));

        const auto closing = Clock::now();
        EXPECT_TRUE(usb.closeInterface());
        EXPECT_LT(secondsSince(closing), 3.0);
    });
}
