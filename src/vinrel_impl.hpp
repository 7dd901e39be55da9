#ifndef QUORVEL_TRANSPORT_VINREL_IMPL_HPP
#define QUORVEL_TRANSPORT_VINREL_IMPL_HPP

// Vinrel::VinrelImpl: the reply machinery with the encoder module's decoder
// table. The module is never flashed by this library and its heartbeat
// carries nothing we keep, so there is no bootloader mode and no heartbeat
// state here.

#include <string>
#include <type_traits>

#include <boost/variant.hpp>

#include "quorvel_transport/vinrel.hpp"
#include "bus/device_protocol.hpp"
#include "device/reply_machinery.hpp"

namespace quorvel_detail {

// The numeric field types, and text for the firmware commit.
using VinrelValue = boost::variant<short, int, long, float, bool, unsigned char, unsigned short, unsigned int,
                                   unsigned long, std::string>;

// Every decoded field is logged; an unsigned char goes out as the character.
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

}  // namespace quorvel_detail

class Vinrel::VinrelImpl : public quorvel_detail::ReplyMachinery<quorvel_detail::VinrelValue,
                                                                 quorvel_detail::EveryFieldLog> {
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
        {{10, 18, 49, 91, 96}, &decoder<u32>},
        {{12}, &decoder<u8, int>},
        {{14, 22, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59}, &decoder<float>},
        {{16}, &decoder<u8>},
        {{20}, &decoder<u8, bool>},
        {{48}, &decoder<int>},
    };
    static constexpr quorvel_detail::DecoderTable<Decoder> kDecoders = quorvel_detail::decoderTable(kDecoderRows);

    template <typename... Ts>
    ret_status_t parseData(int /*commandId*/, Ts*... outs) {
        return handOut(quorvel_detail::kReplyWait, outs...);
    }

    // Receive thread. Heartbeats are the interface's business.
    void onFrame(const can_frame_data* frame) {
        if (getCommandIdFromFrame(const_cast<can_frame_data*>(frame)) == quorvel_detail::kHeartbeatCommandId) return;
        dispatchByCommandId(frame, kDecoders);
    }
};

#endif
