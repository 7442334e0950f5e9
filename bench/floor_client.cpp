// floor-client: the least a program can do to stream an image through the bootloader over the
// virtual bus, for comparison with the loader. It speaks the socketcand protocol on a blocking
// TCP socket: send a block on channel 15, wait for the next frame (the echo), send the next.
// No checks, no printing while streaming.
//
// Before the stream, untimed: the start bootloader request to the sensor, "V" until the
// bootloader answers, both sectors erased, BOOT_BEG. After it: BOOT_END and REBOOTME, so that the
// sensor runs its application again for the next client.
//
// usage: floor-client PORT BUS IMAGE
//        floor-client --serial PATH IMAGE
//        floor-client --gs-usb USB_PORT IMAGE
// With --serial the same exchange goes through a serial-line CAN adapter (SLCAN) at PATH (a
// terminal, set raw): one `T` line per frame, whatever the adapter answers after a send skipped,
// the echo taken as the next `T` line.
// With --gs-usb it goes through the gs_usb (candleLight) adapter plugged in at USB_PORT ("1-1"),
// over usbdevfs with no driver on it: set-up and MODE start, then per block one bulk OUT
// transfer and blocking reaps of the bulk IN transfers kept queued until a frame from the bus
// comes (the adapter's echoes of our own frames skipped).
// Prints one line: "blocks N stream_ns T" (the stream by its own clock: first block sent to the
// echo of the terminating block read).
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "wire/gs_usb_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

int g_socket = -1;      // or the serial line
bool g_serial = false;  // SLCAN lines instead of socketcand elements
std::string g_pending;  // bytes received but not yet taken as elements
bool g_usb = false;     // a gs_usb adapter: g_socket is its usbdevfs node

namespace gs = wire::gs_usb;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "floor-client: %s\n", what);
    std::exit(1);
}

void SendAll(const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::write(g_socket, text.data() + sent, text.size() - sent);
        if (n <= 0) {
            Fail("send failed");
        }
        sent += static_cast<std::size_t>(n);
    }
}

// The next "< ... >" element (or, on a serial line, the next line without its CR), waiting at
// most timeout_ms; empty on time-out.
std::string NextElement(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const std::size_t end = g_pending.find('\r');
        if (g_serial && end != std::string::npos) {
            std::string line = g_pending.substr(0, end);
            g_pending.erase(0, end + 1);
            return line;
        }
        const std::size_t open = g_pending.find('<');
        const std::size_t close = g_pending.find('>', open == std::string::npos ? 0 : open);
        if (open != std::string::npos && close != std::string::npos) {
            std::string element = g_pending.substr(open, close - open + 1);
            g_pending.erase(0, close + 1);
            return element;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd fd{g_socket, POLLIN, 0};
        if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) <= 0) {
            return {};
        }
        char buffer[4096];
        const ssize_t n = ::read(g_socket, buffer, sizeof buffer);
        if (n <= 0) {
            Fail("the bus host closed the connection");
        }
        g_pending.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string SendElement(std::uint32_t id, const std::uint8_t* data, std::size_t length) {
    char text[64];
    if (g_serial) {
        int at = std::snprintf(text, sizeof text, "T%08X%zu", static_cast<unsigned>(id), length);
        for (std::size_t i = 0; i < length; ++i) {
            at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "%02X",
                                static_cast<unsigned>(data[i]));
        }
        return std::string(text) + "\r";
    }
    int used =
        std::snprintf(text, sizeof text, "< send %08X %zu", static_cast<unsigned>(id), length);
    for (std::size_t i = 0; i < length; ++i) {
        used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), " %02X",
                              static_cast<unsigned>(data[i]));
    }
    return std::string(text) + " >";
}

bool UsbExchange(std::uint32_t id, const std::vector<std::uint8_t>& data, int timeout_ms);

// Sends a request and waits for a frame with the same identifier; false on time-out.
bool Exchange(std::uint32_t id, const std::vector<std::uint8_t>& data, int timeout_ms) {
    if (g_usb) {
        return UsbExchange(id, data, timeout_ms);
    }
    SendAll(SendElement(id, data.data(), data.size()));
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, g_serial ? "T%08X" : "< frame %08X ",
                  static_cast<unsigned>(id));
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
        const std::string element =
            NextElement(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             deadline - Clock::now())
                                             .count()) +
                        1);
        if (element.rfind(wanted, 0) == 0) {
            return true;
        }
    }
    return false;
}

