// A virtual CAN bus host: a socketcand-protocol server on 127.0.0.1 that delivers every frame a
// client sends, in one global order, to every other client, and writes a candump-format trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

namespace vbus {

struct HostOptions {
    std::uint16_t port = 0;  // 0: the first free port of kFirstPort .. kFirstPort+kPortCount-1
    std::string bus_name;    // empty: "sim<k>" for port kFirstPort + k
    // Frames occupy the bus for their real length at 1000 kbit/s, one at a time: a client's
    // next frame waits until the one before has won the bus (its socket is not read meanwhile),
    // and of the frames waiting, the lowest identifier wins, as in CAN arbitration.
    bool bit_timing = false;
    std::string trace_path;  // candump log of every frame; empty: no trace
    // Per frame, the steady-clock time (ns) at which it arrived from its sender and at which its
    // bytes were written to each other client, for latency measurements; empty: none. Lines:
    //   J CLIENT T            a client joined the bus (raw mode)
    //   F SEQ SENDER T ID LEN DATA   frame SEQ arrived (ID and DATA in hex)
    //   D SEQ T               frame SEQ left the wire (bit timing) and went to the clients
    //   W SEQ CLIENT T        its last byte was handed to CLIENT's socket
    std::string timing_log;
    // Notices (clients joining and leaving, refused lines; at most a few per client and second,
    // the rest counted in one line); null: none.
    std::ostream* log = nullptr;
};

// Output that may wait for one client (frames and replies alike). A client that lets more than
// this pile up (about 16000 frames, seconds of a saturated bus) has stopped reading: it is
// dropped, so that it cannot grow the host's memory without bound or hold up the others.
inline constexpr std::size_t kMaxClientBacklog = 1 << 20;

struct HostStats {
    std::uint64_t frames = 0;           // frames put on the bus
    std::uint64_t refused_lines = 0;    // malformed or oversized protocol lines refused
    std::uint64_t clients = 0;          // clients that completed the handshake, in all
    std::uint64_t dropped_clients = 0;  // clients dropped because they stopped reading
    std::uint64_t peak_backlog = 0;     // the most output that ever waited for one client
    std::uint64_t failed_accepts = 0;   // accepts that failed (out of descriptors)
};

class BusHost {
  public:
    explicit BusHost(HostOptions options);
    ~BusHost();  // stops the host
    BusHost(const BusHost&) = delete;
    BusHost& operator=(const BusHost&) = delete;

    // Binds and listens, then serves on a thread of its own. False with a reason on failure.
    bool Start(std::string* error);
    // Closes every connection and the listening socket, and joins the thread. Idempotent.
    void Stop();

    // Why the host stopped serving by itself (a failure that ended its thread; every client lost
    // its connection); nullopt while it serves.
    std::optional<std::string> failure() const;

    std::uint16_t port() const;
    const std::string& bus_name() const;
    HostStats stats() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vbus
