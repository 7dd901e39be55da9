// Driver::flash against the simulated bootloader, after the pure frame
// builders on their own. The update's fixed pauses run on a virtual clock
// that can also act while the update pauses (no wait armed), and reply waits
// are cut to 1 s; one full update and one 20 s bootloader wait run in real
// time. Every test ends with both bootloader flags clear and the rate calls
// it expects (TearDown).

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <tuple>

#include "device_access.hpp"
#include "driver_impl.hpp"
#include "firmware/bootloader.hpp"
#include "quorvel_transport/intelhex.hpp"
#include "sim_bootloader.hpp"
#include "sim_device.hpp"

using namespace qt_test;
using Blocks = std::map<uint32_t, std::vector<uint8_t>>;
using Lines = std::vector<std::string>;
using quorvel_detail::DeviceAccess;
namespace bl = quorvel_detail::bootloader;

namespace {

constexpr uint32_t kNode = 0x155;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + 13 * i);
    return v;
}

// The blocks flattened to address -> byte.
std::map<uint32_t, uint8_t> bytesOf(const Blocks& blocks) {
    std::map<uint32_t, uint8_t> out;
    for (const auto& [start, bytes] : blocks)
        for (size_t i = 0; i < bytes.size(); ++i) out[start + static_cast<uint32_t>(i)] = bytes[i];
    return out;
}

