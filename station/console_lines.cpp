#include "station/console_lines.h"

#include <array>

namespace station {

namespace {

// A pattern is the line as the loader prints it, with a placeholder for what varies:
// %u decimal digits, %d a decimal number with an optional '-', %X eight hexadecimal digits,
// %H two hexadecimal digits, %s any text (at most one, nothing but literal text after it).
struct KnownLine {
    const char* pattern;
    LineKind kind;
    const char* stage;
};

constexpr std::array<KnownLine, 33> kKnownLines = {{
    {"Korvane Algorithm Demo %s", LineKind::kBanner, ""},
    {"   File is %u bytes.", LineKind::kFileSize, ""},
    {"   Firmware file is valid:", LineKind::kNote, ""},
    {"   Loading firmware into sensor on address: 0x%H.", LineKind::kNote, ""},
    {"   (Checking for previous sensor load that was incomplete.)", LineKind::kNote, ""},
    {"   Opening and configuring CAN port.", LineKind::kStage, "opening port"},
    {"   Starting firmware load.  This may take several minutes.", LineKind::kStage, "starting"},
    {"      Claim address for this software.", LineKind::kStage, "claiming address"},
    {"      Claim address for the bootloader.", LineKind::kStage, "claiming 0xB1"},
    {"      Flush RX.", LineKind::kStage, "flushing"},
    {"      Checking for active bootloader.", LineKind::kStage, "bootloader?"},
    {"      Checking for sensor.", LineKind::kStage, "checking sensor"},
    {"      Starting bootloader.", LineKind::kStage, "starting bootloader"},
    {"      Checking bootloader version.", LineKind::kStage, "version"},
    {"      Erasing sector 1.", LineKind::kStage, "erasing 1"},
    {"      Erasing sector 2.", LineKind::kStage, "erasing 2"},
    {"      Bootloader begin data stream.", LineKind::kStage, "begin stream"},
    {"      Sending data: %u of %u bytes.", LineKind::kData, "sending"},
    {"      Bootloader ending data stream.", LineKind::kStage, "end stream"},
    {"      Rebooting sensor.", LineKind::kReboot, "rebooting"},
    {"      ** UNKNOWN STATUS **", LineKind::kNote, ""},
    {"      SUCCESS!", LineKind::kSuccess, ""},
    {"*** ERROR: Flash programming failed.  Error = %d", LineKind::kLoadError, ""},
    {"*** ERROR: Could not open CAN port.  Error = %X", LineKind::kPortError, ""},
    {"*** ERROR: Unable to set bit rate.  Error = %X", LineKind::kPortError, ""},
    {"*** ERROR: Unable to open a CAN channel on this port.  Error = %X", LineKind::kPortError, ""},
    {"*** ERROR: Unable to configure CAN channel.  Error = %X", LineKind::kPortError, ""},
    {"*** ERROR: Unable to activate CAN channel.  Error = %X", LineKind::kPortError, ""},
    {"*** ERROR: %s", LineKind::kLoaderError, ""},
    {"***ERROR: %s", LineKind::kLoaderError, ""},
    {"Sensor should %s", LineKind::kNote, ""},
    {"--PRESS ENTER TO EXIT--", LineKind::kPrompt, ""},
    {"Choose a device (1-%u, Enter to cancel): ", LineKind::kDevicePrompt, ""},
}};

int DigitValue(char c, int base) {
    int value = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : 99;
    return value < base ? value : -1;
}

// Matches a line against a pattern; the numbers found go to numbers (in order), %s to text.
bool Match(std::string_view pattern, std::string_view line, std::array<std::int64_t, 2>& numbers,
           std::string& text) {
    std::size_t at = 0;
    std::size_t found = 0;
    for (std::size_t p = 0; p < pattern.size(); ++p) {
        if (pattern[p] != '%') {
            if (at >= line.size() || line[at] != pattern[p]) {
                return false;
            }
            ++at;
            continue;
        }
        char placeholder = pattern[++p];
        if (placeholder == 's') {
            std::string_view tail = pattern.substr(p + 1);
            if (line.size() < at + tail.size() + 1 || !line.ends_with(tail)) {
                return false;
            }
            text = line.substr(at, line.size() - at - tail.size());
            return true;
        }
        bool negative = placeholder == 'd' && at < line.size() && line[at] == '-';
        at += negative ? 1 : 0;
        int base = placeholder == 'X' || placeholder == 'H' ? 16 : 10;
        std::size_t width = placeholder == 'X' ? 8 : placeholder == 'H' ? 2 : 0;
        std::size_t start = at;
        std::int64_t value = 0;
        while (at < line.size() && DigitValue(line[at], base) >= 0 && at - start < 12) {
            value = value * base + DigitValue(line[at], base);
            ++at;
        }
        if (at == start || (width != 0 && at - start != width) ||
            (at < line.size() && DigitValue(line[at], base) >= 0)) {
            return false;
        }
        if (found < numbers.size()) {
            numbers[found++] = negative ? -value : value;
        }
    }
    return at == line.size();
}

struct Meaning {
    std::int64_t code;
    const char* text;
};

// The loader's result codes and our CAN library's codes (can/can_library.h), as the README and
// the manual page explain them.
constexpr std::array<Meaning, 12> kResults = {{
    {0, "success"},
    {-1, "the sensor's application did not answer"},
    {-3, "the version reply is neither >VER 7.0 nor >VER 7.1"},
    {-4, "no answer from the bootloader, or none to the version query"},
    {-5, "an erase was not acknowledged within 2 s"},
    {-6, "BOOT_BEG was not echoed"},
    {-7, "a block (or the closing block of zeros) not echoed identically"},
    {-8, "BOOT_END was not echoed"},
    {-9, "a bootloader already runs: use address 0x00 to resume"},
    {-10, "the next block would reach beyond the image"},
    {-11, "none of the addresses 0 to 253 could be claimed"},
    {-12, "another node holds 0xB1"},
}};

constexpr std::array<Meaning, 16> kLibraryCodes = {{
    {0xE0010001, "unspecified failure"},
    {0xE0010003, "no CAN device found (or an unknown handle)"},
    {0xE0010004, "a null pointer where a record is required"},
    {0xE0010005, "an argument out of range"},
    {0xE0010006, "the device or bus is no longer there"},
    {0xE0010007, "out of memory or handles"},
    {0xE001000A, "the controller belongs to another application"},
    {0xE001000B, "a read with time-out found nothing"},
    {0xE001000C, "the device choice was cancelled"},
    {0xE001000D, "the connection to the bus failed"},
    {0xE001000F, "no further device"},
    {0xE0010010, "the bit rate cannot be set here"},
    {0xE0010011, "not allowed in the current state"},
    {0xE0010012, "no received message is waiting"},
    {0xE0010013, "the transmit FIFO is full"},
    {0xFFFFFFFF, "the one device found at first was gone when it was opened"},
}};

}  // namespace

ConsoleLine ParseConsoleLine(std::string_view line) {
    ConsoleLine parsed;
    for (const KnownLine& known : kKnownLines) {
        std::array<std::int64_t, 2> numbers{};
        if (Match(known.pattern, line, numbers, parsed.text)) {
            parsed.kind = known.kind;
            parsed.stage = known.stage;
            parsed.count = numbers[0];
            parsed.total = numbers[1];
            return parsed;
        }
    }
    parsed.text.clear();
    return parsed;
}

std::string ResultMeaning(std::int64_t code, bool port_step) {
    const Meaning* first = port_step ? kLibraryCodes.data() : kResults.data();
    const Meaning* last = first + (port_step ? kLibraryCodes.size() : kResults.size());
    for (const Meaning* meaning = first; meaning != last; ++meaning) {
        if (meaning->code == code) {
            return meaning->text;
        }
    }
    return port_step ? "a code of the CAN library" : "an unknown result";
}

}  // namespace station
