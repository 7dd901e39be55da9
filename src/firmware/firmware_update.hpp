#ifndef QUORVEL_TRANSPORT_FIRMWARE_UPDATE_HPP
#define QUORVEL_TRANSPORT_FIRMWARE_UPDATE_HPP

// Firmware update of a motor-protocol device (motor driver, actuator): the
// device is told to start its STM32 system bootloader, which is then spoken
// to with the bootloader's CAN protocol (bootloader.hpp): synchronise at
// 125 kbit/s, switch to 500 kbit/s, erase the sectors, write every block of
// the image, start the new firmware at the image's lowest address.
//
// One routine for every device class: Impl is the device implementation (a
// MotorDeviceImpl: reply machinery with a bootloader flag), and a class's
// flash is `return firmware::flash(link(), path, inBootloader);`. It runs on the
// calling thread and blocks for the whole update (at least 5 s of fixed
// pauses that give the device and the adapter time to switch). Replies
// arrive on the interface's receive thread, which hands every frame to every
// registered device while the interface's bootloader flag is set.
//
// Returns RET_SUCCESS when the go command was accepted and every block was
// written; RET_ERROR for a missing implementation, an image without data, a
// rejected acknowledgement, blocks whose write was not confirmed (the
// remaining blocks are still written, but an image known to be incomplete is
// not started: no go command, the device stays in its bootloader for a
// retry with inBootloader true), or an interface already in bootloader mode
// (another update runs on it: refused before anything is touched);
// RET_TIMEOUT when a reply did not come within the bootloader reply wait
// (20 s); RET_INTERFACE_NOT_RUNNING and RET_NOT_CONNECTED from the status
// checks, which are skipped (all but the implementation check) when the
// device already runs its bootloader. After any return that started the
// exchange both bootloader flags are clear, and once the bit rate was
// changed it is back at 500 kbit/s. Leaves the log stream in hexadecimal
// once the write phase began. Fixed pauses go through the implementation's
// pacer.
//
// Where the bootloader sends two acknowledgements with no frame between them
// (speed change, erase done, write done), the second may arrive before the
// routine has taken the first and armed again (a busy host, a transport that
// delivers frames in batches): the device implementation holds it for the
// next wait while its bootloader flag is set (MotorDeviceImpl::
// setBootloaderMode), so nothing depends on the device's own work taking
// long enough. Only those waits take a held reply: a wait that sends a frame
// drops whatever is held first, so a stray or duplicated acknowledgement
// cannot answer a frame not yet sent and shift every later step by one.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "firmware/bootloader.hpp"
#include "device/device_request.hpp"
#include "device/motor_commands.hpp"
#include "quorvel_transport/intelhex.hpp"
#include "device/reply_machinery.hpp"

namespace quorvel_detail {
namespace firmware {


// Fixed pauses for the device and the adapter.
constexpr std::chrono::milliseconds kAfterEnterBootloader{2000};
constexpr std::chrono::milliseconds kAfterSlowRate{2000};
constexpr std::chrono::milliseconds kBeforeSyncReply{1000};
constexpr std::chrono::milliseconds kAfterFastRate{2000};
constexpr std::chrono::milliseconds kAfterSectorErase{1};

constexpr CANBaudRate kBootloaderRate = CAN_BAUDRATE_125K;
constexpr CANBaudRate kFastRate = CAN_BAUDRATE_500K;

// The outcome of one acknowledgement wait.
struct Ack {
    ret_status_t status;
    unsigned int value;

    bool accepted() const { return status == RET_SUCCESS && bootloader::accepted(value); }
    // What the update returns when it stops at this wait.
    ret_status_t failure() const { return status == RET_SUCCESS ? RET_ERROR : status; }
};

// Both bootloader flags for the length of the update, and the bit rate put
// back to 500 kbit/s once it was changed; on every exit, exceptions included.
// The interface's flag is claimed, not just set: when another update holds
// it, the session is not active and changes nothing, so that update keeps
// its flag.
template <typename Impl>
class BootloaderSession {
public:
    explicit BootloaderSession(const DeviceLink<Impl>& link) : link_(link) {
        bool idle = false;
        active_ = link_.bus->bootloaderMode.compare_exchange_strong(idle, true, std::memory_order_acq_rel);
        if (active_) link_.impl->setBootloaderMode(true);
    }
    ~BootloaderSession() {
        if (!active_) return;
        // A transport that throws here must neither end the program nor
        // leave the flags set.
        if (rateChanged_)
            link_.impl->log().logExceptions("[FLASH] Exception while restoring the bit rate",
                                            [this] { link_.bus->setCANBaudRate(kFastRate); });
        link_.bus->bootloaderMode.store(false, std::memory_order_release);
        link_.impl->setBootloaderMode(false);
    }
    BootloaderSession(const BootloaderSession&) = delete;
    BootloaderSession& operator=(const BootloaderSession&) = delete;

