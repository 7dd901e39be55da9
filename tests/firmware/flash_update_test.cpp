// Driver::flash against the simulated bootloader. The update's fixed pauses
// run on a virtual clock that can also act while the update pauses (no wait
// armed), and reply waits are cut to 1 s; one full update and one 20 s
// bootloader wait run in real time.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device_access.hpp"
#include "driver_impl.hpp"
#include "quorvel_transport/driver.hpp"
#include "sim_bootloader.hpp"
#include "sim_device.hpp"

using namespace qt_test;
using Blocks = std::map<uint32_t, std::vector<uint8_t>>;
using Lines = std::vector<std::string>;
using quorvel_detail::DeviceAccess;

namespace {

constexpr uint32_t kNode = 0x155;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + 13 * i);
    return v;
}

bool isStandard(const can_frame_data& f) { return (f.can_id & 0xE0000000u) == 0; }
bool isEnterBootloader(const can_frame_data& f) {
    return f.can_id == (0x80000000u | (kNode << 7) | 127u) && f.can_dlc == 0;
}

std::vector<std::string> describeAll(const std::vector<can_frame_data>& frames) {
    std::vector<std::string> out;
    for (const can_frame_data& f : frames) out.push_back(describe(f));
    return out;
}

// Blocks of 16, 16 and 5 bytes: full frames and one short frame.
const Blocks kSmallImage = {{0x08000000, pattern(32, 1)}, {0x08000020, pattern(5, 2)}};

// Virtual time that records every pause and runs a hook in it (the update's
// thread, between two waits).
class StepPacer final : public quorvel_detail::Pacer {
public:
    void sleepFor(std::chrono::nanoseconds pause) override {
        pauses.push_back(std::chrono::duration_cast<Millis>(pause));
        if (onPause) onPause(pauses.size());
    }
    std::chrono::system_clock::time_point now() override { return {}; }

    std::function<void(size_t n)> onPause;
    std::vector<Millis> pauses;
};

class FlashTest : public ::testing::Test {
protected:
    void start(bool deviceInBootloader, bool virtualTime = true) {
        boot = std::make_unique<SimBootloader>(bus, kNode, deviceInBootloader);
        device.startHeartbeats(Millis(50));
        ASSERT_TRUE(startAndWaitRunning(bus));
        driver = std::make_unique<Driver>(kNode, &bus);
        driver->setOutputLogStream(&log);
        ASSERT_TRUE(waitUntil([&] { return driver->isConnected(); }));
        device.stopHeartbeats();  // a device in its bootloader sends none
        if (!virtualTime) return;
        DeviceAccess::impl(*driver)->pacer = &pacer;
        DeviceAccess::impl(*driver)->bootloaderReplyWait = Millis(1000);
    }

    void TearDown() override {
        driver.reset();
        bus.closeInterface();
    }

    std::string smallImageFile() const { return writeTempFile("image.hex", hexText(kSmallImage)); }

    // The update's lines, without the reply machinery's line for every
    // decoded acknowledgement (written on the receive thread).
    Lines lines() const {
        Lines out;
        std::istringstream in(log.text());
        for (std::string line; std::getline(in, line);)
            if (line != "setting new data received as true") out.push_back(line);
        return out;
    }
    Lines lastLines(size_t n) const {
        const Lines all = lines();
        return Lines(all.end() - static_cast<long>(std::min(n, all.size())), all.end());
    }

    // Routed by the time two receives after it have found nothing.
    void injectAndRoute(const can_frame_data& frame) {
        const long idle = bus.idleReceives();
        bus.inject(frame);
        ASSERT_TRUE(waitUntil([&] { return bus.idleReceives() >= idle + 2; }));
    }

    void expectFlashed(const Blocks& blocks) {
        EXPECT_EQ(boot->memory(), bytesOf(blocks));
        EXPECT_EQ(boot->goAddress(), std::optional<uint32_t>(blocks.begin()->first));
        EXPECT_EQ(boot->erasedSectors(), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
        EXPECT_EQ(boot->protocolErrors(), 0);
    }

    void expectFlagsClear() {
        EXPECT_FALSE(bus.bootloaderMode.load());
        EXPECT_FALSE(DeviceAccess::impl(*driver)->bootloaderMode.load());
    }

    TestTransport bus;
    SimDevice device{bus, kNode};
    std::unique_ptr<SimBootloader> boot;
    LogCapture log;
    StepPacer pacer;
    std::unique_ptr<Driver> driver;
};

// The real-time run: exact frames, the whole log with its number bases, and
// normal operation after it.
TEST_F(FlashTest, UpdateWritesExactlyTheImageAndStartsItAtItsLowestAddress) {
    // Records of 16 bytes; the last block crosses a 64 KiB boundary. The
    // start address record names another address, which is not used.
    const Blocks blocks = {{0x08000000, pattern(40, 1)}, {0x08000100, pattern(7, 2)}, {0x0800FFFC, pattern(20, 3)}};
    const uint8_t startAddress[4] = {0x08, 0x00, 0x01, 0x99};
    const std::string path = writeTempFile("image.hex", hexRecord(5, 0, startAddress, 4) + hexText(blocks));
    start(false, false);

    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(driver->flash(path, false), RET_SUCCESS) << log.text();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, Millis(7000));  // the fixed pauses

