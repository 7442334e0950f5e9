// The SLCAN transport: a serial-line CAN adapter (the ASCII protocol of one line per command or
// frame, ended by CR) on a serial port.
//
// One session per port and process, shared by the device's controller and its channel (the
// port is opened once, for this process alone): the controller's initialisation opens the port
// if need be, flushes the line (a few CRs), closes the adapter's CAN channel (`C`), sets the bit
// rate (`S0`..`S8`) and turns time stamps off (`Z0`, a refusal tolerated: the receive side
// takes lines with or without them); starting the controller opens the CAN channel (`O`),
// stopping it closes it. Each command waits at most kAnswerTimeoutMs for its answer: CR
// accepted, BEL refused. When the last holder lets the session go, it sends `C` and releases
// the port.
//
// Sending writes one `T`/`t` (`R`/`r`) line per frame in one write and does not wait for the
// adapter's answer: adapters answer `Z`/`z` CR, a bare CR or nothing, and the receive side
// consumes whichever comes. A BEL there (the adapter refused a frame) cannot be tied to one
// send, so it fails none: it is counted, said once on stderr when it first happens, and the
// count is given when the session ends. Adapters do not send the host's own frames back: the
// channel queues the copies itself.
//
// Receiving takes `T`/`t`/`R`/`r` lines with or without the 4-digit time stamp (the adapter's
// stamp is not used: the channel stamps frames as it takes them); answers are consumed; any
// other line, a malformed one and a BEL are counted and skipped, never taken for a frame. A
// line may arrive in pieces across reads.
//
// A port that goes away (read or write error, hang-up) ends the session for good: receives
// return false and sends kLost, as a lost virtual bus does.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vci/slcan/serial_port.h"
#include "vci/slcan/slcan_codec.h"
#include "vci/transport.h"
#include "vci/vci_diagnostics.h"
#include "virtual_bus/deadline_timer.h"

namespace vci {

namespace {

// Adapters answer within a few milliseconds; the margin is for a loaded machine.
constexpr int kAnswerTimeoutMs = 500;
// Flushing: CRs end whatever partial command the adapter holds. Their answers are awaited, so
// that none is taken later for the answer to a command: all of them, or, from an adapter that
// has given none, only as long as the line stays this quiet (some do not answer an empty line).
constexpr int kFlushCrs = 3;
constexpr int kFlushQuietMs = 50;

// The `S` digit for a bit rate; nullopt when the protocol has none for it.
std::optional<char> BitrateDigit(std::uint32_t bitrate) {
    constexpr std::uint32_t kRates[] = {10000,  20000,  50000,  100000, 125000,
                                        250000, 500000, 800000, 1000000};
    for (int digit = 0; digit < 9; ++digit) {
        if (kRates[digit] == bitrate) {
            return static_cast<char>('0' + digit);
        }
    }
    return std::nullopt;
}

}  // namespace

class SlcanSession {
  public:
    SlcanSession(std::string port, std::string name)
        : port_(std::move(port)), name_(std::move(name)) {}

    ~SlcanSession() {
        if (commanded_ && !lost_) {
            Write("C\r");  // its answer is not awaited: the port closes next
        }
        if (refused_ > 0 || skipped_ > 0) {
            std::fprintf(stderr,
                         "vci: %s: the adapter refused %llu frames or commands (BEL); %llu lines "
                         "not understood were skipped\n",
                         name_.c_str(), static_cast<unsigned long long>(refused_),
                         static_cast<unsigned long long>(skipped_));
        }
    }

