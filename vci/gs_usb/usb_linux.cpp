// gs_usb adapters on Linux through usbdevfs, with no library between: sysfs
// (/sys/bus/usb/devices) names the adapters, their strings and the driver of their interface 0;
// /dev/bus/usb/BBB/DDD is opened and interface 0 claimed. Control transfers and bulk OUT are
// synchronous ioctls; bulk IN keeps kInTransfers transfers queued (SUBMITURB) and reaps them as
// they complete, so that the adapter's frames do not wait for the host's next read.
//
// An adapter whose interface 0 the kernel's gs_usb driver holds is the driver's SocketCAN
// interface. The library takes it from the driver (USBDEVFS_DISCONNECT_CLAIM) only while that
// interface is down, and gives it back when the device is closed (USBDEVFS_CONNECT).
#include <dirent.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>

#include "base/deadline_timer.h"
#include "base/parse.h"
#include "base/text.h"
#include "vci/gs_usb/usb.h"
#include "vci/notice.h"

namespace vci::gs_usb {

namespace {

std::string ReadLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// A sysfs number: decimal, or hexadecimal with or without "0x" (net flags have it); 0 when the
// file is missing or holds something else.
unsigned ReadNumber(const std::string& path, int radix) {
    const std::string line = ReadLine(path);
    std::string_view text = line;
    if (radix == 16 && text.starts_with("0x")) {
        text.remove_prefix(2);
    }
    return base::ParseNumber<unsigned>(text, radix).value_or(0u);
}

std::vector<std::string> ListDirectory(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') {
                names.emplace_back(entry->d_name);
            }
        }
        ::closedir(dir);
    }
    return names;
}

std::string UsbDevices(const std::string& root) {
    return root + "/sys/bus/usb/devices/";
}

// What sysfs (under `root`) says about the adapter at `port`; false when it is no known adapter
// (or gone).
bool Describe(const std::string& root, const std::string& port, FoundAdapter* found,
              std::string* node, bool* driverless = nullptr) {
    const std::string dir = UsbDevices(root) + port + "/";
    const KnownId* id = FindKnownId(static_cast<std::uint16_t>(ReadNumber(dir + "idVendor", 16)),
                                    static_cast<std::uint16_t>(ReadNumber(dir + "idProduct", 16)));
    if (id == nullptr) {
        return false;
    }
    const unsigned bus = ReadNumber(dir + "busnum", 10);
    const unsigned address = ReadNumber(dir + "devnum", 10);
    found->port = port;
    found->number = bus << 16 | address;
    found->id = id;
    found->product = base::PrintableText(ReadLine(dir + "product"));
    found->serial = base::PrintableText(ReadLine(dir + "serial"));
    const std::string interface =
        dir + port + ":" + std::to_string(ReadNumber(dir + "bConfigurationValue", 10)) + ".0/";
    char target[256] = {};
    const ssize_t length = ::readlink((interface + "driver").c_str(), target, sizeof target - 1);
    if (driverless != nullptr) {
        *driverless = length <= 0;
    }
    if (length > 0) {
        const char* slash = std::strrchr(target, '/');
        const std::string driver = slash != nullptr ? slash + 1 : target;
        found->other_driver = driver != "gs_usb";
        if (!found->other_driver) {
            for (const std::string& net : ListDirectory(interface + "net")) {
                found->kernel_interface = net;  // the first channel's
                found->kernel_interface_up =
                    (ReadNumber(root + "/sys/class/net/" + net + "/flags", 16) & 1u) != 0;
                break;
            }
        }
    }
    char path[40];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", bus, address);
    *node = root + path;
    found->accessible = ::access(node->c_str(), R_OK | W_OK) == 0;
    return true;
}

std::string Reason(const char* what, int error_number) {
    return std::string(what) + ": " + std::strerror(error_number);
}

// ---- Giving an adapter back to the kernel's driver ----------------------------------------

// Hands the claimed interface 0 back to the kernel, which binds its gs_usb driver again (the
// adapter's network interface comes back). Only system calls: safe in a signal handler.
void GiveBack(int fd) {
    unsigned interface_number = 0;
    ::ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface_number);
    usbdevfs_ioctl connect{};
    connect.ifno = 0;
    connect.ioctl_code = static_cast<int>(USBDEVFS_CONNECT);
    connect.data = nullptr;
    ::ioctl(fd, USBDEVFS_IOCTL, &connect);
}

