#include "virtual_bus/bus_client.h"

#include <algorithm>
#include <chrono>

namespace vbus {

namespace {

// Bytes read per call, so that a caller is never held up indefinitely by a flood.
constexpr int kReadsPerCall = 16;

}  // namespace

void BusClient::ElementQueue::pop_front() {
    if (++begin_ == end_) {
        begin_ = end_ = 0;
    }
}

void BusClient::ElementQueue::push_back(std::string_view text) {
    if (end_ == items_.size() && begin_ > 0) {
        // Move the live elements to the front; the handled strings keep their buffers.
        std::rotate(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(begin_),
                    items_.begin() + static_cast<std::ptrdiff_t>(end_));
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == items_.size()) {
        items_.emplace_back(text);
    } else {
        items_[end_].assign(text);
    }
    ++end_;
}

BusClient::~BusClient() {
    Close();
}

void BusClient::Close() {
    timer_.Forget();
    socket_.Close();
    splitter_ = wire::socketcand::ElementSplitter();
    elements_.clear();
    out_.clear();
    out_sent_ = 0;
}

bool BusClient::connected() const {
    return socket_.valid();
}

bool BusClient::Connect(const std::string& host, std::uint16_t port, const std::string& bus,
                        std::string* error, int timeout_ms) {
    Close();
    const std::int64_t deadline = base::SteadyNowUs() + std::int64_t{timeout_ms} * 1000;
    if (base::net::ConnectTcp(host, port, timeout_ms, &socket_, error) !=
        base::net::ConnectStatus::kOk) {
        return false;
    }
    if (!Handshake(bus.empty() ? DefaultBusName(port) : bus, deadline, error)) {
        Close();
        return false;
    }
    return true;
}

bool BusClient::Handshake(const std::string& bus, std::int64_t deadline, std::string* error) {
    wire::socketcand::Element element;
    if (!NextElement(&element, deadline, error)) {
        return false;
    }
    if (element.command != wire::socketcand::Command::kHi) {
        *error = "the host did not greet with < hi >";
        return false;
    }
    const auto request = [&](const std::string& text, const std::string& what) {
        out_ += text;
        if (!Flush(std::max<std::int64_t>(0, deadline - base::SteadyNowUs())) || !out_.empty()) {
            *error = "the host did not take the " + what + " request";
            return false;
        }
        if (!NextElement(&element, deadline, error)) {
            return false;
        }
        if (element.command == wire::socketcand::Command::kError) {
            *error = "the host refused " + what + ": " + element.text;
            return false;
        }
        if (element.command != wire::socketcand::Command::kOk) {
            *error = "unexpected reply to " + what;
            return false;
        }
        return true;
    };
    return request(wire::socketcand::FormatOpen(bus), "open " + bus) &&
           request(wire::socketcand::FormatRawMode(), "rawmode");
}

bool BusClient::NextElement(wire::socketcand::Element* element, std::int64_t deadline_us,
                            std::string* error) {
    for (;;) {
        while (!elements_.empty()) {
            std::string parse_error;
            const bool ok =
                wire::socketcand::ParseElement(elements_.front(), element, &parse_error);
            elements_.pop_front();
            if (ok) {
                return true;
            }
            ++ignored_elements_;
        }
        const std::int64_t remaining = deadline_us - base::SteadyNowUs();
        if (remaining <= 0) {
            *error = "no reply from the host in time";
            return false;
        }
        if (WaitSocket(remaining, true, false) && !ReadAvailable() && elements_.empty()) {
            *error = "the host closed the connection";
            return false;
        }
    }
}

bool BusClient::WaitSocket(std::int64_t timeout_us, bool read, bool write) {
    poll_.assign(1, base::net::PollEntry{socket_.get(), read, write});
    return base::net::Poll(poll_, timeout_us) > 0;
}

bool BusClient::ReadAvailable() {
    char buffer[4096];
    for (int reads = 0; reads < kReadsPerCall; ++reads) {
        const base::net::IoResult result = base::net::Receive(socket_, buffer, sizeof buffer);
        if (result.status == base::net::IoStatus::kWouldBlock) {
            return true;
        }
        if (result.status != base::net::IoStatus::kOk) {
            return false;
        }
        splitter_.FeedTo(std::string_view(buffer, result.bytes),
                         [this](wire::socketcand::SplitEvent::Kind kind, std::string_view text) {
                             if (kind == wire::socketcand::SplitEvent::Kind::kElement) {
                                 elements_.push_back(text);
                             } else {
                                 ++ignored_elements_;
                             }
                         });
        if (result.bytes < sizeof buffer) {
            return true;  // that read emptied the socket: no need to ask again
        }
    }
    return true;
}

bool BusClient::WriteAvailable() {
    while (out_sent_ < out_.size()) {
        const base::net::IoResult result =
            base::net::Send(socket_, out_.data() + out_sent_, out_.size() - out_sent_);
        if (result.status == base::net::IoStatus::kWouldBlock) {
            break;
        }
        if (result.status != base::net::IoStatus::kOk) {
            return false;
        }
        out_sent_ += result.bytes;
    }
    if (out_sent_ == out_.size()) {
        out_.clear();
        out_sent_ = 0;
    }
    return true;
}

bool BusClient::Queue(const Frame& frame) {
    if (!connected()) {
        return false;
    }
    wire::socketcand::AppendSend(out_, frame);
    if (!WriteAvailable()) {
        Close();
        return false;
    }
    return true;
}

bool BusClient::Flush(std::int64_t timeout_us) {
    if (!connected()) {
        return false;
    }
    const std::int64_t deadline = base::SteadyNowUs() + std::max<std::int64_t>(0, timeout_us);
    for (;;) {
        if (!WriteAvailable()) {
            Close();
            return false;
        }
        const std::int64_t remaining = deadline - base::SteadyNowUs();
        if (out_.empty() || remaining <= 0) {
            return true;
        }
        WaitSocket(remaining, false, true);
    }
}

bool BusClient::RequestMark() {
    if (!connected()) {
        return false;
    }
    out_ += wire::socketcand::FormatRawMode();
    if (!WriteAvailable()) {
        Close();
        return false;
    }
    return true;
}

std::size_t BusClient::pending_frames() const {
    return static_cast<std::size_t>(
        std::count(out_.begin() + static_cast<std::ptrdiff_t>(out_sent_), out_.end(), '>'));
}

bool BusClient::Send(const Frame& frame) {
    if (!Queue(frame)) {
        return false;
    }
    const std::int64_t stall_us = std::int64_t{send_stall_ms_} * 1000;
    std::int64_t stalled_at =
        base::SteadyNowUs() + stall_us;  // moves on with every byte the host takes
    while (!out_.empty()) {
        const std::size_t unsent = out_.size() - out_sent_;
        const std::int64_t remaining = stalled_at - base::SteadyNowUs();
        if (remaining <= 0) {
            Close();  // not one byte taken for a whole stall period
            return false;
        }
        WaitSocket(remaining, false, true);
        if (!WriteAvailable()) {
            Close();
            return false;
        }
        if (out_.size() - out_sent_ < unsent) {
            stalled_at = base::SteadyNowUs() + stall_us;
        }
    }
    return true;
}

bool BusClient::Receive(std::vector<Frame>& out, std::int64_t timeout_us) {
    if (!connected()) {
        return false;
    }
    const std::size_t before = out.size();
    const std::int64_t deadline = base::SteadyNowUs() + std::max<std::int64_t>(0, timeout_us);
    // A caller that waits has usually just taken everything: wait first, then read, rather than
    // ask an empty socket.
    if (timeout_us > 0 && elements_.empty() && out_.empty() && !WaitUntil(deadline, false)) {
        return true;  // nothing came
    }
    for (;;) {
        const bool alive = WriteAvailable() && ReadAvailable();
        while (!elements_.empty()) {
            wire::socketcand::Element element;
            std::string parse_error;
            const bool parsed =
                wire::socketcand::ParseElement(elements_.front(), &element, &parse_error);
            if (parsed && element.command == wire::socketcand::Command::kFrame) {
                out.push_back(element.frame);
            } else if (parsed && element.command == wire::socketcand::Command::kOk) {
                elements_.pop_front();
                ++marks_;
                return true;  // a loss shows at the next call
            } else {
                ++ignored_elements_;
            }
            elements_.pop_front();
        }
        if (!alive) {
            Close();
            return false;
        }
        if (out.size() > before || base::SteadyNowUs() >= deadline ||
            !WaitUntil(deadline, !out_.empty())) {
            return true;
        }
    }
}

bool BusClient::WaitUntil(std::int64_t deadline_us, bool write) {
    return base::WaitUntil(timer_, socket_.get(), deadline_us, write, poll_);
}

bool ProbeHost(std::uint16_t port, int timeout_ms) {
    BusClient client;
    std::string error;
    return client.Connect("127.0.0.1", port, "", &error, timeout_ms);
}

}  // namespace vbus
