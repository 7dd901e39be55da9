#ifndef QUORVEL_TRANSPORT_DEVICE_PROTOCOL_HPP
#define QUORVEL_TRANSPORT_DEVICE_PROTOCOL_HPP

#include <cstdint>

// Command ids that the bus itself gives a meaning to; every other id belongs
// to a device's command table.
namespace quorvel_detail {

constexpr uint8_t kHeartbeatCommandId = 1;  // device heartbeat, and the master heartbeat
constexpr uint8_t kAckCommandId = 2;        // never handed to a device

}  // namespace quorvel_detail

#endif