    bool active() const { return active_; }

    // The adapter's rate; its result is not looked at (SocketCAN cannot
    // change it: the system sets the rate there).
    void setRate(CANBaudRate rate) {
        rateChanged_ = true;
        link_.bus->setCANBaudRate(rate);
    }

private:
    const DeviceLink<Impl>& link_;
    bool active_ = false;
    bool rateChanged_ = false;
};

template <typename Impl>
class Update {
public:
    Update(const DeviceLink<Impl>& link, BootloaderSession<Impl>& session)
        : link_(link), session_(session), log_(link.impl->log()), pacer_(*link.impl->pacer) {}

    ret_status_t run(const intelhex::hex_data& image, bool inBootloader) {
        if (!inBootloader) {
            log_.line("Entering DFU Mode");
            transmit(link_, composeRequest(link_.nodeId, kEnterBootloader));
            pacer_.sleepFor(kAfterEnterBootloader);
        }
        log_.line("Changing Baud rate to 125K");
        session_.setRate(kBootloaderRate);
        pacer_.sleepFor(kAfterSlowRate);

        ret_status_t status = synchronise();
        if (status == RET_SUCCESS) status = changeSpeed();
        if (status == RET_SUCCESS) status = erase();
        if (status == RET_SUCCESS) status = writeImage(image);
        return status;
    }

private:
    // Arms before the frame goes out, so that a fast reply is not lost; the
    // pause, when given, lies between the frame and the wait. A held reply
    // answers only a wait without a frame of its own.
    Ack await(uint32_t id, const can_frame_data* frame,
              std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
        Ack ack{RET_TIMEOUT, 0};
        ArmedRead<Impl> armed(*link_.impl, static_cast<int>(id), frame == nullptr);
        if (frame != nullptr) transmit(link_, *frame);
        if (pause.count() > 0) pacer_.sleepFor(pause);
        ack.status = link_.impl->parseData(static_cast<int>(id), &ack.value);
        return ack;
    }
    Ack await(uint32_t id, const can_frame_data& frame) { return await(id, &frame); }

    ret_status_t synchronise() {
        log_.line("Sending standard ID");
        const can_frame_data sync = bootloader::syncFrame();
        const Ack ack = await(bootloader::kSyncId, &sync, kBeforeSyncReply);
        if (!ack.accepted()) {
            log_.line("[FLASH] Initialise failed after DFU.", ack.status);
            return ack.failure();
        }
        log_.line("[FLASH] Initialisation Successfull");
        return RET_SUCCESS;
    }

    // The bootloader acknowledges the speed code at the old rate, switches,
    // and acknowledges again at the new one.
    ret_status_t changeSpeed() {
        log_.line("Changing Baud Rate to 1M");
        Ack ack = await(bootloader::kSpeedId, bootloader::speedFrame());
        if (!ack.accepted()) {
            log_.line("[FLASH] Change Speed command failed.");
            return ack.failure();
        }
        log_.line("[FLASH] Change Speed command successfull.");
        session_.setRate(kFastRate);
        ack = await(bootloader::kSpeedId, nullptr);
        if (!ack.accepted()) {
            log_.line("[FLASH] ACK receive at new speed failed.", ack.status, ":", ack.value);
            return ack.failure();
        }
        log_.line("[FLASH] ACK received at new speed.");
        pacer_.sleepFor(kAfterFastRate);
        log_.line("Erasing");
        return RET_SUCCESS;
    }

    // One sector per erase command: the count, the sector number, then the
    // bootloader's word that the erase is done.
    ret_status_t erase() {
        for (const uint8_t sector : bootloader::kSectors) {
            const unsigned int s = sector;
            const unsigned int count = bootloader::kEraseOneSector;
            log_.line("[FLASH] Erasing sector ", count);
            Ack ack = await(bootloader::kEraseId, bootloader::eraseFrame(bootloader::kEraseOneSector));
            if (!ack.accepted()) {
                log_.line("[FLASH] Erasing for sector ", count, " failed.");
                return ack.failure();
            }
            log_.line("[FLASH] Erasing sector ", s);
            ack = await(bootloader::kEraseId, bootloader::eraseFrame(sector));
            if (!ack.accepted()) {
                log_.line("[FLASH] Erasing sector ", s, " message failed.");
                return ack.failure();
            }
            log_.line("[FLASH] Erasing sector ", s, " message successful.");
            ack = await(bootloader::kEraseId, nullptr);
            if (!ack.accepted()) {
                log_.line("[FLASH] Erasing sector ", s, " failed.");
                return ack.failure();
            }
            log_.line("[FLASH] Erasing sector ", s, " successful.");
            pacer_.sleepFor(kAfterSectorErase);
        }
        return RET_SUCCESS;
    }

