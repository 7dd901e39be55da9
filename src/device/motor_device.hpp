#ifndef QUORVEL_TRANSPORT_MOTOR_DEVICE_HPP
#define QUORVEL_TRANSPORT_MOTOR_DEVICE_HPP

// What the implementations of the two motor-protocol devices (motor driver
// and actuator) add to the reply machinery: the bootloader flag that the
// firmware update sets, the stored heartbeat payload, and the dispatch of
// received frames. They differ only in their decoder tables and in which
// decoded fields they log.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <ostream>

#include "quorvel_transport/can_helpers.hpp"
#include "quorvel_transport/driver.hpp"
#include "device/reply_machinery.hpp"

namespace quorvel_detail {

// The bootloader answers with these 11-bit identifiers (acknowledgements and
// command codes); each reply is one unsigned 32-bit value.
constexpr uint32_t kBootloaderReplyIds[] = {3, 31, 33, 49, 67, 121};

struct HeartbeatPayload {
    unsigned int value = 0;     // data bits 0-31
    unsigned char byte1 = 1;    // data bits 32-39
    unsigned char byte2 = 0;    // data bits 40-47
};

template <typename LogPolicy>
class MotorDeviceImpl : public ReplyMachinery<SignalValue, LogPolicy> {
public:
    using Machinery = ReplyMachinery<SignalValue, LogPolicy>;
    using typename Machinery::Decoder;

    // Set by the firmware update, through setBootloaderMode, while this
    // device runs its bootloader.
    std::atomic<bool> bootloaderMode{false};

    // The bootloader may send its second acknowledgement under an identifier
    // before the update has taken the first and waits again; while the flag
    // is set such an early reply is held for the next wait instead of being
    // lost (ReplyMachinery::holdUnawaitedReplies). Each change of the flag
    // starts with nothing held, and no reply is held outside the bootloader:
    // holding starts after the flag is set and stops before it is cleared.
    void setBootloaderMode(bool on) {
        if (on) bootloaderMode.store(true, std::memory_order_release);
        this->holdUnawaitedReplies(on);
        if (!on) bootloaderMode.store(false, std::memory_order_release);
    }

    // How long a read waits while the device runs its bootloader; tests
    // shorten it.
    std::chrono::milliseconds bootloaderReplyWait = kBootloaderReplyWait;

    std::chrono::milliseconds replyWait() const {
        return bootloaderMode.load(std::memory_order_relaxed) ? bootloaderReplyWait : kReplyWait;
    }

    // Waits for the armed reply (see ReplyMachinery::handOut).
    template <typename... Ts>
    ret_status_t parseData(int /*commandId*/, Ts*... outs) {
        return this->handOut(replyWait(), outs...);
    }

    // Stored, not interpreted.
    void parseHeartbeatData(const can_frame_data* frame) {
        std::lock_guard<std::mutex> lock(this->mutex());
        heartbeat_.value = readField<unsigned int>(*frame, 0);
        heartbeat_.byte1 = readField<unsigned char>(*frame, 32);
        heartbeat_.byte2 = readField<unsigned char>(*frame, 40);
    }

    HeartbeatPayload heartbeat() {
        std::lock_guard<std::mutex> lock(this->mutex());
        return heartbeat_;
    }

    // Receive thread. In bootloader mode the whole identifier is the
    // bootloader's reply id (and an early reply is held, see
    // setBootloaderMode); otherwise the command id selects the decoder.
    void onFrame(const can_frame_data* frame, const DecoderTable<Decoder>& table) {
        if (bootloaderMode.load(std::memory_order_acquire)) {
            for (uint32_t id : kBootloaderReplyIds) {
                if (frame->can_id == id) {
                    this->template getDataCallbackOrHold<unsigned int>(frame, static_cast<int>(id));
                    return;
                }
            }
            // The firmware update leaves the stream in hexadecimal; this
            // identifier is written in decimal, and the stream's base kept.
            this->log().write([frame](std::ostream& out) {
                const std::ios_base::fmtflags flags = out.flags();
                out << "[FLASH] Unknown Command Id:" << std::dec << frame->can_id << std::endl;
                out.flags(flags);
            });
            return;
        }
        if (getCommandIdFromFrame(const_cast<can_frame_data*>(frame)) == kHeartbeatCommandId) {
            parseHeartbeatData(frame);
            return;
        }
        this->dispatchByCommandId(frame, table);
    }

private:
    HeartbeatPayload heartbeat_;
};

}  // namespace quorvel_detail

#endif
