#include "vci/devices.h"

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
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "vci/socketcan/socketcan.h"
#include "vci/transport.h"
#include "vci/vci_diagnostics.h"
#include "virtual_bus/bus_client.h"
#include "virtual_bus/frame.h"

namespace vci {

namespace {

DeviceEntry VirtualBusEntry(std::uint16_t port) {
    DeviceEntry entry;
    entry.kind = kVciDeviceVirtualBus;
    entry.number = port;
    entry.name = vbus::DefaultBusName(port);
    entry.description =
        "virtual CAN bus " + entry.name + " at 1000 kbit/s on 127.0.0.1:" + std::to_string(port);
    return entry;
}

DeviceEntry SocketCanEntry(const socketcan::InterfaceInfo& interface) {
    DeviceEntry entry;
    entry.kind = kVciDeviceSocketCan;
    entry.number = static_cast<std::uint32_t>(interface.index);
    entry.name = interface.name;
    entry.description = "SocketCAN interface " + interface.name + " (index " +
                        std::to_string(interface.index) + ")";
    return entry;
}

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
    std::optional<std::string> PortOf(std::uint32_t number) {
        std::lock_guard lock(mutex_);
        if (number == 0 || number > ports_.size()) {
            return std::nullopt;
        }
        return ports_[number - 1];
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> ports_;
};

PortNumbers& Ports() {
    static PortNumbers numbers;
    return numbers;
}

// A recognised USB serial port: its path (or COM name) and what it is.
struct UsbPort {
    std::string port;
    const UsbId* id;
};

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
std::vector<UsbPort> RecognisedUsbPorts() {
    std::vector<UsbPort> found;
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
                    found.push_back({"/dev/" + name, id});
                }
                break;
            }
            folder.erase(folder.rfind('/'));
        }
    }
    return found;
}

// The same port under two names (a link and its target) is listed once.
std::string CanonicalPort(const std::string& port) {
    char resolved[PATH_MAX];
    return ::realpath(port.c_str(), resolved) != nullptr ? std::string(resolved) : port;
}

#elif defined(_WIN32)

// 4 hexadecimal digits after `key` ("VID_", "PID_") in a device instance ID such as
// "USB\VID_0403&PID_FFA8\..." or "FTDIBUS\VID_0403+PID_FFA8+...\0000".
std::optional<std::uint16_t> IdAfter(const std::string& text, const char* key) {
    const std::size_t at = text.find(key);
    if (at == std::string::npos || at + 8 > text.size()) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (std::size_t i = at + 4; i < at + 8; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<std::uint16_t>(value);
}

// Every COM port (device interface class GUID_DEVINTERFACE_COMPORT) whose device instance ID
// names a USB ID of kSlcanUsbIds, by its "PortName".
std::vector<UsbPort> RecognisedUsbPorts() {
    static const GUID kComPortInterface = {
        0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
    std::vector<UsbPort> found;
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
        const auto vendor = IdAfter(instance, "VID_");
        const auto product = IdAfter(instance, "PID_");
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
            found.push_back({name, id});
        }
        ::RegCloseKey(key);
    }
    ::SetupDiDestroyDeviceInfoList(devices);
    return found;
}

std::string CanonicalPort(const std::string& port) {
    std::string upper = port;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper.rfind("\\\\.\\", 0) == 0 ? upper.substr(4) : upper;
}

#else

std::vector<UsbPort> RecognisedUsbPorts() {
    return {};
}

std::string CanonicalPort(const std::string& port) {
    return port;
}

#endif

// The SLCAN ports to list, named ones first: (port, what recognised it; null when named).
std::vector<UsbPort> SlcanPorts() {
    std::vector<UsbPort> ports;
    std::vector<std::string> seen;
    auto add = [&](const std::string& port, const UsbId* id) {
        const std::string canonical = CanonicalPort(port);
        if (std::find(seen.begin(), seen.end(), canonical) == seen.end()) {
            seen.push_back(canonical);
            ports.push_back({port, id});
        }
    };
    if (const char* named = std::getenv("KORVANE_SLCAN_PORTS")) {
        for (const std::string& port : SplitPortList(named)) {
            add(port, nullptr);
        }
    }
    for (const UsbPort& recognised : RecognisedUsbPorts()) {
        add(recognised.port, recognised.id);
    }
    return ports;
}

// The device's short name: the last part of the path ("/dev/ttyACM0" -> "ttyACM0"), or the
// COM name itself.
std::string PortName(const std::string& port) {
    const std::size_t slash = port.find_last_of("/\\");
    std::string name = slash == std::string::npos ? port : port.substr(slash + 1);
    if (name.size() > 31) {
        name.erase(0, name.size() - 31);
    }
    return name;
}

