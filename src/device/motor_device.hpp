#ifndef QUORVEL_TRANSPORT_MOTOR_DEVICE_HPP
#define QUORVEL_TRANSPORT_MOTOR_DEVICE_HPP

// What the implementations of the two motor-protocol devices (motor driver
// and actuator) add to the device implementation: the stored heartbeat
// payload, and the bootloader branch of the dispatch that the firmware
// update switches on. They differ only in their decoder tables and in which
// decoded fields they log.

#include <atomic>
#include <cstdint>
#include <ostream>

#include "quorvel_transport/can_helpers.hpp"
#include "device/device_impl.hpp"

namespace quorvel_detail {

// The bootloader answers with these 11-bit identifiers (acknowledgements and
// command codes); each reply is one unsigned 32-bit value.
constexpr uint32_t kBootloaderReplyIds[] = {3, 31, 33, 49, 67, 121};

// Stored, not interpreted.
struct HeartbeatPayload {
    unsigned int value = 0;     // data bits 0-31
    unsigned char byte1 = 1;    // data bits 32-39
    unsigned char byte2 = 0;    // data bits 40-47

    void store(const can_frame_data& frame) {
        value = readField<unsigned int>(frame, 0);
        byte1 = readField<unsigned char>(frame, 32);
        byte2 = readField<unsigned char>(frame, 40);
    }
};

template <typename Replies, typename LogPolicy>
class MotorDeviceImpl : public DeviceImpl<SignalValue, Replies, LogPolicy, HeartbeatPayload> {
    using Base = DeviceImpl<SignalValue, Replies, LogPolicy, HeartbeatPayload>;

public:
    // Set by the firmware update while this device runs its bootloader.
    // The bootloader may send its second acknowledgement under an identifier
    // before the update has taken the first and waits again; while the flag
    // is set such an early reply is held for the next wait instead of being
    // lost (ReplyMachinery::holdUnawaitedReplies). Each change of the flag
    // starts with nothing held, and no reply is held outside the bootloader:
    // holding starts after the flag is set and stops before it is cleared.
    void setBootloaderMode(bool on) {
        if (on) this->bootloaderMode.store(true, std::memory_order_release);
        this->holdUnawaitedReplies(on);
        if (!on) this->bootloaderMode.store(false, std::memory_order_release);
    }

    // Receive thread. In bootloader mode the whole identifier is the
    // bootloader's reply id (and an early reply is held, see
    // setBootloaderMode); otherwise the usual dispatch.
    void onFrame(const can_frame_data* frame) {
        if (!this->bootloaderMode.load(std::memory_order_acquire)) {
            Base::onFrame(frame);
            return;
        }
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
    }
};

}  // namespace quorvel_detail

#endif
