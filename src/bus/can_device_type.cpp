#include "quorvel_transport/can_device_type.hpp"

CANDeviceType::CANDeviceType() : nodeId(0xFFFFFFFFu) {}

unsigned int CANDeviceType::getId() { return nodeId; }