DeviceEntry SlcanEntry(const UsbPort& found, const std::string& version,
                       const std::string& serial) {
    DeviceEntry entry;
    entry.kind = kVciDeviceSlcan;
    entry.number = Ports().NumberOf(found.port);
    entry.name = PortName(found.port);
    entry.port = found.port;
    entry.description = "SLCAN adapter on " + found.port;
    if (found.id != nullptr) {
        entry.description += " (" + std::string(found.id->product_name) + ")";
    }
    if (!version.empty()) {
        entry.description += ", version " + version;
    }
    if (!serial.empty()) {
        entry.description += ", serial " + serial;
    }
    return entry;
}

void CopyText(char* to, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(size - 1, text.size());
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

}  // namespace

// Ports recognised by USB ID: adapters whose IDs are their own, not a USB-serial chip's
// default shared by many products. Where each comes from: docs/serial-adapters.md.
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

VciDeviceId EncodeDeviceId(std::uint32_t kind, std::uint32_t number) {
    VciDeviceId id{};
    id.bytes[0] = 'K';
    id.bytes[1] = 'V';
    id.bytes[2] = static_cast<std::uint8_t>(kind);
    for (int i = 0; i < 4; ++i) {
        id.bytes[4 + i] = static_cast<std::uint8_t>(number >> (8 * i));
    }
    return id;
}

bool DecodeDeviceId(const VciDeviceId& id, std::uint32_t* kind, std::uint32_t* number) {
    if (id.bytes[0] != 'K' || id.bytes[1] != 'V' || id.bytes[3] != 0 ||
        (id.bytes[2] != kVciDeviceVirtualBus && id.bytes[2] != kVciDeviceSocketCan &&
         id.bytes[2] != kVciDeviceSlcan)) {
        return false;
    }
    *kind = id.bytes[2];
    *number = 0;
    for (int i = 0; i < 4; ++i) {
        *number |= std::uint32_t{id.bytes[4 + i]} << (8 * i);
    }
    return true;
}

VciDeviceInfo ToDeviceInfo(const DeviceEntry& entry) {
    VciDeviceInfo info{};
    info.id = EncodeDeviceId(entry.kind, entry.number);
    CopyText(info.name, sizeof info.name, entry.name);
    CopyText(info.description, sizeof info.description, entry.description);
    info.kind = entry.kind;
    info.reserved = 0;
    return info;
}

std::vector<DeviceEntry> ScanDevices() {
    std::vector<DeviceEntry> devices;
    for (int k = 0; k < vbus::kPortCount; ++k) {
        const auto port = static_cast<std::uint16_t>(vbus::kFirstPort + k);
        if (vbus::ProbeHost(port, kProbeTimeoutMs)) {
            devices.push_back(VirtualBusEntry(port));
        }
    }
    for (const socketcan::InterfaceInfo& interface : socketcan::ListCanInterfaces()) {
        devices.push_back(SocketCanEntry(interface));
    }
    for (const UsbPort& port : SlcanPorts()) {
        std::string version, serial;
        if (QuerySlcanAdapter(port.port, /*ask=*/true, &version, &serial)) {
            devices.push_back(SlcanEntry(port, version, serial));
        }
    }
    return devices;
}

std::optional<DeviceEntry> FindDevice(std::uint32_t kind, std::uint32_t number) {
    if (kind == kVciDeviceVirtualBus) {
        const bool in_range = number >= vbus::kFirstPort &&
                              number < std::uint32_t{vbus::kFirstPort} + vbus::kPortCount;
        if (in_range && vbus::ProbeHost(static_cast<std::uint16_t>(number), kProbeTimeoutMs)) {
            return VirtualBusEntry(static_cast<std::uint16_t>(number));
        }
        return std::nullopt;
    }
    if (kind == kVciDeviceSlcan) {
        const std::optional<std::string> port = Ports().PortOf(number);
        if (!port) {
            return std::nullopt;
        }
        for (const UsbPort& listed : SlcanPorts()) {
            std::string version, serial;
            if (listed.port == *port &&
                QuerySlcanAdapter(listed.port, /*ask=*/false, &version, &serial)) {
                return SlcanEntry(listed, version, serial);
            }
        }
        return std::nullopt;
    }
    for (const socketcan::InterfaceInfo& interface : socketcan::ListCanInterfaces()) {
        if (static_cast<std::uint32_t>(interface.index) == number) {
            return SocketCanEntry(interface);
        }
    }
    return std::nullopt;
}

}  // namespace vci
