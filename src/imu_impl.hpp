#ifndef QUORVEL_TRANSPORT_IMU_IMPL_HPP
#define QUORVEL_TRANSPORT_IMU_IMPL_HPP

// IMU::IMUImpl: the reply machinery with the IMU's decoder table. No
// heartbeat payload is kept and there is no bootloader mode: nothing flashes
// an IMU, so every read waits the usual time.

#include <string>

#include <boost/variant.hpp>

#include "quorvel_transport/imu.hpp"
#include "bus/device_protocol.hpp"
#include "device/reply_machinery.hpp"

namespace quorvel_detail {

// The IMU's replies also carry text (the firmware commit).
using ImuValue = boost::variant<short, int, long, float, bool, unsigned char, unsigned short, unsigned int,
                                unsigned long, std::string>;

// Every decoded field is logged; an unsigned char as the character it codes.
struct ImuFieldLog {
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

}  // namespace quorvel_detail

class IMU::IMUImpl : public quorvel_detail::ReplyMachinery<quorvel_detail::ImuValue, quorvel_detail::ImuFieldLog> {
    using u8 = unsigned char;
    using u16 = unsigned short;
    using u32 = unsigned int;
    using Row = quorvel_detail::DecoderRow<Decoder>;

public:
    // Reply layouts by command id: fields packed back to back from data bit 0.
    static constexpr Row kDecoderRows[] = {
        {{3}, &decoder<u8, u8, u8, u8>},
        {{4}, &decoder<u8, u8, u16>},
        {{5}, &decoder<std::string>},
        {{10}, &decoder<u32>},
        {{32}, &decoder<short, short, short, short>},
        {{33, 34, 35, 39, 40, 42}, &decoder<short, short, short>},
        {{36, 37, 38, 41, 43}, &decoder<short, short, short, u8>},
        {{44}, &decoder<bool>},
        {{45}, &decoder<short, u8>},
    };
    static constexpr quorvel_detail::DecoderTable<Decoder> kDecoders = quorvel_detail::decoderTable(kDecoderRows);

    // Waits for the armed reply (see ReplyMachinery::handOut).
    template <typename... Ts>
    ret_status_t parseData(int /*commandId*/, Ts*... outs) {
        return this->handOut(quorvel_detail::kReplyWait, outs...);
    }

    // Receive thread. Heartbeats carry nothing the IMU keeps.
    void onFrame(const can_frame_data* frame) {
        if (getCommandIdFromFrame(const_cast<can_frame_data*>(frame)) == quorvel_detail::kHeartbeatCommandId) return;
        dispatchByCommandId(frame, kDecoders);
    }
};

#endif