    VciResult Open(std::string* error) {
        switch (serial_.Open(port_, error)) {
            case slcan::SerialPort::OpenStatus::kOk:
                break;
            case slcan::SerialPort::OpenStatus::kGone:
                return kVciErrDeviceGone;
            case slcan::SerialPort::OpenStatus::kFailed:
                return kVciErrIo;
        }
        if (!Write("\r\r\r")) {
            *error = last_error_;
            return kVciErrIo;
        }
        const std::int64_t start = vbus::SteadyNowUs();
        std::int64_t last_byte = start;
        int answers = 0;
        while (answers < kFlushCrs) {
            const std::int64_t now = vbus::SteadyNowUs();
            const std::int64_t until = answers == 0 ? std::min(last_byte + kFlushQuietMs * 1000,
                                                               start + kAnswerTimeoutMs * 1000)
                                                    : start + kAnswerTimeoutMs * 1000;
            if (now >= until) {
                break;
            }
            const ReadOutcome got = ReadSome(until - now, [&](const slcan::Token& token) {
                if (token.kind == slcan::Token::Kind::kBell ||
                    (token.kind == slcan::Token::Kind::kLine && token.text.empty())) {
                    ++answers;
                }
            });
            if (got == ReadOutcome::kLost) {
                *error = last_error_;
                return kVciErrIo;
            }
            if (got == ReadOutcome::kData) {
                last_byte = vbus::SteadyNowUs();
            }
        }
        splitter_.Reset();
        return kVciOk;
    }

    enum class Answer { kAccepted, kRefused, kNone, kLost };
    // Sends one command and waits for its answer; frame lines that come meanwhile are kept for
    // the channel.
    Answer Command(std::string_view command) {
        commanded_ = true;
        std::string line(command);
        line += '\r';
        if (!Write(line)) {
            return Answer::kLost;
        }
        const std::int64_t deadline = vbus::SteadyNowUs() + kAnswerTimeoutMs * 1000;
        std::optional<Answer> answer;
        while (!answer) {
            const std::int64_t now = vbus::SteadyNowUs();
            if (now >= deadline) {
                return Answer::kNone;
            }
            const ReadOutcome got = ReadSome(deadline - now, [&](const slcan::Token& token) {
                if (answer) {
                    Take(token);  // after the answer: the channel's
                } else if (token.kind == slcan::Token::Kind::kBell) {
                    answer = Answer::kRefused;
                } else if (token.kind == slcan::Token::Kind::kLine && token.text.empty()) {
                    answer = Answer::kAccepted;
                } else {
                    Take(token);
                }
            });
            if (got == ReadOutcome::kLost) {
                return Answer::kLost;
            }
        }
        return *answer;
    }

    // Asks `V` or `N` and returns the text of the answer after its letter (empty when none).
    std::string Ask(char letter) {
        const char line[2] = {letter, '\r'};
        if (!Write(std::string_view(line, 2))) {
            return {};
        }
        const std::int64_t deadline = vbus::SteadyNowUs() + kAnswerTimeoutMs * 1000;
        std::optional<std::string> answer;
        while (!answer) {
            const std::int64_t now = vbus::SteadyNowUs();
            if (now >= deadline) {
                return {};
            }
            const ReadOutcome got = ReadSome(deadline - now, [&](const slcan::Token& token) {
                if (answer) {
                    return;
                }
                if (token.kind == slcan::Token::Kind::kBell ||
                    (token.kind == slcan::Token::Kind::kLine && token.text.empty())) {
                    answer = std::string();  // refused, or accepted with nothing to say
                } else if (token.kind == slcan::Token::Kind::kLine && token.text.size() > 1 &&
                           token.text[0] == letter) {
                    answer = std::string(token.text.substr(1));
                }
            });
            if (got == ReadOutcome::kLost) {
                return {};
            }
        }
        return *answer;
    }

    // Appends what has arrived, waiting at most timeout_us for the first frame. False when the
    // port is lost.
    bool Receive(std::vector<VciMessage>& out, std::int64_t timeout_us) {
        const std::size_t before = out.size();
        out.insert(out.end(), kept_.begin(), kept_.end());
        kept_.clear();
        if (lost_) {
            return false;
        }
        const std::int64_t deadline = vbus::SteadyNowUs() + std::max<std::int64_t>(0, timeout_us);
        for (;;) {
            const std::int64_t remaining = out.size() > before ? 0 : deadline - vbus::SteadyNowUs();
            const ReadOutcome got = ReadSome(std::max<std::int64_t>(0, remaining),
                                             [&](const slcan::Token& token) { Take(token, &out); });
            if (got == ReadOutcome::kLost) {
                return false;
            }
            // An answer or part of a line is no frame: wait on for one until the deadline.
            if (out.size() > before || got == ReadOutcome::kNothing || remaining <= 0) {
                return true;
            }
        }
    }

