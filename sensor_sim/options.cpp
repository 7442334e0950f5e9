#include "sensor_sim/options.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <functional>
#include <limits>

#include "base/parse.h"
#include "wire/socketcand_protocol.h"

namespace sensor_sim {
namespace {

constexpr std::uint64_t kMaxFlashBytes = 64ull << 20;  // both sectors together
constexpr std::uint64_t kMaxFloodRate = 100'000;       // frames per second
constexpr std::uint64_t kMaxMilliseconds = 3'600'000;
constexpr int kFirstIndex = 1000;  // getopt_long's value for the first option of the table

// Decimal or 0x-prefixed hexadecimal; with allow_suffix, a trailing K or M multiplies by 1024
// or 1024 * 1024.
std::optional<std::uint64_t> ParseNumber(std::string_view text, bool allow_suffix = false) {
    std::uint64_t multiplier = 1;
    if (allow_suffix && !text.empty() && (text.back() == 'K' || text.back() == 'M')) {
        multiplier = text.back() == 'K' ? 1024 : 1024 * 1024;
        text.remove_suffix(1);
    }
    int radix = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        radix = 16;
        text.remove_prefix(2);
    }
    const auto value = base::ParseNumber<std::uint64_t>(text, radix);
    if (!value || *value > std::numeric_limits<std::uint64_t>::max() / multiplier) {
        return std::nullopt;
    }
    return *value * multiplier;
}

using Handler = std::function<bool(std::string_view value, Options& o)>;

struct OptionDef {
    std::string_view name;
    bool takes_value;
    Handler handle;
};

// A handler for a number in [low, high] stored through `store`.
template <typename Store>
Handler Number(std::uint64_t low, std::uint64_t high, Store store, bool allow_suffix = false) {
    return [=](std::string_view value, Options& o) {
        const auto n = ParseNumber(value, allow_suffix);
        if (!n || *n < low || *n > high) {
            return false;
        }
        store(o, *n);
        return true;
    };
}

Handler Flag(bool Faults::*member) {
    return [member](std::string_view, Options& o) {
        o.sensor.faults.*member = true;
        return true;
    };
}

Handler Milliseconds(Micros Config::*member) {
    return Number(0, kMaxMilliseconds, [member](Options& o, std::uint64_t n) {
        o.sensor.*member = std::chrono::milliseconds(n);
    });
}

Handler SectorSize(std::uint32_t FlashLayout::*member) {
    return [member](std::string_view value, Options& o) {
        const auto n = ParseNumber(value, true);
        if (!n || *n < 8 || *n % 8 != 0 || *n > kMaxFlashBytes) {
            return false;
        }
        o.sensor.flash.*member = static_cast<std::uint32_t>(*n);
        return true;
    };
}

const std::vector<OptionDef>& OptionDefs() {
    static const std::vector<OptionDef> defs = {
        {"address", true,
         Number(
             0, 253,
             [](Options& o, std::uint64_t n) { o.sensor.address = static_cast<std::uint8_t>(n); })},
        {"name", true,
         Number(0, std::numeric_limits<std::uint64_t>::max(),
                [](Options& o, std::uint64_t n) { o.sensor.name = n; })},
        {"version", true,
         [](std::string_view value, Options& o) {
             if (value.size() > 8) {
                 return false;
             }
             o.sensor.version = value;
             return true;
         }},
        {"boot-delay-ms", true, Milliseconds(&Config::boot_delay)},
        {"erase-ms", true, Milliseconds(&Config::erase_time)},
        {"check-status", true,
         Number(0, 255,
                [](Options& o, std::uint64_t n) {
                    o.sensor.check_status = static_cast<std::uint8_t>(n);
                })},
        {"sector1-size", true, SectorSize(&FlashLayout::sector1_size)},
        {"sector2-size", true, SectorSize(&FlashLayout::sector2_size)},
        {"no-check-reply", false, Flag(&Faults::no_check_reply)},
        {"no-bootloader", false, Flag(&Faults::no_bootloader)},
        {"start-in-bootloader", false, Flag(&Faults::start_in_bootloader)},
        {"no-erase-ack", false, Flag(&Faults::no_erase_ack)},
        {"no-begin-echo", false, Flag(&Faults::no_begin_echo)},
        {"no-end-echo", false, Flag(&Faults::no_end_echo)},
        {"version-answers", true,
         Number(1, std::numeric_limits<std::uint32_t>::max(),
                [](Options& o, std::uint64_t n) {
                    o.sensor.faults.version_answers = static_cast<std::uint32_t>(n);
                })},
        {"wrong-echo-block", true,
         Number(1, std::numeric_limits<std::uint32_t>::max(),
                [](Options& o, std::uint64_t n) {
                    o.sensor.faults.wrong_echo_block = static_cast<std::uint32_t>(n);
                })},
        {"no-echo-block", true,
         Number(1, std::numeric_limits<std::uint32_t>::max(),
                [](Options& o, std::uint64_t n) {
                    o.sensor.faults.no_echo_block = static_cast<std::uint32_t>(n);
                })},
        {"wrong-terminator-echo", false, Flag(&Faults::wrong_terminator_echo)},
        {"power-loss-at-block", true,
         Number(1, std::numeric_limits<std::uint32_t>::max(),
                [](Options& o, std::uint64_t n) {
                    o.sensor.faults.silent_from_block = static_cast<std::uint32_t>(n);
                })},
        {"power-loss-at-erase", true,
         Number(1, std::numeric_limits<std::uint32_t>::max(),
                [](Options& o, std::uint64_t n) {
                    o.sensor.faults.power_loss_at_erase = static_cast<std::uint32_t>(n);
                })},
        {"power-loss-at-end", false, Flag(&Faults::power_loss_at_end)},
        {"contend-addresses", true,
         Number(0, 253,
                [](Options& o, std::uint64_t n) {
                    o.sensor.faults.contend_up_to = static_cast<std::uint8_t>(n);
                })},
        {"contend-bootloader-address", false, Flag(&Faults::contend_bootloader_address)},
        {"background-ms", true,
         Number(0, kMaxMilliseconds,
                [](Options& o, std::uint64_t n) {
                    o.sensor.faults.background_period = std::chrono::milliseconds(n);
                })},
        {"flood-rate", true,
         Number(0, kMaxFloodRate,
                [](Options& o, std::uint64_t n) {
                    o.sensor.faults.flood_rate = static_cast<std::uint32_t>(n);
                })},
        {"port", true,
         Number(0, 65535,
                [](Options& o, std::uint64_t n) { o.port = static_cast<std::uint16_t>(n); })},
        {"join", true,
         Number(1, 65535,
                [](Options& o, std::uint64_t n) { o.join = static_cast<std::uint16_t>(n); })},
        {"bus-name", true,
         [](std::string_view value, Options& o) {
             o.bus_name = value;
             return wire::socketcand::IsValidBusName(value);
         }},
        {"bit-timing", false,
         [](std::string_view, Options& o) {
             o.bit_timing = true;
             return true;
         }},
        {"trace", true,
         [](std::string_view value, Options& o) {
             o.trace_path = value;
             return !value.empty();
         }},
        {"socketcan", true,
         [](std::string_view value, Options& o) {
             o.socketcan = value;
             return !value.empty();
         }},
        {"flash-out", true,
         [](std::string_view value, Options& o) {
             o.flash_out = value;
             return !value.empty();
         }},
        {"exit-on-eof", false,
         [](std::string_view, Options& o) {
             o.exit_on_eof = true;
             return true;
         }},
        {"help", false,
         [](std::string_view, Options& o) {
             o.help = true;
             return true;
         }},
    };
    return defs;
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string_view>& args, std::string* error) {
    Options options;
    // getopt_long, as the other programs here parse their options: it wants the table and the
    // arguments as C strings.
    const auto& defs = OptionDefs();
    std::vector<std::string> names;
    names.reserve(defs.size());
    std::vector<option> table;
    for (std::size_t i = 0; i < defs.size(); ++i) {
        names.emplace_back(defs[i].name);
        table.push_back({names.back().c_str(),
                         defs[i].takes_value ? required_argument : no_argument, nullptr,
                         kFirstIndex + static_cast<int>(i)});
    }
    table.push_back({nullptr, 0, nullptr, 0});
    std::vector<std::string> text = {"sensor-sim"};
    text.insert(text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& argument : text) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(text.size());
    opterr = 0;  // the messages are ours
    optind = 0;  // a whole new scan
    for (;;) {
        // "+": options end at the first other argument, which is refused below.
        const int found = getopt_long(argc, argv.data(), "+:", table.data(), nullptr);
        if (found == -1) {
            break;
        }
        const std::size_t index =
            static_cast<std::size_t>((found == ':' || found == '?' ? optopt : found) - kFirstIndex);
        const bool ours = index < defs.size();
        const std::string name = ours ? "--" + names[index] : "";
        if (found == ':' && ours) {
            *error = "option " + name + " needs a value";
            return std::nullopt;
        }
        if (found == '?' || found == ':') {
            const std::string_view given = argv[static_cast<std::size_t>(optind) - 1];
            if (ours) {
                *error = "option " + name + " takes no value";
            } else if (given.starts_with("--")) {
                *error = "unknown option " + std::string(given.substr(0, given.find('=')));
            } else {
                *error = "unexpected argument '" + std::string(given) + "'";
            }
            return std::nullopt;
        }
        const std::string_view value = optarg != nullptr ? optarg : "";
        if (!defs[index].handle(value, options)) {
            *error = "invalid value '" + std::string(value) + "' for " + name;
            return std::nullopt;
        }
    }
    if (optind < argc) {
        *error =
            "unexpected argument '" + std::string(argv[static_cast<std::size_t>(optind)]) + "'";
        return std::nullopt;
    }
    if (options.join && (options.bit_timing || !options.trace_path.empty() || options.port != 0)) {
        *error = "--port, --bit-timing and --trace belong to a hosted bus, not to --join";
        return std::nullopt;
    }
    if (!options.socketcan.empty() &&
        (options.join || options.bit_timing || !options.trace_path.empty() || options.port != 0 ||
         !options.bus_name.empty())) {
        *error =
            "--port, --join, --bus-name, --bit-timing and --trace belong to the virtual bus, "
            "not to --socketcan";
        return std::nullopt;
    }
    const std::uint64_t flash_bytes =
        std::uint64_t{options.sensor.flash.sector1_size} + options.sensor.flash.sector2_size;
    if (flash_bytes > kMaxFlashBytes) {
        *error = "the two sectors together may hold at most 64M bytes";
        return std::nullopt;
    }
    return options;
}

std::string HelpText() {
    return R"(Usage: sensor-sim [OPTIONS]

A simulated sensor on a virtual CAN bus: its application answers the sensor check and starts
its bootloader on request; the bootloader answers the command channel and programs its flash.

Bus:
  --port N                  host the bus on port N (default: the first free of 29536..29543)
  --join PORT               join the bus host on 127.0.0.1:PORT instead of hosting one
  --bus-name NAME           bus name to open (default: the host's own, "sim<k>")
  --bit-timing              hosted bus: frames take their real time at 1000 kbit/s
  --trace FILE              hosted bus: candump log of every frame
  --socketcan IFACE         serve on this SocketCAN interface (vcan0, can0, ...) instead of
                            the virtual bus
  --flash-out FILE          write the flash after every BOOT_END and at exit: raw bytes from
                            0x08010000 up to the last byte programmed (a sector never erased
                            counts as programmed: it holds the factory application)
  --exit-on-eof             quit at the end of standard input (default: keep running)
  --help                    this text

Sensor:
  --address ADDR            J1939 address of the application, 0..253 (default 0xC3)
  --name NAME               64-bit J1939 NAME (default 0x80008A0056E0A5C3)
  --version TEXT            bootloader version text, 0 to 8 bytes (default ">VER 7.0")
  --boot-delay-ms N         start request to bootloader running (default 300)
  --erase-ms N              time of one sector erase before it is acknowledged (default 200)
  --check-status N          status byte of the sensor check reply (default 0)
  --sector1-size BYTES      first sector, at 0x08010000 (default 64K)
  --sector2-size BYTES      second sector, right after the first (default 128K); sizes are
                            multiples of 8, K and M suffixes allowed, 64M in all at most

Faults:
  --no-check-reply          the sensor check is not answered
  --no-bootloader           the start request is ignored; no bootloader ever answers
  --start-in-bootloader     no valid application at power-up: the bootloader runs
  --no-erase-ack            sectors are erased but the erase is never acknowledged
  --no-begin-echo           BOOT_BEG opens the stream but is not echoed
  --no-end-echo             BOOT_END closes the stream but is not echoed
  --version-answers N       the bootloader answers only the first N version queries after
                            each power-up
  --wrong-echo-block N      block N (counted from 1 after BOOT_BEG, the terminating block
                            included) is programmed, its echo has one bit flipped
  --no-echo-block N         block N is programmed but not echoed
  --wrong-terminator-echo   a block of eight zero bytes is echoed with one bit set
  --power-loss-at-block N   power is lost when block N arrives: nothing answers until a
                            power-cycle (once; the bootloader then runs, the load can resume)
  --power-loss-at-erase N   power is lost during erase request N (from 1 since start): the
                            sector is erased, the erase never acknowledged (once)
  --power-loss-at-end       power is lost after BOOT_END is carried out, before its echo
                            (once; the new application is valid at the next power-up)
  --contend-addresses K     other nodes hold addresses 0..K with NAMEs below the loader's and
                            defend them against claims
  --contend-bootloader-address   another node holds 0xB1 likewise
  --background-ms N         one frame of background traffic every N ms (status broadcast,
                            DM1 of another node, an 11-bit frame, command channel 5, channel 2
                            at priority 3)
  --flood-rate N            N non-matching frames per second (at most 100000)

Commands on standard input, one per line:
  power-cycle, power-off, power-on, flash FILE, status, quit
)";
}

}  // namespace sensor_sim
