// USBInterface on real pseudo-terminals: the adapter check in init (through
// the real serial::list_ports over a private /dev and /sys), the bytes of
// every line it writes, and how recvData reads the adapter's lines through
// the port. What each line means is the codec's, tested in
// usb_line_codec_test; the receive thread is not started here.

#include <gtest/gtest.h>

#include <termios.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "device_tree.hpp"
#include "pty_pair.hpp"
#include "quorvel_transport/serial.hpp"
#include "quorvel_transport/usb_interface.hpp"
#include "sim_adapter.hpp"
#include "test_transport.hpp"

namespace {

using qt_test::expectSameFrame;
using qt_test::LogCapture;
using qt_test::Millis;
using qt_test::rawFrame;
using qt_test::SimAdapter;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kExt = 1u << 31;
constexpr uint32_t kRtr = 1u << 30;
const std::string kNotCompatible = "No Compatible Quorvel Device found \n";
const std::string kOpenError = "USB Communication Error. Please check if the selected interface ";

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Sends `f` and returns the bytes that reached the adapter.
std::string sent(SimAdapter& adapter, USBInterface& usb, can_frame_data f, size_t expectedSize) {
    adapter.clearHostLines();
    EXPECT_TRUE(usb.sendData(&f));
    qt_test::waitUntil([&] { return adapter.hostBytes().size() >= expectedSize; });
    return adapter.hostBytes();
}

// Standard output of an init (initInterface when `start`) that must throw
// `Exception`; its text in `what`.
template <typename Exception>
std::string initFailure(USBInterface& usb, const std::string& port, std::string* what = nullptr, bool start = false) {
    testing::internal::CaptureStdout();
    try {
        start ? usb.initInterface(port) : usb.init(port);
        ADD_FAILURE() << "init(" << port << ") did not throw";
    } catch (const Exception& e) {
        if (what != nullptr) *what = e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "init(" << port << ") threw another exception: " << e.what();
    }
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(UsbInit, AcceptsOnlyListedPortsDescribedAsQuorvelOrYomluAndOpensRaw115200) {
    EXPECT_TRUE(qt_test::runInPrivateDeviceTree([] {
        struct Case {
            const char* name;
            qt_test::UsbDeviceInfo info;
            bool byPtyName;  // open the adapter by the pty's own name, which is not listed
            bool accepted;
        };
        const Case cases[] = {
            {"ttyACM0", {"Quorvel", "CAN Adapter", "0001"}, false, true},
            {"ttyUSB1", {"Acme", "Bridge", "Yomlu7"}, false, true},
            {"ttyACM1", {"quorvel", "yomlu", "QUORVEL"}, false, false},
            {"ttyACM2", {"Quorvel", "Yomlu", "1"}, true, false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            SimAdapter adapter;
            qt_test::addUsbSerialDevice(c.name, adapter.portPath(), c.info);
            const std::string path = c.byPtyName ? adapter.portPath() : std::string("/dev/") + c.name;
            USBInterface usb;
            std::string what;
            can_frame_data f = rawFrame(0x123, 0, {});
            if (c.accepted) {
                testing::internal::CaptureStdout();
                EXPECT_TRUE(usb.init(path));
                EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
                EXPECT_EQ(sent(adapter, usb, f, 6), "t1230\r");
                usb.closeIface();
            } else {
                EXPECT_EQ(initFailure<NoCompatibleDeviceException>(usb, path, &what), kNotCompatible);
                EXPECT_EQ(what, "No Compatible Quorvel Device found at the interface");
            }
            EXPECT_FALSE(usb.sendData(&f)) << "the port is closed";
        }
        qt_test::PtyPair pty;
        qt_test::addUsbSerialDevice("ttyACM3", pty.slavePath(), {"Quorvel", "Yomlu", "1"});
        USBInterface usb;
        ASSERT_TRUE(usb.init("/dev/ttyACM3"));
        const termios t = pty.slaveSettings();
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
        EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        // An open port cannot be opened again.
        std::string what;
        EXPECT_EQ(initFailure<serial::SerialException>(usb, "/dev/ttyACM3", &what),
                  kOpenError + "/dev/ttyACM3 is okay.\nSerialException Serial port already open. failed.\n");
        EXPECT_EQ(what, "SerialException Serial port already open. failed.");
    }));
}

TEST(UsbInit, OpenFailuresPrintTheirLinesAndRethrow) {
    std::string what;
    USBInterface empty;
    EXPECT_EQ(initFailure<std::invalid_argument>(empty, "", &what), kOpenError + " is okay.\nEmpty port is invalid.\n");
    EXPECT_EQ(what, "Empty port is invalid.");

    USBInterface missing;
    const std::string out = initFailure<serial::IOException>(missing, "/dev/qt-no-such-port", &what);
    EXPECT_EQ(out, kOpenError + "/dev/qt-no-such-port is okay.\n" + what + "\n");
    EXPECT_NE(what.find("No such file or directory"), std::string::npos) << what;
}

// A refused port is closed again: the same object then starts on the right one.
TEST(UsbInit, AfterARefusedPortTheSameInterfaceStartsOnTheAdapter) {
    EXPECT_TRUE(qt_test::runInPrivateDeviceTree([] {
        SimAdapter adapter;
        const std::string path = qt_test::listAsYomlu(adapter);
        qt_test::PtyPair foreign;
        LogCapture log;
        USBInterface usb;
        usb.setOutputLogStream(&log);
        EXPECT_EQ(initFailure<NoCompatibleDeviceException>(usb, foreign.slavePath(), nullptr, true), kNotCompatible);
        EXPECT_FALSE(usb.isRunning());
        EXPECT_FALSE(log.contains("Starting receive thread..."));
        testing::internal::CaptureStdout();
        EXPECT_TRUE(usb.initInterface(path));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_TRUE(adapter.waitForHostLine("R02000001100")) << "master heartbeat";
        EXPECT_EQ(foreign.drain(Millis(50)), "") << "nothing went to the refused port";
        EXPECT_TRUE(usb.closeInterface());
    }));
}

TEST(UsbLinesOut, FramesAndCommandsByteForByte) {
    qt_test::withAdapter(false, [](SimAdapter& adapter, USBInterface& usb, LogCapture& log) {
        struct Line {
            std::function<bool()> call;
            std::string bytes;
        };
        can_frame_data frames[] = {
            rawFrame(0x123, 2, {0xAB, 0x01}),
            rawFrame(kExt | kRtr | 0x2C6, 8, {}),
            rawFrame(kExt | 0x1FFFFFFF, 8, {0x00, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xFE}),
            rawFrame(kExt | 0x2C6, 9, {1, 2, 3, 4, 5, 6, 7, 8}),
        };
        const Line lines[] = {
            {[&] { return usb.sendData(&frames[0]); }, "t1232AB01\r"},
            {[&] { return usb.sendData(&frames[1]); }, "R000002C68" + std::string(16, '0') + "\r"},
            {[&] { return usb.sendData(&frames[2]); }, "T1FFFFFFF80010325476" "98BAFE\r"},
            // A data length above eight is refused: nothing of it goes out.
            {[&] { return !usb.sendData(&frames[3]) && usb.enterDFUMode(); }, "C\rd\r"},
            {[&] { return usb.setCANBaudRate(CAN_BAUDRATE_1M); }, "C\rS8\rO\r"},
            // No range check: the index goes out as its character.
            {[&] { return usb.setCANBaudRate(static_cast<CANBaudRate>(9)); }, "C\rS9\rO\r"},
            {[&] { return usb.saveConfiguration(); }, "C\rZ0\rO\r"},
            {[&] { return usb.eraseConfiguration(); }, "C\rZ1\rO\r"},
            {[&] { return usb.rebootYomlu(); }, "C\rZ2\rO\r"},
        };
        for (const Line& l : lines) {
            adapter.clearHostLines();
            EXPECT_TRUE(l.call());
            qt_test::waitUntil([&] { return adapter.hostBytes().size() >= l.bytes.size(); });
            EXPECT_EQ(adapter.hostBytes(), l.bytes);
        }
        EXPECT_FALSE(log.contains("Exception on USB write"));
    });
}

TEST(UsbLinesIn, SplitAndBackToBackLinesThroughThePort) {
    qt_test::withAdapter(false, [](SimAdapter& adapter, USBInterface& usb, LogCapture& log) {
        can_frame_data got{};
        adapter.sendRaw("T000002C6");
        std::thread rest([&] {
            std::this_thread::sleep_for(Millis(150));
            adapter.sendRaw("80102030405");
            std::this_thread::sleep_for(Millis(150));
            adapter.sendRaw("060708\r");
        });
        const auto start = Clock::now();
        EXPECT_TRUE(usb.recvData(&got));
        EXPECT_GE(secondsSince(start), 0.25);
        rest.join();
        expectSameFrame(got, rawFrame(kExt | 0x2C6, 8, {1, 2, 3, 4, 5, 6, 7, 8}));

        // In one burst: each call takes one line and no byte of the next.
        adapter.sendRaw("t1232ab01\rG5\rR1FFFFFFF3000000\rd\rt1239\rt7FF17E\r");
        std::memset(&got, 0xEE, sizeof got);
        EXPECT_TRUE(usb.recvData(&got));
        expectSameFrame(got, rawFrame(0x123, 2, {0xAB, 0x01}));
        EXPECT_FALSE(usb.recvData(&got));
        // The reused record gets all of its data bytes rewritten.
        got.data[5] = 0x55;
        EXPECT_TRUE(usb.recvData(&got));
        expectSameFrame(got, rawFrame(kExt | kRtr | 0x1FFFFFFF, 3, {}));
        EXPECT_FALSE(usb.recvData(&got));
        EXPECT_FALSE(usb.recvData(&got));
        EXPECT_TRUE(usb.recvData(&got));
        expectSameFrame(got, rawFrame(0x7FF, 1, {0x7E}));

        // Nothing more: false after the port's read time-out.
        const auto silentFrom = Clock::now();
        EXPECT_FALSE(usb.recvData(&got));
        EXPECT_GE(secondsSince(silentFrom), 0.9);
        EXPECT_LT(secondsSince(silentFrom), 3.0);
        EXPECT_EQ(log.text(),
                  "Got CAN Baud Rate : 5\nGot DFU mode info: \n\nDLC is not proper, skipping frame parse.\n");
    });
}

TEST(UsbClosedPort, EveryOperationFailsWithItsLogLine) {
    LogCapture log;
    USBInterface usb;
    usb.setOutputLogStream(&log);
    can_frame_data f = rawFrame(0x123, 0, {});
    EXPECT_FALSE(usb.sendData(&f));
    EXPECT_FALSE(usb.setCANBaudRate(CAN_BAUDRATE_500K));
    EXPECT_FALSE(usb.enterDFUMode());

    // Queries give up at once when their line cannot be written.
    CANBaudRate rate = CAN_BAUDRATE_20K;
    unsigned char a = 11, b = 12, c = 13;
    std::string commit = "keep";
    testing::internal::CaptureStdout();
    const auto start = Clock::now();
    EXPECT_FALSE(usb.getCANBaudRate(&rate));
    EXPECT_FALSE(usb.getFirmwareVersion(&a, &b, &c, &commit));
    EXPECT_FALSE(usb.getHardwareVersion(&a, &b, &c));
    EXPECT_LT(secondsSince(start), 0.5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(log.count("Exception on USB write\n"), 6u);
    EXPECT_EQ(rate, CAN_BAUDRATE_20K);
    EXPECT_EQ(a, 11);
    EXPECT_EQ(commit, "keep");

    // A failing read is logged and paced, so the receive loop does not spin.
    const auto readStart = Clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(usb.recvData(&f));
    EXPECT_GE(secondsSince(readStart), 0.15);
    EXPECT_EQ(log.count("Error during USB read.\n"), 5u);
}
