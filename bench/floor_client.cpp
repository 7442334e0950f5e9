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
// Prints one line: "blocks N stream_ns T" (the stream by its own clock: first block sent to the
// echo of the terminating block read).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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

int g_socket = -1;
std::string g_pending;  // bytes received but not yet taken as elements

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "floor-client: %s\n", what);
    std::exit(1);
}

void SendAll(const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(g_socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            Fail("send failed");
        }
        sent += static_cast<std::size_t>(n);
    }
}

// The next "< ... >" element, waiting at most timeout_ms; empty on time-out.
std::string NextElement(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
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
        const ssize_t n = ::recv(g_socket, buffer, sizeof buffer, 0);
        if (n <= 0) {
            Fail("the bus host closed the connection");
        }
        g_pending.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string SendElement(std::uint32_t id, const std::uint8_t* data, std::size_t length) {
    char text[64];
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
    std::snprintf(wanted, sizeof wanted, "< frame %08X ", static_cast<unsigned>(id));
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

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: floor-client PORT BUS IMAGE\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string bus = argv[2];
    std::ifstream file(argv[3], std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    if (!file.is_open() || image.size() % 8 != 0) {
        Fail("cannot read the image, or its size is not a multiple of 8");
    }

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

    // Handshake, then the sensor brought into its bootloader with both sectors erased.
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

    // The timed stream: send, read until the echo's closing ">", send the next.
    const auto began = Clock::now();
    char buffer[4096];
    for (const std::string& block : blocks) {
        SendAll(block);
        for (bool echoed = false; !echoed;) {
            const ssize_t n = ::recv(g_socket, buffer, sizeof buffer, 0);
            if (n <= 0) {
                Fail("the bus host closed the connection");
            }
            echoed = std::memchr(buffer, '>', static_cast<std::size_t>(n)) != nullptr;
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
    ::close(g_socket);
    return 0;
}