    expectFlashed(blocks);
    EXPECT_EQ(bus.baudRateCalls(), (std::vector<CANBaudRate>{CAN_BAUDRATE_125K, CAN_BAUDRATE_500K,
                                                              CAN_BAUDRATE_500K}));
    std::vector<can_frame_data> expected = {rawFrame(0x79, {}), rawFrame(0x03, {3})};
    Lines want = {"[FLASH] Loading firmware file", "[FLASH] Loading done", "Entering DFU Mode",
                  "Changing Baud rate to 125K", "Sending standard ID", "[FLASH] Initialisation Successfull",
                  "Changing Baud Rate to 1M", "[FLASH] Change Speed command successfull.",
                  "[FLASH] ACK received at new speed.", "Erasing"};
    for (uint8_t s = 0; s < 10; ++s) {
        expected.insert(expected.end(), {rawFrame(0x43, {0}), rawFrame(0x43, {s})});
        const std::string n = std::to_string(s);
        want.insert(want.end(), {"[FLASH] Erasing sector 0", "[FLASH] Erasing sector " + n,
                                 "[FLASH] Erasing sector " + n + " message successful.",
                                 "[FLASH] Erasing sector " + n + " successful."});
    }
    // One block per record: 16, 16, 8, 7, 4 and 16 bytes.
    for (const auto& [address, bytes] : blocks) {
        for (size_t offset = 0, n = 0; offset < bytes.size(); offset += n) {
            const uint32_t a = address + static_cast<uint32_t>(offset);
            n = std::min<size_t>({16, bytes.size() - offset, 0x10000 - (a & 0xFFFF)});
            expected.push_back(rawFrame(0x31, {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                                               static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                                               static_cast<uint8_t>(n - 1)}));
            for (size_t i = offset; i < offset + n; i += 8) {
                const auto first = bytes.begin() + static_cast<long>(i);
                expected.push_back(rawFrame(0x04, {first, first + static_cast<long>(std::min<size_t>(8, offset + n - i))}));
            }
            std::ostringstream hex;
            hex << std::hex << a;
            want.insert(want.end(), {"[FLASH] Address:" + hex.str(), "[FLASH] Data Size:" + std::to_string(n),
                                     "[FLASH] Memory address:" + hex.str() + " is OK."});
            want.insert(want.end(), n / 8, "[FLASH] [in loop] Flashing at this memory address successfull.");
            want.push_back("");
            if (n % 8 != 0) want.push_back("[FLASH] [outside loop] Flashing at this memory address successfull.");
            want.push_back("[FLASH] Writing to memory address successfull.");
        }
    }
    expected.push_back(rawFrame(0x21, {0x08, 0x00, 0x00, 0x00}));
    want.insert(want.end(), {"[FLASH] Memory write error count:0", "[FLASH] Go command successfull."});
    EXPECT_EQ(describeAll(bus.sentFrames(isStandard)), describeAll(expected));
    EXPECT_EQ(lines(), want);

    // One enter-bootloader frame, and no master heartbeat from it to go.
    const std::vector<can_frame_data> all = bus.sentFrames();
    const auto enter = std::find_if(all.begin(), all.end(), isEnterBootloader);
    const auto go = std::find_if(all.begin(), all.end(), [](const can_frame_data& f) { return f.can_id == 0x21; });
    ASSERT_LT(enter, go);
    EXPECT_EQ(std::find_if(enter, go, isMasterHeartbeat), go);
    EXPECT_EQ(bus.sentFrames(isEnterBootloader).size(), 1u);
    std::ostringstream probe;  // the log stream is left in hexadecimal
    probe.copyfmt(log);
    probe << 255;
    EXPECT_EQ(probe.str(), "ff");

