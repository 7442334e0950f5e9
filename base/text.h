// Text that a device reports (a USB adapter's product and serial strings, an SLCAN adapter's
// answers) as it may reach the operator's terminal: a device must not be able to put escape
// sequences on the screen.
#pragma once

#include <string>
#include <string_view>

namespace base {

// Printable ASCII kept; every other byte (controls, DEL, bytes of multi-byte characters) '?'.
inline std::string PrintableText(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            c = '?';
        }
    }
    return out;
}

}  // namespace base
