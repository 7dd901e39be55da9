#ifndef QT_TESTS_DEVICE_TREE_HPP
#define QT_TESTS_DEVICE_TREE_HPP

// Tests that need serial::list_ports to see a particular device run in a
// forked child with a private mount namespace, in which /dev and /sys are
// fresh tmpfs trees: only the pseudo-terminal devices (/dev/ptmx, /dev/pts)
// and /dev/null, /dev/zero, /dev/random and /dev/urandom are bound in from the
// host. The test then adds the devices it wants the enumeration to find.
// Needs root (CAP_SYS_ADMIN).

#include <functional>
#include <string>

namespace qt_test {

// A tree's time limit unless the work it is given needs more.
constexpr unsigned kTreeLimitSeconds = 100;

// Runs `body` in such a child and waits for it. Call it while the calling
// process runs no other thread. GoogleTest assertions inside `body` report in
// the child; the result is true when the child finished without a failure
// (an escaping exception and a hang of more than `limitSeconds` count as
// failures too). A child ended by its time limit, by another signal, or never
// forked is reported as such here in the parent.
bool runInPrivateDeviceTree(const std::function<void()>& body, unsigned limitSeconds = kTreeLimitSeconds);

// The same tree for the calling process itself, for programs that run no
// other thread yet (benchmarks: call it first in main). Throws
// std::runtime_error when it cannot (not root).
void enterPrivateDeviceTree();

// What a USB device's sysfs directory tells about it (empty: no such file).
struct UsbDeviceInfo {
    std::string manufacturer, product, serial, vendorId = "0483", productId = "5740";
};

// Inside the private tree: makes the character device `devicePath` (for
// instance a PtyPair's slave) appear as /dev/<name>, with the sysfs entries
// of a USB serial device. `name` starts with ttyUSB (converter layout) or
// ttyACM (modem-class layout).
void addUsbSerialDevice(const std::string& name, const std::string& devicePath, const UsbDeviceInfo& info);

// Free-form tree building inside the child; makeDirs creates every missing
// directory of `path`, writeUsbAttributes the files of `info` in `dir`.
void makeDirs(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
void makeLink(const std::string& target, const std::string& path);
void writeUsbAttributes(const std::string& dir, const UsbDeviceInfo& info);

}  // namespace qt_test

#endif