    // Drops every frame that has arrived so far: what the port holds now, and what was kept for
    // the next receive. Reads without waiting for at most budget_us, so a flooded line cannot
    // hold it. False when the port is lost.
    bool DiscardPending(std::int64_t budget_us) {
        kept_.clear();
        std::vector<VciMessage> dropped;
        const std::int64_t deadline = vbus::SteadyNowUs() + std::max<std::int64_t>(0, budget_us);
        for (;;) {
            const ReadOutcome got =
                ReadSome(0, [&](const slcan::Token& token) { Take(token, &dropped); });
            if (got == ReadOutcome::kLost) {
                return false;
            }
            if (got == ReadOutcome::kNothing || vbus::SteadyNowUs() >= deadline) {
                return true;
            }
            dropped.clear();
        }
    }

    Transport::SendResult Send(const VciMessage& message, std::uint32_t timeout_ms) {
        slcan::Frame frame;
        frame.id = message.identifier;
        frame.extended = (message.flags & kVciFlagExtended) != 0;
        frame.remote = (message.flags & kVciFlagRemote) != 0;
        frame.length = static_cast<std::uint8_t>(message.flags & kVciFlagLengthMask);
        std::copy(message.data, message.data + frame.length, frame.data.begin());
        slcan::LineBuffer line;
        const std::size_t size = slcan::FormatFrame(frame, std::nullopt, line);
        switch (
            serial_.Write(std::string_view(line.data(), size), std::int64_t{timeout_ms} * 1000)) {
            case slcan::SerialPort::WriteStatus::kOk:
                return Transport::SendResult::kSent;
            case slcan::SerialPort::WriteStatus::kFull:
                last_error_ = "the serial port takes no more data";
                return Transport::SendResult::kFull;
            case slcan::SerialPort::WriteStatus::kLost:
                break;
        }
        lost_ = true;
        last_error_ = serial_.last_error();
        return Transport::SendResult::kLost;
    }

    const std::string& name() const { return name_; }
    const std::string& last_error() const { return last_error_; }
    bool lost() const { return lost_; }

  private:
    enum class ReadOutcome { kNothing, kData, kLost };

    template <typename Sink>
    ReadOutcome ReadSome(std::int64_t timeout_us, Sink&& sink) {
        const std::int64_t n = serial_.Read(buffer_, sizeof buffer_, timeout_us);
        if (n < 0) {
            lost_ = true;
            last_error_ = serial_.last_error();
            return ReadOutcome::kLost;
        }
        if (n == 0) {
            return ReadOutcome::kNothing;
        }
        splitter_.Feed(std::string_view(buffer_, static_cast<std::size_t>(n)), sink);
        return ReadOutcome::kData;
    }

    bool Write(std::string_view bytes) {
        switch (serial_.Write(bytes, kAnswerTimeoutMs * 1000)) {
            case slcan::SerialPort::WriteStatus::kOk:
                return true;
            case slcan::SerialPort::WriteStatus::kFull:
                last_error_ = "the serial port takes no more data";
                return false;
            case slcan::SerialPort::WriteStatus::kLost:
                break;
        }
        lost_ = true;
        last_error_ = serial_.last_error();
        return false;
    }

