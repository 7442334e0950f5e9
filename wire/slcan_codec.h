// The serial-line CAN protocol (SLCAN, one ASCII line per command or frame, ended by CR), as
// both of its sides speak it: the host that drives an adapter (our CAN library) and the adapter
// itself (canbus-host's pseudo-terminal adapter).
//
// Nothing here allocates: lines are formatted into caller's buffers, parsed from string views,
// and the line splitter keeps its partial line in a fixed buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "wire/frame.h"

namespace wire::slcan {

inline constexpr char kCr = '\r';   // ends every line; alone, it is "accepted"
inline constexpr char kBel = '\a';  // alone: "refused"
inline constexpr char kLf = '\n';   // some adapters add it after CR; ignored

// The longest frame line, without its CR: `T`, 8 identifier digits, the length, 16 data digits
// and a 4-digit time stamp.
inline constexpr std::size_t kMaxFrameLine = 1 + 8 + 1 + 16 + 4;
// A buffer that any formatted frame line fits into, CR included.
using LineBuffer = std::array<char, kMaxFrameLine + 1>;

// Writes the frame as a `T`/`t`/`R`/`r` line ending in CR, with the 4-digit time stamp
// (milliseconds, hexadecimal) when one is given. Returns the number of characters written.
// The frame must fit CAN (identifier within its 11 or 29 bits, length at most 8).
std::size_t FormatFrame(const Frame& frame, std::optional<std::uint16_t> timestamp,
                        LineBuffer& out);

enum class TimeStamp {
    kForbidden,  // the line must end after the data (a host's send)
    kOptional,   // either (an adapter's received frame: time stamps may be on or off)
};

// Parses one `T`/`t`/`R`/`r` line (without its CR) strictly: exact digit counts, hex digits
// only (either case), length 0 to 8, an 11-bit identifier at most 0x7FF and a 29-bit one at most
// 0x1FFFFFFF, nothing after the data but, where allowed, 4 time-stamp digits (any value: adapters
// differ on where they wrap). False for anything else; *frame and *timestamp are then unchanged.
bool ParseFrame(std::string_view line, TimeStamp allowed, Frame* frame,
                std::optional<std::uint16_t>* timestamp);

// ---- Splitting a byte stream into lines ----------------------------------------------------

struct Token {
    enum class Kind {
        kLine,       // text up to a CR (empty: a bare CR, "accepted")
        kBell,       // a BEL ("refused")
        kDiscarded,  // a line that was too long, or that a BEL cut short; text empty
    };
    Kind kind = Kind::kLine;
    std::string_view text;  // valid only during the sink call
};

// Splits what arrives from a serial line into tokens: CR ends a line, a BEL is a token of its
// own (and ends whatever partial line came before it: adapters write BEL in place of a line), LF
// is dropped wherever it stands. A line longer than kMaxLine is thrown away up to its CR and
// reported as kDiscarded once, and the line after it is read normally. A partial line is kept
// across Feed calls.
class LineSplitter {
  public:
    // Longer than any frame line, and any answer (version, serial, flags) an adapter gives: some
    // answer `V` with a sentence.
    static constexpr std::size_t kMaxLine = 128;

    // Calls sink(const Token&) for each token completed by these bytes.
    template <typename Sink>
    void Feed(std::string_view bytes, Sink&& sink) {
        for (const char c : bytes) {
            if (c == kCr) {
                if (overlong_) {
                    sink(Token{Token::Kind::kDiscarded, {}});
                } else {
                    sink(Token{Token::Kind::kLine, std::string_view(buffer_.data(), size_)});
                }
                Reset();
            } else if (c == kBel) {
                if (overlong_ || size_ > 0) {
                    sink(Token{Token::Kind::kDiscarded, {}});
                }
                Reset();
                sink(Token{Token::Kind::kBell, {}});
            } else if (c == kLf || overlong_) {
                continue;
            } else if (size_ == kMaxLine) {
                overlong_ = true;
            } else {
                buffer_[size_++] = c;
            }
        }
    }

    // Forgets a partial line (e.g. after the port was reopened).
    void Reset() {
        size_ = 0;
        overlong_ = false;
    }

    // Characters of the partial line held now.
    std::size_t pending() const { return size_; }

  private:
    std::array<char, kMaxLine> buffer_{};
    std::size_t size_ = 0;
    bool overlong_ = false;
};

// ---- The adapter's side: what the host asks ------------------------------------------------

struct Command {
    enum class Kind {
        kClose,       // `C`
        kOpen,        // `O`
        kBitrate,     // `S0`..`S8`: argument = the digit
        kTimeStamps,  // `Z0`/`Z1`: argument = 0 or 1
        kVersion,     // `V`
        kDetail,      // `v`
        kSerial,      // `N`
        kFlags,       // `F`
        kFrame,       // `T`/`t`/`R`/`r` without time stamp: frame
        kUnknown,     // anything else, or a known command written wrongly
    };
    Kind kind = Kind::kUnknown;
    int argument = 0;
    Frame frame;
};

// Parses one line from the host (without its CR). Commands take no trailing characters.
Command ParseCommand(std::string_view line);

}  // namespace wire::slcan
