// The socketcand ASCII protocol in raw mode, as pure functions (no I/O): splitting a byte stream
// into "< ... >" elements, and parsing and formatting each element.
//
// The exchange:  host "< hi >"; client "< open BUS >"; host "< ok >" (or "< error TEXT >");
// client "< rawmode >"; host "< ok >". Then the host sends every bus frame as
// "< frame ID SEC.USEC HEXDATA > " and the client sends "< send ID LEN B0 B1 ... >".
//
// Identifiers: we write 29-bit identifiers as exactly 8 hex digits and 11-bit ones as 3. When
// reading we accept 1 to 8 hex digits in either case; an identifier is 29-bit when its value is
// above 0x7FF or when it is written with 8 digits (python-can writes "%X", so 0x0CEFC300 arrives
// as the 7-digit "CEFC300").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire/frame.h"

namespace wire::socketcand {

// Longest element accepted, brackets included. Our longest element, a frame with 8 data bytes
// and a 20-digit second count, is about 60 characters.
inline constexpr std::size_t kMaxElementLength = 200;

struct SplitEvent {
    enum class Kind {
        kElement,    // text: a complete element, "<" to ">"
        kMalformed,  // text: bytes that belong to no element (or an element cut by a new "<")
        kOversized,  // text: the first bytes of an element longer than the limit (dropped whole)
    };
    Kind kind = Kind::kElement;
    std::string text;
};

// Splits a byte stream, fed in pieces of any size, into elements. Whitespace between elements is
// ignored. An element longer than the limit is reported once and skipped up to its ">" (or up to
// a "<", which begins the next element); a "<" inside an element reports the part before it as
// malformed and starts a new element, so one bad element never swallows the next good one.
class ElementSplitter {
  public:
    explicit ElementSplitter(std::size_t max_length = kMaxElementLength)
        : max_length_(max_length) {}

    void Feed(std::string_view bytes, std::vector<SplitEvent>& out);
    // The same events handed to sink(SplitEvent::Kind, std::string_view text) as they are found;
    // the text is valid only during the call. Allocates nothing once the splitter's own buffers
    // have grown to the longest element.
    template <class Sink>
    void FeedTo(std::string_view bytes, Sink&& sink);
    // True while part of an element (or of stray bytes) is waiting for the rest.
    bool mid_element() const { return state_ != State::kBetween || !junk_.empty(); }

  private:
    enum class State { kBetween, kInElement, kSkipping };
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    std::size_t max_length_;
    State state_ = State::kBetween;
    std::string current_;
    std::string junk_;
};

template <class Sink>
void ElementSplitter::FeedTo(std::string_view bytes, Sink&& sink) {
    const auto flush_junk = [&] {
        if (!junk_.empty()) {
            sink(SplitEvent::Kind::kMalformed, std::string_view(junk_));
            junk_.clear();
        }
    };
    std::size_t i = 0;
    while (i < bytes.size()) {
        switch (state_) {
            case State::kBetween: {
                const char c = bytes[i++];
                if (c == '<') {
                    flush_junk();
                    current_.assign(1, c);
                    state_ = State::kInElement;
                } else if (IsBlank(c)) {
                    flush_junk();
                } else {
                    junk_.push_back(c);
                    if (junk_.size() >= max_length_) {
                        flush_junk();
                    }
                }
                break;
            }
            case State::kInElement: {
                // Take the run up to the next bracket at once, as far as the limit allows.
                std::size_t run_end = i;
                while (run_end < bytes.size() && bytes[run_end] != '<' && bytes[run_end] != '>') {
                    ++run_end;
                }
                const std::size_t room =
                    current_.size() < max_length_ ? max_length_ - current_.size() : 0;
                if (run_end - i > room) {
                    // The element reaches the limit within this run: the byte after it ends it.
                    current_.append(bytes.data() + i, room);
                    sink(SplitEvent::Kind::kOversized, std::string_view(current_));
                    current_.clear();
                    state_ = State::kSkipping;
                    i += room + 1;
                    break;
                }
                current_.append(bytes.data() + i, run_end - i);
                i = run_end;
                if (i == bytes.size()) {
                    break;
                }
                const char c = bytes[i++];
                if (c == '<') {
                    sink(SplitEvent::Kind::kMalformed, std::string_view(current_));
                    current_.assign(1, c);
                } else if (current_.size() >= max_length_) {  // c is '>', one beyond the limit
                    sink(SplitEvent::Kind::kOversized, std::string_view(current_));
                    current_.clear();
                    state_ = State::kBetween;
                } else {
                    current_.push_back(c);
                    sink(SplitEvent::Kind::kElement, std::string_view(current_));
                    current_.clear();
                    state_ = State::kBetween;
                }
                break;
            }
            case State::kSkipping: {
                // Up to its ">", or up to a "<" that begins the next element: an oversized
                // element that never ends must not take the next one with it.
                const std::size_t end = bytes.find_first_of("<>", i);
                if (end == std::string_view::npos) {
                    i = bytes.size();
                } else if (bytes[end] == '<') {
                    current_.assign(1, '<');
                    state_ = State::kInElement;
                    i = end + 1;
                } else {
                    i = end + 1;
                    state_ = State::kBetween;
                }
                break;
            }
        }
    }
}

enum class Command { kHi, kOpen, kOk, kRawMode, kError, kFrame, kSend };

struct Element {
    Command command = Command::kHi;
    std::string text;           // kOpen: bus name; kError: the message
    Frame frame;                // kFrame, kSend
    std::uint64_t seconds = 0;  // kFrame: time stamp
    std::uint32_t microseconds = 0;
};

// Parses one element as the splitter delivers it ("<" ... ">"). False with a reason when it is
// not a well-formed element of the protocol.
bool ParseElement(std::string_view element, Element* out, std::string* error);

// Reads an identifier token (1 to 8 hex digits) by the rules at the top of this file.
bool ParseIdentifier(std::string_view token, std::uint32_t* id, bool* extended);

// A bus name: 1 to kMaxBusNameLength bytes, none of them a blank, "<", ">" or a control
// character, so that "< open NAME >" is one element of one argument that every reader accepts.
inline constexpr std::size_t kMaxBusNameLength = 64;
bool IsValidBusName(std::string_view name);

std::string FormatHi();
std::string FormatOpen(std::string_view bus);
std::string FormatOk();
std::string FormatRawMode();
// Any "<", ">" or control character in the text is replaced, so the element stays one element,
// and a text too long for kMaxElementLength is cut short and ends in "...".
std::string FormatError(std::string_view text);
// "< frame 18EEFF00 1700000000.000100 0000603700000080 > ": ends with one space (see the .cpp).
std::string FormatFrame(const Frame& frame, std::uint64_t seconds, std::uint32_t microseconds);
// "< send 18EEFF00 8 00 00 60 37 00 00 00 80 >".
std::string FormatSend(const Frame& frame);
// The same, appended to `out` without allocating beyond what `out` needs.
void AppendSend(std::string& out, const Frame& frame);
// The identifier as we write it: 8 hex digits for 29-bit, 3 for 11-bit, upper case.
std::string FormatIdentifier(const Frame& frame);

}  // namespace wire::socketcand
