#ifndef QUORVEL_TRANSPORT_CAN_DEVICE_TYPE_HPP
#define QUORVEL_TRANSPORT_CAN_DEVICE_TYPE_HPP

#include "can_helpers.hpp"
#include "config.hpp"

// Base of every device object. An interface hands the frames routed to a
// device to canMsgCallback on its receive thread. There is deliberately no
// virtual destructor: destroy devices through their own class.
class QUORVEL_API CANDeviceType {
public:
    CANDeviceType();

    // The node id; 0xFFFFFFFF until the derived class sets it.
    unsigned int getId();

    // Called on the interface's receive thread, with the interface's registry
    // lock held. Must return quickly and must not register or unregister
    // devices.
    virtual void canMsgCallback(can_frame_data* frame) = 0;

protected:
    unsigned int nodeId;
};

#endif
