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

using namespace qt_test;

// Path, description, hardware id.
using Port = std::array<std::string, 3>;

// Runs `build` and then serial::list_ports() in a private mount namespace
// with empty /dev and /sys, and checks what it finds there. Device nodes are
// plain files: the enumeration only looks at names.
void expectPorts(const std::vector<std::string>& devices, const std::function<void()>& build,
                 const std::vector<Port>& expected) {
    EXPECT_TRUE(runInPrivateDeviceTree([&] {
        for (const std::string& name : devices) writeFile("/dev/" + name, "");
        build();
        std::vector<Port> ports;
        for (const serial::PortInfo& p : serial::list_ports()) ports.push_back({p.device_path, p.description, p.hardware_id});
        EXPECT_EQ(ports, expected);
    })) << "see the fake tree child's output above";
}

TEST(SerialListPorts, PatternOrderThenAlphabetical) {
    // No sysfs at all: each keeps its name and "n/a"; other ttys are not listed.
    std::vector<Port> expected;
    for (const char* name : {"ttyACM0", "ttyACM10", "ttyACM2", "ttyS0", "ttyS1", "ttyUSB0", "tty.usbserial",
                             "cu.usbmodem1", "rfcomm0"}) {
        expected.push_back({std::string("/dev/") + name, name, "n/a"});
    }
    expectPorts({"rfcomm0", "cu.usbmodem1", "tty.usbserial", "ttyUSB0", "ttyS1", "ttyS0", "ttyACM2", "ttyACM10",
                 "ttyACM0", "tty0", "ttyAMA0", "console"}, [] {}, expected);
}

TEST(SerialListPorts, DevicesAreDescribedFromSysfs) {
    expectPorts({"ttyACM1", "ttyACM2", "ttyACM3", "ttyACM4", "ttyUSB1", "ttyS0", "ttyS1", "ttyS2"}, [] {
        // Modem class: the tty's device is the interface, the USB device is one up.
        addUsbSerialDevice("ttyACM0", "/dev/null", {"Quorvel", "Yomlu CAN Adapter", "A1B2C3"});
        // Without a serial number; reached by a relative link.
        writeUsbAttributes("/sys/devices/pci0/usb1/1-2", {"Maker", "Widget", "", "1234", "abcd"});
        makeLink("../../../devices/pci0/usb1/1-2/1-2:1.0", "/sys/class/tty/ttyACM1/device");
        makeDirs("/sys/devices/pci0/usb1/1-2/1-2:1.0");
        // Neither manufacturer, product nor serial number.
        writeUsbAttributes("/sys/devices/pci0/usb1/1-3", {"", "", "", "1111", "2222"});
        makeLink("/sys/devices/pci0/usb1/1-3/1-3:1.2", "/sys/class/tty/ttyACM2/device");
        makeDirs("/sys/devices/pci0/usb1/1-3/1-3:1.2");
        // Converter: the tty's device is the converter port below the interface; only a product text.
        addUsbSerialDevice("ttyUSB0", "/dev/null", {"", "Bridge", "", "10c4", "ea60"});
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
        writeUsbAttributes("/sys", {"Top", "", "", "dead", "beef"});
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
