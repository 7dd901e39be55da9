#ifndef QUORVEL_TRANSPORT_DRIVER_IMPL_HPP
#define QUORVEL_TRANSPORT_DRIVER_IMPL_HPP

// Driver::DriverImpl: the reply machinery with the motor driver's decoder
// table. Header-only so that the driver's other sources (register access,
// calibration, configuration, firmware update) and the tests share it.

#include "quorvel_transport/driver.hpp"
#include "device/motor_device.hpp"
#include "device/reply_machinery.hpp"

namespace quorvel_detail {

// The driver logs only its bool fields.
struct DriverFieldLog {
    template <typename T>
    static void field(LogSink& log, const T& value) {
        if constexpr (std::is_same_v<T, bool>) log.line("Pushed back data ", value ? 1 : 0);
    }
};

}  // namespace quorvel_detail

class Driver::DriverImpl : public quorvel_detail::MotorDeviceImpl<quorvel_detail::DriverFieldLog> {
    using u8 = unsigned char;
    using u16 = unsigned short;
    using u32 = unsigned int;
    using u64 = unsigned long;
    using Row = quorvel_detail::DecoderRow<Decoder>;

public:
    // Reply layouts by command id: fields packed back to back from data bit 0.
    static constexpr Row kDecoderRows[] = {
        {{3}, &decoder<u8, u8, u8, u8>},
        {{4}, &decoder<u8, u8, u16>},
        {{5}, &decoder<u8, u8, u8, u8, u8, u8, u8, u8>},
        {{10, 59, 95, 96}, &decoder<u32>},
        {{12, 20, 30, 33, 68, 69, 70, 71, 72, 73, 85}, &decoder<float, float>},
        {{14}, &decoder<float, bool, bool, bool>},
        {{16, 24, 28, 32, 35, 37, 42, 44, 51, 60, 61, 62, 63, 64, 65, 66, 67}, &decoder<float>},
        {{18}, &decoder<u8, u16, float>},
        {{22, 26}, &decoder<u8, int, bool>},
        {{40}, &decoder<float, u16, u8, bool>},
        {{46, 82}, &decoder<bool, bool, bool>},
        {{48}, &decoder<u8, bool>},
        {{53, 74, 80}, &decoder<u8>},
        {{75, 76}, &decoder<u16, u16, u16, u16>},
        {{81, 83, 88}, &decoder<bool, bool>},
        {{84}, &decoder<bool>},
        {{86, 87}, &decoder<int>},
        {{89}, &decoder<u16>},
        {{110}, &decoder<u64>},
    };
    static constexpr quorvel_detail::DecoderTable<Decoder> kDecoders = quorvel_detail::decoderTable(kDecoderRows);

    void onFrame(const can_frame_data* frame) { MotorDeviceImpl::onFrame(frame, kDecoders); }
};

#endif
