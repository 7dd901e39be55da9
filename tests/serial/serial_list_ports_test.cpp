// serial::list_ports against fake /dev and /sys trees. Each case runs in a
// forked child with its own mount namespace, where tmpfs mounts hide the
// host's /dev and /sys, so the public function reads the fake tree at the
// real absolute paths. Needs root (CAP_SYS_ADMIN).

#include <array>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_tree.hpp"
#include "quorvel_transport/serial.hpp"

namespace {

using qt_test::makeDirs;
using qt_test::makeLink;
using qt_test::writeFile;

// Path, description, hardware id.
using Port = std::array<std::string, 3>;

// Device nodes as plain files: the enumeration only looks at names.
void devices(const std::vector<std::string>& names) {
    for (const std::string& name : names) writeFile("/dev/" + name, "");
}

// A USB device directory with the given attribute files (empty text: no file).
void usbDevice(const std::string& dir, const std::string& manufacturer, const std::string& product,
               const std::string& serial, const std::string& vid, const std::string& pid) {
    makeDirs(dir);
    const std::pair<const char*, std::string> files[] = {
        {"manufacturer", manufacturer}, {"product", product}, {"serial", serial}, {"idVendor", vid}, {"idProduct", pid},
    };
    for (const auto& [name, text] : files) {
        if (!text.empty()) writeFile(dir + "/" + name, text + "\n");
    }
}

// Runs `build` and then serial::list_ports() in a private mount namespace
// with empty /dev and /sys, and checks what it finds there.
void expectPorts(const std::function<void()>& build, const std::vector<Port>& expected) {
    const bool childPassed = qt_test::runInPrivateDeviceTree([&] {
        build();
        std::vector<Port> ports;
        for (const serial::PortInfo& p : serial::list_ports()) {
            ports.push_back({p.device_path, p.description, p.hardware_id});
        }
        EXPECT_EQ(ports, expected);
    });
    EXPECT_TRUE(childPassed) << "see the fake tree child's output above";
}

TEST(SerialListPorts, PatternOrderThenAlphabetical) {
    // No sysfs at all: each keeps its name and "n/a"; other ttys are not listed.
    std::vector<Port> expected;
    for (const char* name : {"ttyACM0", "ttyACM10", "ttyACM2", "ttyS0", "ttyS1", "ttyUSB0", "tty.usbserial",
                             "cu.usbmodem1", "rfcomm0"}) {
        expected.push_back({std::string("/dev/") + name, name, "n/a"});
    }
    expectPorts(
        [] {
            devices({"rfcomm0", "cu.usbmodem1", "tty.usbserial", "ttyUSB0", "ttyS1", "ttyS0", "ttyACM2", "ttyACM10",
                     "ttyACM0", "tty0", "ttyAMA0", "console"});
        },
        expected);
}

TEST(SerialListPorts, DevicesAreDescribedFromSysfs) {
    expectPorts([] {
        devices({"ttyACM0", "ttyACM1", "ttyACM2", "ttyACM3", "ttyACM4", "ttyUSB0", "ttyUSB1", "ttyS0", "ttyS1", "ttyS2"});
        // Modem class: the tty's device is the interface, the USB device is one up.
        usbDevice("/sys/devices/pci0/usb1/1-1", "Quorvel", "Yomlu CAN Adapter", "A1B2C3", "0483", "5740");
        makeLink("../../../devices/pci0/usb1/1-1/1-1:1.0", "/sys/class/tty/ttyACM0/device");
        makeDirs("/sys/devices/pci0/usb1/1-1/1-1:1.0/tty/ttyACM0");
        // Without a serial number.
        usbDevice("/sys/devices/pci0/usb1/1-2", "Maker", "Widget", "", "1234", "abcd");
        makeLink("../../../devices/pci0/usb1/1-2/1-2:1.0", "/sys/class/tty/ttyACM1/device");
        makeDirs("/sys/devices/pci0/usb1/1-2/1-2:1.0");
        // Neither manufacturer, product nor serial number.
        usbDevice("/sys/devices/pci0/usb1/1-3", "", "", "", "1111", "2222");
        makeLink("/sys/devices/pci0/usb1/1-3/1-3:1.2", "/sys/class/tty/ttyACM2/device");
        makeDirs("/sys/devices/pci0/usb1/1-3/1-3:1.2");
        // Converter: the tty's device is the converter port below the interface; only a product text.
        usbDevice("/sys/devices/pci0/usb2/2-2", "", "Bridge", "", "10c4", "ea60");
        makeDirs("/sys/devices/pci0/usb2/2-2/2-2:1.0/ttyUSB0");
        makeLink("../../../devices/pci0/usb2/2-2/2-2:1.0/ttyUSB0", "/sys/class/tty/ttyUSB0/device");
        // Others: the first line of an id file, if there is one.
        writeFile("/sys/devices/pnp0/00:01/id", "PNP0501\nsecond line\n");
        makeLink("../../../devices/pnp0/00:01", "/sys/class/tty/ttyS0/device");
        makeDirs("/sys/devices/platform/serial8250/tty/ttyS1");
        makeLink("../../../devices/platform/serial8250", "/sys/class/tty/ttyS1/device");
        writeFile("/sys/devices/pnp0/00:02/id", "PNP0502");
        makeLink("../../../devices/pnp0/00:02", "/sys/class/tty/ttyS2/device");
        // Resolves to /sys: the parent is the root directory itself, which
        // exists but holds no USB attribute files.
        makeLink("/sys", "/sys/class/tty/ttyACM3/device");
        // A link to nowhere cannot be resolved.
        makeLink("/sys/devices/gone/1-1:1.0", "/sys/class/tty/ttyACM4/device");
        // Two up from /sys/y/z is the tmpfs root /sys.
        makeDirs("/sys/y/z");
        writeFile("/sys/idVendor", "dead\n");
        writeFile("/sys/idProduct", "beef\n");
        writeFile("/sys/manufacturer", "Top\n");
        makeLink("/sys/y/z", "/sys/class/tty/ttyUSB1/device");
    }, {
        {"/dev/ttyACM0", "Quorvel Yomlu CAN Adapter A1B2C3", "USB VID:PID=0483:5740 SNR=A1B2C3"},
        {"/dev/ttyACM1", "Maker Widget ", "USB VID:PID=1234:abcd "},
        {"/dev/ttyACM2", "ttyACM2", "USB VID:PID=1111:2222 "},
        {"/dev/ttyACM3", "ttyACM3", "USB VID:PID=: "},
        {"/dev/ttyACM4", "ttyACM4", "n/a"},
        {"/dev/ttyS0", "ttyS0", "PNP0501"},
        {"/dev/ttyS1", "ttyS1", "n/a"},
        {"/dev/ttyS2", "ttyS2", "PNP0502"},
        {"/dev/ttyUSB0", " Bridge ", "USB VID:PID=10c4:ea60 "},
        {"/dev/ttyUSB1", "Top  ", "USB VID:PID=dead:beef "},
    });
}

}  // namespace
