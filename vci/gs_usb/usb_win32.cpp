// gs_usb adapters on Windows through WinUSB. candleLight's firmware has Windows bind WinUSB to
// its interface 0 by itself (MS OS descriptors) and register the interface under its own GUID;
// an adapter bound to WinUSB by hand is found under GUID_DEVINTERFACE_USB_DEVICE. SetupAPI lists
// both, the VID and PID in the interface path pick the known adapters (known_ids.h), and the
// path is the adapter's port: what CreateFile opens. Control transfers and bulk OUT are
// synchronous WinUSB calls; bulk IN keeps kInTransfers overlapped reads queued, as on Linux.
//
// winusb.dll and setupapi.dll are loaded when first needed, not imported: the library starts on
// a Windows without WinUSB (and finds no adapters there), and the tests put stand-ins of both
// beside the program.
#include <windows.h>
// After windows.h:
#include <setupapi.h>
#include <winusb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>

#include "base/parse.h"
#include "base/shared_library.h"
#include "base/system_error.h"
#include "vci/gs_usb/usb.h"
#include "vci/notice.h"

namespace vci::gs_usb {

namespace {

constexpr DWORD kCancelWaitMs = 1000;

// candleLight's DeviceInterfaceGUID {c15b4308-04d3-11e6-b3ea-6057189e6443}, and
// GUID_DEVINTERFACE_USB_DEVICE {A5DCBF10-6530-11D2-901F-00C04FB951ED}.
constexpr GUID kCandleLightInterface = {
    0xc15b4308, 0x04d3, 0x11e6, {0xb3, 0xea, 0x60, 0x57, 0x18, 0x9e, 0x64, 0x43}};
constexpr GUID kUsbDeviceInterface = {
    0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

// The functions of both DLLs that this file calls, looked up once.
struct Api {
    decltype(&::SetupDiGetClassDevsW) get_class_devs = nullptr;
    decltype(&::SetupDiEnumDeviceInterfaces) enum_interfaces = nullptr;
    decltype(&::SetupDiGetDeviceInterfaceDetailW) interface_detail = nullptr;
    decltype(&::SetupDiDestroyDeviceInfoList) destroy_list = nullptr;
    decltype(&::WinUsb_Initialize) initialize = nullptr;
    decltype(&::WinUsb_Free) free = nullptr;
    decltype(&::WinUsb_GetDescriptor) get_descriptor = nullptr;
    decltype(&::WinUsb_SetPipePolicy) set_pipe_policy = nullptr;
    decltype(&::WinUsb_ControlTransfer) control_transfer = nullptr;
    decltype(&::WinUsb_WritePipe) write_pipe = nullptr;
    decltype(&::WinUsb_ReadPipe) read_pipe = nullptr;
    decltype(&::WinUsb_AbortPipe) abort_pipe = nullptr;
    std::string missing;  // why the layer cannot work; empty when every function is there
};

const Api& TheApi() {
    static const Api api = [] {
        Api loaded;
        base::SharedLibrary setupapi("setupapi.dll");
        base::SharedLibrary winusb("winusb.dll");
        setupapi.Find("SetupDiGetClassDevsW", &loaded.get_class_devs);
        setupapi.Find("SetupDiEnumDeviceInterfaces", &loaded.enum_interfaces);
        setupapi.Find("SetupDiGetDeviceInterfaceDetailW", &loaded.interface_detail);
        setupapi.Find("SetupDiDestroyDeviceInfoList", &loaded.destroy_list);
        winusb.Find("WinUsb_Initialize", &loaded.initialize);
        winusb.Find("WinUsb_Free", &loaded.free);
        winusb.Find("WinUsb_GetDescriptor", &loaded.get_descriptor);
        winusb.Find("WinUsb_SetPipePolicy", &loaded.set_pipe_policy);
        winusb.Find("WinUsb_ControlTransfer", &loaded.control_transfer);
        winusb.Find("WinUsb_WritePipe", &loaded.write_pipe);
        winusb.Find("WinUsb_ReadPipe", &loaded.read_pipe);
        winusb.Find("WinUsb_AbortPipe", &loaded.abort_pipe);
        loaded.missing = !setupapi.missing().empty() ? setupapi.missing() : winusb.missing();
        return loaded;
    }();
    return api;
}

std::string Narrow(const std::wstring& text) {
    std::string out(
        static_cast<std::size_t>(::WideCharToMultiByte(
            CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr)),
        '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                          static_cast<int>(out.size()), nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text) {
    std::wstring out(static_cast<std::size_t>(::MultiByteToWideChar(
                         CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0)),
                     L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                          static_cast<int>(out.size()));
    return out;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string SystemMessage(DWORD error) {
    return base::ErrorText(static_cast<int>(error));
}

bool IsGone(DWORD error) {
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_GEN_FAILURE ||
           error == ERROR_BAD_COMMAND || error == ERROR_FILE_NOT_FOUND;
}

// What an interface path (\\?\usb#vid_1d50&pid_606f#SERIAL#{guid}) says: the IDs, and the
// serial number when Windows made the instance from it (a made-up instance has '&' in it).
struct PathIds {
    std::uint16_t vendor = 0, product = 0;
    std::string serial;
};

// The instance part of an interface path, which Windows keeps unique: SERIAL, or a made-up
// "5&1a2b3c4d&0&1" for a device without a serial number (or one whose serial is not unique).
std::string InstancePart(const std::string& path) {
    const std::size_t first = path.find('#');
    const std::size_t second = first == std::string::npos ? first : path.find('#', first + 1);
    const std::size_t third = second == std::string::npos ? second : path.find('#', second + 1);
    return third == std::string::npos ? path : path.substr(second + 1, third - second - 1);
}

bool ParsePath(const std::string& path, PathIds* ids) {
    const std::string lower = Lower(path);
    const auto vendor = base::UsbIdAfter(lower, "vid_");
    const auto product = base::UsbIdAfter(lower, "pid_");
    if (!vendor || !product) {
        return false;
    }
    ids->vendor = *vendor;
    ids->product = *product;
    const std::string instance = InstancePart(path);
    ids->serial = instance == path || instance.find('&') != std::string::npos ? "" : instance;
    return true;
}

// The interface paths of the devices present under `guid`.
std::vector<std::string> InterfacePaths(const Api& api, const GUID& guid) {
    std::vector<std::string> paths;
    const HDEVINFO set =
        api.get_class_devs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return paths;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; api.enum_interfaces(set, nullptr, &guid, index, &data); ++index) {
        DWORD size = 0;
        api.interface_detail(set, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            continue;
        }
        std::vector<std::uint64_t> storage(size / sizeof(std::uint64_t) + 1);  // aligned
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (api.interface_detail(set, &data, detail, size, nullptr, nullptr)) {
            paths.push_back(Narrow(detail->DevicePath));
        }
    }
    api.destroy_list(set);
    return paths;
}

// An opened device handle with WinUSB on it.
struct Opened {
    HANDLE file = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    DWORD error = 0;  // why it did not open

    Opened(const Api& api, const std::string& path) : api_(api) {
        file = ::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            error = ::GetLastError();
        } else if (!api_.initialize(file, &usb)) {
            error = ::GetLastError();
            usb = nullptr;
        }
    }
    ~Opened() {
        if (usb != nullptr) {
            api_.free(usb);
        }
        if (file != INVALID_HANDLE_VALUE) {
            ::CloseHandle(file);
        }
    }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
    bool ok() const { return usb != nullptr; }

  private:
    const Api& api_;
};

std::string StringDescriptor(const Api& api, WINUSB_INTERFACE_HANDLE usb, UCHAR index,
                             USHORT language) {
    std::array<UCHAR, 255> buffer{};
    ULONG got = 0;
    if (index == 0 ||
        !api.get_descriptor(usb, USB_STRING_DESCRIPTOR_TYPE, index, language, buffer.data(),
                            static_cast<ULONG>(buffer.size()), &got) ||
        got < 2) {
        return "";
    }
    std::string text;
    for (ULONG i = 2; i + 1 < std::min<ULONG>(got, buffer[0]); i += 2) {
        const unsigned unit = buffer[i] | unsigned{buffer[i + 1]} << 8;
        text += unit >= 0x20 && unit < 0x7f ? static_cast<char>(unit) : '?';
    }
    return text;
}

// The product and serial strings from the device descriptor's string indices.
void ReadStrings(const Api& api, WINUSB_INTERFACE_HANDLE usb, FoundAdapter* found) {
    std::array<UCHAR, 18> device{};
    ULONG got = 0;
    if (!api.get_descriptor(usb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device.data(),
                            static_cast<ULONG>(device.size()), &got) ||
        got < device.size()) {
        return;
    }
    std::array<UCHAR, 4> languages{};
    USHORT language = 0x0409;
    if (api.get_descriptor(usb, USB_STRING_DESCRIPTOR_TYPE, 0, 0, languages.data(),
                           static_cast<ULONG>(languages.size()), &got) &&
        got >= 4) {
        language = static_cast<USHORT>(languages[2] | languages[3] << 8);
    }
    found->product = StringDescriptor(api, usb, device[15], language);
    if (std::string serial = StringDescriptor(api, usb, device[16], language); !serial.empty()) {
        found->serial = std::move(serial);
    }
}

std::uint32_t PathNumber(const std::string& path) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (const char c : Lower(path)) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    return hash;
}

class WinUsbDevice final : public UsbDevice {
  public:
    explicit WinUsbDevice(const Api& api) : api_(api) {
        for (auto& read : reads_) {
            read = std::make_unique<Read>();
        }
    }

