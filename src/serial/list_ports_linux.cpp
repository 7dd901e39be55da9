// serial::list_ports on Linux: device files under /dev, described from sysfs.

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>
#include <string>
#include <vector>

#include "quorvel_transport/serial.hpp"

namespace serial {

namespace {

// Name prefixes under /dev, in the order in which their matches are listed.
// None is a prefix of another, so no name matches two of them.
constexpr const char* kDeviceDir = "/dev";
constexpr const char* kSearchPrefixes[] = {"ttyACM", "ttyS", "ttyUSB", "tty.", "cu.", "rfcomm"};

// The paths under /dev that the patterns /dev/<prefix>* match, in prefix
// order, each prefix's own sorted by name. A directory scan rather than
// glob(3), which is not safe to run on several threads at once.
std::vector<std::string> scanDevices() {
    std::vector<std::pair<size_t, std::string>> found;
    if (DIR* dir = ::opendir(kDeviceDir)) {
        // readdir is safe on a stream no other thread uses.
        while (const dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
            const std::string name = entry->d_name;
            for (size_t i = 0; i < std::size(kSearchPrefixes); ++i) {
                if (name.rfind(kSearchPrefixes[i], 0) == 0) found.emplace_back(i, name);
            }
        }
        ::closedir(dir);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    paths.reserve(found.size());
    for (const auto& f : found) paths.push_back(std::string(kDeviceDir) + "/" + f.second);
    return paths;
}

std::string basename(const std::string& path) {
    const size_t pos = path.rfind('/');
    if (pos == std::string::npos) return path;
    return path.substr(pos + 1);
}

std::string dirname(const std::string& path) {
    const size_t pos = path.rfind('/');
    if (pos == std::string::npos) return path;
    if (pos == 0) return "/";
    return path.substr(0, pos);
}

bool path_exists(const std::string& path) {
    struct stat sb {};
    return ::stat(path.c_str(), &sb) == 0;
}

std::string realpath(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return std::string();
    std::string result(real);
    std::free(real);
    return result;
}

std::string read_line(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    if (in) std::getline(in, line);
    return line;
}

std::string usb_sysfs_friendly_name(const std::string& sys_usb_path) {
    const std::string manufacturer = read_line(sys_usb_path + "/manufacturer");
    const std::string product = read_line(sys_usb_path + "/product");
    const std::string serial = read_line(sys_usb_path + "/serial");
    // Nothing known: the caller falls back to the device's name.
    if (manufacturer.empty() && product.empty() && serial.empty()) return std::string();
    return manufacturer + " " + product + " " + serial;
}

std::string usb_sysfs_hw_string(const std::string& sysfs_path) {
    std::string serial_number = read_line(sysfs_path + "/serial");
    if (!serial_number.empty()) serial_number = "SNR=" + serial_number;
    const std::string vid = read_line(sysfs_path + "/idVendor");
    const std::string pid = read_line(sysfs_path + "/idProduct");
    return "USB VID:PID=" + vid + ":" + pid + " " + serial_number;
}

PortInfo describe(const std::string& device_path) {
    const std::string device_name = basename(device_path);
    PortInfo port;
    port.device_path = device_path;
    const std::string sys_device_path = "/sys/class/tty/" + device_name + "/device";

    // The tty's device is a USB interface (modem class), or a converter port
    // one level below it; the USB device is one level above the interface.
    const bool converter = device_name.compare(0, 6, "ttyUSB") == 0;
    if (converter || device_name.compare(0, 6, "ttyACM") == 0) {
        std::string usb_device = dirname(realpath(sys_device_path));
        if (converter) usb_device = dirname(usb_device);
        if (path_exists(usb_device)) {
            port.description = usb_sysfs_friendly_name(usb_device);
            port.hardware_id = usb_sysfs_hw_string(usb_device);
        }
    } else {
        const std::string sys_id_path = sys_device_path + "/id";
        if (path_exists(sys_id_path)) port.hardware_id = read_line(sys_id_path);
    }

    if (port.description.empty()) port.description = device_name;
    if (port.hardware_id.empty()) port.hardware_id = "n/a";
    return port;
}

}  // namespace

std::vector<PortInfo> list_ports() {
    std::vector<PortInfo> results;
    for (const std::string& device : scanDevices()) results.push_back(describe(device));
    return results;
}

}  // namespace serial
