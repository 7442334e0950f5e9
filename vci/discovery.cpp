#include "vci/discovery.h"
#include "vci/notice.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "vci/vci_diagnostics.h"

namespace vci {

namespace {

using Clock = std::chrono::steady_clock;

// The environment that shapes a scan: a scan is reused only while it stays the same.
std::string ScanSettings() {
    std::string settings;
    for (const char* name : {"KORVANE_SLCAN_PORTS", "KORVANE_DEVICE"}) {
        const char* value = std::getenv(name);
        settings += value != nullptr ? std::string("=") + value : std::string("-");
        settings += '\0';
    }
    return settings;
}

// The last scan, shared by every enumeration and open of this process.
class Scan {
  public:
    std::vector<DeviceEntry> Devices() {
        std::lock_guard lock(mutex_);
        std::string settings = ScanSettings();
        if (!made_ || settings != settings_ ||
            Clock::now() - made_at_ > std::chrono::milliseconds(kScanReuseMs)) {
            devices_.clear();
            for (Backend* backend : Backends()) {
                backend->Discover(devices_);
            }
            DropReplaced(devices_);
            devices_ = ChooseDevice(std::move(devices_), std::getenv("KORVANE_DEVICE"));
            made_ = true;
            settings_ = std::move(settings);
            // From the end of the scan: a slow scan is not out of date as soon as it is made.
            made_at_ = Clock::now();
        }
        return devices_;
    }

    void Forget() {
        std::lock_guard lock(mutex_);
        made_ = false;
    }

  private:
    std::mutex mutex_;
    std::vector<DeviceEntry> devices_;
    bool made_ = false;
    std::string settings_;
    Clock::time_point made_at_{};
};

Scan& TheScan() {
    static Scan scan;
    return scan;
}

void CopyText(char* to, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(size - 1, text.size());
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

}  // namespace

std::vector<DeviceEntry> Devices() {
    return TheScan().Devices();
}

std::optional<DeviceEntry> FindDevice(std::uint32_t kind, std::uint32_t number) {
    for (const DeviceEntry& entry : Devices()) {
        if (entry.kind == kind && entry.number == number) {
            return entry;
        }
    }
    return std::nullopt;
}

Backend* BackendOf(std::uint32_t kind) {
    for (Backend* backend : Backends()) {
        if (backend->kind() == kind) {
            return backend;
        }
    }
    return nullptr;
}

void ForgetDevices() {
    TheScan().Forget();
}

std::vector<DeviceEntry> ChooseDevice(std::vector<DeviceEntry> devices, const char* wanted) {
    if (wanted == nullptr) {
        return devices;
    }
    for (const DeviceEntry& entry : devices) {
        if (entry.name == wanted || (!entry.serial.empty() && entry.serial == wanted)) {
            return {entry};
        }
    }
    Notice(nullptr, "KORVANE_DEVICE=%s matches no CAN device; there are:%s", wanted,
           devices.empty() ? " none" : "");
    for (const DeviceEntry& entry : devices) {
        Notice(nullptr, "  %-8s %s", entry.name.c_str(), entry.description.c_str());
    }
    return {};
}

void DropReplaced(std::vector<DeviceEntry>& devices) {
    std::vector<std::string> replaced;
    for (const DeviceEntry& entry : devices) {
        if (!entry.replaces.empty()) {
            replaced.push_back(entry.replaces);
        }
    }
    std::erase_if(devices, [&](const DeviceEntry& entry) {
        return entry.replaces.empty() &&
               std::find(replaced.begin(), replaced.end(), entry.name) != replaced.end();
    });
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
        BackendOf(id.bytes[2]) == nullptr) {
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

}  // namespace vci
