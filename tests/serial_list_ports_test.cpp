// serial::list_ports against fake /dev and /sys trees. Each case runs in a
// forked child with its own mount namespace, where tmpfs mounts hide the
// host's /dev and /sys, so the public function reads the fake tree at the
// real absolute paths. Needs root (CAP_SYS_ADMIN).

#include <unistd.h>

#include <array>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_tree.hpp"
#include "serial.hpp"

namespace {

using qt_test::makeDirs;
using qt_test::makeLink;

// Path, description, hardware id.
using Port = std::array<std::string, 3>;

// Device nodes as plain files: the enumeration only looks at names. Names
// the tree cannot take (under the kept /dev/pts) are simply absent.
void writeFile(const std::string& path, const std::string& content) {
    try {
        qt_test::writeFile(path, content);
    } catch (const std::runtime_error&) {
    }
}

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
// with empty /dev and /sys. Returns the ports, or fails the test.
std::vector<Port> listPortsIn(const std::function<void()>& build) {
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    // The listing is a few lines: it fits the pipe while the parent waits.
    const bool ok = qt_test::runInPrivateDeviceTree([&] {
        ::close(fds[0]);
        build();
        for (const serial::PortInfo& p : serial::list_ports()) {
            ::dprintf(fds[1], "%s\t%s\t%s\n", p.device_path.c_str(), p.description.c_str(), p.hardware_id.c_str());
        }
        ::close(fds[1]);
    });
    ::close(fds[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    EXPECT_TRUE(ok) << "fake tree child failed";
    std::istringstream in(text);
    std::vector<Port> ports;
    for (Port p; std::getline(in, p[0], '\t') && std::getline(in, p[1], '\t') && std::getline(in, p[2]);) {
        ports.push_back(p);
    }
    return ports;
}

TEST(SerialListPorts, AHostWithoutSerialDevicesListsNothing) {
    const std::vector<Port> ports = listPortsIn([] { devices({"null", "tty0", "ttyAMA0", "console", "pts/0"}); });
    EXPECT_TRUE(ports.empty());
}

TEST(SerialListPorts, PatternOrderThenAlphabetical) {
    const std::vector<Port> ports = listPortsIn([] {
        devices({"rfcomm0", "cu.usbmodem1", "tty.usbserial", "ttyUSB0", "ttyS1", "ttyS0", "ttyACM2", "ttyACM10",
                 "ttyACM0", "tty0", "ttyAMA0"});
    });
    // No sysfs at all: each keeps its name and "n/a".
    std::vector<Port> expected;
    for (const char* name : {"ttyACM0", "ttyACM10", "ttyACM2", "ttyS0", "ttyS1", "ttyUSB0", "tty.usbserial",
                             "cu.usbmodem1", "rfcomm0"}) {
        expected.push_back({std::string("/dev/") + name, name, "n/a"});
    }
    EXPECT_EQ(ports, expected);
}

TEST(SerialListPorts, UsbDevicesAreDescribedFromTheirUsbDirectory) {
    EXPECT_EQ(listPortsIn([] {
        devices({"ttyACM0", "ttyACM1", "ttyACM2", "ttyUSB0", "ttyUSB1", "ttyUSB2"});
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
        // Converter: the tty's device is the converter port below the interface.
        usbDevice("/sys/devices/pci0/usb2/2-1", "FTDI", "FT232R USB UART", "AB0CD1", "0403", "6001");
        makeDirs("/sys/devices/pci0/usb2/2-1/2-1:1.0/ttyUSB0");
        makeLink("../../../devices/pci0/usb2/2-1/2-1:1.0/ttyUSB0", "/sys/class/tty/ttyUSB0/device");
        // Only a product text.
        usbDevice("/sys/devices/pci0/usb2/2-2", "", "Bridge", "", "10c4", "ea60");
        makeDirs("/sys/devices/pci0/usb2/2-2/2-2:1.0/ttyUSB1");
        makeLink("/sys/devices/pci0/usb2/2-2/2-2:1.0/ttyUSB1", "/sys/class/tty/ttyUSB1/device");
        // ttyUSB2: no entry under /sys/class/tty at all.
    }), (std::vector<Port>{
        {"/dev/ttyACM0", "Quorvel Yomlu CAN Adapter A1B2C3", "USB VID:PID=0483:5740 SNR=A1B2C3"},
        {"/dev/ttyACM1", "Maker Widget ", "USB VID:PID=1234:abcd "},
        {"/dev/ttyACM2", "ttyACM2", "USB VID:PID=1111:2222 "},
        {"/dev/ttyUSB0", "FTDI FT232R USB UART AB0CD1", "USB VID:PID=0403:6001 SNR=AB0CD1"},
        {"/dev/ttyUSB1", " Bridge ", "USB VID:PID=10c4:ea60 "},
        {"/dev/ttyUSB2", "ttyUSB2", "n/a"},
    }));
}

TEST(SerialListPorts, OtherDevicesTakeTheirSysfsId) {
    EXPECT_EQ(listPortsIn([] {
        devices({"ttyS0", "ttyS1", "ttyS2", "rfcomm0"});
        writeFile("/sys/devices/pnp0/00:01/id", "PNP0501\nsecond line\n");
        makeLink("../../../devices/pnp0/00:01", "/sys/class/tty/ttyS0/device");
        makeDirs("/sys/devices/platform/serial8250/tty/ttyS1");
        makeLink("../../../devices/platform/serial8250", "/sys/class/tty/ttyS1/device");
        // An id file, but without a line end.
        writeFile("/sys/devices/pnp0/00:02/id", "PNP0502");
        makeLink("../../../devices/pnp0/00:02", "/sys/class/tty/ttyS2/device");
    }), (std::vector<Port>{
        {"/dev/ttyS0", "ttyS0", "PNP0501"},
        {"/dev/ttyS1", "ttyS1", "n/a"},
        {"/dev/ttyS2", "ttyS2", "PNP0502"},
        {"/dev/rfcomm0", "rfcomm0", "n/a"},
    }));
}

TEST(SerialListPorts, DirectoriesNearTheRootAndBrokenLinks) {
    EXPECT_EQ(listPortsIn([] {
        devices({"ttyACM0", "ttyACM1", "ttyUSB0", "ttyUSB1"});
        // Resolves to /sys: the parent is the root directory itself, which
        // exists but holds no USB attribute files.
        makeLink("/sys", "/sys/class/tty/ttyACM0/device");
        // A link to nowhere cannot be resolved.
        makeLink("/sys/devices/gone/1-1:1.0", "/sys/class/tty/ttyACM1/device");
        // Resolves to /sys/x: two up is the root as well.
        makeDirs("/sys/x");
        makeLink("/sys/x", "/sys/class/tty/ttyUSB0/device");
        // Resolves to a directory right under the root's tmpfs: /sys/y/z, two up is /sys.
        makeDirs("/sys/y/z");
        writeFile("/sys/idVendor", "dead\n");
        writeFile("/sys/idProduct", "beef\n");
        writeFile("/sys/manufacturer", "Top\n");
        makeLink("/sys/y/z", "/sys/class/tty/ttyUSB1/device");
    }), (std::vector<Port>{
        {"/dev/ttyACM0", "ttyACM0", "USB VID:PID=: "},
        {"/dev/ttyACM1", "ttyACM1", "n/a"},
        {"/dev/ttyUSB0", "ttyUSB0", "USB VID:PID=: "},
        {"/dev/ttyUSB1", "Top  ", "USB VID:PID=dead:beef "},
    }));
}

}  // namespace
