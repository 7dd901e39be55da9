#include "quorvel_transport/can_helpers.hpp"

uint32_t setNodeIDForFrame(can_node_id id) {
    return (uint32_t{id.id_type} << ID_TYPE_BIT_SHIFT) | (uint32_t{id.rtr} << RTR_BIT_SHIFT) |
           (uint32_t{id.error} << ERROR_BIT_SHIFT) | (uint32_t{id.device_type} << DEVICE_TYPE_BIT_SHIFT) |
           (uint32_t{id.broadcast_type} << BROADCAST_TYPE_BIT_SHIFT) | (id.device_id << DEVICE_ID_BIT_SHIFT) |
           (uint32_t{id.cmd_id} << CMD_ID_BIT_SHIFT);
}

uint8_t getDeviceTypeFromFrame(can_frame_data* frame) { return (frame->can_id >> DEVICE_TYPE_BIT_SHIFT) & 0x7; }

uint32_t getDeviceIdFromFrame(can_frame_data* frame) { return (frame->can_id >> DEVICE_ID_BIT_SHIFT) & 0x3FFFF; }

uint8_t getCommandIdFromFrame(can_frame_data* frame) { return frame->can_id & 0x7F; }

uint8_t getExtFromFrame(can_frame_data* frame) { return (frame->can_id >> ID_TYPE_BIT_SHIFT) & 1; }

uint8_t getRtrFromFrame(can_frame_data* frame) { return (frame->can_id >> RTR_BIT_SHIFT) & 1; }

uint32_t getExtendedIdFromFrame(can_frame_data* frame) { return frame->can_id & 0x1FFFFFFF; }

CANBaudRate baudrate_from_value(int bitsPerSecond) {
    for (int i = 0; i < 9; ++i) {
        if (CAN_BAUDRATE_VALUE[i] == bitsPerSecond) return static_cast<CANBaudRate>(i);
    }
    return static_cast<CANBaudRate>(-1);
}