constexpr std::uint32_t kCommandId = 0x00FFF2B1;  // command channel 2
constexpr std::uint32_t kDataId = 0x00FFFFB1;     // command channel 15: the image blocks

// ---- gs_usb over usbdevfs ----

constexpr std::size_t kInTransfers = 4;
constexpr int kInTransferSize = 512;  // a short packet (one 20-byte frame) ends each transfer
std::uint8_t g_in_buffers[kInTransfers][kInTransferSize];
std::uint32_t g_echo_id = 0;  // 0 to 9, as the adapter's transmit slots

// Queues (again) a bulk IN transfer into `buffer`. The kernel's record ends in a flexible
// array, so each lives on the heap by itself, for the whole run.
void Submit(usbdevfs_urb* urb, std::uint8_t* buffer) {
    std::memset(urb, 0, sizeof *urb);
    urb->type = USBDEVFS_URB_TYPE_BULK;
    urb->endpoint = 0x81;
    urb->buffer = buffer;
    urb->buffer_length = kInTransferSize;
    if (::ioctl(g_socket, USBDEVFS_SUBMITURB, urb) != 0) {
        Fail("cannot queue a bulk IN transfer");
    }
}

// The next completed bulk IN transfer as a frame, waiting at most timeout_ms (-1: blocking
// reap); false on time-out. The transfer is queued again at once.
bool UsbNext(int timeout_ms, gs::HostFrame* frame) {
    for (;;) {
        usbdevfs_urb* done = nullptr;
        const int got = timeout_ms < 0 ? ::ioctl(g_socket, USBDEVFS_REAPURB, &done)
                                       : ::ioctl(g_socket, USBDEVFS_REAPURBNDELAY, &done);
        if (got == 0 && done != nullptr) {
            const bool ok = done->status == 0 &&
                            gs::DecodeFrame(static_cast<const std::uint8_t*>(done->buffer),
                                            static_cast<std::size_t>(done->actual_length), frame);
            Submit(done, static_cast<std::uint8_t*>(done->buffer));
            if (ok) {
                return true;
            }
            continue;
        }
        if (errno != EAGAIN) {
            Fail("receiving from the adapter failed");
        }
        pollfd fd{g_socket, POLLOUT, 0};
        if (::poll(&fd, 1, timeout_ms) <= 0) {
            return false;
        }
    }
}

void UsbEncode(std::uint32_t id, const std::uint8_t* data, std::size_t length,
               std::uint8_t out[gs::kFrameSize]) {
    gs::HostFrame frame;
    frame.echo_id = g_echo_id;
    g_echo_id = (g_echo_id + 1) % 10;
    frame.can_id = id | wire::kCanIdExtended;
    frame.dlc = static_cast<std::uint8_t>(length);
    std::memcpy(frame.data.data(), data, length);
    gs::EncodeFrame(frame, out);
}

void UsbSend(const std::uint8_t* bytes) {
    usbdevfs_bulktransfer bulk{};
    bulk.ep = 0x02;
    bulk.len = gs::kFrameSize;
    bulk.timeout = 1000;
    bulk.data = const_cast<std::uint8_t*>(bytes);
    if (::ioctl(g_socket, USBDEVFS_BULK, &bulk) != static_cast<int>(gs::kFrameSize)) {
        Fail("sending to the adapter failed");
    }
}

// Sends a frame and waits for its echo from the adapter (the frame is on the bus then).
bool UsbSendEchoed(std::uint32_t id, const std::uint8_t* data, std::size_t length, int timeout_ms) {
    std::uint8_t bytes[gs::kFrameSize];
    UsbEncode(id, data, length, bytes);
    UsbSend(bytes);
    const std::uint32_t echo_id = bytes[0];
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    gs::HostFrame frame;
    while (Clock::now() < deadline) {
        if (UsbNext(10, &frame) && frame.echo_id == echo_id) {
            return true;
        }
    }
    return false;
}

