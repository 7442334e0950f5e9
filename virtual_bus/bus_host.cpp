#include "virtual_bus/bus_host.h"

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "virtual_bus/bit_timing.h"
#include "virtual_bus/frame.h"
#include "virtual_bus/socket.h"
#include "virtual_bus/socketcand_protocol.h"
#include "virtual_bus/trace.h"

namespace vbus {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Output waiting for one client. A client that lets more than this pile up (about 16000
// frames, seconds of a saturated bus) has stopped reading: it is dropped so that it cannot grow
// the host's memory without bound or hold up the others.
constexpr std::size_t kMaxClientBacklog = 1 << 20;
// Bytes read from one client per wake-up, so that a flooding client cannot starve the others.
constexpr int kReadsPerWake = 16;

struct WallTime {
    std::uint64_t seconds;
    std::uint32_t microseconds;
};

std::int64_t SteadyNs(SteadyClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

WallTime WallClockNow() {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return {static_cast<std::uint64_t>(us / 1000000), static_cast<std::uint32_t>(us % 1000000)};
}

std::string Snippet(const std::string& text) {
    std::string clean;
    for (const char c : text.substr(0, 40)) {
        clean.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c);
    }
    return text.size() > 40 ? clean + "..." : clean;
}

}  // namespace

struct BusHost::Impl {
    enum class State { kGreeted, kOpened, kRaw };

    struct Client {
        std::uint64_t id = 0;
        net::Socket socket;
        proto::ElementSplitter splitter;
        State state = State::kGreeted;
        std::string out;           // bytes not yet written
        std::size_t out_sent = 0;  // of `out`
        bool dead = false;
        std::string farewell;  // why it was dropped, for the log
        // Timing log only: bytes ever queued and written, and the frames whose last byte has not
        // been written yet (the queued count at their end, their sequence number).
        std::uint64_t queued_bytes = 0;
        std::uint64_t written_bytes = 0;
        std::deque<std::pair<std::uint64_t, std::uint64_t>> timed;

        std::size_t backlog() const { return out.size() - out_sent; }
    };

    struct OnTheWire {
        Frame frame;
        std::uint64_t sender;
        std::uint64_t seq;
        SteadyClock::time_point ends;
    };

    explicit Impl(HostOptions o) : options(std::move(o)) {}

    void Run();
    void AcceptClients();
    void ReadClient(Client& client);
    void HandleEvent(Client& client, const proto::SplitEvent& event);
    void Refuse(Client& client, const std::string& text, const std::string& reason);
    void Reply(Client& client, const std::string& text);
    void Flush(Client& client);
    void PutOnBus(const Frame& frame, std::uint64_t sender);
    void Deliver(const Frame& frame, std::uint64_t sender, std::uint64_t seq);
    void DeliverDue();
    void RemoveDeadClients();
    void Log(const std::string& line);
    void CountStat(std::uint64_t HostStats::*field) {
        std::lock_guard lock(stats_mutex);
        ++(stats.*field);
    }

    HostOptions options;
    std::string bus_name;
    std::uint16_t port = 0;
    net::Socket listener;
    net::Waker waker;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::mutex stats_mutex;
    HostStats stats;
    TraceWriter trace;

    std::vector<std::unique_ptr<Client>> clients;
    std::uint64_t next_client_id = 1;
    std::deque<OnTheWire> wire;  // frames queued for the bus (bit timing only)
    SteadyClock::time_point bus_free_at{};

