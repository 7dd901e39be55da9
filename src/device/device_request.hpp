#ifndef QUORVEL_TRANSPORT_DEVICE_REQUEST_HPP
#define QUORVEL_TRANSPORT_DEVICE_REQUEST_HPP

// The request side shared by every device class: composing a request frame
// from its table row, the status checks, and the two kinds of operation
// (a command that is only sent, and a read that waits for its reply).
//
// A device operation is a call such as
//     sendCommand(link, {97, FrameKind::Data, 8}, f32(0, p), truncated<short>(32, v));
//     readRemote<70>(link, &voltage, &current);
// where the row gives command id, frame kind and data length, and each field
// its start bit, type and conversion.

#include <cstdint>

#include "quorvel_transport/can_helpers.hpp"
#include "quorvel_transport/interface.hpp"
#include "quorvel_transport/ret_status.hpp"
#include "device/reply_machinery.hpp"

namespace quorvel_detail {

// What an operation needs of its device object. Impl is the device's
// implementation (a DeviceImpl): parseData(commandId, outs...) and the
// constexpr decoder table kDecoders.
template <typename Impl>
struct DeviceLink {
    Impl* impl;
    Interface* bus;
    unsigned int nodeId;
};

enum class FrameKind : uint8_t { Data, Remote };

struct Request {
    uint8_t commandId;
    FrameKind kind;
    uint8_t dataLength;
};

// --- payload fields -----------------------------------------------------

template <typename T>
struct PlainField {
    uint8_t startBit;
    T value;
};

// (value / scale) in single precision, toward zero, as the integer type T.
template <typename T>
struct ScaledField {
    uint8_t startBit;
    float value;
    float scale;
};

constexpr float kScale0_1 = 0.1f;
constexpr float kScale0_01 = 0.01f;
constexpr float kScale0_001 = 0.001f;

inline PlainField<float> f32(uint8_t bit, float v) { return {bit, v}; }
inline PlainField<unsigned int> u32(uint8_t bit, unsigned int v) { return {bit, v}; }
inline PlainField<int> i32(uint8_t bit, int v) { return {bit, v}; }
inline PlainField<unsigned short> u16(uint8_t bit, unsigned short v) { return {bit, v}; }
inline PlainField<short> i16(uint8_t bit, short v) { return {bit, v}; }
inline PlainField<unsigned char> u8(uint8_t bit, unsigned char v) { return {bit, v}; }
inline PlainField<bool> flag(uint8_t bit, bool v) { return {bit, v}; }

// A float argument cut toward zero to the field's integer type. Going
// through the saturating scaled codec (scale 1) keeps out-of-range
// arguments defined.
template <typename T>
ScaledField<T> truncated(uint8_t bit, float v) {
    return {bit, v, 1.0f};
}
template <typename T>
ScaledField<T> scaled(uint8_t bit, float v, float scale) {
    return {bit, v, scale};
}

template <typename T>
void writeField(can_frame_data& frame, const PlainField<T>& field) {
    canSetSignal<T>(frame, field.value, field.startBit, kFieldBits<T>, true);
}

template <typename T>
void writeField(can_frame_data& frame, const ScaledField<T>& field) {
    canSetSignal<T>(frame, field.value, field.startBit, kFieldBits<T>, true, field.scale, 0.0f);
}

// An extended frame to `nodeId` (device type 0, no broadcast, no error
// flag), data bytes zeroed, then the fields written little-endian.
template <typename... Fields>
can_frame_data composeRequest(unsigned int nodeId, Request row, const Fields&... fields) {
    can_node_id id{};
    id.id_type = 1;
    id.rtr = row.kind == FrameKind::Remote ? 1 : 0;
    id.device_id = nodeId;
    id.cmd_id = row.commandId;
    can_frame_data frame{};
    frame.can_id = setNodeIDForFrame(id);
    frame.can_dlc = row.dataLength;
    (writeField(frame, fields), ...);
    return frame;
}

// --- the skeleton -----------------------------------------------------------

// Checked before anything is sent, in this order.
template <typename Impl>
ret_status_t requestStatus(const DeviceLink<Impl>& link, bool argumentsValid = true) {
    if (link.impl == nullptr) return RET_ERROR;
    if (link.bus == nullptr || !link.bus->isRunning()) return RET_INTERFACE_NOT_RUNNING;
    if (!link.bus->isDeviceConnected(link.nodeId)) return RET_NOT_CONNECTED;
    if (!argumentsValid) return RET_INVALID_ARGUMENT;
    return RET_SUCCESS;
}

// The send result is not looked at: a failed send clears the interface's
// running flag, which the next operation reports.
template <typename Impl>
void transmit(const DeviceLink<Impl>& link, can_frame_data frame) {
    link.bus->sendFrame(&frame);
}

// One exchange for a reply of command CommandId: arms (a held reply cannot
// answer a request not yet sent), sends, waits and hands the reply's values
// out, disarms. The out-parameter types must be the reply layout that the
// device's decoder table gives for that command id, or this does not compile.
template <uint8_t CommandId, typename Impl, typename... Ts>
ret_status_t exchange(const DeviceLink<Impl>& link, const can_frame_data& request, Ts*... outs) {
    static_assert(Impl::kDecoders[CommandId] == &Impl::template decoder<Ts...>,
                  "out-parameters differ from the decoder table's reply layout");
    ArmedRead<Impl> armed(*link.impl, CommandId, false);
    transmit(link, request);
    return link.impl->parseData(CommandId, outs...);
}

// A command: checks, then one frame, nothing awaited.
template <typename Impl, typename... Fields>
ret_status_t sendCommand(const DeviceLink<Impl>& link, Request row, const Fields&... fields) {
    const ret_status_t status = requestStatus(link);
    if (status != RET_SUCCESS) return status;
    transmit(link, composeRequest(link.nodeId, row, fields...));
    return RET_SUCCESS;
}

// A read with its own request frame: checks, then one exchange.
template <uint8_t CommandId, typename Impl, typename... Ts>
ret_status_t read(const DeviceLink<Impl>& link, const can_frame_data& request, Ts*... outs) {
    const ret_status_t status = requestStatus(link);
    if (status != RET_SUCCESS) return status;
    return exchange<CommandId>(link, request, outs...);
}

// The usual read: a remote request of data length 8 without payload.
template <uint8_t CommandId, typename Impl, typename... Ts>
ret_status_t readRemote(const DeviceLink<Impl>& link, Ts*... outs) {
    return read<CommandId>(link, composeRequest(link.nodeId, {CommandId, FrameKind::Remote, 8}), outs...);
}

// Whether an exchange took place (its reply arrived or timed out), as
// opposed to a status check that stopped the operation before sending.
// Outputs computed after the exchange are written in both cases.
inline bool exchanged(ret_status_t status) { return status == RET_SUCCESS || status == RET_TIMEOUT; }

template <typename T>
void assignIfSet(T* out, const T& value) {
    if (out != nullptr) *out = value;
}

}  // namespace quorvel_detail

#endif
