// The simulated sensor: its application, its bootloader, its flash and a few other nodes that
// share its bus, as one state machine with no I/O, no threads and no clock of its own.
//
// The caller feeds it the frames that arrive (never the sensor's own frames) and the current
// time, collects the frames to send and the notices to print from each call, and wakes it at
// NextWake(). Every call handles timers that are due first, so the order of events is kept even
// when a caller wakes it late.
//
// Application (powered on with a valid application):
//   - claims its address at power-up (Address Claimed, priority 6, to 255, with its NAME);
//     defends it: a claim for its address with a higher NAME is answered with its own claim, one
//     with a lower NAME wins and the application sends "Cannot Claim" (source 0xFE) and goes
//     silent on J1939 until its next start; answers a Request for Address Claimed;
//   - answers the sensor check (Proprietary A to its address, E0 14 00 01 00 00 00 00) with a
//     Proprietary A frame to the requester: E0 14 00 01, the status byte, FF FF FF;
//   - on the start bootloader request (F0 FF FF 80 42 4F 4F 54) goes quiet and starts its
//     bootloader after the boot delay. Other Proprietary A data to its address is ignored.
// Bootloader (after the start request, or at power-up when the application is not valid):
//   - ignores every frame but the command channel (priority 0, PGN 0xFFF0 + channel, source
//     0xB1) and answers with exactly the request's identifier;
//   - "V" (length 1) -> the version text; 45 + 4 address bytes (length 5) -> after the erase time,
//     the 4 address bytes, for the sectors named 0x08010000 and 0x08020000; an erase of any other
//     address is not answered; while it erases, the bootloader is busy and requests are lost;
//   - "BOOT_BEG" -> echoed, opens a stream that programs from the start of the first sector;
//     when a stream is already open it starts over from the start;
//   - channel 15, length 8 -> programmed at the next 8 bytes, then echoed. A block that cannot be
//     programmed (past the end of the flash, or onto bytes not erased) is not written and not
//     echoed. A block of eight zero bytes cannot be told from the terminating block, so it is
//     echoed at once and programmed only when another block follows: "BOOT_END" after it makes
//     the last zero block the terminator, which is never written;
//   - "BOOT_END" -> echoed, closes the stream; the application becomes valid only when the flash
//     holds this one whole stream: begun after both sectors were erased (and nothing programmed
//     since), no erase while it was open, every block programmed, closed by a terminating block.
//     Otherwise "BOOT_END" is still echoed, and the application stays not valid;
//   - "REBOOTME" -> no reply; restarts: into the application when it is valid (it claims its
//     address again), else into the bootloader again;
//   - protocol violations are not answered: a block or "BOOT_END" with no stream open, a
//     command of an unknown text or length, any other channel, a frame while erasing.
// Power: a power cycle restarts into the application when it is valid, else into the
// bootloader (an erased or half-written application is never started, so an interrupted load is
// resumed by talking to the bootloader). Erasing either sector makes the application invalid.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sensor_sim/can_frame.h"
#include "sensor_sim/flash.h"

namespace sensor_sim {

using Micros = std::chrono::microseconds;  // time since an arbitrary start

// A realistic J1939 NAME, arbitrary-address capable, above the loader's own NAMEs so that the
// sensor never takes an address from the loader.
inline constexpr std::uint64_t kDefaultName = 0x80008A0056E0A5C3;

// Faults to inject. Block numbers count the 8-byte frames on channel 15 since "BOOT_BEG", from 1;
// the terminating block counts like any other. 0 means off.
struct Faults {
    bool no_check_reply = false;       // the sensor check is not answered
    bool no_bootloader = false;        // the start request is ignored, no bootloader ever runs
    bool start_in_bootloader = false;  // the application is not valid at the first power-up
    bool no_erase_ack = false;         // erases are done but never acknowledged
    bool no_begin_echo = false;        // "BOOT_BEG" opens the stream but is not echoed
    bool no_end_echo = false;          // "BOOT_END" closes the stream but is not echoed
    // The bootloader answers only the first N version queries after each power-up; 0: all.
    std::uint32_t version_answers = 0;
    std::uint32_t wrong_echo_block = 0;  // block N is programmed, its echo has one bit flipped
    std::uint32_t no_echo_block = 0;     // block N is programmed, its echo is never sent
    bool wrong_terminator_echo = false;  // an all-zero block is echoed with one bit set
    // Power loss when block N arrives: nothing answers until power-cycled. Happens once.
    std::uint32_t silent_from_block = 0;
    // Power loss during erase request N (counted from 1 since the sensor started): the sector is
    // erased, its acknowledgement never sent, nothing answers until power-cycled. Happens once.
    std::uint32_t power_loss_at_erase = 0;
    // Power loss right after "BOOT_END" has been carried out, before its echo. Happens once.
    bool power_loss_at_end = false;
    // Other nodes, with NAMEs below the loader's, holding addresses 0..K (the sensor's own
    // address is skipped) and, separately, 0xB1. They defend their address against claims.
    std::optional<std::uint8_t> contend_up_to;
    bool contend_bootloader_address = false;
    Micros background_period{0};   // one background frame per period, 0: none
    std::uint32_t flood_rate = 0;  // non-matching frames per second, 0: none
};

struct Config {
    std::uint8_t address = 0xC3;
    std::uint64_t name = kDefaultName;
    std::string version = ">VER 7.0";  // 0 to 8 bytes, sent as they are
    Micros boot_delay = std::chrono::milliseconds(300);
    Micros erase_time = std::chrono::milliseconds(200);  // per sector
    std::uint8_t check_status = 0x00;                    // byte 4 of the sensor check reply
    FlashLayout flash;
    Faults faults;
};

enum class Mode { kOff, kApplication, kStartingBootloader, kBootloader, kPowerLost };

enum class NoticeKind {
    kPower,        // power off / on
    kApplication,  // application started, address claimed or lost
    kBootloader,   // bootloader starting / started / rebooting
    kErase,        // sector erased (or refused)
    kStreamBegun,
    kStreamEnded,  // after "BOOT_END": the flash holds the new image
    kRefused,      // a request that was not answered because it breaks the protocol
    kFault,        // an injected fault took effect
};

struct Notice {
    NoticeKind kind;
    std::string text;  // one line, no prefix, no newline
};

struct Output {
    std::vector<CanFrame> frames;
    std::vector<Notice> notices;
};

class Sensor {
  public:
    explicit Sensor(Config config);

