#include "wire/slcan_codec.h"
#include "wire/can_id.h"

#include <algorithm>

#include "base/parse.h"

namespace wire::slcan {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Writes `digits` hex digits of value, most significant first.
char* PutHex(char* out, std::uint32_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = kHexDigits[value & 0xF];
        value >>= 4;
    }
    return out + digits;
}

// Reads exactly `digits` hex digits from text at `at`; false if any is not one.
bool GetHex(std::string_view text, std::size_t at, int digits, std::uint32_t* value) {
    const std::string_view field =
        text.substr(std::min(at, text.size()), static_cast<std::size_t>(digits));
    return field.size() == static_cast<std::size_t>(digits) && base::ParseHexDigits(field, value);
}

}  // namespace

std::size_t FormatFrame(const Frame& frame, std::optional<std::uint16_t> timestamp,
                        LineBuffer& out) {
    char* at = out.data();
    if (frame.remote) {
        *at++ = frame.extended ? 'R' : 'r';
    } else {
        *at++ = frame.extended ? 'T' : 't';
    }
    at = PutHex(at, frame.id, frame.extended ? 8 : 3);
    const std::uint8_t length = frame.length > 8 ? 8 : frame.length;
    *at++ = static_cast<char>('0' + length);
    if (!frame.remote) {
        for (std::uint8_t i = 0; i < length; ++i) {
            at = PutHex(at, frame.data[i], 2);
        }
    }
    if (timestamp) {
        at = PutHex(at, *timestamp, 4);
    }
    *at++ = kCr;
    return static_cast<std::size_t>(at - out.data());
}

bool ParseFrame(std::string_view line, TimeStamp allowed, Frame* frame,
                std::optional<std::uint16_t>* timestamp) {
    if (line.empty()) {
        return false;
    }
    Frame parsed;
    switch (line[0]) {
        case 'T':
            parsed.extended = true;
            break;
        case 't':
            break;
        case 'R':
            parsed.extended = true;
            parsed.remote = true;
            break;
        case 'r':
            parsed.remote = true;
            break;
        default:
            return false;
    }
    const std::size_t id_digits = parsed.extended ? 8 : 3;
    if (line.size() < 1 + id_digits + 1) {
        return false;
    }
    if (!GetHex(line, 1, static_cast<int>(id_digits), &parsed.id) ||
        parsed.id > CanIdMask(parsed.extended)) {
        return false;
    }
    const char length = line[1 + id_digits];
    if (length < '0' || length > '8') {
        return false;
    }
    parsed.length = static_cast<std::uint8_t>(length - '0');
    std::size_t at = 1 + id_digits + 1;
    const std::size_t data_digits = parsed.remote ? 0 : 2u * parsed.length;
    if (line.size() != at + data_digits &&
        (allowed == TimeStamp::kForbidden || line.size() != at + data_digits + 4)) {
        return false;
    }
    for (std::size_t i = 0; i < data_digits / 2; ++i, at += 2) {
        std::uint32_t byte = 0;
        if (!GetHex(line, at, 2, &byte)) {
            return false;
        }
        parsed.data[i] = static_cast<std::uint8_t>(byte);
    }
    std::optional<std::uint16_t> stamp;
    if (line.size() > at) {
        std::uint32_t value = 0;
        if (!GetHex(line, at, 4, &value)) {
            return false;
        }
        stamp = static_cast<std::uint16_t>(value);
    }
    *frame = parsed;
    *timestamp = stamp;
    return true;
}

Command ParseCommand(std::string_view line) {
    Command command;
    if (line.empty()) {
        return command;
    }
    const auto digit_argument = [&](int highest, Command::Kind kind) {
        if (line.size() == 2 && line[1] >= '0' && line[1] <= '0' + highest) {
            command.kind = kind;
            command.argument = line[1] - '0';
        }
    };
    const auto bare = [&](Command::Kind kind) {
        if (line.size() == 1) {
            command.kind = kind;
        }
    };
    switch (line[0]) {
        case 'C':
            bare(Command::Kind::kClose);
            break;
        case 'O':
            bare(Command::Kind::kOpen);
            break;
        case 'V':
            bare(Command::Kind::kVersion);
            break;
        case 'v':
            bare(Command::Kind::kDetail);
            break;
        case 'N':
            bare(Command::Kind::kSerial);
            break;
        case 'F':
            bare(Command::Kind::kFlags);
            break;
        case 'S':
            digit_argument(8, Command::Kind::kBitrate);
            break;
        case 'Z':
            digit_argument(1, Command::Kind::kTimeStamps);
            break;
        case 'T':
        case 't':
        case 'R':
        case 'r': {
            std::optional<std::uint16_t> unused;
            if (ParseFrame(line, TimeStamp::kForbidden, &command.frame, &unused)) {
                command.kind = Command::Kind::kFrame;
            }
            break;
        }
        default:
            break;
    }
    return command;
}

}  // namespace wire::slcan