    // A block whose completed write is not confirmed is counted and the
    // other blocks are still written; but an image known to be incomplete is
    // not started.
    ret_status_t writeImage(const intelhex::hex_data& image) {
        int errorCount = 0;
        for (const auto& block : image) {
            for (const bootloader::WriteChunk& chunk : bootloader::splitIntoWriteChunks(block.first, block.second)) {
                bool written = false;
                const ret_status_t status = writeChunk(chunk, written);
                if (status != RET_SUCCESS) return status;
                if (!written) ++errorCount;
            }
        }
        log_.line("[FLASH] Memory write error count:", errorCount);
        if (errorCount != 0) {
            log_.line("[FLASH] Go command not sent: the image was not written completely.");
            return RET_ERROR;
        }

        const can_frame_data go = bootloader::goFrame(image.begin()->first);
        const Ack ack = await(bootloader::kGoId, go);
        if (!ack.accepted()) {
            log_.line("[FLASH] Go command failed.");
            return ack.failure();
        }
        log_.line("[FLASH] Go command successfull.");
        return RET_SUCCESS;
    }

    // One write-memory command. A failure other than of the completion
    // acknowledgement ends the update (its status is returned); `written`
    // tells whether the completion was confirmed.
    ret_status_t writeChunk(const bootloader::WriteChunk& chunk, bool& written) {
        const unsigned int address = chunk.address;
        const std::size_t size = chunk.size;
        // Addresses in hexadecimal, the size in decimal; the stream stays in
        // hexadecimal from the address check on.
        log_.write([&](std::ostream& out) { out << "[FLASH] Address:" << std::hex << address << std::endl; });
        log_.write([&](std::ostream& out) { out << "[FLASH] Data Size:" << std::dec << size << std::endl; });

        Ack ack = await(bootloader::kWriteId, bootloader::writeAddressFrame(chunk));
        if (!ack.accepted()) {
            log_.write([&](std::ostream& out) {
                out << "[FLASH] Memory address:" << std::hex << address << " is not OK. " << ack.status << std::endl;
            });
            return ack.failure();
        }
        log_.write([&](std::ostream& out) {
            out << "[FLASH] Memory address:" << std::hex << address << " is OK." << std::endl;
        });

        const std::size_t frames = bootloader::dataFrameCount(chunk);
        const std::size_t fullFrames = size / bootloader::kDataFrameSize;
        for (std::size_t i = 0; i < frames; ++i) {
            const bool full = i < fullFrames;
            if (!full) log_.line("");
            ack = await(bootloader::kWriteId, bootloader::writeDataFrame(chunk, i));
            if (!ack.accepted()) {
                log_.line(full ? "[FLASH] [in loop] Flashing at this memory address failed."
                               : "[FLASH] [outside loop] Flashing at this memory address failed.",
                          ack.status);
                return ack.failure();
            }
            log_.line(full ? "[FLASH] [in loop] Flashing at this memory address successfull."
                           : "[FLASH] [outside loop] Flashing at this memory address successfull.");
        }
        if (frames == fullFrames) log_.line("");

        ack = await(bootloader::kWriteId, nullptr);
        written = ack.accepted();
        if (written) {
            log_.line("[FLASH] Writing to memory address successfull.");
        } else {
            log_.line("[FLASH] Writing to memory address failed.", ack.status, ":", ack.value);
        }
        return RET_SUCCESS;
    }

    const DeviceLink<Impl>& link_;
    BootloaderSession<Impl>& session_;
    LogSink& log_;
    Pacer& pacer_;
};

// The exchange for an image that holds data, from the flags on; the status
// checks are the caller's.
template <typename Impl>
ret_status_t update(const DeviceLink<Impl>& link, const intelhex::hex_data& image, bool inBootloader) {
    BootloaderSession<Impl> session(link);
    if (!session.active()) {
        link.impl->log().line("[FLASH] Another firmware update runs on this interface.");
        return RET_ERROR;
    }
    return Update<Impl>(link, session).run(image, inBootloader);
}

// The whole update; the image is read, and found non-empty, before anything
// is sent or any flag is set.
template <typename Impl>
ret_status_t flash(const DeviceLink<Impl>& link, const std::string& path, bool inBootloader) {
    if (link.impl == nullptr) return RET_ERROR;
    // Nothing could be sent (a device object created without an interface).
    if (link.bus == nullptr) return RET_INTERFACE_NOT_RUNNING;
    if (!inBootloader) {
        const ret_status_t status = requestStatus(link);
        if (status != RET_SUCCESS) return status;
    }
    LogSink& log = link.impl->log();
    log.line("[FLASH] Loading firmware file");
    const intelhex::hex_data image(path);
    log.line("[FLASH] Loading done");
    if (image.size() == 0) {
        log.line("[FLASH] Invalid Flash File. Please check path/file.");
        return RET_ERROR;
    }
    return update(link, image, inBootloader);
}

}  // namespace firmware
}  // namespace quorvel_detail

#endif
