#ifndef QUORVEL_TRANSPORT_RET_STATUS_HPP
#define QUORVEL_TRANSPORT_RET_STATUS_HPP

// Result of every device operation that exchanges frames, for every device
// class.
enum ret_status_t {
    RET_SUCCESS = 0,                // command sent, or the read's reply arrived and was copied out
    RET_ERROR = 1,                  // the device object has no implementation
    RET_TIMEOUT = 2,                // no matching reply within the wait time
    RET_NOT_CONNECTED = 4,          // no recent heartbeat from the node
    RET_INTERFACE_NOT_RUNNING = 5,  // the interface is not started, or its latest send failed
    RET_INVALID_ARGUMENT = 6,       // an argument outside its range
};

#endif
