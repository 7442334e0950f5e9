#include "wire/socketcand_protocol.h"
#include "wire/can_id.h"

#include <array>
#include <cstdio>

#include "base/parse.h"

namespace wire::socketcand {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// 1 to max_digits hex digits, nothing else.
bool ParseHex(std::string_view token, std::size_t max_digits, std::uint32_t* value) {
    return token.size() <= max_digits && base::ParseHexDigits(token, value);
}

// The blank-separated tokens of an element, without allocating: the first kKept are kept, the
// rest only counted (no element of the protocol has more than 11 tokens).
class Tokens {
  public:
    explicit Tokens(std::string_view text) {
        std::size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && IsSpace(text[i])) {
                ++i;
            }
            const std::size_t start = i;
            while (i < text.size() && !IsSpace(text[i])) {
                ++i;
            }
            if (i > start) {
                if (count_ < kKept) {
                    kept_[count_] = text.substr(start, i - start);
                }
                ++count_;
            }
        }
    }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // Token i, for i < size(); a token beyond the kept ones reads as empty.
    std::string_view operator[](std::size_t i) const { return i < kKept ? kept_[i] : ""; }

  private:
    static constexpr std::size_t kKept = 16;
    std::array<std::string_view, kKept> kept_{};
    std::size_t count_ = 0;
};

// The tokens after the command word.
class Args {
  public:
    explicit Args(const Tokens& tokens) : tokens_(tokens) {}
    std::size_t size() const { return tokens_.size() - 1; }
    bool empty() const { return size() == 0; }
    std::string_view operator[](std::size_t i) const { return tokens_[i + 1]; }

  private:
    const Tokens& tokens_;
};

// "SEC.USEC": up to 19 digits of seconds (fits 64 bits), 1 to 6 digits of fraction.
bool ParseTimeStamp(std::string_view token, std::uint64_t* seconds, std::uint32_t* micros) {
    const std::size_t dot = token.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot > 19 || token.size() - dot - 1 == 0 ||
        token.size() - dot - 1 > 6) {
        return false;
    }
    std::uint64_t whole = 0;
    for (const char c : token.substr(0, dot)) {
        if (c < '0' || c > '9') {
            return false;
        }
        whole = whole * 10 + static_cast<std::uint64_t>(c - '0');
    }
    std::uint32_t fraction = 0;
    std::size_t digits = 0;
    for (const char c : token.substr(dot + 1)) {
        if (c < '0' || c > '9') {
            return false;
        }
        fraction = fraction * 10 + static_cast<std::uint32_t>(c - '0');
        ++digits;
    }
    for (; digits < 6; ++digits) {
        fraction *= 10;
    }
    *seconds = whole;
    *micros = fraction;
    return true;
}

bool Fail(std::string* error, std::string text) {
    *error = std::move(text);
    return false;
}

bool ParseFrameElement(const Args& args, Element* out, std::string* error) {
    // ID SEC.USEC [HEXDATA]: a frame without data has no data token.
    if (args.size() < 2 || args.size() > 3) {
        return Fail(error, "frame needs an identifier, a time stamp and the data");
    }
    if (!ParseIdentifier(args[0], &out->frame.id, &out->frame.extended)) {
        return Fail(error, "bad identifier '" + std::string(args[0]) + "'");
    }
    if (!ParseTimeStamp(args[1], &out->seconds, &out->microseconds)) {
        return Fail(error, "bad time stamp '" + std::string(args[1]) + "'");
    }
    const std::string_view data = args.size() == 3 ? args[2] : std::string_view{};
    if (data.size() % 2 != 0 || data.size() > 16) {
        return Fail(error, "bad data '" + std::string(data) + "'");
    }
    out->frame.length = static_cast<std::uint8_t>(data.size() / 2);
    for (std::size_t i = 0; i < out->frame.length; ++i) {
        std::uint32_t byte = 0;
        if (!ParseHex(data.substr(2 * i, 2), 2, &byte)) {
            return Fail(error, "bad data '" + std::string(data) + "'");
        }
        out->frame.data[i] = static_cast<std::uint8_t>(byte);
    }
    return true;
}

