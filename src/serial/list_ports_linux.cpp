// serial::list_ports on Linux: device files under /dev, described from sysfs.

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
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

__attribute__((format(printf, 1, 2))) std::string format(const char* format, ...) {
    char small[256];
    va_list args;
    va_start(args, format);
    const int needed = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (needed < 0) return std::string();
    if (static_cast<size_t>(needed) < sizeof small) return std::string(small, static_cast<size_t>(needed));

    std::vector<char> large(static_cast<size_t>(needed) + 1);
    va_start(args, format);
    const int written = std::vsnprintf(large.data(), large.size(), format, args);
    va_end(args);
    if (written < 0 || static_cast<size_t>(written) >= large.size()) return std::string();
    return std::string(large.data(), static_cast<size_t>(written));
}

std::string usb_sysfs_friendly_name(const std::string& sys_usb_path) {
    const std::string manufacturer = read_line(sys_usb_path + "/manufacturer");
    const std::string product = read_line(sys_usb_path + "/product");
    const std::string serial = read_line(sys_usb_path + "/serial");
    // Nothing known: the caller falls back to the device's name.
    if (manufacturer.empty() && product.empty() && serial.empty()) return std::string();
    return format("%s %s %s", manufacturer.c_str(), product.c_str(), serial.c_str());
}

std::string usb_sysfs_hw_string(const std::string& sysfs_path) {
    std::string serial_number = read_line(sysfs_path + "/serial");
    if (!serial_number.empty()) serial_number = format("SNR=%s", serial_number.c_str());
    const std::string vid = read_line(sysfs_path + "/idVendor");
    const std::string pid = read_line(sysfs_path + "/idProduct");
    return format("USB VID:PID=%s:%s %s", vid.c_str(), pid.c_str(), serial_number.c_str());
}

// Description, then hardware id.
std::vector<std::string> get_sysfs_info(const std::string& device_path) {
    const std::string device_name = basename(device_path);
    std::string friendly_name;
    std::string hardware_id;
    std::string sys_device_path = format("/sys/class/tty/%s/device", device_name.c_str());

    if (device_name.compare(0, 6, "ttyUSB") == 0) {
        // The tty's device is the converter's interface; the USB device is two up.
        sys_device_path = dirname(dirname(realpath(sys_device_path)));
        if (path_exists(sys_device_path)) {
            friendly_name = usb_sysfs_friendly_name(sys_device_path);
            hardware_id = usb_sysfs_hw_string(sys_device_path);
        }
    } else if (device_name.compare(0, 6, "ttyACM") == 0) {
        // A modem-class tty's device is the interface; the USB device is one up.
        sys_device_path = dirname(realpath(sys_device_path));
        if (path_exists(sys_device_path)) {
            friendly_name = usb_sysfs_friendly_name(sys_device_path);
            hardware_id = usb_sysfs_hw_string(sys_device_path);
        }
    } else {
        const std::string sys_id_path = sys_device_path + "/id";
        if (path_exists(sys_id_path)) hardware_id = read_line(sys_id_path);
    }

    if (friendly_name.empty()) friendly_name = device_name;
    if (hardware_id.empty()) hardware_id = "n/a";
    return {friendly_name, hardware_id};
}

}  // namespace

std::vector<PortInfo> list_ports() {
    std::vector<PortInfo> results;
    for (const std::string& device : scanDevices()) {
        const std::vector<std::string> info = get_sysfs_info(device);
        PortInfo port;
        port.device_path = device;
        port.description = info[0];
        port.hardware_id = info[1];
        results.push_back(std::move(port));
    }
    return results;
}

}  // namespace serial