// The adapters taken from the kernel's driver now, so that a signal that ends the process (Ctrl-C,
// the station stopping a load, a hang-up, SIGTERM) gives them back first: no destructor runs then.
std::atomic<int> taken_fds[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
constexpr std::array<int, 4> kEndingSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void GiveBackAndDie(int signal) {
    for (auto& fd : taken_fds) {
        const int taken = fd.exchange(-1);
        if (taken >= 0) {
            GiveBack(taken);
        }
    }
    // Then end as the signal would have ended the process.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    ::sigaction(signal, &default_action, nullptr);
    ::raise(signal);
}

// Watches the ending signals that would kill the process outright (a program that handles or
// ignores one ends its own way, and its clean-up gives the adapter back).
void WatchEndingSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (const int signal : kEndingSignals) {
            struct sigaction current {};
            if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
                (current.sa_flags & SA_SIGINFO) == 0) {
                struct sigaction action {};
                action.sa_handler = GiveBackAndDie;
                sigemptyset(&action.sa_mask);
                ::sigaction(signal, &action, nullptr);
            }
        }
    });
}

void Remember(int fd) {
    WatchEndingSignals();
    for (auto& slot : taken_fds) {
        int none = -1;
        if (slot.compare_exchange_strong(none, fd)) {
            return;
        }
    }
}

void Forget(int fd) {
    for (auto& slot : taken_fds) {
        int expected = fd;
        slot.compare_exchange_strong(expected, -1);
    }
}

// An adapter of ours that no driver has while the kernel's gs_usb driver is loaded was left so
// by a loader that could not give it back (killed, crashed): give it back now, or say the one
// command that does. True when it was given back.
bool GiveBackOrphan(const std::string& port, const std::string& node, const std::string& name) {
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        usbdevfs_ioctl connect{};
        connect.ifno = 0;
        connect.ioctl_code = static_cast<int>(USBDEVFS_CONNECT);
        // EBUSY: a driver has it already (another loader gave it back at the same moment).
        const bool done = ::ioctl(fd, USBDEVFS_IOCTL, &connect) == 0 || errno == EBUSY;
        ::close(fd);
        if (done) {
            return true;
        }
    }
    Notice(name.c_str(),
           "the adapter at USB port %s has no driver (a load was stopped before it could give it "
           "back); to give it back to the kernel, run: echo %s:1.0 | sudo tee "
           "/sys/bus/usb/drivers/gs_usb/bind",
           port.c_str(), port.c_str());
    return false;
}

class LinuxUsbDevice final : public UsbDevice {
  public:
    ~LinuxUsbDevice() override {
        if (fd_ < 0) {
            return;
        }
        for (Urb& urb : urbs_) {
            if (urb.queued) {
                ::ioctl(fd_, USBDEVFS_DISCARDURB, urb.urb.get());
            }
        }
        // Discarded transfers complete at once; reap them before their buffers go.
        for (int spins = 0; spins < 100 && Queued() > 0; ++spins) {
            usbdevfs_urb* done = nullptr;
            if (::ioctl(fd_, USBDEVFS_REAPURBNDELAY, &done) == 0 && done != nullptr) {
                Find(done)->queued = false;
            } else if (errno == EAGAIN) {
                pollfd wait{fd_, POLLOUT, 0};
                ::poll(&wait, 1, 10);
            } else {
                break;
            }
        }
        if (taken_) {
            Forget(fd_);
            GiveBack(fd_);
        } else {
            unsigned interface_number = 0;
            ::ioctl(fd_, USBDEVFS_RELEASEINTERFACE, &interface_number);
        }
        ::close(fd_);
    }

