// The SLCAN transport: a serial-line CAN adapter (the ASCII protocol of one line per command or
// frame, ended by CR) on a serial port.
//
// One session per port and process, shared by the device's controller and its channel
// (vci/adapter_sessions.h; the port is opened once, for this process alone). Opening the session
// sends `C` (an adapter's channel may have been left open), `N` and `V` in one write, and nothing
// before them: both widely used firmwares take an empty line for their previous line again, which
// after a frame line puts that frame on the bus once more. The controller's initialisation then
// sets the bit rate (`S0`..`S8`) and turns time stamps off (`Z0`, a refusal tolerated: the receive
// side takes lines with or without them); starting the controller opens the CAN channel (`O`),
// stopping it closes it. When the last holder lets the session go, it sends `C` and releases the
// port.
//
// Commands need no answer. Many firmwares answer none (no CR, no BEL, nothing after a frame),
// answer `V` with a line of free text and ignore `N`; others answer every command with CR
// (accepted) or BEL (refused). Answers are matched to commands in the order they were sent:
// a CR or BEL answers the oldest command still waiting, a line of text `N` (if it begins with N
// and one waits) or else `V`, which settles every command sent before it as unanswered (an
// adapter answers in order). Every group of commands ends with `V` (the opening's is its
// question too), the marker every adapter answers: a step waits for it, so what the adapter said
// to each command is known when the step ends, however late it comes, and a refused `S8` or `O`
// fails its step; no wait depends on the machine being quick. An adapter that leaves a `V`
// unanswered for kMarkerMs is asked no more markers: its commands are then taken to have no
// answer once the line has been quiet for kQuietMs. What `V` and `N` bring back at the opening is
// the adapter's version and serial number in the device description (SlcanKnownIdentity); no
// answer is fine.
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
// return false and sends kLost, as a lost virtual bus does. The port is closed then, and the
// next open of the device or of a channel starts a new session on it (an adapter plugged back
// in), set up as the controller set up the one before.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/deadline_timer.h"
#include "vci/adapter_sessions.h"
#include "vci/message.h"
#include "vci/notice.h"
#include "vci/slcan/serial_port.h"
#include "vci/slcan/session.h"
#include "vci/vci_diagnostics.h"
#include "wire/slcan_codec.h"

namespace vci {

namespace {

// Every group of commands ends with `V`, which every adapter answers with a line of text after
// the answers (if any) to what came before it: its answer settles the group, whatever the machine's
// delays. It is given this long, far beyond what a working adapter takes even on a busy machine
// (the kernel's serial-line work alone was seen waiting 0.66 s for a processor there).
constexpr int kMarkerMs = 2000;
// An adapter that left `V` unanswered that long is no longer asked it: a command of its is then
// taken to have no answer once the line has been quiet this long after the last byte received
// (or the write, when nothing came since), and given at most kAnswerTimeoutMs.
constexpr int kQuietMs = 30;
// No write of a command waits longer for the port.
constexpr int kAnswerTimeoutMs = 500;

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

// What V and N brought back the last time this process opened a port, by port.
std::map<std::string, SlcanIdentity>& Identities() {
    static std::map<std::string, SlcanIdentity> identities;
    return identities;
}
std::mutex identities_mutex;  // guards Identities()

// An answer's text as the device description can show it: printable characters only; a serial
// number without its N, "V1013" (the letter and four characters, as the protocol has it) without
// the V; a version in free text as it is.
std::string AnswerText(char letter, std::string_view text) {
    if (letter == 'N' || (text.size() == 5 && text[0] == letter)) {
        text.remove_prefix(1);
    }
    std::string out(text);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            c = '?';
        }
    }
    return out;
}

// Port opens of this process (SlcanPortOpens).
std::atomic<std::uint64_t> port_opens{0};

}  // namespace

class SlcanSession {
  public:
    SlcanSession(std::string port, std::uint32_t baud, std::string name)
        : port_(std::move(port)), baud_(baud), name_(std::move(name)) {}

