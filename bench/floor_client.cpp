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
// With --serial the same exchange goes through a serial-line CAN adapter (SLCAN) at PATH (a
// terminal, set raw): one `T` line per frame, whatever the adapter answers after a send skipped,
// the echo taken as the next `T` line.
// Prints one line: "blocks N stream_ns T" (the stream by its own clock: first block sent to the
// echo of the terminating block read).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int g_socket = -1;      // or the serial line
bool g_serial = false;  // SLCAN lines instead of socketcand elements
std::string g_pending;  // bytes received but not yet taken as elements

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

// Sends a request and waits for a frame with the same identifier; false on time-out.
bool Exchange(std::uint32_t id, const std::vector<std::uint8_t>& data, int timeout_ms) {
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
        if (NextElement(1000) != "") {
            Fail("the adapter did not accept a command");
        }
    }
    if (g_pending.find('\a') != std::string::npos) {
        Fail("the adapter refused a command");
    }
}

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: floor-client PORT BUS IMAGE | --serial PATH IMAGE\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (std::strcmp(argv[1], "--serial") == 0) {
        OpenSerial(argv[2]);
    }
    const int port = std::atoi(argv[1]);
    const std::string bus = argv[2];
    std::ifstream file(argv[3], std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    if (!file.is_open() || image.size() % 8 != 0) {
        Fail("cannot read the image, or its size is not a multiple of 8");
    }

    if (!g_serial) {
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
    SendAll(SendElement(0x18EFC300, start, sizeof start));  // from address 0 to the sensor, 0xC3
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

    // The timed stream: send, read until the echo's closing ">" (on a serial line: the CR of the
    // next `T` line, past the adapter's answer to the send), send the next.
    const auto began = Clock::now();
    char buffer[4096];
    for (const std::string& block : blocks) {
        SendAll(block);
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
    SendAll(SendElement(kCommandId, reboot, sizeof reboot));
    std::printf("blocks %zu stream_ns %lld\n", blocks.size(),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(ended - began).count()));
    if (g_serial) {
        SendAll("C\r");
    }
    ::close(g_socket);
    return 0;
}