    VciResult Open(const std::string& port, std::string* error) {
        FoundAdapter found;
        std::string node;
        if (!Describe("", port, &found, &node)) {
            *error = "the adapter at USB port " + port + " is gone";
            return kVciErrDeviceGone;
        }
        if (found.kernel_interface_up) {
            *error = "the kernel's gs_usb driver has it as " + found.kernel_interface +
                     ", which is up: use " + found.kernel_interface;
            return kVciErrIo;
        }
        if (found.other_driver) {
            *error = "another driver holds the adapter at USB port " + port;
            return kVciErrIo;
        }
        fd_ = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ < 0) {
            const int error_number = errno;
            *error = Reason(node.c_str(), error_number);
            if (error_number == EACCES || error_number == EPERM) {
                *error += " (install the udev rule for gs_usb adapters, or run as root)";
            }
            return error_number == ENOENT || error_number == ENODEV ? kVciErrDeviceGone : kVciErrIo;
        }
        if (!found.kernel_interface.empty()) {
            usbdevfs_disconnect_claim claim{};
            claim.interface = 0;
            claim.flags = USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER;
            std::snprintf(claim.driver, sizeof claim.driver, "gs_usb");
            if (::ioctl(fd_, USBDEVFS_DISCONNECT_CLAIM, &claim) != 0) {
                *error = Reason("taking the adapter from the kernel's gs_usb driver", errno);
                return kVciErrIo;
            }
            taken_ = true;
            Remember(fd_);
        } else {
            unsigned interface_number = 0;
            if (::ioctl(fd_, USBDEVFS_CLAIMINTERFACE, &interface_number) != 0) {
                const int error_number = errno;
                *error = Reason("claiming the adapter's interface", error_number);
                if (error_number == EBUSY) {
                    *error += " (another program has it)";
                }
                return kVciErrIo;
            }
        }
        for (Urb& urb : urbs_) {
            if (!Submit(urb)) {
                *error = last_error_;
                return submit_errno_ == ENODEV ? kVciErrDeviceGone : kVciErrIo;
            }
        }
        return kVciOk;
    }

    Status Control(const ControlTransfer& transfer, std::uint8_t* in, std::size_t* got,
                   int timeout_ms) override {
        auto data = transfer.data;  // an IN request's answer comes back in it
        usbdevfs_ctrltransfer control{};
        control.bRequestType = transfer.request_type;
        control.bRequest = transfer.request;
        control.wValue = transfer.value;
        control.wIndex = transfer.index;
        control.wLength = transfer.length;
        control.timeout = static_cast<std::uint32_t>(timeout_ms);
        control.data = data.data();
        const int moved = ::ioctl(fd_, USBDEVFS_CONTROL, &control);
        if (moved < 0) {
            return Failed("control request", errno);
        }
        if (transfer.in()) {
            *got = static_cast<std::size_t>(moved);
            std::memcpy(in, data.data(), *got);
        }
        return Status::kOk;
    }

    Status BulkOut(const std::uint8_t* data, std::size_t size, int timeout_ms) override {
        std::array<std::uint8_t, kFrameSize> copy{};
        std::memcpy(copy.data(), data, std::min(size, copy.size()));
        usbdevfs_bulktransfer bulk{};
        bulk.ep = kEndpointOut;
        bulk.len = static_cast<unsigned>(std::min(size, copy.size()));
        bulk.timeout = static_cast<unsigned>(timeout_ms);
        bulk.data = copy.data();
        if (::ioctl(fd_, USBDEVFS_BULK, &bulk) < 0) {
            return Failed("sending a frame", errno);
        }
        return Status::kOk;
    }

    Status BulkIn(std::uint8_t* buffer, std::size_t capacity, std::size_t* got,
                  std::int64_t timeout_us) override {
        const std::int64_t deadline = base::SteadyNowUs() + std::max<std::int64_t>(0, timeout_us);
        // With time to wait, wait before reaping: a read mostly begins right after a send, when
        // nothing has come yet, and the wait returns at once when a transfer has completed.
        bool wait = timeout_us > 0;
        for (;;) {
            if (wait) {
                const std::int64_t left = deadline - base::SteadyNowUs();
                if (left > 0) {
                    const timespec span{static_cast<time_t>(left / 1000000),
                                        static_cast<long>(left % 1000000 * 1000)};
                    pollfd ready{fd_, POLLOUT, 0};
                    if (::ppoll(&ready, 1, &span, nullptr) < 0 && errno != EINTR) {
                        return Failed("waiting for frames", errno);
                    }
                }
            }
            usbdevfs_urb* done = nullptr;
            if (::ioctl(fd_, USBDEVFS_REAPURBNDELAY, &done) == 0 && done != nullptr) {
                Urb& urb = *Find(done);
                urb.queued = false;
                const int status = urb.urb->status;
                const std::size_t length = static_cast<std::size_t>(urb.urb->actual_length);
                if (status == 0) {
                    *got = std::min(length, capacity);
                    std::memcpy(buffer, urb.buffer.data(), *got);
                }
                if (!Submit(urb)) {
                    return Failed("receiving", submit_errno_);
                }
                if (status == 0) {
                    failures_ = 0;
                    return Status::kOk;
                }
                if (++failures_ >= kMaxFailedTransfers) {
                    return Failed("receiving", -status);
                }
                wait = false;  // the next one may have completed already
                continue;
            }
            if (const int error_number = errno; error_number != EAGAIN) {
                return Failed("receiving", error_number);
            }
            if (base::SteadyNowUs() >= deadline) {
                return Status::kTimeout;
            }
            wait = true;
        }
    }

  private:
    struct Urb {
        // On the heap by itself: the kernel's record ends in a flexible array.
        std::unique_ptr<usbdevfs_urb> urb = std::make_unique<usbdevfs_urb>();
        std::array<std::uint8_t, kInTransferSize> buffer{};
        bool queued = false;
    };

    bool Submit(Urb& urb) {
        std::memset(urb.urb.get(), 0, sizeof(usbdevfs_urb));
        urb.urb->type = USBDEVFS_URB_TYPE_BULK;
        urb.urb->endpoint = static_cast<unsigned char>(kEndpointIn);
        urb.urb->buffer = urb.buffer.data();
        urb.urb->buffer_length = static_cast<int>(urb.buffer.size());
        if (::ioctl(fd_, USBDEVFS_SUBMITURB, urb.urb.get()) != 0) {
            submit_errno_ = errno;
            last_error_ = Reason("queueing a receive transfer", submit_errno_);
            return false;
        }
        urb.queued = true;
        return true;
    }

    Urb* Find(const usbdevfs_urb* done) {
        for (Urb& urb : urbs_) {
            if (urb.urb.get() == done) {
                return &urb;
            }
        }
        return &urbs_[0];  // the kernel hands back only what was submitted
    }

    std::size_t Queued() const {
        std::size_t queued = 0;
        for (const Urb& urb : urbs_) {
            queued += urb.queued ? 1 : 0;
        }
        return queued;
    }

    Status Failed(const char* what, int error_number) {
        last_error_ = std::strerror(error_number);
        if (error_number == ENODEV || error_number == ESHUTDOWN) {
            last_error_ = std::strerror(ENODEV);
            return Status::kGone;
        }
        if (error_number == ETIMEDOUT) {
            return Status::kTimeout;
        }
        last_error_ = Reason(what, error_number);
        return Status::kFailed;
    }

    int fd_ = -1;
    bool taken_ = false;
    int failures_ = 0;
    int submit_errno_ = 0;
    std::array<Urb, kInTransfers> urbs_{};
};

}  // namespace