bool UsbExchange(std::uint32_t id, const std::vector<std::uint8_t>& data, int timeout_ms) {
    std::uint8_t bytes[gs::kFrameSize];
    UsbEncode(id, data.data(), data.size(), bytes);
    UsbSend(bytes);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    gs::HostFrame frame;
    while (Clock::now() < deadline) {
        if (UsbNext(10, &frame) && frame.echo_id == gs::kReceivedEchoId &&
            frame.can_id == (id | wire::kCanIdExtended)) {
            return true;
        }
    }
    return false;
}

void UsbControl(const gs::ControlTransfer& transfer, std::uint8_t* in = nullptr) {
    auto data = transfer.data;  // an IN request's answer comes back in it
    usbdevfs_ctrltransfer control{};
    control.bRequestType = transfer.request_type;
    control.bRequest = transfer.request;
    control.wValue = transfer.value;
    control.wIndex = transfer.index;
    control.wLength = transfer.length;
    control.timeout = 1000;
    control.data = data.data();
    if (::ioctl(g_socket, USBDEVFS_CONTROL, &control) < 0) {
        Fail("a control request failed");
    }
    if (in != nullptr) {
        std::memcpy(in, data.data(), transfer.length);
    }
}

// Opens the adapter at a USB port, claims interface 0, sets it up for 1000 kbit/s and starts
// its channel 0, with the bulk IN transfers queued.
void OpenGsUsb(const std::string& port) {
    g_usb = true;
    unsigned number[2] = {};
    const char* names[2] = {"busnum", "devnum"};
    for (int i = 0; i < 2; ++i) {
        std::ifstream file("/sys/bus/usb/devices/" + port + "/" + names[i]);
        if (!(file >> number[i])) {
            Fail("no USB device at that port");
        }
    }
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", number[0], number[1]);
    g_socket = ::open(node, O_RDWR | O_CLOEXEC);
    unsigned interface_number = 0;
    if (g_socket < 0 || ::ioctl(g_socket, USBDEVFS_CLAIMINTERFACE, &interface_number) != 0) {
        Fail("cannot open the adapter or claim its interface");
    }
    std::uint8_t answer[gs::kBtConstSize];
    UsbControl(gs::HostFormatRequest(0));
    UsbControl(gs::DeviceConfigRequest(0), answer);
    UsbControl(gs::BtConstRequest(0), answer);
    const std::optional<gs::BtConst> limits = gs::ParseBtConst(answer, sizeof answer);
    const gs::TimingChoice timing = gs::ChooseBitTiming(limits.value_or(gs::BtConst{}), 1000000);
    if (!timing.ok) {
        Fail("no bit timing for 1000 kbit/s");
    }
    UsbControl(gs::BitTimingRequest(0, timing.timing));
    for (std::uint8_t* buffer : g_in_buffers) {
        Submit(new usbdevfs_urb, buffer);
    }
    UsbControl(gs::ModeRequest(0, true));
}

}  // namespace