    // Heartbeats and presence drops back, and a read waits 200 ms again.
    expectFlagsClear();
    const size_t beats = bus.sentFrames(isMasterHeartbeat).size();
    EXPECT_TRUE(bus.waitForSent(isMasterHeartbeat, beats + 2, Millis(2000)).has_value());
    EXPECT_TRUE(waitUntil([&] { return !driver->isConnected(); }, Millis(3000))) << "silent device not dropped";
    device.startHeartbeats(Millis(50));
    ASSERT_TRUE(waitUntil([&] { return driver->isConnected(); }));
    float volts = 0;
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(driver->getBusVoltage(&volts), RET_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - t1, Millis(5000));
}

// The device already runs its bootloader: no enter-bootloader frame, and
// neither the running flag nor presence is looked at. Another node's
// heartbeat is only logged; a file cut short by a malformed line is written
// as far as it was read.
TEST_F(FlashTest, DeviceAlreadyInBootloaderSkipsTheChecksAndTheEnterFrame) {
    const std::string complete = hexText(kSmallImage);
    const std::string path = writeTempFile("image.hex", complete.substr(0, complete.rfind(':')) +
                                                            ":10000000000102030405060708090A0B0C0D0E0F00\r\n" +
                                                            hexText({{0x08001000, pattern(4, 9)}}));
    start(true);
    ASSERT_TRUE(waitUntil([&] { return !driver->isConnected(); }));
    bus.setSendResult(false);  // not running: the latest transmission failed
    ASSERT_TRUE(waitUntil([&] { return !bus.isRunning(); }));
    EXPECT_EQ(driver->flash(path, false), RET_INTERFACE_NOT_RUNNING);
    bus.clearSent();
    SimDevice neighbour(bus, 0x2A);
    const std::string neighbourLine =
        "[FLASH] Unknown Command Id:" + std::to_string(0x80000000u | (0x2Au << 7) | 1u) + "\n";
    pacer.onPause = [&](size_t n) {
        if (n > 1) return;
        bus.setSendResult(true);
        neighbour.sendHeartbeat();
        EXPECT_TRUE(log.waitFor(neighbourLine));
    };

    EXPECT_EQ(driver->flash(path, true), RET_SUCCESS) << log.text();

    EXPECT_TRUE(bus.sentFrames(isEnterBootloader).empty());
    expectFlashed(kSmallImage);
    EXPECT_FALSE(log.contains("Entering DFU Mode")) << log.text();
    std::vector<Millis> pauses = {Millis(2000), Millis(1000), Millis(2000)};
    pauses.insert(pauses.end(), 10, Millis(1));
    EXPECT_EQ(pacer.pauses, pauses);
    expectFlagsClear();
}

// The second acknowledgements of speed, erase and write with no device time
// between them and the first: injected right after it, or in one batch with
// it, before the update waits again. None is lost (a lost one times out).
TEST_F(FlashTest, SecondAcknowledgementsWithoutDelayAreNotLost) {
    const std::string path = smallImageFile();
    start(true);
    for (const bool batched : {false, true}) {
        SCOPED_TRACE(batched);
        boot = std::make_unique<SimBootloader>(bus, kNode, true);
        boot->secondAcksWithoutDelay(batched);
        ASSERT_EQ(driver->flash(path, true), RET_SUCCESS) << log.text();
        expectFlashed(kSmallImage);
        expectFlagsClear();
    }
}

// An incomplete image is not started: the other blocks are still written,
// the count printed, and no go command is sent.
TEST_F(FlashTest, IncompleteImageIsNotStarted) {
    const std::string path = smallImageFile();
    start(true);
    boot->failAt(BootStep::WriteDone, BootFault::Nack, 2);

    EXPECT_EQ(driver->flash(path, true), RET_ERROR);

    // The stream is in hexadecimal here: 0x1F shows as 1f.
    EXPECT_TRUE(log.contains("[FLASH] Writing to memory address failed.0:1f\n")) << log.text();
    EXPECT_EQ(lastLines(2), (Lines{"[FLASH] Memory write error count:1",
                                   "[FLASH] Go command not sent: the image was not written completely."}));
    EXPECT_TRUE(bus.sentFrames([](const can_frame_data& f) { return f.can_id == 0x21; }).empty());
    EXPECT_EQ(boot->writes(), (std::vector<BootWrite>{{0x08000000, 16, true}, {0x08000010, 16, false},
                                                      {0x08000020, 5, true}}));
    EXPECT_EQ(bus.baudRateCalls(), (std::vector<CANBaudRate>{CAN_BAUDRATE_125K, CAN_BAUDRATE_500K,
                                                              CAN_BAUDRATE_500K}));
    expectFlagsClear();
}

