#ifndef QUORVEL_TRANSPORT_USB_INTERFACE_HPP
#define QUORVEL_TRANSPORT_USB_INTERFACE_HPP

#include <exception>
#include <string>

#include "interface.hpp"

// Thrown by USBInterface::init when the named port is not a Quorvel / Yomlu
// adapter according to its enumerated description.
class QUORVEL_API NoCompatibleDeviceException : public std::exception {
public:
    NoCompatibleDeviceException();
    ~NoCompatibleDeviceException() override;
    // "No Compatible Quorvel Device found at the interface"
    const char* what() const noexcept override;
};

// The bus through the Yomlu USB-to-CAN adapter, a serial port (115200 bit/s,
// 8N1) that carries one CAN frame per text line ended by CR.
//
// Threads: recvData runs on the interface's receive thread and blocks for up
// to 1 s waiting for a byte, so closeInterface may take about a second.
// sendData runs under the interface's send lock. The adapter operations may
// be called from any application thread while the interface runs; each line
// goes out in one write, so lines from different threads never interleave.
// The queries (getCANBaudRate, getFirmwareVersion, getHardwareVersion) need
// the receive thread running to see the adapter's reply; they wait for it
// about 1 s and are served one at a time. Each accepts only a reply line of
// its own kind that arrives after it was asked.
class QUORVEL_API USBInterface : public Interface {
public:
    class USBInterfaceImpl;

    USBInterface();
    // Stops the interface (closeInterface), then closes the port.
    ~USBInterface();

    // Opens `port` (e.g. /dev/ttyACM0) at 115200 bit/s with 1000 ms
    // time-outs and accepts it only when serial::list_ports describes it
    // with "Quorvel" or "Yomlu". Rethrows the serial port's exceptions from
    // opening (after printing a message to standard output) and throws
    // NoCompatibleDeviceException for a foreign port, which is closed again
    // first, so that init may be called again with the right port.
    bool init(std::string port) override;
    void closeIface() override;
    // One frame line; true when it went out. A can_dlc above 8 is refused
    // (false, nothing written).
    bool sendData(can_frame_data* frame) override;
    // One line from the adapter; true only when it was a frame line, which
    // then fills *frame (data bytes past the length set to 0). Reply lines
    // are stored for the queries; malformed and short lines yield nothing.
    bool recvData(can_frame_data* frame) override;
    // Sets the adapter's CAN bit rate; true when the command went out. Nothing
    // confirms it.
    bool setCANBaudRate(CANBaudRate rate) override;

    // Queries: true when the adapter answered within about 1 s; the outputs
    // are written only then. On time-out a message goes to standard output.
    bool getCANBaudRate(CANBaudRate* rate);
    bool getFirmwareVersion(unsigned char* major, unsigned char* minor, unsigned char* patch, std::string* commit);
    bool getHardwareVersion(unsigned char* major, unsigned char* minor, unsigned char* patch);

    // Adapter commands: true when the command line went out.
    bool enterDFUMode();
    bool saveConfiguration();
    bool eraseConfiguration();
    bool rebootYomlu();

private:
    USBInterfaceImpl* usbImpl;
};

#endif
