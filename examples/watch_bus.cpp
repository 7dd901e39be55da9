// Starts a SocketCAN interface and prints devices as they come and go.
//   example_watch_bus can0
#include <chrono>
#include <iostream>
#include <thread>

#include <quorvel_transport/can_interface.hpp>

int main(int argc, char** argv) {
    const std::string name = argc > 1 ? argv[1] : "can0";
    CANInterface bus;
    const bool started = bus.initInterface(
        name,
        [](unsigned int node, unsigned char type) {
            std::cout << "device " << node << " (type " << int(type) << ") appeared" << std::endl;
        },
        [](unsigned int node) { std::cout << "device " << node << " lost" << std::endl; });
    if (!started) {
        std::cerr << "cannot open " << name << std::endl;
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(10));
    bus.closeInterface();
    return 0;
}
