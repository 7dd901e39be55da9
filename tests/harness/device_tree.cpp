#include "device_tree.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include <gtest/gtest.h>

// Present when built with the address (leak) sanitizer.
extern "C" void __lsan_do_leak_check() __attribute__((weak));

namespace qt_test {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("device tree: " + what + ": " + std::strerror(errno));
}

void bindOnto(const std::string& source, const std::string& target, bool directory) {
    directory ? makeDirs(target) : writeFile(target, "");
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        fail("bind " + source + " on " + target);
    }
}

}  // namespace

void makeDirs(const std::string& path) {
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        ::mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

void writeFile(const std::string& path, const std::string& content) {
    makeDirs(path.substr(0, path.rfind('/')));
    std::ofstream out(path);
    out << content;
    if (!out) fail("write " + path);
}

void makeLink(const std::string& target, const std::string& path) {
    makeDirs(path.substr(0, path.rfind('/')));
    if (::symlink(target.c_str(), path.c_str()) != 0) fail("symlink " + path);
}

void writeUsbAttributes(const std::string& dir, const UsbDeviceInfo& info) {
    const std::pair<const char*, const std::string*> files[] = {
        {"manufacturer", &info.manufacturer}, {"product", &info.product},     {"serial", &info.serial},
        {"idVendor", &info.vendorId},         {"idProduct", &info.productId},
    };
    makeDirs(dir);
    for (const auto& [name, text] : files) {
        if (!text->empty()) writeFile(dir + "/" + name, *text + "\n");
    }
}

// Hides the host's /dev and /sys behind empty trees, keeping the devices
// that the tests themselves need.
void enterPrivateDeviceTree() {
    const char* const kept[5] = {"/dev/pts", "/dev/null", "/dev/zero", "/dev/random", "/dev/urandom"};
    int fds[5];
    if (::unshare(CLONE_NEWNS) != 0) fail("unshare (needs root)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("private /");
    // Taken in the new namespace (a bind source must belong to it), before
    // the tmpfs mounts hide them.
    for (size_t i = 0; i < std::size(kept); ++i) {
        if ((fds[i] = ::open(kept[i], O_PATH | O_CLOEXEC)) == -1) fail(std::string("open ") + kept[i]);
    }
    for (const char* dir : {"/dev", "/sys"}) {
        if (::mount("tmpfs", dir, "tmpfs", 0, "mode=755") != 0) fail(std::string("tmpfs on ") + dir);
    }
    for (size_t i = 0; i < std::size(kept); ++i) {
        bindOnto("/proc/self/fd/" + std::to_string(fds[i]), kept[i], i == 0);
        ::close(fds[i]);
    }
    // New pseudo-terminals come from the multiplexer inside the devpts
    // instance; the kernel finds that instance only from a path within it.
    if (::symlink("pts/ptmx", "/dev/ptmx") != 0) fail("symlink /dev/ptmx");
}

bool runInPrivateDeviceTree(const std::function<void()>& body, unsigned limitSeconds) {
    std::fflush(nullptr);  // cout is synchronised with stdio
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(limitSeconds);
        int status = 0;
        try {
            enterPrivateDeviceTree();
            body();
            status = ::testing::Test::HasFailure() ? 1 : 0;
        } catch (const std::exception& e) {
            std::cout << "device tree child: " << e.what() << std::endl;
            status = 2;
        }
        std::fflush(nullptr);
        // _exit skips the sanitizer's own leak check at exit: run it here,
        // after the body's objects are gone. It ends the child on a leak.
        if (&__lsan_do_leak_check != nullptr) __lsan_do_leak_check();
        ::_exit(status);
    }
    if (child == -1) {
        ADD_FAILURE() << "device tree child: fork failed: " << std::strerror(errno);
        return false;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) == -1 && errno == EINTR) {
    }
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
        ADD_FAILURE() << "device tree child: the body was still running at its time limit of " << limitSeconds
                      << " s and was ended";
    } else if (WIFSIGNALED(status)) {
        ADD_FAILURE() << "device tree child: ended by signal " << WTERMSIG(status) << " ("
                      << ::strsignal(WTERMSIG(status)) << ")";
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void addUsbSerialDevice(const std::string& name, const std::string& devicePath, const UsbDeviceInfo& info) {
    bindOnto(devicePath, "/dev/" + name, false);
    const std::string usbDir = "/sys/devices/platform/qt-hcd/usb1/1-" + name;
    const std::string interfaceDir = usbDir + "/1-" + name + ":1.0";
    writeUsbAttributes(usbDir, info);
    // A converter's tty hangs below its port directory inside the interface;
    // a modem-class tty's device is the interface itself.
    const std::string deviceDir = interfaceDir + (name.rfind("ttyUSB", 0) == 0 ? "/" + name : "");
    makeDirs(deviceDir);
    makeLink(deviceDir, "/sys/class/tty/" + name + "/device");
}

}  // namespace qt_test
