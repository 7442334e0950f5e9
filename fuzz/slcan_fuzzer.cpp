// Fuzzes the serial-line CAN codec: any byte stream, cut into reads of any size, through the line
// splitter, the frame parser (as the CAN library reads an adapter) and the command parser (as
// the pseudo-terminal adapter reads a host).
//
// Input: byte 0 seeds the sizes of the reads; the rest is the stream. Besides crashes and
// sanitizer reports the target stops on:
//   - tokens that depend on how the stream was cut into reads;
//   - a line longer than the splitter's limit, or holding a CR, BEL or LF;
//   - a parsed frame that does not fit CAN, or that our own writing does not give back as a line
//     that parses to the same frame and time stamp;
//   - a line that parses as a frame without time stamp but is not a frame command to the adapter,
//     or the other way round.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "wire/can_id.h"
#include "wire/slcan_codec.h"

namespace {

using namespace wire::slcan;
using wire::Frame;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

struct Seen {
    Token::Kind kind;
    std::string text;
    bool operator==(const Seen&) const = default;
};

std::vector<Seen> Split(std::string_view stream, uint8_t seed, bool whole) {
    LineSplitter splitter;
    std::vector<Seen> seen;
    const auto sink = [&](const Token& token) {
        seen.push_back({token.kind, std::string(token.text)});
    };
    if (whole) {
        splitter.Feed(stream, sink);
        return seen;
    }
    uint32_t state = seed * 2654435761u + 1;
    std::size_t at = 0;
    while (at < stream.size()) {
        state = state * 1103515245u + 12345u;
        const std::size_t piece = 1 + (state >> 16) % 40;
        splitter.Feed(stream.substr(at, piece), sink);
        at += piece;
    }
    return seen;
}

void CheckLine(std::string_view line) {
    Check(line.size() <= LineSplitter::kMaxLine);
    Check(line.find_first_of("\r\n\a") == std::string_view::npos);

    Frame frame;
    std::optional<std::uint16_t> stamp;
    if (ParseFrame(line, TimeStamp::kOptional, &frame, &stamp)) {
        Check(frame.length <= 8);
        Check(frame.id <= wire::CanIdMask(frame.extended));
        LineBuffer buffer;
        const std::size_t size = FormatFrame(frame, stamp, buffer);
        Check(size == line.size() + 1 && buffer[size - 1] == kCr);
        Frame again;
        std::optional<std::uint16_t> again_stamp;
        Check(ParseFrame(std::string_view(buffer.data(), size - 1), TimeStamp::kOptional, &again,
                         &again_stamp));
        Check(again == frame && again_stamp == stamp);
    }
    const bool plain_frame = ParseFrame(line, TimeStamp::kForbidden, &frame, &stamp);
    const Command command = ParseCommand(line);
    Check(plain_frame == (command.kind == Command::Kind::kFrame));
    if (plain_frame) {
        Check(command.frame == frame);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::vector<Seen> seen = Split(stream, data[0], false);
    Check(seen == Split(stream, data[0], true));
    for (const Seen& token : seen) {
        if (token.kind == Token::Kind::kLine) {
            CheckLine(token.text);
        } else {
            Check(token.text.empty());
        }
    }
    return 0;
}