    ~SlcanSession() {
        if (opened_ && !lost_) {
            Write("C\r");  // its answer is not awaited: the port closes next
        }
        if (refused_ > 0 || skipped_ > 0) {
            Notice(name_.c_str(),
                   "the adapter refused %llu frames or commands (BEL); %llu lines not understood "
                   "were skipped",
                   static_cast<unsigned long long>(refused_),
                   static_cast<unsigned long long>(skipped_));
        }
    }

    VciResult Open(std::string* error) {
        ++port_opens;
        switch (serial_.Open(port_, baud_, error)) {
            case slcan::SerialPort::OpenStatus::kOk:
                break;
            case slcan::SerialPort::OpenStatus::kGone:
                return kVciErrDeviceGone;
            case slcan::SerialPort::OpenStatus::kFailed:
                return kVciErrIo;
        }
        opened_ = true;
        // `V` last: every adapter answers it with a line of text, so its answer marks where the
        // answers to what came before end.
        const std::size_t first = Post({"C", "N", "V"});
        if (first == kNotSent) {
            *error = last_error_;
            return kVciErrIo;
        }
        for (std::size_t i = first; i < exchanges_.size(); ++i) {
            if (!Await(i)) {
                *error = last_error_;
                return kVciErrIo;
            }
        }
        identity_.serial = exchanges_[first + 1].text;
        identity_.version = exchanges_[first + 2].text;
        return kVciOk;
    }

    enum class Answer { kAccepted, kRefused, kNone, kLost };

    // Sends commands in one write, each to be answered in turn (Await, Result), followed by the
    // marker `V` while the adapter answers it. The index of the first in the session's
    // exchanges; kNotSent when the port is lost.
    static constexpr std::size_t kNotSent = static_cast<std::size_t>(-1);
    std::size_t Post(std::initializer_list<std::string_view> commands) {
        std::string lines;
        for (const std::string_view command : commands) {
            lines.append(command);
            lines += '\r';
        }
        const bool marker = marker_answered_ && commands.end()[-1] != "V";
        if (marker) {
            lines += "V\r";
        }
        if (!Write(lines)) {
            return kNotSent;
        }
        const std::size_t first = exchanges_.size();
        const std::int64_t now = base::SteadyNowUs();
        const auto add = [&](std::string_view command) {
            Exchange exchange;
            exchange.query = command == "V" || command == "N";
            exchange.letter = command[0];
            exchange.sent_us = now;
            exchanges_.push_back(exchange);
        };
        for (const std::string_view command : commands) {
            add(command);
        }
        if (marker) {
            add("V");
        }
        return first;
    }

    // Waits until exchange `index` is answered or can be taken to have no answer: until the `V`
    // after it is answered, or, from an adapter that does not answer `V`, the line is quiet.
    // False when the port is lost.
    bool Await(std::size_t index) {
        for (;;) {
            const Exchange& exchange = exchanges_[index];
            if (exchange.state != Exchange::State::kWaiting) {
                return true;
            }
            const std::int64_t sent = exchange.sent_us;
            const std::int64_t until =
                marker_answered_ ? sent + kMarkerMs * 1000
                                 : std::min(sent + kAnswerTimeoutMs * 1000,
                                            std::max(sent, last_byte_us_) + kQuietMs * 1000);
            const std::int64_t now = base::SteadyNowUs();
            if (now >= until) {
                marker_answered_ = false;
                return true;
            }
            const ReadOutcome got = ReadSome(
                until - now, [&](const wire::slcan::Token& token) { Handle(token, nullptr); });
            if (got == ReadOutcome::kLost) {
                return false;
            }
        }
    }

    // The answer of exchange `index` so far (kNone while none came).
    Answer Result(std::size_t index) const {
        if (lost_) {
            return Answer::kLost;
        }
        switch (exchanges_[index].state) {
            case Exchange::State::kAccepted:
                return Answer::kAccepted;
            case Exchange::State::kRefused:
                return Answer::kRefused;
            default:
                return Answer::kNone;
        }
    }

    // The controller's set-up is over: answers that come from now on answer frames.
    void EndExchanges() {
        exchanges_.clear();
        next_ = 0;
        bitrate_exchange_.reset();
    }

