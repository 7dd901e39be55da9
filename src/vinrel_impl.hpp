#ifndef QUORVEL_TRANSPORT_VINREL_IMPL_HPP
#define QUORVEL_TRANSPORT_VINREL_IMPL_HPP

// Vinrel::VinrelImpl: the device implementation with the encoder module's
// decoder table. The module is never flashed by this library and its
// heartbeat carries nothing we keep.

#include <cstdint>
#include <string>

#include "quorvel_transport/vinrel.hpp"
#include "device/device_impl.hpp"

namespace quorvel_detail {

// Reply layouts by command id: fields packed back to back from data bit 0.
struct VinrelReplies {
    template <typename M>
    static constexpr DecoderTable<typename M::Decoder> table() {
        const DecoderRow<typename M::Decoder> rows[] = {
            {{3}, &M::template decoder<uint8_t, uint8_t, uint8_t, uint8_t>},
            {{4}, &M::template decoder<uint8_t, uint8_t, uint16_t>},
            {{5}, &M::template decoder<std::string>},
            {{10, 18, 49, 91, 96}, &M::template decoder<uint32_t>},
            {{12}, &M::template decoder<uint8_t, int32_t>},
            {{14, 22, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59}, &M::template decoder<float>},
            {{16}, &M::template decoder<uint8_t>},
            {{20}, &M::template decoder<uint8_t, bool>},
            {{48}, &M::template decoder<int32_t>},
        };
        return decoderTable<typename M::Decoder>(rows);
    }
};

}  // namespace quorvel_detail

class Vinrel::VinrelImpl : public quorvel_detail::DeviceImpl<quorvel_detail::TextSignalValue, quorvel_detail::VinrelReplies,
                                                             quorvel_detail::EveryFieldLog,
                                                             quorvel_detail::NoHeartbeatFields> {};

#endif
