#ifndef QUORVEL_TRANSPORT_DRIVER_IMPL_HPP
#define QUORVEL_TRANSPORT_DRIVER_IMPL_HPP

// Driver::DriverImpl: the motor device implementation with the driver's
// decoder table. Header-only so that the driver's other sources (register
// access, calibration, configuration, firmware update) and the tests share it.

#include <cstdint>
#include <type_traits>

#include "quorvel_transport/driver.hpp"
#include "device/motor_commands.hpp"
#include "device/motor_device.hpp"

namespace quorvel_detail {

// The driver logs only its bool fields.
struct DriverFieldLog {
    template <typename T>
    static void field(LogSink& log, const T& value) {
        if constexpr (std::is_same_v<T, bool>) log.line("Pushed back data ", value ? 1 : 0);
    }
};

// The shared motor reply rows and the driver's own: fields packed back to
// back from data bit 0.
struct DriverReplies {
    template <typename M>
    static constexpr DecoderTable<typename M::Decoder> table() {
        const DecoderRow<typename M::Decoder> own[] = {
            {{14}, &M::template decoder<float, bool, bool, bool>},
            {{18}, &M::template decoder<uint8_t, uint16_t, float>},
            {{20, 72}, &M::template decoder<float, float>},
            {{22, 26}, &M::template decoder<uint8_t, int32_t, bool>},
            {{24, 51}, &M::template decoder<float>},
            {{40}, &M::template decoder<float, uint16_t, uint8_t, bool>},
            {{46, 82}, &M::template decoder<bool, bool, bool>},
            {{48}, &M::template decoder<uint8_t, bool>},
            {{53, 74}, &M::template decoder<uint8_t>},
            {{59}, &M::template decoder<uint32_t>},
            {{75, 76}, &M::template decoder<uint16_t, uint16_t, uint16_t, uint16_t>},
        };
        return decoderTable<typename M::Decoder>(kMotorReplyRows<M>, own);
    }
};

}  // namespace quorvel_detail

class Driver::DriverImpl
    : public quorvel_detail::MotorDeviceImpl<quorvel_detail::DriverReplies, quorvel_detail::DriverFieldLog> {};

#endif
