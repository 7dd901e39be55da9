#ifndef QT_TESTS_SIM_BOOTLOADER_HPP
#define QT_TESTS_SIM_BOOTLOADER_HPP

// A simulated STM32 system bootloader (CAN protocol of ST AN3154) on a
// TestTransport, behind a motor-protocol device that starts it on command
// 127. It answers with standard identifiers, keeps the bytes written into a
// model of its flash, and checks the protocol: a frame it does not expect is
// answered with a NACK and counted as a protocol error.
//
// Bit rates: the host's rate is the latest TestTransport::setCANBaudRate
// call (500 kbit/s before any). The bootloader starts at 125 kbit/s and
// switches to the rate of an accepted speed command; a frame sent while the
// two rates differ is not heard (counted), and the acknowledgement at the new
// rate waits until the host has switched too.
//
// Replies that follow device work (the speed change, a sector erase, a
// completed write) come after a device delay; the others come at once, on
// the sending thread. Any step can be made to answer with a NACK or not at
// all, and the second acknowledgements can be made to follow the first with
// no delay at all, even in the same batch of received frames.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_transport.hpp"

namespace qt_test {

enum class BootStep {
    Sync,            // synchronisation frame 0x79
    Speed,           // speed command, acknowledged at the old rate
    SpeedAtNewRate,  // its second acknowledgement, at the new rate
    EraseCount,      // erase command: number of sectors
    EraseSector,     // erase command: a sector number
    EraseDone,       // the erase finished
    WriteAddress,    // write-memory command: address and size
    WriteData,       // one data frame (0x04)
    WriteDone,       // all announced bytes programmed
    Go,              // go command
};

enum class BootFault { Nack, Silence };

struct BootWrite {
    uint32_t address;
    size_t size;
    bool programmed;
};

class SimBootloader {
public:
    static constexpr uint8_t kAck = 0x79;
    static constexpr uint8_t kNack = 0x1F;

    SimBootloader(TestTransport& bus, uint32_t nodeId, bool startInBootloader = false);
    ~SimBootloader();

    SimBootloader(const SimBootloader&) = delete;
    SimBootloader& operator=(const SimBootloader&) = delete;

    // The `occurrence`-th reply of `step` (1 = the first; 0 = every one) is
    // replaced: a NACK, or nothing. The step's effect does not happen.
    void failAt(BootStep step, BootFault fault, int occurrence = 1);
    // Device time before the reply of `step`.
    void setDelay(BootStep step, Millis delay);
    // The second acknowledgements (speed at the new rate, erase done, write
    // done) without device time: the one at the new rate as soon as the host
    // has switched, the others together with the acknowledgement before them,
    // either injected right after it or, when `batched`, in one batch with it.
    void secondAcksWithoutDelay(bool batched);

    // --- what happened
    bool inBootloader() const { return locked(inBootloader_); }
    int enterRequests() const { return locked(enterRequests_); }
    // Bytes programmed, by address.
    std::map<uint32_t, uint8_t> memory() const { return locked(memory_); }
    // Programmed bytes written again without an erase.
    int overwrites() const { return locked(overwrites_); }
    std::vector<uint8_t> erasedSectors() const { return locked(erased_); }
    std::vector<BootWrite> writes() const { return locked(writes_); }
    std::optional<uint32_t> goAddress() const { return locked(go_); }
    // Frames of the bootloader protocol heard, in order.
    std::vector<can_frame_data> heard() const { return locked(heard_); }
    int unheardFrames() const { return locked(unheard_); }
    int protocolErrors() const { return locked(protocolErrors_); }
    // Host time between a reply and the data frame that follows it, summed
    // over all data frames, and their count.
    std::pair<std::chrono::nanoseconds, long> dataFrameTurnaround() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return {turnaround_, turnaroundFrames_};
    }

private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        // Hold until the host has run at this rate for `delay`.
        std::optional<CANBaudRate> hostRate;
        Millis delay;
        std::optional<std::chrono::steady_clock::time_point> hostReadySince;
        can_frame_data reply;
    };

    template <typename T>
    T locked(const T& field) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return field;
    }
    void onFrame(const can_frame_data& frame);
    void onBootloaderFrame(const can_frame_data& frame);
    // Replies to `step` under the fault plan; true when it sent an ACK and
    // the step's effect happens. `ok` false is a protocol error and a NACK.
    bool reply(BootStep step, uint32_t id, bool ok);
    void send(uint32_t id, uint8_t value, Millis delay, std::optional<CANBaudRate> hostRate);
    void tick();
    CANBaudRate hostRate() const;

    TestTransport& bus_;
    const uint32_t nodeId_;
    int listener_ = 0;
    int tickJob_ = 0;

    mutable std::mutex mutex_;
    bool inBootloader_;
    CANBaudRate rate_ = CAN_BAUDRATE_125K;
    int enterRequests_ = 0;
    std::map<BootStep, std::pair<BootFault, int>> faults_;
    std::map<BootStep, int> replies_;
    std::map<BootStep, Millis> delays_;
    std::vector<Pending> pending_;
    // Immediate replies to the frame being handled, injected when it is done.
    std::vector<can_frame_data> outbox_;
    bool batched_ = false;

    // erase in progress: sectors still announced
    int sectorsToCome_ = -1;
    std::vector<uint8_t> sectorBatch_;
    std::vector<uint8_t> erased_;

    // write in progress
    bool writing_ = false;
    uint32_t writeAddress_ = 0;
    size_t writeSize_ = 0;
    std::vector<uint8_t> writeBuffer_;
    std::vector<BootWrite> writes_;
    std::map<uint32_t, uint8_t> memory_;
    int overwrites_ = 0;

    std::optional<uint32_t> go_;
    std::vector<can_frame_data> heard_;
    int unheard_ = 0;
    int protocolErrors_ = 0;

    std::chrono::steady_clock::time_point lastReply_{};
    std::chrono::nanoseconds turnaround_{0};
    long turnaroundFrames_ = 0;
};

// Blocks of bytes (start address, bytes) flattened to address -> byte, as
// the bootloader's flash model keeps them.
template <typename Blocks>
std::map<uint32_t, uint8_t> bytesOf(const Blocks& blocks) {
    std::map<uint32_t, uint8_t> out;
    for (const auto& [start, bytes] : blocks)
        for (size_t i = 0; i < bytes.size(); ++i) out[start + static_cast<uint32_t>(i)] = bytes[i];
    return out;
}

// One Intel HEX record with its checksum and CR LF.
std::string hexRecord(uint8_t type, uint16_t address, const uint8_t* data, size_t n);
// Intel HEX text for blocks of bytes: one data record per at most 16 bytes
// (never across a 64 KiB boundary), extended linear address records where
// the upper address changes, the end-of-file record; CR LF line ends.
std::string hexText(const std::map<uint32_t, std::vector<uint8_t>>& blocks, size_t recordSize = 16);
// Writes text to a fresh file under the test's temporary directory; returns
// its path.
std::string writeTempFile(const std::string& name, const std::string& text);

}  // namespace qt_test

#endif
