// Driver::flash against a simulated STM32 CAN bootloader: the whole update,
// a fault at every step, the status checks and unusable image files. Every
// full update takes at least 5 s of fixed pauses, so each case is its own
// test and CTest runs them side by side.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "device_request.hpp"
#include "driver.hpp"
#include "driver_impl.hpp"
#include "firmware_update.hpp"
#include "intelhex.hpp"
#include "sim_bootloader.hpp"
#include "sim_device.hpp"

using namespace qt_test;
using Blocks = std::map<uint32_t, std::vector<uint8_t>>;

namespace {

constexpr uint32_t kNode = 0x155;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + 13 * i);
    return v;
}

// The update's own lines: without the reply machinery's line for every
// decoded acknowledgement (written on the receive thread).
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line != "setting new data received as true") lines.push_back(line);
    }
    return lines;
}

std::string updateText(const std::string& text) {
    std::string out;
    for (const std::string& line : linesOf(text)) out += line + "\n";
    return out;
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

// Three blocks of 16, 16 and 5 bytes: full frames, and one short frame.
const Blocks kSmallImage = {{0x08000000, pattern(32, 1)}, {0x08000020, pattern(5, 2)}};

class FlashTest : public ::testing::Test {
protected:
    void start(bool deviceInBootloader) {
        boot = std::make_unique<SimBootloader>(bus, kNode, deviceInBootloader);
        device.startHeartbeats(Millis(50));
        ASSERT_TRUE(startAndWaitRunning(bus));
        driver = std::make_unique<Driver>(kNode, &bus);
        driver->setOutputLogStream(&log);
        ASSERT_TRUE(waitUntil([&] { return driver->isConnected(); }));
        // A device in its bootloader sends no heartbeats.
        device.stopHeartbeats();
    }

    void TearDown() override {
        driver.reset();
        bus.closeInterface();
    }

    std::vector<can_frame_data> bootloaderFramesSent() const { return bus.sentFrames(isStandard); }

    // A complete, clean update of `blocks`, started at the lowest address.
    void expectFlashed(const Blocks& blocks) {
        EXPECT_EQ(boot->memory(), bytesOf(blocks));
        EXPECT_EQ(boot->goAddress(), std::optional<uint32_t>(blocks.begin()->first));
        EXPECT_EQ(boot->erasedSectors(), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
        EXPECT_EQ(boot->protocolErrors(), 0);
        EXPECT_EQ(boot->overwrites(), 0);
    }

    // Write commands as the bootloader took them: address, size, programmed.
    std::vector<std::tuple<uint32_t, size_t, bool>> writes() const {
        std::vector<std::tuple<uint32_t, size_t, bool>> out;
        for (const BootWrite& w : boot->writes()) out.emplace_back(w.address, w.size, w.programmed);
        return out;
    }

    // After any return: both bootloader flags clear, master heartbeats and
    // presence drops back, and the driver's reads dispatch by command id
    // and wait 200 ms again.
    void expectNormalOperationResumed() {
        EXPECT_FALSE(bus.bootloaderMode.load());
        const size_t beats = bus.sentFrames(isMasterHeartbeat).size();
        EXPECT_TRUE(bus.waitForSent(isMasterHeartbeat, beats + 2, Millis(2000)).has_value());
        EXPECT_TRUE(waitUntil([&] { return !driver->isConnected(); }, Millis(3000)))
            << "a silent device is dropped again";

        device.answer(70, Payload().put<float>(24.0f).put<float>(1.5f).reply());
        device.startHeartbeats(Millis(50));
        ASSERT_TRUE(waitUntil([&] { return driver->isConnected(); }));
        float volts = 0;
        EXPECT_EQ(driver->getBusVoltage(&volts), RET_SUCCESS);
        EXPECT_EQ(volts, 24.0f);
        device.silence(70);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(driver->getBusVoltage(&volts), RET_TIMEOUT);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, Millis(5000));
    }

    TestTransport bus;
    SimDevice device{bus, kNode};
    std::unique_ptr<SimBootloader> boot;
    LogCapture log;
    std::unique_ptr<Driver> driver;
};

// --- the whole update --------------------------------------------------------

TEST_F(FlashTest, UpdateWritesExactlyTheImageAndStartsItAtItsLowestAddress) {
    // Records of 16 bytes give blocks of 16 bytes and a 7-byte one; one block
    // crosses a 64 KiB boundary (two records with an address record between).
    const Blocks blocks = {{0x08000000, pattern(40, 1)}, {0x08000100, pattern(7, 2)}, {0x0800FFFC, pattern(20, 3)}};
    const uint8_t startAddress[4] = {0x08, 0x00, 0x01, 0x99};
    // The start address record names another address; it is not used.
    const std::string path = writeTempFile("image.hex", hexRecord(5, 0, startAddress, 4) + hexText(blocks));
    start(false);

    ASSERT_EQ(driver->flash(path, false), RET_SUCCESS) << log.text();

    expectFlashed(blocks);
    EXPECT_EQ(boot->unheardFrames(), 0);
    EXPECT_EQ(boot->enterRequests(), 1);
    EXPECT_EQ(bus.baudRateCalls(), (std::vector<CANBaudRate>{CAN_BAUDRATE_125K, CAN_BAUDRATE_500K,
                                                              CAN_BAUDRATE_500K}));

    // Exact frames and the whole log, with its number bases: sync, speed, one
    // sector per erase command, then per block (as the file's records hold
    // them) the address frame and the data frames, then go.
    std::vector<can_frame_data> expected = {rawFrame(0x79, {}), rawFrame(0x03, {3})};
    std::vector<std::string> want = {"[FLASH] Loading firmware file", "[FLASH] Loading done", "Entering DFU Mode",
                                     "Changing Baud rate to 125K", "Sending standard ID",
                                     "[FLASH] Initialisation Successfull", "Changing Baud Rate to 1M",
                                     "[FLASH] Change Speed command successfull.",
                                     "[FLASH] ACK received at new speed.", "Erasing"};
    for (uint8_t s = 0; s < 10; ++s) {
        expected.push_back(rawFrame(0x43, {0}));
        expected.push_back(rawFrame(0x43, {s}));
        const std::string n = std::to_string(s);
        want.insert(want.end(), {"[FLASH] Erasing sector 0", "[FLASH] Erasing sector " + n,
                                 "[FLASH] Erasing sector " + n + " message successful.",
                                 "[FLASH] Erasing sector " + n + " successful."});
    }
    size_t recordBlocks = 0;
    for (const auto& [address, bytes] : blocks) {
        for (size_t offset = 0, n = 0; offset < bytes.size(); offset += n, ++recordBlocks) {
            const uint32_t a = address + static_cast<uint32_t>(offset);
            n = std::min<size_t>({16, bytes.size() - offset, 0x10000 - (a & 0xFFFF)});
            expected.push_back(rawFrame(0x31, {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                                               static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                                               static_cast<uint8_t>(n - 1)}));
            for (size_t i = offset; i < offset + n; i += 8) {
                expected.push_back(rawFrame(0x04, std::vector<uint8_t>(bytes.begin() + static_cast<long>(i),
                                                                       bytes.begin() + static_cast<long>(
                                                                           std::min(i + 8, offset + n)))));
            }
            std::ostringstream hex;
            hex << std::hex << a;
            want.push_back("[FLASH] Address:" + hex.str());
            want.push_back("[FLASH] Data Size:" + std::to_string(n));
            want.push_back("[FLASH] Memory address:" + hex.str() + " is OK.");
            want.insert(want.end(), n / 8, "[FLASH] [in loop] Flashing at this memory address successfull.");
            want.push_back("");
            if (n % 8 != 0) want.push_back("[FLASH] [outside loop] Flashing at this memory address successfull.");
            want.push_back("[FLASH] Writing to memory address successfull.");
        }
    }
    ASSERT_EQ(recordBlocks, 6u);  // 16, 16, 8, 7, 4 and 16 bytes
    expected.push_back(rawFrame(0x21, {0x08, 0x00, 0x00, 0x00}));
    want.insert(want.end(), {"[FLASH] Memory write error count:0", "[FLASH] Go command successfull."});
    EXPECT_EQ(describeAll(bootloaderFramesSent()), describeAll(expected));
    EXPECT_EQ(linesOf(log.text()), want);

    // The enter-bootloader frame comes first, once; no master heartbeat from
    // it to the go command.
    const std::vector<can_frame_data> all = bus.sentFrames();
    const auto enter = std::find_if(all.begin(), all.end(), isEnterBootloader);
    const auto go = std::find_if(all.begin(), all.end(), [](const can_frame_data& f) { return f.can_id == 0x21; });
    ASSERT_LT(enter, go);
    EXPECT_EQ(std::find_if(enter, go, isMasterHeartbeat), go);
    EXPECT_EQ(bus.sentFrames(isEnterBootloader).size(), 1u);

    // The log stream is left in hexadecimal.
    std::ostringstream probe;
    probe.copyfmt(log);
    probe << 255;
    EXPECT_EQ(probe.str(), "ff");

    expectNormalOperationResumed();
}

// The device already runs its bootloader: no enter-bootloader frame, and
// neither the running flag nor the node's presence is looked at.
TEST_F(FlashTest, DeviceAlreadyInBootloaderSkipsTheChecksAndTheEnterFrame) {
    const std::string path = writeTempFile("image.hex", hexText(kSmallImage));
    start(true);
    // Not present: no heartbeat for longer than the drop age.
    ASSERT_TRUE(waitUntil([&] { return !driver->isConnected(); }));
    // Not running: the latest transmission failed. Sending works again once
    // the update is under way (master heartbeats have stopped by then).
    bus.setSendResult(false);
    ASSERT_TRUE(waitUntil([&] { return !bus.isRunning(); }));
    EXPECT_EQ(driver->flash(path, false), RET_INTERFACE_NOT_RUNNING);
    bus.clearSent();
    bus.schedule(Millis(500), [this] { bus.setSendResult(true); });

    EXPECT_EQ(driver->flash(path, true), RET_SUCCESS);

    EXPECT_TRUE(bus.sentFrames(isEnterBootloader).empty());
    EXPECT_EQ(boot->enterRequests(), 0);
    expectFlashed(kSmallImage);
    const std::vector<std::string> lines = linesOf(log.text());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "[FLASH] Loading done");
    EXPECT_EQ(lines[2], "Changing Baud rate to 125K");
    EXPECT_FALSE(bus.bootloaderMode.load());
}

