#ifndef QUORVEL_TRANSPORT_IMU_IMPL_HPP
#define QUORVEL_TRANSPORT_IMU_IMPL_HPP

// IMU::IMUImpl: the device implementation with the IMU's decoder table. No
// heartbeat payload is kept and nothing flashes an IMU, so every read waits
// the usual time.

#include <cstdint>
#include <string>

#include "quorvel_transport/imu.hpp"
#include "device/device_impl.hpp"

namespace quorvel_detail {

// Reply layouts by command id: fields packed back to back from data bit 0.
struct ImuReplies {
    template <typename M>
    static constexpr DecoderTable<typename M::Decoder> table() {
        const DecoderRow<typename M::Decoder> rows[] = {
            {{3}, &M::template decoder<uint8_t, uint8_t, uint8_t, uint8_t>},
            {{4}, &M::template decoder<uint8_t, uint8_t, uint16_t>},
            {{5}, &M::template decoder<std::string>},
            {{10}, &M::template decoder<uint32_t>},
            {{32}, &M::template decoder<int16_t, int16_t, int16_t, int16_t>},
            {{33, 34, 35, 39, 40, 42}, &M::template decoder<int16_t, int16_t, int16_t>},
            {{36, 37, 38, 41, 43}, &M::template decoder<int16_t, int16_t, int16_t, uint8_t>},
            {{44}, &M::template decoder<bool>},
            {{45}, &M::template decoder<int16_t, uint8_t>},
        };
        return decoderTable<typename M::Decoder>(rows);
    }
};

}  // namespace quorvel_detail

class IMU::IMUImpl : public quorvel_detail::DeviceImpl<quorvel_detail::TextSignalValue, quorvel_detail::ImuReplies,
                                                       quorvel_detail::EveryFieldLog,
                                                       quorvel_detail::NoHeartbeatFields> {};

#endif