// Opens the serial line raw and opens the adapter's channel at 1000 kbit/s.
void OpenSerial(const char* path) {
    g_serial = true;
    g_socket = ::open(path, O_RDWR | O_NOCTTY);
    termios mode{};
    if (g_socket < 0 || ::tcgetattr(g_socket, &mode) != 0) {
        Fail("cannot open the serial line");
    }
    ::cfmakeraw(&mode);
    ::tcsetattr(g_socket, TCSANOW, &mode);
    ::tcflush(g_socket, TCIFLUSH);
    for (const char* command : {"C", "S8", "O"}) {
        SendAll(std::string(command) + "\r");
        if (!NextElement(1000).empty()) {
            Fail("the adapter did not accept a command");
        }
    }
    if (g_pending.find('\a') != std::string::npos) {
        Fail("the adapter refused a command");
    }
}

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(
            stderr,
            "usage: floor-client PORT BUS IMAGE | --serial PATH IMAGE | --gs-usb USB_PORT IMAGE\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (std::strcmp(argv[1], "--serial") == 0) {
        OpenSerial(argv[2]);
    } else if (std::strcmp(argv[1], "--gs-usb") == 0) {
        OpenGsUsb(argv[2]);
    }
    const int port = std::atoi(argv[1]);
    const std::string bus = argv[2];
    std::ifstream file(argv[3], std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    if (!file.is_open() || image.size() % 8 != 0) {
        Fail("cannot read the image, or its size is not a multiple of 8");
    }

    if (!g_serial && !g_usb) {
        g_socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (g_socket < 0 ||
            ::connect(g_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            Fail("cannot connect to the bus host");
        }
        const int one = 1;
        ::setsockopt(g_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

        // Handshake.
        if (NextElement(2000) != "< hi >") {
            Fail("no greeting");
        }
        SendAll("< open " + bus + " >");
        if (NextElement(2000) != "< ok >") {
            Fail("open refused");
        }
        SendAll("< rawmode >");
        if (NextElement(2000) != "< ok >") {
            Fail("rawmode refused");
        }
    }
    // The sensor brought into its bootloader with both sectors erased.
    const std::uint8_t start[8] = {0xF0, 0xFF, 0xFF, 0x80, 'B', 'O', 'O', 'T'};
    if (g_usb) {  // from address 0 to the sensor, 0xC3
        UsbSendEchoed(0x18EFC300, start, sizeof start, 1000);
    } else {
        SendAll(SendElement(0x18EFC300, start, sizeof start));
    }
    bool answered = false;
    for (int attempt = 0; attempt < 40 && !answered; ++attempt) {
        answered = Exchange(kCommandId, {'V'}, 100);
    }
    if (!answered || !Exchange(kCommandId, {0x45, 0x08, 0x01, 0x00, 0x00}, 2000) ||
        !Exchange(kCommandId, {0x45, 0x08, 0x02, 0x00, 0x00}, 2000) ||
        !Exchange(kCommandId, {'B', 'O', 'O', 'T', '_', 'B', 'E', 'G'}, 2000)) {
        Fail("the bootloader did not start, erase or begin the stream");
    }
    g_pending.clear();

    // Every block, and the terminating block of zeros, formatted before the clock starts.
    std::vector<std::string> blocks;
    blocks.reserve(image.size() / 8 + 1);
    for (std::size_t offset = 0; offset < image.size(); offset += 8) {
        blocks.push_back(SendElement(kDataId, image.data() + offset, 8));
    }
    const std::uint8_t zeros[8] = {};
    blocks.push_back(SendElement(kDataId, zeros, 8));
    std::vector<std::array<std::uint8_t, gs::kFrameSize>> frames(g_usb ? blocks.size() : 0);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        UsbEncode(kDataId, i + 1 < frames.size() ? image.data() + 8 * i : zeros, 8,
                  frames[i].data());
    }

    // The timed stream: send, read until the echo's closing ">" (on a serial line: the CR of the
    // next `T` line, past the adapter's answer to the send; over gs_usb: the next frame from the
    // bus), send the next.
    const auto began = Clock::now();
    if (g_usb) {
        gs::HostFrame frame;
        for (const auto& bytes : frames) {
            UsbSend(bytes.data());
            do {
                UsbNext(-1, &frame);
            } while (frame.echo_id != gs::kReceivedEchoId);
        }
    }
    char buffer[4096];
    for (std::size_t b = 0; !g_usb && b < blocks.size(); ++b) {
        SendAll(blocks[b]);
        bool in_frame = false;
        for (bool echoed = false; !echoed;) {
            const ssize_t n = ::read(g_socket, buffer, sizeof buffer);
            if (n <= 0) {
                Fail("the bus host closed the connection");
            }
            if (!g_serial) {
                echoed = std::memchr(buffer, '>', static_cast<std::size_t>(n)) != nullptr;
                continue;
            }
            for (ssize_t i = 0; i < n && !echoed; ++i) {
                in_frame = in_frame || buffer[i] == 'T';
                echoed = in_frame && buffer[i] == '\r';
            }
        }
    }
    const auto ended = Clock::now();

    if (!Exchange(kCommandId, {'B', 'O', 'O', 'T', '_', 'E', 'N', 'D'}, 2000)) {
        Fail("BOOT_END was not echoed");
    }
    const std::uint8_t reboot[8] = {'R', 'E', 'B', 'O', 'O', 'T', 'M', 'E'};
    if (g_usb) {  // on the bus before the channel is reset
        UsbSendEchoed(kCommandId, reboot, sizeof reboot, 1000);
        UsbControl(gs::ModeRequest(0, false));
    } else {
        SendAll(SendElement(kCommandId, reboot, sizeof reboot));
    }
    std::printf("blocks %zu stream_ns %lld\n", blocks.size(),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(ended - began).count()));
    if (g_serial) {
        SendAll("C\r");
    }
    ::close(g_socket);
    return 0;
}