// A fresh file: `before`, then the blocks as records of at most 16 bytes from
// the image's own writer.
std::string hexFile(const Blocks& blocks, const std::string& before = "") {
    static int files = 0;
    const std::string path = ::testing::TempDir() + "qt_flash_" + std::to_string(::getpid()) + "_" +
                             std::to_string(++files) + ".hex";
    intelhex::hex_data image;
    for (const auto& [address, value] : bytesOf(blocks)) image[address] = value;
    image.tidy(16);
    std::ofstream out(path, std::ios::binary);
    image.write(out << before);
    return path;
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

// The pure builders, exact: a merged block of 600 bytes is cut into
// commands of 256, 256 and 88 bytes (the size byte holds n - 1 and never
// wraps), the last data frame short. Only a reply's first byte decides.
TEST(BootloaderFrames, ExactFrames) {
    const std::vector<uint8_t> block = pattern(600, 5);
    const auto c = bl::splitIntoWriteChunks(0xA1B2C3D4, block);
    ASSERT_EQ(c.size(), 3u);
    const uint8_t* b = block.data();
    EXPECT_EQ(describeAll({bl::writeAddressFrame(c[1]), bl::writeAddressFrame(c[2]), bl::writeDataFrame(c[1], 31),
                           bl::writeDataFrame(c[2], 10), bl::goFrame(0xA1B2C3D4)}),
              describeAll({rawFrame(0x31, {0xA1, 0xB2, 0xC4, 0xD4, 0xFF}), rawFrame(0x31, {0xA1, 0xB2, 0xC5, 0xD4, 87}),
                           rawFrame(0x04, {b + 504, b + 512}), rawFrame(0x04, {b + 592, b + 600}),
                           rawFrame(0x21, {0xA1, 0xB2, 0xC3, 0xD4})}));
    EXPECT_TRUE(bl::accepted(0xAB0179));
    EXPECT_FALSE(bl::accepted(0x1F) || bl::accepted(0x7900));
}

// Blocks of 16, 16 and 5 bytes: full frames and one short frame.
const Blocks kSmallImage = {{0x08000000, pattern(32, 1)}, {0x08000020, pattern(5, 2)}};

// Virtual time that records every pause and runs a hook in it (the update's
// thread, between two waits).
struct StepPacer final : quorvel_detail::Pacer {
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
    // In virtual time the second acknowledgements come right after the first
    // (the real-time run has device time between them).
    void start(bool deviceInBootloader, bool virtualTime = true) {
        boot = std::make_unique<SimBootloader>(bus, kNode, deviceInBootloader, Millis(virtualTime ? 0 : 10));
        device.startHeartbeats(Millis(50));
        ASSERT_TRUE(startAndWaitRunning(bus));
        driver = std::make_unique<Driver>(kNode, &bus);
        driver->setOutputLogStream(&log);
        ASSERT_TRUE(waitUntil([&] { return driver->isConnected(); }));
        device.stopHeartbeats();  // a device in its bootloader sends none
        if (!virtualTime) return;
        path = hexFile(kSmallImage);
        DeviceAccess::impl(*driver)->pacer = &pacer;
        DeviceAccess::impl(*driver)->bootloaderReplyWait = Millis(1000);
    }

    void TearDown() override {
        if (driver) {
            EXPECT_EQ(bus.baudRateCalls(), rates);
            EXPECT_FALSE(bus.bootloaderMode.load() || DeviceAccess::impl(*driver)->bootloaderMode.load());
        }
        driver.reset();
        bus.closeInterface();
    }

    // The update's lines, without the reply machinery's line for every
    // decoded acknowledgement (written on the receive thread).
    Lines lines() const {
        Lines out;
        std::istringstream in(log.text());
        for (std::string line; std::getline(in, line);)
            if (line != "setting new data received as true") out.push_back(line);
        return out;
    }

    TestTransport bus;
    SimDevice device{bus, kNode};
    std::unique_ptr<SimBootloader> boot;
    LogCapture log;
    StepPacer pacer;
    std::unique_ptr<Driver> driver;
    // The setCANBaudRate calls the test expects.
    std::vector<CANBaudRate> rates = {CAN_BAUDRATE_125K, CAN_BAUDRATE_500K, CAN_BAUDRATE_500K};
    std::string path;  // the small image (virtual time)
};

// The real-time run: exact frames (the bootloader's memory and start address
// follow from them), the whole log with its number bases, and normal
// operation after it.
TEST_F(FlashTest, UpdateWritesExactlyTheImageAndStartsItAtItsLowestAddress) {
    // One block per record: the writer joins the first three (40 bytes) and
    // the last two (20 bytes, across 64 KiB) and cuts them at 16 bytes again.
    // The start address record names another address, which is not used.
    const Blocks blocks = {{0x08000000, pattern(16, 1)}, {0x08000010, pattern(16, 2)}, {0x08000020, pattern(8, 3)},
                           {0x08000100, pattern(7, 4)},  {0x0800FFF0, pattern(16, 5)}, {0x08010000, pattern(4, 6)}};
    start(false, false);
    path = hexFile(blocks, ":040000050800019955\n");

    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(driver->flash(path, false), RET_SUCCESS) << log.text();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, Millis(7000));  // the fixed pauses

    // Nothing but the update's frames (the enter frame once), heartbeats aside.
    std::vector<can_frame_data> expected = {rawFrame(0x80000000u | (kNode << 7) | 127u, {}), rawFrame(0x79, {}),
                                            rawFrame(0x03, {3})};
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
    for (const auto& [a, bytes] : blocks) {
        const size_t n = bytes.size();
        expected.push_back(
            rawFrame(0x31, {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a), uint8_t(n - 1)}));
        for (size_t i = 0; i < n; i += 8)
            expected.push_back(rawFrame(0x04, {bytes.data() + i, bytes.data() + std::min(n, i + 8)}));
        std::ostringstream hex;
        hex << std::hex << a;
        want.insert(want.end(), {"[FLASH] Address:" + hex.str(), "[FLASH] Data Size:" + std::to_string(n),
                                 "[FLASH] Memory address:" + hex.str() + " is OK."});
        want.insert(want.end(), n / 8, "[FLASH] [in loop] Flashing at this memory address successfull.");
        want.push_back("");
        if (n % 8 != 0) want.push_back("[FLASH] [outside loop] Flashing at this memory address successfull.");
        want.push_back("[FLASH] Writing to memory address successfull.");
    }
    expected.push_back(rawFrame(0x21, {0x08, 0x00, 0x00, 0x00}));
    want.insert(want.end(), {"[FLASH] Memory write error count:0", "[FLASH] Go command successfull."});
    EXPECT_EQ(describeAll(bus.deviceFrames()), describeAll(expected));
    EXPECT_EQ(lines(), want);

    // No master heartbeat from the enter frame to go.
    const std::vector<can_frame_data> all = bus.sentFrames();
    const auto enter = std::find_if(all.begin(), all.end(), isEnterBootloader);
    const auto go = std::find_if(enter, all.end(), [](const can_frame_data& f) { return f.can_id == 0x21; });
    EXPECT_TRUE(go != all.end() && std::find_if(enter, go, isMasterHeartbeat) == go);
}