// A stray acknowledgement that arrives between two steps (here in the pause
// after sector 0) must not answer the next step's frame before it is sent:
// the rejection of the next erase command is credited to that command.
TEST_F(FlashTest, StrayAcknowledgementDoesNotAnswerTheNextFrame) {
    const std::string path = smallImageFile();
    start(true);
    boot->failAt(BootStep::EraseCount, BootFault::Nack, 2);
    pacer.onPause = [&](size_t n) {
        if (n == 4) injectAndRoute(rawFrame(0x43, {0x79}));
    };

    EXPECT_EQ(driver->flash(path, true), RET_ERROR);

    EXPECT_EQ(lastLines(3), (Lines{"[FLASH] Erasing sector 0 successful.", "[FLASH] Erasing sector 0",
                                   "[FLASH] Erasing for sector 0 failed."}));
    expectFlagsClear();
}

// One update per interface: a second one, here on another node while the
// first pauses, is refused at once and leaves the first one's flag set.
TEST_F(FlashTest, SecondUpdateOnTheInterfaceIsRefused) {
    const std::string path = smallImageFile();
    start(true);
    Driver other(0x2B, &bus);
    pacer.onPause = [&](size_t n) {
        if (n != 2) return;
        const size_t sent = bus.sentFrames().size();
        EXPECT_EQ(other.flash(path, true), RET_ERROR);
        EXPECT_EQ(bus.sentFrames().size(), sent);
        EXPECT_TRUE(bus.bootloaderMode.load());
        EXPECT_FALSE(DeviceAccess::impl(other)->bootloaderMode.load());
    };

    EXPECT_EQ(driver->flash(path, true), RET_SUCCESS) << log.text();

    expectFlashed(kSmallImage);
    EXPECT_EQ(bus.baudRateCalls(), (std::vector<CANBaudRate>{CAN_BAUDRATE_125K, CAN_BAUDRATE_500K,
                                                              CAN_BAUDRATE_500K}));
    expectFlagsClear();
}

struct FaultCase {
    std::string name;
    BootStep step;
    BootFault fault;
    int occurrence;
    std::string lastLine;  // the step's failure message
    uint32_t lastFrameId;
    int lastFrameByte0;    // -1: no data
    bool fastRateReached;
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c) { return out << c.name; }

class FlashFaultTest : public FlashTest, public ::testing::WithParamInterface<FaultCase> {};

// A NACK ends the update with the step's message (status 0) and RET_ERROR,
// silence with status 2 and RET_TIMEOUT; nothing more is sent and the rate
// goes back to 500 kbit/s.
TEST_P(FlashFaultTest, FailedStepEndsTheUpdate) {
    const FaultCase& c = GetParam();
    const std::string path = smallImageFile();
    start(true);
    boot->failAt(c.step, c.fault, c.occurrence);

    EXPECT_EQ(driver->flash(path, true), c.fault == BootFault::Nack ? RET_ERROR : RET_TIMEOUT);

    EXPECT_EQ(lastLines(1), Lines{c.lastLine});
    const std::vector<can_frame_data> sent = bus.sentFrames(isStandard);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().can_id, c.lastFrameId) << describe(sent.back());
    if (c.lastFrameByte0 >= 0) {
        EXPECT_EQ(sent.back().data[0], c.lastFrameByte0) << describe(sent.back());
    }
    std::vector<CANBaudRate> rates = {CAN_BAUDRATE_125K, CAN_BAUDRATE_500K};
    if (c.fastRateReached) rates.push_back(CAN_BAUDRATE_500K);
    EXPECT_EQ(bus.baudRateCalls(), rates);
    EXPECT_FALSE(boot->goAddress().has_value());
    expectFlagsClear();
}