bool ParseSendElement(const Args& args, Element* out, std::string* error) {
    // ID LEN B0 .. B(LEN-1); bytes of 1 or 2 hex digits (python-can does not pad).
    if (args.size() < 2) {
        return Fail(error, "send needs an identifier and a length");
    }
    if (!ParseIdentifier(args[0], &out->frame.id, &out->frame.extended)) {
        return Fail(error, "bad identifier '" + std::string(args[0]) + "'");
    }
    std::uint32_t length = 0;
    if (!ParseHex(args[1], 1, &length) || length > 8) {
        return Fail(error, "bad length '" + std::string(args[1]) + "'");
    }
    if (args.size() != 2 + length) {
        return Fail(error, "length " + std::to_string(length) + " but " +
                               std::to_string(args.size() - 2) + " data bytes");
    }
    out->frame.length = static_cast<std::uint8_t>(length);
    for (std::size_t i = 0; i < length; ++i) {
        std::uint32_t byte = 0;
        if (!ParseHex(args[2 + i], 2, &byte)) {
            return Fail(error, "bad data byte '" + std::string(args[2 + i]) + "'");
        }
        out->frame.data[i] = static_cast<std::uint8_t>(byte);
    }
    return true;
}

}  // namespace

void ElementSplitter::Feed(std::string_view bytes, std::vector<SplitEvent>& out) {
    FeedTo(bytes, [&out](SplitEvent::Kind kind, std::string_view text) {
        out.push_back({kind, std::string(text)});
    });
}

bool ParseIdentifier(std::string_view token, std::uint32_t* id, bool* extended) {
    std::uint32_t value = 0;
    if (!ParseHex(token, 8, &value) || value > kCanExtendedMask) {
        return false;
    }
    *id = value;
    *extended = value > kCanStandardMask || token.size() == 8;
    return true;
}

bool ParseElement(std::string_view element, Element* out, std::string* error) {
    if (element.size() < 2 || element.front() != '<' || element.back() != '>') {
        return Fail(error, "not an element");
    }
    const std::string_view inner = element.substr(1, element.size() - 2);
    const Tokens tokens(inner);
    if (tokens.empty()) {
        return Fail(error, "empty element");
    }
    out->command = Command::kHi;
    out->text.clear();  // keeps its capacity: parsing a frame allocates nothing
    out->frame = Frame{};
    out->seconds = 0;
    out->microseconds = 0;
    const std::string_view command = tokens[0];
    const Args args(tokens);
    const auto no_args = [&](Command c) {
        if (!args.empty()) {
            return Fail(error, std::string(command) + " takes no argument");
        }
        out->command = c;
        return true;
    };
    if (command == "hi") {
        return no_args(Command::kHi);
    }
    if (command == "ok") {
        return no_args(Command::kOk);
    }
    if (command == "rawmode") {
        return no_args(Command::kRawMode);
    }
    if (command == "open") {
        if (args.size() != 1) {
            return Fail(error, "open needs one bus name");
        }
        if (!IsValidBusName(args[0])) {
            return Fail(error, "bus names are 1 to " + std::to_string(kMaxBusNameLength) +
                                   " printable characters");
        }
        out->command = Command::kOpen;
        out->text = std::string(args[0]);
        return true;
    }
    if (command == "error") {
        out->command = Command::kError;
        // The message as written, without the word "error" and the surrounding blanks.
        std::string_view text = inner.substr(inner.find("error") + 5);
        while (!text.empty() && IsSpace(text.front())) {
            text.remove_prefix(1);
        }
        while (!text.empty() && IsSpace(text.back())) {
            text.remove_suffix(1);
        }
        out->text = std::string(text);
        return true;
    }
    if (command == "frame") {
        out->command = Command::kFrame;
        return ParseFrameElement(args, out, error);
    }
    if (command == "send") {
        out->command = Command::kSend;
        return ParseSendElement(args, out, error);
    }
    return Fail(error, "unknown command '" + std::string(command) + "'");
}