// Heartbeats of another node reach the flashed device raw and are only
// logged; a file cut short by a malformed line is written as far as it was
// read.
TEST_F(FlashTest, OtherTrafficAndATruncatedFileLeaveTheUpdateIntact) {
    const std::string complete = hexText(kSmallImage);
    const std::string body = complete.substr(0, complete.rfind(':'));  // without the end-of-file record
    const Blocks late = {{0x08001000, pattern(4, 9)}};
    const std::string path =
        writeTempFile("image.hex", body + ":10000000000102030405060708090A0B0C0D0E0F00\r\n" + hexText(late));
    start(true);
    SimDevice neighbour(bus, 0x2A);
    neighbour.startHeartbeats(Millis(20));

    EXPECT_EQ(driver->flash(path, true), RET_SUCCESS);
    neighbour.stopHeartbeats();

    expectFlashed(kSmallImage);
    const uint32_t heartbeatId = 0x80000000u | (0x2Au << 7) | 1u;
    EXPECT_TRUE(log.contains("[FLASH] Unknown Command Id:" + std::to_string(heartbeatId) + "\n")) << log.text();
}

// A block longer than one write-memory command can carry (an image merged
// with compact) is written as commands of at most 256 bytes.
TEST_F(FlashTest, MergedBlocksAreWrittenAsCommandsOfAtMost256Bytes) {
    const Blocks blocks = {{0x08000000, pattern(600, 5)}, {0x08001000, pattern(3, 6)}};
    intelhex::hex_data image;
    std::istringstream text(hexText(blocks));
    image.read(text);
    image.compact();
    ASSERT_EQ(image.begin()->second.size(), 600u);

    boot = std::make_unique<SimBootloader>(bus, kNode, true);
    ASSERT_TRUE(startAndWaitRunning(bus));
    // The routine on a bare driver implementation, as Driver::flash runs it
    // once the image is loaded.
    struct BareDriver : CANDeviceType {
        explicit BareDriver(unsigned int id) { nodeId = id; }
        void canMsgCallback(can_frame_data* frame) override { impl.onFrame(frame); }
        Driver::DriverImpl impl;
    } bare(kNode);
    bus.registerCANMsgCallback(&bare);
    const quorvel_detail::DeviceLink<Driver::DriverImpl> link{&bare.impl, &bus, kNode};
    const ret_status_t status = quorvel_detail::firmware::update(link, image, true);
    bus.unregisterCANMsgCallback(&bare);

    EXPECT_EQ(status, RET_SUCCESS);
    expectFlashed(blocks);
    EXPECT_EQ(writes(), (std::vector<std::tuple<uint32_t, size_t, bool>>{
                            {0x08000000, 256, true}, {0x08000100, 256, true}, {0x08000200, 88, true},
                            {0x08001000, 3, true}}));
    EXPECT_FALSE(bare.impl.bootloaderMode.load());
    EXPECT_FALSE(bus.bootloaderMode.load());
}