constexpr BootFault kNack = BootFault::Nack, kSilence = BootFault::Silence;
const FaultCase kFaults[] = {
    {"Sync", BootStep::Sync, kNack, 1, "[FLASH] Initialise failed after DFU.0", 0x79, -1, false},
    {"Speed", BootStep::Speed, kNack, 1, "[FLASH] Change Speed command failed.", 0x03, 3, false},
    {"SpeedAtNewRate", BootStep::SpeedAtNewRate, kNack, 1, "[FLASH] ACK receive at new speed failed.0:31", 0x03, 3,
     true},
    {"SilentAtNewRate", BootStep::SpeedAtNewRate, kSilence, 1, "[FLASH] ACK receive at new speed failed.2:0", 0x03, 3,
     true},
    {"EraseCount4", BootStep::EraseCount, kNack, 4, "[FLASH] Erasing for sector 0 failed.", 0x43, 0, true},
    {"EraseSector3", BootStep::EraseSector, kNack, 3, "[FLASH] Erasing sector 2 message failed.", 0x43, 2, true},
    {"EraseDone10", BootStep::EraseDone, kNack, 10, "[FLASH] Erasing sector 9 failed.", 0x43, 9, true},
    {"WriteAddress2", BootStep::WriteAddress, kNack, 2, "[FLASH] Memory address:8000010 is not OK. 0", 0x31, 0x08,
     true},
    {"FullData", BootStep::WriteData, kNack, 1, "[FLASH] [in loop] Flashing at this memory address failed.0", 0x04, 1,
     true},
    {"ShortData", BootStep::WriteData, kNack, 5, "[FLASH] [outside loop] Flashing at this memory address failed.0",
     0x04, 2, true},
    {"Go", BootStep::Go, kNack, 1, "[FLASH] Go command failed.", 0x21, 0x08, true},
};
INSTANTIATE_TEST_SUITE_P(EveryStep, FlashFaultTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// The one real 20 s wait: a silent bootloader gives RET_TIMEOUT.
TEST_F(FlashTest, SilentBootloaderTimesOutAfter20Seconds) {
    const std::string path = smallImageFile();
    start(true);
    DeviceAccess::impl(*driver)->bootloaderReplyWait = quorvel_detail::kBootloaderReplyWait;
    boot->failAt(BootStep::Sync, BootFault::Silence, 0);

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(driver->flash(path, true), RET_TIMEOUT);
    const auto elapsed = std::chrono::steady_clock::now() - t0;

    EXPECT_GE(elapsed, Millis(19900));
    EXPECT_LT(elapsed, Millis(60000));
    EXPECT_EQ(lastLines(1), Lines{"[FLASH] Initialise failed after DFU.2"});
    EXPECT_EQ(bus.baudRateCalls(), (std::vector<CANBaudRate>{CAN_BAUDRATE_125K, CAN_BAUDRATE_500K}));
    expectFlagsClear();
}

TEST(FlashChecks, NoInterfaceInterfaceNotRunningOrNodeAbsent) {
    const std::string path = writeTempFile("image.hex", hexText(kSmallImage));
    EXPECT_EQ(Driver(kNode, nullptr).flash(path, true), RET_INTERFACE_NOT_RUNNING);
    TestTransport bus;
    LogCapture log;
    {
        Driver driver(kNode, &bus);
        driver.setOutputLogStream(&log);
        EXPECT_EQ(driver.flash(path, false), RET_INTERFACE_NOT_RUNNING);
        ASSERT_TRUE(startAndWaitRunning(bus));
        EXPECT_EQ(driver.flash(path, false), RET_NOT_CONNECTED);
    }
    EXPECT_TRUE(bus.deviceFrames().empty());
    EXPECT_TRUE(bus.baudRateCalls().empty());
    EXPECT_EQ(log.text(), "");
    bus.closeInterface();
}

// Missing, empty, non-HEX, data-less and malformed files: refused before
// anything is sent, no rate change, no flag set, in both modes.
TEST_F(FlashTest, UnusableImageFilesAreRefusedBeforeAnythingIsSent) {
    start(false);
    device.startHeartbeats(Millis(50));
    bus.clearSent();
    for (const bool inBootloader : {false, true}) {
        for (const std::string& path :
             {::testing::TempDir() + "qt_no_such_dir/no_such_file.hex", writeTempFile("empty.hex", ""),
              writeTempFile("text.hex", "firmware\n" + hexText(kSmallImage)), writeTempFile("eof_only.hex", hexText({})),
              writeTempFile("bad_checksum.hex", ":10000000000102030405060708090A0B0C0D0E0F00\r\n")}) {
            SCOPED_TRACE(path);
            EXPECT_EQ(driver->flash(path, inBootloader), RET_ERROR);
            expectFlagsClear();
            EXPECT_EQ(log.text(), "[FLASH] Loading firmware file\n[FLASH] Loading done\n"
                                  "[FLASH] Invalid Flash File. Please check path/file.\n");
            log.clear();
        }
    }
    EXPECT_TRUE(bus.sentFrames(isStandard).empty());
    EXPECT_TRUE(bus.sentFrames(isEnterBootloader).empty());
    EXPECT_TRUE(bus.baudRateCalls().empty());
}

}  // namespace