    ~WinUsbDevice() override {
        if (opened_ && opened_->ok()) {
            api_.abort_pipe(opened_->usb, kEndpointIn);
            for (const auto& read : reads_) {
                if (read->queued) {
                    ::CancelIoEx(opened_->file, &read->overlapped);
                }
            }
            // A buffer goes once its read has ended; one whose read does not end is kept for the
            // rest of the process (with its event) rather than be written after it has gone.
            for (auto& read : reads_) {
                if (read->queued && ::WaitForSingleObject(read->overlapped.hEvent, kCancelWaitMs) !=
                                        WAIT_OBJECT_0) {
                    read.release();
                }
            }
        }
        opened_.reset();
        for (const auto& read : reads_) {
            if (read && read->overlapped.hEvent != nullptr) {
                ::CloseHandle(read->overlapped.hEvent);
            }
        }
    }

    VciResult Open(const std::string& port, std::string* error) {
        opened_ = std::make_unique<Opened>(api_, port);
        if (!opened_->ok()) {
            const DWORD code = opened_->error;
            *error = "opening the adapter at " + port + ": " + SystemMessage(code);
            if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
                *error += " (another program has it open)";
            }
            return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
                           code == ERROR_DEVICE_NOT_CONNECTED
                       ? kVciErrDeviceGone
                       : kVciErrIo;
        }
        for (const auto& read : reads_) {
            read->overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (read->overlapped.hEvent == nullptr || !Submit(*read)) {
                *error = last_error_;
                return submit_error_ != 0 && IsGone(submit_error_) ? kVciErrDeviceGone : kVciErrIo;
            }
        }
        return kVciOk;
    }

