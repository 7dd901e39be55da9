#include <quorvel_transport/actuator.hpp>
#include <quorvel_transport/can_interface.hpp>

#include <iostream>

int main() {
    CANInterface bus;
    Actuator actuator(5, nullptr);
    can_frame_data f{};
    f.can_id = 0x80000000u | (5u << 7) | 70u;
    std::cout << getLibraryVersion() << ' ' << getDeviceIdFromFrame(&f) << std::endl;
    return getLibraryVersion() == "0.1.10-beta" && getDeviceIdFromFrame(&f) == 5 && !actuator.isConnected() ? 0 : 1;
}
