#ifndef QUORVEL_TRANSPORT_CAN_INTERFACE_HPP
#define QUORVEL_TRANSPORT_CAN_INTERFACE_HPP

#include <string>

#include "interface.hpp"

// The bus over a Linux SocketCAN network interface (one raw CAN socket).
// The bit rate of a SocketCAN interface is configured outside the library.
class QUORVEL_API CANInterface : public Interface {
public:
    class CANInterfaceImpl;

    CANInterface();
    // Stops the interface (closeInterface) before it goes.
    ~CANInterface();

    // Opens a raw CAN socket bound to the named network interface, e.g.
    // "can0". Names of 16 characters or more are refused.
    bool init(std::string name) override;
    void closeIface() override;
    // Never blocks: a full transmit queue or a down interface fails at once.
    bool sendData(can_frame_data* frame) override;
    // Returns a queued frame at once; on an idle bus sleeps until a frame
    // comes or wakeReceiver is called (then false), so an idle interface
    // costs no wake-ups of its receive thread.
    bool recvData(can_frame_data* frame) override;
    // Changes nothing; always false.
    bool setCANBaudRate(CANBaudRate rate) override;
    // Ends a recvData that is waiting, or the next one; any thread.
    void wakeReceiver() override;

private:
    CANInterfaceImpl* canImpl;
};

#endif