// The status checks refuse before anything is sent or logged. A device
// already in its bootloader skips them (here the node is silent and the
// interface not running) and the enter frame with its pause. One update
// per interface: a second one, here on another node while the first pauses,
// is refused at once and leaves the first one's flag set. This bootloader
// sends the second acknowledgements of speed, erase and write in one batch
// with the first, before the update waits again (every other virtual-time run
// sends them right after it): none may be lost (a lost one times out).
TEST_F(FlashTest, StatusChecksAndOneUpdatePerInterface) {
    start(true);
    boot = std::make_unique<SimBootloader>(bus, kNode, true, Millis(0), true);
    EXPECT_EQ(Driver(kNode, nullptr).flash(path, true), RET_INTERFACE_NOT_RUNNING);
    ASSERT_TRUE(waitUntil([&] { return !driver->isConnected(); }));
    EXPECT_EQ(driver->flash(path, false), RET_NOT_CONNECTED);
    bus.setSendResult(false);  // not running: the latest transmission failed
    ASSERT_TRUE(waitUntil([&] { return !bus.isRunning(); }));
    EXPECT_EQ(driver->flash(path, false), RET_INTERFACE_NOT_RUNNING);
    EXPECT_TRUE(bus.deviceFrames().empty());
    EXPECT_EQ(log.text(), "");
    Driver other(0x2B, &bus);
    pacer.onPause = [&](size_t n) {
        if (n == 1) bus.setSendResult(true);
        if (n != 2) return;
        const size_t sent = bus.sentFrames().size();
        EXPECT_EQ(other.flash(path, true), RET_ERROR);
        EXPECT_EQ(bus.sentFrames().size(), sent);
        EXPECT_TRUE(bus.bootloaderMode.load());
        EXPECT_FALSE(DeviceAccess::impl(other)->bootloaderMode.load());
    };

    EXPECT_EQ(driver->flash(path, true), RET_SUCCESS) << log.text();

    EXPECT_TRUE(bus.sentFrames(isEnterBootloader).empty());
    EXPECT_EQ(boot->memory(), bytesOf(kSmallImage));
    EXPECT_EQ(boot->goAddress(), std::optional<uint32_t>(0x08000000));
    std::vector<Millis> pauses = {Millis(2000), Millis(1000), Millis(2000)};
    pauses.insert(pauses.end(), 10, Millis(1));
    EXPECT_EQ(pacer.pauses, pauses);
}

// An incomplete image is not started: the other blocks are still written,
// the count printed, and no go command is sent.
TEST_F(FlashTest, IncompleteImageIsNotStarted) {
    start(true);
    boot->failAt(BootStep::WriteDone, BootFault::Nack, 2);

    EXPECT_EQ(driver->flash(path, true), RET_ERROR);

    // The stream is in hexadecimal here: 0x1F shows as 1f.
    EXPECT_TRUE(log.contains("[FLASH] Writing to memory address failed.0:1f\n")) << log.text();
    const Lines all = lines();
    EXPECT_EQ(all[all.size() - 2], "[FLASH] Memory write error count:1");
    EXPECT_EQ(all.back(), "[FLASH] Go command not sent: the image was not written completely.");
    EXPECT_FALSE(boot->goAddress().has_value());
    EXPECT_EQ(boot->memory(), bytesOf({{0x08000000, pattern(16, 1)}, {0x08000020, pattern(5, 2)}}));
}

// The step, fault and occurrence; the step's failure message; the last frame
// sent (identifier, first byte or -1: no data); the pause in which a stray
// erase acknowledgement is routed (0: none).
using FaultCase = std::tuple<BootStep, BootFault, int, std::string, uint32_t, int, size_t>;
class FlashFaultTest : public FlashTest, public ::testing::WithParamInterface<FaultCase> {};

// A NACK ends the update with the step's message (status 0) and RET_ERROR,
// silence with status 2 and RET_TIMEOUT; nothing more is sent. A stray
// acknowledgement that arrives between two steps (here in the pause after
// sector 0) must not answer the next step's frame before it is sent: the
// rejection of the next erase command is credited to that command. The last
// frame sent is the failed step's own, so no go command follows.
TEST_P(FlashFaultTest, FailedStepEndsTheUpdate) {
    const auto& [step, fault, occurrence, lastLine, lastId, lastByte0, strayAtPause] = GetParam();
    start(true);
    boot->failAt(step, fault, occurrence);
    pacer.onPause = [&, stray = strayAtPause](size_t n) {
        if (n != stray) return;
        const long idle = bus.idleReceives();  // routed once two receives found nothing
        bus.inject(rawFrame(0x43, {0x79}));
        ASSERT_TRUE(waitUntil([&] { return bus.idleReceives() >= idle + 2; }));
    };

    EXPECT_EQ(driver->flash(path, true), fault == BootFault::Nack ? RET_ERROR : RET_TIMEOUT);

    EXPECT_EQ(lines().back(), lastLine);
    const std::vector<can_frame_data> sent = bus.sentFrames(isStandard);
    ASSERT_FALSE(sent.empty());
    const can_frame_data& last = sent.back();
    EXPECT_TRUE(last.can_id == lastId && (lastByte0 < 0 || last.data[0] == lastByte0)) << describe(last);
    if (step <= BootStep::Speed) rates.pop_back();  // 500 kbit/s only on the way out
}

