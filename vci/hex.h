// Hexadecimal digits as the CAN library's codecs and the virtual bus's protocol read them: the
// SLCAN lines, the socketcand elements, the USB IDs in a Windows device instance ID.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vci {

// 0..15 for a hex digit of either case, -1 for anything else.
constexpr int HexDigitValue(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : -1;
}

// The value of `digits`, 1 to 8 hex digits and nothing else; false otherwise.
constexpr bool ParseHexDigits(std::string_view digits, std::uint32_t* value) {
    if (digits.empty() || digits.size() > 8) {
        return false;
    }
    std::uint32_t result = 0;
    for (const char c : digits) {
        const int digit = HexDigitValue(c);
        if (digit < 0) {
            return false;
        }
        result = (result << 4) | static_cast<std::uint32_t>(digit);
    }
    *value = result;
    return true;
}

// The 4 hexadecimal digits after `key` ("VID_", "PID_") in a Windows device instance ID such as
// "USB\VID_0403&PID_FFA8\..." or an interface path "\\?\usb#vid_1d50&pid_606f#...", as a USB ID.
constexpr std::optional<std::uint16_t> UsbIdAfter(std::string_view text, std::string_view key) {
    const std::size_t at = text.find(key);
    std::uint32_t value = 0;
    if (at == std::string_view::npos || at + key.size() + 4 > text.size() ||
        !ParseHexDigits(text.substr(at + key.size(), 4), &value)) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace vci
