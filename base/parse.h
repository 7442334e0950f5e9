// Numbers read from text, in one way for all the code around the tool: the whole text must be
// the number, in the given radix, with no sign, prefix, blank or suffix, and within its type.
// Used for SLCAN lines, socketcand elements, USB IDs in Windows device paths, sysfs attributes
// and command-line options.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace base {

// The value of `text`, digits in `radix` (10 or 16, hex digits of either case) and nothing else,
// when it fits T; nullopt otherwise (empty text, any other character, too large).
template <typename T>
std::optional<T> ParseNumber(std::string_view text, int radix = 10) {
    static_assert(std::is_unsigned_v<T>, "numbers here have no sign");
    T value{};
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, radix);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

// The value of `digits`, 1 to 8 hex digits and nothing else; false otherwise.
inline bool ParseHexDigits(std::string_view digits, std::uint32_t* value) {
    if (digits.size() > 8) {
        return false;
    }
    const auto parsed = ParseNumber<std::uint32_t>(digits, 16);
    if (parsed) {
        *value = *parsed;
    }
    return parsed.has_value();
}

// The 4 hexadecimal digits after `key` ("VID_", "PID_") in a Windows device instance ID such as
// "USB\VID_0403&PID_FFA8\..." or an interface path "\\?\usb#vid_1d50&pid_606f#...", as a USB ID.
inline std::optional<std::uint16_t> UsbIdAfter(std::string_view text, std::string_view key) {
    const std::size_t at = text.find(key);
    if (at == std::string_view::npos || at + key.size() + 4 > text.size()) {
        return std::nullopt;
    }
    return ParseNumber<std::uint16_t>(text.substr(at + key.size(), 4), 16);
}

}  // namespace base