constexpr BootFault kNack = BootFault::Nack;
const FaultCase kFaults[] = {
    {BootStep::Sync, kNack, 1, "[FLASH] Initialise failed after DFU.0", 0x79, -1, 0},
    {BootStep::Speed, kNack, 1, "[FLASH] Change Speed command failed.", 0x03, 3, 0},
    {BootStep::SpeedAtNewRate, kNack, 1, "[FLASH] ACK receive at new speed failed.0:31", 0x03, 3, 0},
    {BootStep::SpeedAtNewRate, BootFault::Silence, 1, "[FLASH] ACK receive at new speed failed.2:0", 0x03, 3, 0},
    {BootStep::EraseCount, kNack, 4, "[FLASH] Erasing for sector 0 failed.", 0x43, 0, 0},
    {BootStep::EraseCount, kNack, 2, "[FLASH] Erasing for sector 0 failed.", 0x43, 0, 4},  // after a stray ACK
    {BootStep::EraseSector, kNack, 3, "[FLASH] Erasing sector 2 message failed.", 0x43, 2, 0},
    {BootStep::EraseDone, kNack, 10, "[FLASH] Erasing sector 9 failed.", 0x43, 9, 0},
    {BootStep::WriteAddress, kNack, 2, "[FLASH] Memory address:8000010 is not OK. 0", 0x31, 0x08, 0},
    {BootStep::WriteData, kNack, 1, "[FLASH] [in loop] Flashing at this memory address failed.0", 0x04, 1, 0},
    {BootStep::WriteData, kNack, 5, "[FLASH] [outside loop] Flashing at this memory address failed.0", 0x04, 2, 0},
    {BootStep::Go, kNack, 1, "[FLASH] Go command failed.", 0x21, 0x08, 0},
};
INSTANTIATE_TEST_SUITE_P(EveryStep, FlashFaultTest, ::testing::ValuesIn(kFaults));

// A transport that throws on a rate change: the exception reaches the
// caller; on the way out the rate is set back (that throw is logged) and both
// flags are cleared (TearDown).
TEST_F(FlashTest, ARateChangeThatThrowsReachesTheCallerWithTheFlagsCleared) {
    start(true);
    bus.setRateChangeThrows(true);
    EXPECT_THROW(driver->flash(path, true), std::runtime_error);
    EXPECT_EQ(lines().back(), "[FLASH] Exception while restoring the bit rate: rate change failed");
    rates.pop_back();
}

// The one real 20 s wait: a silent bootloader gives RET_TIMEOUT.
TEST_F(FlashTest, SilentBootloaderTimesOutAfter20Seconds) {
    start(true);
    DeviceAccess::impl(*driver)->bootloaderReplyWait = quorvel_detail::kBootloaderReplyWait;
    boot->failAt(BootStep::Sync, BootFault::Silence);

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(driver->flash(path, true), RET_TIMEOUT);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_TRUE(elapsed >= Millis(19900) && elapsed < Millis(60000));
    EXPECT_EQ(lines().back(), "[FLASH] Initialise failed after DFU.2");
    rates.pop_back();
}

// Missing, non-HEX, data-less and malformed files: refused before
// anything is sent (the enter frame first of all), no rate change, no flag
// set.
TEST_F(FlashTest, UnusableImageFilesAreRefusedBeforeAnythingIsSent) {
    start(false);
    device.startHeartbeats(Millis(50));
    rates.clear();
    for (const std::string& file :
         {::testing::TempDir() + "qt_no_such_dir/no_such_file.hex", hexFile({}), hexFile(kSmallImage, "firmware\n"),
          hexFile({}, ":10000000000102030405060708090A0B0C0D0E0F00\r\n")}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(driver->flash(file, false), RET_ERROR);
        EXPECT_EQ(log.text(), "[FLASH] Loading firmware file\n[FLASH] Loading done\n"
                              "[FLASH] Invalid Flash File. Please check path/file.\n");
        log.clear();
    }
    EXPECT_TRUE(bus.deviceFrames().empty());
}

}  // namespace