    std::FILE* timing = nullptr;  // the timing log, when asked for
    std::uint64_t next_seq = 0;
    SteadyClock::time_point read_at{};  // when the bytes being handled were read
};

BusHost::BusHost(HostOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->port = impl_->options.port;
    impl_->bus_name = impl_->options.bus_name;
}

BusHost::~BusHost() {
    Stop();
}

bool BusHost::Start(std::string* error) {
    Impl& h = *impl_;
    if (h.thread.joinable() || h.listener.valid()) {
        *error = "the host is already running";
        return false;
    }
    bool in_use = false;
    if (h.options.port != 0) {
        if (!net::ListenLoopback(h.options.port, &h.listener, &in_use, error)) {
            return false;
        }
        h.port = h.options.port;
    } else {
        for (int k = 0; k < kPortCount && !h.listener.valid(); ++k) {
            const auto candidate = static_cast<std::uint16_t>(kFirstPort + k);
            if (net::ListenLoopback(candidate, &h.listener, &in_use, error)) {
                h.port = candidate;
            } else if (!in_use) {
                return false;
            }
        }
        if (!h.listener.valid()) {
            *error = "every bus port " + std::to_string(kFirstPort) + ".." +
                     std::to_string(kFirstPort + kPortCount - 1) + " is in use";
            return false;
        }
    }
    if (h.bus_name.empty()) {
        h.bus_name = DefaultBusName(h.port);
    }
    if (!h.waker.Open(error) ||
        (!h.options.trace_path.empty() && !h.trace.Open(h.options.trace_path, error))) {
        h.listener.Close();
        return false;
    }
    if (!h.options.timing_log.empty()) {
        h.timing = std::fopen(h.options.timing_log.c_str(), "w");
        if (h.timing == nullptr) {
            *error = "cannot write the timing log " + h.options.timing_log;
            h.listener.Close();
            return false;
        }
        std::setvbuf(h.timing, nullptr, _IOFBF, 1 << 20);
    }
    h.stopping = false;
    h.thread = std::thread([&h] { h.Run(); });
    return true;
}

void BusHost::Stop() {
    Impl& h = *impl_;
    if (h.thread.joinable()) {
        h.stopping = true;
        h.waker.Notify();
        h.thread.join();
    }
    h.clients.clear();
    h.wire.clear();
    h.listener.Close();
    if (h.timing != nullptr) {
        std::fclose(h.timing);
        h.timing = nullptr;
    }
}

std::uint16_t BusHost::port() const {
    return impl_->port;
}
const std::string& BusHost::bus_name() const {
    return impl_->bus_name;
}

HostStats BusHost::stats() const {
    std::lock_guard lock(impl_->stats_mutex);
    return impl_->stats;
}

void BusHost::Impl::Log(const std::string& line) {
    if (options.log != nullptr) {
        *options.log << "bus " << bus_name << ": " << line << std::endl;
    }
}

void BusHost::Impl::Run() {
#if defined(__linux__)
    // A frame leaves the wire when its last bit has gone, not up to 50 us later (the default
    // timer slack): with bit timing, the bus keeps its 1000 kbit/s.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    std::vector<net::PollEntry> entries;
    while (!stopping) {
        entries.clear();
        entries.push_back({waker.handle(), true, false});
        entries.push_back({listener.get(), true, false});
        const std::size_t polled_clients = clients.size();
        for (const auto& client : clients) {
            entries.push_back({client->socket.get(), true, client->backlog() > 0});
        }
        std::int64_t timeout_us = -1;
        if (!wire.empty()) {
            const auto wait = wire.front().ends - SteadyClock::now();
            timeout_us = std::max<std::int64_t>(
                0, std::chrono::duration_cast<std::chrono::microseconds>(wait).count());
        }
        if (net::Poll(entries, timeout_us) < 0) {
            Log("poll failed: " + net::LastErrorText());
            break;
        }
        if (entries[0].readable) {
            waker.Drain();
        }
        if (entries[1].readable) {
            AcceptClients();
        }
        for (std::size_t i = 0; i < polled_clients; ++i) {
            Client& client = *clients[i];
            if (entries[2 + i].readable && !client.dead) {
                ReadClient(client);
            }
            if (entries[2 + i].writable && !client.dead) {
                Flush(client);
            }
        }
        DeliverDue();
        for (const auto& client : clients) {
            if (!client->dead && client->backlog() > 0) {
                Flush(*client);
            }
        }
        RemoveDeadClients();
    }
}

void BusHost::Impl::AcceptClients() {
    for (;;) {
        net::Socket socket = net::Accept(listener);
        if (!socket.valid()) {
            return;
        }
        auto client = std::make_unique<Client>();
        client->id = next_client_id++;
        client->socket = std::move(socket);
        Reply(*client, proto::FormatHi());
        clients.push_back(std::move(client));
    }
}

void BusHost::Impl::ReadClient(Client& client) {
    char buffer[4096];
    std::vector<proto::SplitEvent> events;
    for (int reads = 0; reads < kReadsPerWake && !client.dead; ++reads) {
        const net::IoResult result = net::Receive(client.socket, buffer, sizeof buffer);
        if (result.status == net::IoStatus::kWouldBlock) {
            return;
        }
        if (result.status != net::IoStatus::kOk) {
            client.dead = true;
            client.farewell =
                client.splitter.mid_element() ? "left in the middle of an element" : "left";
            if (result.status == net::IoStatus::kError) {
                client.farewell = "connection failed: " + net::LastErrorText();
            }
            return;
        }
        if (timing != nullptr) {
            read_at = SteadyClock::now();
        }
        events.clear();
        client.splitter.Feed(std::string_view(buffer, result.bytes), events);
        for (const auto& event : events) {
            if (client.dead) {
                break;
            }
            HandleEvent(client, event);
        }
    }
}

void BusHost::Impl::HandleEvent(Client& client, const proto::SplitEvent& event) {
    using Kind = proto::SplitEvent::Kind;
    if (event.kind == Kind::kMalformed) {
        Refuse(client, event.text, "malformed input");
        return;
    }
    if (event.kind == Kind::kOversized) {
        Refuse(client, event.text,
               "element longer than " + std::to_string(proto::kMaxElementLength) + " bytes");
        return;
    }
    proto::Element element;
    std::string error;
    if (!proto::ParseElement(event.text, &element, &error)) {
        Refuse(client, event.text, error);
        return;
    }
    switch (element.command) {
        case proto::Command::kOpen:
            if (client.state != State::kGreeted) {
                Refuse(client, event.text, "a bus is already open");
            } else if (element.text != bus_name) {
                Refuse(client, event.text, "no bus named " + element.text + " here");
            } else {
                client.state = State::kOpened;
                Reply(client, proto::FormatOk());
            }
            return;
        case proto::Command::kRawMode:
            if (client.state == State::kGreeted) {
                Refuse(client, event.text, "open a bus first");
                return;
            }
            if (client.state == State::kOpened) {
                client.state = State::kRaw;
                CountStat(&HostStats::clients);
                Log("client " + std::to_string(client.id) + " joined");
                if (timing != nullptr) {
                    std::fprintf(timing, "J %llu %lld\n",
                                 static_cast<unsigned long long>(client.id),
                                 static_cast<long long>(SteadyNs(SteadyClock::now())));
                }
            }
            Reply(client, proto::FormatOk());
            return;
        case proto::Command::kSend:
            if (client.state != State::kRaw) {
                Refuse(client, event.text, "not in raw mode");
            } else {
                PutOnBus(element.frame, client.id);
            }
            return;
        case proto::Command::kHi:
        case proto::Command::kOk:
        case proto::Command::kError:
        case proto::Command::kFrame:
            Refuse(client, event.text, "not a request a client may send");
            return;
    }
}

void BusHost::Impl::Refuse(Client& client, const std::string& text, const std::string& reason) {
    CountStat(&HostStats::refused_lines);
    Log("client " + std::to_string(client.id) + ": refused '" + Snippet(text) + "': " + reason);
    Reply(client, proto::FormatError(reason));
}

void BusHost::Impl::Reply(Client& client, const std::string& text) {
    // Written at once, so that each reply travels in a write of its own: python-can reads each
    // handshake reply with a single recv() and compares it exactly.
    client.out += text;
    client.queued_bytes += text.size();
    Flush(client);
}

void BusHost::Impl::Flush(Client& client) {
    while (client.backlog() > 0) {
        // Timing log: a frame counts as written when the send that hands over its last byte
        // begins (a receiver on loopback may run before that send returns).
        const SteadyClock::time_point send_began =
            timing != nullptr ? SteadyClock::now() : SteadyClock::time_point{};
        const net::IoResult result =
            net::Send(client.socket, client.out.data() + client.out_sent, client.backlog());
        if (result.status == net::IoStatus::kWouldBlock) {
            break;
        }
        if (result.status != net::IoStatus::kOk) {
            client.dead = true;
            client.farewell = "left (write failed)";
            return;
        }
        client.out_sent += result.bytes;
        client.written_bytes += result.bytes;
        while (timing != nullptr && !client.timed.empty() &&
               client.timed.front().first <= client.written_bytes) {
            std::fprintf(timing, "W %llu %llu %lld\n",
                         static_cast<unsigned long long>(client.timed.front().second),
                         static_cast<unsigned long long>(client.id),
                         static_cast<long long>(SteadyNs(send_began)));
            client.timed.pop_front();
        }
    }
    if (client.backlog() == 0) {
        client.out.clear();
        client.out_sent = 0;
    } else if (client.out_sent > client.out.size() / 2) {
        client.out.erase(0, client.out_sent);
        client.out_sent = 0;
    }
}

void BusHost::Impl::PutOnBus(const Frame& frame, std::uint64_t sender) {
    const std::uint64_t seq = next_seq++;
    if (timing != nullptr) {
        std::fprintf(timing, "F %llu %llu %lld %X %u ", static_cast<unsigned long long>(seq),
                     static_cast<unsigned long long>(sender),
                     static_cast<long long>(SteadyNs(read_at)), static_cast<unsigned>(frame.id),
                     static_cast<unsigned>(frame.length));
        for (std::size_t i = 0; i < frame.length && i < frame.data.size(); ++i) {
            std::fprintf(timing, "%02X", static_cast<unsigned>(frame.data[i]));
        }
        std::fputc('\n', timing);
    }
    if (!options.bit_timing) {
        Deliver(frame, sender, seq);
        return;
    }
    // The bus carries one frame at a time: a frame starts when it arrives or when the one before
    // it ends, whichever is later, and reaches the receivers when its last bit has gone.
    const auto now = SteadyClock::now();
    const auto start = std::max(now, bus_free_at);
    bus_free_at = start + std::chrono::microseconds(FrameBitLength(frame) * 1000000LL /
                                                    static_cast<long long>(kBusBitrate));
    wire.push_back({frame, sender, seq, bus_free_at});
}

void BusHost::Impl::DeliverDue() {
    const auto now = SteadyClock::now();
    while (!wire.empty() && wire.front().ends <= now) {
        Deliver(wire.front().frame, wire.front().sender, wire.front().seq);
        wire.pop_front();
    }
}

void BusHost::Impl::Deliver(const Frame& frame, std::uint64_t sender, std::uint64_t seq) {
    const WallTime time = WallClockNow();
    if (timing != nullptr) {
        std::fprintf(timing, "D %llu %lld\n", static_cast<unsigned long long>(seq),
                     static_cast<long long>(SteadyNs(SteadyClock::now())));
    }
    CountStat(&HostStats::frames);
    trace.Write(time.seconds, time.microseconds, bus_name, frame);
    const std::string text = proto::FormatFrame(frame, time.seconds, time.microseconds);
    for (const auto& client : clients) {
        if (client->dead || client->state != State::kRaw || client->id == sender) {
            continue;
        }
        if (client->backlog() + text.size() > kMaxClientBacklog) {
            CountStat(&HostStats::dropped_clients);
            client->dead = true;
            client->farewell = "dropped: it stopped reading (" + std::to_string(client->backlog()) +
                               " bytes waiting)";
            continue;
        }
        client->out += text;
        client->queued_bytes += text.size();
        if (timing != nullptr) {
            client->timed.emplace_back(client->queued_bytes, seq);
        }
    }
}

void BusHost::Impl::RemoveDeadClients() {
    std::erase_if(clients, [this](const std::unique_ptr<Client>& client) {
        if (client->dead && client->state == State::kRaw) {
            Log("client " + std::to_string(client->id) + " " + client->farewell);
        } else if (client->dead && client->farewell.rfind("dropped", 0) == 0) {
            Log("client " + std::to_string(client->id) + " " + client->farewell);
        }
        return client->dead;
    });
}

}  // namespace vbus