    // One token from the adapter outside a command: a frame goes to `out` (or is kept for the
    // next receive), an answer to a send is consumed, anything else is counted.
    void Take(const slcan::Token& token, std::vector<VciMessage>* out = nullptr) {
        if (token.kind == slcan::Token::Kind::kBell) {
            if (refused_++ == 0) {
                std::fprintf(stderr,
                             "vci: %s: the adapter refused a frame (BEL); further refusals are "
                             "counted\n",
                             name_.c_str());
            }
            return;
        }
        if (token.kind == slcan::Token::Kind::kDiscarded) {
            ++skipped_;
            return;
        }
        const std::string_view text = token.text;
        if (text.empty() || text == "z" || text == "Z") {
            return;  // the answer to a send (or a late one to a command)
        }
        slcan::Frame frame;
        std::optional<std::uint16_t> stamp;
        if (!slcan::ParseFrame(text, slcan::TimeStamp::kOptional, &frame, &stamp)) {
            ++skipped_;
            return;
        }
        VciMessage message{};
        message.identifier = frame.id;
        message.type = kVciMessageData;
        message.flags =
            static_cast<std::uint8_t>(frame.length | (frame.extended ? kVciFlagExtended : 0) |
                                      (frame.remote ? kVciFlagRemote : 0));
        if (!frame.remote) {
            std::copy(frame.data.begin(), frame.data.begin() + frame.length, message.data);
        }
        (out != nullptr ? *out : kept_).push_back(message);
    }

    std::string port_;
    std::string name_;
    slcan::SerialPort serial_;
    slcan::LineSplitter splitter_;
    char buffer_[1024];
    std::vector<VciMessage> kept_;  // frames that came while a command waited for its answer
    bool lost_ = false;
    bool commanded_ = false;  // the adapter was set up: it is closed (`C`) at the end
    std::string last_error_;
    std::uint64_t refused_ = 0;
    std::uint64_t skipped_ = 0;
};

namespace {

// The sessions of this process, by port: a controller and a channel of one adapter share one.
std::map<std::string, std::weak_ptr<SlcanSession>>& Sessions() {
    static std::map<std::string, std::weak_ptr<SlcanSession>> sessions;
    return sessions;
}
std::mutex sessions_mutex;

std::shared_ptr<SlcanSession> FindSession(const std::string& port) {
    std::lock_guard lock(sessions_mutex);
    const auto it = Sessions().find(port);
    return it == Sessions().end() ? nullptr : it->second.lock();
}

// The session on this port, opened if none is open. Null on failure, with the code and why.
std::shared_ptr<SlcanSession> AcquireSession(const std::string& port, const std::string& name,
                                             VciResult* code, std::string* error) {
    if (std::shared_ptr<SlcanSession> session = FindSession(port)) {
        if (session->lost()) {
            *code = kVciErrIo;
            *error = session->last_error();
            return nullptr;
        }
        *code = kVciOk;
        return session;
    }
    auto session = std::make_shared<SlcanSession>(port, name);
    *code = session->Open(error);
    if (*code != kVciOk) {
        return nullptr;
    }
    std::lock_guard lock(sessions_mutex);
    Sessions()[port] = session;
    return session;
}

class SlcanTransport final : public Transport {
  public:
    explicit SlcanTransport(std::shared_ptr<SlcanSession> session) : session_(std::move(session)) {}

    bool Receive(std::vector<VciMessage>& out, std::int64_t timeout_us) override {
        if (!session_->Receive(out, timeout_us)) {
            last_error_ = session_->last_error();
            return false;
        }
        return true;
    }

    SendResult Send(const VciMessage& message, std::uint32_t timeout_ms,
                    std::size_t /*queued_limit: the port's buffer decides*/) override {
        const SendResult result = session_->Send(message, timeout_ms);
        if (result != SendResult::kSent) {
            last_error_ = session_->last_error();
        }
        return result;
    }

    // An adapter keeps sending while the channel is inactive; reads on the inactive channel
    // drop what it sends, and activation drops what the port holds by then.
    bool StartReceiving(std::int64_t timeout_us) override {
        if (!session_->DiscardPending(timeout_us)) {
            last_error_ = session_->last_error();
            return false;
        }
        return true;
    }

    bool echoes_own_frames() const override { return false; }

