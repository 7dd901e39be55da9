#include "device_tree.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
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
    if (directory) {
        makeDirs(target);
    } else {
        writeFile(target, "");
    }
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

// Hides the host's /dev and /sys behind empty trees, keeping the devices
// that the tests themselves need.
void enterPrivateDeviceTree() {
    struct Kept {
        const char* path;
        bool directory;
        int fd;
    };
    Kept kept[] = {
        {"/dev/pts", true, -1},    {"/dev/null", false, -1},    {"/dev/zero", false, -1},
        {"/dev/random", false, -1}, {"/dev/urandom", false, -1},
    };
    if (::unshare(CLONE_NEWNS) != 0) fail("unshare (needs root)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("private /");
    // Taken in the new namespace (a bind source must belong to it), before
    // the tmpfs mounts hide them.
    for (Kept& k : kept) {
        k.fd = ::open(k.path, O_PATH | O_CLOEXEC);
        if (k.fd == -1) fail(std::string("open ") + k.path);
    }
    for (const char* dir : {"/dev", "/sys"}) {
        if (::mount("tmpfs", dir, "tmpfs", 0, "mode=755") != 0) fail(std::string("tmpfs on ") + dir);
    }
    for (Kept& k : kept) {
        bindOnto("/proc/self/fd/" + std::to_string(k.fd), k.path, k.directory);
        ::close(k.fd);
    }
    // New pseudo-terminals come from the multiplexer inside the devpts
    // instance; the kernel finds that instance only from a path within it.
    if (::symlink("pts/ptmx", "/dev/ptmx") != 0) fail("symlink /dev/ptmx");
}

bool runInPrivateDeviceTree(const std::function<void()>& body, unsigned limitSeconds) {
    std::cout.flush();
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == -1) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return false;
    }
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
        std::cout.flush();
        std::fflush(nullptr);
        // _exit skips the sanitizer's own leak check at exit: run it here,
        // after the body's objects are gone. It ends the child on a leak.
        if (&__lsan_do_leak_check != nullptr) __lsan_do_leak_check();
        ::_exit(status);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) == -1 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        ADD_FAILURE() << "device tree child ended by signal " << WTERMSIG(status);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void addUsbSerialDevice(const std::string& name, const std::string& devicePath, const UsbDeviceInfo& info) {
    bindOnto(devicePath, "/dev/" + name, false);

    const std::string usbDir = "/sys/devices/platform/qt-hcd/usb1/1-" + name;
    const std::string interfaceDir = usbDir + "/1-" + name + ":1.0";
    const std::pair<const char*, const std::string*> files[] = {
        {"manufacturer", &info.manufacturer}, {"product", &info.product},     {"serial", &info.serial},
        {"idVendor", &info.vendorId},         {"idProduct", &info.productId},
    };
    makeDirs(interfaceDir);
    for (const auto& f : files) {
        if (!f.second->empty()) writeFile(usbDir + "/" + f.first, *f.second + "\n");
    }
    // A converter's tty hangs below its port directory inside the interface;
    // a modem-class tty's device is the interface itself.
    std::string deviceDir = interfaceDir;
    if (name.rfind("ttyUSB", 0) == 0) {
        deviceDir = interfaceDir + "/" + name;
        makeDirs(deviceDir);
    }
    makeDirs("/sys/class/tty/" + name);
    if (::symlink(deviceDir.c_str(), ("/sys/class/tty/" + name + "/device").c_str()) != 0) fail("symlink " + name);
}

}  // namespace qt_test
