// A test helper: joins a bus host as a BusClient, prints "ready", waits for one frame and prints
// it as "got ID#HEX", then sends each frame given on the command line (ID#HEX, 8 hex digits of
// identifier for 29-bit) and exits. Exit code 1 when no frame came within 10 s.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "virtual_bus/bus_client.h"
#include "wire/socketcand_protocol.h"

namespace {

bool ParseFrame(const std::string& text, vbus::Frame* frame) {
    const std::size_t hash = text.find('#');
    const std::string data = hash == std::string::npos ? "" : text.substr(hash + 1);
    if (hash == std::string::npos || data.size() % 2 != 0 || data.size() > 16 ||
        !wire::socketcand::ParseIdentifier(text.substr(0, hash), &frame->id, &frame->extended)) {
        return false;
    }
    frame->length = static_cast<std::uint8_t>(data.size() / 2);
    for (std::size_t i = 0; i < frame->length; ++i) {
        frame->data[i] = static_cast<std::uint8_t>(std::stoul(data.substr(2 * i, 2), nullptr, 16));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bus_peer PORT [ID#HEX ...]\n");
        return 2;
    }
    std::vector<vbus::Frame> to_send;
    for (int i = 2; i < argc; ++i) {
        vbus::Frame frame;
        if (!ParseFrame(argv[i], &frame)) {
            std::fprintf(stderr, "bus_peer: bad frame '%s'\n", argv[i]);
            return 2;
        }
        to_send.push_back(frame);
    }
    vbus::BusClient client;
    std::string error;
    if (!client.Connect("127.0.0.1", static_cast<std::uint16_t>(std::atoi(argv[1])), "", &error)) {
        std::fprintf(stderr, "bus_peer: %s\n", error.c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::vector<vbus::Frame> got;
    if (!client.Receive(got, 10'000'000) || got.empty()) {
        std::fprintf(stderr, "bus_peer: no frame received\n");
        return 1;
    }
    std::string hex;
    for (std::size_t i = 0; i < got[0].length; ++i) {
        char byte[3];
        std::snprintf(byte, sizeof byte, "%02X", got[0].data[i]);
        hex += byte;
    }
    std::printf("got %s#%s\n", wire::socketcand::FormatIdentifier(got[0]).c_str(), hex.c_str());
    std::fflush(stdout);
    for (const vbus::Frame& frame : to_send) {
        if (!client.Send(frame)) {
            std::fprintf(stderr, "bus_peer: connection lost\n");
            return 1;
        }
    }
    return 0;
}