// The second acknowledgement of the speed change, of every erase and of
// every write follows the first with no device time: injected right after
// it, or delivered in one batch with it, before the update has taken the
// first and waits again. Nothing is lost and nothing waits for a time-out.
class FlashBackToBackTest : public FlashTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FlashBackToBackTest, SecondAcknowledgementsWithoutDelayAreNotLost) {
    const Blocks blocks = {{0x08000000, pattern(40, 1)}, {0x08000100, pattern(7, 2)}};
    const std::string path = writeTempFile("image.hex", hexText(blocks));
    start(true);
    boot->secondAcksWithoutDelay(GetParam());

    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(driver->flash(path, true), RET_SUCCESS) << log.text();
    // 5 s of fixed pauses; a lost acknowledgement would cost 20 s.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));

    expectFlashed(blocks);
    EXPECT_EQ(writes(), (std::vector<std::tuple<uint32_t, size_t, bool>>{
                            {0x08000000, 16, true}, {0x08000010, 16, true}, {0x08000020, 8, true},
                            {0x08000100, 7, true}}));
    const std::string text = updateText(log.text());
    EXPECT_NE(text.find("[FLASH] ACK received at new speed.\n"), std::string::npos) << text;
    const std::vector<std::string> lines = linesOf(text);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[FLASH] Erasing sector 9 successful."), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[FLASH] Writing to memory address successfull."), 4);
    EXPECT_NE(text.find("[FLASH] Memory write error count:0\n[FLASH] Go command successfull.\n"), std::string::npos)
        << text;
    expectNormalOperationResumed();
}