    // What vci/adapter_sessions.h asks of a session. The controller's set-up: the bit rate
    // (`S0`..`S8`) and time stamps off (`Z0`, a refusal tolerated: the receive side takes lines
    // with or without them), kVciErrNotSupported for a bit rate refused or that the protocol
    // lacks; starting opens the adapter's CAN channel (`O`; kVciErrIo when refused), stopping
    // closes it (`C`). Each says why on stderr when it fails.
    VciResult Configure(std::uint32_t bitrate);
    VciResult Start(bool start);
    static constexpr bool kEchoesOwnFrames = false;  // the channel queues its own copies
    static constexpr const char* kReceiveFailed = "";

    // Appends what has arrived, waiting at most timeout_us for the first frame. False when the
    // port is lost.
    bool Receive(std::vector<VciMessage>& out, std::int64_t timeout_us) {
        const std::size_t before = out.size();
        if (!TakeKept(kept_, out, lost_)) {
            return false;
        }
        const std::int64_t deadline = base::SteadyNowUs() + std::max<std::int64_t>(0, timeout_us);
        for (;;) {
            const std::int64_t remaining = out.size() > before ? 0 : deadline - base::SteadyNowUs();
            const ReadOutcome got =
                ReadSome(std::max<std::int64_t>(0, remaining),
                         [&](const wire::slcan::Token& token) { Handle(token, &out); });
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
        const std::int64_t deadline = base::SteadyNowUs() + std::max<std::int64_t>(0, budget_us);
        for (;;) {
            const ReadOutcome got =
                ReadSome(0, [&](const wire::slcan::Token& token) { Handle(token, &dropped); });
            if (got == ReadOutcome::kLost) {
                return false;
            }
            if (got == ReadOutcome::kNothing || base::SteadyNowUs() >= deadline) {
                return true;
            }
            dropped.clear();
        }
    }

    Transport::SendResult Send(const VciMessage& message, std::uint32_t timeout_ms) {
        wire::Frame frame;
        frame.id = message.identifier;
        frame.extended = (message.flags & kVciFlagExtended) != 0;
        frame.remote = (message.flags & kVciFlagRemote) != 0;
        frame.length = static_cast<std::uint8_t>(message.flags & kVciFlagLengthMask);
        std::copy(message.data, message.data + frame.length, frame.data.begin());
        wire::slcan::LineBuffer line;
        const std::size_t size = wire::slcan::FormatFrame(frame, std::nullopt, line);
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
        Lose();
        return Transport::SendResult::kLost;
    }

    const std::string& name() const { return name_; }
    const SlcanIdentity& identity() const { return identity_; }
    const std::string& last_error() const { return last_error_; }
    bool lost() const { return lost_; }

  private:
    enum class ReadOutcome { kNothing, kData, kLost };

    template <typename Sink>
    ReadOutcome ReadSome(std::int64_t timeout_us, Sink&& sink) {
        const std::int64_t n = serial_.Read(buffer_, sizeof buffer_, timeout_us);
        if (n < 0) {
            Lose();
            return ReadOutcome::kLost;
        }
        if (n == 0) {
            return ReadOutcome::kNothing;
        }
        last_byte_us_ = base::SteadyNowUs();
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
        Lose();
        return false;
    }

    // The port went away: for good for this session. Another adapter may be plugged in in its
    // place, so what this one said of itself is forgotten (before any new session can start on
    // the port: that waits for this one to be known lost).
    void Lose() {
        lost_ = true;
        last_error_ = serial_.last_error();
        std::lock_guard lock(identities_mutex);
        Identities().erase(port_);
    }

    // One token from the adapter: the answer of a command waiting, or else (Take) a frame, an
    // answer to a send or something to count.
    void Handle(const wire::slcan::Token& token, std::vector<VciMessage>* out) {
        if (!Answers(token)) {
            Take(token, out);
        }
    }

    // Takes the token as the answer to the oldest exchange waiting for one: a CR or BEL answers
    // the oldest one, a line of text the oldest `V`/`N` (those before it had no answer). False
    // when it answers none (a frame, a send's `Z`/`z`, or nothing is waiting).
    bool Answers(const wire::slcan::Token& token) {
        if (next_ >= exchanges_.size()) {
            return false;
        }
        const bool text = token.kind == wire::slcan::Token::Kind::kDiscarded ||
                          (token.kind == wire::slcan::Token::Kind::kLine && !token.text.empty());
        if (!text) {
            Exchange& exchange = exchanges_[next_++];
            exchange.state = token.kind == wire::slcan::Token::Kind::kBell
                                 ? Exchange::State::kRefused
                                 : Exchange::State::kAccepted;
            return true;
        }
        wire::Frame frame;
        std::optional<std::uint16_t> stamp;
        if (token.text == "z" || token.text == "Z" ||
            wire::slcan::ParseFrame(token.text, wire::slcan::TimeStamp::kOptional, &frame,
                                    &stamp)) {
            return false;
        }
        // A line beginning with N answers `N` when one waits before the next `V`; any other line
        // (and that one otherwise) the oldest `V`, the marker.
        const bool serial_line = !token.text.empty() && token.text[0] == 'N';
        std::size_t target = exchanges_.size();
        for (std::size_t i = next_; i < exchanges_.size(); ++i) {
            const Exchange& exchange = exchanges_[i];
            if (exchange.query && exchange.state == Exchange::State::kWaiting &&
                (exchange.letter == 'V' || serial_line)) {
                target = i;
                break;
            }
        }
        if (target == exchanges_.size()) {
            return false;
        }
        for (std::size_t j = next_; j < target; ++j) {
            if (exchanges_[j].state == Exchange::State::kWaiting) {
                exchanges_[j].state = Exchange::State::kUnanswered;
            }
        }
        exchanges_[target].state = Exchange::State::kAccepted;
        exchanges_[target].text = AnswerText(exchanges_[target].letter, token.text);
        next_ = target + 1;
        return true;
    }

    // One token from the adapter outside a command: a frame goes to `out` (or is kept for the
    // next receive), an answer to a send is consumed, anything else is counted.
    void Take(const wire::slcan::Token& token, std::vector<VciMessage>* out = nullptr) {
        if (token.kind == wire::slcan::Token::Kind::kBell) {
            if (refused_++ == 0) {
                Notice(name_.c_str(),
                       "the adapter refused a frame (BEL); further refusals are counted");
            }
            return;
        }
        if (token.kind == wire::slcan::Token::Kind::kDiscarded) {
            ++skipped_;
            return;
        }
        const std::string_view text = token.text;
        if (text.empty() || text == "z" || text == "Z") {
            return;  // the answer to a send (or a late one to a command)
        }
        wire::Frame frame;
        std::optional<std::uint16_t> stamp;
        if (!wire::slcan::ParseFrame(text, wire::slcan::TimeStamp::kOptional, &frame, &stamp)) {
            ++skipped_;
            return;
        }
        (out != nullptr ? *out : kept_).push_back(ReceivedMessage(frame));
    }

    struct Exchange {
        enum class State { kWaiting, kAccepted, kRefused, kUnanswered };
        State state = State::kWaiting;
        bool query = false;  // `V`, `N`: answered by a line of text
        char letter = 0;
        std::int64_t sent_us = 0;
        std::string text;  // a query's answer
    };

    std::string port_;
    std::uint32_t baud_;
    std::string name_;
    slcan::SerialPort serial_;
    wire::slcan::LineSplitter splitter_;
    char buffer_[1024];
    std::vector<VciMessage> kept_;  // frames that came while a command waited for its answer
    bool lost_ = false;
    bool opened_ = false;  // the port was opened: the adapter is closed (`C`) at the end
    // Commands sent since the port was opened, until the controller's set-up ends, and the
    // first that may still be answered.
    std::vector<Exchange> exchanges_;
    std::size_t next_ = 0;
    bool marker_answered_ = true;  // the adapter answers `V` (until a wait for it ran out)
    std::int64_t last_byte_us_ = 0;
    SlcanIdentity identity_;
    std::string last_error_;
    std::uint64_t refused_ = 0;
    std::uint64_t skipped_ = 0;
    // The exchange of the bit rate command of the last set-up while it is kept, and its rate.
    std::optional<std::size_t> bitrate_exchange_;
    std::uint32_t bitrate_ = 0;
};

namespace {

// Says why on stderr when the adapter refused the bit rate command or the port was lost.
VciResult BitrateResult(SlcanSession& session, std::size_t exchange, std::uint32_t bitrate) {
    switch (session.Result(exchange)) {
        case SlcanSession::Answer::kRefused:
            Notice(session.name().c_str(), "the adapter refused S%c (%u bit/s)",
                   *BitrateDigit(bitrate), static_cast<unsigned>(bitrate));
            return kVciErrNotSupported;
        case SlcanSession::Answer::kLost:
            Notice(session.name().c_str(), "%s", session.last_error().c_str());
            return kVciErrIo;
        default:
            return kVciOk;
    }
}

// The adapters' sessions of this process, by port.
AdapterSessions<SlcanSession>& Sessions() {
    static AdapterSessions<SlcanSession> sessions;
    return sessions;
}

// Opens a session on the port: the port opened, the adapter's channel closed, `V` and `N` asked
// (what they brought back is kept for the device list).
AdapterSessions<SlcanSession>::Opener Opener(const std::string& port, std::uint32_t baud,
                                             const std::string& name) {
    return [port, baud, name](VciResult* code, std::string* error) {
        auto session = std::make_shared<SlcanSession>(port, baud, name);
        *code = session->Open(error);
        if (*code != kVciOk) {
            return std::shared_ptr<SlcanSession>();
        }
        std::lock_guard lock(identities_mutex);
        Identities()[port] = session->identity();
        return session;
    };
}

}  // namespace

VciResult SlcanSession::Configure(std::uint32_t bitrate) {
    const std::optional<char> digit = BitrateDigit(bitrate);
    if (!digit) {
        Notice(name_.c_str(), "an SLCAN adapter has no setting for %u bit/s",
               static_cast<unsigned>(bitrate));
        return kVciErrNotSupported;
    }
    // `Z0` is refused by firmware that has no time stamps to turn off.
    const char bitrate_command[3] = {'S', *digit, '\0'};
    const std::size_t first = Post({bitrate_command, "Z0"});
    if (first == kNotSent || !Await(first) || !Await(first + 1)) {
        Notice(name_.c_str(), "%s", last_error_.c_str());
        return kVciErrIo;
    }
    if (const VciResult result = BitrateResult(*this, first, bitrate); result != kVciOk) {
        return result;
    }
    bitrate_exchange_ = first;
    bitrate_ = bitrate;
    return kVciOk;
}

VciResult SlcanSession::Start(bool start) {
    const std::size_t sent = Post({start ? "O" : "C"});
    if (sent == kNotSent || !Await(sent)) {
        Notice(name_.c_str(), "%s", last_error_.c_str());
        return kVciErrIo;
    }
    VciResult code = kVciOk;
    if (start && bitrate_exchange_) {
        // Refused, the bit rate fails the start too (its answer may have come only now from an
        // adapter that answers no `V`).
        code = BitrateResult(*this, *bitrate_exchange_, bitrate_);
    }
    if (code == kVciOk && start && Result(sent) == Answer::kRefused) {
        Notice(name_.c_str(), "the adapter refused to open its CAN channel (O)");
        code = kVciErrIo;
    }
    // `C` is refused by adapters whose channel is closed already.
    EndExchanges();
    return code;
}

std::unique_ptr<BackendController> OpenSlcanController(const std::string& port, std::uint32_t baud,
                                                       const std::string& name) {
    return std::make_unique<SessionController<SlcanSession>>(Sessions(), port,
                                                             Opener(port, baud, name), name);
}

std::unique_ptr<Transport> OpenSlcan(const std::string& port, std::uint32_t baud,
                                     const std::string& name, VciResult* code, std::string* error) {
    return OpenSessionTransport(Sessions(), port, Opener(port, baud, name), code, error);
}

std::optional<SlcanIdentity> SlcanKnownIdentity(const std::string& port) {
    std::lock_guard lock(identities_mutex);
    const auto it = Identities().find(port);
    if (it == Identities().end()) {
        return std::nullopt;
    }
    return it->second;
}

std::uint64_t SlcanPortOpens() {
    return port_opens.load();
}

}  // namespace vci