    Status Control(const ControlTransfer& transfer, std::uint8_t* in, std::size_t* got,
                   int timeout_ms) override {
        if (!SetTimeout(0, &control_timeout_ms_, timeout_ms)) {
            return Failed("setting the control time-out", ::GetLastError());
        }
        auto data = transfer.data;  // an IN request's answer comes back in it
        WINUSB_SETUP_PACKET setup{};
        setup.RequestType = transfer.request_type;
        setup.Request = transfer.request;
        setup.Value = transfer.value;
        setup.Index = transfer.index;
        setup.Length = transfer.length;
        ULONG moved = 0;
        if (!api_.control_transfer(opened_->usb, setup, data.data(), transfer.length, &moved,
                                   nullptr)) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_GEN_FAILURE) {  // on the control pipe: the adapter stalled it
                last_error_ = "the adapter refused request " + std::to_string(transfer.request) +
                              " (" + SystemMessage(code) + ")";
                return Status::kFailed;
            }
            return Failed("control request", code);
        }
        if (transfer.in()) {
            *got = std::min<std::size_t>(moved, transfer.length);
            std::memcpy(in, data.data(), *got);
        }
        return Status::kOk;
    }

    Status BulkOut(const std::uint8_t* data, std::size_t size, int timeout_ms) override {
        if (!SetTimeout(kEndpointOut, &out_timeout_ms_, timeout_ms)) {
            return Failed("setting the send time-out", ::GetLastError());
        }
        std::array<UCHAR, kFrameSize> copy{};
        const std::size_t length = std::min(size, copy.size());
        std::memcpy(copy.data(), data, length);
        ULONG moved = 0;
        if (!api_.write_pipe(opened_->usb, kEndpointOut, copy.data(), static_cast<ULONG>(length),
                             &moved, nullptr)) {
            return Failed("sending a frame", ::GetLastError());
        }
        return Status::kOk;
    }

    Status BulkIn(std::uint8_t* buffer, std::size_t capacity, std::size_t* got,
                  std::int64_t timeout_us) override {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline =
            Clock::now() + std::chrono::microseconds(std::max<std::int64_t>(0, timeout_us));
        for (;;) {
            // The reads of one pipe end in the order they were queued: the oldest first.
            Read& read = *reads_[next_];
            if (read.queued && HasOverlappedIoCompleted(&read.overlapped)) {
                read.queued = false;
                next_ = (next_ + 1) % reads_.size();
                DWORD moved = 0;
                const bool ok =
                    ::GetOverlappedResult(opened_->file, &read.overlapped, &moved, FALSE) != 0;
                const DWORD code = ok ? 0 : ::GetLastError();
                if (ok) {
                    *got = std::min<std::size_t>(moved, capacity);
                    std::memcpy(buffer, read.buffer.data(), *got);
                }
                if (!ok && IsGone(code)) {
                    return Failed("receiving", code);
                }
                if (!Submit(read)) {
                    return Failed("receiving", submit_error_);
                }
                if (ok) {
                    failures_ = 0;
                    return Status::kOk;
                }
                if (++failures_ >= kMaxFailedTransfers) {
                    return Failed("receiving", code);
                }
                continue;
            }
            if (!read.queued) {
                last_error_ = "no receive transfer queued";
                return Status::kFailed;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) {
                return Status::kTimeout;
            }
            const DWORD wait = ::WaitForSingleObject(read.overlapped.hEvent,
                                                     static_cast<DWORD>((left + 999) / 1000));
            if (wait == WAIT_FAILED) {
                return Failed("waiting for frames", ::GetLastError());
            }
        }
    }

  private:
    struct Read {
        OVERLAPPED overlapped{};
        std::array<UCHAR, kInTransferSize> buffer{};
        bool queued = false;
    };

    bool Submit(Read& read) {
        HANDLE event = read.overlapped.hEvent;
        read.overlapped = OVERLAPPED{};
        read.overlapped.hEvent = event;
        ::ResetEvent(event);
        if (!api_.read_pipe(opened_->usb, kEndpointIn, read.buffer.data(),
                            static_cast<ULONG>(read.buffer.size()), nullptr, &read.overlapped) &&
            ::GetLastError() != ERROR_IO_PENDING) {
            submit_error_ = ::GetLastError();
            last_error_ = "queueing a receive transfer: " + SystemMessage(submit_error_);
            return false;
        }
        read.queued = true;
        return true;
    }

    // The pipe's transfer time-out, set when it changes.
    bool SetTimeout(UCHAR pipe, int* current, int timeout_ms) {
        if (*current == timeout_ms) {
            return true;
        }
        ULONG value = static_cast<ULONG>(std::max(timeout_ms, 1));
        if (!api_.set_pipe_policy(opened_->usb, pipe, PIPE_TRANSFER_TIMEOUT, sizeof value,
                                  &value)) {
            return false;
        }
        *current = timeout_ms;
        return true;
    }

    Status Failed(const char* what, DWORD code) {
        if (IsGone(code)) {
            last_error_ = SystemMessage(code);
            return Status::kGone;
        }
        if (code == ERROR_SEM_TIMEOUT || code == WAIT_TIMEOUT) {
            last_error_ = SystemMessage(code);
            return Status::kTimeout;
        }
        last_error_ = std::string(what) + ": " + SystemMessage(code);
        return Status::kFailed;
    }

    const Api& api_;
    std::unique_ptr<Opened> opened_;
    std::array<std::unique_ptr<Read>, kInTransfers> reads_;
    std::size_t next_ = 0;
    int control_timeout_ms_ = -1;
    int out_timeout_ms_ = -1;
    int failures_ = 0;
    DWORD submit_error_ = 0;
};