INSTANTIATE_TEST_SUITE_P(InjectedOrBatched, FlashBackToBackTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "OneBatch" : "RightAfter");
                         });

// --- faults -------------------------------------------------------------------

struct FaultCase {
    std::string name;
    BootStep step;
    int occurrence;
    std::string lastLine;           // the step's failure message
    uint32_t lastFrameId;           // the last frame sent
    int lastFrameByte0;             // its first data byte, -1: not checked
    std::vector<CANBaudRate> rates; // every bit-rate call
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c) { return out << c.name; }

class FlashFaultTest : public FlashTest, public ::testing::WithParamInterface<FaultCase> {};

// A rejected acknowledgement (NACK 0x1F) ends the update with the step's
// message, showing status 0, and RET_ERROR; nothing more is sent.
TEST_P(FlashFaultTest, RejectedAcknowledgementEndsTheUpdate) {
    const FaultCase& c = GetParam();
    const std::string path = writeTempFile("image.hex", hexText(kSmallImage));
    start(true);
    boot->failAt(c.step, BootFault::Nack, c.occurrence);

    EXPECT_EQ(driver->flash(path, true), RET_ERROR);

    const std::vector<std::string> lines = linesOf(log.text());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.lastLine);
    const std::vector<can_frame_data> sent = bootloaderFramesSent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().can_id, c.lastFrameId) << describe(sent.back());
    if (c.lastFrameByte0 >= 0) {
        EXPECT_EQ(sent.back().data[0], c.lastFrameByte0) << describe(sent.back());
    }
    EXPECT_EQ(bus.baudRateCalls(), c.rates);
    EXPECT_FALSE(boot->goAddress().has_value());
    expectNormalOperationResumed();
}

const std::vector<CANBaudRate> kSlowThenBack = {CAN_BAUDRATE_125K, CAN_BAUDRATE_500K};
const std::vector<CANBaudRate> kSlowFastBack = {CAN_BAUDRATE_125K, CAN_BAUDRATE_500K, CAN_BAUDRATE_500K};

