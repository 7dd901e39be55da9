#ifndef QUORVEL_TRANSPORT_DEVICE_PROTOCOL_HPP
#define QUORVEL_TRANSPORT_DEVICE_PROTOCOL_HPP

#include <cstdint>

// Command ids that the bus itself gives a meaning to (every other id belongs
// to a device's command table), and the node id of no node.
namespace quorvel_detail {

constexpr uint8_t kHeartbeatCommandId = 1;  // device heartbeat, and the master heartbeat
constexpr uint8_t kAckCommandId = 2;        // never handed to a device

// The node id of no node: what Interface::setAsDevice returns when no
// heartbeat came, and the id of a device object before it has one.
constexpr unsigned int kNoNode = 0xFFFFFFFFu;

}  // namespace quorvel_detail

#endif
