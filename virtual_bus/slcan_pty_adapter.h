// A serial-line CAN adapter (SLCAN) on a pseudo terminal, joined to a virtual bus: what a USB
// stick with SLCAN firmware would be, for hosts that drive such an adapter (our CAN library,
// python-can's slcan interface, the kernel's slcan driver) and no hardware at hand.
//
// The terminal side of the pty is linked at a path of the caller's choice; a program opens that
// path as its serial port. The adapter speaks the adapter's side of the protocol:
//   - `C` closes the channel, `O` opens it (refused while open), `S0`..`S8` set the bit rate and
//     `Z0`/`Z1` time stamps (both refused while open); `V`, `v`, `N`, `F` are answered;
//   - a `T`/`t` line on the open channel goes to the bus, and is answered as the dialect says
//     (`Z`/`z` CR, a bare CR, or nothing); on a closed channel it is refused, and so is a remote
//     frame (`R`/`r`): the virtual bus carries data frames only;
//   - frames from the bus go to the host only while the channel is open, as `T`/`t` lines, with a
//   4-digit millisecond time stamp (wrapping at 60000) while time stamps are on;
//     the host's own frames are not sent back;
//   - an empty line is answered with CR, a refused or unknown one with BEL.
// The silent dialect is that of the most common firmwares: no command is answered (no CR, no
// BEL: a refused one is just not done), `V` gets one line of free text that does not begin with
// `V`, `N` and `F` are ignored, nothing follows a frame, and an empty line is taken for the
// previous line again (after a frame line, that frame goes to the bus once more).
// When the host closes the terminal, the adapter stays and waits for it to be opened again, as a
// stick that stays plugged in: it then starts afresh (channel closed, time stamps as the dialect
// sets them), except in the silent dialect, which keeps its channel, time stamps and previous
// line, as such a stick does. Pull() takes it away instead, as a stick pulled out: the host sees
// a hang-up.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

namespace vbus {

struct SlcanDialect {
    enum class SendAnswer {
        kZ,     // `Z` CR after an extended frame, `z` CR after a standard one
        kCr,    // a bare CR
        kNone,  // nothing
    };
    enum class TimeStamps {
        kOff,     // off until the host sends `Z1`
        kOn,      // on until the host sends `Z0`
        kAlways,  // on, and `Z0`/`Z1` are refused (firmware without the command)
    };
    SendAnswer send_answer = SendAnswer::kZ;
    TimeStamps time_stamps = TimeStamps::kOff;
    bool silent = false;  // answers no command (see above); send_answer is then kNone
};

// What the silent dialect answers to `V`.
inline constexpr const char* kSilentVersionLine = "canbus-host slcan 1.0, virtual bus adapter";

struct SlcanAdapterStats {
    std::uint64_t frames_to_bus = 0;
    std::uint64_t frames_to_host = 0;
    std::uint64_t refused_lines = 0;     // frames it did not take, lines not understood
    std::uint64_t refused_commands = 0;  // commands known but refused (e.g. Z0 in kAlways)
    std::uint64_t dropped_frames = 0;    // from the bus, while the host did not read
};

class SlcanPtyAdapter {
  public:
    // serial: what `N` answers after the "N" (4 characters by convention).
    SlcanPtyAdapter(std::string link_path, SlcanDialect dialect, std::string serial,
                    std::ostream* log);
    ~SlcanPtyAdapter();  // stops; removes the link
    SlcanPtyAdapter(const SlcanPtyAdapter&) = delete;
    SlcanPtyAdapter& operator=(const SlcanPtyAdapter&) = delete;

    // Joins the bus on 127.0.0.1:port (bus: empty for the host's own), makes the pty, links it
    // and serves on a thread of its own. False with a reason.
    bool Start(std::uint16_t port, const std::string& bus, std::string* error);
    // As a stick pulled out: the pty closes (the host sees a hang-up), the link goes.
    void Pull();
    // Stops serving, closes everything, removes the link. Idempotent.
    void Stop();

    const std::string& link_path() const { return link_path_; }
    SlcanAdapterStats stats() const;

  private:
    struct Impl;
    std::string link_path_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vbus
