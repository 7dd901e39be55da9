#ifndef QUORVEL_TRANSPORT_DEVICE_IMPL_HPP
#define QUORVEL_TRANSPORT_DEVICE_IMPL_HPP

// The implementation that every device class instantiates: the reply
// machinery with the class's value variant, decoder table and log policy,
// the wait of a read, the heartbeat hook and the dispatch of received frames.
// A class writes
//     class Vinrel::VinrelImpl
//         : public DeviceImpl<TextSignalValue, VinrelReplies, EveryFieldLog, NoHeartbeatFields> {};
// where VinrelReplies has `template <typename M> static constexpr
// DecoderTable<typename M::Decoder> table()` built with decoderTable from
// rows {{ids...}, &M::template decoder<field types...>}.

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <boost/variant/variant.hpp>

#include "quorvel_transport/can_helpers.hpp"
#include "quorvel_transport/interface.hpp"
#include "bus/device_protocol.hpp"
#include "device/pacing.hpp"
#include "device/reply_machinery.hpp"

namespace quorvel_detail {

// One decoded reply field, stored as the alternative of its own type: the
// motor devices' nine, and with text for the encoder module and the IMU.
using SignalValue =
    boost::variant<short, int, long, float, bool, unsigned char, unsigned short, unsigned int, unsigned long>;
using TextSignalValue = boost::variant<short, int, long, float, bool, unsigned char, unsigned short, unsigned int,
                                       unsigned long, std::string>;

constexpr std::chrono::milliseconds kReplyWait{200};
// While a device runs its bootloader, an erase or a write can take seconds.
constexpr std::chrono::milliseconds kBootloaderReplyWait{20000};

// Heartbeat policy of the devices whose heartbeat payload is not kept.
struct NoHeartbeatFields {
    void store(const can_frame_data&) {}
};

// Log policy of the encoder module and the IMU: every field, an unsigned
// char as the character itself, text on a line of its own kind.
struct EveryFieldLog {
    template <typename T>
    static void field(LogSink& log, const T& value) {
        if constexpr (std::is_same_v<T, std::string>) {
            log.line("Pushed back string data: ", value);
        } else if constexpr (std::is_same_v<T, bool>) {
            log.line("Pushed back data ", value ? 1 : 0);
        } else {
            log.line("Pushed back data ", value);
        }
    }
};

// Replies: the class's decoder table, `Replies::table<Machinery>()`.
// HeartbeatPolicy: the heartbeat state, with store(frame) called on the
// receive thread for every command-1 frame.
template <typename Value, typename Replies, typename LogPolicy, typename HeartbeatPolicy>
class DeviceImpl : public ReplyMachinery<Value, LogPolicy> {
public:
    using Machinery = ReplyMachinery<Value, LogPolicy>;
    using typename Machinery::Decoder;

    static constexpr DecoderTable<Decoder> kDecoders = Replies::template table<Machinery>();

    // Sleeps and clock of the device's compound routines; tests swap in a
    // virtual one.
    Pacer* pacer = &realPacer();

    // Set while the device runs its bootloader (firmware update of the motor
    // devices; it stays clear for the others): reads then wait
    // bootloaderReplyWait, which tests shorten.
    std::atomic<bool> bootloaderMode{false};
    std::chrono::milliseconds bootloaderReplyWait = kBootloaderReplyWait;

    std::chrono::milliseconds replyWait() const {
        return bootloaderMode.load(std::memory_order_relaxed) ? bootloaderReplyWait : kReplyWait;
    }

    // Waits for the armed reply (see ReplyMachinery::handOut).
    template <typename... Ts>
    ret_status_t parseData(int /*commandId*/, Ts*... outs) {
        return this->handOut(replyWait(), outs...);
    }

    void parseHeartbeatData(const can_frame_data* frame) {
        if constexpr (!std::is_empty_v<HeartbeatPolicy>) {
            std::lock_guard<std::mutex> lock(this->mutex());
            heartbeat_.store(*frame);
        }
    }

    HeartbeatPolicy heartbeat() {
        std::lock_guard<std::mutex> lock(this->mutex());
        return heartbeat_;
    }

    // Receive thread: a heartbeat goes to the heartbeat policy, anything else
    // to its command id's decoder (or is logged as unknown).
    void onFrame(const can_frame_data* frame) {
        if (getCommandIdFromFrame(const_cast<can_frame_data*>(frame)) == kHeartbeatCommandId) {
            parseHeartbeatData(frame);
            return;
        }
        this->dispatchByCommandId(frame, kDecoders);
    }

private:
    HeartbeatPolicy heartbeat_{};
};

// The pacer of a device's compound routines; the real clock for an object
// without implementation (its operations then fail on their own).
template <typename Impl>
Pacer& pacerOf(Impl* impl) {
    return impl != nullptr ? *impl->pacer : realPacer();
}

// The node id of the constructor without one: the first heartbeat's, learned
// by Interface::setAsDevice, or std::runtime_error(fatalText) when none came.
inline unsigned int nodeIdFromHeartbeat(Interface* bus, const char* fatalText) {
    const unsigned int nodeId = bus != nullptr ? bus->setAsDevice() : kNoNode;
    if (nodeId == kNoNode) throw std::runtime_error(fatalText);
    return nodeId;
}

}  // namespace quorvel_detail

#endif
