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
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "base/socket.h"
#include "virtual_bus/bit_timing.h"
#include "virtual_bus/frame.h"
#include "virtual_bus/trace.h"
#include "wire/socketcand_protocol.h"

namespace vbus {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Reads of one client per wake-up, so that a flooding client cannot starve the others.
constexpr int kReadsPerWake = 16;
// Bit timing: bytes read from a client at once, and handled as the bus takes its frames (about
// 380 frames, 50 ms of a busy bus, before its socket is read again).
constexpr std::size_t kHeldBytes = 16384;
// Notices about one client logged per second; the rest are counted and summed up in one line.
constexpr int kLogLinesPerSecond = 10;
// How long the host stops accepting after an accept failed (out of descriptors): the listener
// stays readable while the connection waits, and polling it again at once would spin.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

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

std::string Snippet(std::string_view text) {
    std::string clean;
    for (const char c : text.substr(0, 40)) {
        clean.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c);
    }
    return text.size() > 40 ? clean + "..." : clean;
}

}  // namespace

struct BusHost::Impl {
    enum class State { kGreeted, kOpened, kRaw };

    // A frame that a client has sent and that has not yet won the bus (bit timing only).
    struct Waiting {
        Frame frame;
        std::uint64_t seq;
        SteadyClock::time_point arrived;
    };

    struct Client {
        std::uint64_t id = 0;
        base::net::Socket socket;
        wire::socketcand::ElementSplitter splitter;
        State state = State::kGreeted;
        std::string out;           // bytes not yet written
        std::size_t out_sent = 0;  // of `out`
        bool dead = false;
        std::string farewell;  // why it was dropped, for the log
        // Bit timing: the client's frame that waits for the bus, and the bytes read with it,
        // held[held_begin, held_end), handled once that frame has started. The socket is not read
        // meanwhile, so a client that sends faster than the bus carries is held back by TCP.
        std::optional<Waiting> waiting;
        std::unique_ptr<char[]> held;  // kHeldBytes
        std::size_t held_begin = 0;
        std::size_t held_end = 0;
        SteadyClock::time_point held_since{};  // when they were read
        bool hung_up = false;  // its socket reported a hang-up or error while not being read
        // Notices logged in the current second, when it began, and those left out.
        int log_lines = 0;
        SteadyClock::time_point log_second{};
        std::uint64_t log_suppressed = 0;
        // Timing log only: bytes ever queued and written, and the frames whose last byte has not
        // been written yet (the queued count at their end, their sequence number).
        std::uint64_t queued_bytes = 0;
        std::uint64_t written_bytes = 0;
        std::deque<std::pair<std::uint64_t, std::uint64_t>> timed;

        std::size_t backlog() const { return out.size() - out_sent; }
        bool reading() const { return !waiting && held_begin == held_end; }
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
    void Split(Client& client, std::string_view bytes);
    void ConsumeHeld(Client& client, SteadyClock::time_point arrived);
    void HandleEvent(Client& client, wire::socketcand::SplitEvent::Kind kind,
                     std::string_view text);
    void Refuse(Client& client, std::string_view text, const std::string& reason);
    void Reply(Client& client, const std::string& text);
    bool Queue(Client& client, std::string_view text);
    void Flush(Client& client);
    void PutOnBus(Client& client, const Frame& frame);
    void StartNextFrame();
    void Deliver(const Frame& frame, std::uint64_t sender, std::uint64_t seq);
    void DeliverDue();
    void RemoveDeadClients();
    void Log(const std::string& line);
    bool MayLog(Client& client);
    void LogSuppressed(Client& client);
    void CountStat(std::uint64_t HostStats::*field) {
        std::lock_guard lock(stats_mutex);
        ++(stats.*field);
    }

    HostOptions options;
    std::string bus_name;
    std::uint16_t port = 0;
    base::net::Socket listener;
    base::net::Waker waker;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> failed{false};  // the thread ended on its own; `failure` says why
    std::string failure;
    // The trace is flushed at most this long after a frame, and at once when a client leaves
    // (a program that ends has its frames in the file by the time it is gone), not per frame.
    static constexpr auto kTraceFlushDelay = std::chrono::milliseconds(100);
    std::optional<SteadyClock::time_point> trace_flush_at;
    std::mutex stats_mutex;
    HostStats stats;
    TraceWriter trace;