// The strings of the adapters opened once in this process, by port: an adapter that a session
// holds does not open for the next scan, and keeps its name and serial all the same.
std::mutex strings_mutex;
std::map<std::string, std::pair<std::string, std::string>>& KnownStrings() {
    static std::map<std::string, std::pair<std::string, std::string>> strings;
    return strings;
}

// Says once, when a gs_usb device is asked for, why this system has none.
void SayMissing(const std::string& why) {
    static std::once_flag said;
    const char* wanted = std::getenv("KORVANE_DEVICE");
    if (wanted != nullptr && std::strncmp(wanted, "gsusb-", 6) == 0) {
        std::call_once(
            said, [&] { Notice(nullptr, "no gs_usb adapters on this system: %s", why.c_str()); });
    }
}

}  // namespace

std::vector<FoundAdapter> FindAdapters(const std::string& /*root*/) {
    std::vector<FoundAdapter> adapters;
    const Api& api = TheApi();
    if (!api.missing.empty()) {
        SayMissing(api.missing);
        return adapters;
    }
    // The adapters by their interface paths: candleLight's GUID first, then the generic one,
    // where one adapter seen under both GUIDs by different paths is kept once. Two adapters
    // under one GUID are two, even with one serial number.
    struct Candidate {
        std::string path;
        PathIds ids;
        const KnownId* id = nullptr;
        bool own_guid = false;
    };
    std::vector<Candidate> candidates;
    std::vector<std::string> seen;
    for (const GUID* guid : {&kCandleLightInterface, &kUsbDeviceInterface}) {
        const bool own_guid = guid == &kCandleLightInterface;
        for (const std::string& path : InterfacePaths(api, *guid)) {
            Candidate c{path, {}, nullptr, own_guid};
            const std::string key = Lower(path);
            if (std::find(seen.begin(), seen.end(), key) != seen.end() ||
                !ParsePath(path, &c.ids)) {
                continue;
            }
            seen.push_back(key);
            c.id = FindKnownId(c.ids.vendor, c.ids.product);
            const bool twice =
                !own_guid && std::any_of(candidates.begin(), candidates.end(), [&](const auto& o) {
                    return o.own_guid && !c.ids.serial.empty() && o.id == c.id &&
                           o.ids.serial == c.ids.serial;
                });
            if (c.id != nullptr && !twice) {
                candidates.push_back(std::move(c));
            }
        }
    }
    // A WinUSB device opens once at a time: a loader that was given its device (as the station
    // gives each loader one) opens no other adapter to read its strings, so that loaders started
    // together do not find one another's adapters held. Names come from the paths alone.
    const char* wanted_env = std::getenv("KORVANE_DEVICE");
    const std::string wanted = wanted_env != nullptr ? wanted_env : "";
    for (const Candidate& c : candidates) {
        FoundAdapter found;
        found.id = c.id;
        found.port = c.path;
        found.serial = c.ids.serial;
        const bool shared = std::count_if(candidates.begin(), candidates.end(), [&](const auto& o) {
                                return o.ids.serial == c.ids.serial;
                            }) > 1;
        found.name = c.ids.serial.empty() || shared ? InstancePart(c.path) : c.ids.serial;
        const bool look = wanted.empty() || wanted == "gsusb-" + found.name ||
                          (!c.ids.serial.empty() && wanted == c.ids.serial);
        std::optional<Opened> opened;
        if (look) {
            opened.emplace(api, c.path);
        }
        found.accessible = !opened || opened->ok();
        std::lock_guard lock(strings_mutex);
        auto& known = KnownStrings();
        const std::string key = Lower(c.path);
        if (opened && opened->ok()) {
            ReadStrings(api, opened->usb, &found);
            known[key] = {found.product, found.serial};
        } else if (auto strings = known.find(key); strings != known.end()) {
            std::tie(found.product, found.serial) = strings->second;
        } else if (!c.own_guid) {
            // Under the generic GUID WinUSB may not be this device's driver at all (a composite
            // device's parent, another driver): only what opens is ours.
            continue;
        }
        adapters.push_back(std::move(found));
    }
    std::sort(adapters.begin(), adapters.end(),
              [](const FoundAdapter& a, const FoundAdapter& b) { return a.port < b.port; });
    for (auto found = adapters.begin(); found != adapters.end(); ++found) {
        found->number = PathNumber(found->port);
        while (std::any_of(adapters.begin(), found, [&](const FoundAdapter& earlier) {
            return earlier.number == found->number;
        })) {
            ++found->number;
        }
    }
    return adapters;
}

std::unique_ptr<UsbDevice> OpenAdapter(const std::string& port, VciResult* code,
                                       std::string* error) {
    const Api& api = TheApi();
    if (!api.missing.empty()) {
        *code = kVciErrIo;
        *error = "gs_usb adapters cannot be used on this system: " + api.missing;
        return nullptr;
    }
    auto device = std::make_unique<WinUsbDevice>(api);
    *code = device->Open(port, error);
    if (*code != kVciOk) {
        return nullptr;
    }
    return device;
}

}  // namespace vci::gs_usb
