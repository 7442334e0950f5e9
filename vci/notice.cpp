#include "vci/notice.h"

#include <cstdarg>
#include <cstdio>

namespace vci {

void Notice(const char* device, const char* format, ...) {
    std::string line = "vci: ";
    if (device != nullptr && *device != '\0') {
        line += device;
        line += ": ";
    }
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length > 0) {
        line.append(text, static_cast<std::size_t>(length) < sizeof text
                              ? static_cast<std::size_t>(length)
                              : sizeof text - 1);
    }
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

bool NoticeOnChange::Say(const char* device, const std::string& text) {
    if (text == last_) {
        return false;
    }
    last_ = text;
    Notice(device, "%s", text.c_str());
    return true;
}

}  // namespace vci