    std::vector<std::unique_ptr<Client>> clients;
    std::uint64_t next_client_id = 1;
    std::optional<OnTheWire> wire;  // the frame on the bus (bit timing only)
    SteadyClock::time_point bus_free_at{};
    std::size_t peak_backlog = 0;  // mirrored in stats.peak_backlog
    std::optional<SteadyClock::time_point> accept_paused_until;
    std::uint64_t accepts_failed_in_a_row = 0;

    std::FILE* timing = nullptr;  // the timing log, when asked for
    std::uint64_t next_seq = 0;
    SteadyClock::time_point read_at{};  // when the bytes being handled were read (timing log)
    // Bit timing: when the frames being handled came to be sent: read, or (held back) when the
    // frame before them started.
    SteadyClock::time_point arrived_at{};
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
        if (!base::net::ListenLoopback(h.options.port, &h.listener, &in_use, error)) {
            return false;
        }
        h.port = h.options.port;
    } else {
        for (int k = 0; k < kPortCount && !h.listener.valid(); ++k) {
            const auto candidate = static_cast<std::uint16_t>(kFirstPort + k);
            if (base::net::ListenLoopback(candidate, &h.listener, &in_use, error)) {
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
    h.wire.reset();
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

std::optional<std::string> BusHost::failure() const {
    if (!impl_->failed) {
        return std::nullopt;
    }
    return impl_->failure;
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

// Whether one more notice about this client fits in the current second; a new second first
// reports what the last one left out.
bool BusHost::Impl::MayLog(Client& client) {
    if (options.log == nullptr) {
        return false;
    }
    const auto now = SteadyClock::now();
    if (now - client.log_second >= std::chrono::seconds(1)) {
        LogSuppressed(client);
        client.log_second = now;
        client.log_lines = 0;
    }
    if (client.log_lines < kLogLinesPerSecond) {
        ++client.log_lines;
        return true;
    }
    ++client.log_suppressed;
    return false;
}

void BusHost::Impl::LogSuppressed(Client& client) {
    if (client.log_suppressed > 0) {
        Log("client " + std::to_string(client.id) + ": ... " +
            std::to_string(client.log_suppressed) + " more notices suppressed");
        client.log_suppressed = 0;
    }
}

void BusHost::Impl::Run() {
#if defined(__linux__)
    // A frame leaves the wire when its last bit has gone, not up to 50 us later (the default
    // timer slack): with bit timing, the bus keeps its 1000 kbit/s.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    std::vector<base::net::PollEntry> entries;
    std::vector<Client*> polled;  // the client of entries[2 + i]
    while (!stopping) {
        if (accept_paused_until && SteadyClock::now() >= *accept_paused_until) {
            accept_paused_until.reset();
        }
        entries.clear();
        polled.clear();
        entries.push_back({waker.handle(), true, false});
        entries.push_back({listener.get(), !accept_paused_until, false});
        for (const auto& client : clients) {
            // A client that is held back is not read; if its socket has hung up, poll would
            // report that at once every time, so it is left out until it is read again.
            if (client->reading() || !client->hung_up) {
                entries.push_back({client->socket.get(), client->reading(), client->backlog() > 0});
                polled.push_back(client.get());
            }
        }
        if (trace_flush_at && SteadyClock::now() >= *trace_flush_at) {
            trace.Flush();
            trace_flush_at.reset();
        }
        std::optional<SteadyClock::time_point> wake_at = accept_paused_until;
        for (const auto& at : {wire ? std::optional(wire->ends) : std::nullopt, trace_flush_at}) {
            if (at && (!wake_at || *at < *wake_at)) {
                wake_at = at;
            }
        }
        std::int64_t timeout_us = -1;
        if (wake_at) {
            const auto wait = *wake_at - SteadyClock::now();
            timeout_us = std::max<std::int64_t>(
                0, std::chrono::duration_cast<std::chrono::microseconds>(wait).count());
        }
        if (base::net::Poll(entries, timeout_us) < 0) {
            // No way on: the clients are told by losing their connections, the owner by
            // failure().
            failure = "poll failed: " + base::net::LastErrorText();
            Log(failure);
            clients.clear();
            listener.Close();
            trace.Flush();
            failed = true;
            break;
        }
        if (entries[0].readable) {
            waker.Drain();
        }
        if (entries[1].readable && !accept_paused_until) {
            AcceptClients();
        }
        for (std::size_t i = 0; i < polled.size(); ++i) {
            Client& client = *polled[i];
            if (entries[2 + i].readable && !client.dead) {
                if (client.reading()) {
                    ReadClient(client);
                } else {
                    client.hung_up = true;
                }
            }
            if (entries[2 + i].writable && !client.dead) {
                Flush(client);
            }
        }
        DeliverDue();
        if (!wire) {
            StartNextFrame();
        }
        for (const auto& client : clients) {
            if (!client->dead && client->backlog() > 0) {
                Flush(*client);
            }
        }
        RemoveDeadClients();
    }
}

void BusHost::Impl::AcceptClients() {
    for (bool first = true;; first = false) {
        base::net::Socket socket = base::net::Accept(listener);
        if (!socket.valid()) {
            // The listener was readable, yet nothing could be taken: the connection waits (out
            // of descriptors, most likely). Try again a little later, not at once.
            if (first) {
                CountStat(&HostStats::failed_accepts);
                if (accepts_failed_in_a_row++ == 0) {
                    Log("cannot accept a connection: " + base::net::LastErrorText() +
                        " (trying again every " + std::to_string(kAcceptPause.count()) + " ms)");
                }
                accept_paused_until = SteadyClock::now() + kAcceptPause;
            }
            return;
        }
        if (accepts_failed_in_a_row > 0) {
            Log("accepting again after " + std::to_string(accepts_failed_in_a_row) +
                " failed attempts");
            accepts_failed_in_a_row = 0;
        }
        auto client = std::make_unique<Client>();
        client->id = next_client_id++;
        client->socket = std::move(socket);
        Reply(*client, wire::socketcand::FormatHi());
        clients.push_back(std::move(client));
    }
}

void BusHost::Impl::ReadClient(Client& client) {
    char buffer[4096];
    for (int reads = 0; reads < kReadsPerWake && !client.dead && client.reading(); ++reads) {
        // With bit timing, into the client's own buffer, from which its frames are taken as the
        // bus takes them.
        if (options.bit_timing && !client.held) {
            client.held = std::make_unique<char[]>(kHeldBytes);
        }
        char* const into = options.bit_timing ? client.held.get() : buffer;
        const base::net::IoResult result = base::net::Receive(
            client.socket, into, options.bit_timing ? kHeldBytes : sizeof buffer);
        if (result.status == base::net::IoStatus::kWouldBlock) {
            return;
        }
        if (result.status != base::net::IoStatus::kOk) {
            client.dead = true;
            client.farewell =
                client.splitter.mid_element() ? "left in the middle of an element" : "left";
            if (result.status == base::net::IoStatus::kError) {
                client.farewell = "connection failed: " + base::net::LastErrorText();
            }
            return;
        }
        if (timing != nullptr || options.bit_timing) {
            read_at = SteadyClock::now();
        }
        if (options.bit_timing) {
            client.held_begin = 0;
            client.held_end = result.bytes;
            client.held_since = read_at;
            ConsumeHeld(client, read_at);
        } else {
            Split(client, std::string_view(buffer, result.bytes));
        }
    }
}

void BusHost::Impl::Split(Client& client, std::string_view bytes) {
    client.splitter.FeedTo(
        bytes, [this, &client](wire::socketcand::SplitEvent::Kind kind, std::string_view text) {
            if (!client.dead) {
                HandleEvent(client, kind, text);
            }
        });
}

// Bit timing: handles a client's held bytes up to the first frame that has to wait for the bus.
// `arrived`: when that frame came to be sent (read, or when the frame before it started).
void BusHost::Impl::ConsumeHeld(Client& client, SteadyClock::time_point arrived) {
    arrived_at = arrived;
    while (client.held_begin < client.held_end && !client.waiting && !client.dead) {
        // One element at a time: only an element's ">" can complete a frame.
        const std::string_view rest(client.held.get() + client.held_begin,
                                    client.held_end - client.held_begin);
        const std::size_t end = rest.find('>');
        const std::size_t cut = end == std::string_view::npos ? rest.size() : end + 1;
        client.held_begin += cut;
        Split(client, rest.substr(0, cut));
    }
}

void BusHost::Impl::HandleEvent(Client& client, wire::socketcand::SplitEvent::Kind kind,
                                std::string_view text) {
    using Kind = wire::socketcand::SplitEvent::Kind;
    if (kind == Kind::kMalformed) {
        Refuse(client, text, "malformed input");
        return;
    }
    if (kind == Kind::kOversized) {
        Refuse(client, text,
               "element longer than " + std::to_string(wire::socketcand::kMaxElementLength) +
                   " bytes");
        return;
    }
    wire::socketcand::Element element;
    std::string error;
    if (!wire::socketcand::ParseElement(text, &element, &error)) {
        Refuse(client, text, error);
        return;
    }
    switch (element.command) {
        case wire::socketcand::Command::kOpen:
            if (client.state != State::kGreeted) {
                Refuse(client, text, "a bus is already open");
            } else if (element.text != bus_name) {
                Refuse(client, text, "no bus named " + element.text + " here");
            } else {
                client.state = State::kOpened;
                Reply(client, wire::socketcand::FormatOk());
            }
            return;
        case wire::socketcand::Command::kRawMode:
            if (client.state == State::kGreeted) {
                Refuse(client, text, "open a bus first");
                return;
            }
            if (client.state == State::kOpened) {
                client.state = State::kRaw;
                CountStat(&HostStats::clients);
                if (MayLog(client)) {
                    Log("client " + std::to_string(client.id) + " joined");
                }
                if (timing != nullptr) {
                    std::fprintf(timing, "J %llu %lld\n",
                                 static_cast<unsigned long long>(client.id),
                                 static_cast<long long>(SteadyNs(SteadyClock::now())));
                }
            }
            Reply(client, wire::socketcand::FormatOk());
            return;
        case wire::socketcand::Command::kSend:
            if (client.state != State::kRaw) {
                Refuse(client, text, "not in raw mode");
            } else {
                PutOnBus(client, element.frame);
            }
            return;
        case wire::socketcand::Command::kHi:
        case wire::socketcand::Command::kOk:
        case wire::socketcand::Command::kError:
        case wire::socketcand::Command::kFrame:
            Refuse(client, text, "not a request a client may send");
            return;
    }
}

void BusHost::Impl::Refuse(Client& client, std::string_view text, const std::string& reason) {
    CountStat(&HostStats::refused_lines);
    if (MayLog(client)) {
        Log("client " + std::to_string(client.id) + ": refused '" + Snippet(text) + "': " + reason);
    }
    // Written with the rest of this wake-up's output: a client that sends nothing but junk
    // costs no write per refusal.
    Queue(client, wire::socketcand::FormatError(reason));
}

void BusHost::Impl::Reply(Client& client, const std::string& text) {
    // Written at once, so that each reply travels in a write of its own: python-can reads each
    // handshake reply with a single recv() and compares it exactly.
    if (Queue(client, text)) {
        Flush(client);
    }
}

// Adds to a client's output, or drops the client when that would pass kMaxClientBacklog.
bool BusHost::Impl::Queue(Client& client, std::string_view text) {
    if (client.backlog() + text.size() > kMaxClientBacklog) {
        CountStat(&HostStats::dropped_clients);
        client.dead = true;
        client.farewell =
            "dropped: it stopped reading (" + std::to_string(client.backlog()) + " bytes waiting)";
        return false;
    }
    client.out += text;
    client.queued_bytes += text.size();
    if (client.backlog() > peak_backlog) {
        peak_backlog = client.backlog();
        std::lock_guard lock(stats_mutex);
        stats.peak_backlog = peak_backlog;
    }
    return true;
}

void BusHost::Impl::Flush(Client& client) {
    while (client.backlog() > 0) {
        // Timing log: a frame counts as written when the send that hands over its last byte
        // begins (a receiver on loopback may run before that send returns).
        const SteadyClock::time_point send_began =
            timing != nullptr ? SteadyClock::now() : SteadyClock::time_point{};
        const base::net::IoResult result =
            base::net::Send(client.socket, client.out.data() + client.out_sent, client.backlog());
        if (result.status == base::net::IoStatus::kWouldBlock) {
            break;
        }
        if (result.status != base::net::IoStatus::kOk) {
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

void BusHost::Impl::PutOnBus(Client& client, const Frame& frame) {
    const std::uint64_t sender = client.id;
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
    client.waiting = Waiting{frame, seq, arrived_at};
}

// The bus carries one frame at a time. When it is free, the frames waiting arbitrate: the lowest
// identifier wins (the earliest sent among equal ones). The winner starts when it arrived or
// when the frame before it ended, whichever is later, and reaches the receivers when its last
// bit has gone; its sender may then go on.
void BusHost::Impl::StartNextFrame() {
    Client* winner = nullptr;
    std::uint32_t winning_key = 0;
    for (const auto& client : clients) {
        if (!client->waiting || client->dead) {
            continue;
        }
        const std::uint32_t key = ArbitrationKey(client->waiting->frame);
        if (winner == nullptr || key < winning_key ||
            (key == winning_key && client->waiting->seq < winner->waiting->seq)) {
            winner = client.get();
            winning_key = key;
        }
    }
    if (winner == nullptr) {
        return;
    }
    const Waiting won = *winner->waiting;
    winner->waiting.reset();
    const auto start = std::max(won.arrived, bus_free_at);
    bus_free_at = start + std::chrono::microseconds(FrameBitLength(won.frame) * 1000000LL /
                                                    static_cast<long long>(kBusBitrate));
    wire = OnTheWire{won.frame, winner->id, won.seq, bus_free_at};
    ConsumeHeld(*winner, std::max(winner->held_since, start));
}

void BusHost::Impl::DeliverDue() {
    if (wire && wire->ends <= SteadyClock::now()) {
        Deliver(wire->frame, wire->sender, wire->seq);
        wire.reset();
        StartNextFrame();
    }
}

void BusHost::Impl::Deliver(const Frame& frame, std::uint64_t sender, std::uint64_t seq) {
    const WallTime time = WallClockNow();
    if (timing != nullptr) {
        std::fprintf(timing, "D %llu %lld\n", static_cast<unsigned long long>(seq),
                     static_cast<long long>(SteadyNs(SteadyClock::now())));
    }
    CountStat(&HostStats::frames);
    if (trace.is_open()) {
        trace.Write(time.seconds, time.microseconds, bus_name, frame);
        if (!trace_flush_at) {
            trace_flush_at = SteadyClock::now() + kTraceFlushDelay;
        }
    }
    const std::string text = wire::socketcand::FormatFrame(frame, time.seconds, time.microseconds);
    for (const auto& client : clients) {
        if (client->dead || client->state != State::kRaw || client->id == sender) {
            continue;
        }
        if (!Queue(*client, text)) {
            continue;
        }
        if (timing != nullptr) {
            client->timed.emplace_back(client->queued_bytes, seq);
        }
    }
}

void BusHost::Impl::RemoveDeadClients() {
    const std::size_t before = clients.size();
    std::erase_if(clients, [this](const std::unique_ptr<Client>& client) {
        if (client->dead) {
            LogSuppressed(*client);
        }
        if (client->dead &&
            (client->state == State::kRaw || client->farewell.rfind("dropped", 0) == 0)) {
            Log("client " + std::to_string(client->id) + " " + client->farewell);
        }
        return client->dead;
    });
    if (clients.size() < before && trace_flush_at) {
        trace.Flush();
        trace_flush_at.reset();
    }
}

}  // namespace vbus