std::string FormatHi() {
    return "< hi >";
}
bool IsValidBusName(std::string_view name) {
    if (name.empty() || name.size() > kMaxBusNameLength) {
        return false;
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte == 0x7f || c == '<' || c == '>') {
            return false;
        }
    }
    return true;
}

std::string FormatOpen(std::string_view bus) {
    return "< open " + std::string(bus) + " >";
}
std::string FormatOk() {
    return "< ok >";
}
std::string FormatRawMode() {
    return "< rawmode >";
}

std::string FormatError(std::string_view text) {
    // The reason may quote a refused line: cut it so that the element stays within the length
    // that every reader accepts.
    constexpr std::string_view kCut = "...";
    constexpr std::size_t kRoom = kMaxElementLength - std::string_view("< error  >").size();
    if (text.size() > kRoom) {
        return FormatError(std::string(text.substr(0, kRoom - kCut.size())) + std::string(kCut));
    }
    std::string clean;
    for (const char c : text) {
        const bool bad = c == '<' || c == '>' || static_cast<unsigned char>(c) < 0x20 ||
                         static_cast<unsigned char>(c) >= 0x7F;
        clean.push_back(bad ? '?' : c);
    }
    return "< error " + clean + " >";
}

std::string FormatIdentifier(const Frame& frame) {
    char buffer[16];
    if (frame.extended) {
        std::snprintf(buffer, sizeof buffer, "%08X",
                      static_cast<unsigned>(frame.id & kCanExtendedMask));
    } else {
        std::snprintf(buffer, sizeof buffer, "%03X",
                      static_cast<unsigned>(frame.id & kCanStandardMask));
    }
    return buffer;
}

std::string FormatFrame(const Frame& frame, std::uint64_t seconds, std::uint32_t microseconds) {
    // The data token is written even when empty ("< frame 123 1.000000  >"): python-can's
    // client expects a third field. The one space after ">" keeps python-can from losing the
    // "<" of a following element that a read splits: it drops one character after the last
    // element it parsed.
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%llu.%06u", static_cast<unsigned long long>(seconds),
                  static_cast<unsigned>(microseconds % 1000000u));
    std::string text = "< frame " + FormatIdentifier(frame) + " " + stamp + " ";
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < frame.length && i < frame.data.size(); ++i) {
        text.push_back(kHex[frame.data[i] >> 4]);
        text.push_back(kHex[frame.data[i] & 0x0F]);
    }
    text += " > ";
    return text;
}

std::string FormatSend(const Frame& frame) {
    std::string text;
    AppendSend(text, frame);
    return text;
}

void AppendSend(std::string& out, const Frame& frame) {
    const std::size_t length = frame.length <= 8 ? frame.length : 8;
    static constexpr char kHex[] = "0123456789ABCDEF";
    char text[64];
    std::size_t used = 0;
    for (const char c : std::string_view("< send ")) {
        text[used++] = c;
    }
    const std::uint32_t id = frame.id & CanIdMask(frame.extended);
    for (int shift = frame.extended ? 28 : 8; shift >= 0; shift -= 4) {
        text[used++] = kHex[(id >> shift) & 0x0F];
    }
    text[used++] = ' ';
    text[used++] = static_cast<char>('0' + length);
    for (std::size_t i = 0; i < length; ++i) {
        text[used++] = ' ';
        text[used++] = kHex[frame.data[i] >> 4];
        text[used++] = kHex[frame.data[i] & 0x0F];
    }
    text[used++] = ' ';
    text[used++] = '>';
    out.append(text, used);
}

}  // namespace wire::socketcand
