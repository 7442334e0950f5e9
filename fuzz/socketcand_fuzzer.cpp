// Fuzzes the virtual bus's protocol parser: any byte stream, cut into reads of any size, through
// the element splitter and the element parser, as a bus host receives it from a client and as a
// client receives it from a host.
//
// Input: byte 0 picks the side (bit 0: host side), byte 1 seeds the sizes of the reads; the rest
// is the stream. Besides crashes and sanitizer reports the target stops on:
//   - a split that depends on how the stream was cut into reads;
//   - an element or piece longer than the limit, or an element not bracketed by "<" and ">";
//   - a "<" that begins no element or piece (a bad element swallowed the next one);
//   - a parsed frame that does not fit CAN (more than 8 bytes, an identifier beyond 29 bits, an
//     11-bit frame above 0x7FF), or that does not come back the same through our own writing;
//   - a reply that the host would write (an error naming what it refused) that the other side
//     would not read back as exactly one error element.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "wire/can_id.h"
#include "wire/socketcand_protocol.h"

namespace {

using wire::Frame;
using namespace wire::socketcand;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::vector<SplitEvent> SplitWhole(std::string_view stream) {
    ElementSplitter splitter;
    std::vector<SplitEvent> events;
    splitter.Feed(stream, events);
    return events;
}

std::vector<SplitEvent> SplitInReads(std::string_view stream, uint8_t seed) {
    ElementSplitter splitter;
    std::vector<SplitEvent> events;
    uint32_t state = seed * 2654435761u + 1;
    std::size_t at = 0;
    while (at < stream.size()) {
        state = state * 1103515245u + 12345u;
        const std::size_t piece = 1 + (state >> 16) % 64;
        splitter.Feed(stream.substr(at, piece), events);
        at += piece;
    }
    return events;
}

bool SameEvents(const std::vector<SplitEvent>& a, const std::vector<SplitEvent>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].kind != b[i].kind || a[i].text != b[i].text) {
            return false;
        }
    }
    return true;
}

void CheckFrameFits(const Frame& frame) {
    Check(frame.length <= 8);
    Check(frame.id <= wire::kCanExtendedMask);
    Check(frame.extended || frame.id <= wire::kCanStandardMask);
}

// The element, written by us, must split into exactly itself and parse back as `command`.
Element ReadBack(const std::string& written, Command command) {
    const std::vector<SplitEvent> events = SplitWhole(written);
    Check(events.size() == 1 && events[0].kind == SplitEvent::Kind::kElement);
    Element element;
    std::string error;
    Check(ParseElement(events[0].text, &element, &error));
    Check(element.command == command);
    return element;
}

// The host answers a refused line with an error element that names the reason; the reason may
// quote what the client sent.
void CheckErrorReply(const std::string& reason) {
    const Element element = ReadBack(FormatError(reason), Command::kError);
    Check(element.text.size() <= reason.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const bool host_side = (data[0] & 1) != 0;
    const std::string_view stream(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::vector<SplitEvent> events = SplitInReads(stream, data[1]);
    Check(SameEvents(events, SplitWhole(stream)));

    // Each "<" begins one element or bad piece: with one more "<" at the end, which ends what
    // was unfinished, every one of them is reported.
    std::ptrdiff_t reported = 0;
    for (const SplitEvent& event : SplitWhole(std::string(stream) + "<")) {
        reported += event.text.front() == '<' ? 1 : 0;
    }
    Check(reported == std::count(stream.begin(), stream.end(), '<'));

    for (const SplitEvent& event : events) {
        Check(!event.text.empty() && event.text.size() <= kMaxElementLength);
        Check(event.text.find('<', 1) == std::string::npos);
        if (event.kind != SplitEvent::Kind::kElement) {
            if (host_side) {
                CheckErrorReply("malformed input");
            }
            continue;
        }
        Check(event.text.front() == '<' && event.text.back() == '>');
        Element element;
        std::string error;
        if (!ParseElement(event.text, &element, &error)) {
            Check(!error.empty());
            if (host_side) {
                CheckErrorReply(error);
            }
            continue;
        }
        switch (element.command) {
            case Command::kSend: {
                CheckFrameFits(element.frame);
                const Element again = ReadBack(FormatSend(element.frame), Command::kSend);
                Check(again.frame == element.frame);
                break;
            }
            case Command::kFrame: {
                CheckFrameFits(element.frame);
                Check(element.microseconds < 1000000u);
                const Element again =
                    ReadBack(FormatFrame(element.frame, element.seconds, element.microseconds),
                             Command::kFrame);
                Check(again.frame == element.frame && again.seconds == element.seconds &&
                      again.microseconds == element.microseconds);
                break;
            }
            case Command::kOpen:
                Check(!element.text.empty());
                if (host_side) {
                    ReadBack(FormatOpen(element.text), Command::kOpen);
                    CheckErrorReply("no bus named " + element.text + " here");
                }
                break;
            case Command::kError:
                if (!host_side && !element.text.empty()) {
                    // A client keeps the host's last error text; our host writes it so that it
                    // reads back the same.
                    CheckErrorReply(element.text);
                }
                break;
            case Command::kHi:
            case Command::kOk:
            case Command::kRawMode:
                break;
        }
    }
    return 0;
}
