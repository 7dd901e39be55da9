#ifndef QUORVEL_TRANSPORT_ACTUATOR_IMPL_HPP
#define QUORVEL_TRANSPORT_ACTUATOR_IMPL_HPP

// Actuator::ActuatorImpl: the motor device implementation with the
// actuator's decoder table and its log line for every decoded field.

#include <cmath>
#include <cstdint>
#include <ostream>
#include <type_traits>

#include "quorvel_transport/actuator.hpp"
#include "device/motor_commands.hpp"
#include "device/motor_device.hpp"

namespace quorvel_detail {

// A decoded field as the actuator logs it: an unsigned 32-bit number. Floats
// are cut toward zero and saturate (negative and NaN give 0); integers keep
// their low 32 bits, read unsigned.
template <typename T>
uint32_t loggedValue(const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return value ? 1u : 0u;
    } else if constexpr (std::is_floating_point_v<T>) {
        if (!(value >= 0)) return 0;                  // negative or NaN
        if (value >= 4294967296.0) return UINT32_MAX;  // out of range of the conversion
        return static_cast<uint32_t>(value);
    } else {
        return static_cast<uint32_t>(value);
    }
}

struct ActuatorFieldLog {
    template <typename T>
    static void field(LogSink& log, const T& value) {
        const uint32_t shown = loggedValue(value);
        // A firmware update leaves the stream in hexadecimal; the value is
        // written in decimal and the stream's base kept.
        log.write([shown](std::ostream& out) {
            const std::ios_base::fmtflags flags = out.flags();
            out << "Pushed back data " << std::dec << shown << std::endl;
            out.flags(flags);
        });
    }
};

// The shared motor reply rows and the actuator's two own layouts; every
// other id (the driver's own reads included) is an unknown command.
struct ActuatorReplies {
    template <typename M>
    static constexpr DecoderTable<typename M::Decoder> table() {
        const DecoderRow<typename M::Decoder> own[] = {
            {{40}, &M::template decoder<uint16_t, uint16_t, uint8_t, uint8_t, bool>},
            {{82}, &M::template decoder<bool, bool>},
        };
        return decoderTable<typename M::Decoder>(kMotorReplyRows<M>, own);
    }
};

}  // namespace quorvel_detail

class Actuator::ActuatorImpl
    : public quorvel_detail::MotorDeviceImpl<quorvel_detail::ActuatorReplies, quorvel_detail::ActuatorFieldLog> {};

#endif