  private:
    std::shared_ptr<SlcanSession> session_;
};

}  // namespace

VciResult SlcanInitController(const std::string& port, const std::string& name,
                              std::uint32_t bitrate, std::shared_ptr<SlcanSession>* session) {
    const std::optional<char> digit = BitrateDigit(bitrate);
    if (!digit) {
        std::fprintf(stderr, "vci: %s: an SLCAN adapter has no setting for %u bit/s\n",
                     name.c_str(), static_cast<unsigned>(bitrate));
        return kVciErrNotSupported;
    }
    VciResult code = kVciOk;
    std::string error;
    std::shared_ptr<SlcanSession> opened = AcquireSession(port, name, &code, &error);
    if (!opened) {
        std::fprintf(stderr, "vci: %s: %s\n", name.c_str(), error.c_str());
        return code;
    }
    const char bitrate_command[3] = {'S', *digit, '\0'};
    struct Step {
        const char* command;
        bool must_accept;
    };
    // `C` is refused by adapters whose channel is closed already; `Z0` by firmware that has no
    // time stamps to turn off.
    for (const Step& step : {Step{"C", false}, Step{bitrate_command, true}, Step{"Z0", false}}) {
        switch (opened->Command(step.command)) {
            case SlcanSession::Answer::kAccepted:
                break;
            case SlcanSession::Answer::kRefused:
                if (step.must_accept) {
                    std::fprintf(stderr, "vci: %s: the adapter refused %s (%u bit/s)\n",
                                 name.c_str(), step.command, static_cast<unsigned>(bitrate));
                    return kVciErrNotSupported;
                }
                break;
            case SlcanSession::Answer::kNone:
                std::fprintf(stderr,
                             "vci: %s: no answer from the adapter on %s to %s within %d ms\n",
                             name.c_str(), port.c_str(), step.command, kAnswerTimeoutMs);
                return kVciErrIo;
            case SlcanSession::Answer::kLost:
                std::fprintf(stderr, "vci: %s: %s\n", name.c_str(), opened->last_error().c_str());
                return kVciErrIo;
        }
    }
    *session = std::move(opened);
    return kVciOk;
}

VciResult SlcanStartController(SlcanSession& session, bool start) {
    const char* command = start ? "O" : "C";
    switch (session.Command(command)) {
        case SlcanSession::Answer::kAccepted:
            return kVciOk;
        case SlcanSession::Answer::kRefused:
            if (!start) {
                return kVciOk;  // closed already
            }
            std::fprintf(stderr, "vci: %s: the adapter refused to open its CAN channel (O)\n",
                         session.name().c_str());
            return kVciErrIo;
        case SlcanSession::Answer::kNone:
            std::fprintf(stderr, "vci: %s: no answer from the adapter to %s within %d ms\n",
                         session.name().c_str(), command, kAnswerTimeoutMs);
            return kVciErrIo;
        case SlcanSession::Answer::kLost:
            break;
    }
    std::fprintf(stderr, "vci: %s: %s\n", session.name().c_str(), session.last_error().c_str());
    return kVciErrIo;
}

std::unique_ptr<Transport> OpenSlcan(const std::string& port, const std::string& name,
                                     VciResult* code, std::string* error) {
    std::shared_ptr<SlcanSession> session = AcquireSession(port, name, code, error);
    if (!session) {
        return nullptr;
    }
    return std::make_unique<SlcanTransport>(std::move(session));
}

bool QuerySlcanAdapter(const std::string& port, bool ask, std::string* version,
                       std::string* serial) {
    if (FindSession(port) != nullptr) {
        return true;  // in use by this process: there, and not disturbed
    }
    SlcanSession session(port, port);
    std::string error;
    const VciResult code = session.Open(&error);
    if (code == kVciErrDeviceGone) {
        return false;
    }
    if (code == kVciOk && ask) {
        *version = session.Ask('V');
        *serial = session.Ask('N');
    }
    return true;
}

}  // namespace vci
