#include "virtual_bus/bus_host.h"

#include <algorithm>
#include <atomic>
#include <chrono>
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

        std::size_t backlog() const { return out.size() - out_sent; }
    };

    struct OnTheWire {
        Frame frame;
        std::uint64_t sender;
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
    void Deliver(const Frame& frame, std::uint64_t sender);
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
    Flush(client);
}

void BusHost::Impl::Flush(Client& client) {
    while (client.backlog() > 0) {
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
    if (!options.bit_timing) {
        Deliver(frame, sender);
        return;
    }
    // The bus carries one frame at a time: a frame starts when it arrives or when the one before
    // it ends, whichever is later, and reaches the receivers when its last bit has gone.
    const auto now = SteadyClock::now();
    const auto start = std::max(now, bus_free_at);
    bus_free_at = start + std::chrono::microseconds(FrameBitLength(frame) * 1000000LL /
                                                    static_cast<long long>(kBusBitrate));
    wire.push_back({frame, sender, bus_free_at});
}

void BusHost::Impl::DeliverDue() {
    const auto now = SteadyClock::now();
    while (!wire.empty() && wire.front().ends <= now) {
        Deliver(wire.front().frame, wire.front().sender);
        wire.pop_front();
    }
}

void BusHost::Impl::Deliver(const Frame& frame, std::uint64_t sender) {
    const WallTime time = WallClockNow();
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
