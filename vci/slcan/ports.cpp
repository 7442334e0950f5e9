// The serial ports where the library looks for SLCAN adapters: every port named in the
// environment variable KORVANE_SLCAN_PORTS (device paths separated by ':' on Linux, COM port
// names separated by ';' on Windows, each with an optional "@BAUD"), in its order, then the USB
// serial ports whose USB vendor and product IDs belong to an SLCAN adapter (kSlcanUsbIds;
// docs/serial-adapters.md says where each comes from). A port is never chosen by probing, and
// finding ports opens none.
#include "vci/slcan/ports.h"

#if defined(_WIN32)
#include <windows.h>
// (needs the types of windows.h)
#include <setupapi.h>
// The COM headers define `interface` as `struct`; here it is an ordinary name.
#undef interface
#elif defined(__linux__)
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>

#include "base/parse.h"

namespace vci::slcan {

namespace {

#ifdef _WIN32
constexpr char kPortSeparator = ';';
#else
constexpr char kPortSeparator = ':';
#endif

// Serial ports get their numbers here, 1 for the first one seen, and keep them for the life of
// the process.
class PortNumbers {
  public:
    std::uint32_t NumberOf(const std::string& port) {
        std::lock_guard lock(mutex_);
        const auto it = std::find(ports_.begin(), ports_.end(), port);
        if (it != ports_.end()) {
            return static_cast<std::uint32_t>(it - ports_.begin()) + 1;
        }
        ports_.push_back(port);
        return static_cast<std::uint32_t>(ports_.size());
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> ports_;
};

PortNumbers& Numbers() {
    static PortNumbers numbers;
    return numbers;
}

const UsbId* FindUsbId(std::uint16_t vendor, std::uint16_t product) {
    for (const UsbId& id : kSlcanUsbIds) {
        if (id.vendor == vendor && id.product == product) {
            return &id;
        }
    }
    return nullptr;
}

#if defined(__linux__)

std::optional<std::uint16_t> ReadHexFile(const std::string& path) {
    std::ifstream file(path);
    unsigned value = 0;
    if (!(file >> std::hex >> value) || value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// Every tty whose USB device (the nearest folder above the tty's device in sysfs that has
// idVendor: the device itself for CDC ACM, two levels up for a USB serial converter) has an ID
// of kSlcanUsbIds, by tty name.
std::vector<SlcanPort> RecognisedUsbPorts() {
    std::vector<SlcanPort> found;
    DIR* ttys = ::opendir("/sys/class/tty");
    if (ttys == nullptr) {
        return found;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(ttys)) {
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(ttys);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        char resolved[PATH_MAX];
        const std::string device = "/sys/class/tty/" + name + "/device";
        if (::realpath(device.c_str(), resolved) == nullptr) {
            continue;  // a virtual terminal, no device
        }
        std::string folder = resolved;
        for (int up = 0; up < 4 && folder.size() > 1; ++up) {
            const auto vendor = ReadHexFile(folder + "/idVendor");
            const auto product = ReadHexFile(folder + "/idProduct");
            if (vendor && product) {
                if (const UsbId* id = FindUsbId(*vendor, *product)) {
                    SlcanPort port;
                    port.port = "/dev/" + name;
                    port.id = id;
                    found.push_back(std::move(port));
                }
                break;
            }
            folder.erase(folder.rfind('/'));
        }
    }
    return found;
}

bool Present(const std::string& port) {
    struct stat status {};
    return ::stat(port.c_str(), &status) == 0 && S_ISCHR(status.st_mode);
}

// The same port under two names (a link and its target) is listed once.
std::string CanonicalPort(const std::string& port) {
    char resolved[PATH_MAX];
    return ::realpath(port.c_str(), resolved) != nullptr ? std::string(resolved) : port;
}

#elif defined(_WIN32)

// Every COM port (device interface class GUID_DEVINTERFACE_COMPORT) whose device instance ID
// names a USB ID of kSlcanUsbIds, by its "PortName".
std::vector<SlcanPort> RecognisedUsbPorts() {
    static const GUID kComPortInterface = {
        0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
    std::vector<SlcanPort> found;
    const HDEVINFO devices = ::SetupDiGetClassDevsA(&kComPortInterface, nullptr, nullptr,
                                                    DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE) {
        return found;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        char instance[512];
        if (!::SetupDiGetDeviceInstanceIdA(devices, &device, instance, sizeof instance, nullptr)) {
            continue;
        }
        const auto vendor = base::UsbIdAfter(instance, "VID_");
        const auto product = base::UsbIdAfter(instance, "PID_");
        const UsbId* id = vendor && product ? FindUsbId(*vendor, *product) : nullptr;
        if (id == nullptr) {
            continue;
        }
        const HKEY key =
            ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        char name[64] = {};
        DWORD size = sizeof name - 1;
        DWORD type = 0;
        if (::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                               &size) == ERROR_SUCCESS &&
            type == REG_SZ) {
            SlcanPort port;
            port.port = name;
            port.id = id;
            found.push_back(std::move(port));
        }
        ::RegCloseKey(key);
    }
    ::SetupDiDestroyDeviceInfoList(devices);
    return found;
}

// Whether a named COM port is there cannot be told without opening it (its DOS device name is not
// defined everywhere: not under wine): every named one is listed, and one that is not there
// fails at its opening (kVciErrDeviceGone). Recognised ports are present by their finding.
bool Present(const std::string&) {
    return true;
}

std::string CanonicalPort(const std::string& port) {
    std::string upper = port;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper.rfind("\\\\.\\", 0) == 0 ? upper.substr(4) : upper;
}

#else

std::vector<SlcanPort> RecognisedUsbPorts() {
    return {};
}

bool Present(const std::string&) {
    return true;
}

std::string CanonicalPort(const std::string& port) {
    return port;
}

#endif

}  // namespace

std::vector<SlcanPort> SlcanPorts() {
    std::vector<SlcanPort> ports;
    std::vector<std::string> seen;
    auto add = [&](const SlcanPort& port) {
        const std::string canonical = CanonicalPort(port.port);
        if (std::find(seen.begin(), seen.end(), canonical) == seen.end()) {
            seen.push_back(canonical);
            ports.push_back(port);
        }
    };
    if (const char* named = std::getenv("KORVANE_SLCAN_PORTS")) {
        for (const std::string& text : SplitPortList(named)) {
            add(ParsePort(text));
        }
    }
    for (const SlcanPort& recognised : RecognisedUsbPorts()) {
        add(recognised);
    }
    return ports;
}

SlcanPort ParsePort(const std::string& text) {
    SlcanPort port;
    port.port = text;
    const std::size_t at = text.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == text.size() || text.size() - at > 11) {
        return port;
    }
    std::uint64_t baud = 0;
    for (std::size_t i = at + 1; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return port;  // an '@' in the path itself
        }
        baud = baud * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    port.port = text.substr(0, at);
    port.baud = static_cast<std::uint32_t>(std::min<std::uint64_t>(baud, 0xFFFFFFFF));
    port.baud_given = true;
    return port;
}

std::string PortText(const SlcanPort& port) {
    return port.baud_given ? port.port + "@" + std::to_string(port.baud) : port.port;
}

bool PortPresent(const std::string& port) {
    return Present(port);
}

std::uint32_t PortNumber(const std::string& port) {
    return Numbers().NumberOf(port);
}

std::string PortName(const std::string& port) {
    const std::size_t slash = port.find_last_of("/\\");
    std::string name = slash == std::string::npos ? port : port.substr(slash + 1);
    if (name.size() > 31) {
        name.erase(0, name.size() - 31);
    }
    return name;
}

// Adapters whose IDs are their own, not a USB-serial chip's default shared by many products.
// Where each comes from: docs/serial-adapters.md.
const std::vector<UsbId> kSlcanUsbIds = {
    {0x0403, 0xFFA8, "CANUSB"},
};

std::vector<std::string> SplitPortList(const std::string& text) {
    std::vector<std::string> ports;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find(kPortSeparator, begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string port = text.substr(begin, end - begin);
        if (!port.empty() && std::find(ports.begin(), ports.end(), port) == ports.end()) {
            ports.push_back(std::move(port));
        }
        begin = end + 1;
    }
    return ports;
}

}  // namespace vci::slcan