    // Powers the bus segment up at `now`: the other nodes and the sensor.
    void Start(Micros now, Output& out);

    void OnFrame(const CanFrame& frame, Micros now, Output& out);
    // Handles the timers due at `now`.
    void OnTimer(Micros now, Output& out);
    // When the sensor next wants OnTimer, if ever.
    std::optional<Micros> NextWake() const;

    void PowerOff(Micros now, Output& out);
    void PowerOn(Micros now, Output& out);

    Mode mode() const { return mode_; }
    bool application_valid() const { return application_valid_; }
    const Flash& flash() const { return flash_; }
    const Config& config() const { return config_; }
    // One line describing the state, for the "status" command.
    std::string Status() const;

  private:
    struct Contender {
        std::uint8_t address;
        std::uint64_t name;
        bool holds_address = true;
    };

    void RunTimers(Micros now, Output& out);
    void Boot(Output& out);
    void StartApplication(Output& out);
    void StartBootloaderNow(Output& out, const std::string& why);

    void HandleJ1939(const CanFrame& frame, Micros now, Output& out);
    void HandleApplicationFrame(const CanFrame& frame, const J1939Id& j, Micros now, Output& out);
    void HandleClaimForApplication(std::uint64_t name, Output& out);
    void HandleCommandChannel(const CanFrame& frame, Micros now, Output& out);
    void HandleCommand(const CanFrame& frame, Micros now, Output& out);
    void HandleBlock(const CanFrame& frame, Output& out);
    void HandleBeginStream(const CanFrame& frame, Output& out);
    void HandleEndStream(const CanFrame& frame, Output& out);
    Flash::ProgramResult ProgramNext(std::span<const std::uint8_t, 8> bytes);
    // The injected power loss: silent until power-cycled.
    void LosePower(const std::string& why, Output& out);

    void EmitBackground(Micros now, Output& out);
    void EmitFlood(Micros now, Output& out);

    CanFrame AddressClaimed(std::uint8_t source, std::uint64_t name) const;

    Config config_;
    Flash flash_;
    Mode mode_ = Mode::kOff;
    bool application_valid_ = true;
    bool address_held_ = false;
    std::vector<Contender> contenders_;

    std::optional<Micros> bootloader_at_;  // the bootloader starts then
    // An erase in progress: the sector, the time its acknowledgement is due, and the request.
    struct PendingErase {
        int sector;
        Micros done_at;
        CanFrame request;
    };
    std::optional<PendingErase> erase_;

    bool stream_open_ = false;
    bool stream_failed_ = false;  // a block of this stream was refused
    // Sectors (bit 0 and 1) erased since a block was last programmed: both means a blank flash.
    unsigned erased_since_programming_ = 0;
    bool stream_on_blank_ = false;  // this stream began on a blank flash
    bool stream_erased_ = false;    // a sector was erased while this stream was open
    std::uint32_t write_offset_ = 0;
    std::uint32_t blocks_received_ = 0;
    std::uint32_t version_queries_answered_ = 0;  // since power-up
    std::uint32_t zero_blocks_pending_ = 0;
    std::uint32_t erases_requested_ = 0;  // since the sensor started
    bool power_loss_spent_ = false;

    std::optional<Micros> next_background_;
    std::uint32_t background_index_ = 0;
    std::optional<Micros> flood_start_;
    std::uint64_t flood_sent_ = 0;
};

std::string ToString(Mode mode);

}  // namespace sensor_sim
