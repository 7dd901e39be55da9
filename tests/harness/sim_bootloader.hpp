#ifndef QT_TESTS_SIM_BOOTLOADER_HPP
#define QT_TESTS_SIM_BOOTLOADER_HPP

// A simulated STM32 CAN system bootloader on a TestTransport, behind a
// motor-protocol device that starts it on command 127. It answers with
// standard identifiers, keeps the bytes written in a model of its flash, and
// answers a frame it does not expect with a NACK.
//
// The host's rate is the latest setCANBaudRate call (500 kbit/s before any);
// the bootloader starts at 125 kbit/s and takes the rate of an accepted
// speed command. A frame sent while the two differ is not heard, and the
// acknowledgement at the new rate waits until the host has switched too.
// Second acknowledgements (speed at new rate, erase done, write done) come
// after a short device delay on the scheduler thread; the others at once,
// on the sending thread.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "test_transport.hpp"

namespace qt_test {

enum class BootStep {
    Sync, Speed, SpeedAtNewRate, EraseCount, EraseSector, EraseDone, WriteAddress, WriteData, WriteDone, Go
};

enum class BootFault { Nack, Silence };

class SimBootloader {
public:
    // Second acknowledgements come `secondAckDelay` after the first; with no
    // delay right after it or, when `batched`, in one batch with it.
    SimBootloader(TestTransport& bus, uint32_t nodeId, bool startInBootloader = false,
                  Millis secondAckDelay = Millis(10), bool batched = false);
    ~SimBootloader();

    // The `occurrence`-th reply of `step` is a NACK or nothing, and the
    // step's effect does not happen. One fault per bootloader.
    void failAt(BootStep step, BootFault fault, int occurrence = 1) {
        std::lock_guard<std::mutex> lock(mutex_);
        faultStep_ = step;
        fault_ = fault;
        faultCountdown_ = occurrence;
    }

    // The bytes whose write was confirmed, and the go command's address.
    std::map<uint32_t, uint8_t> memory() const { return locked(memory_); }
    std::optional<uint32_t> goAddress() const { return locked(go_); }

private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        bool holdForHost;  // until the host runs at the bootloader's rate
        can_frame_data reply;
    };

    template <typename T>
    T locked(const T& field) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return field;
    }
    void onBootloaderFrame(const can_frame_data& frame);
    // Replies under the fault plan; true when it sent an ACK.
    bool reply(BootStep step, uint32_t id, bool ok);
    // Due second acknowledgements, then the immediate replies, onto the bus.
    void send(bool dueToo);
    CANBaudRate hostRate() const;

    TestTransport& bus_;
    int listener_ = 0;
    int tickJob_ = 0;

    mutable std::mutex mutex_;
    bool inBootloader_;
    CANBaudRate rate_ = CAN_BAUDRATE_125K;
    std::optional<BootStep> faultStep_;
    BootFault fault_ = BootFault::Nack;
    int faultCountdown_ = 0;
    const Millis secondAckDelay_;
    const bool batched_;
    std::vector<Pending> pending_;
    std::vector<can_frame_data> outbox_;

    bool erasing_ = false;
    bool writing_ = false;
    uint32_t writeAddress_ = 0;
    size_t writeSize_ = 0;
    std::vector<uint8_t> writeBuffer_;
    std::map<uint32_t, uint8_t> memory_;
    std::optional<uint32_t> go_;
};

}  // namespace qt_test

#endif