INSTANTIATE_TEST_SUITE_P(
    EveryStep, FlashFaultTest,
    ::testing::Values(
        FaultCase{"Sync", BootStep::Sync, 1, "[FLASH] Initialise failed after DFU.0", 0x79, -1, kSlowThenBack},
        FaultCase{"Speed", BootStep::Speed, 1, "[FLASH] Change Speed command failed.", 0x03, 3, kSlowThenBack},
        FaultCase{"SpeedAtNewRate", BootStep::SpeedAtNewRate, 1, "[FLASH] ACK receive at new speed failed.0:31", 0x03,
                  3, kSlowFastBack},
        FaultCase{"EraseCountOfSector3", BootStep::EraseCount, 4, "[FLASH] Erasing for sector 0 failed.", 0x43, 0,
                  kSlowFastBack},
        FaultCase{"EraseSector2", BootStep::EraseSector, 3, "[FLASH] Erasing sector 2 message failed.", 0x43, 2,
                  kSlowFastBack},
        FaultCase{"EraseDoneSector9", BootStep::EraseDone, 10, "[FLASH] Erasing sector 9 failed.", 0x43, 9,
                  kSlowFastBack},
        FaultCase{"WriteAddressOfSecondBlock", BootStep::WriteAddress, 2,
                  "[FLASH] Memory address:8000010 is not OK. 0", 0x31, 0x08, kSlowFastBack},
        FaultCase{"FullDataFrame", BootStep::WriteData, 1,
                  "[FLASH] [in loop] Flashing at this memory address failed.0", 0x04, 1, kSlowFastBack},
        FaultCase{"ShortDataFrame", BootStep::WriteData, 5,
                  "[FLASH] [outside loop] Flashing at this memory address failed.0", 0x04, 2, kSlowFastBack},
        FaultCase{"Go", BootStep::Go, 1, "[FLASH] Go command failed.", 0x21, 0x08, kSlowFastBack}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// A write whose completion is rejected is counted; the other blocks and the
// go command still go out, and the update reports RET_ERROR.
TEST_F(FlashTest, RejectedWriteCompletionIsCountedAndTheUpdateGoesOn) {
    const std::string path = writeTempFile("image.hex", hexText(kSmallImage));
    start(true);
    boot->failAt(BootStep::WriteDone, BootFault::Nack, 2);

    EXPECT_EQ(driver->flash(path, true), RET_ERROR);

    const std::string text = updateText(log.text());
    // The stream is in hexadecimal here: the acknowledgement 0x1F shows as 1f.
    EXPECT_NE(text.find("[FLASH] Writing to memory address failed.0:1f\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[FLASH] Memory write error count:1\n[FLASH] Go command successfull.\n"), std::string::npos)
        << text;
    EXPECT_EQ(boot->goAddress(), std::optional<uint32_t>(0x08000000));
    EXPECT_EQ(writes(), (std::vector<std::tuple<uint32_t, size_t, bool>>{
                            {0x08000000, 16, true}, {0x08000010, 16, false}, {0x08000020, 5, true}}));
    std::map<uint32_t, uint8_t> expected = bytesOf(kSmallImage);
    for (uint32_t a = 0x08000010; a < 0x08000020; ++a) expected.erase(a);
    EXPECT_EQ(boot->memory(), expected);
    expectNormalOperationResumed();
}

// The one slow case: a silent bootloader gives RET_TIMEOUT after 20 s.
TEST_F(FlashTest, SilentBootloaderTimesOutAfter20Seconds) {
    const std::string path = writeTempFile("image.hex", hexText(kSmallImage));
    start(true);
    boot->failAt(BootStep::Sync, BootFault::Silence, 0);

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(driver->flash(path, true), RET_TIMEOUT);
    const auto elapsed = std::chrono::steady_clock::now() - t0;

    // 2 s after the rate change, 1 s before the wait, then the 20 s wait.
    EXPECT_GE(elapsed, Millis(22900));
    EXPECT_LT(elapsed, Millis(60000));
    EXPECT_EQ(linesOf(log.text()).back(), "[FLASH] Initialise failed after DFU.2");
    EXPECT_EQ(bus.baudRateCalls(), kSlowThenBack);
    expectNormalOperationResumed();
}

// --- checks before anything is sent ----------------------------------------

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

class FlashFileTest : public FlashTest, public ::testing::WithParamInterface<bool> {
protected:
    // Nothing sent, no rate change, no flag set, and the three lines.
    void expectRefused(const std::string& path) {
        bus.clearSent();
        EXPECT_EQ(driver->flash(path, GetParam()), RET_ERROR);
        EXPECT_TRUE(bus.sentFrames(isStandard).empty());
        EXPECT_TRUE(bus.sentFrames(isEnterBootloader).empty());
        EXPECT_TRUE(bus.baudRateCalls().empty());
        EXPECT_FALSE(bus.bootloaderMode.load());
        EXPECT_EQ(log.text(),
                  "[FLASH] Loading firmware file\n[FLASH] Loading done\n"
                  "[FLASH] Invalid Flash File. Please check path/file.\n");
        log.clear();
    }
};

TEST_P(FlashFileTest, UnusableImageFilesAreRefusedBeforeAnythingIsSent) {
    start(false);
    device.startHeartbeats(Millis(50));
    expectRefused(::testing::TempDir() + "qt_no_such_dir/no_such_file.hex");
    expectRefused(writeTempFile("empty.hex", ""));
    expectRefused(writeTempFile("text.hex", "firmware\n" + hexText(kSmallImage)));
    expectRefused(writeTempFile("eof_only.hex", hexText({})));
    expectRefused(writeTempFile("bad_checksum.hex", ":10000000000102030405060708090A0B0C0D0E0F00\r\n"));
    EXPECT_EQ(boot->enterRequests(), 0);
    EXPECT_TRUE(boot->heard().empty());
}

INSTANTIATE_TEST_SUITE_P(BothModes, FlashFileTest, ::testing::Bool());

}  // namespace
