// serial::list_ports against fake /dev and /sys trees. Each case runs in a
// forked child with its own mount namespace, where tmpfs mounts hide the
// host's /dev and /sys, so the public function reads the fake tree at the
// real absolute paths. Needs root (CAP_SYS_ADMIN).

#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_tree.hpp"
#include "serial.hpp"

namespace {

struct Port {
    std::string path;
    std::string description;
    std::string hardware_id;
    bool operator==(const Port& o) const {
        return path == o.path && description == o.description && hardware_id == o.hardware_id;
    }
};

std::ostream& operator<<(std::ostream& os, const Port& p) {
    return os << "{" << p.path << " | " << p.description << " | " << p.hardware_id << "}";
}

// --- building the fake tree (inside the child)

using qt_test::makeDirs;
using qt_test::makeLink;

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
    const std::pair<const char*, const std::string*> files[] = {
        {"manufacturer", &manufacturer}, {"product", &product}, {"serial", &serial},
        {"idVendor", &vid},              {"idProduct", &pid},
    };
    for (const auto& f : files) {
        if (!f.second->empty()) writeFile(dir + "/" + f.first, *f.second + "\n");
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
        std::ostringstream out;
        out << "OK\n";
        for (const serial::PortInfo& p : serial::list_ports()) {
            out << p.device_path << '\t' << p.description << '\t' << p.hardware_id << '\n';
        }
        const std::string text = out.str();
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::close(fds[1]);
    });
    ::close(fds[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    if (!ok) {
        ADD_FAILURE() << "fake tree child failed";
        return {};
    }

    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    if (line != "OK") {
        ADD_FAILURE() << "fake tree: " << line;
        return {};
    }
    std::vector<Port> ports;
    while (std::getline(in, line)) {
        Port p;
        const size_t a = line.find('\t');
        const size_t b = line.find('\t', a + 1);
        p.path = line.substr(0, a);
        p.description = line.substr(a + 1, b - a - 1);
        p.hardware_id = line.substr(b + 1);
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
    std::vector<std::string> paths;
    for (const Port& p : ports) paths.push_back(p.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyACM10", "/dev/ttyACM2", "/dev/ttyS0",
                                               "/dev/ttyS1", "/dev/ttyUSB0", "/dev/tty.usbserial",
                                               "/dev/cu.usbmodem1", "/dev/rfcomm0"}));
    // No sysfs at all: each keeps its name and "n/a".
    for (const Port& p : ports) {
        EXPECT_EQ(p.description, p.path.substr(5));
        EXPECT_EQ(p.hardware_id, "n/a");
    }
}

TEST(SerialListPorts, UsbDevicesAreDescribedFromTheirUsbDirectory) {
    const std::vector<Port> ports = listPortsIn([] {
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
    });
    const std::vector<Port> expected = {
        {"/dev/ttyACM0", "Quorvel Yomlu CAN Adapter A1B2C3", "USB VID:PID=0483:5740 SNR=A1B2C3"},
        {"/dev/ttyACM1", "Maker Widget ", "USB VID:PID=1234:abcd "},
        {"/dev/ttyACM2", "ttyACM2", "USB VID:PID=1111:2222 "},
        {"/dev/ttyUSB0", "FTDI FT232R USB UART AB0CD1", "USB VID:PID=0403:6001 SNR=AB0CD1"},
        {"/dev/ttyUSB1", " Bridge ", "USB VID:PID=10c4:ea60 "},
        {"/dev/ttyUSB2", "ttyUSB2", "n/a"},
    };
    EXPECT_EQ(ports, expected);
}

TEST(SerialListPorts, OtherDevicesTakeTheirSysfsId) {
    const std::vector<Port> ports = listPortsIn([] {
        devices({"ttyS0", "ttyS1", "ttyS2", "rfcomm0"});
        writeFile("/sys/devices/pnp0/00:01/id", "PNP0501\nsecond line\n");
        makeLink("../../../devices/pnp0/00:01", "/sys/class/tty/ttyS0/device");
        makeDirs("/sys/devices/platform/serial8250/tty/ttyS1");
        makeLink("../../../devices/platform/serial8250", "/sys/class/tty/ttyS1/device");
        // An id file, but without a line end.
        writeFile("/sys/devices/pnp0/00:02/id", "PNP0502");
        makeLink("../../../devices/pnp0/00:02", "/sys/class/tty/ttyS2/device");
    });
    const std::vector<Port> expected = {
        {"/dev/ttyS0", "ttyS0", "PNP0501"},
        {"/dev/ttyS1", "ttyS1", "n/a"},
        {"/dev/ttyS2", "ttyS2", "PNP0502"},
        {"/dev/rfcomm0", "rfcomm0", "n/a"},
    };
    EXPECT_EQ(ports, expected);
}

TEST(SerialListPorts, DirectoriesNearTheRootAndBrokenLinks) {
    const std::vector<Port> ports = listPortsIn([] {
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
    });
    const std::vector<Port> expected = {
        {"/dev/ttyACM0", "ttyACM0", "USB VID:PID=: "},
        {"/dev/ttyACM1", "ttyACM1", "n/a"},
        {"/dev/ttyUSB0", "ttyUSB0", "USB VID:PID=: "},
        {"/dev/ttyUSB1", "Top  ", "USB VID:PID=dead:beef "},
    };
    EXPECT_EQ(ports, expected);
}

}  // namespace