std::vector<FoundAdapter> FindAdapters(const std::string& root) {
    std::vector<FoundAdapter> adapters;
    for (const std::string& port : ListDirectory(UsbDevices(root))) {
        if (port.find(':') != std::string::npos || port.rfind("usb", 0) == 0) {
            continue;  // an interface, or a root hub
        }
        FoundAdapter found;
        std::string node;
        bool driverless = false;
        if (!Describe(root, port, &found, &node, &driverless)) {
            continue;
        }
        if (driverless && ::access((root + "/sys/bus/usb/drivers/gs_usb").c_str(), F_OK) == 0 &&
            GiveBackOrphan(port, node, "gsusb-" + port)) {
            Describe(root, port, &found, &node);  // the driver's now, with its interface
        }
        adapters.push_back(std::move(found));
    }
    std::sort(adapters.begin(), adapters.end(),
              [](const FoundAdapter& a, const FoundAdapter& b) { return a.port < b.port; });
    return adapters;
}

std::unique_ptr<UsbDevice> OpenAdapter(const std::string& port, VciResult* code,
                                       std::string* error) {
    auto device = std::make_unique<LinuxUsbDevice>();
    *code = device->Open(port, error);
    if (*code != kVciOk) {
        return nullptr;
    }
    return device;
}

}  // namespace vci::gs_usb
